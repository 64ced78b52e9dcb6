// Sessions end to end over the loopback: handshake, data both ways, queueing, disconnect, and the
// handshake's failures between two sessions, against a raw client and against a raw server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/DeadlineWatch.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/SessionServer.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Threads.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr const char* kApp = "Jex_Test";

JexBuffer Bytes(const std::string& s) {
    JexBuffer b;
    b.SetLength(static_cast<int>(s.size()));
    if (!s.empty()) std::memcpy(b.Data(), s.data(), s.size());
    return b;
}

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string Attr(JexSession& s, JexSession::Attribute a) {
    JexString value;
    EXPECT_EQ(s.GetAttr(a, value), 0) << JexSession::attribute_name(a);
    return value.Text();
}

std::string Payload(int size, int seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>((i / 7 + seed) % 26 + 'a');
    return bytes;
}

// What one side ended with.
struct Outcome {
    int code = -1;
    int state = -1;
    std::string text;
    std::string arg1;  // argument 1 of the recorded error
};

Outcome Of(JexSession& s, int code) {
    return {code, s.State(), s.Describe(1).Text(), Text(s.Args()[1])};
}

class SessionLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Listening());
        unsetenv("JEXSESSION_TEST");
        unsetenv("JEXSESSION_VERSION");
        unsetenv("JEXSESSION_TRACE");
        setenv("JEXCRYPTO_PATH", keys_.Path().c_str(), 1);
        WriteFile(keys_.Path() / "MD5-CLI-SRV", "shared secret\n");
        WriteFile(keys_.Path() / "NULL-CLI-SRV", "unused\n");
        route_map_ = (dir_.Path() / "route.map").string();
        WriteFile(route_map_, server_.RouteLine("srv", "snode", kApp));
    }

    // A client session addressed to the server, with codes instead of exits.
    void Client(JexSession& c) {
        c.SetSuppress(1);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_ACID, "cli"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_NODE, "cnode"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::ROUTE_MAP, route_map_.c_str()), 0);
        ASSERT_EQ(c.SetAttr(JexSession::READ_TIMEOUT, 20), 0);
    }
    int Connect(JexSession& c, const std::string& data, JexBuffer& reply) {
        return c.Connect(kApp, "srv", "snode", Bytes(data), reply);
    }
    // The server's side up to Listen's result.
    static int Listen(JexSession& s, JexBuffer& data) {
        s.SetAttr(JexSession::DST_NODE, "snode");
        s.SetAttr(JexSession::READ_TIMEOUT, 20);
        return s.Listen(kApp, "srv", data);
    }

    TempDir dir_{"session-loop"};
    TempDir keys_{"session-keys"};
    std::string route_map_;
    SessionServer server_;
};

// The whole life of a session pair with MD5 signing, CRC and LZW.
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
    WriteFile(relayMap, "srv/snode/" + std::string(kApp) + "\t" + echo.Address() + "\t1\n");
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

// A client that speaks the session's messages by hand over a gateway path
// of its own: it builds, signs, alters and sends what a test asks for.
struct RawClient {
    explicit RawClient(const std::string& routeMap) {
        s.SetSuppress(1);
        s.SetAttr(JexSession::SRC_ACID, "cli");
        s.SetAttr(JexSession::SRC_NODE, "cnode");
        s.SetAttr(JexSession::DST_NODE, "snode");
        JexGateway& g = s.Gateway();
        g.SetAttr(JexGateway::ACID, "cli");
        g.SetAttr(JexGateway::NODE, "cnode");
        g.SetAttr(JexGateway::ROUTE_MAP, routeMap.c_str());
    }
    int Open() {
        JexFieldedString cli("cli", ','), srv("srv", ',');
        if (s.setup_compress(JexSession::LZW) || s.setup_expand(JexSession::LZW) ||
            s.setup_auth(cli, srv))
            return -1;
        return s.Gateway().Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                   JexString(kApp));
    }
    // A complete signed start message with a fresh challenge.
    JexNetMsg Start() {
        JexNetMsg msg;
        challenge = Bytes(std::string(32, 'c') + std::to_string(++starts));
        s.build_crstart(msg, JexString("Thu, 1 Jan 1998 00:00:00 +0000"), challenge);
        msg['A'] = Bytes(kApp);
        msg['T'] = Bytes("srv");
        s.sign_msg(msg);
        return msg;
    }
    // The answer to a CRACK, signed.
    JexNetMsg Info(const JexNetMsg& ack) {
        JexNetMsg info(JexSession::kCrInfo);
        info['D'] = Bytes("connect data");
        info['t'] = Bytes("Thu, 1 Jan 1998 00:00:01 +0000");
        info['R'] = ack['C'];
        s.sign_msg(info);
        return info;
    }
    int Send(JexNetMsg& msg) { return s.send_msg(msg); }
    int SendBytes(const std::string& bytes) { return s.Gateway().PutMsg(Bytes(bytes)); }
    // The next message, or the gateway's code (waits at most 20 seconds).
    int Recv(JexNetMsg& msg) {
        JexBuffer b;
        const int rc = s.Gateway().GetMsg(b, 20);
        if (rc == 0) msg.Decode(b);
        return rc;
    }

    JexSession s;
    JexBuffer challenge;
    int starts = 0;
};

// The server session's result of Listen against a raw client's script; the
// script gets the client after its gateway path is open.
class RawClientLoopback : public SessionLoopback {
protected:
    Outcome Run(const std::function<void(RawClient&)>& script, int readTimeout = 20) {
        Outcome listened;
        EXPECT_TRUE(server_.Serve([&](JexSession& s) {
            s.SetAttr(JexSession::DST_NODE, "snode");
            s.SetAttr(JexSession::READ_TIMEOUT, readTimeout);
            JexBuffer data;
            listened = Of(s, s.Listen(kApp, "srv", data));
            if (listened.code == 0) s.Accept(Bytes("ok"));
        }));
        {
            RawClient raw(route_map_);
            const int opened = raw.Open();
            EXPECT_EQ(opened, 0) << raw.s.Gateway().Describe(1).Text();
            if (opened == 0) script(raw);
        }
        EXPECT_TRUE(server_.Join());
        return listened;
    }
};

TEST_F(RawClientLoopback, StartMissingAnyFieldIsProtocolErrorNamingIt) {
    const struct {
        int item;
        const char* label;
    } fields[] = {
        {'A', "CRSTART_msg[::Application]"}, {'Y', "CRSTART_msg[::Asymmetric]"},
        {'a', "CRSTART_msg[::AuthMethod]"},  {'C', "CRSTART_msg[::Challenge]"},
        {'c', "CRSTART_msg[::Compression]"}, {'D', "CRSTART_msg[::Data]"},
        {'t', "CRSTART_msg[::Date]"},        {'T', "CRSTART_msg[::DestAcId]"},
        {'N', "CRSTART_msg[::DestNode]"},    {'e', "CRSTART_msg[::EncryptMethod]"},
        {'L', "CRSTART_msg[::Language]"},    {'P', "CRSTART_msg[::Priority]"},
        {'s', "CRSTART_msg[::Signature]"},   {'S', "CRSTART_msg[::SourceAcId]"},
        {'n', "CRSTART_msg[::SourceNode]"},  {'u', "CRSTART_msg[::SourceUser]"},
        {'V', "CRSTART_msg[::Version]"},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.label);
        const Outcome o = Run([&](RawClient& raw) {
            JexNetMsg start = raw.Start();
            start[f.item].Free();
            if (f.item == 'A') start['V'].Free();  // the first missing one is reported
            EXPECT_EQ(raw.Send(start), 0);
            JexNetMsg reply;
            EXPECT_NE(raw.Recv(reply), 0);  // dropped without an answer
        });
        EXPECT_EQ(o.code, JexSession::PROTOCOL) << o.text;
        EXPECT_EQ(o.state, JexSession::SCIW);
        EXPECT_EQ(o.arg1, f.label) << o.text;
    }
}

TEST_F(RawClientLoopback, HandshakeFailuresAgainstServer) {
    std::vector<JexNetMsg> earlierInfo;
    // A complete, accepted session first: its CRINFO is replayed below.
    const Outcome first = Run([&](RawClient& raw) {
        JexNetMsg start = raw.Start(), ack;
        ASSERT_EQ(raw.Send(start), 0);
        ASSERT_EQ(raw.Recv(ack), 0);
        ASSERT_EQ(ack.Type(), JexSession::kCrAck);
        JexNetMsg info = raw.Info(ack), decision;
        earlierInfo.push_back(info);
        ASSERT_EQ(raw.Send(info), 0);
        ASSERT_EQ(raw.Recv(decision), 0);
        EXPECT_EQ(decision.Type(), JexSession::kCrAccept);
    });
    ASSERT_EQ(first.code, 0) << first.text;
    ASSERT_EQ(earlierInfo.size(), 1u);

    struct Case {
        const char* name;
        std::function<void(RawClient&, JexNetMsg& reply)> script;
        int code, state;
        int reply_type;  // what the raw client received last; 0 for nothing
    };
    const std::vector<Case> cases = {
        {"bad key block",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start();
             start['D'] = Bytes(std::string(63, '\0'));
             raw.s.sign_msg(start);
             raw.Send(start);
             raw.Recv(reply);
         },
         JexSession::EKEYMISMATCH, JexSession::SCI1, JexSession::kCrFail},
        {"CRC mismatch",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start();
             start['r'] = Bytes("\1\2\3\4");
             JexBuffer wire;
             ASSERT_EQ(start.Encode(wire), JexNetMsg::kEncoded);
             raw.SendBytes(Text(wire));
             raw.Recv(reply);
         },
         JexSession::CRCFAIL, JexSession::SCIW, 0},
        {"corrupt bytes",
         [](RawClient& raw, JexNetMsg& reply) {
             raw.SendBytes(std::string("S\x41\xff\xff\x7f", 5) + "short");
             raw.Recv(reply);
         },
         JexSession::CORRUPTMSG, JexSession::SCIW, 0},
        {"data before the start",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg data(JexSession::kData);
             data['D'] = Bytes("x");
             raw.Send(data);
             raw.Recv(reply);
         },
         JexSession::PROTOCOL, JexSession::SCIW, 0},
        {"signed item altered, CRC recomputed",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start();
             start['u'] = Bytes("intruder");
             raw.Send(start);  // stamps a CRC over the altered message
             raw.Recv(reply);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL1, JexSession::kCrAuthRej},
        {"signature block that does not decode",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start();
             start['s'] = Bytes("\x07garbage");
             raw.Send(start);
             raw.Recv(reply);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL1, JexSession::kCrAuthRej},
        {"CRINFO replayed from an earlier session",
         [&](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start(), ack;
             raw.Send(start);
             ASSERT_EQ(raw.Recv(ack), 0);
             ASSERT_EQ(ack.Type(), JexSession::kCrAck);
             JexNetMsg replay = earlierInfo[0];
             replay.Type(JexSession::kCrInfo);
             raw.Send(replay);
             raw.Recv(reply);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL3, JexSession::kCrAuthRej},
        {"CRAUTHREJ instead of CRINFO",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start(), ack;
             raw.Send(start);
             ASSERT_EQ(raw.Recv(ack), 0);
             raw.s.send_authrej();
             raw.Recv(reply);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL2, 0},
        {"CRFAIL carrying code 0 instead of CRINFO",
         [](RawClient& raw, JexNetMsg& reply) {
             JexNetMsg start = raw.Start(), ack;
             raw.Send(start);
             ASSERT_EQ(raw.Recv(ack), 0);
             raw.s.ExcSet(0);
             raw.s.send_fail();
             raw.Recv(reply);
         },
         JexSession::UNKNOWNPEERERR, JexSession::ERROR, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        int replyType = 0;
        const Outcome o = Run([&](RawClient& raw) {
            JexNetMsg reply;
            k.script(raw, reply);
            replyType = reply.Type();
        });
        EXPECT_EQ(o.code, k.code) << o.text;
        EXPECT_EQ(o.state, k.state) << o.text;
        EXPECT_EQ(replyType, k.reply_type);
    }
}

TEST_F(RawClientLoopback, SilentClientTimesOut) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run(
        [](RawClient& raw) {
            JexNetMsg reply;
            EXPECT_NE(raw.Recv(reply), 0);  // the server gives up and drops the path
        },
        1);
    EXPECT_EQ(o.code, JexSession::TIMEOUT) << o.text;
    EXPECT_EQ(o.state, JexSession::SCIW);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

// A real client against a server that answers by hand.
class RawServerLoopback : public SessionLoopback {
protected:
    Outcome Run(const std::function<void(JexSession& s, const JexNetMsg& start)>& script,
                int readTimeout = 20) {
        EXPECT_TRUE(server_.Serve([&](JexSession& s) {
            JexGateway& g = s.Gateway();
            if (g.Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                         JexString(kApp)) != 0)
                return;
            JexBuffer b;
            if (g.GetMsg(b, 20) != 0) return;
            JexNetMsg start;
            start.Decode(b);
            script(s, start);
        }));
        JexSession c;
        Client(c);
        c.SetAttr(JexSession::READ_TIMEOUT, readTimeout);
        JexBuffer reply;
        const Outcome o = Of(c, Connect(c, "data", reply));
        c.Gateway().ReleaseTransport(1);  // the raw server sees the end
        EXPECT_TRUE(server_.Join());
        return o;
    }
};

TEST_F(RawServerLoopback, HandshakeFailuresAgainstClient) {
    struct Case {
        const char* name;
        std::function<void(JexSession&, const JexNetMsg&)> script;
        int code, state;
    };
    const auto waitForEnd = [](JexSession& s) {
        JexBuffer b;
        s.Gateway().GetMsg(b, 20);
    };
    const std::vector<Case> cases = {
        {"CRFAIL carrying code 0",
         [&](JexSession& s, const JexNetMsg&) {
             s.send_fail();
             waitForEnd(s);
         },
         JexSession::UNKNOWNPEERERR, JexSession::ERROR},
        {"CRBADKEY",
         [&](JexSession& s, const JexNetMsg&) {
             JexNetMsg bad(JexSession::kCrBadKey);
             s.send_msg(bad);
             waitForEnd(s);
         },
         JexSession::EKEYMISMATCH, JexSession::ERROR},
        {"CRAUTHREJ",
         [&](JexSession& s, const JexNetMsg&) {
             s.send_authrej();
             waitForEnd(s);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL1},
        {"CRACK that answers another challenge",
         [&](JexSession& s, const JexNetMsg&) {
             JexNetMsg ack(JexSession::kCrAck);
             ack['R'] = Bytes("not the challenge");
             ack['V'] = Bytes("3.14 Exp");
             JexSession::make_key_block(ack['D']);
             ack['C'] = Bytes(std::string(32, 'z'));
             s.send_msg(ack);
             waitForEnd(s);
         },
         JexSession::AUTHFAIL, JexSession::AUTHFAIL2},
        {"CRACK with a bad key block",
         [&](JexSession& s, const JexNetMsg& start) {
             JexNetMsg ack(JexSession::kCrAck);
             ack['R'] = start['C'];
             ack['V'] = Bytes("3.14 Exp");
             ack['D'] = Bytes(std::string(65, '\0'));
             s.send_msg(ack);
             waitForEnd(s);
         },
         JexSession::EKEYMISMATCH, JexSession::CCI1},
        {"CRACK from an incompatible version",
         [&](JexSession& s, const JexNetMsg&) {
             JexNetMsg ack(JexSession::kCrAck);
             ack['V'] = Bytes("2.0 Old");
             s.send_msg(ack);
             waitForEnd(s);
         },
         JexSession::BADVERSION, JexSession::ERROR},
        {"data instead of an answer",
         [&](JexSession& s, const JexNetMsg&) {
             JexNetMsg data(JexSession::kData);
             data['D'] = Bytes("x");
             s.send_msg(data);
             waitForEnd(s);
         },
         JexSession::PROTOCOL, JexSession::CCI1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Outcome o = Run(k.script);
        EXPECT_EQ(o.code, k.code) << o.text;
        EXPECT_EQ(o.state, k.state) << o.text;
    }
}

// A failure of the handshake reaches the caller's handler once, as the
// session's error.
TEST_F(RawServerLoopback, HandshakeFailureIsRaisedOnce) {
    ASSERT_TRUE(server_.Serve([&](JexSession& s) {
        JexGateway& g = s.Gateway();
        if (g.Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                     JexString(kApp)) != 0)
            return;
        JexBuffer b;
        if (g.GetMsg(b, 20) != 0) return;
        JexNetMsg data(JexSession::kData);
        data['D'] = Bytes("x");
        s.send_msg(data);
        g.GetMsg(b, 20);
    }));
    struct Count {
        int raised = 0;
        int code = 0;
    } count;
    JexSession c;
    Client(c);
    c.SetSuppress(0);
    JexHandlerScope handler(
        &c,
        [](JexException* raised, void* context) {
            auto* n = static_cast<Count*>(context);
            ++n->raised;
            n->code = raised->Code();
            return 0;
        },
        &count);
    JexBuffer reply;
    EXPECT_EQ(Connect(c, "data", reply), JexSession::PROTOCOL);
    c.Gateway().ReleaseTransport(1);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(count.raised, 1);
    EXPECT_EQ(count.code, JexSession::PROTOCOL);
}

TEST_F(RawServerLoopback, SilentServerTimesOut) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run(
        [](JexSession& s, const JexNetMsg&) {
            JexBuffer b;
            s.Gateway().GetMsg(b, 20);  // ends when the client gives up
        },
        1);
    EXPECT_EQ(o.code, JexSession::TIMEOUT) << o.text;
    EXPECT_EQ(o.state, JexSession::CCI1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

// A listener whose far end never takes part in the gateway's CONNECT
// exchange: it either never accepts (the kernel completes the connection)
// or accepts and hangs up at once.
class MuteListenerLoopback : public SessionLoopback {
protected:
    void SetUp() override {
        SessionLoopback::SetUp();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(fd_, 4), 0);
        WriteFile(route_map_, std::string("srv/snode/") + kApp + "\tT/127.0.0.1/" +
                                  std::to_string(tavro::testing::LocalPort(fd_)) + "\t1\n");
    }
    void TearDown() override {
        if (hangUp_.joinable()) hangUp_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    // Accepts one caller and closes its connection unanswered: at once
    // (the caller reads the end of the stream), or once its CONNECT record
    // has come and unread (the caller's read is reset).
    void HangUpOnce(bool afterRecord) {
        hangUp_ = std::thread([fd = fd_, afterRecord] {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1) return;
            const int peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) return;
            pollfd in{peer, POLLIN, 0};
            if (afterRecord) ::poll(&in, 1, 20000);
            ::close(peer);
        });
    }

    int fd_ = -1;
    std::thread hangUp_;
};

TEST_F(MuteListenerLoopback, ConnectExchangeIsBoundedByTheReadTimeout) {
    JexSession c;
    Client(c);
    ASSERT_EQ(c.SetAttr(JexSession::READ_TIMEOUT, 1), 0);
    // The waits are bounded by the process's one deadline thread, which
    // lives as long as the process: it runs before the census.
    jexnet::DeadlineWatch::Disarm(
        jexnet::DeadlineWatch::Arm([](void*) {}, nullptr, std::chrono::hours(1)));
    const tavro::testing::ThreadCensus census;
    const auto start = std::chrono::steady_clock::now();
    JexBuffer reply;
    const Outcome o = Of(c, Connect(c, "data", reply));
    EXPECT_EQ(o.code, JexSession::TIMEOUT) << o.text;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    // Nothing of the wait is left running.
    EXPECT_TRUE(tavro::testing::WaitFor([&] { return census.Started() == 0; }));
}

// A listener whose queue of completed connections is full: the system drops
// the caller's connection request and would retry it for minutes.
TEST_F(MuteListenerLoopback, ConnectTheListenerNeverTakesIsBoundedByTheReadTimeout) {
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(full, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    const int port = tavro::testing::LocalPort(full);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        address.sin_port = htons(static_cast<uint16_t>(port));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    WriteFile(route_map_,
              std::string("srv/snode/") + kApp + "\tT/127.0.0.1/" + std::to_string(port) + "\t1\n");
    JexSession c;
    Client(c);
    ASSERT_EQ(c.SetAttr(JexSession::READ_TIMEOUT, 1), 0);
    const auto start = std::chrono::steady_clock::now();
    JexBuffer reply;
    const Outcome o = Of(c, Connect(c, "data", reply));
    // The route's one entry could not be reached in time, as if refused.
    EXPECT_EQ(o.code, JexSession::GATEWAYERR) << o.text;
    EXPECT_THAT(o.text, ::testing::HasSubstr("JexGateway::NOPATH"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    for (int fd : fillers) ::close(fd);
    ::close(full);
}

TEST_F(MuteListenerLoopback, HangUpDuringConnectIsTheConnectionClosedByThePeer) {
    for (const bool afterRecord : {false, true}) {
        SCOPED_TRACE(afterRecord ? "after the record" : "at once");
        HangUpOnce(afterRecord);
        JexSession c;
        Client(c);
        JexBuffer reply;
        const Outcome o = Of(c, Connect(c, "data", reply));
        hangUp_.join();
        EXPECT_EQ(o.code, JexSession::GATEWAYERR) << o.text;
        EXPECT_THAT(o.text, ::testing::Not(::testing::HasSubstr("does not work")));
        EXPECT_THAT(o.text, ::testing::HasSubstr("The connection was closed by the peer"));
    }
}

}  // namespace
