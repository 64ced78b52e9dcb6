// Sessions end to end over the loopback: handshake, data both ways, queueing, disconnect, and the
// handshake's failures between two sessions, against a raw client and against a raw server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/SessionServer.h"
#include "testing/support/TempDir.h"

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
};

Outcome Of(JexSession& s, int code) { return {code, s.State(), s.Describe(1).Text()}; }

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
        Outcome server{-1, -1, ""};
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
