// Tests of NorbaNew: the form decoder, the answers file and its runs, and the page's HTTP checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
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
    res = Post("TXT_UI_USER_NAME=&event=click&control=BT_UI_SUBMIT", Cookie());
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

// The listener is on 127.0.0.1 only: other addresses of the host refuse.
TEST_F(PageServer, NothingListensOnOtherAddresses) {
    std::vector<in_addr> others;
    in_addr loopback2{};
    loopback2.s_addr = htonl(0x7F000002);
    others.push_back(loopback2);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
            in_addr address = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr;
            if (ntohl(address.s_addr) >> 24 != 127) others.push_back(address);
        }
        freeifaddrs(list);
    }
    for (in_addr address : others) {
        // A bounded, non-blocking connect: refused or unanswered both pass.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(server.Port()));
        to.sin_addr = address;
        bool connected = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        if (!connected && errno == EINPROGRESS) {
            pollfd wait{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            connected = poll(&wait, 1, 2000) == 1 &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        EXPECT_FALSE(connected) << inet_ntoa(address);
        close(fd);
    }
}

}  // namespace
}  // namespace wizard
