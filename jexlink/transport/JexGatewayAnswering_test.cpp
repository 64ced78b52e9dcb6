// Gateway handshakes of the answering side: Listen against a scripted caller and scripted next
// gateways.
#include "jexlink/transport/GatewayHandshakeTestSupport.h"

namespace {

using namespace tavro::testing::gateway_handshake;

// ---------------------------------------------------------------------------
// The answering side: Listen on an inherited connection, against a
// scripted caller, with scripted next gateways behind it.

class AnsweringSide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(entry.Listen());
        ASSERT_TRUE(next.Listen());
        ASSERT_TRUE(second.Listen());
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_TRANSPORT_TYPE", "T", 1);
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
    }
    void Start(const std::string& mapLines, const char* application = "*") {
        WriteFile(dir.Path() / "node->map", mapLines);
        node->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "node->map").c_str());
        app = application;
        result = std::async(std::launch::async, [this] {
            return node->Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                JexString(app.c_str()));
        });
    }
    int Result() {
        if (result.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
            caller.Close();
            return -1;
        }
        return result.get();
    }
    // Reads the records the caller receives up to and including one of type last.
    std::string Until(int last, std::vector<JexNetMsg>* got = nullptr) {
        std::string types;
        for (JexNetMsg r; caller.Receive(r);) {
            types += static_cast<char>(r.Type());
            if (got) got->push_back(r);
            if (r.Type() == last) break;
        }
        return types;
    }
    void TakeOnward(ScriptedPeer& peer, JexNetMsg& onward) {
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Receive(onward));
        ASSERT_EQ(onward.Type(), 'C');
    }

    TempDir dir{"gwanswer"};
    ScriptedPeer entry;   // where the node's own connection comes from
    ScriptedPeer caller;  // the scripted calling end
    ScriptedPeer next;    // scripted next gateways
    ScriptedPeer second;
    std::unique_ptr<QuietGateway> node = std::make_unique<QuietGateway>();
    std::string app;
    std::future<int> result;
};

TEST_F(AnsweringSide, ConnectionForThisNodeIsAcceptedWithAHit) {
    Start("", "ECHO");
    Items c = ConnectItems();
    c['h'] = Short(4);
    c['H'] = Short(5);  // local acceptance does not count hops
    ASSERT_TRUE(caller.Send('C', c));
    JexNetMsg hit;
    ASSERT_TRUE(caller.Receive(hit));
    EXPECT_EQ(hit.Type(), 'H');
    EXPECT_EQ(Text(hit['a']), "(None)");
    EXPECT_EQ(Text(hit['/']), "JexGateway::OK");
    EXPECT_EQ(Text(hit['T']), "srv");
    EXPECT_EQ(Text(hit['N']), "snode");
    EXPECT_EQ(Text(hit['p']), Short(10));
    EXPECT_EQ(Text(hit['h']), Short(5));
    EXPECT_EQ(Text(hit['s']), "CONNREPLY");
    EXPECT_EQ(Text(hit['y']), "srv/snode");
    ASSERT_EQ(Result(), 0) << node->Describe(1).Text();
    EXPECT_EQ(StateName(*node), "RUN");
    EXPECT_EQ(node->acceptedHere, 1);
    EXPECT_STREQ(node->application.Text(), "echo");
    JexString path;
    node->GetAttr(JexGateway::PATH, path);
    EXPECT_EQ(std::string(path.Text()).rfind(c['P'] + "\nsrv/snode|", 0), 0u) << path.Text();
    EXPECT_EQ(Text(hit['P']), path.Text());

    // Data both ways, then the caller's FINISH.
    ASSERT_TRUE(caller.Send('D', {{'D', "ping"}}));
    JexBuffer b;
    ASSERT_EQ(node->GetMsg(b), 0);
    EXPECT_EQ(Text(b), "ping");
    ASSERT_EQ(node->PutMsg(b), 0);
    JexNetMsg r;
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(Text(r['D']), "ping");
    ASSERT_TRUE(caller.Send('F', {}));
    EXPECT_EQ(node->GetMsg(b), JexGateway::SHUTDOWN);
    EXPECT_EQ(node->Disconnect(), 0);
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
}

TEST_F(AnsweringSide, LearnTeachesTheWayBackAndTravelsToTheCaller) {
    Start("");
    ASSERT_TRUE(caller.Send('C', ConnectItems()));
    ASSERT_EQ(Until('H'), "H");
    ASSERT_EQ(Result(), 0);
    ASSERT_EQ(node->send_learn(), 0);
    JexNetMsg learn;
    ASSERT_TRUE(caller.Receive(learn));
    EXPECT_EQ(learn.Type(), 'L');
    EXPECT_EQ(Text(learn['y']), "srv/snode");
    const std::string map = tavro::testing::ReadFile(dir.Path() / "node->map");
    EXPECT_EQ(map.rfind("cli/cnode/*\tt/", 0), 0u) << map;
    EXPECT_NE(map.find("/jex_nsd\t255\t\t# "), std::string::npos) << map;
}

// One CONNECT per case and what the node answers: the record types the
// caller receives, the result and the state.
struct RefusalCase {
    const char* name;
    std::string map;
    const char* application;
    std::function<void(Items&)> change;
    std::string answers;
    int code;
    const char* state;
};

TEST_F(AnsweringSide, RefusalsAndRedirects) {
    const RefusalCase cases[] = {
        {"other application", "", "mail", nullptr, "J", JexGateway::NOROUTEMAPENTRY, "ERROR"},
        {"version 3", "", "*", [](Items& c) { c['V'] = "3.0 Exp"; }, "J", JexGateway::BADVERSION,
         "ERROR"},
        {"version 2.9 agrees", "", "*", [](Items& c) { c['V'] = "2.9"; }, "H", 0, "RUN"},
        {"forced redirect", "srv/snode\tT/127.0.0.1/9\t1\tF\n", "*", nullptr, "r",
         JexGateway::REDIRECTED, "DONE"},
        {"elsewhere without a route", "", "*", [](Items& c) { c['T'] = "far"; }, "J",
         JexGateway::NOROUTEMAPENTRY, "ERROR"},
        {"elsewhere past the hop limit", "far\tT/127.0.0.1/9\n", "*",
         [](Items& c) {
             c['T'] = "far";
             c['h'] = Short(4);
             c['H'] = Short(5);
         },
         "J", JexGateway::WEEDS, "ERROR"},
        // TCP addresses compare equal by their type alone.
        {"redirect back to the node's own address", "far\tT/127.0.0.1/9\t1\tR\n", "*",
         [](Items& c) { c['T'] = "far"; }, "r", JexGateway::REDIRECTED, "DONE"},
        {"every entry passed over", "far\tT/127.0.0.1/9\t1\tL\nfar/x\tT/127.0.0.1/8\t1\tX\n", "*",
         [](Items& c) { c['T'] = "far"; }, "J", JexGateway::NOPATH, "ERROR"},
        {"hop count that wraps", "", "*", [](Items& c) { c['h'] = Short(65535); }, "H", 0, "RUN"},
        {"wildcard lists", "", "*",
         [](Items& c) {
             c['T'] = "a,S*";
             c['N'] = "SNODE";
         },
         "H", 0, "RUN"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case on a fresh connection and gateway.
        node = std::make_unique<QuietGateway>();
        caller.Close();
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
        Start(c.map, c.application);
        Items items = ConnectItems();
        if (c.change) c.change(items);
        ASSERT_TRUE(caller.Send('C', items));
        std::vector<JexNetMsg> got;
        EXPECT_EQ(Until(c.answers.back(), &got), c.answers);
        EXPECT_EQ(Result(), c.code) << node->Describe(1).Text();
        EXPECT_EQ(StateName(*node), c.state);
        if (!got.empty()) {
            JexString name;
            EXPECT_EQ(Text(got.back()['/']), std::string(node->CodeName(name).Text()));
        }
        if (!got.empty() && got.back().Type() == 'J') {
            // Every REJECT made after the route look-up names the entry's
            // address, empty when none was found; only the version refusal,
            // made before the look-up, has none.
            EXPECT_EQ(Text(got.back()['a']) == "<absent>", c.code == JexGateway::BADVERSION)
                << Text(got.back()['a']);
        }
        if (c.code != 0) {
            EXPECT_TRUE(caller.Closed());
        } else {
            int hops = -1;
            node->GetAttr(JexGateway::HOP_COUNT, hops);
            EXPECT_EQ(hops, (ItemShortOf(items['h']) + 1) & 0xFFFF);
        }
    }
}

TEST_F(AnsweringSide, IncompleteConnectIsAnsweredByNothing) {
    Start("");
    Items c = ConnectItems();
    c.erase('V');
    ASSERT_TRUE(caller.Send('C', c));
    EXPECT_EQ(Result(), JexGateway::PROTOCOL);
    EXPECT_EQ(StateName(*node), "ERROR");
    // The connection is closed at once, not kept until the gateway ends.
    EXPECT_EQ(node->Transport(0), nullptr);
    EXPECT_EQ(node->Transport(1), nullptr);
    EXPECT_EQ(caller.ReceiveAll(), "");
}

TEST_F(AnsweringSide, RelayPassesTheConnectOnAndCarriesRecordsUntilBothFinish) {
    Start(RouteEntry("far/fnode", "T/127.0.0.1/1", 1) + RouteEntry("far", next.Address(), 2));
    Items c = ConnectItems();
    c['T'] = "far";
    c['N'] = "fnode";
    ASSERT_TRUE(caller.Send('C', c));
    // The first entry cannot be reached; the second one is connected.
    std::vector<JexNetMsg> early(4);
    for (JexNetMsg& r : early) {
        ASSERT_TRUE(caller.Receive(r));
        EXPECT_EQ(r.Type(), 'P');
    }
    EXPECT_EQ(Text(early[0]['/']), "JexGateway::FORWARDED");
    EXPECT_EQ(Text(early[0]['a']), "t/127.0.0.1/1");  // as the route map keeps it
    EXPECT_EQ(Text(early[1]['/']), "JexGateway::TRANSPORTERR");
    EXPECT_EQ(Text(early[2]['/']), "JexGateway::FORWARDED");
    EXPECT_EQ(Text(early[3]['/']), "JexGateway::OK");
    EXPECT_EQ(Text(early[3]['1']), "<absent>");  // no argument left from before
    EXPECT_EQ(Text(early[3][':']), "<absent>");  // nor a cause

    JexNetMsg onward;
    TakeOnward(next, onward);
    EXPECT_EQ(Text(onward['h']), Short(1));
    EXPECT_EQ(Text(onward['y']), "cli/cnode");
    const std::string path = Text(onward['P']);
    EXPECT_EQ(Text(early[3]['P']), path);
    const auto newline = path.find('\n');
    ASSERT_NE(newline, std::string::npos);
    const std::string mine = path.substr(newline + 1);
    EXPECT_EQ(mine.rfind("srv/snode|", 0), 0u) << mine;
    // System id, platform, incoming link, onward link.
    EXPECT_EQ(std::count(mine.begin(), mine.end(), '|'), 3) << mine;
    EXPECT_EQ(std::count(mine.begin(), mine.end(), '&'), 2) << mine;

    next.Send('P', Answer("JexGateway::FORWARDED"));
    next.Send('H', Answer());
    EXPECT_EQ(Until('H'), "PH");

    // The relay: records pass unchanged in both directions.
    ASSERT_TRUE(caller.Send('D', {{'D', "up"}}));
    JexNetMsg r;
    ASSERT_TRUE(next.Receive(r));
    EXPECT_EQ(Text(r['D']), "up");
    ASSERT_TRUE(next.Send('D', {{'D', "down"}}));
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(Text(r['D']), "down");
    ASSERT_TRUE(caller.Send('F', {}));
    ASSERT_TRUE(next.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    ASSERT_TRUE(next.Send('F', {}));
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    next.Close();
    caller.Close();
    EXPECT_EQ(Result(), JexGateway::FORWARDED) << node->Describe(1).Text();
    EXPECT_EQ(StateName(*node), "DONE");
    EXPECT_EQ(node->Transport(0), nullptr);
    EXPECT_EQ(node->Transport(1), nullptr);
}

// What the next gateway answers the relaying node, and how it ends.
struct OnwardCase {
    const char* name;
    int redirectCount;  // carried in by the caller's CONNECT
    int maxRedirects;
    std::function<void(ScriptedPeer& next, ScriptedPeer& second)> script;
    std::string callerSees;  // record types until the connection closes
    int code;
    const char* state;
};

TEST_F(AnsweringSide, AnswersOfTheNextGateway) {
    const OnwardCase cases[] = {
        {"reject", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer&) { n.Send('J', Answer("JexGateway::NOPATH")); }, "PPJ",
         JexGateway::REJECTED, "ERROR"},
        {"response", 0, 5, [](ScriptedPeer& n, ScriptedPeer&) { n.Send('R', Answer()); }, "PP",
         JexGateway::PROTOCOL, "ERROR"},
        {"incomplete answer", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer&) {
             Items a = Answer();
             a.erase('y');
             n.Send('H', a);
         },
         "PP", JexGateway::PROTOCOL, "ERROR"},
        {"redirect past the limit", 2, 3,
         [](ScriptedPeer& n, ScriptedPeer&) { n.Send('r', Answer("JexGateway::REDIRECTED")); },
         "PPP", JexGateway::TULIPS, "ERROR"},
        {"redirect followed", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer& s) {
             Items r = Answer("JexGateway::REDIRECTED");
             r['a'] = s.Address();
             n.Send('r', r);
             ASSERT_TRUE(s.Accept());
             JexNetMsg again;
             ASSERT_TRUE(s.Receive(again));
             EXPECT_EQ(Text(again['r']), Short(1));
             s.Send('J', Answer("JexGateway::WEEDS"));
         },
         "PPPPJ", JexGateway::REJECTED, "ERROR"},
        // The failed entry is reported and, with no entry left, refused.
        {"closed without an answer", 0, 5, [](ScriptedPeer& n, ScriptedPeer&) { n.Close(); },
         "PPPJ", JexGateway::NOPATH, "ERROR"},
    };
    for (const OnwardCase& c : cases) {
        SCOPED_TRACE(c.name);
        node = std::make_unique<QuietGateway>();
        caller.Close();
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
        Start(RouteEntry("far", next.Address()));
        Items items = ConnectItems();
        items['T'] = "far";
        items['r'] = Short(c.redirectCount);
        items['R'] = Short(c.maxRedirects);
        ASSERT_TRUE(caller.Send('C', items));
        JexNetMsg onward;
        TakeOnward(next, onward);
        c.script(next, second);
        const int code = Result();
        EXPECT_EQ(code, c.code) << node->Describe(1).Text();
        EXPECT_EQ(StateName(*node), c.state);
        if (c.code != JexGateway::PROTOCOL) {
            EXPECT_EQ(caller.ReceiveAll(), c.callerSees);
        } else {
            // Nothing more was sent; the connection stays with the gateway.
            node = std::make_unique<QuietGateway>();
            EXPECT_EQ(caller.ReceiveAll(), c.callerSees);
        }
        next.Close();
        second.Close();
    }
}

TEST_F(AnsweringSide, CallerLostWhileWaitingSendsNetfailOnward) {
    Start(RouteEntry("far", next.Address()));
    Items items = ConnectItems();
    items['T'] = "far";
    ASSERT_TRUE(caller.Send('C', items));
    JexNetMsg onward;
    TakeOnward(next, onward);
    EXPECT_EQ(Until('P'), "P");
    caller.Close();
    // The node learns of the lost caller when its next write to it fails.
    for (int i = 0; i < 50 && result.wait_for(0s) != std::future_status::ready; ++i) {
        next.Send('P', Answer("JexGateway::FORWARDED"));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(Result(), JexGateway::TRANSPORTERR) << node->Describe(1).Text();
    EXPECT_EQ(next.ReceiveAll().back(), 'f');
}

}  // namespace
