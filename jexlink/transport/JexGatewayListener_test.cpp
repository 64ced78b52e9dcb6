// A gateway node against hostile and careless callers: memory, descriptors, waits, caps, relays.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/ProcessStatus.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavro::testing::GatewayNode;
using tavro::testing::OpenDescriptors;
using tavro::testing::PeerReadAll;
using tavro::testing::RouteEntry;
using tavro::testing::StatusField;
using tavro::testing::TempDir;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

// A raw TCP connection to a loopback port, closed with the object.
class RawCaller {
public:
    explicit RawCaller(int port) : fd_(tavro::testing::ConnectLoopback(port)) {}
    RawCaller(const RawCaller&) = delete;
    RawCaller& operator=(const RawCaller&) = delete;
    ~RawCaller() { Close(); }

    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Whether the node closed the connection within timeoutMs; whatever it
    // sent before goes into `received`.
    bool ClosedWithin(int timeoutMs, std::string* received = nullptr) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) != 1) return false;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            if (received) received->append(buffer, static_cast<size_t>(n));
        }
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// One record in its stream frame (the short head: bodies here are small).
std::string Framed(const JexNetMsg& record) {
    const JexBuffer body = record.Encode();
    std::string out;
    out += static_cast<char>(body.Length() & 0xFF);
    out += static_cast<char>((body.Length() >> 8) & 0xFF);
    out += '\0';
    out.append(body.Data(), static_cast<size_t>(body.Length()));
    return out;
}

class GatewayListener : public ::testing::Test {
protected:
    std::string MapFile(const std::string& name, const std::string& lines) {
        const auto file = dir.Path() / name;
        WriteFile(file, lines);
        return file.string();
    }
    // Connects a client to the echo application of srv/snode through the
    // route map line to `firstHop`; bounded by a read time-out.
    int ConnectEcho(QuietGateway& client, const std::string& firstHop) {
        client.SetAttr(JexGateway::ACID, "cli");
        client.SetAttr(JexGateway::NODE, "cnode");
        client.SetAttr(JexGateway::ROUTE_MAP,
                       MapFile("client.map", RouteEntry("srv/snode/echo", firstHop)).c_str());
        client.SetReadTimeout(20);
        return client.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                              JexString("echo"));
    }
    static bool Echoes(QuietGateway& client) {
        JexBuffer sent(JexString("ping"));
        JexBuffer back;
        return client.PutMsg(sent) == 0 && client.GetMsg(back) == 0 && back == sent;
    }

    TempDir dir{"gwlistener"};
};

TEST_F(GatewayListener, HeadsAnnouncingTheLargestFrameCostNoBodyMemory) {
    GatewayNode node("srv", "snode", MapFile("node.map", ""));
    node.SetFirstRecordTimeout(60);
    ASSERT_TRUE(node.Start());
    const long threads = StatusField("Threads:");
    std::vector<std::unique_ptr<RawCaller>> callers;
    for (int i = 0; i < 100; ++i) {
        callers.push_back(std::make_unique<RawCaller>(node.Port()));
        ASSERT_TRUE(callers.back()->Connected());
    }
    ASSERT_TRUE(WaitFor([&] { return node.Running() == 100; }));
    // Each connection's thread (the waits for the first record share the
    // process's one deadline thread).
    ASSERT_TRUE(WaitFor([&] { return StatusField("Threads:") >= threads + 100; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = StatusField("VmRSS:");
    // Two zero bytes, then a length of 0x01010000, the largest allowed.
    const std::string head("\0\0\0\0\x01\x01\0", 7);
    for (auto& c : callers) ASSERT_TRUE(c->Send(head));
    for (auto& c : callers) ASSERT_TRUE(WaitFor([&] { return PeerReadAll(c->Fd()); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own bookkeeping grows with every thread that runs:
    // resident size says nothing about the frames here.
    (void)before;
#else
    EXPECT_LT(StatusField("VmRSS:") - before, 1024) << "KiB above " << before;
#endif
}

TEST_F(GatewayListener, ConnectAndCloseCyclesLeaveNoDescriptorBehind) {
    GatewayNode node("srv", "snode", MapFile("node.map", ""));
    ASSERT_TRUE(node.Start());
    // One cycle first, so that what the node sets up once is counted.
    { RawCaller warm(node.Port()); }
    ASSERT_TRUE(WaitFor([&] { return node.Running() == 0; }));
    // The accepting thread opens the next connection's transport before it
    // waits, and may or may not have done so when either count is taken: a
    // few descriptors of slack, where a leak would show as one per cycle.
    constexpr int kNextConnection = 4;
    const int before = OpenDescriptors();
    for (int i = 0; i < 1000; ++i) {
        RawCaller caller(node.Port());
        ASSERT_TRUE(caller.Connected()) << i;
    }
    EXPECT_TRUE(WaitFor([&] {
        return node.Running() == 0 && OpenDescriptors() <= before + kNextConnection;
    })) << OpenDescriptors()
        << " descriptors, " << before << " before";
    // Ended connections are reaped as the node goes on accepting.
    { RawCaller last(node.Port()); }
    EXPECT_TRUE(WaitFor([&] { return node.Held() <= 2; })) << node.Held();
}

TEST_F(GatewayListener, CallersWithoutAValidConnectAreDroppedWhileOthersAreServed) {
    GatewayNode node("srv", "snode", MapFile("node.map", ""));
    node.SetFirstRecordTimeout(1);
    ASSERT_TRUE(node.Start());
    JexNetMsg data('D');
    data['D'] = JexBuffer(JexString("hello"));
    JexNetMsg incomplete('C');
    incomplete['A'] = JexBuffer(JexString("echo"));
    struct Case {
        const char* name;
        std::string first;  // what the caller sends first; empty: nothing
        bool atOnce;        // closed well before the first-record bound
    };
    const Case cases[] = {
        {"silent", "", false},
        {"DATA first", Framed(data), true},
        {"CONNECT without its items", Framed(incomplete), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawCaller bad(node.Port());
        ASSERT_TRUE(bad.Connected());
        if (!c.first.empty()) {
            ASSERT_TRUE(bad.Send(c.first));
        }
        const auto start = Clock::now();
        // The close is timed on a thread of its own, so that the time the
        // other client takes on a slow machine does not count.
        std::string answer;
        bool closed = false;
        long long took = 0;
        std::thread watch([&] {
            closed = bad.ClosedWithin(10000, &answer);
            took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        });
        // Another client is served in the meantime.
        QuietGateway client;
        const int connected = ConnectEcho(client, node.Address());
        const bool echoed = connected == 0 && Echoes(client);
        watch.join();
        ASSERT_EQ(connected, 0) << client.Describe(1).Text();
        EXPECT_TRUE(echoed) << client.Describe(1).Text();
        EXPECT_TRUE(closed);
        EXPECT_EQ(answer, "");  // not answered
        if (c.atOnce) {
            EXPECT_LT(took, 900);
        } else {
            EXPECT_GE(took, 900);
        }
        EXPECT_EQ(client.Disconnect(), 0);
    }
}

TEST_F(GatewayListener, CallersBeyondTheCapAreRefusedWithTheGatewaysError) {
    GatewayNode node("srv", "snode", MapFile("node.map", ""));
    node.SetMaxConnections(2);
    node.SetFirstRecordTimeout(60);
    ASSERT_TRUE(node.Start());
    RawCaller first(node.Port());
    RawCaller second(node.Port());
    ASSERT_TRUE(WaitFor([&] { return node.Running() == 2; }));

    QuietGateway refused;
    EXPECT_EQ(ConnectEcho(refused, node.Address()), JexGateway::REMOTEFAIL);
    ASSERT_NE(refused.Cause(), nullptr);
    EXPECT_EQ(refused.Cause()->Code(), JexGateway::FAILURE);
    const std::string why = refused.Describe(1).Text();
    EXPECT_NE(why.find("2 connections running"), std::string::npos) << why;
    EXPECT_EQ(node.Running(), 2);

    // A slot given back is taken again.
    first.Close();
    ASSERT_TRUE(WaitFor([&] { return node.Running() == 1; }));
    QuietGateway served;
    ASSERT_EQ(ConnectEcho(served, node.Address()), 0) << served.Describe(1).Text();
    EXPECT_TRUE(Echoes(served));
}

TEST_F(GatewayListener, ABurstOfConnectsIsQueuedNotDropped) {
    GatewayNode node("srv", "snode", MapFile("node.map", ""));
    node.SetFirstRecordTimeout(60);
    ASSERT_TRUE(node.Start());
    // A refused handshake step is retried by the caller's system after a
    // second: a burst that overflows the queue shows as connects that take
    // that long.
    constexpr int kBurst = 200;
    std::vector<int> fds;
    const sockaddr_in to = tavro::testing::LoopbackAddress(node.Port());
    const auto start = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        const int rc = ::connect(fd, tavro::testing::AsSockaddr(to), sizeof to);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << std::strerror(errno);
    }
    int connected = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLOUT, 0};
        const auto left = std::chrono::milliseconds(900) - (Clock::now() - start);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (::poll(&p, 1, static_cast<int>(std::max<long>(ms, 0))) != 1) continue;
        int err = -1;
        socklen_t size = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size);
        if (err == 0) ++connected;
    }
    EXPECT_EQ(connected, kBurst);
    EXPECT_TRUE(WaitFor([&] { return node.Accepted() == kBurst; })) << node.Accepted();
    for (int fd : fds) ::close(fd);
}

// A relay node between the caller and a far end.
class GatewayRelayLegs : public GatewayListener {
protected:
    // A far end that accepts and never answers.
    struct SilentHop {
        SilentHop() : fd(tavro::testing::ListenLoopback(port)) {}
        ~SilentHop() {
            if (accepted >= 0) ::close(accepted);
            if (fd >= 0) ::close(fd);
        }
        bool Accept() {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1) return false;
            accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            return accepted >= 0;
        }
        std::string Address() const { return tavro::testing::LoopbackTransportAddress(port); }
        int port = -1;
        int fd = -1;
        int accepted = -1;
    };

    // Sends a CONNECT for the echo application of srv/snode on a raw
    // connection, as a client gateway would.
    static std::string ConnectRecord() {
        JexNetMsg c('C');
        const auto put = [&c](int item, const char* text) { c[item] = JexBuffer(JexString(text)); };
        put('A', "echo");
        put('t', "now");
        put('T', "srv");
        put('N', "snode");
        c['h'] = JexBuffer(JexBufferBase("\0", 1));
        c['H'] = JexBuffer(JexBufferBase("\x07\0", 2));
        c['R'] = JexBuffer(JexBufferBase("\x05\0", 2));
        put('P', "cli/cnode|x||");
        put('z', "x");
        c['p'] = JexBuffer(JexBufferBase("\x0a\0", 2));
        c['r'] = JexBuffer(JexBufferBase("\0\0", 2));
        put('S', "cli");
        put('n', "cnode");
        put('y', "cli/cnode");
        put('V', "2.32 Exp");
        return Framed(c);
    }
};

TEST_F(GatewayRelayLegs, ACallerThatLeavesWhileTheNextHopThinksEndsBothLegs) {
    SilentHop far;
    ASSERT_GT(far.port, 0);
    GatewayNode relay("r1", "n1", MapFile("relay.map", RouteEntry("srv", far.Address())));
    ASSERT_TRUE(relay.Start());
    RawCaller caller(relay.Port());
    ASSERT_TRUE(caller.Send(ConnectRecord()));
    ASSERT_TRUE(far.Accept());
    ASSERT_TRUE(WaitFor([&] { return PeerReadAll(caller.Fd()); }));
    caller.Close();
    // The relay closes its onward leg and ends the connection.
    pollfd p{far.accepted, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(far.accepted, buffer, sizeof buffer, 0)) > 0) {
    }
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(WaitFor([&] { return relay.Running() == 0; })) << relay.Running();
}

TEST_F(GatewayRelayLegs, ACallerThatLeavesARunningRelayEndsBothLegs) {
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    ASSERT_TRUE(server.Start());
    GatewayNode relay("r1", "n1", MapFile("relay.map", RouteEntry("srv", server.Address())));
    ASSERT_TRUE(relay.Start());
    {
        QuietGateway client;
        ASSERT_EQ(ConnectEcho(client, relay.Address()), 0) << client.Describe(1).Text();
        ASSERT_TRUE(Echoes(client));
        // The caller goes silent, then away without a FINISH.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        client.ReleaseTransport(0);
        client.ReleaseTransport(1);
    }
    EXPECT_TRUE(WaitFor([&] { return relay.Running() == 0 && server.Running() == 0; }))
        << relay.Running() << " " << server.Running();
}

TEST_F(GatewayRelayLegs, AnIdleLimitEndsASilentRelay) {
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    ASSERT_TRUE(server.Start());
    GatewayNode relay("r1", "n1", MapFile("relay.map", RouteEntry("srv", server.Address())));
    relay.SetRelayIdleLimit(1);
    ASSERT_TRUE(relay.Start());
    QuietGateway client;
    ASSERT_EQ(ConnectEcho(client, relay.Address()), 0) << client.Describe(1).Text();
    // Records keep a relay alive past its limit...
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(Echoes(client)) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    // ...silence ends it.
    const auto start = Clock::now();
    JexBuffer nothing;
    EXPECT_NE(client.GetMsg(nothing, 10), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WaitFor([&] { return relay.Running() == 0 && server.Running() == 0; }));
}

}  // namespace
