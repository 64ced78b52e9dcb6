// Tests of NorbaNew: the form decoder, the answers file and its runs, and the page's HTTP checks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <string>

#include "testing/support/ChildProcesses.h"
#include "testing/support/Wait.h"
#include "wizard/AnswersFile.h"
#include "wizard/FormDecoder.h"
#include "wizard/WizardServer.h"
#include "wizard/WizardTestHost.h"

namespace wizard {
namespace {

[[maybe_unused]] const bool kFreshStatePerTest = wizard::testing::FreshStatePerTest();

using namespace wizard::testing;
using tavro::testing::ChildGuard;
using tavro::testing::RunChild;

// `text` with its first `from` replaced by `to`.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Golden text with the line that starts with `label` taken from `actual`,
// for runs under the real clock.
std::string WithDateOf(const std::string& golden, const std::string& actual,
                       const std::string& label) {
    auto line = [&](const std::string& text) {
        size_t at = text.find(label);
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\r', at) - at);
    };
    return Replace(golden, line(golden), line(actual));
}

const std::map<std::string, std::string> kCompleteValues = {
    {"SOFTWARE\\ZM\\vantrix\\norba\\Name", "Ann Smith"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\Company", "Acme Ltd"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\Phone", "555 0100"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\Email", "ann@acme.example.com"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\MailServer", "mail.acme.example.com"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\System Serial Number", "SN-42"},
    {"SOFTWARE\\ZM\\vantrix\\norba\\Notification", "Tazel"},
    {"SOFTWARE\\ZM\\vantrix\\TESK\\Email", "ops@acme.example.com"},
    {"SOFTWARE\\ZM\\vantrix\\PLOV\\Email", "plov@acme.example.com"},
    {"SOFTWARE\\Pelmar\\vantrix\\VRN\\CollectAtReboot", "YES"},
    {"SOFTWARE\\Pelmar\\vantrix\\VRN\\StartService", "YES"},
};

// --- Form decoder ---

TEST(FormDecoder, DecodesPairsWithinItsLimits) {
    auto decoded = DecodeForm("a=1&b=x+y%2C%e2%82%ac&&c=&d=%3D", 8, 16);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (FormFields{{"a", "1"}, {"b", "x y,\xE2\x82\xAC"}, {"c", ""}, {"d", "="}}));
    EXPECT_TRUE(DecodeForm("", 8, 16)->empty());
    const char* bad[] = {"novalue", "a=%", "a=%4", "a=%zz", "a=1&b"};
    for (const char* body : bad) EXPECT_FALSE(DecodeForm(body, 8, 16)) << body;
    EXPECT_FALSE(DecodeForm("a=1&b=2&c=3", 2, 16)) << "too many fields";
    EXPECT_FALSE(DecodeForm("a=12345", 8, 4)) << "value too long";
    EXPECT_TRUE(DecodeForm("a=1234", 8, 4));
    EXPECT_FALSE(DecodeForm("abcde=1", 8, 4)) << "name too long";
}

// --- Answers file ---

TEST(AnswersFile, MalformedFilesNameTheLine) {
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"# comment\nTXT_UI_USER_NAME\n", "line 2: no '=' in the line"},
        {"NO_SUCH_CONTROL=1\n", "line 1: unknown control NO_SUCH_CONTROL"},
        {"BT_UI_SUBMIT=1\n", "line 1: unknown control BT_UI_SUBMIT"},
        {"Notification=2\n", "line 1: no option 2 in Notification"},
        {"OPTION_IP=01\n", "line 1: no option 01 in OPTION_IP"},
        {"CHECK_VRN_SSI=yes\n", "line 1: CHECK_VRN_SSI takes 1 or 0"},
        {"\r\nTXT_ADDRESS=" + std::string(kMaxFieldText + 1, 'a') + "\r\n",
         "line 2: the value is too long"},
        {"TXT_ADDRESS=M\xFCller\n", "line 1: not UTF-8"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseAnswers(c.text, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    auto answers =
        ParseAnswers("  # note\r\n\r\nTXT_TO= a=b \r\nOPTION_IP=1\nCHECK_VRN_SSI=0", error);
    ASSERT_TRUE(answers) << error;
    ASSERT_EQ(answers->size(), 3u);
    EXPECT_EQ((*answers)[0].name, "TXT_TO");
    EXPECT_EQ((*answers)[0].value, " a=b ");
    EXPECT_EQ((*answers)[0].line, 3);
}

int RunText(const std::string& text, std::string& out, bool serviceObligation = false) {
    std::string error;
    auto answers = ParseAnswers(text, error);
    EXPECT_TRUE(answers) << error;
    ShownWizard wizard;  // start-up runs again inside the run
    std::ostringstream printed;
    std::ostringstream errors;
    int status = RunAnswers(wizard.control, *answers, serviceObligation, printed, errors);
    out = printed.str();
    return status;
}

TEST(AnswersFile, CompleteFileWritesWhatThePagesWould) {
    WizardTree tree;
    InstallEverything(tree);
    std::string out;
    EXPECT_EQ(RunText(Golden("complete.answers"), out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(tree.Read("specific/tavro/config/NOTIFYCA.TXT"), Golden("NOTIFYCA.filled.TXT"));
    EXPECT_EQ(tree.Read("specific/tavro/config/PLOVNotify.TXT"), Golden("PLOVNotify.filled.TXT"));
    EXPECT_EQ(tree.Read("specific/tavro/config/PROFILE.TXT"), Golden("PROFILE.filled.TXT"));
    EXPECT_EQ(tree.Read("common/vrn/vrn_config.INI"), Golden("vrn_config.filled.INI"));
    EXPECT_EQ(WrittenValues(), kCompleteValues);
}

TEST(AnswersFile, FailedChecksEndTheRunWithNothingMoreWritten) {
    struct Case {
        const char* name;
        std::string text;
        const char* printed;
        bool valuesWritten;
    } cases[] = {
        {"blank mandatory field",
         Replace(Golden("complete.answers"), "USER_NAME=Ann Smith", "USER_NAME=   "),
         "Mandatory Field: Please enter the User Name\n", false},
        {"comma in a field", Replace(Golden("complete.answers"), "Acme Ltd", "Acme, Ltd"),
         "Information: Please do not include comma in company name\n", false},
        {"bad address on page 2",
         Replace(Golden("complete.answers"), "TXT_TO=ops@acme.example.com", "TXT_TO=nobody"),
         "Information: Please provide a valid Email Address\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallEverything(tree);
        std::string out;
        EXPECT_EQ(RunText(c.text, out), 2);
        EXPECT_EQ(out, c.printed);
        EXPECT_EQ(!WrittenValues().empty(), c.valuesWritten);
        EXPECT_FALSE(std::filesystem::exists(tree.Path("specific/tavro/config/NOTIFYCA.TXT")));
    }
}

TEST(AnswersFile, ServiceObligationStartsTheScriptOnce) {
    WizardTree tree;
    tree.Write("common/bin/TAVRO.BAT",
               "#!/bin/sh\nprintf '%s|' \"$@\" >> \"$(dirname \"$0\")/calls\"\n");
    std::filesystem::permissions(tree.Path("common/bin/TAVRO.BAT"),
                                 std::filesystem::perms::owner_all);
    std::string out;
    EXPECT_EQ(RunText("TXT_UI_USER_NAME=x\n", out, true), 0) << out;
    // The script runs detached: once its call is written in full, a
    // moment more shows no second one.
    const std::string once = "SERVOB|INSTALL|";
    EXPECT_TRUE(tavro::testing::WaitFor(
        [&] { return tree.Read("common/bin/calls").size() >= once.size(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(tree.Read("common/bin/calls"), once);
}

// The program itself over a tree, under the real clock and host name.
TEST(NorbaNewProgram, AnswersRunAndMalformedFile) {
    ChildGuard guard;
    WizardTree tree;
    InstallEverything(tree);
    TempDir dir;
    std::string answers = (dir.Path() / "answers").string();
    WriteFile(answers, Golden("complete.answers"));
    auto result = RunChild({NORBANEW, "--answers", answers});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    std::string profile = tree.Read("specific/tavro/config/PROFILE.TXT");
    EXPECT_EQ(profile, WithDateOf(Golden("PROFILE.filled.TXT"), profile, "Last Edit Date:"));
    std::string ini = tree.Read("common/vrn/vrn_config.INI");
    EXPECT_EQ(ini, WithDateOf(Golden("vrn_config.filled.INI"), ini, "InstallationTime="));
    EXPECT_EQ(tree.Read("specific/tavro/config/NOTIFYCA.TXT"), Golden("NOTIFYCA.filled.TXT"));
    EXPECT_EQ(WrittenValues(), kCompleteValues);

    WriteFile(answers, "TXT_UI_USER_NAME=a\nWHAT=1\n");
    result = RunChild({NORBANEW, "--answers", answers});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.output, "NorbaNew: " + answers + ": line 2: unknown control WHAT\n");
    result = RunChild({NORBANEW, "--answers", (dir.Path() / "missing").string()});
    EXPECT_EQ(result.exitStatus, 2);
    result = RunChild({NORBANEW, "--bogus"});
    EXPECT_EQ(result.exitStatus, 2);
}

// --- The page over HTTP ---

class PageServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start(0));
        client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
        client->set_connection_timeout(5, 0);
        client->set_read_timeout(5, 0);
    }
    std::string Self() const { return "127.0.0.1:" + std::to_string(server.Port()); }
    httplib::Headers Cookie() const { return {{"Cookie", "norbanew_token=" + server.Token()}}; }
    httplib::Result Post(const std::string& body, httplib::Headers headers) {
        return client->Post("/event", headers, body, "application/x-www-form-urlencoded");
    }

    WizardTree tree;
    ShownWizard wizard;
    WizardServer server{wizard.control};
    std::unique_ptr<httplib::Client> client;
};

TEST_F(PageServer, TokenHostAndOriginAreChecked) {
    httplib::Client c("127.0.0.1", server.Port());
    auto status = [&](const std::string& path, httplib::Headers headers) {
        auto res = c.Get(path.c_str(), headers);
        return res ? res->status : -1;
    };
    EXPECT_EQ(status("/", {}), 403);
    EXPECT_EQ(status("/?token=0123", {}), 403);
    EXPECT_EQ(status("/?token=" + server.Token(), {}), 200);
    EXPECT_EQ(status("/app.js", {}), 403);
    EXPECT_EQ(status("/app.js", Cookie()), 200);
    EXPECT_EQ(status("/app.js", {{"Cookie", "norbanew_token=wrong"}}), 403);
    EXPECT_EQ(status("/?token=" + server.Token(),
                     {{"Host", "localhost:" + std::to_string(server.Port())}}),
              403);
    EXPECT_EQ(status("/?token=" + server.Token(), {{"Host", "evil.example.com"}}), 403);

    auto page = c.Get(("/?token=" + server.Token()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("Content-Security-Policy"), "default-src 'self'");
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
    EXPECT_NE(page->get_header_value("Set-Cookie").find("norbanew_token=" + server.Token()),
              std::string::npos);
    EXPECT_NE(page->body.find("<legend>User Information</legend>"), std::string::npos);
    EXPECT_EQ(page->body.find("http"), std::string::npos) << "no external resource";

    auto post = [&](httplib::Headers headers) {
        auto res = client->Post("/event", headers, "event=click&control=BT_UI_SUBMIT",
                                "application/x-www-form-urlencoded");
        return res ? res->status : -1;
    };
    httplib::Headers foreign = Cookie();
    foreign.emplace("Origin", "http://evil.example.com");
    EXPECT_EQ(post(foreign), 403);
    EXPECT_EQ(post({}), 403);
    httplib::Headers own = Cookie();
    own.emplace("Origin", "http://" + Self());
    EXPECT_EQ(post(own), 200);
    EXPECT_EQ(post(Cookie()), 200);
    auto get = c.Get("/event", Cookie());
    ASSERT_TRUE(get);
    EXPECT_NE(get->status, 200) << "events are posts";
}

TEST_F(PageServer, BadBodiesAreRefusedAndChangeNothing) {
    wizard.control.SetText("TXT_UI_USER_NAME", "kept");
    struct Case {
        std::string body;
        int status;
    } cases[] = {
        {"TXT_UI_USER_NAME=x&" + std::string(WizardServer::kMaxBody, 'a'), 413},
        {"TXT_UI_USER_NAME=x&event=explode", 400},
        {"TXT_UI_USER_NAME=x&event=click&control=NOPE", 400},
        {"TXT_UI_USER_NAME=x&event=click&control=BT_UI_SUBMIT&NOPE=1", 400},
        {"TXT_UI_USER_NAME=x&event=option&control=Notification&index=2", 400},
        {"TXT_UI_USER_NAME=x&event=check&value=yes", 400},
        {"TXT_UI_USER_NAME=%ff&event=leave&control=TXT_UI_USER_NAME", 400},
        {"TXT_UI_USER_NAME=%zz&event=leave&control=TXT_UI_USER_NAME", 400},
        {"TXT_UI_USER_NAME=" + std::string(kMaxFieldText + 1, 'a') + "&event=close", 400},
    };
    for (const Case& c : cases) {
        auto res = Post(c.body, Cookie());
        ASSERT_TRUE(res) << c.body.substr(0, 60);
        EXPECT_EQ(res->status, c.status) << c.body.substr(0, 60);
    }
    EXPECT_EQ(wizard.control.Text("TXT_UI_USER_NAME"), "kept");
    EXPECT_EQ(wizard.control.Page(), 1);
}

TEST_F(PageServer, EventsRunTheHandlers) {
    auto res =
        Post("TXT_UI_COMPANY_NAME=Acme%2C+Inc&event=leave&control=TXT_UI_COMPANY_NAME", Cookie());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body,
              "{\"page\":1,\"focus\":\"TXT_UI_COMPANY_NAME\",\"messages\":[{\"title\":"
              "\"Information\",\"text\":\"Please do not include comma in company name\"}]}");
    res = Post("TXT_UI_USER_NAME=&TXT_UI_COMPANY_NAME=Acme&event=click&control=BT_UI_SUBMIT",
               Cookie());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body,
              "{\"page\":1,\"focus\":\"TXT_UI_USER_NAME\",\"messages\":[{\"title\":"
              "\"Mandatory Field\",\"text\":\"Please enter the User Name\"}]}");
    FillPageOne(wizard.control);
    res = Post("TXT_UI_COMPANY_NAME=Acme&event=click&control=BT_UI_SUBMIT", Cookie());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"page\":9,\"focus\":\"\",\"messages\":[]}");
    auto page = client->Get("/", Cookie());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("Configuration Wizard Complete"), std::string::npos);
}

TEST_F(PageServer, EndsSoonAfterTheCloseOfTheLastPage) {
    auto waited =
        std::async(std::launch::async, [&] { return server.Wait(std::chrono::seconds(60)); });
    ASSERT_TRUE(Post("event=close", Cookie()));
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "a close before page 9 is ignored";
    FillPageOne(wizard.control);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Post("event=click&control=BT_UI_SUBMIT", Cookie()));
    ASSERT_TRUE(Post("event=close", Cookie()));
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(waited.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(PageServer, EndsAfterTheIdleTimeWithoutPageNine) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Wait(std::chrono::milliseconds(300)), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The listener is on 127.0.0.1 only, as the kernel's tables show its socket:
// no listening socket of its port on another address, nor in the IPv6 table.
TEST_F(PageServer, NothingListensOnOtherAddresses) {
    auto listeners = [&](const char* path) {
        std::vector<std::string> locals;
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            size_t colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoi(local.substr(colon + 1), nullptr, 16) == server.Port())
                locals.push_back(local.substr(0, colon));
        }
        return locals;
    };
    EXPECT_EQ(listeners("/proc/net/tcp"), std::vector<std::string>{"0100007F"});
    EXPECT_EQ(listeners("/proc/net/tcp6"), std::vector<std::string>{});
}

// A press whose page holds a field that fails its leave check is refused
// with the check's message and focus, and stores nothing, however the
// event comes; the press with the field mended goes on.
TEST(PageChecks, PressAfterAFailedFieldCheckIsRefusedAndStoresNothing) {
    struct Case {
        const char* name;
        int page;
        std::string text;
        std::string mended;
        const char* button;
        const char* answer;
    } cases[] = {
        {"comma in the company name", 1, "TXT_UI_COMPANY_NAME=Acme%2C+Ltd",
         "TXT_UI_COMPANY_NAME=Acme+Ltd", "BT_UI_SUBMIT",
         R"({"page":1,"focus":"TXT_UI_COMPANY_NAME","messages":[{"title":"Information",)"
         R"("text":"Please do not include comma in company name"}]})"},
        {"e-mail address without its form", 1, "TXT_UI_EMAIL=ann", "TXT_UI_EMAIL=ann%40acme.com",
         "BT_UI_SUBMIT",
         R"({"page":1,"focus":"TXT_UI_EMAIL","messages":[{"title":"Information",)"
         R"("text":"Please provide a valid Email Address"}]})"},
        {"comma in the customer", 4, "TXT_CUSTOMER=Acme%2C+Inc", "TXT_CUSTOMER=Acme+Inc",
         "BT_PROFILE_NEXT",
         R"({"page":4,"focus":"TXT_CUSTOMER","messages":[{"title":"Information",)"
         R"("text":"Please do not include comma"}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallPlov();
        ShownWizard wizard;
        FillPageOne(wizard.control);
        if (c.page == 4) {
            wizard.control.Click("BT_UI_SUBMIT");
            wizard.control.Click("BT_PLOV_NEXT");
        }
        ASSERT_EQ(wizard.control.Page(), c.page);
        const auto valuesBefore = WrittenValues();
        WizardServer server{wizard.control};
        ASSERT_TRUE(server.Start(0));
        httplib::Client client("127.0.0.1", server.Port());
        client.set_read_timeout(5, 0);
        const httplib::Headers cookie = {{"Cookie", "norbanew_token=" + server.Token()}};
        auto press = [&](const std::string& text) {
            return client.Post("/event", cookie,
                               text + "&event=click&control=" + std::string(c.button),
                               "application/x-www-form-urlencoded");
        };
        auto res = press(c.text);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 422);
        EXPECT_EQ(res->body, c.answer);
        EXPECT_EQ(wizard.control.Page(), c.page);
        EXPECT_EQ(WrittenValues(), valuesBefore);
        EXPECT_FALSE(std::filesystem::exists(tree.Path("specific/tavro/config/PROFILE.TXT")));
        res = press(c.mended);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_NE(wizard.control.Page(), c.page);
    }
}

TEST_F(PageServer, StartUpMessagesShowOnTheFirstLoad) {
    server.ShowOnNextLoad(
        {{"TARGETDIR not found", kDefaultTitle}, {"HOSTNAME not found", kDefaultTitle}});
    auto page = client->Get("/", Cookie());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<div id=\"startup\" hidden><p data-title=\"NorbaNew\">TARGETDIR "
                              "not found</p><p data-title=\"NorbaNew\">HOSTNAME not found</p>"
                              "</div>"),
              std::string::npos)
        << page->body;
    page = client->Get("/", Cookie());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body.find("startup"), std::string::npos) << "shown once";
}

// --- The listener's bounds ---

constexpr uid_t kNobody = 65534;

// A connection to the page's port; -1 when it cannot be made.
int ConnectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closed `fd` within `timeout`.
bool ClosedWithin(int fd, std::chrono::milliseconds timeout) {
    pollfd wait{fd, POLLIN, 0};
    char byte;
    return poll(&wait, 1, static_cast<int>(timeout.count())) == 1 &&
           recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A process of user `uid` that holds `idle` connections to `port` that send
// nothing and `trickling` ones that send a byte of a request head every
// 200 ms, until the object's end kills it.
class ConnectionHolder {
public:
    ConnectionHolder(int port, uid_t uid, int idle, int trickling) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) Hold(ready[1], port, uid, idle, trickling);
        close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        char word = 0;
        ready_ = pid_ > 0 && poll(&wait, 1, tavro::testing::kWaitMs) == 1 &&
                 read(ready[0], &word, 1) == 1 && word == 'R';
        close(ready[0]);
    }
    ~ConnectionHolder() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        ChildGuard::WaitChild(pid_, tavro::testing::kWaitMs);
    }
    bool Ready() const { return ready_; }

private:
    // The child: only calls that are safe after a fork.
    [[noreturn]] static void Hold(int ready, int port, uid_t uid, int idle, int trickling) {
        if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
        int fds[256];
        int open = 0;
        for (; open < idle + trickling && open < 256; ++open) {
            fds[open] = ConnectTo(port);
            if (fds[open] < 0) _exit(125);
        }
        [[maybe_unused]] ssize_t n = write(ready, "R", 1);
        static const char kHead[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        for (size_t at = 0;; ++at) {
            poll(nullptr, 0, 200);
            for (int i = idle; i < open; ++i)
                send(fds[i], &kHead[at % (sizeof kHead - 1)], 1, MSG_NOSIGNAL);
        }
    }

    pid_t pid_ = -1;
    bool ready_ = false;
};

// Idle and trickling connections of another local user, or idle ones of the
// person's own, leave the person's request answered at once, under the
// bounds NorbaNew runs with.
TEST(PageListener, IdleOrTricklingConnectionsLeaveThePersonsRequestAnswered) {
    struct Case {
        const char* name;
        bool otherUser;
        int idle;
        int trickling;
    } cases[] = {
        {"another user's idle and trickling connections", true, 60, 16},
        {"the same user's idle connections", false, 60, 0},
    };
    ChildGuard guard;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherUser && geteuid() != 0) {
            std::cout << "skipped: " << c.name << " needs root to be another user\n";
            continue;
        }
        ShownWizard wizard;
        WizardServer server{wizard.control};
        ASSERT_TRUE(server.Start(0));
        ConnectionHolder holder(server.Port(), c.otherUser ? kNobody : geteuid(), c.idle,
                                c.trickling);
        ASSERT_TRUE(holder.Ready());
        auto start = std::chrono::steady_clock::now();
        httplib::Client person("127.0.0.1", server.Port());
        person.set_connection_timeout(5, 0);
        person.set_read_timeout(5, 0);
        auto res = person.Get(("/?token=" + server.Token()).c_str());
        auto took = std::chrono::steady_clock::now() - start;
        ::testing::Test::RecordProperty(
            c.otherUser ? "another_user_ms" : "same_user_ms",
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_LT(took, std::chrono::seconds(3));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
    }
}

// The bound NorbaNew runs with: a request that has not arrived whole within
// 2 s closes its connection, whether nothing comes or its bytes trickle.
TEST(PageListener, RequestHasATotalBoundHoweverItsBytesTrickle) {
    ShownWizard wizard;
    WizardServer server{wizard.control};
    ASSERT_TRUE(server.Start(0));
    auto start = std::chrono::steady_clock::now();
    int idle = ConnectTo(server.Port());
    int trickling = ConnectTo(server.Port());
    ASSERT_GE(idle, 0);
    ASSERT_GE(trickling, 0);
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: aaaaaaaaaaaaaaaa";
    bool closed = false;
    for (size_t at = 0; at < head.size() && !closed; ++at) {
        send(trickling, &head[at], 1, MSG_NOSIGNAL);
        closed = ClosedWithin(trickling, std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(closed);
    auto trickled = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(ClosedWithin(idle, std::chrono::seconds(2)));
    auto waited = std::chrono::steady_clock::now() - start;
    for (auto took : {trickled, waited}) {
        EXPECT_GT(took, std::chrono::milliseconds(1800));
        EXPECT_LT(took, std::chrono::milliseconds(3000));
    }
    close(idle);
    close(trickling);
}

// Beyond the cap a connection is closed at once; within it, a user's
// further unfinished connection closes that user's oldest.
TEST(PageListener, CapsAndPlacesPerUser) {
    PageBounds bounds;
    bounds.request = std::chrono::seconds(30);
    bounds.connections = 3;
    bounds.unfinishedPerUser = 2;
    ShownWizard wizard;
    WizardServer server{wizard.control, bounds};
    ASSERT_TRUE(server.Start(0));
    int first = ConnectTo(server.Port());
    int second = ConnectTo(server.Port());
    EXPECT_FALSE(ClosedWithin(first, std::chrono::milliseconds(100)));
    int third = ConnectTo(server.Port());
    EXPECT_TRUE(ClosedWithin(first, std::chrono::seconds(2))) << "the oldest makes room";
    EXPECT_FALSE(ClosedWithin(second, std::chrono::milliseconds(100)));
    EXPECT_FALSE(ClosedWithin(third, std::chrono::milliseconds(100)));
    for (int fd : {first, second, third}) close(fd);

    bounds.unfinishedPerUser = 8;
    WizardServer capped{wizard.control, bounds};
    ASSERT_TRUE(capped.Start(0));
    int held[3];
    for (int& fd : held) fd = ConnectTo(capped.Port());
    EXPECT_FALSE(ClosedWithin(held[2], std::chrono::milliseconds(100)));
    int beyond = ConnectTo(capped.Port());
    EXPECT_TRUE(ClosedWithin(beyond, std::chrono::seconds(2))) << "beyond the cap";
    for (int fd : held) close(fd);
    close(beyond);
}

// A head that goes on and on closes its connection once it passes the
// request's size, long before its time is up.
TEST(PageListener, EndlessHeadClosesAtTheRequestSize) {
    PageBounds bounds;
    bounds.request = std::chrono::seconds(30);
    ShownWizard wizard;
    WizardServer server{wizard.control, bounds};
    ASSERT_TRUE(server.Start(0));
    int fd = ConnectTo(server.Port());
    ASSERT_GE(fd, 0);
    std::string lines = "GET / HTTP/1.1\r\n";
    while (lines.size() < 64 * 1024) lines += "X-More: header line of a head without end\r\n";
    auto start = std::chrono::steady_clock::now();
    // Four times the request's size, or until the server stops taking it.
    size_t sent = 0;
    while (sent < 4 * bounds.requestBytes &&
           std::chrono::steady_clock::now() < start + std::chrono::seconds(5)) {
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, 100) != 1) continue;
        ssize_t n = send(fd, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) sent += static_cast<size_t>(n);
    }
    // Whatever the server answered, then the connection's end.
    bool ended = false;
    char answer[4096];
    auto deadline = start + std::chrono::seconds(10);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{fd, POLLIN, 0};
        ended = poll(&wait, 1, 100) == 1 && recv(fd, answer, sizeof answer, MSG_DONTWAIT) <= 0;
    }
    EXPECT_TRUE(ended);
    close(fd);
}

}  // namespace
}  // namespace wizard
