// Tests of the environment routines: local lists, default data, locations and commands.
#include "jexlink/core/JexCommonRoutines.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::WriteList;
using tavro::testing::WriteText;

class JexCommonRoutinesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tavro::testing::CreateSettingsKeys()); }
};

std::string Host() {
    JexFieldedString platform(JexLibraryPlatform());
    const std::string name = platform.Field(1).Text();
    return name.substr(0, name.find('.'));
}

TEST_F(JexCommonRoutinesTest, LocalDomainListStopsAtTheFirstEmptyValue) {
    EXPECT_STREQ(local_domain_list().Text(), "");
    struct Case {
        std::vector<std::string> stored;
        const char* expected;
    } cases[] = {
        {{"ferrandia.com", "ferrandia.net"}, "ferrandia.com,ferrandia.net"},
        {{"", "second"}, ""},
        {{"one"}, "one"},
        {{"a,b", "c"}, "a,b,c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", c.stored));
        EXPECT_STREQ(local_domain_list().Text(), c.expected);
        JexString out("stale");
        EXPECT_STREQ(local_domain_list(out).Text(), c.expected);
        EXPECT_STREQ(out.Text(), c.expected);
    }
}

TEST_F(JexCommonRoutinesTest, LocalNodeListStartsWithTheComputersName) {
    ASSERT_FALSE(Host().empty());
    EXPECT_EQ(std::string(local_node_list().Text()), Host());
    ASSERT_TRUE(WriteText(JexConfig::kProduct, "Local.Node", "gateway1"));
    EXPECT_STREQ(local_node_list().Text(), "gateway1");
    ASSERT_TRUE(WriteList(JexConfig::kProduct, "Local.Node", {"n1", "n2"}));
    JexString out;
    EXPECT_STREQ(local_node_list(out).Text(), "n1,n2");
    ASSERT_TRUE(WriteList(JexConfig::kProduct, "Local.Node", {"", "n2"}));
    EXPECT_EQ(std::string(local_node_list().Text()), Host());
}

TEST_F(JexCommonRoutinesTest, CheckMyDomainIgnoresCase) {
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {"Ferrandia.COM", "lab"}));
    struct Case {
        const char* domain;
        int expected;
    } cases[] = {
        {"ferrandia.com", 1}, {"FERRANDIA.com", 1},     {"LAB", 1}, {"ferrandia", 0}, {"", 0},
        {nullptr, 0},         {"ferrandia.com,lab", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(JexCheckMyDomain(c.domain), c.expected) << c.domain;
}

TEST_F(JexCommonRoutinesTest, DefaultDataFromTheFirstValues) {
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {"home", "other"}));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Local.Node", "n1"));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Remote.Domain", "centre"));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Remote.Node", "srq"));
    char b[8][256];
    ASSERT_EQ(JexGetDefaultData(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], sizeof b[0]), 1);
    const std::string user = JexGetUserName().Text();
    EXPECT_EQ(std::string(b[0]), user + "@home/" + Host());
    EXPECT_STREQ(b[1], "n1");
    EXPECT_STREQ(b[2], "centre/srq");
    EXPECT_STREQ(b[3], "srq");
    EXPECT_EQ(std::string(b[4]), Host());
    EXPECT_EQ(std::string(b[5]), user);
    EXPECT_STREQ(b[6], "home");
    EXPECT_STREQ(b[7], "centre");
}

TEST_F(JexCommonRoutinesTest, DefaultDataRefusesAValueThatDoesNotFit) {
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Remote.Domain", "a-long-domain-name"));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Remote.Node", "srq"));
    char b[8][8];
    for (auto& buffer : b) std::strcpy(buffer, "junk");
    EXPECT_EQ(JexGetDefaultData(b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], sizeof b[0]), 0);
    EXPECT_STREQ(b[2], "");  // "a-long-domain-name/srq"
    EXPECT_STREQ(b[7], "");  // "a-long-domain-name"
    EXPECT_STREQ(b[3], "srq");
    EXPECT_EQ(JexGetDefaultData(nullptr, nullptr, nullptr, b[3], nullptr, nullptr, nullptr, nullptr,
                                sizeof b[0]),
              1);
}

TEST(JexCommonRoutines, FormatErrorMessageAppendsANewlineWhenItFits) {
    char buffer[7] = "abcde";
    EXPECT_EQ(JexFormatErrorMessage(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abcde\n");
    EXPECT_EQ(JexFormatErrorMessage(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "abcde\n");
    char unterminated[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(JexFormatErrorMessage(unterminated, sizeof unterminated), 0);
    EXPECT_EQ(JexFormatErrorMessage(nullptr, 10), 0);
}

TEST(JexCommonRoutines, LocationsAndPlatform) {
    unsetenv("JEX_EXECUTABLE_LOCATION");
    EXPECT_STREQ(JexGetExecutableLocation(), "/usr/bin/jex");
    setenv("JEX_EXECUTABLE_LOCATION", "/opt/jex/bin", 1);
    EXPECT_STREQ(JexGetExecutableLocation(), "/opt/jex/bin");
    EXPECT_NE(JexLegalPlatform(), 0);
    EXPECT_EQ(JexActivateImage(), 1);
    testing::internal::CaptureStdout();
    Banner("jexnode");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), JexVersionBanner("jexnode").Text());
}

TEST(JexCommonRoutines, ComposedAsyncCommand) {
    struct Case {
        const char* command;
        const char* file;
        const char* expected;
    } cases[] = {
        {"ls", "", "ls &"},
        {"ls", nullptr, "ls &"},
        {"ls -l", "/tmp/out", "ls -l | cat > '/tmp/out' &"},
        {"ls", "my file; rm -rf x", "ls | cat > 'my file; rm -rf x' &"},
        {"ls", "it's", "ls | cat > 'it'\\''s' &"},
        {"", "", " &"},
        {nullptr, nullptr, " &"},
    };
    for (const Case& c : cases) {
        std::string line = "stale";
        ASSERT_TRUE(JexComposeAsyncCommand(c.command, c.file, line));
        EXPECT_EQ(line, c.expected);
    }
    std::string line;
    const std::string fits(kMaxAsyncCommandLine - 2, 'x');
    ASSERT_TRUE(JexComposeAsyncCommand(fits.c_str(), "", line));
    EXPECT_EQ(line.size(), kMaxAsyncCommandLine);
    const std::string tooLong(kMaxAsyncCommandLine - 1, 'x');
    EXPECT_FALSE(JexComposeAsyncCommand(tooLong.c_str(), "", line));
    EXPECT_TRUE(line.empty());
    EXPECT_FALSE(JexComposeAsyncCommand("ls", std::string(1100, 'f').c_str(), line));
}

TEST(JexCommonRoutines, CommandsRunSynchronously) {
    const int status = JexDoCommand("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(JexDoCommand("true"), 0);
}

TEST(JexCommonRoutines, CommandsRunInTheBackgroundIntoAFile) {
    tavro::testing::TempDir dir;
    const std::string out = (dir.Path() / "out put").string();
    EXPECT_EQ(JexDoCommandAsync("echo hello", out.c_str()), 0);
    EXPECT_TRUE(
        tavro::testing::WaitFor([&] { return tavro::testing::ReadFile(out) == "hello\n"; }, 10000));
    const std::string other = (dir.Path() / "other").string();
    EXPECT_EQ(JexDoCommandAsyncChar("echo again", other.c_str()), 0);
    EXPECT_TRUE(tavro::testing::WaitFor(
        [&] { return tavro::testing::ReadFile(other) == "again\n"; }, 10000));
}

TEST(JexCommonRoutines, AsyncCommandThatDoesNotFitIsRefusedNotCut) {
    tavro::testing::TempDir dir;
    const std::string marker = (dir.Path() / "ran").string();
    // Cut anywhere, this line would still create the marker file.
    std::string command = "touch '" + marker + "'; : " + std::string(1100, 'x');
    errno = 0;
    EXPECT_EQ(JexDoCommandAsync(command.c_str(), ""), E2BIG);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(JexDoCommandAsyncChar(command.c_str(), nullptr), E2BIG);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
