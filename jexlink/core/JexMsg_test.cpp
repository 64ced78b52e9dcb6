// Tests of the user-message routines without a message catalog.
#include "jexlink/core/JexMsg.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GitNm, UnknownMnemonicIsNamed) {
    EXPECT_STREQ(git_nm("JEX::NOFILE", JexExcArgs("x", "a")).Text(),
                 "Message not found: JEX::NOFILE");
    EXPECT_STREQ(git_nm(nullptr, JexExcArgs()).Text(), "Message not found: ");
}

TEST(Say, MessageToStandardOutput) {
    testing::internal::CaptureStdout();
    say("SRA::SUCCESS", JexExcArgs(nullptr, 12));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Message not found: SRA::SUCCESS\n");
}

TEST(Say, ErrorToStandardErrorWithOneTrailingNewlineRemoved) {
    JexMsg error;
    struct Case {
        const char* message;
        const char* with_name;
        const char* without_name;
    } cases[] = {
        {"JexMsg::X, text", "--- JexMsg::X, text\n", "--- text\n"},
        {"JexMsg::X, text\n", "--- JexMsg::X, text\n", "--- text\n"},
        {"JexMsg::X, two\n\n", "--- JexMsg::X, two\n\n", "--- two\n\n"},
    };
    for (const Case& c : cases) {
        error.SetExternalMessage(JexString(c.message));
        error.ExcSet(JexException::kExternalMessage);
        testing::internal::CaptureStderr();
        say(error);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.with_name);
        testing::internal::CaptureStderr();
        say_nm(error);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.without_name);
    }
}

TEST(JexMsg, HasTheReservedRows) {
    JexMsg msg;
    EXPECT_STREQ(msg.ClassName().Text(), "JexMsg");
    EXPECT_STREQ(msg.CodeName(-3).Text(), "JexException::EXC_INFINITE_LOOP");
    EXPECT_STREQ(msg.Text(5).Text(), "Unknown JexMsg exception value: 5");
}

}  // namespace
