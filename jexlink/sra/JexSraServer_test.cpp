// Tests of the "Jex_Sra" server: the platform gate, and a server that serves here driven over the
// loopback by hand-built messages and by the real create client.
#include "jexlink/sra/JexSraServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexCreateSrq.h"
#include "jexlink/sra/JexSraAugmentSrq.h"
#include "jexlink/sra/JexSraFetchList.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/sra/JexSraReviewSrq.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/CapturedFile.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SessionServer.h"
#include "testing/support/SraMemoryLink.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ReadFile;
using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr const char* kDomain = "srv";
constexpr const char* kNode = "snode";

// The server that serves on this platform.
class ServingServer : public JexSraServer {
public:
    using JexSraServer::Serve;

protected:
    bool ServesOnThisPlatform() const override { return true; }
};

// One installation for the whole process (the server computes its route
// map and key directory once per process): local domains "cli" (the
// client's) and "srv" (the server's), the shared MD5 key, a rule that lets
// everyone in, and the current directory, where work files go.
class Install {
public:
    static Install& Get() {
        static Install install;
        return install;
    }
    const std::filesystem::path& Path() const { return dir_.Path(); }
    void Route(const SessionServer& server) {
        WriteFile(dir_.Path() / "data" / "jex_route_map.dat",
                  server.RouteLine(kDomain, kNode, kSraApplication));
    }
    void Rules(const std::string& rules) {
        WriteFile(dir_.Path() / "data" / "jex_remote_auth.dat", rules);
    }
    void Limit(uint32_t limit) {
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kApplications, "SRA.MaxSubmitBytes", limit));
    }
    // Work files left in the current directory.
    std::vector<std::string> WorkFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            if (entry.path().filename().string().rfind("jex_sra_", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    }

private:
    Install() {
        using namespace tavro::testing;
        std::filesystem::create_directories(dir_.Path() / "data");
        std::filesystem::create_directories(dir_.Path() / "logs");
        std::filesystem::create_directories(dir_.Path() / "keys");
        EXPECT_TRUE(WriteInstallPath(dir_.Path().string()));
        EXPECT_TRUE(WriteList(JexConfig::kApplications, "Local.Domain", {"cli", kDomain}));
        EXPECT_TRUE(WriteList(JexConfig::kApplications, "Local.Node", {"cnode", kNode}));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "Remote.Domain", kDomain));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "Remote.Node", kNode));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "SRA.ReplyTimeout", "30"));
        WriteFile(dir_.Path() / "keys" / "MD5-CLI-SRV", "shared sra secret\n");
        setenv("JEXCRYPTO_PATH", (dir_.Path() / "keys").c_str(), 1);
        Rules("allow * * * * * * * everyone\n");
        EXPECT_EQ(::chdir(dir_.Path().c_str()), 0);
    }
    TempDir dir_{"sra-server"};
};

// A back-end that keeps what it was handed and answers as told.
struct TestBackEnd : JexSraBackEnd {
    int status = 0;  // what Submit, Augment and FetchList return
    std::string number = "SR-4711";
    std::vector<std::string> list = {"first", "", "third"};
    std::string owner = "CLI";  // of every request; empty: not found
    std::vector<std::string> units;
    std::string work;  // the last work file's bytes
    std::string work_name;
    int calls = 0;

    int Take(const char* file, JexException& error) {
        ++calls;
        work_name = file;
        work = ReadFile(file);
        if (status) error.ExcSet(status, JexExcArgs("test back-end", "SR-0"));
        return status;
    }
    int Submit(const char* file, JexString& out, JexException& error) override {
        out = number.c_str();
        return Take(file, error);
    }
    int Augment(const char* file, JexException& error) override { return Take(file, error); }
    int FetchList(const char* file, JexFieldedString& lines, JexException& error) override {
        for (size_t i = 0; i < list.size(); ++i) lines[static_cast<int>(i)] = list[i].c_str();
        return Take(file, error);
    }
    int LookupSrq(const JexString&, JexString& acid) override {
        if (owner.empty()) return JexObligation_CHS_NOSRQ;
        acid = owner.c_str();
        return 0;
    }
    int WorkUnits(const JexString&, JexFieldedString& out) override {
        for (size_t i = 0; i < units.size(); ++i) out[static_cast<int>(i)] = units[i].c_str();
        return 0;
    }
    static constexpr int JexObligation_CHS_NOSRQ = 8;
};

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

// The error an error image carries.
struct Carried {
    int code = -1;
    std::string context;
    std::string text;
};

Carried Unload(const JexNetMsg& msg) {
    JexSra holder;
    JexTIEUnloadException(msg, holder, 1, 0);
    Carried c;
    c.code = holder.Code();
    c.context = Bytes(holder.Args()[0]);
    c.text = holder.FormattedText(0).Text();
    return c;
}

// The clients' own contact address: user@computer.
std::string ClientContact() {
    JexPlatform platform;
    JexString computer = platform.Field(1);
    if (computer.FindChar('.') >= 0) computer = computer.Left(computer.FindChar('.'));
    return std::string(JexGetUserName().Text()) + "@" + computer.Text();
}

// A connect message of the given kind with every item a kind needs, but
// the item `omit` and, when version is kNoVersion, the version.
constexpr int32_t kNoVersion = -12345;
JexNetMsg Connect(const char* kind, int32_t version = 20, int omit = -1) {
    JexNetMsg msg(kSraConnect);
    auto text = [&](int item, const char* value) {
        if (item != omit && value) JexSraSetText(msg[item], JexString(value));
    };
    text(kSraItemKind, kind);
    if (version != kNoVersion) msg[kSraItemVersion].SetLong(version);
    text(kSraItemSubject, "The subject");
    text(kSraItemContact, "tom@example");
    text(kSraItemAccessNumber, "ACC-1");
    text(kSraItemRequestNumber, "SR-9");
    text(kSraItemListType, "2");
    return msg;
}

// A client session driven by hand: connect data, messages, replies.
class RawClient {
public:
    RawClient() {
        s_.SetSuppress(1);
        s_.SetAttr(JexSession::SRC_ACID, "cli");
        s_.SetAttr(JexSession::SRC_NODE, "cnode");
        const std::string map = (Install::Get().Path() / "data" / "jex_route_map.dat").string();
        s_.SetAttr(JexSession::ROUTE_MAP, map.c_str());
        s_.SetAttr(JexSession::READ_TIMEOUT, 30);
    }
    // The session's result; reply holds the accept or reject data.
    int Open(const JexBuffer& data) {
        const int rc = s_.Connect(kSraApplication, kDomain, kNode, data, reply_);
        s_.Gateway().SetReadTimeout(30);
        return rc;
    }
    int Open(const JexNetMsg& connect) { return Open(connect.Encode()); }
    JexNetMsg Reply() const {
        JexNetMsg m;
        m.Decode(reply_);
        return m;
    }
    int Send(const JexNetMsg& msg) { return s_.PutMsg(msg.Encode(), 0); }
    int Line(const std::string& text) {
        JexNetMsg m;
        JexSraBuildLine(JexString(text.c_str()), m);
        return Send(m);
    }
    int End() {
        JexNetMsg m;
        JexSraBuildEnd(m);
        return Send(m);
    }
    // The next message; type 0xFF when the receive failed. (A copied net
    // message keeps its items but not its type: the type travels beside.)
    struct Msg {
        int type = 0xFF;
        JexNetMsg m;
        const JexBuffer& operator[](int item) const { return m[item]; }
        int Type() const { return type; }
    };
    Msg Next() {
        JexBuffer in;
        Msg got;
        if (s_.GetMsg(in, 0) != 0) return got;
        got.m.Decode(in);
        got.type = got.m.Type();
        return got;
    }
    // Reads the failure reply, then ends the connection as the clients do.
    Msg NextAndLeave() {
        Msg got = Next();
        s_.Disconnect();
        return got;
    }
    JexSession& Session() { return s_; }

private:
    JexSession s_;
    JexBuffer reply_;
};

// Serves one connection with a serving server while the test's client runs.
struct Served {
    ServingServer server;
    TestBackEnd back_end;
    int status = -1;
    std::string stderr_text;
    std::string path;  // the server session's PATH

    void Run(const std::function<void()>& client, bool with_back_end = true) {
        SessionServer listener;
        ASSERT_TRUE(listener.Listening());
        Install::Get().Route(listener);
        if (with_back_end) server.SetBackEnd(&back_end);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(listener.Serve([this](JexSession& s) {
            s.SetAttr(JexSession::READ_TIMEOUT, 30);
            status = server.Server(s);
            JexString p;
            s.GetAttr(JexSession::PATH, p);
            path = p.Text();
        }));
        client();
        EXPECT_TRUE(listener.Join(std::chrono::seconds(90)));
        stderr_text = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(Install::Get().WorkFiles().empty()) << "work file left behind";
    }
    std::string Context() { return Bytes(server.Args()[0]); }
    // The header records the server writes for a request record.
    std::string Header(const std::string& request, const std::string& subject = "The subject",
                       const std::string& contact = "tom@example") const {
        JexBuffer dispatch;
        dispatch.SetLong(200);
        JexBuffer word;
        word.SetLong((2 << 8) + JexSraServer::PlatformCode(JexString(path.c_str())));
        return "\x01" + contact + "\n\x02" + request + "\n\x04" + subject + "\n\x06" +
               Bytes(dispatch) + Bytes(word) + "\n";
    }
};

class JexSraServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Install::Get().Rules("allow * * * * * * * everyone\n");
        Install::Get().Limit(0);
    }
};

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
        served.back_end.owner = "SOMEONE-ELSE";
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
        EXPECT_EQ(served.back_end.calls, 0);
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
        served.back_end.status = c.back_end_status;
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
        ASSERT_EQ(served.back_end.calls, 1);
        const std::string contact = ClientContact();
        EXPECT_EQ(served.back_end.work, served.Header("ACC-1", "Disk full", contact) +
                                            "\x05Operating System Info : Linux 6\n"
                                            "\x05Hardware Info : x86 box\n"
                                            "\x05Software Info : 2.2\n"
                                            "\x05\n\x05Hello\n\x05World\n\x05\n");
        EXPECT_EQ(served.back_end.work_name.rfind("jex_sra_", 0), 0u);
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
        EXPECT_EQ(served.back_end.work, served.Header("ACC-1") + "\x05" + std::string(60, 'x') +
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
        EXPECT_EQ(served.back_end.calls, 0);
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
        EXPECT_EQ(served.back_end.calls, 0);
    }
}

TEST_F(JexSraServerTest, Augment) {
    Install::Get().Limit(77);
    Served served;
    RawClient client;
    RawClient::Msg reply;
    served.Run([&] {
        ASSERT_EQ(client.Open(Connect("1")), 0);
        EXPECT_EQ(client.Reply().Type(), 0);
        EXPECT_EQ(JexSraSizeLimit(client.Reply()), 77u);
        client.Line("more");
        client.Line("text");
        client.End();
        reply = client.Next();
        client.Session().Disconnect();
    });
    EXPECT_EQ(reply.Type(), kSraSuccess);
    EXPECT_EQ(served.status, JexSra::OK);
    EXPECT_EQ(served.back_end.work, served.Header("SRQ$SR-9") + "\x05more\n\x05text\n");
}

TEST_F(JexSraServerTest, Review) {
    Served served;
    served.back_end.units = {"a\n\nb", "second", ""};
    RawClient client;
    std::vector<std::string> got;
    // Sends a query and collects the lines up to Z (or "F:code").
    auto query = [&](const char* n) {
        JexNetMsg q(kSraQuery);
        JexSraSetText(q[kSraItemWorkUnit], JexString(n));
        client.Send(q);
        std::string unit;
        for (;;) {
            RawClient::Msg m = client.Next();
            if (m.Type() == kSraData) {
                unit += Bytes(m[kSraItemLine]) + "|";
                continue;
            }
            if (m.Type() == kSraFailure) unit += "F:" + std::to_string(Unload(m.m).code);
            break;
        }
        got.push_back(unit);
    };
    served.Run([&] {
        ASSERT_EQ(client.Open(Connect("2")), 0);
        EXPECT_EQ(client.Reply().Type(), 0);
        EXPECT_EQ(Bytes(client.Reply()['1']), "3");
        query("2");
        query("1");
        query("3");
        query("1");
        query("4");
        client.Session().Disconnect();
    });
    EXPECT_EQ(got, (std::vector<std::string>{"second|", "a||b|", "", "a||b|", "F:45"}));
    EXPECT_EQ(served.status, JexSra::WORKUNITNOTEXIST);
}

TEST_F(JexSraServerTest, ReviewEnds) {
    const struct {
        const char* name;
        int type;  // what the client sends
        int status;
        int reply;  // what the client then gets
    } cases[] = {
        {"end message", kSraEnd, JexSra::OK, 0xFF},
        {"success reply", kSraSuccess, JexSra::PROTOCOLERR, kSraFailure},
        {"query for unit 0", kSraQuery, JexSra::WORKUNITNOTEXIST, kSraFailure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.back_end.units = {"only"};
        RawClient client;
        RawClient::Msg reply;
        served.Run([&] {
            ASSERT_EQ(client.Open(Connect("2")), 0);
            JexNetMsg m(c.type);
            if (c.type == kSraQuery) JexSraSetText(m[kSraItemWorkUnit], JexString("0"));
            client.Send(m);
            reply = client.NextAndLeave();
        });
        EXPECT_EQ(served.status, c.status);
        EXPECT_EQ(reply.Type(), c.reply);
    }
}

TEST_F(JexSraServerTest, FetchList) {
    const struct {
        const char* name;
        bool with_back_end;
        int back_end_status;
        std::vector<std::string> messages;
    } cases[] = {
        {"the back-end's lines", true, 0, {"D:first", "D:", "D:third", "Z"}},
        {"back-end fails", true, JexSra::NOOPENSRQ, {"F:25"}},
        {"no back-end", false, 0, {"F:19"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.back_end.status = c.back_end_status;
        RawClient client;
        std::vector<std::string> got;
        served.Run(
            [&] {
                JexNetMsg connect = Connect("3");
                JexSraSetText(connect[kSraItemBefore], JexString("5 March 2001"));
                ASSERT_EQ(client.Open(connect), 0);
                EXPECT_EQ(client.Reply().Type(), kSraAccept);
                for (;;) {
                    RawClient::Msg m = client.Next();
                    if (m.Type() == kSraData) {
                        got.push_back("D:" + Bytes(m[kSraItemLine]));
                        continue;
                    }
                    if (m.Type() == kSraEnd) got.push_back("Z");
                    if (m.Type() == kSraFailure)
                        got.push_back("F:" + std::to_string(Unload(m.m).code));
                    break;
                }
                client.Session().Disconnect();
            },
            c.with_back_end);
        EXPECT_EQ(got, c.messages);
        EXPECT_EQ(served.status, c.with_back_end ? c.back_end_status : JexSra::LISTNOTAVAIL);
        if (c.with_back_end) {
            EXPECT_EQ(served.back_end.work,
                      served.Header("OPENCALLS/before=5-MAR-2001/created", "The subject"));
        }
    }
}

// The augment, review and list-fetch clients against the server.
TEST_F(JexSraServerTest, AugmentClient) {
    const struct {
        const char* name;
        int back_end_status;
        int result;
    } cases[] = {
        {"back-end takes it", 0, JexSra::OK},
        {"back-end fails", JexSra::NOPRODUCTS, JexSra::PROBAUGFAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.back_end.status = c.back_end_status;
        int rc = -1;
        served.Run([&] {
            JexSession session;
            JexSraAugmentSrq augment(&session, "sr-9", "More", "line one\nline two");
            rc = augment.Augment();
        });
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(served.status, c.back_end_status);
        EXPECT_EQ(served.back_end.work, served.Header("SRQ$SR-9", "More", ClientContact()) +
                                            "\x05line one\n\x05line two\n");
    }
}

TEST_F(JexSraServerTest, ReviewClient) {
    Served served;
    served.back_end.units = {"a\n\nb", "second"};
    int count = -1;
    std::vector<std::string> texts;
    served.Run([&] {
        JexSession session;
        JexSraReviewSrq review(&session, "SR-9");
        EXPECT_EQ(review.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), 0);
        for (int unit : {2, 1}) {
            JexString text;
            EXPECT_EQ(review.Review(unit, text), 0) << unit;
            texts.push_back(text.Text());
        }
    });
    EXPECT_EQ(count, 2);
    EXPECT_EQ(texts, (std::vector<std::string>{"second\n", "a\n\nb\n"}));
    // The client ends the connection by disconnecting once it has every unit.
    EXPECT_EQ(served.status, JexSra::PROTOCOLERR);
}

TEST_F(JexSraServerTest, FetchClient) {
    Served served;
    int rc = -1;
    JexString list;
    served.Run([&] {
        JexSession session;
        JexSraFetchList fetch(&session, 2);
        fetch.SetAttr(JexSra::SRQ_BEFORE, "5 March 2001");
        rc = fetch.Fetch(list);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(list.Text(), "first\n\nthird\n");
    EXPECT_EQ(served.status, JexSra::OK);
    EXPECT_EQ(served.back_end.work,
              served.Header("OPENCALLS/before=5-MAR-2001/created", "", ClientContact()));
}

// The serving server over an in-memory session.
struct InMemory {
    tavro::testing::SraMemoryLink link;
    ServingServer server;
    TestBackEnd back_end;
    int status = -1;

    void Run(const JexNetMsg& connect, const std::vector<std::string>& messages) {
        link.chunks = {Bytes(connect.Encode()), "x|TARNIX"};
        link.chunks.insert(link.chunks.end(), messages.begin(), messages.end());
        server.SetBackEnd(&back_end);
        testing::internal::CaptureStderr();
        status = server.Serve(link);
        testing::internal::GetCapturedStderr();
    }
};

// The client's access id goes into the work file's name only as a short run
// of harmless characters.
TEST_F(JexSraServerTest, WorkFileNames) {
    const struct {
        std::string acid;
        std::string suffix;
    } cases[] = {
        {"cli", "cli"},
        {"../../x y/z", ".._.._x_y_z"},
        {"c*li", "c_li"},
        {std::string(200, 'a'), std::string(JexSraServer::kMaxAcidInName, 'a')},
        {"A-b_9.\x01\xff", "A-b_9.__"},
    };
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "jex_sra_%8.8x", static_cast<unsigned>(::getpid()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.acid);
        InMemory run;
        run.link.acid = c.acid;
        run.Run(Connect("0"), {"Z"});
        EXPECT_EQ(run.status, JexSra::OK);
        const std::string& name = run.back_end.work_name;
        ASSERT_EQ(name.size(), 8 + 8 + 10 + 1 + c.suffix.size()) << name;
        EXPECT_EQ(name.substr(0, 16), prefix);
        EXPECT_EQ(name.find_first_not_of("0123456789", 16), 26u) << name;
        EXPECT_EQ(name.substr(27), c.suffix);
        EXPECT_EQ(run.link.sent.back()[1], kSraSuccess);
        EXPECT_TRUE(Install::Get().WorkFiles().empty());
    }
}

// A file of the same name is never reused or truncated.
TEST_F(JexSraServerTest, WorkFilesAreCreatedExclusively) {
    std::vector<std::string> taken;
    const long long now = static_cast<long long>(std::time(nullptr));
    for (long long t = now; t < now + 3; ++t) {
        char name[64];
        std::snprintf(name, sizeof name, "jex_sra_%8.8x%10.10lld.cli",
                      static_cast<unsigned>(::getpid()), t);
        taken.push_back(name);
        WriteFile(name, "precious");
    }
    InMemory run;
    run.Run(Connect("0"), {"dline", "Z"});
    EXPECT_EQ(run.status, JexSra::OK);
    EXPECT_EQ(run.back_end.work_name.substr(run.back_end.work_name.size() - 2), "_1");
    for (const auto& name : taken) {
        EXPECT_EQ(ReadFile(name), "precious");
        std::filesystem::remove(name);
    }
}

// Where the session fails, the connection ends and the process goes on.
TEST_F(JexSraServerTest, SessionFailuresEndOnlyTheConnection) {
    const struct {
        const char* name;
        int session_code;
        bool connection;
        int status;
        const char* context;
    } cases[] = {
        {"settings refused", JexSession::BADATTRVALUE, true, JexSra::SESSIONERR,
         "JexSraServer::Server() ROUTE_MAP refused"},
        {"nothing to listen on", 0, false, JexSra::LISTENERR,
         "JexSraServer::Server() Listen failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemory run;
        run.link.code = c.session_code;
        if (c.connection) {
            run.Run(Connect("0"), {"Z"});
        } else {
            run.server.SetBackEnd(&run.back_end);
            run.status = run.server.Serve(run.link);
        }
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.server.Code(), c.status);
        EXPECT_EQ(Bytes(run.server.Args()[0]), c.context);
        EXPECT_TRUE(run.link.sent.empty());
    }
}

TEST_F(JexSraServerTest, WorkFileThatCannotBeCreated) {
    const std::filesystem::path gone = Install::Get().Path() / "gone";
    std::filesystem::create_directories(gone);
    ASSERT_EQ(::chdir(gone.c_str()), 0);
    std::filesystem::remove(gone);
    InMemory run;
    run.Run(Connect("0"), {"dline", "Z"});
    ASSERT_EQ(::chdir(Install::Get().Path().c_str()), 0);
    EXPECT_EQ(run.status, JexSra::FILEOPENERR);
    EXPECT_EQ(Bytes(run.server.Args()[0]), "JexSra::Server()File open Error");
    ASSERT_EQ(run.link.sent.size(), 2u);
    EXPECT_EQ(run.link.sent[0][0], 'A');
    EXPECT_EQ(run.link.sent[1].substr(0, 2), "PF");
    EXPECT_EQ(run.link.state, 3);
    EXPECT_EQ(run.back_end.calls, 0);
}

// A client that hangs up before the end of its request gets no answer, and
// the server's history record says the request failed and why.
TEST_F(JexSraServerTest, RequestAbandonedByTheClientIsRecordedAsFailed) {
    const std::filesystem::path log = Install::Get().Path() / "logs" / "jex_history.log";
    const struct {
        const char* kind;
        int status;
        const char* name;
    } cases[] = {
        {"0", JexSra::PROBSUBFAIL, "PROBSUBFAIL"},
        {"1", JexSra::PROBAUGFAIL, "PROBAUGFAIL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        std::filesystem::remove(log);
        {
            InMemory run;
            run.Run(Connect(c.kind), {"dline"});
            EXPECT_EQ(run.status, c.status);
            EXPECT_EQ(run.server.Code(), c.status);
            ASSERT_EQ(run.link.sent.size(), 1u);  // the accept, no reply
            EXPECT_EQ(run.link.sent[0][0], 'A');
            EXPECT_EQ(run.back_end.calls, 0);
            const std::string text = run.server.Describe(1).Text();
            EXPECT_NE(text.find("The client ended before the end of the request"),
                      std::string::npos)
                << text;
        }
        const std::string record = ReadFile(log);
        const size_t status = record.find("Exit-Status");
        ASSERT_NE(status, std::string::npos) << record;
        const std::string line = record.substr(status, record.find('\n', status) - status);
        EXPECT_EQ(line.find("SUCCESSFUL"), std::string::npos) << line;
        EXPECT_NE(line.find(c.name), std::string::npos) << line;
    }
}

}  // namespace
