// The session handshake's failures over the loopback against a raw client, a raw server and a
// listener that never answers.
#include "jexlink/session/SessionLoopbackTestSupport.h"

namespace {

using namespace tavro::testing::session_loopback;

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
        s.BuildCrstart(msg, JexString("Thu, 1 Jan 1998 00:00:00 +0000"), challenge);
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
    Outcome Run(const std::function<void(RawClient&)>& script, int readTimeout = 20,
                int firstRecord = JexGateway::kDefaultFirstRecordTimeout) {
        Outcome listened;
        EXPECT_TRUE(server_.Serve([&](JexSession& s) {
            s.SetAttr(JexSession::DST_NODE, "snode");
            s.SetAttr(JexSession::READ_TIMEOUT, readTimeout);
            s.Gateway().SetFirstRecordTimeout(firstRecord);
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

// A client silent after its gateway CONNECT: the server waits for its
// start message no longer than the shorter of READ_TIMEOUT and the
// gateway's first-record bound (one case with both at their defaults).
TEST_F(RawClientLoopback, SilentClientTimesOutAtTheShorterBound) {
    using namespace std::chrono_literals;
    const struct {
        const char* name;
        int readTimeout;
        int firstRecord;
        std::chrono::seconds bound;
    } cases[] = {
        {"first-record bound shorter", 30, 1, 1s},
        {"read time-out shorter", 1, 10, 1s},
        {"no first-record bound", 2, 0, 2s},
        {"both defaults", 65535, JexGateway::kDefaultFirstRecordTimeout,
         std::chrono::seconds(JexGateway::kDefaultFirstRecordTimeout)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        const Outcome o = Run(
            [](RawClient& raw) {
                JexNetMsg reply;
                EXPECT_NE(raw.Recv(reply), 0);  // the server gives up and drops the path
            },
            c.readTimeout, c.firstRecord);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(o.code, JexSession::TIMEOUT) << o.text;
        EXPECT_EQ(o.state, JexSession::SCIW);
        EXPECT_GE(took, c.bound - 250ms);
        EXPECT_LT(took, c.bound + 1s);
    }
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
        int port = 0;
        fd_ = tavro::testing::ListenLoopback(port, 4);
        ASSERT_GE(fd_, 0);
        WriteFile(route_map_,
                  tavro::testing::LoopbackRouteEntry(std::string("srv/snode/") + kApp, port, 1));
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
    int port = 0;
    const int full = tavro::testing::ListenLoopback(port, 0);
    ASSERT_GE(full, 0);
    std::vector<int> fillers;
    const sockaddr_in address = tavro::testing::LoopbackAddress(port);
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), tavro::testing::AsSockaddr(address), sizeof address);
    }
    WriteFile(route_map_,
              tavro::testing::LoopbackRouteEntry(std::string("srv/snode/") + kApp, port, 1));
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
