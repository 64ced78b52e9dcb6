// Sessions end to end over the loopback: handshake, data both ways, queueing, disconnect, and the
// handshake's failures between two sessions.
#include "jexlink/session/SessionLoopbackTestSupport.h"

namespace {

using namespace tavro::testing::session_loopback;

TEST_F(SessionLoopback, HandshakeDataAndDisconnectBothWays) {
    constexpr int kSyncSends = 300;  // the sequence byte wraps after 256
    const std::string big = Payload(1 << 20, 3);
    Outcome listened, disconnected;
    std::string connectData, srcUser, clientVersion, srcAcid;
    int priority = -1;
    std::vector<std::string> received;

    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        listened = Of(s, Listen(s, data));
        if (listened.code != 0) return;
        connectData = Text(data);
        srcUser = Attr(s, JexSession::SRC_USER);
        srcAcid = Attr(s, JexSession::SRC_ACID);
        clientVersion = Attr(s, JexSession::CLIENT_VERSION);
        s.GetAttr(JexSession::PRIORITY, priority);
        ASSERT_EQ(s.SetAttr(JexSession::LANGUAGE, "fr"), 0);
        ASSERT_EQ(s.Accept(Bytes("welcome")), 0) << s.Describe(1).Text();
        // Two plain messages, then the client's synchronous one after two
        // messages of ours that reach it while it waits.
        JexBuffer in;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(s.GetMsg(in, 0), 0) << s.Describe(1).Text();
            received.push_back(Text(in));
        }
        ASSERT_EQ(s.PutMsg(Bytes("early one"), 0), 0);
        ASSERT_EQ(s.PutMsg(Bytes("early two"), 0), 0);
        for (int i = 0; i < kSyncSends + 2; ++i) {
            ASSERT_EQ(s.GetMsg(in, 0), 0) << i << s.Describe(1).Text();
            received.push_back(Text(in));
        }
        ASSERT_EQ(s.PutMsg(Bytes(big), 1), 0);
        ASSERT_EQ(s.PutMsg(Bytes(""), 0), 0);
        const int shut = s.GetMsg(in, 0);
        disconnected = Of(s, shut);
        if (shut == JexSession::SHUT) disconnected = Of(s, s.Disconnect());
    }));

    JexSession c;
    Client(c);
    ASSERT_EQ(c.SetAttr(JexSession::PRIORITY, 200), 0);
    EXPECT_EQ(Attr(c, JexSession::SERVER_VERSION), "3.14 Exp");
    JexBuffer reply;
    ASSERT_EQ(Connect(c, "hello", reply), 0) << c.Describe(1).Text();
    EXPECT_EQ(Text(reply), "welcome");
    EXPECT_EQ(c.State(), JexSession::RUN);
    EXPECT_EQ(Attr(c, JexSession::SERVER_VERSION), "3.14 Exp");
    EXPECT_EQ(Attr(c, JexSession::DST_USER), JexGetUserName().Text());
    EXPECT_EQ(Attr(c, JexSession::LANGUAGE), "fr");

    ASSERT_EQ(c.PutMsg(Bytes("first"), 0), 0);
    ASSERT_EQ(c.PutMsg(Bytes("second"), 0), 0);
    ASSERT_EQ(c.PutMsg(Bytes("sync"), 1), 0) << c.Describe(1).Text();
    EXPECT_EQ(c.State(), JexSession::RUN);
    // The server's two messages came during the wait: they are queued.
    JexBuffer in;
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), "early one");
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), "early two");
    for (int i = 0; i < kSyncSends; ++i)
        ASSERT_EQ(c.PutMsg(Bytes("n" + std::to_string(i)), 1), 0) << i << c.Describe(1).Text();
    ASSERT_EQ(c.PutMsg(Bytes(big), 0), 0);
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), big);
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), "");
    const JexNetStats& stats = c.Stats();
    EXPECT_EQ(stats.counters[JexNetStats::kMessagesSent], 3u + kSyncSends + 1);
    EXPECT_EQ(stats.counters[JexNetStats::kMessagesReceived], 4u);
    EXPECT_EQ(stats.counters[JexNetStats::kBytesReceived], 18u + big.size());

    EXPECT_EQ(c.Disconnect(), 0) << c.Describe(1).Text();
    EXPECT_EQ(c.State(), JexSession::IDLE);
    ASSERT_TRUE(server_.Join());

    EXPECT_EQ(listened.code, 0) << listened.text;
    EXPECT_EQ(listened.state, JexSession::STC);
    EXPECT_EQ(connectData, "hello");
    EXPECT_EQ(srcUser, JexGetUserName().Text());
    EXPECT_EQ(srcAcid, "cli");
    EXPECT_EQ(clientVersion, "3.14 Exp");
    EXPECT_EQ(priority, 200);
    ASSERT_EQ(received.size(), 2u + kSyncSends + 2);
    EXPECT_EQ(received[0], "first");
    EXPECT_EQ(received[1], "second");
    EXPECT_EQ(received[2], "sync");
    EXPECT_EQ(received[3], "n0");
    EXPECT_EQ(received[2 + kSyncSends], "n299");
    EXPECT_EQ(received.back(), big);
    EXPECT_EQ(disconnected.code, 0) << disconnected.text;
    EXPECT_EQ(disconnected.state, JexSession::IDLE);

    // The session's gateway cannot be used again.
    EXPECT_EQ(Connect(c, "again", reply), JexSession::WRONGSTATE);
}

TEST_F(SessionLoopback, NoAuthNoCrcNoCompression) {
    Outcome listened;
    std::string got;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        listened = Of(s, Listen(s, data));
        if (listened.code != 0) return;
        s.SetAttr(JexSession::CRC, 0);
        ASSERT_EQ(s.Accept(Bytes("")), 0);
        JexBuffer in;
        ASSERT_EQ(s.GetMsg(in, 0), 0);
        got = Text(in);
        ASSERT_EQ(s.Disconnect(), 0);
    }));
    JexSession c;
    Client(c);
    ASSERT_EQ(c.SetAttr(JexSession::AUTHENTICATION, "NOAUTH"), 0);
    ASSERT_EQ(c.SetAttr(JexSession::COMPRESSION, "NOCOMP"), 0);
    ASSERT_EQ(c.SetAttr(JexSession::CRC, 0), 0);
    JexBuffer reply;
    ASSERT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
    ASSERT_EQ(c.PutMsg(Bytes("plain"), 0), 0);
    JexBuffer in;
    EXPECT_EQ(c.GetMsg(in, 0), JexSession::SHUT);
    EXPECT_EQ(c.State(), JexSession::SN);
    EXPECT_EQ(c.Disconnect(), 0);
    EXPECT_EQ(c.State(), JexSession::IDLE);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(listened.code, 0) << listened.text;
    EXPECT_EQ(got, "plain");
}

// Disconnect in RUN drops the data still on its way and ends at the peer's
// SHUTDOWN; acknowledgements out of turn are skipped.
TEST_F(SessionLoopback, DisconnectDropsDataInFlightAndStrayAcknowledgementsAreSkipped) {
    Outcome last;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        if (Listen(s, data) != 0 || s.Accept(Bytes("")) != 0) return;
        // The client's synchronous send, read by hand: a wrong acknowledgement
        // and data come first, then the right one.
        JexNetMsg syn;
        ASSERT_EQ(s.recv_msg(syn), 0);
        ASSERT_EQ(syn.Type(), JexSession::kDataSyn);
        EXPECT_EQ(Text(syn['M']), "\1");
        JexNetMsg wrong(JexSession::kDataAck);
        wrong['M'] = Bytes("\x63");
        ASSERT_EQ(s.send_msg(wrong), 0);
        ASSERT_EQ(s.PutMsg(Bytes("while you wait"), 0), 0);
        ASSERT_EQ(s.send_dataack(syn), 0);
        // A stray acknowledgement before data: the client's GetMsg skips it.
        ASSERT_EQ(s.send_dataack(syn), 0);
        ASSERT_EQ(s.PutMsg(Bytes("after the stray"), 0), 0);
        // Data the client will not read: its Disconnect drops it.
        ASSERT_EQ(s.PutMsg(Bytes("dropped one"), 0), 0);
        ASSERT_EQ(s.PutMsg(Bytes("dropped two"), 1), JexSession::SHUT);
        EXPECT_EQ(s.State(), JexSession::SN);
        last = Of(s, s.Disconnect());
    }));
    JexSession c;
    Client(c);
    JexBuffer reply, in;
    ASSERT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
    ASSERT_EQ(c.PutMsg(Bytes("sync"), 1), 0) << c.Describe(1).Text();
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), "while you wait");
    ASSERT_EQ(c.GetMsg(in, 0), 0);
    EXPECT_EQ(Text(in), "after the stray");
    EXPECT_EQ(c.Disconnect(), 0) << c.Describe(1).Text();
    EXPECT_EQ(c.State(), JexSession::IDLE);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(last.code, 0) << last.text;
    EXPECT_EQ(last.state, JexSession::IDLE);
}

// Data that does not expand is DECOMPFAIL; messages still queued when the
// session ends are freed with it (the sanitizer build checks).
TEST_F(SessionLoopback, BadCompressedDataAndQueueLeftAtTheEnd) {
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        if (Listen(s, data) != 0 || s.Accept(Bytes("")) != 0) return;
        JexNetMsg bad(JexSession::kData);
        bad['D'] = Bytes(std::string(64, '\xff'));
        ASSERT_EQ(s.send_msg(bad), 0);
        JexNetMsg syn;
        ASSERT_EQ(s.recv_msg(syn), 0);
        ASSERT_EQ(s.PutMsg(Bytes("queued one"), 0), 0);
        ASSERT_EQ(s.PutMsg(Bytes("queued two"), 0), 0);
        ASSERT_EQ(s.send_dataack(syn), 0);
        JexBuffer in;
        s.GetMsg(in, 0);  // ends when the client goes away
    }));
    {
        JexSession c;
        Client(c);
        JexBuffer reply, in;
        ASSERT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
        EXPECT_NE(Attr(c, JexSession::PATH), "");
        EXPECT_EQ(c.GetMsg(in, 0), JexSession::DECOMPFAIL);
        EXPECT_EQ(in.Length(), 0);
        EXPECT_EQ(c.State(), JexSession::DATAWAIT);
        // The expander's stream is broken now; the session can still send.
        ASSERT_EQ(c.PutMsg(Bytes("sync"), 1), 0) << c.Describe(1).Text();
    }
    ASSERT_TRUE(server_.Join());
}

// With node authentication each name carries its side's first node: the
// client signs under two access ids, the server checks with two methods.
TEST_F(SessionLoopback, NodeAuthenticationSignsUnderEveryAccessId) {
    WriteFile(keys_.Path() / "MD5-CLI-CNODE-SRV-SNODE", "first key\n");
    WriteFile(keys_.Path() / "MD5-ALT-CNODE-SRV-SNODE", "second key\n");
    Outcome listened;
    int methods = 0, nodeAuth = 0;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        listened = Of(s, Listen(s, data));
        methods = s.CryptoCount();
        s.GetAttr(JexSession::NODE_AUTH, nodeAuth);
        if (listened.code == 0) s.Accept(Bytes(""));
    }));
    JexSession c;
    Client(c);
    ASSERT_EQ(c.SetAttr(JexSession::SRC_ACID, "cli,alt"), 0);
    ASSERT_EQ(c.SetAttr(JexSession::NODE_AUTH, 1), 0);
    JexBuffer reply;
    EXPECT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
    ASSERT_EQ(c.CryptoCount(), 2);
    EXPECT_STREQ(c.CryptoMethod(1)->MethodName().Text(), "MD5");
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(listened.code, 0) << listened.text;
    EXPECT_EQ(methods, 2);
    EXPECT_EQ(nodeAuth, 1);
}

// With the forced corruption switch every received message from the
// (N+1)-th on loses its type; the countdown is one for the whole process.
TEST_F(SessionLoopback, ForcedCorruptionChangesTheTypeFromTheNextMessage) {
    setenv("JEXSESSION_TEST", "P", 1);
    setenv("JEXSESSION_FORCED_CORRUPT", "1", 1);
    Outcome server;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        server = Of(s, Listen(s, data));
    }));
    ::testing::internal::CaptureStderr();
    JexSession c;
    Client(c);
    JexBuffer reply;
    const Outcome client = Of(c, Connect(c, "", reply));
    ASSERT_TRUE(server_.Join());
    const std::string err = ::testing::internal::GetCapturedStderr();
    // The server's CRSTART is the first message; the client's CRACK the second.
    EXPECT_EQ(client.code, JexSession::PROTOCOL) << client.text;
    EXPECT_EQ(client.state, JexSession::CCI1);
    EXPECT_EQ(server.code, JexSession::PROTOCOL) << server.text;
    EXPECT_EQ(server.state, JexSession::SCI2);
    EXPECT_NE(err.find("\n*** WARNING *** Changing JexSession message type to zero\n\n"),
              std::string::npos)
        << err;
}

// A connection that the listening side's gateway passes on is not for its
// application: Listen ends with NOTFORME once the relay is over.
TEST_F(SessionLoopback, ListenOfAForwardedConnectionIsNotForMe) {
    // The server is set up first: the environment changes only while no
    // other thread runs. Its route map is read when the connection comes.
    const std::string relayMap = (dir_.Path() / "relay.map").string();
    Outcome listened;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        s.SetAttr(JexSession::ROUTE_MAP, relayMap.c_str());
        s.SetAttr(JexSession::DST_NODE, "rnode");
        JexBuffer data;
        listened = Of(s, s.Listen(kApp, "relay", data));
    }));
    tavro::testing::GatewayNode echo("srv", "snode", (dir_.Path() / "echo.map").string());
    WriteFile(echo.RouteMap(), "");
    ASSERT_TRUE(echo.Start());
    WriteFile(relayMap,
              tavro::testing::RouteEntry("srv/snode/" + std::string(kApp), echo.Address(), 1));
    JexGateway g;
    g.SetSuppress(1);
    g.SetAttr(JexGateway::ACID, "cli");
    g.SetAttr(JexGateway::NODE, "cnode");
    g.SetAttr(JexGateway::ROUTE_MAP, route_map_.c_str());
    ASSERT_EQ(
        g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','), JexString(kApp)), 0)
        << g.Describe(1).Text();
    JexBuffer back;
    ASSERT_EQ(g.PutMsg(Bytes("ping")), 0);
    ASSERT_EQ(g.GetMsg(back, 20), 0);
    EXPECT_EQ(Text(back), "ping");
    EXPECT_EQ(g.Disconnect(), 0);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(listened.code, JexSession::NOTFORME) << listened.text;
    EXPECT_EQ(listened.state, JexSession::IDLE);
    ASSERT_NE(listened.text.find("JexGateway::FORWARDED"), std::string::npos) << listened.text;
}

// Failures between two real sessions: code and state on both sides.
TEST_F(SessionLoopback, HandshakeFailuresBetweenSessions) {
    TempDir otherKeys{"session-other-keys"};
    WriteFile(otherKeys.Path() / "MD5-SRV-CLI", "another secret\n");
    TempDir noKeys{"session-no-keys"};
    const std::string other = otherKeys.Path().string();
    const std::string none = noKeys.Path().string();
    struct Case {
        const char* name;
        const char* test_switch;     // JEXSESSION_TEST, or null
        const char* client_version;  // JEXSESSION_VERSION for the client, or null
        std::function<void(JexSession&)> client_setup;
        std::function<void(JexSession&)> server_setup;
        bool reject;
        struct {
            int code, state;
        } client, server;  // a server code of -1: no connection is made
    };
    const auto nothing = [](JexSession&) {};
    const std::vector<Case> cases = {
        {"wrong key",
         nullptr,
         nullptr,
         nothing,
         [&](JexSession& s) { s.SetAttr(JexSession::CRYPTO_PATH, other.c_str()); },
         false,
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL1},
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL1}},
        {"missing key",
         nullptr,
         nullptr,
         nothing,
         [&](JexSession& s) { s.SetAttr(JexSession::CRYPTO_PATH, none.c_str()); },
         false,
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL1},
         {JexSession::CRYPTOKEYERR, JexSession::SCI1}},
        {"test switch 1",
         "1",
         nullptr,
         nothing,
         nothing,
         false,
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL1},
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL1}},
        {"test switch 2",
         "2",
         nullptr,
         nothing,
         nothing,
         false,
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL2},
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL2}},
        {"test switch 3",
         "3",
         nullptr,
         nothing,
         nothing,
         false,
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL3},
         {JexSession::AUTHFAIL, JexSession::AUTHFAIL3}},
        {"incompatible versions",
         nullptr,
         "4.0",
         nothing,
         nothing,
         false,
         {JexSession::BADVERSION, JexSession::ERROR},
         {JexSession::BADVERSION, JexSession::SCI1}},
        {"both sides asymmetric",
         nullptr,
         nullptr,
         [](JexSession& c) { c.SetAttr(JexSession::ASYMMETRIC, 1); },
         [](JexSession& s) { s.SetAttr(JexSession::ASYMMETRIC, 1); },
         false,
         {JexSession::BADSYMMETRY, JexSession::ERROR},
         {JexSession::BADSYMMETRY, JexSession::SCI1}},
        {"compatible minor versions",
         nullptr,
         "3.2",
         nothing,
         nothing,
         false,
         {0, JexSession::RUN},
         {0, JexSession::RUN}},
        {"server asymmetric only",
         nullptr,
         nullptr,
         nothing,
         [](JexSession& s) { s.SetAttr(JexSession::ASYMMETRIC, 1); },
         false,
         {0, JexSession::RUN},
         {0, JexSession::RUN}},
        {"reject",
         nullptr,
         nullptr,
         nothing,
         nothing,
         true,
         {JexSession::REJECT, JexSession::REJECTED},
         {0, JexSession::REJECTED}},
        {"unsupported encryption",
         nullptr,
         nullptr,
         [](JexSession& c) { c.SetAttr(JexSession::ENCRYPTION, "DES"); },
         nothing,
         false,
         {JexSession::UNSUPPORTED, JexSession::IDLE},
         {-1, -1}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        if (k.test_switch)
            setenv("JEXSESSION_TEST", k.test_switch, 1);
        else
            unsetenv("JEXSESSION_TEST");
        Outcome server{-1, -1, "", ""};
        std::string rejectData;
        const bool serves = k.server.code != -1;
        if (serves) {
            ASSERT_TRUE(server_.Serve([&](JexSession& s) {
                k.server_setup(s);
                JexBuffer data;
                server = Of(s, Listen(s, data));
                if (server.code != 0) return;
                server = Of(s, k.reject ? s.Reject(Bytes("go away")) : s.Accept(Bytes("ok")));
            }));
        }
        if (k.client_version) setenv("JEXSESSION_VERSION", k.client_version, 1);
        JexSession c;
        unsetenv("JEXSESSION_VERSION");
        Client(c);
        k.client_setup(c);
        JexBuffer reply;
        const Outcome client = Of(c, Connect(c, "data", reply));
        if (serves) {
            ASSERT_TRUE(server_.Join());
        }
        EXPECT_EQ(client.code, k.client.code) << client.text;
        EXPECT_EQ(client.state, k.client.state) << client.text;
        EXPECT_EQ(server.code, k.server.code) << server.text;
        EXPECT_EQ(server.state, k.server.state) << server.text;
        if (k.reject) {
            EXPECT_EQ(Text(reply), "go away");
        }
        if (client.code == JexSession::BADVERSION) {
            EXPECT_NE(
                client.text.find("Client = 4.0 (from environment variable), Server = 3.14 Exp"),
                std::string::npos)
                << client.text;
        }
        unsetenv("JEXSESSION_TEST");
    }
}

}  // namespace

namespace {

// Messages of every size without compression, with and without the CRC,
// echoed back into the buffer they were sent from.
TEST_F(SessionLoopback, UncompressedMessagesOfEverySizeComeBackWhole) {
    const int largest = JexNetMsg::kItemLimit - 1;  // the longest item a message frames
    for (int crc : {1, 0}) {
        SCOPED_TRACE(crc);
        ASSERT_TRUE(server_.Serve([&](JexSession& s) {
            JexBuffer data;
            if (Listen(s, data) != 0) return;
            s.SetAttr(JexSession::CRC, crc);
            ASSERT_EQ(s.Accept(Bytes("")), 0);
            JexBuffer in;
            while (s.GetMsg(in, 0) == 0)
                if (s.PutMsg(in, 0) != 0) return;
            if (s.State() == JexSession::SN) s.Disconnect();
        }));
        JexSession c;
        Client(c);
        ASSERT_EQ(c.SetAttr(JexSession::COMPRESSION, "NOCOMP"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::CRC, crc), 0);
        JexBuffer reply;
        ASSERT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
        for (int size : {0, 1, 5, 70000, largest}) {
            SCOPED_TRACE(size);
            const std::string sent = Payload(size, size % 7);
            JexBuffer b = Bytes(sent);
            ASSERT_EQ(c.PutMsg(b, 0), 0) << c.Describe(1).Text();
            ASSERT_EQ(c.GetMsg(b, 0), 0) << c.Describe(1).Text();
            EXPECT_TRUE(Text(b) == sent);
        }
        // A buffer without storage goes as an empty message.
        JexBuffer none;
        ASSERT_EQ(c.PutMsg(none, 1), 0);
        ASSERT_EQ(c.GetMsg(none, 0), 0);
        EXPECT_EQ(none.Length(), 0);
        // With a CRC, one byte more than an item frames is refused before
        // anything is sent: the session goes on.
        if (crc) {
            JexBuffer over;
            over.SetLength(largest + 1);
            EXPECT_NE(c.PutMsg(over, 0), 0);
        }
        JexBuffer after = Bytes("after");
        ASSERT_EQ(c.PutMsg(after, 0), 0) << c.Describe(1).Text();
        ASSERT_EQ(c.GetMsg(after, 0), 0);
        EXPECT_TRUE(Text(after) == "after");
        EXPECT_EQ(c.Disconnect(), 0) << c.Describe(1).Text();
        ASSERT_TRUE(server_.Join());
    }
}

// Messages sent with "more follows" leave with the next one sent without
// it, in order and whole; with a synchronous send the bit is ignored, so the
// acknowledgement still comes.
TEST_F(SessionLoopback, MessagesMarkedMoreFollowsArriveWithTheNextOne) {
    std::vector<std::string> got;
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexBuffer data;
        if (Listen(s, data) != 0) return;
        ASSERT_EQ(s.Accept(Bytes("")), 0);
        JexBuffer in;
        while (s.GetMsg(in, 0) == 0) {
            got.push_back(Text(in));
            if (got.back() == "end" && s.PutMsg(Bytes("done"), 0) != 0) return;
        }
        if (s.State() == JexSession::SN) s.Disconnect();
    }));
    JexSession c;
    Client(c);
    JexBuffer reply;
    ASSERT_EQ(Connect(c, "", reply), 0) << c.Describe(1).Text();
    const std::vector<std::string> sent = {"one", "", Payload(70000, 3), "synchronous", "end"};
    for (const std::string& m : sent) {
        const int flags = m == "end"           ? 0
                          : m == "synchronous" ? JexSession::kSynchronous | JexSession::kMoreFollows
                                               : JexSession::kMoreFollows;
        ASSERT_EQ(c.PutMsg(Bytes(m), flags), 0) << c.Describe(1).Text();
    }
    JexBuffer in;
    ASSERT_EQ(c.GetMsg(in, 0), 0) << c.Describe(1).Text();
    EXPECT_EQ(Text(in), "done");
    EXPECT_EQ(c.Disconnect(), 0) << c.Describe(1).Text();
    ASSERT_TRUE(server_.Join());
    EXPECT_TRUE(got == sent);
}

}  // namespace
