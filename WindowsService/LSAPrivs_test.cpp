// Tests of the logon right and the password prompt.
#include "WindowsService/LSAPrivs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Hostsys/Env.h"
#include "platform/PlatformState.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using ::testing::HasSubstr;

std::string ThisUser() {
    passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_name : "";
}

class LSAPrivsTest : public ::testing::Test {
protected:
    // Each test starts without the right file and the rights another test granted.
    tavro::testing::FreshState m_state;

    std::string RightFile() const { return (platform::StateDir() / "NTRight").string(); }
    std::string Record(const char* name) {
        Env file(RightFile());
        std::string text = file.ReadEnvVar(name);
        return text;
    }
};

TEST_F(LSAPrivsTest, GrantIsRecordedFoundAgainAndRemoved) {
    const std::string user = ThisUser();
    LSAPrivs grant(RightFile());
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(grant.SetLogonRight(user.c_str()));
    std::string errors = ::testing::internal::GetCapturedStderr();
    // The account had no right at all: the enumeration's failure is shown.
    EXPECT_THAT(errors, HasSubstr("The file or key does not exist."));
    EXPECT_EQ(grant.LastStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Record("Priv"), "Priv=Remove");
    EXPECT_EQ(Record("Acc"), "Acc=" + user);

    // A second grant finds the right held: the record says to leave it.
    LSAPrivs again(RightFile());
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(again.SetLogonRight(user.c_str()));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Record("Priv"), "Priv=Leave");

    LSAPrivs remove(RightFile());
    remove.SetMode(LSAPrivs::Mode::kRemove);
    EXPECT_TRUE(remove.SetLogonRight(user.c_str()));
    EXPECT_EQ(remove.LastStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Record("Priv"), "Priv=Leave") << "removal leaves the record to the caller";

    LSAPrivs check(RightFile());
    check.SetMode(LSAPrivs::Mode::kRemove);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(check.SetLogonRight(user.c_str()));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(check.LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND) << "nothing left to remove";
}

TEST_F(LSAPrivsTest, UnknownAccountFailsWithTheLookupText) {
    LSAPrivs grant(RightFile());
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(grant.SetLogonRight("no-such-account-here"));
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(errors, HasSubstr("No account of that name was found."));
    EXPECT_THAT(errors, HasSubstr("LookupAccountName failed\n"));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
    EXPECT_FALSE(std::filesystem::exists(RightFile()));
}

// Runs the prompt on `input`; its result (or "<null>") and what it wrote.
std::pair<std::string, std::string> Prompt(const std::string& input) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    int saved = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    ::testing::internal::CaptureStdout();
    char* password = LSAPrivs(std::string()).PromptPassword();
    std::string shown = ::testing::internal::GetCapturedStdout();
    dup2(saved, STDIN_FILENO);
    close(saved);
    std::string result = password ? password : "<null>";
    std::free(password);
    return {result, shown};
}

TEST(LSAPrivsPrompt, PasswordIsAskedTwiceWithoutEcho) {
    auto [password, shown] = Prompt("secret\nsecret\n");
    EXPECT_EQ(password, "secret");
    EXPECT_EQ(shown, "password? *******\n Verify password: *******\npasswords match\n");
}

TEST(LSAPrivsPrompt, EntriesThatDifferAreAskedAgain) {
    auto [password, shown] = Prompt("one\ntwo\nok\nok\n");
    EXPECT_EQ(password, "ok");
    EXPECT_EQ(shown,
              "password? ****\n Verify password: ****\n passwords don't match try again\n"
              "password? ***\n Verify password: ***\npasswords match\n");
}

TEST(LSAPrivsPrompt, EndOfInputEndsThePrompt) {
    struct Case {
        const char* input;
        const char* password;
    } cases[] = {
        {"one\ntwo\n", "<null>"}, {"one\n", "<null>"}, {"pw\npw", "pw"},
        {"", "<null>"},           {"\n\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(Prompt(c.input).first, c.password);
    }
}

TEST(LSAPrivsPrompt, LongPasswordIsCutTo253Characters) {
    std::string exact(253, 'x');
    EXPECT_EQ(Prompt(exact + "\n" + exact + "\n").first, exact);
    std::string longer(300, 'y');
    EXPECT_EQ(Prompt(longer + "\n" + longer + "\n").first, std::string(253, 'y'));
}

}  // namespace
