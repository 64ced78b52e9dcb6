// Tests of the byte-stream endpoints over real links: TCP on 127.0.0.1 and local pipes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "jexlink/transport/JexLocalIO.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexTcpIO.h"
#include "jexlink/transport/JexTransport.h"
#include "platform/PlatformState.h"
#include "platform/winerror.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/TransportTestSupport.h"

namespace {

using namespace std::chrono_literals;
using tavro::testing::LocalPort;
using tavro::testing::LoopbackTransportAddress;
using tavro::testing::RaiseLog;

constexpr auto kBound = 10s;  // no step of these tests waits longer

std::string Text(JexTransport& t, int attribute) {
    JexString v;
    t.GetAttr(attribute, v);
    return v.Text();
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + (i >> 11)) & 0xFF);
    return s;
}

// A link of one kind: a listener, a client connected to it and the server
// side of that connection. Every wait is bounded.
class StreamTest : public ::testing::TestWithParam<char> {
protected:
    bool Tcp() const { return GetParam() == 'T'; }

    std::string ListenAddress() const {
        return Tcp() ? "T/127.0.0.1/0" : "L/stream-test-" + std::to_string(getpid());
    }

    std::string ConnectAddress() const {
        if (!Tcp()) return ListenAddress();
        return LoopbackTransportAddress(LocalPort(listener->Endpoint()->Handle()));
    }

    void OpenListener() {
        listener = std::make_unique<JexTransportListener>(JexNetAddr(ListenAddress().c_str(), '/'));
        ASSERT_TRUE(listener->Listening()) << listener->Describe(1).Text();
    }

    // A pipe instance exists only while an Accept waits: the client tries
    // again until it is there, as pipe clients do.
    int ConnectClient(JexTransport& t) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        for (;;) {
            t.SetSuppress(1);
            const int rc = t.Connect(JexNetAddr(ConnectAddress().c_str(), '/'));
            t.SetSuppress(0);
            if (rc == 0 || Tcp() || std::chrono::steady_clock::now() > deadline) return rc;
            std::this_thread::sleep_for(5ms);
        }
    }

    void Open() {
        OpenListener();
        server = std::make_unique<JexTransport>();
        client = std::make_unique<JexTransport>();
        auto accepted = std::async(std::launch::async, [&] { return listener->Accept(*server); });
        ASSERT_EQ(ConnectClient(*client), 0) << client->Describe(1).Text();
        ASSERT_EQ(accepted.wait_for(kBound), std::future_status::ready);
        ASSERT_EQ(accepted.get(), 0) << server->Describe(1).Text();
    }

    // Runs a step on another thread for at most kBound; a step still
    // running then is ended by disconnecting every transport of the test.
    template <class Step>
    int Bounded(Step step) {
        auto done = std::async(std::launch::async, step);
        if (done.wait_for(kBound) == std::future_status::ready) return done.get();
        ADD_FAILURE() << "a step did not end in time";
        for (JexTransport* t :
             {static_cast<JexTransport*>(listener.get()), server.get(), client.get()})
            if (t) t->Disconnect();
        done.wait();
        return -1;
    }

    // The client writes with `send` while the server reads as many bytes as
    // expected holds: both succeed and exactly those bytes arrive.
    template <class Send>
    void ExpectCarried(const std::string& expected, Send send) {
        auto serverSide = std::async(std::launch::async, [&] {
            std::string in(expected.size(), '\0');
            int got = 0;
            const int rc = server->GetData(in.data(), static_cast<int>(in.size()), got, 0);
            return rc != 0 ? rc : in == expected ? 0 : -1;
        });
        EXPECT_EQ(Bounded(send), 0);
        if (serverSide.wait_for(kBound) != std::future_status::ready) server->Disconnect();
        EXPECT_EQ(serverSide.get(), 0);
    }

    std::unique_ptr<JexTransportListener> listener;
    std::unique_ptr<JexTransport> server;
    std::unique_ptr<JexTransport> client;
};

TEST_P(StreamTest, ExchangeOneMebibyteEachWay) {
    Open();
    const std::string up = Pattern(1 << 20, 1);
    const std::string down = Pattern(1 << 20, 2);
    auto serverSide = std::async(std::launch::async, [&] {
        std::string in(up.size(), '\0');
        int got = 0;
        const int rc = server->GetData(in.data(), static_cast<int>(in.size()), got, 0);
        if (rc != 0 || in != up) return rc != 0 ? rc : -1;
        return server->PutData(down.data(), static_cast<int>(down.size()), 0);
    });
    std::string in(down.size(), '\0');
    int got = 0;
    EXPECT_EQ(Bounded([&] {
                  const int rc = client->PutData(up.data(), static_cast<int>(up.size()), 0);
                  if (rc != 0) return rc;
                  return client->GetData(in.data(), static_cast<int>(in.size()), got, 0);
              }),
              0);
    if (serverSide.wait_for(kBound) != std::future_status::ready) server->Disconnect();
    EXPECT_EQ(serverSide.get(), 0);
    EXPECT_EQ(got, 1 << 20);
    EXPECT_TRUE(in == down);

    // Both ends name the same two addresses, and the statistics copy them.
    EXPECT_EQ(Text(*client, JexTransport::kCalled), Text(*server, JexTransport::kCalled));
    EXPECT_EQ(Text(*client, JexTransport::kCalling), Text(*server, JexTransport::kCalling));
    for (JexTransport* t : {client.get(), server.get()}) {
        JexNetStats* stats = t->Stats(1);
        EXPECT_EQ(Text(*t, JexTransport::kCalled), stats->callee.Text());
        EXPECT_EQ(Text(*t, JexTransport::kCalling), stats->caller.Text());
        EXPECT_EQ(stats->counters[JexNetStats::kBytesSent], 1u << 20);
        EXPECT_EQ(stats->counters[JexNetStats::kBytesReceived], 1u << 20);
        EXPECT_EQ(stats->counters[JexNetStats::kMessagesSent], 1u);
        EXPECT_EQ(stats->counters[JexNetStats::kMessagesReceived], 1u);
        int type = 0;
        t->GetAttr(JexTransport::kType, type);
        EXPECT_EQ(type, GetParam());
    }
    EXPECT_EQ(listener->Stats(1)->counters[JexNetStats::kMessagesReceived], 1u);
    const std::string called = Text(*server, JexTransport::kCalled);
    if (Tcp()) {
        const std::string port = std::to_string(LocalPort(listener->Endpoint()->Handle()));
        EXPECT_EQ(called.substr(0, 2), "T/");
        EXPECT_EQ(JexNetAddr(called.c_str(), '/')[2].Text() == port ||
                      !std::isdigit(static_cast<unsigned char>(called.back())),
                  true)
            << called;
        EXPECT_STREQ(listener->Stats(1)->name.Text(), "JexTcpIO Listener");
        EXPECT_STREQ(client->Stats(1)->name.Text(), "JexTcpIO");
    } else {
        EXPECT_EQ(called, ListenAddress());
        EXPECT_EQ(Text(*server, JexTransport::kCalling), "L/");
        EXPECT_STREQ(listener->Stats(1)->name.Text(), "JexLocalIO Listener");
        EXPECT_STREQ(client->Stats(1)->name.Text(), "JexLocalIO");
    }
}

// Writes go out as pieces of the IO size, many pieces a call; the bytes
// arrive unchanged whatever the size, partial writes of the kernel included.
TEST_P(StreamTest, AnyIoSizeCarriesTheSameBytes) {
    Open();
    const std::string up = Pattern(3 << 20, 3);
    for (int ioSize : {1, 7, 1280, 200000}) {
        SCOPED_TRACE(ioSize);
        client->SetAttr(JexTransport::kIoSize, ioSize);
        ExpectCarried(up,
                      [&] { return client->PutData(up.data(), static_cast<int>(up.size()), 0); });
    }
}

// Parts that follow each other in memory go to the kernel as one stretch,
// parts elsewhere as their own: the bytes arrive in the order of the parts
// whatever the IO size, partial writes included.
TEST_P(StreamTest, PartsArriveInTheirOrderWhereverTheyLie) {
    Open();
    const std::string all = Pattern(3 << 20, 5);
    const char* p = all.data();
    // Adjacent, then behind the one before, then far ahead, then empty,
    // then adjacent again.
    const iovec parts[] = {{const_cast<char*>(p), 1000},
                           {const_cast<char*>(p + 1000), 4000},
                           {const_cast<char*>(p + 9000), 1000},
                           {const_cast<char*>(p + 5000), 4000},
                           {const_cast<char*>(p + 100000), all.size() - 100000},
                           {const_cast<char*>(p), 0},
                           {const_cast<char*>(p + 10000), 90000}};
    std::string expected;
    for (const iovec& part : parts)
        expected.append(static_cast<const char*>(part.iov_base), part.iov_len);
    for (int ioSize : {1, 7, 1280, 200000}) {
        SCOPED_TRACE(ioSize);
        client->SetAttr(JexTransport::kIoSize, ioSize);
        ExpectCarried(expected, [&] {
            return client->PutDataParts(parts, static_cast<int>(std::size(parts)));
        });
    }
    EXPECT_EQ(client->Stats(1)->counters[JexNetStats::kBytesSent], 4u * expected.size());
}

TEST_P(StreamTest, AcceptAnnouncesTheConnectionAndTraceDumpsTheBytes) {
    setenv("JEXTRANSPORT_TRACE", "d", 1);
    testing::internal::CaptureStderr();
    Open();
    ASSERT_EQ(client->PutData("hi", 2, 0), 0);
    char buf[2];
    int got = 0;
    EXPECT_EQ(Bounded([&] { return server->GetData(buf, 2, got, 0); }), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    unsetenv("JEXTRANSPORT_TRACE");
    EXPECT_NE(err.find("JexNetIO::Accept: " + Text(*server, JexTransport::kCalled) + " <- " +
                       Text(*server, JexTransport::kCalling) + "\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("\nJexTransport::PutData: Sending 2 byte(s):\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\nJexTransport::GetData: Received 2 byte(s):\n"), std::string::npos) << err;
}

TEST_P(StreamTest, EmptyReadsAndWritesCountOneMessage) {
    Open();
    int got = 7;
    EXPECT_EQ(client->PutData("", 0, 0), 0);
    EXPECT_EQ(client->GetData(nullptr, 0, got, 0), 0);
    EXPECT_EQ(got, 0);
    JexNetStats* stats = client->Stats(1);
    EXPECT_EQ(client->Stats(2), stats);  // an endpoint has no endpoint below it
    EXPECT_EQ(stats->counters[JexNetStats::kMessagesSent], 1u);
    EXPECT_EQ(stats->counters[JexNetStats::kMessagesReceived], 1u);
    EXPECT_EQ(stats->counters[JexNetStats::kBytesSent], 0u);
}

TEST_P(StreamTest, SingleReadsTakeWhatOneReadDelivers) {
    Open();
    client->SetAttr(JexTransport::kIoSize, 100);
    ASSERT_EQ(server->PutData("0123456789", 10, 0), 0);
    JexBuffer b;
    ASSERT_EQ(Bounded([&] { return client->GetData(b, 0); }), 0);
    EXPECT_GE(b.Length(), 1);
    EXPECT_LE(b.Length(), 10);
    EXPECT_EQ(std::string(b.Data(), static_cast<size_t>(b.Length())),
              std::string("0123456789").substr(0, static_cast<size_t>(b.Length())));
}

TEST_P(StreamTest, PeerClosingInTheMiddleOfAReadGivesEnd) {
    for (int raiseEnd : {0, 1}) {
        SCOPED_TRACE(raiseEnd);
        Open();
        {
            RaiseLog raised(client.get());
            client->SetAttr(JexTransport::kRaiseEnd, raiseEnd);
            const std::string half = Pattern(500, 3);
            ASSERT_EQ(server->PutData(half.data(), 500, 0), 0);
            server->Disconnect();
            char buf[1000];
            int got = 0;
            EXPECT_EQ(Bounded([&] { return client->GetData(buf, 1000, got, 0); }),
                      JexTransport::END);
            EXPECT_EQ(got, 500);
            EXPECT_EQ(std::string(buf, 500), half);
            EXPECT_EQ(raised.Codes(), raiseEnd ? std::vector<int>{8} : std::vector<int>{});
            // The single read reports the end the same way.
            JexBuffer b;
            EXPECT_EQ(Bounded([&] { return client->GetData(b, 0); }), JexTransport::END);
            EXPECT_EQ(b.Length(), 0);
            EXPECT_EQ(client->Stats(1)->counters[JexNetStats::kBytesReceived], 500u);
        }
        client.reset();
        server.reset();
        listener.reset();
    }
}

TEST_P(StreamTest, WritingToAClosedPeerFailsAndTheProcessLives) {
    Open();
    RaiseLog raised(client.get());
    server.reset();  // closes the far end
    const std::string block(64 * 1024, 'w');
    int rc = 0;
    for (int i = 0; i < 1000 && rc == 0; ++i)
        rc = client->PutData(block.data(), static_cast<int>(block.size()), 0);
    EXPECT_EQ(rc, JexTransport::SYSERR);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::SYSERR});
    EXPECT_STREQ(client->Args()[0].Data(), "JexNetIO::PutData");
    ASSERT_NE(client->Cause(), nullptr);
    EXPECT_NE(client->Cause()->Code(), 0);
}

TEST_P(StreamTest, WithoutAnyHandlerAFailureIsReportedAndReturned) {
    Open();
    server.reset();
    const std::string block(64 * 1024, 'w');
    testing::internal::CaptureStderr();
    int rc = 0;
    for (int i = 0; i < 1000 && rc == 0; ++i)
        rc = client->PutData(block.data(), static_cast<int>(block.size()), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, JexTransport::SYSERR);
    EXPECT_EQ(err.rfind("--- JexTransport::SYSERR, Operating system error\n", 0), 0u) << err;
}

TEST_P(StreamTest, DisconnectFromAnotherThreadEndsABlockedRead) {
    Open();
    RaiseLog raised(client.get());
    char buf[16];
    int got = -1;
    auto read = std::async(std::launch::async, [&] { return client->GetData(buf, 16, got, 0); });
    EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout);  // it blocks
    EXPECT_EQ(client->Disconnect(), 0);
    EXPECT_EQ(read.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(read.get(), JexTransport::END);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(client->Endpoint()->Handle(), -1);
    EXPECT_EQ(client->Disconnect(), 0);  // any number of times
    // Nothing more moves on a disconnected endpoint.
    EXPECT_EQ(client->PutData("x", 1, 0), JexTransport::SYSERR);
}

TEST_P(StreamTest, DisconnectFromAnotherThreadEndsAWaitingAccept) {
    OpenListener();
    JexTransport t;
    RaiseLog raised(&t);
    auto accepted = std::async(std::launch::async, [&] { return listener->Accept(t); });
    EXPECT_EQ(accepted.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(listener->Disconnect(), 0);
    EXPECT_EQ(accepted.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(accepted.get(), JexTransport::END);
    // Every later Accept ends the same way, at once.
    JexTransport again;
    EXPECT_EQ(listener->Accept(again), JexTransport::END);
}

TEST_P(StreamTest, ConnectWithoutAListenerIsRefused) {
    std::string address = "L/nobody-listens-here";
    if (Tcp()) {
        const int port = tavro::testing::ClosedLoopbackPort();
        ASSERT_GT(port, 0);
        address = LoopbackTransportAddress(port);
    }
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Connect(JexNetAddr(address.c_str(), '/')), JexTransport::CONNECTERR);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::CONNECTERR});
    EXPECT_EQ(t.Endpoint()->Handle(), -1);
    EXPECT_EQ(Text(t, JexTransport::kCalled).substr(0, 2), address.substr(0, 2));
}

TEST_P(StreamTest, ChildAdoptsAnInheritedConnectionThroughListen) {
    Open();
    RaiseLog raised(client.get());
    const int inherited = dup(server->Endpoint()->Handle());  // without close-on-exec
    ASSERT_GE(inherited, 0);
    setenv("JEX_NET_HANDLE", std::to_string(inherited).c_str(), 1);
    setenv("JEX_TRANSPORT_TYPE", Tcp() ? "T" : "L", 1);
    auto child = std::async(std::launch::async,
                            [] { return tavro::testing::RunChild({TRANSPORT_CHILD}, "", 20000); });
    server.reset();  // the child holds the connection now

    const std::string data = Pattern(64 * 1024, 9);
    std::string back(data.size(), '\0');
    int got = 0;
    // The child answers as it reads: write and read at the same time.
    auto write = std::async(std::launch::async, [&] {
        return client->PutData(data.data(), static_cast<int>(data.size()), 0);
    });
    const int rc = Bounded(
        [&] { return client->GetData(back.data(), static_cast<int>(back.size()), got, 0); });
    EXPECT_EQ(write.get(), 0);
    client->Disconnect();
    const tavro::testing::ChildResult result = child.get();  // RunChild bounds it
    close(inherited);
    EXPECT_EQ(rc, 0) << result.output;
    for (char& c : back) c = static_cast<char>(c ^ 0x5A);
    EXPECT_TRUE(back == data);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    const std::string expected = "called=" + Text(*client, JexTransport::kCalled) +
                                 " calling=" + Text(*client, JexTransport::kCalling);
    if (Tcp())
        EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
    else
        EXPECT_NE(result.output.find("called=L/ calling=L/"), std::string::npos) << result.output;
}

INSTANTIATE_TEST_SUITE_P(Links, StreamTest, ::testing::Values('T', 'L'),
                         [](const ::testing::TestParamInfo<char>& param) {
                             return param.param == 'T' ? std::string("Tcp")
                                                       : std::string("LocalPipe");
                         });

TEST(JexNetIOListen, WithoutAnInheritedHandle) {
    struct Case {
        const char* handle;  // null: unset
        const char* cause;
    } cases[] = {{nullptr, "getenv"}, {"-1", "getsockopt"}, {"999999", "getsockopt"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.handle ? c.handle : "unset");
        if (c.handle)
            setenv("JEX_NET_HANDLE", c.handle, 1);
        else
            unsetenv("JEX_NET_HANDLE");
        setenv("JEX_TRANSPORT_TYPE", "T", 1);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Listen(), JexTransport::SYSERR);
        EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::SYSERR});
        ASSERT_NE(t.Cause(), nullptr);
        EXPECT_STREQ(t.Cause()->Args()[0].Data(), c.cause);
    }
    unsetenv("JEX_NET_HANDLE");
}

TEST(JexNetIOListen, AHandleThatIsNoSocketIsLeftAlone) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    setenv("JEX_NET_HANDLE", std::to_string(fd).c_str(), 1);
    setenv("JEX_TRANSPORT_TYPE", "T", 1);
    {
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Listen(), JexTransport::SYSERR);
    }
    EXPECT_NE(fcntl(fd, F_GETFD), -1);  // still open
    close(fd);
    unsetenv("JEX_NET_HANDLE");
}

TEST(JexTcpIO, NamesThatDoNotResolveAreBadNames) {
    const std::string unresolvable = std::string("T/") + tavro::testing::kUnresolvableHost + "/25";
    struct Case {
        const char* address;
        const char* offending;
    } cases[] = {
        {unresolvable.c_str(), tavro::testing::kUnresolvableHost},
        {"T/127.0.0.1/no-such-service-here", "no-such-service-here"},
        {"T/127.0.0.1/", ""},
        {"T/127.0.0.1/70000", "70000"},
        {"T//25", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Connect(JexNetAddr(c.address, '/')), JexTransport::BADNAME);
        EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::BADNAME});
        EXPECT_STREQ(t.Args()[1].Data() ? t.Args()[1].Data() : "", c.offending);
        EXPECT_EQ(t.Endpoint()->Handle(), -1);
    }
}

TEST(JexTcpIO, ABusyPortIsRecordedOnTheListener) {
    JexTransportListener first(JexNetAddr("T/127.0.0.1/0", '/'));
    ASSERT_TRUE(first.Listening());
    const std::string port = std::to_string(LocalPort(first.Endpoint()->Handle()));
    JexTransportListener second(JexNetAddr(("T/127.0.0.1/" + port).c_str(), '/'));
    EXPECT_FALSE(second.Listening());
    EXPECT_EQ(second.Code(), JexTransport::SYSERR);
    ASSERT_NE(second.Cause(), nullptr);
    EXPECT_EQ(second.Cause()->Code(), WSAEADDRINUSE);
    EXPECT_STREQ(second.Cause()->Args()[0].Data(), "bind");
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(second.Accept(t), JexTransport::UNSUPPORTED);
}

TEST(JexTcpIO, ServiceNamesResolveThroughTheServicesDatabase) {
    // smtp is port 25: whatever listens there, the name resolved if the
    // result is not BADNAME.
    JexTransport t;
    RaiseLog raised(&t);
    const int rc = t.Connect(JexNetAddr("T/127.0.0.1/smtp", '/'));
    EXPECT_NE(rc, JexTransport::BADNAME);
    const std::string called = Text(t, JexTransport::kCalled);
    EXPECT_EQ(called.substr(called.size() - 5), "/smtp") << called;
}

TEST(JexTcpIO, TheLibrarysServiceNamesComeFirstBothWays) {
    JexTransportListener listener(JexNetAddr("T/127.0.0.1/0", '/'));
    ASSERT_TRUE(listener.Listening());
    const int port = LocalPort(listener.Endpoint()->Handle());
    tavro::testing::TempDir root("tavro-root");
    ASSERT_FALSE(root.Path().empty());
    ASSERT_FALSE(tavro::testing::InstallServicesFile(root.Path(),
                                                     "jextest " + std::to_string(port) + "/tcp\n")
                     .empty());
    JexTransport server;
    auto accepted = std::async(std::launch::async, [&] { return listener.Accept(server); });
    JexTransport client;
    RaiseLog raised(&client);
    EXPECT_EQ(client.Connect(JexNetAddr("T/127.0.0.1/jextest", '/')), 0);
    ASSERT_EQ(accepted.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(accepted.get(), 0);
    const std::string called = Text(client, JexTransport::kCalled);
    EXPECT_EQ(called.substr(called.rfind('/')), "/jextest") << called;
    EXPECT_EQ(Text(server, JexTransport::kCalled), called);
}

TEST(JexLocalIO, PipeNamesBecomeSafeFileNames) {
    struct Case {
        const char* name;
        const char* file;
    } cases[] = {
        {"jex-gateway_1.0", "jex-gateway_1.0"},
        {"MixedCase", "mixedcase"},
        {"", ""},
        {".hidden", ""},
        {"..", ""},
        {"a/b", ""},
        {"a\\b", ""},
        {"sp ace", ""},
        {"\xc3\xa9t\xc3\xa9", ""},
        {nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "null");
        EXPECT_EQ(JexLocalIO::PipeFileName(c.name), c.file);
    }
    EXPECT_EQ(JexLocalIO::PipeFileName(std::string(80, 'a').c_str()), std::string(80, 'a'));
    EXPECT_EQ(JexLocalIO::PipeFileName(std::string(81, 'a').c_str()), "");
}

TEST(JexLocalIO, InvalidNamesAreRefusedWithoutAFile) {
    for (const char* address : {"L/../escape", "L/a b", "L/", "L/.x", "L/x\\y"}) {
        SCOPED_TRACE(address);
        JexTransportListener listener(JexNetAddr(address, '/'));
        EXPECT_FALSE(listener.Listening());
        EXPECT_EQ(listener.Code(), JexTransport::SYSERR);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Connect(JexNetAddr(address, '/')), JexTransport::CONNECTERR);
        ASSERT_NE(t.Cause(), nullptr);
        EXPECT_EQ(t.Cause()->Code(), ERROR_INVALID_NAME);
    }
}

TEST(JexLocalIO, LongNamesAreCutToThePathLimit) {
    JexLocalIO io;
    const std::string name(600, 'n');
    io.set_pipe_name(JexNetAddr(("L/" + name).c_str(), '/'));
    const std::string path(io.CalledBuffer() + 2);
    EXPECT_EQ(path.size(), 512u);
    EXPECT_EQ(path.substr(0, 9), "\\\\.\\pipe\\");
    EXPECT_EQ(path.substr(9), name.substr(0, 503));
    EXPECT_EQ(io.CalledBuffer()[0], 1);
    EXPECT_STREQ(io.strsockaddr(io.CalledBuffer()).Text(), ("L/" + name.substr(0, 503)).c_str());
}

TEST(JexLocalIO, NamesAreCaseBlindAndOneInstanceWaitsAtATime) {
    JexTransportListener listener(JexNetAddr("L/CasePipe", '/'));
    ASSERT_TRUE(listener.Listening());
    JexTransport server;
    auto accepted = std::async(std::launch::async, [&] { return listener.Accept(server); });

    // A second listener of the same name cannot wait while the first does.
    ASSERT_TRUE(tavro::testing::WaitFor(
        [] { return std::filesystem::exists(platform::StateSubdir("pipe") / "casepipe"); }, 10000));
    JexTransportListener rival(JexNetAddr("L/casepipe", '/'));
    ASSERT_TRUE(rival.Listening());
    JexTransport other;
    RaiseLog otherRaised(&other);
    EXPECT_EQ(rival.Accept(other), JexTransport::SYSERR);
    EXPECT_EQ(otherRaised.Codes(), std::vector<int>{JexTransport::SYSERR});

    JexTransport client;
    client.SetSuppress(1);
    int rc = -1;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while ((rc = client.Connect(JexNetAddr("L/casepipe", '/'))) != 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(accepted.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(accepted.get(), 0);

    // Between two Accepts no instance exists.
    JexTransport late;
    late.SetSuppress(1);
    EXPECT_EQ(late.Connect(JexNetAddr("L/CasePipe", '/')), JexTransport::CONNECTERR);
}

}  // namespace
