// Tests of the access check of remote requests: rule files, the check sequence, the call-handling
// check and its skip, several access ids and nodes, and the traces.
#include "jexlink/session/JexAccessCheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexSession.h"
#include "testing/support/FreshProcess.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SessionServer.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::WriteList;

struct Caller {
    const char* acids = "acme";
    const char* nodes = "north";
    const char* user = "tom";
    const char* application = "Jex_Sra";
    const char* option = nullptr;
};

struct Outcome {
    int result;
    const char* userData = "";
    const char* domain = "";
};

// Each test has an installation of its own and leaves no setting, key path
// or trace switch behind for the next one in the same process.
class JexAccessCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(install_.Path().empty());
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(tavro::testing::WriteInstallPath(install_.Path().string()));
        unsetenv("JEXAUTHREMOTE_TRACE");
    }
    void TearDown() override {
        EXPECT_TRUE(tavro::testing::DeleteSetting(JexConfig::kGlobalParameters,
                                                  "Server.AccessCheckSequence"));
        unsetenv("JEXAUTHREMOTE_TRACE");
        unsetenv("JEXCRYPTO_PATH");
    }

    void Rules(const std::string& bytes) const {
        tavro::testing::WriteFile(install_.Path() / "data/jex_remote_auth.dat", bytes);
    }
    void NoRules() const {
        std::error_code ignored;
        std::filesystem::remove(install_.Path() / "data/jex_remote_auth.dat", ignored);
    }
    static void Sequence(const std::vector<std::string>& names) {
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Server.AccessCheckSequence", names));
    }

    // Runs the check and compares its outcome; returns what it wrote to
    // standard error.
    static std::string Check(const Caller& c, const Outcome& expected) {
        ::testing::internal::CaptureStderr();
        JexAccessCheck check(c.acids, c.nodes, c.user, c.application, c.option);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(check.Result(), expected.result)
            << JexAccessCheck::ResultName(check.Result()) << "\n"
            << err;
        EXPECT_EQ(check.Permitted(), expected.result == JexAccessCheck::kAllowed ? 1 : 0);
        EXPECT_STREQ(check.UserData().Text(), expected.userData);
        EXPECT_STREQ(check.MatchingDomain().Text(), expected.domain);
        return err;
    }

    tavro::testing::TempDir install_{"jexaccess"};
};

constexpr int kAllowed = JexAccessCheck::kAllowed;
constexpr int kDisallowed = JexAccessCheck::kDisallowed;
constexpr int kNoMatch = JexAccessCheck::kNoMatch;

TEST_F(JexAccessCheckTest, RuleFileDecides) {
    struct Case {
        const char* name;
        const char* rules;
        Caller caller;
        Outcome expected;
    } cases[] = {
        {"allow", "allow acme north tom jex_sra * * * gold\n", {}, {kAllowed, "gold", "acme"}},
        {"first matching rule decides: disallow before allow",
         "disallow acme * * * * * * no\nallow * * * * * * * yes\n",
         {},
         {kDisallowed, "no", "acme"}},
        {"first matching rule decides: allow before disallow",
         "allow * * * * * * * yes\ndisallow acme * * * * * * no\n",
         {},
         {kAllowed, "yes", "acme"}},
        {"rules that do not match are passed over",
         "disallow other * * * * * * no\nallow acme * * * * * * yes\n",
         {},
         {kAllowed, "yes", "acme"}},
        {"keywords in any case", "ALLOW acme * * * * * * a\n", {}, {kAllowed, "a", "acme"}},
        {"keywords in mixed case", "DisAllow acme * * * * * * d\n", {}, {kDisallowed, "d", "acme"}},
        {"patterns and values compared in lower case",
         "allow ACME NoRth TOM JEX_SRA * * * \"Data Kept\"\n",
         {"AcMe", "NORTH", "Tom", "jex_sra"},
         {kAllowed, "Data Kept", "AcMe"}},
        {"wildcards", "allow ac* *th * jex_* * * * w\n", {}, {kAllowed, "w", "acme"}},
        {"wildcard that does not fit", "allow ac*x * * * * * * w\n", {}, {kNoMatch}},
        {"option pattern",
         "allow * * * * fast* * * opt\n",
         {"acme", "north", "tom", "Jex_Sra", "FASTER"},
         {kAllowed, "opt", "acme"}},
        {"a missing option pattern fits only no option",
         "allow * * * * \n",
         {"acme", "north", "tom", "Jex_Sra", "x"},
         {kNoMatch}},
        {"missing fields are empty: open dates, no user data",
         "allow * * * * *\n",
         {},
         {kAllowed, "", "acme"}},
        {"date window around now",
         "allow * * * * * \"1 jan 2000\" \"1 jan 2999\" in\n",
         {},
         {kAllowed, "in", "acme"}},
        {"until date in the past never matches",
         "allow * * * * * * \"1 jan 2000\" old\ndisallow * * * * * * * later\n",
         {},
         {kDisallowed, "later", "acme"}},
        {"from date in the future", "allow * * * * * \"1 jan 2999\" * soon\n", {}, {kNoMatch}},
        {"a date that does not parse never matches",
         "allow * * * * * \"no date\" * x\n",
         {},
         {kNoMatch}},
        {"no rule matches", "allow other * * * * * * x\n", {}, {kNoMatch}},
        {"an empty file", "", {}, {kNoMatch}},
        {"comments only", "# nobody\n", {}, {kNoMatch}},
        {"two access ids: the first disallowed, the second allowed",
         "disallow acme * * * * * * no\nallow Beta * * * * * * yes\n",
         {"acme,Beta"},
         {kAllowed, "yes", "Beta"}},
        {"two access ids: both disallowed gives the last answer",
         "disallow acme * * * * * * a\ndisallow beta * * * * * * b\n",
         {"acme,beta"},
         {kDisallowed, "b", "beta"}},
        {"two nodes: the second allowed",
         "allow * south * * * * * s\n",
         {"acme", "north,south"},
         {kAllowed, "s", "acme"}},
        {"no access id", "allow * * * * * * * x\n", {""}, {kNoMatch}},
        {"no node", "allow * * * * * * * x\n", {"acme", ""}, {kNoMatch}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rules(c.rules);
        const std::string err = Check(c.caller, c.expected);
        EXPECT_EQ(err, "");
    }
}

TEST_F(JexAccessCheckTest, UnknownKeywordIsReportedAndItsLineSkipped) {
    Rules("Permit acme * * * * * * p\nallow acme * * * * * * a\n");
    const std::string err = Check({}, {kAllowed, "a", "acme"});
    EXPECT_EQ(err,
              "\xc2\xabrac\xc2\xbb Keyword not known in remote authorizations file\n"
              "      Offending keyword is 'permit'\n"
              "      Skipping this entry\n");
}

TEST_F(JexAccessCheckTest, MissingFileMatchesNothing) {
    NoRules();
    Check({}, {kNoMatch});
    Sequence({"file", "chs"});
    Check({}, {kDisallowed});  // the next check of the sequence still runs
}

TEST_F(JexAccessCheckTest, SequenceNamesTheChecksInOrder) {
    struct Case {
        const char* name;
        std::optional<std::vector<std::string>> sequence;
        const char* rules;
        Caller caller;
        Outcome expected;
    } cases[] = {
        {"no setting: the file alone",
         std::nullopt,
         "allow * * * * * * * f\n",
         {},
         {kAllowed, "f", "acme"}},
        {"names in any case",
         std::vector<std::string>{"FILE"},
         "allow * * * * * * * f\n",
         {},
         {kAllowed, "f", "acme"}},
        // The call-handling system is not reachable here: it always refuses.
        {"chs refuses", std::vector<std::string>{"chs"}, "", {}, {kDisallowed}},
        {"chs refusal ends the sequence",
         std::vector<std::string>{"chs", "file"},
         "allow * * * * * * * f\n",
         {},
         {kDisallowed}},
        {"file before chs",
         std::vector<std::string>{"file", "chs"},
         "allow * * * * * * * f\n",
         {},
         {kAllowed, "f", "acme"}},
        {"chs skipped with an option",
         std::vector<std::string>{"chs"},
         "",
         {"acme", "north", "tom", "Jex_Sra", "opt"},
         {kNoMatch}},
        {"chs skipped for every node after the first",
         std::vector<std::string>{"file", "chs"},
         "disallow * north * * * * * n\n",
         {"acme", "north,south"},
         // What the first pair's rule gave stays, but the last pair decides.
         {kNoMatch, "n", "acme"}},
        {"an empty element ends the sequence",
         std::vector<std::string>{"", "chs"},
         "",
         {},
         {kNoMatch}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.sequence) Sequence(*c.sequence);
        Rules(c.rules);
        Check(c.caller, c.expected);
    }
}

// An unknown name ends the check of its access-id/node pair only: the
// next pair is checked, and the name is reported once.
TEST_F(JexAccessCheckTest, UnknownDatabaseEndsThePairAndIsReportedOnce) {
    const std::string unknown = "\xc2\xabrac\xc2\xbb Database 'ldap' not known, check aborted\n";
    Sequence({"file", "ldap"});
    Rules("allow beta * * * * * * b\n");
    EXPECT_EQ(Check({"acme,beta"}, {kAllowed, "b", "beta"}), unknown);
    EXPECT_EQ(Check({"acme,gamma", "north,south"}, {kNoMatch}), unknown);

    // Names after the unknown one are not reached for that pair.
    Sequence({"Nis", "file"});
    EXPECT_EQ(Check({"beta"}, {kNoMatch}),
              "\xc2\xabrac\xc2\xbb Database 'nis' not known, check aborted\n");
}

// The trace switches are process-wide and only ever switched on: the test
// runs in a fresh copy of the program, leaving them off for the others.
TEST_F(JexAccessCheckTest, TracesScansMatchesAndSkips) {
    tavro::testing::InFreshProcess(
        [this] {
            setenv("JEXAUTHREMOTE_TRACE", "xMs", 1);
            Sequence({"file", "chs"});
            Rules("disallow other * * * * * * o\nallow ACME * * * * * * yes\n");
            const std::string err =
                Check({"ACME", "north", "tom", "Jex_Sra", "opt"}, {kAllowed, "yes", "ACME"});
            EXPECT_EQ(err,
                      "«rac» Remote Authorization Check in file for\n"
                      "\tDomain: <acme>\n"
                      "\t  Node: <north>\n"
                      "\t  User: <tom>\n"
                      "\t  Appl: <jex_sra>\n"
                      "\tOption: <opt>\n"
                      "«rac» Scanned: disallow other * * * * * * o\n"
                      "«rac» Scanned: allow ACME * * * * * * yes\n"
                      "«rac» Matched: allow ACME * * * * * * yes\n"
                      "«rac» Result of this file check: Allowed\n");

            Rules("");
            const std::string skipped =
                Check({"acme", "north", "tom", "Jex_Sra", "opt"}, {kNoMatch});
            EXPECT_NE(skipped.find("«rac» Result of this file check: No Match\n"
                                   "«rac» Skipping CHS check for:\n"
                                   "\tDomain: <acme>\n"
                                   "\t  Node: <north>\n"
                                   "\t  User: <tom>\n"
                                   "\t  Appl: <Jex_Sra>\n"
                                   "\tOption: <opt>\n"),
                      std::string::npos)
                << skipped;

            const std::string chs = Check({}, {kDisallowed});
            EXPECT_NE(chs.find("«rac» Remote Authorization Check in CHS for\n"
                               "\tDomain: <acme>\n"
                               "\t  Appl: <Jex_Sra>\n"),
                      std::string::npos)
                << chs;
            EXPECT_NE(chs.find("«rac» Result of this CHS check: Disallowed\n"), std::string::npos)
                << chs;

            NoRules();
            EXPECT_NE(Check({}, {kDisallowed}).find("«rac» File not accessable\n"),
                      std::string::npos);
        },
        {install_.Path()});
}

// The caller as an accepted session describes it: access ids, node, user
// and application from the client's start.
TEST_F(JexAccessCheckTest, SessionCallerIsChecked) {
    tavro::testing::TempDir keys{"jexaccess-keys"};
    tavro::testing::WriteFile(keys.Path() / "MD5-CLI-SRV", "shared secret\n");
    tavro::testing::WriteFile(keys.Path() / "MD5-OTHER-SRV", "other secret\n");
    setenv("JEXCRYPTO_PATH", keys.Path().c_str(), 1);
    tavro::testing::SessionServer server;
    ASSERT_TRUE(server.Listening());
    const std::string routes = (install_.Path() / "route.map").string();
    tavro::testing::WriteFile(routes, server.RouteLine("srv", "snode", "Jex_Sra"));
    const std::string user = JexGetUserName().LowerCopy().Text();
    Rules("disallow other * * * * * * no\nallow cli cnode \"" + user +
          "\" jex_sra * * * granted\n");

    int listened = -1, permitted = -1, nobody = -1;
    std::string domain, data;
    ASSERT_TRUE(server.Serve([&](JexSession& s) {
        s.SetAttr(JexSession::DST_NODE, "snode");
        s.SetAttr(JexSession::READ_TIMEOUT, 20);
        JexBuffer connectData;
        listened = s.Listen("Jex_Sra", "srv", connectData);
        if (listened != 0) return;
        JexAccessCheck check(&s, nullptr);
        permitted = check.Permitted();
        domain = check.MatchingDomain().Text();
        data = check.UserData().Text();
        nobody = JexAccessCheck(nullptr, nullptr).Permitted();
        s.Reject(JexBuffer("checked"));
    }));
    JexSession c;
    c.SetSuppress(1);
    c.SetAttr(JexSession::SRC_ACID, "other,cli");
    c.SetAttr(JexSession::SRC_NODE, "cnode");
    c.SetAttr(JexSession::READ_TIMEOUT, 20);
    c.SetAttr(JexSession::ROUTE_MAP, routes.c_str());
    JexBuffer reply;
    EXPECT_EQ(c.Connect("Jex_Sra", "srv", "snode", JexBuffer("hello"), reply), JexSession::REJECT);
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(listened, 0);
    EXPECT_EQ(permitted, 1);
    EXPECT_EQ(domain, "cli");
    EXPECT_EQ(data, "granted");
    EXPECT_EQ(nobody, 0);
}

TEST(JexAccessCheck, ResultNames) {
    EXPECT_STREQ(JexAccessCheck::ResultName(0), "Disallowed");
    EXPECT_STREQ(JexAccessCheck::ResultName(1), "Allowed");
    EXPECT_STREQ(JexAccessCheck::ResultName(2), "No Match");
    EXPECT_STREQ(JexAccessCheck::ResultName(3), "Unknown");
    EXPECT_STREQ(JexAccessCheck::ResultName(-1), "Unknown");
}

}  // namespace
