// Tests of parsecli and getcli: items from the command line or the settings, and fatal reports.
#include "jexlink/cli/JexCommandLine.h"

#include <gtest/gtest.h>

#include <string>

#include "jexlink/cli/JexPCLI.h"
#include "jexlink/core/JexConfig.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/JexPCLITableWriter.h"
#include "testing/support/TempDir.h"

namespace {

class JexCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        table_ = (dir_.Path() / "tool").string();
        tavro::testing::WriteFile(table_ + ".cli", tavro::testing::CliTableBytes(12, R"(
Verb   1 RUN
Switch 1 HOST  kv
Switch 1 COUNT kv
Switch 1 FAST
)"));
    }

    tavro::testing::TempDir dir_{"cli-routines"};
    std::string table_;
};

TEST_F(JexCommandLineTest, GivenItemsWinOverSettingsAndDefaults) {
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kApplications, "Tool.Host", "from-settings"));
    ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kApplications, "Tool.Count", 7));

    // Before parsecli the setting or the default answers.
    EXPECT_STREQ(getcli("HOST", "Tool.Host", "dflt").Text(), "from-settings");
    EXPECT_EQ(getcli("COUNT", "Tool.Absent", 3), 3);

    // The command name stands for element 0 and is the table's verb.
    const char* argv[] = {"/usr/bin/run", "/host:given", "/count:0x10"};
    parsecli(table_.c_str(), 3, argv, "run");
    ASSERT_NE(JexCommandLineInterpreter(), nullptr);
    EXPECT_STREQ(getcli("HOST", "Tool.Host", "dflt").Text(), "given");
    EXPECT_EQ(getcli("COUNT", "Tool.Count", 3), 16);

    const char* octal[] = {"run", "/count:010"};
    parsecli(table_.c_str(), 2, octal, nullptr);
    EXPECT_EQ(getcli("COUNT", "Tool.Count", 3), 8);
    EXPECT_STREQ(getcli("HOST", "Tool.Host", "dflt").Text(), "from-settings");
    EXPECT_STREQ(getcli("HOST", "Tool.Absent", "dflt").Text(), "dflt");
    EXPECT_EQ(getcli("FAST", "Tool.Count", 3), 7);
    EXPECT_EQ(getcli("NOSUCH", "Tool.Absent", 5), 5);
}

TEST_F(JexCommandLineTest, HugeNumbersAreHeldWithin32Bits) {
    const char* argv[] = {"run", "/count:99999999999", "/host:-99999999999"};
    parsecli(table_.c_str(), 3, argv, "run");
    EXPECT_EQ(getcli("COUNT", "x", 0), 2147483647);
    EXPECT_EQ(getcli("HOST", "x", 0), -2147483647 - 1);
}

using JexCommandLineDeathTest = JexCommandLineTest;

TEST_F(JexCommandLineDeathTest, MissingTableEndsTheProcess) {
    const char* argv[] = {"tool", "run"};
    const std::string missing = (dir_.Path() / "absent").string();
    EXPECT_EXIT(parsecli(missing.c_str(), 2, argv, "tool"), ::testing::ExitedWithCode(1),
                "JexPCLI::OPEN_FAIL, Failed to open table file .*absent\\.cli");
}

TEST_F(JexCommandLineDeathTest, LineThatDoesNotParseShowsUsageAndEndsTheProcess) {
    const char* argv[] = {"run", "/bogus"};
    // The usage, the parser's error, then the library message with the
    // interpreter's error as its cause.
    EXPECT_EXIT(parsecli(table_.c_str(), 2, argv, "run"), ::testing::ExitedWithCode(1),
                "Usage:\n------\n\n    RUN\n      /HOST:\\{value\\}\n(.|\n)*"
                "--- JexPCLI::UNKNOWN_ITEM, Unknown item or excess: 'bogus'\n"
                "--- JexMsg::CLISYNTAX, Command syntax error\\.\n  - JexPCLI::UNKNOWN_ITEM, "
                "Unknown item or excess: 'bogus'");
}

}  // namespace
