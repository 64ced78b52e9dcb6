// K2 over the loopback: a K2 server and client on sessions of their own (context, sign, check,
// refused requests, the hop rule, a rejection), and a session whose signing method signs at a
// K2 server in its own process while its peer signs locally.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexK2.h"
#include "jexlink/session/JexSession.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/GatewayTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SessionServer.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::LoopbackTransportAddress;
using tavro::testing::RouteEntry;
using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

std::string Arg(const JexException& e, int i) {
    const JexBuffer& a = e.Args()[i];
    return a.Data() ? std::string(a.Data(), static_cast<size_t>(a.Length())) : std::string();
}

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string Described(JexException& e) { return e.Describe(1).Text(); }

// "JexK2::NAME" of a code of the K2 table.
std::string NameOf(int code) {
    for (const JexTextRow* row = JexK2::kTextTable; row->code != -2; ++row)
        if (row->code == code) return row->name;
    return "?";
}

void SetItem(JexNetMsg& msg, int i, const std::string& bytes) {
    msg[i] = JexBuffer(bytes.data(), static_cast<int>(bytes.size()));
}

// A message as a session signs it: items 7 (the previous signature), 114
// and 115 (CRC and signature block, masked) and some data.
JexNetMsg Message() {
    JexNetMsg msg('D');
    SetItem(msg, 7, std::string(4, '\0'));
    SetItem(msg, 'D', "payload to sign");
    SetItem(msg, 114, "crc!");
    SetItem(msg, 115, "signature block");
    return msg;
}

JexBuffer Mask(std::initializer_list<int> items) {
    JexBuffer mask(JexCrypto::kItemMaskBytes);
    for (int i : items) mask[i / 8] = static_cast<char>(mask[i / 8] | (1 << (i % 8)));
    return mask;
}

// What the server side ended with.
struct ServerEnd {
    int listen = -1;
    int accept = -1;
    int server = -1;
    int state = -1;
    int hop_count = -1;
    int hop_limit = -1;
    std::string text;
};

class K2Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Listening());
        for (const char* name : {"JEXK2_TRACE", "JEXK2_HOP_LIMIT", "JEXCRYPTO_K2_WHOAMI",
                                 "JEXCRYPTO_K2_HOP_LIMIT", "JEXSESSION_TEST"})
            unsetenv(name);
        setenv("JEXCRYPTO_PATH", keys_.Path().c_str(), 1);
        // The K2 sessions authenticate as access id and first node.
        WriteFile(keys_.Path() / "MD5-ALPHA-NORTH-K2-KAY", "k2 session secret\n");
        // The pair whose method the server serves.
        WriteFile(keys_.Path() / "MD5-ALPHA-BETA", "method secret\n");
        route_map_ = (dir_.Path() / "route.map").string();
        WriteFile(route_map_, server_.RouteLine("k2", "kay", JexK2::kApplication));
        setenv("JEXGATEWAY_ROUTEMAP", route_map_.c_str(), 1);
    }

    // A client with codes instead of exits, as alpha on node north.
    static void Client(JexK2& k2) {
        k2.SetSuppress(1);
        ASSERT_EQ(k2.SetAttr(JexSession::SRC_ACID, "alpha"), 0);
        ASSERT_EQ(k2.SetAttr(JexSession::SRC_NODE, "north"), 0);
        ASSERT_EQ(k2.Session().SetAttr(JexSession::READ_TIMEOUT, 20), 0);
    }

    // Serves one client as k2 on node kay; `reject` refuses it with that
    // reason instead of serving.
    void Serve(ServerEnd& end, const char* reject = nullptr) {
        ASSERT_TRUE(server_.Serve([&end, reject](JexSession&) {
            JexK2 k2;
            k2.SetSuppress(1);
            k2.Session().SetAttr(JexSession::READ_TIMEOUT, 20);
            JexBuffer connectData;
            end.listen = k2.Listen("k2", "kay", connectData);
            end.hop_count = k2.HopCount();
            end.hop_limit = k2.HopLimit();
            if (end.listen == 0 && reject) {
                end.accept = k2.Reject(reject);
            } else if (end.listen == 0) {
                end.accept = k2.Accept(JexBuffer());
                if (end.accept == 0) end.server = k2.Server();
            }
            end.state = k2.GetState();
            end.text = Described(k2);
            k2.Disconnect();
        }));
    }

    TempDir dir_{"k2-loop"};
    TempDir keys_{"k2-keys"};
    std::string route_map_;
    SessionServer server_;
};

TEST_F(K2Loopback, ContextSignCheckAndDisconnect) {
    ServerEnd end;
    Serve(end);
    JexK2 k2;
    Client(k2);
    ASSERT_EQ(k2.Connect("k2", "kay"), 0) << Described(k2);
    EXPECT_EQ(k2.GetState(), JexK2::IDLE_CLIENT);
    ASSERT_EQ(k2.Context("alpha", "beta", "MD5"), 0) << Described(k2);
    EXPECT_EQ(k2.GetState(), JexK2::ACTIVE_CLIENT);

    // The server's signature is the one a local method with the same mask
    // makes: the masked items never leave the client.
    const JexBuffer mask = Mask({114, 115});
    JexNetMsg msg = Message();
    JexBuffer signature;
    ASSERT_EQ(k2.Sign(msg, signature, mask), 0) << Described(k2);
    std::unique_ptr<JexCrypto> local(JexCrypto::Create("MD5", "alpha", "beta", 1));
    local->MaskItem(114);
    local->MaskItem(115);
    ASSERT_EQ(local->Init(), 0) << Described(*local);
    JexBuffer expected;
    ASSERT_EQ(local->Sign(msg, expected), 0);
    EXPECT_EQ(signature.Length(), 16);
    EXPECT_EQ(Bytes(signature), Bytes(expected));

    EXPECT_EQ(k2.Check(msg, signature, mask), 0) << Described(k2);
    SetItem(msg, 115, "another block");  // masked: the signature still holds
    EXPECT_EQ(k2.Check(msg, signature, mask), 0) << Described(k2);

    // A tampered message is refused, with the server's reason beneath.
    SetItem(msg, 'D', "payload to sigN");
    EXPECT_EQ(k2.Check(msg, signature, mask), JexK2::BADCHECK);
    const std::string refusal = Described(k2);
    EXPECT_NE(refusal.find("JexK2::BADCHECK, Signature check failed at server k2/kay/Jex_K2"),
              std::string::npos)
        << refusal;
    EXPECT_NE(refusal.find("JexCrypto::AUTHFAIL, Authentication failure"), std::string::npos)
        << refusal;
    EXPECT_EQ(Arg(k2, 0), "JexK2::Check/call_remote");

    // A new Context replaces the method; the name's case does not matter.
    ASSERT_EQ(k2.Context("alpha", "beta", "md5"), 0) << Described(k2);
    ASSERT_EQ(k2.Sign(Message(), signature, mask), 0) << Described(k2);
    EXPECT_EQ(Bytes(signature), Bytes(expected));

    EXPECT_EQ(k2.Disconnect(), 0) << Described(k2);
    EXPECT_EQ(k2.GetState(), JexK2::IDLE);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(end.listen, 0) << end.text;
    EXPECT_EQ(end.hop_count, 1);
    EXPECT_EQ(end.hop_limit, 1);
    EXPECT_EQ(end.server, 0) << end.text;  // after the Disconnect request
}

TEST_F(K2Loopback, RefusedRequestsLeaveTheServerRunning) {
    ServerEnd end;
    Serve(end);
    JexK2 k2;
    Client(k2);
    ASSERT_EQ(k2.Connect("k2", "kay"), 0) << Described(k2);
    const JexBuffer mask = Mask({});
    JexBuffer signature;

    // Refused here, before anything is sent.
    EXPECT_EQ(k2.Sign(Message(), signature, mask), JexK2::WRONGSTATE);
    EXPECT_EQ(Arg(k2, 1), "IDLE_CLIENT");
    EXPECT_EQ(k2.Connect("k2", "kay"), JexK2::WRONGSTATE);

    struct Step {
        const char* name;
        std::function<int()> call;
        int code;
        std::string arg1;
        std::string arg2;  // a 32-bit argument as its decimal
    };
    auto request = [&](int type) {
        return [&k2, type] {
            JexNetMsg req(type), reply;
            // Not a message: an item whose length is cut short.
            SetItem(req, JexK2::kItemMessage, std::string("x\x01\xff\xff", 4));
            return k2.call_remote(req, reply);
        };
    };
    auto context = [&](const char* method, const char* first = "alpha") {
        return [&k2, method, first] { return k2.Context(first, "beta", method); };
    };
    auto sign = [&] { return k2.Sign(Message(), signature, mask); };
    const std::vector<Step> steps = {
        {"sign before any context", request('S'), JexK2::WRONGSTATE, "IDLE_SERVER", ""},
        {"unknown request type", request('Q'), JexK2::BADREQUEST, "k2/kay/Jex_K2", "81"},
        {"unknown method", context("RSA_MD5"), JexK2::BADTYPE, "RSA_MD5", ""},
        {"still no method", sign, JexK2::WRONGSTATE, "IDLE_SERVER", ""},
        {"a method", context("MD5"), 0, "", ""},
        {"it signs", sign, 0, "", ""},
        // The unknown method deletes the old one: nothing signs after it.
        {"unknown method after a good one", context("bogus"), JexK2::BADTYPE, "bogus", ""},
        {"no method to sign with", sign, JexK2::WRONGSTATE, "ACTIVE_SERVER", ""},
        {"a method without keys", context("PASSWORD"), JexK2::CRYPTOFAIL, "PASSWORD", ""},
        {"its failures come back", sign, JexK2::BADSIGN, "k2/kay/Jex_K2", ""},
        {"names that leave the key directory", context("MD5", "../alpha"), JexK2::CRYPTOFAIL, "MD5",
         ""},
        {"a message that does not parse", request('S'), JexK2::BADSIGN, "k2/kay/Jex_K2", ""},
        {"back to a good method", context("MD5"), 0, "", ""},
        {"and it signs again", sign, 0, "", ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.call(), s.code) << Described(k2);
        if (s.code == 0) continue;
        // The server's error arrives whole: its name, its text and its arguments.
        EXPECT_EQ(k2.CodeName(k2.Code()).Text(), NameOf(s.code));
        EXPECT_NE(Described(k2).find(NameOf(s.code)), std::string::npos);
        EXPECT_EQ(Arg(k2, 1), s.arg1);
        if (!s.arg2.empty()) {
            EXPECT_EQ(std::to_string(k2.Args()[2].GetLong()), s.arg2);
        }
    }
    EXPECT_EQ(k2.Disconnect(), 0) << Described(k2);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(end.server, 0) << end.text;
}

// A signing method whose key path names the server signs and checks there,
// as the identity JEXCRYPTO_K2_WHOAMI gives.
TEST_F(K2Loopback, SigningMethodWithAK2Entry) {
    ServerEnd end;
    Serve(end);
    std::unique_ptr<JexCrypto> local(JexCrypto::Create("MD5", "alpha", "beta", 1));
    ASSERT_EQ(local->Init(), 0) << Described(*local);

    setenv("JEXCRYPTO_K2_WHOAMI", "alpha/north", 1);
    std::unique_ptr<JexCrypto> method(JexCrypto::Create("MD5", "alpha", "beta", 1));
    ASSERT_EQ(method->SetAttr(JexCrypto::PATH, JexString("MD5@k2/kay")), 0);
    ASSERT_EQ(method->Init(), 0) << Described(*method);
    for (JexCrypto* m : {local.get(), method.get()}) {
        m->MaskItem(114);
        m->MaskItem(115);
    }
    JexNetMsg msg = Message();
    JexBuffer remote_signature, local_signature;
    ASSERT_EQ(method->Sign(msg, remote_signature), 0) << Described(*method);
    ASSERT_EQ(local->Sign(msg, local_signature), 0);
    EXPECT_EQ(Bytes(remote_signature), Bytes(local_signature));
    EXPECT_EQ(method->Check(msg, local_signature), 0) << Described(*method);

    SetItem(msg, 7, "prev");
    EXPECT_EQ(method->Check(msg, local_signature), JexCrypto::AUTHFAIL);
    EXPECT_EQ(Arg(*method, 0), "JexCrypto::Check");
    const std::string text = Described(*method);
    EXPECT_NE(text.find("JexK2::BADCHECK"), std::string::npos) << text;

    method.reset();  // ends the K2 conversation
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(end.server, 0) << end.text;
}

TEST_F(K2Loopback, MessagesTooLargeToFrameAreRefusedBeforeSending) {
    ServerEnd end;
    Serve(end);
    JexK2 k2;
    Client(k2);
    ASSERT_EQ(k2.Connect("k2", "kay"), 0) << Described(k2);
    ASSERT_EQ(k2.Context("alpha", "beta", "MD5"), 0) << Described(k2);
    const JexBuffer mask = Mask({});
    struct Case {
        const char* name;
        int size;
        int code;
    } cases[] = {
        {"a megabyte", 1 << 20, 0},
        {"an item that cannot be framed", 1 << 24, JexK2::SENDFAIL},
        {"a message whose encoding cannot be framed", (1 << 24) - 4, JexK2::SENDFAIL},
        {"empty", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexNetMsg msg('T');  // not the raw form of a lone data item
        SetItem(msg, 'D', std::string(static_cast<size_t>(c.size), 'z'));
        JexBuffer signature;
        ::testing::internal::CaptureStderr();  // the encoder's refusal
        EXPECT_EQ(k2.Sign(msg, signature, mask), c.code) << Described(k2);
        ::testing::internal::GetCapturedStderr();
        if (c.code == 0) {
            EXPECT_EQ(signature.Length(), 16);
            EXPECT_EQ(k2.Check(msg, signature, mask), 0) << Described(k2);
        }
    }
    EXPECT_EQ(k2.Disconnect(), 0) << Described(k2);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(end.server, 0) << end.text;
}

TEST_F(K2Loopback, HopRule) {
    struct Case {
        int count;
        int limit;
        int code;
        int server_count;
    } cases[] = {
        {0, 1, 0, 1},  {1, 1, JexK2::CHUCKED, 2}, {65535, 1, 0, 0},  // the count wraps to 0
        {5, 10, 0, 6}, {0, 0, JexK2::CHUCKED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + "/" + std::to_string(c.limit));
        ServerEnd end;
        Serve(end);
        JexK2 k2;
        Client(k2);
        ASSERT_EQ(k2.SetAttr(JexK2::HOP_COUNT, c.count), 0);
        ASSERT_EQ(k2.SetAttr(JexK2::HOP_LIMIT, c.limit), 0);
        EXPECT_EQ(k2.Connect("k2", "kay"), c.code) << Described(k2);
        if (c.code == 0) {
            EXPECT_EQ(k2.Disconnect(), 0);
        } else {
            // The server's refusal whole: CHUCKED with CLOVER and the limit beneath.
            EXPECT_EQ(k2.GetState(), JexK2::ERROR);
            EXPECT_EQ(Arg(k2, 1), "k2/kay/Jex_K2");
            ASSERT_NE(k2.Cause(), nullptr);
            const std::string text = Described(k2);
            EXPECT_NE(text.find("JexK2::CLOVER, K2 connection in the clover: Hop limit of " +
                                std::to_string(c.limit) + " exceeded"),
                      std::string::npos)
                << text;
        }
        ASSERT_TRUE(server_.Join());
        EXPECT_EQ(end.hop_count, c.server_count);
        EXPECT_EQ(end.hop_limit, c.limit);
        EXPECT_EQ(end.listen, c.code) << end.text;
        if (c.code != 0) {
            EXPECT_EQ(end.state, JexK2::LISTENING);
        }
    }
}

TEST_F(K2Loopback, ServerRejectsWithItsReason) {
    ServerEnd end;
    Serve(end, "closed for maintenance");
    JexK2 k2;
    Client(k2);
    EXPECT_EQ(k2.Connect("k2", "kay"), JexK2::CHUCKED);
    const std::string text = Described(k2);
    EXPECT_NE(text.find("closed for maintenance"), std::string::npos) << text;
    EXPECT_EQ(k2.GetState(), JexK2::ERROR);
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(end.accept, 0) << end.text;
    EXPECT_EQ(end.state, JexK2::REJECTED);
}

// A refusal is a refusal whatever its data says.
TEST_F(K2Loopback, RejectionCarryingNoErrorStillRefuses) {
    struct Case {
        const char* name;
        std::string data;
        int code;
    } cases[] = {
        {"an error of code 0", "", JexK2::CHUCKED},
        {"no message at all", std::string("x\x01\xff", 3), JexException::kExternalMessage},
    };
    JexNetMsg ok(0);
    SetItem(ok, JexProtocol::kItemCodeName, "JexK2::OK");
    SetItem(ok, JexProtocol::kItemText, "Operation successful");
    cases[0].data = Bytes(ok.Encode());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int listened = -1;
        ASSERT_TRUE(server_.Serve([&](JexSession& s) {
            s.SetAttr(JexSession::NODE_AUTH, 1);
            s.SetAttr(JexSession::DST_NODE, "kay");
            s.SetAttr(JexSession::READ_TIMEOUT, 20);
            JexBuffer data;
            listened = s.Listen(JexK2::kApplication, "k2", data);
            if (listened == 0) s.Reject(JexBuffer(c.data.data(), static_cast<int>(c.data.size())));
        }));
        JexK2 k2;
        Client(k2);
        EXPECT_EQ(k2.Connect("k2", "kay"), c.code) << Described(k2);
        EXPECT_EQ(k2.GetState(), JexK2::ERROR);
        ASSERT_TRUE(server_.Join());
        EXPECT_EQ(listened, 0);
    }
}

TEST_F(K2Loopback, TracesRequestsAndReplies) {
    setenv("JEXK2_TRACE", "d", 1);
    ServerEnd end;
    Serve(end);
    std::string err;
    {
        JexK2 k2;
        Client(k2);
        ASSERT_EQ(k2.Connect("k2", "kay"), 0) << Described(k2);
        ::testing::internal::CaptureStderr();
        k2.Context("alpha", "beta", "MD5");
        k2.Disconnect();
        ASSERT_TRUE(server_.Join());
        err = ::testing::internal::GetCapturedStderr();
    }
    for (const char* line : {"\nJexK2::Context/call_remote (0x", "): Sending:\n", "): Received:\n",
                             "\nJexK2::Server (0x", "JexK2::Disconnect/call_remote"})
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
}

struct K2ServerProcess {
    pid_t pid = -1;
    std::string port;  // empty when the program did not report one in time
};

// Starts the K2 server program serving one client as acid on node, with
// `key_path` as its JEXCRYPTO_PATH and its standard output in `out`; a
// non-zero `first_record_seconds` is its bound on a caller's first record.
// The caller's ChildGuard ends it if the test does not.
K2ServerProcess StartK2ServerProgram(const char* acid, const char* node,
                                     const std::string& key_path, const std::string& out,
                                     int first_record_seconds = 0) {
    const std::string bound = std::to_string(first_record_seconds);
    K2ServerProcess server;
    // A report left by an earlier server must not be taken for this one's.
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    server.pid = fork();
    if (server.pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, 1) < 0) _exit(127);
        setenv("JEXCRYPTO_PATH", key_path.c_str(), 1);
        if (first_record_seconds > 0)
            execl(K2SERVER_PROGRAM, K2SERVER_PROGRAM, acid, node, "1", bound.c_str(),
                  static_cast<char*>(nullptr));
        else
            execl(K2SERVER_PROGRAM, K2SERVER_PROGRAM, acid, node, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (server.pid < 0) return server;
    std::string port;
    const bool reported = tavro::testing::WaitFor([&] {
        const std::string text = tavro::testing::ReadFile(out);
        if (text.rfind("port ", 0) != 0 || text.back() != '\n') return false;
        port = text.substr(5, text.size() - 6);
        return true;
    });
    if (reported) server.port = port;
    return server;
}

// The exit status of a child, or -1 when it did not end in time.
int ExitStatus(pid_t pid) {
    const int status = tavro::testing::ChildGuard::WaitChild(pid, 20000);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A whole session handshake in which one side signs at a K2 server (a
// program of its own) and the other with its local keys.
class K2Handshake : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        for (const char* name : {"JEXK2_TRACE", "JEXK2_HOP_LIMIT", "JEXCRYPTO_K2_WHOAMI",
                                 "JEXCRYPTO_K2_HOP_LIMIT", "JEXSESSION_TEST"})
            unsetenv(name);
        setenv("JEXCRYPTO_PATH", local_keys_.Path().c_str(), 1);
        // The client's K2 session, as cli on node cnode, with the server.
        WriteFile(local_keys_.Path() / "MD5-CLI-CNODE-K2-KAY", "k2 session secret\n");
        WriteFile(local_keys_.Path() / "MD5-CLI-SRV", "shared secret\n");
    }

    // Starts the K2 server program with its keys (and its bound on a
    // caller's first record when not 0); false when it does not report its
    // port in time.
    bool StartK2Server(const std::string& pair_key, int first_record_seconds = 0) {
        WriteFile(k2_keys_.Path() / "MD5-CLI-CNODE-K2-KAY", "k2 session secret\n");
        WriteFile(k2_keys_.Path() / "MD5-CLI-SRV", pair_key);
        const std::string routes = (dir_.Path() / "route.map").string();
        setenv("JEXGATEWAY_ROUTEMAP", routes.c_str(), 1);
        k2_ = StartK2ServerProgram("k2", "kay", k2_keys_.Path().string(),
                                   (dir_.Path() / "k2server.out").string(), first_record_seconds);
        routes_ = routes;
        if (k2_.port.empty()) return false;
        WriteFile(routes, RouteEntry("k2/kay/Jex_K2", LoopbackTransportAddress(k2_.port), 1) +
                              peer_.RouteLine("srv", "snode", kApp));
        return true;
    }

    int K2ServerStatus() { return ExitStatus(k2_.pid); }

    // The peer accepts one session signing with its local keys; returns its
    // Listen result through `listened`.
    void ServePeer(int& listened, std::string& received) {
        ASSERT_TRUE(peer_.Serve([this, &listened, &received](JexSession& s) {
            s.SetAttr(JexSession::CRYPTO_PATH, local_keys_.Path().c_str());
            s.SetAttr(JexSession::DST_NODE, "snode");
            s.SetAttr(JexSession::READ_TIMEOUT, 20);
            JexBuffer data;
            listened = s.Listen(kApp, "srv", data);
            if (listened != 0) return;
            if (s.Accept(JexBuffer("welcome")) != 0) return;
            JexBuffer in;
            if (s.GetMsg(in, 0) == 0) received = Bytes(in);
            s.GetMsg(in, 0);  // the client's SHUTDOWN
            s.Disconnect();
        }));
    }

    static int ConnectClient(JexSession& c) {
        c.SetSuppress(1);
        c.SetAttr(JexSession::SRC_ACID, "cli");
        c.SetAttr(JexSession::SRC_NODE, "cnode");
        c.SetAttr(JexSession::READ_TIMEOUT, 20);
        // Only the K2 server holds the pair's key.
        c.SetAttr(JexSession::CRYPTO_PATH, "MD5@k2/kay");
        JexBuffer reply;
        return c.Connect(kApp, "srv", "snode", JexBuffer("hello"), reply);
    }

    static constexpr const char* kApp = "Jex_Test";
    tavro::testing::ChildGuard children_;
    TempDir dir_{"k2-handshake"};
    TempDir local_keys_{"k2-local-keys"};
    TempDir k2_keys_{"k2-server-keys"};
    SessionServer peer_;
    K2ServerProcess k2_;
    std::string routes_;
};

TEST_F(K2Handshake, SignaturesMadeAtTheK2ServerPassALocalPeer) {
    ASSERT_TRUE(StartK2Server("shared secret\n"));
    int listened = -1;
    std::string received;
    ServePeer(listened, received);
    {
        JexSession c;
        ASSERT_EQ(ConnectClient(c), 0) << Described(c);
        EXPECT_EQ(c.State(), JexSession::RUN);
        EXPECT_EQ(c.PutMsg(JexBuffer("signed remotely"), 0), 0) << Described(c);
        EXPECT_EQ(c.Disconnect(), 0) << Described(c);
    }  // the method's K2 client ends its conversation with the server here
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(listened, 0);
    EXPECT_EQ(received, "signed remotely");
    EXPECT_EQ(K2ServerStatus(), 0);
}

TEST_F(K2Handshake, ASilentCallerDoesNotHoldUpSigning) {
    ASSERT_TRUE(StartK2Server("shared secret\n"));
    // A caller that connects to the K2 server first and says nothing.
    const int silent = tavro::testing::ConnectLoopback(std::stoi(k2_.port));
    ASSERT_GE(silent, 0);
    int listened = -1;
    std::string received;
    ServePeer(listened, received);
    const auto start = std::chrono::steady_clock::now();
    {
        JexSession c;
        ASSERT_EQ(ConnectClient(c), 0) << Described(c);
        EXPECT_EQ(c.PutMsg(JexBuffer("signed remotely"), 0), 0) << Described(c);
        EXPECT_EQ(c.Disconnect(), 0) << Described(c);
    }
    // Served beside the silent caller, not after its first-bytes bound.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(received, "signed remotely");
    EXPECT_EQ(K2ServerStatus(), 0);
    ::close(silent);
}

// A caller that finishes its gateway CONNECT and then says nothing holds
// the K2 server no longer than the first-record bound: the next caller is
// answered within that bound and a second more.
TEST_F(K2Handshake, ACallerSilentAfterItsConnectIsDroppedAtTheFirstRecordBound) {
    constexpr int kBound = 1;
    ASSERT_TRUE(StartK2Server("shared secret\n", kBound));
    JexGateway silent;
    ASSERT_EQ(
        tavro::testing::ConnectAndSayNothing(silent, routes_, "k2", "kay", JexK2::kApplication), 0)
        << Described(silent);

    const auto start = std::chrono::steady_clock::now();
    JexK2 k2;
    k2.SetSuppress(1);
    ASSERT_EQ(k2.SetAttr(JexSession::SRC_ACID, "cli"), 0);
    ASSERT_EQ(k2.SetAttr(JexSession::SRC_NODE, "cnode"), 0);
    ASSERT_EQ(k2.Session().SetAttr(JexSession::READ_TIMEOUT, 10), 0);
    ASSERT_EQ(k2.Connect("k2", "kay"), 0) << Described(k2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kBound + 1));
    // Served whole: a context, then the Disconnect request.
    EXPECT_EQ(k2.Context("cli", "srv", "MD5"), 0) << Described(k2);
    EXPECT_EQ(k2.Disconnect(), 0) << Described(k2);
    // The silent caller was dropped, not counted as a client.
    EXPECT_EQ(K2ServerStatus(), 0);
}

TEST_F(K2Handshake, AKeyTheK2ServerDoesNotShareFailsTheHandshake) {
    ASSERT_TRUE(StartK2Server("another secret\n"));
    int listened = -1;
    std::string received;
    ServePeer(listened, received);
    {
        JexSession c;
        EXPECT_EQ(ConnectClient(c), JexSession::AUTHFAIL) << Described(c);
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_NE(listened, 0);
    EXPECT_EQ(K2ServerStatus(), 0);
}

// A K2 server whose own keys lack the pair relays to a second one; the hop
// limit decides how far the chain reaches.
TEST(K2Relay, ChainOfServersEndsAtTheHopLimit) {
    for (const char* name : {"JEXK2_TRACE", "JEXK2_HOP_LIMIT", "JEXCRYPTO_K2_WHOAMI",
                             "JEXCRYPTO_K2_HOP_LIMIT", "JEXSESSION_TEST"})
        unsetenv(name);
    tavro::testing::ChildGuard children;
    TempDir dir{"k2-relay"}, client_keys{"k2-relay-client"}, keys_a{"k2-relay-a"},
        keys_b{"k2-relay-b"}, pair_keys{"k2-relay-pair"};
    WriteFile(client_keys.Path() / "MD5-CLI-CNODE-K2A-KAYA", "client and a\n");
    WriteFile(keys_a.Path() / "MD5-CLI-CNODE-K2A-KAYA", "client and a\n");
    WriteFile(keys_a.Path() / "MD5-K2A-KAYA-K2B-KAYB", "a and b\n");
    WriteFile(keys_b.Path() / "MD5-K2A-KAYA-K2B-KAYB", "a and b\n");
    WriteFile(keys_b.Path() / "MD5-CLI-SRV", "pair secret\n");  // only b holds the pair
    WriteFile(pair_keys.Path() / "MD5-CLI-SRV", "pair secret\n");
    const std::string routes = (dir.Path() / "route.map").string();
    setenv("JEXGATEWAY_ROUTEMAP", routes.c_str(), 1);

    struct Case {
        int limit;
        int context;
        int status_b;
    } cases[] = {{2, 0, 0}, {1, JexK2::CRYPTOFAIL, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        const K2ServerProcess b = StartK2ServerProgram("k2b", "kayb", keys_b.Path().string(),
                                                       (dir.Path() / "b.out").string());
        const K2ServerProcess a =
            StartK2ServerProgram("k2a", "kaya", keys_a.Path().string() + ";MD5@k2b/kayb",
                                 (dir.Path() / "a.out").string());
        ASSERT_FALSE(a.port.empty());
        ASSERT_FALSE(b.port.empty());
        WriteFile(routes, RouteEntry("k2a/kaya/Jex_K2", LoopbackTransportAddress(a.port), 1) +
                              RouteEntry("k2b/kayb/Jex_K2", LoopbackTransportAddress(b.port), 1));

        setenv("JEXCRYPTO_PATH", client_keys.Path().c_str(), 1);
        JexK2 k2;
        k2.SetSuppress(1);
        ASSERT_EQ(k2.SetAttr(JexSession::SRC_ACID, "cli"), 0);
        ASSERT_EQ(k2.SetAttr(JexSession::SRC_NODE, "cnode"), 0);
        ASSERT_EQ(k2.SetAttr(JexK2::HOP_LIMIT, c.limit), 0);
        ASSERT_EQ(k2.Connect("k2a", "kaya"), 0) << Described(k2);
        EXPECT_EQ(k2.Context("cli", "srv", "MD5"), c.context) << Described(k2);
        if (c.context == 0) {
            // Signed at b: a holds no key for the pair.
            JexBuffer signature, expected;
            const JexBuffer mask = Mask({114, 115});
            ASSERT_EQ(k2.Sign(Message(), signature, mask), 0) << Described(k2);
            setenv("JEXCRYPTO_PATH", pair_keys.Path().c_str(), 1);
            std::unique_ptr<JexCrypto> local(JexCrypto::Create("MD5", "cli", "srv", 1));
            local->MaskItem(114);
            local->MaskItem(115);
            ASSERT_EQ(local->Init(), 0);
            ASSERT_EQ(local->Sign(Message(), expected), 0);
            EXPECT_EQ(Bytes(signature), Bytes(expected));
        } else {
            const std::string text = Described(k2);
            EXPECT_NE(text.find("Hop limit of 1 exceeded"), std::string::npos) << text;
        }
        EXPECT_EQ(k2.Disconnect(), 0) << Described(k2);
        EXPECT_EQ(ExitStatus(a.pid), 0);
        EXPECT_EQ(ExitStatus(b.pid), c.status_b);
    }
}

}  // namespace
