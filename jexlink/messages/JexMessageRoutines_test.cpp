// Tests of the user-message routines: texts, printed bytes and streams, fatal forms, threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexAlarmClock.h"
#include "jexlink/messages/JexCommonRoutines.h"
#include "jexlink/messages/JexGetMsg.h"
#include "jexlink/messages/JexMsg.h"
#include "testing/support/MessagesTestSupport.h"
#include "testing/support/ModemSayCapture.h"

namespace {

using tavro::testing::CatalogDir;

class MessageRoutinesTest : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("LANG");
        dir.Write("T.msg",
                  "T::HELLO \"Hello %1$s\"\n"
                  "T::EMPTY \"\"\n"
                  "T::TWO \"%1$d and %2$s\"\n"
                  "T::NUMS \"%1$d-%2$d\"\n"
                  "T::LONG \"" +
                      std::string(3000, 'z') + "\"\n");
        ASSERT_TRUE(dir.UseTemplates({"%C.msg"}));
    }

    CatalogDir dir;
};

struct Printed {
    std::string out;
    std::string err;
};

Printed Capture(const std::function<void()>& call) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    Printed printed;
    printed.err = testing::internal::GetCapturedStderr();
    printed.out = testing::internal::GetCapturedStdout();
    return printed;
}

TEST_F(MessageRoutinesTest, TextsOfMnemonics) {
    const JexExcArgs args("here", "world");
    EXPECT_STREQ(git("T::HELLO", args).Text(), "T::HELLO, Hello world");
    EXPECT_STREQ(git_nm("T::HELLO", args).Text(), "Hello world");
    EXPECT_STREQ(git("T::NOSUCH", args).Text(), "Message not found: T::NOSUCH");
    EXPECT_STREQ(git_nm("T::NOSUCH", args).Text(), "Message not found: T::NOSUCH");
    EXPECT_STREQ(git_nm(nullptr, args).Text(), "Message not found: ");
}

TEST_F(MessageRoutinesTest, PrintRoutinesWriteTheirBytesToTheirStream) {
    JexMsg cause(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg error(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &cause);
    const JexExcArgs args("here", "world");
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* out;
        const char* err;
    } cases[] = {
        {"say", [&] { say("T::HELLO", args); }, "T::HELLO, Hello world\n", ""},
        {"say unknown", [&] { say("X", args); }, "Message not found: X\n", ""},
        {"say_nm", [&] { say_nm("T::HELLO", args); }, "Hello world\n", ""},
        {"say_online", [&] { say_online("T::HELLO", args); }, "T::HELLO, Hello world\r", ""},
        {"say_online_nm", [&] { say_online_nm("T::HELLO", args); }, "Hello world\r", ""},
        {"say error", [&] { say(error); }, "",
         "--- JexMsg::OPENERR, Error 2 while opening file x.\n"
         "  - JexMsg::CONNFAIL, Connection to target failed.\n"},
        {"say_nm error", [&] { say_nm(error); }, "",
         "Error 2 while opening file x.\nConnection to target failed.\n"},
        {"say_online error", [&] { say_online(error); }, "",
         "--- JexMsg::OPENERR, Error 2 while opening file x.\n"
         "  - JexMsg::CONNFAIL, Connection to target failed.\r"},
        // The one error form on standard output.
        {"say_online_nm error", [&] { say_online_nm(error); },
         "Error 2 while opening file x.\nConnection to target failed.\r", ""},
    };
    for (const Case& c : cases) {
        const Printed printed = Capture(c.call);
        EXPECT_EQ(printed.out, c.out) << c.name;
        EXPECT_EQ(printed.err, c.err) << c.name;
    }
}

TEST_F(MessageRoutinesTest, ErrorTexts) {
    JexMsg cause(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg error(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &cause);
    EXPECT_STREQ(git(error).Text(),
                 "--- JexMsg::OPENERR, Error 2 while opening file x.\n"
                 "  - JexMsg::CONNFAIL, Connection to target failed.\n");
    EXPECT_STREQ(git_nm(error).Text(),
                 "Error 2 while opening file x.\nConnection to target failed.");

    // An error whose only line is empty: the catalog's text is empty.
    JexMsg empty(JexMsg::OK);
    dir.Write("JexMsg.msg", "JexMsg::OK \"\"\n");
    ASSERT_TRUE(dir.UseTemplates({"%C.msg"}));
    EXPECT_STREQ(git_nm(empty).Text(), "");
    // The show-code flag is on again afterwards.
    EXPECT_STREQ(git(empty).Text(), "--- JEXMSG::OK, \n");
}

TEST_F(MessageRoutinesTest, ConcurrentCallsGiveWholeTexts) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 300;
    std::vector<int> bad(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &bad] {
            const std::string who = "thread" + std::to_string(t);
            const std::string expected = (t % 2 ? "T::HELLO, Hello " : "Hello ") + who;
            for (int i = 0; i < kCalls; ++i) {
                // Alternating forms and mnemonics make the threads change the
                // shared catalog's state under one another.
                const JexString text = t % 2 ? git("T::HELLO", JexExcArgs("t", who.c_str()))
                                             : git_nm("T::hello", JexExcArgs("t", who.c_str()));
                if (expected != text.Text()) ++bad[static_cast<size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[static_cast<size_t>(t)], 0) << t;
}

TEST_F(MessageRoutinesTest, FixedParameterRoutinesFillTheSharedBuffer) {
    // Before git_C_init the buffer has its default size.
    EXPECT_STREQ(git_0_C_no_param("T::NOSUCH"), "Message not found: T::NOSUCH");
    EXPECT_STREQ(git_1_C_numeric_param("T::TWO", 7), "7 and <Null>");
    EXPECT_STREQ(git_2_C_1_char_param("T::HELLO", "you"), "Hello you");
    EXPECT_STREQ(git_2_C_2_char_param("T::HELLO", "a", "b"), "Hello a");
    EXPECT_STREQ(git_4_C_2_numeric_param("T::NUMS", 1, 2), "1-2");
    EXPECT_STREQ(git_5_C_1_char_1_num_param("T::HELLO", "txt", 3), "Hello txt");
    EXPECT_STREQ(git_6_C_1_num_1_char_param("T::TWO", -5, "six"), "-5 and six");
    const char* cut = git_2_C_1_char_param("T::LONG", "");
    EXPECT_EQ(std::strlen(cut), static_cast<size_t>(kGitBufferDefaultSize - 1));

    git_C_init(nullptr, 8);
    EXPECT_STREQ(git_2_C_1_char_param("T::HELLO", "world"), "Hello w");
    git_C_init(nullptr, 0);  // ignored
    EXPECT_STREQ(git_2_C_1_char_param("T::HELLO", "world"), "Hello w");
    git_C_init(nullptr, 1);
    EXPECT_STREQ(git_2_C_1_char_param("T::HELLO", "world"), "");
    git_C_init(nullptr, 4096);
    // The catalog keeps at most JexCatalog::kMaxText bytes of the 3000.
    EXPECT_EQ(std::strlen(git_2_C_1_char_param("T::LONG", "")), 2047u);
}

TEST_F(MessageRoutinesTest, GetMsgCutsToTheCallersBuffer) {
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(JexGetMsg("T::HELLO", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "Hello <");  // no arguments: "<Null>" cut to the buffer
    EXPECT_EQ(JexGetMsg("T::HELLO", buffer, 1), 1);
    EXPECT_STREQ(buffer, "");
}

// The messages library installs its routines into the core: the alarm
// clock's output comes from the catalog.
TEST(ModemSay, PrintsThroughTheMessageRoutines) {
    JexAlarmClock clock(nullptr, nullptr, 1.0f);
    clock.Cancel();
    const tavro::testing::ModemSaid said = tavro::testing::CaptureModemSay("JEX::NOSUCH", clock);
    EXPECT_EQ(said.out, "Message not found: JEX::NOSUCH\n");
    EXPECT_EQ(said.err,
              "--- JexAlarmClock::NOT_RUNNING, The alarm clock is not running\n"
              "The alarm clock is not running\n");
}

TEST_F(MessageRoutinesTest, ReadFileGivesTheWholeFile) {
    std::string content;
    for (int i = 0; i < 50; ++i)
        content +=
            std::string(static_cast<size_t>(i * 37), static_cast<char>('a' + i % 26)) + "\r\n";
    dir.Write("whole.txt", content);
    EXPECT_EQ(std::string(ReadFile(dir.Path("whole.txt").c_str()).Text()), content);
    dir.Write("empty.txt", "");
    EXPECT_STREQ(ReadFile(dir.Path("empty.txt").c_str()).Text(), "");
}

using MessageRoutinesDeathTest = MessageRoutinesTest;

TEST_F(MessageRoutinesDeathTest, DieFormsPrintAndEndWithStatusOne) {
    JexMsg cause(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg error(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &cause);
    const JexExcArgs args("here", "world");
    // The mnemonic forms print on standard output: it is sent to standard
    // error inside the dying child so the death test sees it.
    EXPECT_EXIT((dup2(2, 1), die("T::HELLO", args)), testing::ExitedWithCode(1),
                "^T::HELLO, Hello world\n$");
    EXPECT_EXIT((dup2(2, 1), die_nm("T::HELLO", args)), testing::ExitedWithCode(1),
                "^Hello world\n$");
    EXPECT_EXIT(die(error), testing::ExitedWithCode(1),
                "^--- JexMsg::OPENERR, Error 2 while opening file x.\n"
                "  - JexMsg::CONNFAIL, Connection to target failed.\n$");
    EXPECT_EXIT(die_nm(error), testing::ExitedWithCode(1),
                "^Error 2 while opening file x.\nConnection to target failed.\n$");
}

TEST_F(MessageRoutinesDeathTest, ReadFileOfAFileThatCannotBeReadEnds) {
    const std::string missing = dir.Path("missing.txt");
    EXPECT_EXIT(ReadFile(missing.c_str()), testing::ExitedWithCode(1),
                "^Error 2 while opening file " + missing + ".\n$");
    const std::string directory = dir.Path("");
    EXPECT_EXIT(ReadFile(directory.c_str()), testing::ExitedWithCode(1),
                "^Error 21 while opening file " + directory + ".\n$");
}

}  // namespace
