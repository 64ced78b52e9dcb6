// Tests of the gateway relay, its transport handler, the gateway listener and route learning.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexRouteMap.h"
#include "testing/support/GatewayTestSupport.h"

namespace {

using tavro::testing::kBound;
using tavro::testing::LinkedPair;

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "<absent>";
}

JexNetMsg Record(int type, std::initializer_list<std::pair<int, std::string>> items) {
    JexNetMsg m(type);
    for (const auto& [item, text] : items)
        m[item] = JexBuffer(text.data(), static_cast<int>(text.size()));
    return m;
}

JexNetMsg Learn() {
    return Record('L', {{'t', "time"}, {'z', "far platform"}, {'y', "far"}, {'V', "2.32 Exp"}});
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A temporary route map file, removed at the end.
struct MapFile {
    std::string path;
    explicit MapFile(const std::string& contents) {
        char name[] = "/tmp/tavro-gwmap-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
        std::ofstream(path) << contents;
    }
    ~MapFile() { std::filesystem::remove(path); }
};

// caller (side 1) <-> (side 0) relay (side 1) <-> (side 0) far
class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        LinkedPair near;
        LinkedPair far_link;
        ASSERT_EQ(near.Open(), "");
        ASSERT_EQ(far_link.Open(), "");
        caller.AttachTransport(1, near.a.release());
        relay.AttachTransport(0, near.b.release());
        relay.AttachTransport(1, far_link.a.release());
        far.AttachTransport(0, far_link.b.release());
        relay.set_state(JexGateway::GATEWAY);
    }

    void Start() {
        running = std::async(std::launch::async, [this] { return relay.relay(); });
    }

    // Reads a record, bounded: a read still waiting is ended by closing.
    static int Receive(JexGateway& g, int side, JexNetMsg& record) {
        auto got = std::async(std::launch::async, [&] { return g.recv_record(side, record); });
        if (got.wait_for(kBound) != std::future_status::ready) {
            g.Transport(side)->Disconnect();
            got.wait();
            return -1;
        }
        return got.get();
    }

    int Finish() {
        if (running.wait_for(kBound) != std::future_status::ready) {
            ADD_FAILURE() << "the relay did not end";
            caller.ReleaseTransport(1);
            far.ReleaseTransport(0);
            running.wait();
        }
        return running.get();
    }

    void TearDown() override {
        if (running.valid()) Finish();
    }

    QuietGateway caller;
    QuietGateway relay;
    QuietGateway far;
    std::future<int> running;
};

TEST_F(RelayTest, RecordsPassBothWaysUntilBothFinish) {
    Start();
    ASSERT_EQ(caller.send_record(1, Record('D', {{'D', "up"}})), 0);
    ASSERT_EQ(caller.send_record(1, Record('Q', {{'x', "query"}})), 0);
    ASSERT_EQ(caller.send_record(1, Record('F', {})), 0);
    JexNetMsg got;
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(Text(got['D']), "up");
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(got.Type(), 'Q');
    EXPECT_EQ(Text(got['x']), "query");
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(got.Type(), 'F');
    ASSERT_EQ(far.send_record(0, Record('D', {{'D', "down"}})), 0);
    ASSERT_EQ(far.send_record(0, Record('F', {})), 0);
    ASSERT_EQ(Receive(caller, 1, got), 0);
    EXPECT_EQ(Text(got['D']), "down");
    ASSERT_EQ(Receive(caller, 1, got), 0);
    EXPECT_EQ(got.Type(), 'F');
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(relay.Transport(0), nullptr);
    EXPECT_EQ(relay.Transport(1), nullptr);
    EXPECT_EQ(relay.Code(), 0);
    EXPECT_EQ(relay.State(), JexGateway::GATEWAY);
}

TEST_F(RelayTest, ANetfailFromTheFarSideIsForwardedAndReported) {
    Start();
    QuietGateway failing;
    failing.SetSuppress(1);
    failing.ExcSet(JexGateway::NOPATH, JexExcArgs("JexGateway::Connect", "app", "a", "b", "c"));
    JexNetMsg netfail;
    failing.systemId = "far-sys";
    failing.make_netfail(netfail, nullptr);
    ASSERT_EQ(far.send_record(0, netfail), 0);
    JexNetMsg got;
    ASSERT_EQ(Receive(caller, 1, got), 0);
    EXPECT_EQ(got.Type(), 'f');
    EXPECT_EQ(Text(got['y']), "far-sys");
    caller.ReleaseTransport(1);  // direction A's read fails: no second NETFAIL
    EXPECT_EQ(Finish(), JexGateway::REMOTEFAIL);
    EXPECT_EQ(relay.Code(), JexGateway::REMOTEFAIL);
    EXPECT_STREQ(relay.FormattedText(0).Text(), "Remote gateway failure at \"far-sys\"");
    ASSERT_NE(relay.Cause(), nullptr);
    EXPECT_EQ(relay.Cause()->Code(), JexGateway::NOPATH);
    // The far end sees its link closed, not a NETFAIL of ours.
    EXPECT_EQ(Receive(far, 0, got), JexGateway::TRANSPORTERR);
}

TEST_F(RelayTest, AFarSideThatReportsAndClosesReachesACallerStillSending) {
    Start();
    // The caller keeps sending while the far side reports and closes: the
    // writes to the far side fail, and the far side's report still arrives
    // whole, alone and first.
    std::atomic<bool> stop{false};
    auto flood = std::async(std::launch::async, [&] {
        const std::string payload(1 << 18, 'x');
        while (!stop && caller.send_record(1, Record('D', {{'D', payload}})) == 0) {
        }
    });
    QuietGateway failing;
    failing.ExcSet(JexGateway::NOPATH, JexExcArgs("JexGateway::Connect", "app", "a", "b", "c"));
    failing.systemId = "far-sys";
    JexNetMsg netfail;
    failing.make_netfail(netfail, nullptr);
    ASSERT_EQ(far.send_record(0, netfail), 0);
    far.ReleaseTransport(0);
    JexNetMsg got;
    const int received = Receive(caller, 1, got);
    stop = true;
    EXPECT_EQ(received, 0);
    EXPECT_EQ(got.Type(), 'f');
    EXPECT_EQ(Text(got['y']), "far-sys");
    // The relay goes on reading what the caller sends: its last write ends.
    if (flood.wait_for(kBound) != std::future_status::ready) {
        ADD_FAILURE() << "the caller's writes stalled";
        caller.Transport(1)->Disconnect();
        flood.wait();
    }
    caller.ReleaseTransport(1);
    EXPECT_EQ(Finish(), JexGateway::REMOTEFAIL);
    EXPECT_EQ(relay.Code(), JexGateway::REMOTEFAIL);
}

TEST_F(RelayTest, ACallerThatClosesTurnsIntoOneNetfailForTheFarEnd) {
    Start();
    ASSERT_EQ(caller.send_record(1, Record('D', {{'D', "last"}})), 0);
    caller.ReleaseTransport(1);
    JexNetMsg got;
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(Text(got['D']), "last");
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(got.Type(), 'f');
    EXPECT_EQ(Text(got['s']), "GATEWAY");
    EXPECT_EQ(Text(got['/']), "JexGateway::TRANSPORTERR");
    EXPECT_EQ(JexGateway::CheckRecord(got), 0);
    far.ReleaseTransport(0);
    EXPECT_EQ(Finish(), JexGateway::TRANSPORTERR);
    EXPECT_EQ(relay.Code(), JexGateway::TRANSPORTERR);
    EXPECT_STREQ(relay.Args()[0].Data(), "JexGateway::transfer() from");
}

// DATA records of every size pass both ways whole, and the records after
// them start where they should.
TEST_F(RelayTest, LargeDataRecordsPassWholeBothWays) {
    Start();
    for (int n : {0, 1, 70000, (1 << 20) + 3}) {
        SCOPED_TRACE(n);
        std::string payload(static_cast<size_t>(n), '\0');
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + n);
        const JexNetMsg data = Record('D', {{'D', payload}});
        for (int from_caller : {1, 0}) {
            QuietGateway& sender = from_caller ? caller : far;
            QuietGateway& receiver = from_caller ? far : caller;
            const int out_side = from_caller ? 1 : 0;
            auto sent = std::async(std::launch::async, [&] {
                return sender.send_record(out_side, data) == 0 &&
                       sender.send_record(out_side, Record('D', {{'D', "next"}})) == 0;
            });
            JexNetMsg got;
            ASSERT_EQ(Receive(receiver, 1 - out_side, got), 0);
            EXPECT_EQ(got.Type(), 'D');
            EXPECT_TRUE(Text(got['D']) == payload);
            ASSERT_EQ(Receive(receiver, 1 - out_side, got), 0);
            EXPECT_EQ(Text(got['D']), "next");
            ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready);
            EXPECT_TRUE(sent.get());
        }
    }
    ASSERT_EQ(caller.send_record(1, Record('F', {})), 0);
    ASSERT_EQ(far.send_record(0, Record('F', {})), 0);
    EXPECT_EQ(Finish(), 0);
}

int OpenPipes() {
    int pipes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code failed;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), failed);
        if (!failed && target.string().rfind("pipe:", 0) == 0) ++pipes;
    }
    return pipes;
}

// The pipe a direction passes its DATA records through is kept only while
// records come: once both directions have carried large records and the
// relay stays idle, it holds none, while the connection goes on.
TEST_F(RelayTest, AnIdleRelayHoldsNoPipeWhateverItCarried) {
    const int before = OpenPipes();
    Start();
    const std::string payload(1 << 20, 'p');
    for (int from_caller : {1, 0, 1}) {
        QuietGateway& sender = from_caller ? caller : far;
        QuietGateway& receiver = from_caller ? far : caller;
        const int out_side = from_caller ? 1 : 0;
        auto sent = std::async(std::launch::async, [&] {
            return sender.send_record(out_side, Record('D', {{'D', payload}})) == 0;
        });
        JexNetMsg got;
        ASSERT_EQ(Receive(receiver, 1 - out_side, got), 0);
        EXPECT_TRUE(Text(got['D']) == payload);
        ASSERT_EQ(sent.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(sent.get());
    }
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (OpenPipes() > before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(OpenPipes(), before);
    // Still relaying, through a new pipe.
    ASSERT_EQ(caller.send_record(1, Record('D', {{'D', payload}})), 0);
    JexNetMsg got;
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_TRUE(Text(got['D']) == payload);
    ASSERT_EQ(caller.send_record(1, Record('F', {})), 0);
    ASSERT_EQ(far.send_record(0, Record('F', {})), 0);
    EXPECT_EQ(Finish(), 0);
}

// A caller that stops in the middle of a DATA record: the far end, which
// holds the start of the record, sees its connection end, never a record
// made of the part and of what followed.
TEST_F(RelayTest, ACallerThatClosesInsideARecordEndsTheFarSide) {
    Start();
    const int length = (1 << 20) + 1;
    const std::string head = {0,
                              0,
                              static_cast<char>(length & 0xFF),
                              static_cast<char>((length >> 8) & 0xFF),
                              static_cast<char>((length >> 16) & 0xFF),
                              0,
                              0,
                              'd'};
    const std::string part = head + std::string(300000, 'p');
    ASSERT_EQ(caller.Transport(1)->PutData(part.data(), static_cast<int>(part.size()), 0), 0);
    caller.ReleaseTransport(1);
    JexNetMsg got;
    const int rc = Receive(far, 0, got);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, -1);  // ended by the relay, not by the bound
    far.ReleaseTransport(0);
    EXPECT_EQ(Finish(), JexGateway::TRANSPORTERR);
    EXPECT_STREQ(relay.Args()[0].Data(), "JexGateway::transfer() from");
}

// A far side that stops reading inside a long DATA record holds the relay
// no longer than its idle limit (and the linger of the leg's close): both
// legs end and the relay reports a transport failure.
TEST_F(RelayTest, AFarSideThatStallsInsideARecordIsEndedByTheIdleLimit) {
    relay.SetRelayIdleLimit(1);
    Start();
    const std::string payload(16 << 20, 's');
    auto sent = std::async(std::launch::async, [&] {
        return caller.send_record(1, Record('D', {{'D', payload}}));
    });
    EXPECT_EQ(Finish(), JexGateway::TRANSPORTERR);
    // The caller's write ends too (done, or failed on its ended link).
    EXPECT_EQ(sent.wait_for(kBound), std::future_status::ready);
}

TEST_F(RelayTest, LearnFromTheFarSideTeachesBackRoutesAndFromTheCallerNothing) {
    MapFile map("");
    relay.routeMap = std::make_unique<JexRouteMap>(JexString(map.path.c_str()));
    relay.routeMap->SetSuppress(1);
    relay.srcAcids.Parse("sa,sb");
    relay.srcNodes.Parse("nx");
    relay.application = "app";
    JexString calling;
    relay.Transport(0)->GetAttr(JexTransport::kCalling, calling);
    Start();
    ASSERT_EQ(caller.send_record(1, Learn()), 0);
    JexNetMsg got;
    ASSERT_EQ(Receive(far, 0, got), 0);
    EXPECT_EQ(got.Type(), 'L');
    ASSERT_EQ(far.send_record(0, Learn()), 0);
    ASSERT_EQ(Receive(caller, 1, got), 0);
    EXPECT_EQ(got.Type(), 'L');
    ASSERT_EQ(caller.send_record(1, Record('F', {})), 0);
    ASSERT_EQ(Receive(far, 0, got), 0);
    ASSERT_EQ(far.send_record(0, Record('F', {})), 0);
    ASSERT_EQ(Receive(caller, 1, got), 0);
    EXPECT_EQ(Finish(), 0);

    JexNetAddr learned(calling, '/');
    learned.SetService("jex_nsd");
    JexString address = learned.Text();
    address.ToLower();
    const std::string file = ReadAll(map.path);
    EXPECT_EQ(Count(file, "\n"), 2u) << file;
    const std::string author = " - B entry author=" + std::string(relay.platform.Text()) +
                               ", message author=far platform\n";
    EXPECT_EQ(file.find("sa/nx/*\t" + std::string(address.Text()) + "\t255\t\t# "), 0u) << file;
    EXPECT_NE(file.find("sb/nx/*\t" + std::string(address.Text()) + "\t255\t\t# "),
              std::string::npos)
        << file;
    EXPECT_EQ(Count(file, author), 2u) << file;
}

// Back routes through a transport whose calling address is known ("@" in a
// case's map stands for it).
TEST(JexGatewayLearning, BackRoutesSkipWhatTheMapKnows) {
    struct Case {
        const char* name;
        std::string map;
        std::string appended;  // pattern and preference of each appended line, in order
    };
    const Case cases[] = {
        {"empty map", "", "sa/nx/* 255|sb/nx/* 255|"},
        {"two-part entry known", "sa/nx @ 5\n", "sb/nx/* 255|"},
        {"star entry known", "SA/NX/* @ 5\n", "sb/nx/* 255|"},
        {"entry for the application does not count", "sa/nx/app @ 5\n", "sa/nx/* 5|sb/nx/* 255|"},
        {"other address type does not count", "sa/nx/* L/pipe 3\n", "sa/nx/* 3|sb/nx/* 255|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkedPair pair;
        ASSERT_EQ(pair.Open(), "");
        JexString calling;
        pair.b->GetAttr(JexTransport::kCalling, calling);
        JexNetAddr with_service(calling, '/');
        with_service.SetService("jex_nsd");
        const std::string learned = with_service.Text().LowerCopy().Text();
        std::string contents = c.map;
        if (const size_t at = contents.find('@'); at != std::string::npos)
            contents.replace(at, 1, calling.Text());
        MapFile map(contents);
        QuietGateway g;
        g.routeMap = std::make_unique<JexRouteMap>(JexString(map.path.c_str()));
        g.routeMap->SetSuppress(1);
        g.srcAcids.Parse("sa,sb");
        g.srcNodes.Parse("nx");
        g.application = "app";
        g.AttachTransport(0, pair.b.release());
        EXPECT_EQ(g.learn_back_routes(0, "author"), 0);
        std::string appended;
        std::istringstream lines(ReadAll(map.path).substr(contents.size()));
        for (std::string line; std::getline(lines, line);) {
            if (line.empty()) continue;
            std::istringstream fields(line);
            std::string pattern, address, preference;
            fields >> pattern >> address >> preference;
            EXPECT_EQ(address, learned);
            appended += pattern + " " + preference + "|";
        }
        EXPECT_EQ(appended, c.appended);
    }
}

TEST(JexGatewayLearning, RedirectRoutesSkipTheRedirectWithOneBetterPreference) {
    struct Case {
        const char* name;
        int redirected;
        int preference;
        const char* acids;
        const char* nodes;
        std::string appended;
    };
    const Case cases[] = {
        {"preference 10 learns 9", 1, 10, "da", "dn", "da/dn/app t/gw9/77 9|"},
        // The map writes an explicit 0 as "-0" so that it reads back as given.
        {"preference 0 stays 0", 1, 0, "da", "dn", "da/dn/app t/gw9/77 -0|"},
        {"wildcards are never learned", 1, 4, "da,d*,*", "dn,*n", "da/dn/app t/gw9/77 3|"},
        {"no redirect, nothing learned", 0, 10, "da", "dn", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MapFile map("");
        QuietGateway g;
        g.routeMap = std::make_unique<JexRouteMap>(JexString(map.path.c_str()));
        g.routeMap->SetSuppress(1);
        g.redirected = c.redirected;
        g.routeEntry.pattern.Parse("da/dn/app");
        g.routeEntry.address.Parse("T/gw9/77");
        g.routeEntry.preference = c.preference;
        g.routeEntry.flags = "F";
        g.dstAcids.Parse(c.acids);
        g.dstNodes.Parse(c.nodes);
        g.application = "app";
        EXPECT_EQ(g.learn_redirect_routes("far platform"), 0);
        std::string appended;
        const std::string file = ReadAll(map.path);
        std::istringstream lines(file);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string pattern, address, preference;
            fields >> pattern >> address >> preference;
            appended += pattern + " " + address + " " + preference + "|";
        }
        EXPECT_EQ(appended, c.appended);
        if (!c.appended.empty()) {
            EXPECT_NE(file.find(" - R entry author=" + std::string(g.platform.Text()) +
                                ", message author=far platform\n"),
                      std::string::npos)
                << file;
        }
    }
}

TEST(JexGatewayLearning, AMapThatDidNotLoadLearnsNothing) {
    QuietGateway g;
    g.routeMap = std::make_unique<JexRouteMap>("/nonexistent/dir/map.dat");
    g.routeMap->SetSuppress(1);
    g.redirected = 1;
    g.dstAcids.Parse("da");
    g.dstNodes.Parse("dn");
    EXPECT_EQ(g.learn_redirect_routes("x"), 0);
    EXPECT_FALSE(std::filesystem::exists("/nonexistent/dir/map.dat"));
}

struct Completed {
    std::promise<std::pair<JexGateway*, void*>> done;
    int result = -1;
    static void Callback(JexThread*, JexGateway* g, int result, void* user) {
        static_cast<Completed*>(user)->result = result;
        static_cast<Completed*>(user)->done.set_value({g, user});
    }
};

TEST(JexGatewayListener, AcceptsOntoAFreshGatewayAndRunsItsHandshakeThread) {
    JexGatewayListener listener("app", JexNetAddr("T/127.0.0.1/0", '/'));
    listener.SetSuppress(1);
    ASSERT_TRUE(listener.Listening()) << listener.Describe(1).Text();
    const int port = tavro::testing::LocalPort(listener.Listener()->Endpoint()->Handle());

    QuietGateway busy;
    busy.set_state(JexGateway::RUN);
    JexThread* thread = reinterpret_cast<JexThread*>(&busy);
    EXPECT_EQ(listener.Accept(busy, &Completed::Callback, nullptr, thread), JexGateway::WRONGSTATE);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(busy.Code(), JexGateway::WRONGSTATE);
    EXPECT_EQ(busy.Transport(0), nullptr);

    QuietGateway g;
    Completed completed;
    auto answer = completed.done.get_future();
    auto accepted = std::async(std::launch::async, [&] {
        return listener.Accept(g, &Completed::Callback, &completed, thread);
    });
    JexTransport client;
    client.SetSuppress(1);
    ASSERT_EQ(
        client.Connect(JexNetAddr(tavro::testing::LoopbackTransportAddress(port).c_str(), '/')), 0);
    ASSERT_EQ(accepted.wait_for(kBound), std::future_status::ready);
    ASSERT_EQ(accepted.get(), 0);
    ASSERT_NE(thread, nullptr);
    // A caller that leaves without its CONNECT ends the handshake with a
    // protocol error; the accepted connection is released at once.
    client.Disconnect();
    ASSERT_EQ(answer.wait_for(kBound), std::future_status::ready);
    const auto [gateway, user] = answer.get();
    EXPECT_EQ(gateway, &g);
    EXPECT_EQ(user, &completed);
    thread->Join();
    delete thread;
    EXPECT_EQ(completed.result, JexGateway::PROTOCOL);
    EXPECT_STREQ(g.application.Text(), "*");
    EXPECT_EQ(g.activeSide, 0);
    EXPECT_EQ(g.Transport(0), nullptr);
    EXPECT_EQ(g.Transport(1), nullptr);
    EXPECT_EQ(listener.Running(), 0);
}

TEST(JexGatewayListener, AnAddressThatCannotListenIsReportedNotFatal) {
    JexGatewayListener listener("app", JexNetAddr("Z/nowhere", '/'));
    EXPECT_FALSE(listener.Listening());
    EXPECT_EQ(listener.Code(), JexGateway::TRANSPORTERR);
    // Its Accept fails with a report, and the process goes on.
    QuietGateway g;
    JexThread* thread = nullptr;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(listener.Accept(g, nullptr, nullptr, thread), JexGateway::TRANSPORTERR);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("JexGateway::TRANSPORTERR, Transport error"), std::string::npos) << err;
    EXPECT_EQ(thread, nullptr);
}

// Records the codes raised on an object for one scope.
struct Raised {
    std::vector<int> codes;
    JexHandlerScope scope;
    explicit Raised(JexException* object) : scope(object, &Record, this) {}
    static int Record(JexException* raised, void* context) {
        static_cast<Raised*>(context)->codes.push_back(raised->Code());
        return 0;
    }
};

TEST(JexGatewayTransportHandler, AbsorbsLinkFailuresAndRaisesTheRest) {
    struct Case {
        int code;
        int handled;
    };
    const Case cases[] = {
        {JexTransport::BADNAME, 0},  {JexTransport::CONNECTERR, 0},
        {JexTransport::END, 0},      {JexTransport::SYSERR, 0},
        {JexTransport::UNKNOWN, 0},  {JexTransport::UNSUPPORTED, 0},
        {JexTransport::FAILURE, 1},  {JexTransport::TIMEOUT, 1},
        {JexTransport::MODEMERR, 1}, {JexTransport::BADATTRVALUE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        JexGateway g;
        Raised raised(&g);
        JexTransport t;
        t.SetSuppress(1);
        t.ExcSet(c.code, JexExcArgs("JexTransport::GetData", "peer"));
        EXPECT_EQ(JexGateway::transport_handler(&t, &g), c.handled);
        EXPECT_EQ(g.Code(), JexGateway::TRANSPORTERR);
        ASSERT_NE(g.Cause(), nullptr);
        EXPECT_EQ(g.Cause()->Code(), c.code);
        EXPECT_EQ(raised.codes,
                  c.handled ? std::vector<int>{JexGateway::TRANSPORTERR} : std::vector<int>{});
        // The transport keeps its own error and its suppress flag.
        EXPECT_EQ(t.Code(), c.code);
        EXPECT_STREQ(t.Args()[1].Data(), "peer");
        EXPECT_EQ(t.Suppress(), 1);
    }
}

}  // namespace
