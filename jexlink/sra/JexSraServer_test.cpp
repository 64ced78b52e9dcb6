// Tests of the "Jex_Sra" server: the platform gate, its small parts, and the connect and
// new-request exchanges driven over the loopback by hand-built messages and by the real create
// client.
#include "jexlink/sra/SraServerTestSupport.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "platform/PlatformState.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/GatewayTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Wait.h"

namespace {

using namespace tavro::testing::sra_server;

TEST(JexSraServerGate, OffQvosTheServerOnlySaysSo) {
    JexSraServer server;
    JexSession session;
    EXPECT_EQ(server.Server(session), JexSra::VERNOTSUPPORTED);
    EXPECT_EQ(server.Code(), JexSra::VERNOTSUPPORTED);
    EXPECT_EQ(Bytes(server.Args()[0]), "JexSraServer::Server():  Server only runs on Qvos");
    EXPECT_EQ(session.State(), JexSession::IDLE);
    EXPECT_EQ(session.Gateway().State(), JexGateway().State()) << "listened on";
}

TEST(JexSraServerUnits, WorkFileRecords) {
    const char raw[] = {'a', '\0', 'b'};
    const std::string written = tavro::testing::CapturedFile([&](FILE* f) {
        JexSraServer::write_data(f, "\x05", "Software Info : ", JexBuffer(JexBufferBase(raw, 3)));
        JexSraServer::write_data(f, "\x01", nullptr, JexBuffer());
        JexSraServer::write_data(f, "\x05", nullptr, JexBuffer(JexString("line\nwith\nfeeds")));
    });
    const char expected[] = "\x05Software Info : a\0b\n\x01\n\x05line\nwith\nfeeds\n";
    EXPECT_EQ(written, std::string(expected, sizeof expected - 1));
}

TEST(JexSraServerUnits, PlatformCodes) {
    const struct {
        const char* path;
        int code;
    } cases[] = {
        {"x|QVOS a b c TOVIK", 0},
        {"x|qvos a b c tovik\nnext|WINDOWS", 0},
        {"x|QVOS a b c OTHER", 2},
        {"x|MORVEX", 1},
        {"x|TARNIX a b c d", 3},
        {"x|WINDOWS 5 1 2 SORREL", 4},
        {"x|WINDOWSNT 5 1 2 SORREL", 5},
        {"x|WindowsNT 5 1 2 x86", 6},
        {"no bar field at all", 3},
        {"", 3},
        {"x|SOLARIS", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JexSraServer::PlatformCode(JexString(c.path)), c.code) << c.path;
}

TEST(JexSraServerUnits, DateTexts) {
    EXPECT_STREQ(JexSraDateText("5 March 2001").Text(), "5-MAR-2001");
    EXPECT_STREQ(JexSraDateText("25 December 1999").Text(), "25-DEC-1999");
    testing::internal::CaptureStderr();
    EXPECT_STREQ(JexSraDateText("no date at all").Text(), "");
    EXPECT_STREQ(JexSraDateText(nullptr).Text(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Status : 0\nError converting time\nStatus : 0\nError converting time\n");
}

TEST(JexSraServerUnits, ListCommands) {
    const struct {
        const char* type;
        const char* before;
        const char* since;
        const char* command;  // null: refused
        int code;
    } cases[] = {
        {"2", nullptr, nullptr, "OPENCALLS", 0},
        {"0", nullptr, nullptr, "HELP", 0},
        {"0x1", nullptr, nullptr, "SERVICE-CONTRACTS", 0},
        {"3", nullptr, "1 jan 2000", "CLOSEDCALLS/since=1-JAN-2000/created", 0},
        {"2", "5 March 2001", "25 December 1999",
         "OPENCALLS/before=5-MAR-2001/since=25-DEC-1999/created", 0},
        {"4", nullptr, nullptr, nullptr, JexSra::FAILURE},
        {"-1", nullptr, nullptr, nullptr, JexSra::FAILURE},
        {"2", "not a date", nullptr, nullptr, JexSra::INVALIDDATE},
    };
    for (const auto& c : cases) {
        JexNetMsg connect = Connect("3");
        JexSraSetText(connect[kSraItemListType], JexString(c.type));
        if (c.before) JexSraSetText(connect[kSraItemBefore], JexString(c.before));
        if (c.since) JexSraSetText(connect[kSraItemSince], JexString(c.since));
        JexString command;
        JexSra error;
        testing::internal::CaptureStderr();
        const bool ok = JexSraServer::ListCommand(connect, command, error);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.command != nullptr) << c.type;
        if (c.command) {
            EXPECT_STREQ(command.Text(), c.command);
        }
        EXPECT_EQ(error.Code(), c.code) << c.type;
    }
}

// The checks before accepting, each with hand-built connect data.
TEST_F(JexSraServerTest, RefusalsReachTheClientAsRejectData) {
    const struct {
        const char* name;
        std::function<JexNetMsg()> connect;
        const char* rules;
        int code;
        const char* context;
        const char* version_line;  // null: none printed
    } cases[] = {
        {"not authorized", [] { return Connect("0"); }, "disallow cli * * * * * * no\n",
         JexSra::ACCESSFAIL, "JexSra::Server() Not Authorized", nullptr},
        {"kind 4", [] { return Connect("4"); }, nullptr, JexSra::NOTVALIDREQUEST,
         "JexSra::Server() Not a valid request", nullptr},
        {"kind -1", [] { return Connect("-1"); }, nullptr, JexSra::NOTVALIDREQUEST,
         "JexSra::Server() Not a valid request", nullptr},
        {"version 19", [] { return Connect("0", 19); }, nullptr, JexSra::NOTVALIDVERSION,
         "JexSra::Server() Not a valid Version", "Client's version is 19.\n"},
        {"version 30", [] { return Connect("0", 30); }, nullptr, JexSra::NOTVALIDVERSION,
         "JexSra::Server() Not a valid Version", "Client's version is 30.\n"},
        {"no version", [] { return Connect("0", kNoVersion); }, nullptr, JexSra::NOTVALIDVERSION,
         "JexSra::Server() Not a valid Version", "Client's version is 0.\n"},
        {"augment without request number", [] { return Connect("1", 20, kSraItemRequestNumber); },
         nullptr, JexSra::NODATAERR, "JexSra::Server()Mandatory data not specified",
         "Client's version is 20.\n"},
        {"augment of a request of another access id", [] { return Connect("1"); }, nullptr,
         JexSra::INVALIDSRQID, "", "Client's version is 20.\n"},
        {"review without request number", [] { return Connect("2", 20, kSraItemRequestNumber); },
         nullptr, JexSra::INVALIDSRQID, "", "Client's version is 20.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rules) Install::Get().Rules(c.rules);
        Served served;
        served.backEnd.owner = "SOMEONE-ELSE";
        RawClient client;
        int rc = -1;
        served.Run([&] { rc = client.Open(c.connect()); });
        EXPECT_EQ(rc, JexSession::REJECT);
        EXPECT_EQ(served.status, c.code);
        const Carried carried = Unload(client.Reply());
        EXPECT_EQ(carried.code, c.code);
        EXPECT_EQ(served.Context(), c.context);
        const std::string line = c.version_line ? c.version_line : "Client's version";
        EXPECT_EQ(served.stderr_text.find(line) != std::string::npos, c.version_line != nullptr)
            << served.stderr_text;
        EXPECT_EQ(served.backEnd.calls, 0);
        Install::Get().Rules("allow * * * * * * * everyone\n");
    }
}

TEST_F(JexSraServerTest, ConnectDataThatDoesNotDecodeIsRefused) {
    Served served;
    RawClient client;
    int rc = -1;
    const char junk[] = {'C', 'R', 9, 0};
    served.Run([&] { rc = client.Open(JexBuffer(JexBufferBase(junk, sizeof junk))); });
    EXPECT_EQ(rc, JexSession::REJECT);
    EXPECT_EQ(Unload(client.Reply()).code, JexSra::CONVERSIONERR);
    EXPECT_EQ(served.status, JexSra::CONVERSIONERR);
}

// Accepted versions and kinds: the connection stands; the client then leaves.
TEST_F(JexSraServerTest, AcceptedVersionsAndKinds) {
    const struct {
        const char* kind;
        int32_t version;
        int accept_type;
    } cases[] = {
        {"0", 20, kSraAccept},    {"0", 29, kSraAccept}, {nullptr, 20, kSraAccept},
        {"zero", 20, kSraAccept}, {"3", 20, kSraAccept}, {"0x3", 20, kSraAccept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind ? c.kind : "(none)") + " " + std::to_string(c.version));
        Served served;
        RawClient client;
        int rc = -1;
        served.Run(
            [&] {
                rc = client.Open(Connect(c.kind, c.version));
                client.Session().Disconnect();
            },
            false);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(client.Reply().Type(), c.accept_type);
        EXPECT_NE(served.status, JexSra::NOTVALIDREQUEST);
        EXPECT_NE(served.status, JexSra::NOTVALIDVERSION);
    }
}

// A new request from the real create client, through the director's
// adapter: the work file as the back-end gets it, and the back-end's answer.
TEST_F(JexSraServerTest, NewRequestFromTheCreateClient) {
    const struct {
        const char* name;
        int back_end_status;
        bool with_back_end;
        int converted;
    } cases[] = {
        {"back-end gives a number", 0, true, kSrqAccepted},
        {"back-end fails", JexSra::NOPRODUCTS, true, kSrqCommunicationFailure},
        {"no back-end", 0, false, kSrqCommunicationFailure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.backEnd.status = c.back_end_status;
        JexNetMsg in;
        JexSraSetText(in['G'], JexString("Linux 6"));
        JexSraSetText(in['F'], JexString("x86 box"));
        JexSraSetText(in['J'], JexString("2.2"));
        JexNetMsg out;
        int converted = -1;
        served.Run(
            [&] {
                converted = JexCreateSrq(JexString("acc-1"), JexString("Disk full"),
                                         JexString("Hello\nWorld"), &in, &out);
            },
            c.with_back_end);
        EXPECT_EQ(converted, c.converted);
        if (!c.with_back_end) {
            EXPECT_EQ(served.status, JexSra::PROBSUBFAIL);
            EXPECT_EQ(Unload(out).code, JexSra::PROBSUBFAIL);
            continue;
        }
        ASSERT_EQ(served.backEnd.calls, 1);
        const std::string contact = ClientContact();
        EXPECT_EQ(served.backEnd.work, served.Header("ACC-1", "Disk full", contact) +
                                           "\x05Operating System Info : Linux 6\n"
                                           "\x05Hardware Info : x86 box\n"
                                           "\x05Software Info : 2.2\n"
                                           "\x05\n\x05Hello\n\x05World\n\x05\n");
        EXPECT_EQ(served.backEnd.work_name.rfind("jex_sra_", 0), 0u);
        EXPECT_EQ(served.status, c.back_end_status);
        if (c.back_end_status == 0) {
            EXPECT_STREQ(JexSraText(out['I']).Text(), "SR-4711");
        }
    }
}

// The size limit counts the bytes of the lines alone.
TEST_F(JexSraServerTest, SizeLimit) {
    Install::Get().Limit(100);
    {
        Served served;
        RawClient client;
        RawClient::Msg reply;
        served.Run([&] {
            ASSERT_EQ(client.Open(Connect("0")), 0);
            EXPECT_EQ(JexSraSizeLimit(client.Reply()), 100u);
            client.Line(std::string(60, 'x'));
            client.Line(std::string(40, 'y'));
            client.End();
            reply = client.Next();
            client.Session().Disconnect();
        });
        EXPECT_EQ(reply.Type(), kSraSuccess);
        EXPECT_EQ(served.status, JexSra::OK);
        EXPECT_EQ(served.backEnd.work, served.Header("ACC-1") + "\x05" + std::string(60, 'x') +
                                           "\n\x05" + std::string(40, 'y') + "\n");
    }
    {
        Served served;
        RawClient client;
        RawClient::Msg reply;
        served.Run([&] {
            ASSERT_EQ(client.Open(Connect("0")), 0);
            client.Line(std::string(60, 'x'));
            client.Line(std::string(40, 'y'));
            client.Line("z");
            reply = client.NextAndLeave();
        });
        EXPECT_EQ(reply.Type(), kSraFailure);
        const Carried carried = Unload(reply.m);
        EXPECT_EQ(carried.code, JexSra::BYTELIMITERR);
        EXPECT_NE(carried.text.find("Your submission of 101 bytes exceeds the size limit of 100 "
                                    "bytes"),
                  std::string::npos)
            << carried.text;
        EXPECT_EQ(served.status, JexSra::BYTELIMITERR);
        EXPECT_EQ(served.Context(), "JexSraServer::NewSrq()");
        EXPECT_EQ(served.backEnd.calls, 0);
    }
}

// After the accept: a mandatory item missing, a corrupt or unexpected
// message: the failure reply, the connection ended.
TEST_F(JexSraServerTest, FailuresAfterTheAccept) {
    const struct {
        const char* name;
        JexNetMsg connect;
        std::function<void(RawClient&)> send;
        int code;
        const char* context;
    } cases[] = {
        {"new request without access number", Connect("0", 20, kSraItemAccessNumber),
         [](RawClient&) {}, JexSra::NODATAERR, "JexSra::Server(): Mandatory data not specified"},
        {"list fetch without list type", Connect("3", 20, kSraItemListType), [](RawClient&) {},
         JexSra::NODATAERR, "JexSra::Server()Mandatory data not specified"},
        {"list type out of range",
         [] {
             JexNetMsg m = Connect("3");
             JexSraSetText(m[kSraItemListType], JexString("9"));
             return m;
         }(),
         [](RawClient&) {}, JexSra::FAILURE, "JexSraServer::Server() Not a valid list type"},
        {"corrupt data message", Connect("0"),
         [](RawClient& c) {
             const char junk[] = {'D', 'D', 50, 0, 0, 'x'};
             c.Session().PutMsg(JexBuffer(JexBufferBase(junk, sizeof junk)), 0);
         },
         JexSra::CONVERSIONERR, "JexSraServer::NewSrq() corrupt message received"},
        {"query inside a new request", Connect("0"),
         [](RawClient& c) { c.Send(JexNetMsg(kSraQuery)); }, JexSra::PROTOCOLERR,
         "JexSraServer::NewSrq() Protocol error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        RawClient client;
        RawClient::Msg reply;
        int rc = -1;
        served.Run([&] {
            rc = client.Open(c.connect);
            c.send(client);
            reply = client.NextAndLeave();
        });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(reply.Type(), kSraFailure);
        EXPECT_EQ(Unload(reply.m).code, c.code);
        EXPECT_EQ(served.status, c.code);
        EXPECT_EQ(served.Context(), c.context);
        EXPECT_EQ(served.backEnd.calls, 0);
    }
}

// The host program of the server (one caller at a time) in a tree and a
// platform state of its own, with `firstRecordSeconds` as its bound on a
// caller's first record; it shares the test installation's key.
class SraServerHost {
public:
    explicit SraServerHost(int firstRecordSeconds) {
        for (const char* sub : {"data", "logs", "Keys", "out"})
            std::filesystem::create_directories(tree_.Path() / sub);
        WriteFile(tree_.Path() / "data" / "jex_route_map.dat", "");
        WriteFile(tree_.Path() / "data" / "jex_remote_auth.dat", "allow * * * * * * * all\n");
        WriteFile(tree_.Path() / "data" / "jex_obligation_map.dat", "");
        WriteFile(tree_.Path() / "Keys" / "MD5-CLI-SRV",
                  ReadFile(Install::Get().Path() / "keys" / "MD5-CLI-SRV"));
        const std::string out = (tree_.Path() / "host.out").string();
        const std::string bound = std::to_string(firstRecordSeconds);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) _exit(127);
            setenv(platform::kStateDirVar, state_.Path().c_str(), 1);
            setenv("SRASERVER_FIRST_RECORD_SECONDS", bound.c_str(), 1);
            unsetenv("JEXCRYPTO_PATH");
            const std::string install = tree_.Path().string();
            const std::string copies = (tree_.Path() / "out").string();
            execl(SRASERVER_PROGRAM, SRASERVER_PROGRAM, install.c_str(), copies.c_str(), "0",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) return;
        tavro::testing::WaitFor([&] {
            const std::string text = ReadFile(out);
            if (text.rfind("port ", 0) != 0 || text.find('\n') == std::string::npos) return false;
            port_ = std::stoi(text.substr(5, text.find('\n') - 5));
            return true;
        });
    }
    ~SraServerHost() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        tavro::testing::ChildGuard::WaitChild(pid_, 20000);
    }
    SraServerHost(const SraServerHost&) = delete;
    SraServerHost& operator=(const SraServerHost&) = delete;

    // The port it serves on; 0 when it did not report one.
    int Port() const { return port_; }

private:
    TempDir tree_{"sra-host-tree"};
    TempDir state_{"sra-host-state"};
    pid_t pid_ = -1;
    int port_ = 0;
};

// A caller that finishes its gateway CONNECT and then says nothing holds
// the server no longer than the first-record bound: the next caller is
// answered within that bound and a second more.
TEST_F(JexSraServerTest, ACallerSilentAfterItsConnectIsDroppedAtTheFirstRecordBound) {
    constexpr int kBound = 1;
    tavro::testing::ChildGuard guard;
    SraServerHost host(kBound);
    ASSERT_GT(host.Port(), 0);
    const std::string routes = (Install::Get().Path() / "data" / "jex_route_map.dat").string();
    WriteFile(routes, tavro::testing::LoopbackRouteEntry("srv/snode/Jex_Sra", host.Port(), 1));

    JexGateway silent;
    ASSERT_EQ(tavro::testing::ConnectAndSayNothing(silent, routes, kDomain, kNode, kSraApplication),
              0)
        << silent.Describe(1).Text();

    const auto start = std::chrono::steady_clock::now();
    RawClient client;
    client.Session().SetAttr(JexSession::READ_TIMEOUT, 10);
    EXPECT_EQ(client.Open(Connect("0")), 0) << client.Session().Describe(1).Text();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kBound + 1));
    EXPECT_EQ(client.Reply().Type(), kSraAccept);
    client.Session().Disconnect();
}

}  // namespace
