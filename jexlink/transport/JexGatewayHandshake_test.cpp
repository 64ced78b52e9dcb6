// Gateway handshakes of the calling side: Connect against a scripted far gateway.
#include "jexlink/transport/GatewayHandshakeTestSupport.h"

namespace {

using namespace tavro::testing::gateway_handshake;

// ---------------------------------------------------------------------------
// The calling side: Connect against a scripted far gateway.

class CallingSide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(far.Listen());
        ASSERT_TRUE(other.Listen());
        Map(RouteEntry("srv/snode/echo", far.Address()));
        client->SetAttr(JexGateway::ACID, "cli");
        client->SetAttr(JexGateway::NODE, "cnode");
    }
    void Map(const std::string& lines) {
        WriteFile(dir.Path() / "client->map", lines);
        client->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "client->map").c_str());
    }
    void StartConnect() {
        result = std::async(std::launch::async, [this] {
            return client->Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                   JexString("echo"));
        });
    }
    int Result() {
        if (result.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
            client->Transport(1) ? (void)client->Transport(1)->Disconnect() : (void)0;
            return -1;
        }
        return result.get();
    }
    // Accepts the client and reads its CONNECT.
    void TakeConnect(ScriptedPeer& peer) {
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Receive(connect));
        ASSERT_EQ(connect.Type(), 'C');
    }

    TempDir dir{"gwcall"};
    ScriptedPeer far;
    ScriptedPeer other;
    std::unique_ptr<QuietGateway> client = std::make_unique<QuietGateway>();
    JexNetMsg connect;
    std::future<int> result;
};

TEST_F(CallingSide, ConnectRecordCarriesEveryItem) {
    StartConnect();
    TakeConnect(far);
    EXPECT_EQ(JexGateway::check_connect(connect), 0);
    EXPECT_EQ(Text(connect['A']), "echo");
    EXPECT_EQ(Text(connect['T']), "srv");
    EXPECT_EQ(Text(connect['N']), "snode");
    EXPECT_EQ(Text(connect['h']), std::string(1, '\0'));
    EXPECT_EQ(Text(connect['H']), Short(7));
    EXPECT_EQ(Text(connect['R']), Short(5));
    EXPECT_EQ(Text(connect['p']), Short(10));
    EXPECT_EQ(Text(connect['r']), Short(0));
    EXPECT_EQ(Text(connect['S']), "cli");
    EXPECT_EQ(Text(connect['n']), "cnode");
    EXPECT_EQ(Text(connect['y']), "cli/cnode");
    EXPECT_EQ(Text(connect['V']), "2.32 Exp");
    const std::string entry = Text(connect['P']);
    EXPECT_EQ(entry.rfind("cli/cnode|" + Text(connect['z']) + "||", 0), 0u) << entry;
    EXPECT_NE(entry.find('&'), std::string::npos);
    far.Close();
    EXPECT_EQ(Result(), JexGateway::TRANSPORTERR);
}

// One answer script per case: what the far gateway sends after the CONNECT,
// and the code and state Connect ends with.
struct AnswerCase {
    const char* name;
    std::function<void(ScriptedPeer& far, ScriptedPeer& other)> script;
    int code;
    const char* state;
    const char* cause;
};

TEST_F(CallingSide, EachAnswerGivesItsCodeAndState) {
    auto redirectTo = [](ScriptedPeer& to, int count) {
        Items r = Answer();
        r['a'] = to.Address();
        r['r'] = Short(count);
        return r;
    };
    const AnswerCase cases[] = {
        {"hit", [](ScriptedPeer& f, ScriptedPeer&) { f.Send('H', Answer()); }, 0, "RUN", "<none>"},
        {"progress then hit",
         [](ScriptedPeer& f, ScriptedPeer&) {
             for (int i = 0; i < 5; ++i) f.Send('P', Answer("JexGateway::FORWARDED"));
             f.Send('H', Answer());
         },
         0, "RUN", "<none>"},
        {"redirect followed",
         [&](ScriptedPeer& f, ScriptedPeer& o) {
             f.Send('r', redirectTo(o, 3));
             ASSERT_TRUE(o.Accept());
             JexNetMsg again;
             ASSERT_TRUE(o.Receive(again));
             EXPECT_EQ(Text(again['r']), Short(4));
             o.Send('H', Answer());
         },
         0, "RUN", "<none>"},
        {"redirect at the limit",
         [&](ScriptedPeer& f, ScriptedPeer& o) { f.Send('r', redirectTo(o, 4)); },
         JexGateway::TULIPS, "ERROR", "<none>"},
        {"reject",
         [](ScriptedPeer& f, ScriptedPeer&) { f.Send('J', Answer("JexGateway::NOPATH")); },
         JexGateway::REMOTEFAIL, "ERROR", "JexGateway::NOPATH"},
        {"reject of a version, without an address",
         [](ScriptedPeer& f, ScriptedPeer&) {
             Items r = Answer("JexGateway::BADVERSION");
             r.erase('a');
             f.Send('J', r);
         },
         JexGateway::REMOTEFAIL, "ERROR", "JexGateway::BADVERSION"},
        {"hit without a version",
         [](ScriptedPeer& f, ScriptedPeer&) {
             Items r = Answer();
             r.erase('V');
             f.Send('H', r);
         },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"response", [](ScriptedPeer& f, ScriptedPeer&) { f.Send('R', Answer()); },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"data before the hit",
         [](ScriptedPeer& f, ScriptedPeer&) {
             f.Send('D', {{'D', "x"}});
         },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"closed without an answer", [](ScriptedPeer& f, ScriptedPeer&) { f.Close(); },
         JexGateway::TRANSPORTERR, "ERROR", "JexTransport::END"},
        {"garbage frame",
         [](ScriptedPeer& f, ScriptedPeer&) { f.Write(std::string("\5\0\0Hxxxx", 8)); },
         JexGateway::CORRUPTMSG, "ERROR", "<none>"},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        client = std::make_unique<QuietGateway>();
        client->SetAttr(JexGateway::ACID, "cli");
        client->SetAttr(JexGateway::NODE, "cnode");
        client->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "client->map").c_str());
        StartConnect();
        TakeConnect(far);
        c.script(far, other);
        EXPECT_EQ(Result(), c.code) << client->Describe(1).Text();
        EXPECT_EQ(StateName(*client), c.state);
        EXPECT_EQ(client->Code(), c.code);
        EXPECT_EQ(CauseName(*client), c.cause);
        if (c.code == 0) {
            EXPECT_NE(client->Transport(1), nullptr);
        } else if (c.code != JexGateway::PROTOCOL) {
            EXPECT_EQ(client->Transport(1), nullptr);
        }
        far.Close();
        other.Close();
    }
}

TEST_F(CallingSide, RejectNamesTheRefusingGatewayWithItsError) {
    StartConnect();
    TakeConnect(far);
    far.Send('J', Answer("JexGateway::WEEDS", "far/away"));
    ASSERT_EQ(Result(), JexGateway::REMOTEFAIL);
    const std::string described = client->Describe(1).Text();
    EXPECT_NE(described.find("Remote gateway failure at \"far/away\""), std::string::npos)
        << described;
    EXPECT_NE(described.find("Max hops exceeded"), std::string::npos) << described;
}

TEST_F(CallingSide, RouteMapOutcomes) {
    struct MapCase {
        const char* name;
        std::string lines;  // empty name: no file at all
        bool exists;
        int code;
    };
    const MapCase cases[] = {
        {"every entry barred", "srv/snode/echo\tT/127.0.0.1/1\t1\tX\nsrv\tT/127.0.0.1/2\t2\tx\n",
         true, JexGateway::NOROUTEMAPENTRY},
        {"no matching entry", "other/node/app\tT/127.0.0.1/1\n", true, JexGateway::NOROUTEMAPENTRY},
        {"every entry unreachable", "srv/snode/echo\tT/127.0.0.1/1\nsrv\tZ/nowhere\n", true,
         JexGateway::NOPATH},
        {"no route map file", "", false, JexGateway::NOROUTEMAP},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        QuietGateway g;
        const auto file = dir.Path() / (std::string(c.name) + ".map");
        if (c.exists) WriteFile(file, c.lines);
        g.SetAttr(JexGateway::ROUTE_MAP, file.c_str());
        g.SetAttr(JexGateway::ACID, "cli");
        g.SetAttr(JexGateway::NODE, "cnode");
        EXPECT_EQ(g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                            JexString("echo")),
                  c.code);
        EXPECT_EQ(StateName(g), "ERROR");
        const std::string described = g.Describe(1).Text();
        if (c.code == JexGateway::NOROUTEMAPENTRY) {
            EXPECT_NE(described.find("Entry \"srv/snode/echo\" not found in route map\n\twhoami="
                                     "cli/cnode/echo"),
                      std::string::npos)
                << described;
        }
        if (c.code == JexGateway::NOROUTEMAP) {
            EXPECT_EQ(CauseName(g), "JexRouteMap::OPENFAIL");
        }
        // A gateway serves one connection.
        EXPECT_EQ(g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                            JexString("echo")),
                  JexGateway::WRONGSTATE);
    }
}

// A client end in RUN with the scripted far gateway at the other end.
class RunningClient : public CallingSide {
protected:
    void SetUp() override {
        CallingSide::SetUp();
        StartConnect();
        TakeConnect(far);
        far.Send('H', Answer());
        ASSERT_EQ(Result(), 0);
    }
};

TEST_F(RunningClient, FinishFromThePeerEndsReadingAndDisconnectDoesNotWait) {
    ASSERT_TRUE(far.Send('L', {{'t', "now"}, {'z', "fplat"}, {'y', "far"}, {'V', "2.32 Exp"}}));
    ASSERT_TRUE(far.Send('D', {{'D', "payload"}}));
    ASSERT_TRUE(far.Send('F', {}));
    JexBuffer b;
    // The LEARN is consumed; the DATA after it comes out.
    ASSERT_EQ(client->GetMsg(b), 0);
    EXPECT_EQ(Text(b), "payload");
    EXPECT_EQ(client->GetMsg(b), JexGateway::SHUTDOWN);
    EXPECT_EQ(StateName(*client), "FINISH");
    EXPECT_EQ(client->Code(), 0);
    EXPECT_EQ(client->Disconnect(), 0);
    EXPECT_EQ(StateName(*client), "DONE");
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    EXPECT_TRUE(far.Closed());
    EXPECT_EQ(client->GetMsg(b), JexGateway::WRONGSTATE);
}

TEST_F(RunningClient, DisconnectDiscardsDataUntilThePeersFinish) {
    ASSERT_EQ(client->PutMsg(JexBuffer()), 0);
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'D');
    EXPECT_EQ(Text(r['D']), "");  // present and empty
    auto done = std::async(std::launch::async, [&] { return client->Disconnect(); });
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    far.Send('D', {{'D', "late"}});
    far.Send('D', {{'D', "later"}});
    far.Send('F', {});
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(StateName(*client), "DONE");
}

TEST_F(RunningClient, NetfailBecomesRemoteFailureNamingTheFailingGateway) {
    Items f = Answer("JexGateway::TRANSPORTERR", "mid/node");
    f['1'] = "T/a/1";
    f['2'] = "T/b/2";
    ASSERT_TRUE(far.Send('f', f));
    JexBuffer b;
    EXPECT_EQ(client->GetMsg(b), JexGateway::REMOTEFAIL);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_EQ(CauseName(*client), "JexGateway::TRANSPORTERR");
    EXPECT_NE(
        std::string(client->Describe(1).Text()).find("Remote gateway failure at \"mid/node\""),
        std::string::npos);
    EXPECT_EQ(client->Transport(1), nullptr);
    EXPECT_EQ(client->PutMsg(JexBuffer()), JexGateway::WRONGSTATE);
}

TEST_F(RunningClient, UnexpectedRecordIsAProtocolErrorAndAClosedPeerATransportError) {
    ASSERT_TRUE(far.Send('Q', {}));
    JexBuffer b;
    EXPECT_EQ(client->GetMsg(b), JexGateway::PROTOCOL);
    far.Close();
    EXPECT_EQ(client->GetMsg(b), JexGateway::TRANSPORTERR);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_EQ(client->Transport(1), nullptr);
}

TEST_F(RunningClient, ASilentPeerIsBoundedByTheReadTimeOut) {
    client->SetReadTimeout(1);
    int value = -1;
    ASSERT_EQ(client->GetAttr(JexGateway::READ_TIMEOUT, value), 0);
    EXPECT_EQ(value, 1);
    JexBuffer b;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->GetMsg(b), JexGateway::TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_TRUE(far.Closed());
}

TEST_F(RunningClient, PayloadNoPeerWouldTakeIsRefusedAndTheConnectionStays) {
    JexBuffer huge{JexBufferBase(static_cast<int>(kJexMaxFrameLength))};
    EXPECT_EQ(client->PutMsg(huge), JexGateway::FAILURE);
    EXPECT_EQ(StateName(*client), "RUN");
    ASSERT_EQ(client->PutMsg(JexBuffer(JexString("after"))), 0);
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(Text(r['D']), "after");
}

TEST_F(RunningClient, LearnIsOnlyForTheEndThatAccepted) {
    EXPECT_EQ(client->send_learn(), JexGateway::WRONGSTATE);
    EXPECT_EQ(client->Code(), JexGateway::WRONGSTATE);
    EXPECT_EQ(StateName(*client), "RUN");
}

TEST(JexGatewayIdle, ExchangeCallsNeedARunningConnection) {
    QuietGateway g;
    JexBuffer b;
    EXPECT_EQ(g.GetMsg(b), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.PutMsg(b), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.Disconnect(), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.send_learn(), JexGateway::WRONGSTATE);
    EXPECT_EQ(StateName(g), "IDLE");
}

}  // namespace
