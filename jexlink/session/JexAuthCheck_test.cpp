// Tests of the local authorization check against rule files under the installation directory.
#include "jexlink/session/JexAuthCheck.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

class JexAuthCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(tavro::testing::WriteInstallPath(dir_.Path().string()));
    }
    void WriteRules(const std::string& text) {
        tavro::testing::WriteFile(dir_.Path() / "data" / "jex_local_auth.dat", text);
    }

    tavro::testing::TempDir dir_{"authcheck"};
};

TEST_F(JexAuthCheckTest, FileLiesUnderTheInstallationDirectory) {
    EXPECT_EQ(std::string(JexAuthCheck::FilePath().Text()),
              (dir_.Path() / "data" / "jex_local_auth.dat").string());
}

TEST_F(JexAuthCheckTest, AbsentFilePermitsEverything) {
    JexAuthCheck check("acme", "n1", "joe", "Jex_Mail", "");
    EXPECT_EQ(check.Permitted(), 1);
    EXPECT_EQ(check.Matched(), 0);
    EXPECT_STREQ(check.UserData().Text(), "");
}

TEST_F(JexAuthCheckTest, FirstMatchingRuleDecides) {
    const std::string computer = JexPlatform().Field(1).LowerCopy().Text();
    const std::string user = JexGetUserName().Text();
    const std::string ownRule = "allow * " + computer + " " + user + " * *\n";
    struct Case {
        const char* rules;
        const char *domain, *node, *user, *application, *option;
        int permitted;
        const char* data;
    };
    const Case cases[] = {
        {"", "acme", "n1", "joe", "Jex_Mail", "", 0, ""},
        {"# only a comment\n", "acme", "n1", "joe", "Jex_Mail", "", 0, ""},
        {"allow acme n1 joe jex_mail * * * granted\n", "ACME", "N1", "Joe", "Jex_Mail", "", 1,
         "granted"},
        {"disallow acme n1 joe * * * * \"No Mail\"\n", "acme", "n1", "joe", "Jex_Mail", "", 0,
         "No Mail"},
        // The first match wins; "*" on either side agrees with anything.
        {"allow other * * * *\ndisallow * * * * *\nallow * * * * *\n", "acme", "n1", "joe", "x", "",
         0, ""},
        {"allow acme* * * jex_* *\ndisallow * * * * *\n", "acme.sub", "n1", "joe", "Jex_Mail", "",
         1, ""},
        // Empty domain, application and option names stand for "*".
        {"allow specific n1 joe specific specific\n", "", "n1", "joe", "", "", 1, ""},
        // An empty node is the computer's name, an empty user the current user.
        {ownRule.c_str(), "acme", "", "", "app", "", 1, ""},
        {"allow * other-node * * *\n", "acme", "", "joe", "app", "", 0, ""},
        // Unknown keywords are skipped; missing fields are empty.
        {"permit * * * * *\nALLOW acme\n", "acme", "n1", "joe", "app", "", 0, ""},
        {"permit * * * * *\nALLOW acme * * * *\n", "acme", "n1", "joe", "app", "", 1, ""},
        // Date windows: a rule not yet in force, or past, does not match.
        {"allow * * * * * tomorrow * future\nallow * * * * * * yesterday past\n"
         "allow * * * * * yesterday +2d now\n",
         "acme", "n1", "joe", "app", "", 1, "now"},
        {"allow * * * * * 2001-01-01 2001-12-31 old\n", "acme", "n1", "joe", "app", "", 0, ""},
        {"allow * * * * * not-a-date * x\n", "acme", "n1", "joe", "app", "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        WriteRules(c.rules);
        JexAuthCheck check(c.domain, c.node, c.user, c.application, c.option);
        EXPECT_EQ(check.Permitted(), c.permitted);
        EXPECT_STREQ(check.UserData().Text(), c.data);
    }
}

TEST_F(JexAuthCheckTest, NullNamesAreEmpty) {
    WriteRules("allow * * * * * * * all\n");
    JexAuthCheck check(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(check.Permitted(), 1);
    EXPECT_EQ(check.Matched(), 1);
    EXPECT_STREQ(check.UserData().Text(), "all");
}

// A file that other users may change still decides, with one warning line.
TEST_F(JexAuthCheckTest, FileWritableByOthersIsUsedWithOneWarning) {
    WriteRules("disallow * * * * * * * no\n");
    const std::string path = JexAuthCheck::FilePath().Text();
    for (const mode_t mode : {0644, 0664, 0646}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ::testing::internal::CaptureStderr();
        JexAuthCheck check("acme", "n1", "joe", "Jex_Mail", "");
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(check.Permitted(), 0);
        EXPECT_EQ(err, mode == 0644 ? std::string()
                                    : "Warning: local authorization file " + path +
                                          " can be written by other users\n");
    }
}

}  // namespace
