// Tests of the library utilities: environment, user and process names, files and tag expansion.
#include "jexlink/core/JexUtilities.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/support/TempDir.h"

namespace {

TEST(JexUtilities, GetEnvGivesTheValueOrTheFallback) {
    setenv("JEXUTIL_SET", "value", 1);
    setenv("JEXUTIL_EMPTY", "", 1);
    unsetenv("JEXUTIL_UNSET");
    EXPECT_STREQ(JexGetEnv("JEXUTIL_SET", "fb").Text(), "value");
    EXPECT_STREQ(JexGetEnv("JEXUTIL_EMPTY", "fb").Text(), "");
    EXPECT_STREQ(JexGetEnv("JEXUTIL_UNSET", "fb").Text(), "fb");
    EXPECT_STREQ(JexGetEnv("JEXUTIL_UNSET", nullptr).Text(), "");
    EXPECT_EQ(JexGetEnv("JEXUTIL_SET", "").CaseSensitive(), 1);
    setenv("HOMEPATH", "\\Users\\op", 1);
    EXPECT_STREQ(JexGetHomePath().Text(), "\\Users\\op");
    unsetenv("HOMEPATH");
    EXPECT_STREQ(JexGetHomePath().Text(), "");
}

TEST(JexUtilities, GetEnvFlagReadsNumbersAndLetters) {
    struct Case {
        const char* value;  // null: unset
        int expected;
    } cases[] = {
        {"12", 12},    {"0", 0},   {"9abc", 9}, {"99999999999", INT_MAX},
        {"y", 1},      {"Yes", 1}, {"true", 1}, {"T", 1},
        {"no", 0},     {"", 0},    {"-3", 0},   {"on", 0},
        {nullptr, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        if (c.value)
            setenv("JEXUTIL_FLAG", c.value, 1);
        else
            unsetenv("JEXUTIL_FLAG");
        EXPECT_EQ(JexGetEnvFlag("JEXUTIL_FLAG", 77), c.expected);
    }
}

TEST(JexUtilities, HaveDisplayNeedsANonEmptyDisplay) {
    unsetenv("DISPLAY");
    EXPECT_EQ(JexHaveDisplay(), 0);
    setenv("DISPLAY", "", 1);
    EXPECT_EQ(JexHaveDisplay(), 0);
    setenv("DISPLAY", ":0", 1);
    EXPECT_EQ(JexHaveDisplay(), 1);
}

TEST(JexUtilities, UserNameIsTheEffectiveUser) {
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    JexString name = JexGetUserName();
    EXPECT_STREQ(name.Text(), pw->pw_name);
    EXPECT_EQ(name.CaseSensitive(), 1);
}

TEST(JexUtilities, ProcessIdTextIsRightAlignedInFive) {
    EXPECT_STREQ(JexProcessIdText(42).Text(), "   42");
    EXPECT_STREQ(JexProcessIdText(12345).Text(), "12345");
    EXPECT_STREQ(JexProcessIdText(1234567).Text(), "1234567");
    EXPECT_STREQ(JexProcessIdText(-1).Text(), "   -1");
    char own[16];
    std::snprintf(own, sizeof own, "%5d", static_cast<int>(getpid()));
    EXPECT_STREQ(JexProcessIdText(0).Text(), own);
}

TEST(JexUtilities, ProcessExistsForLiveProcessesOnly) {
    EXPECT_EQ(JexProcessExists(static_cast<int>(getpid())), 1);
    EXPECT_EQ(JexProcessExists(1), 1);  // another user's process exists all the same
    for (int pid : {0, -1, INT_MIN}) EXPECT_EQ(JexProcessExists(pid), 0) << pid;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(JexProcessExists(static_cast<int>(child)), 0);
}

TEST(JexUtilities, DeleteFileSaysWhetherItDeleted) {
    tavro::testing::TempDir dir;
    const std::string path = (dir.Path() / "doomed").string();
    tavro::testing::WriteFile(path, "x");
    EXPECT_EQ(JexDeleteFile(path.c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(JexDeleteFile(path.c_str()), 0);
    EXPECT_EQ(JexDeleteFile(nullptr), 0);
    EXPECT_EQ(JexDeleteFile(""), 0);
}

TEST(JexUtilities, VersionBannerNamesVersionPlatformAndText) {
    const std::string expected = std::string("JEXlink T2.2-EFT8 for ") +
                                 JexLibraryPlatform().Description().Text() + " nodewalk\n";
    const std::string banner = JexVersionBanner("nodewalk").Text();
    EXPECT_EQ(banner.substr(0, expected.size()), expected);
    EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 5);  // header, 3 notice, empty
    EXPECT_EQ(banner.substr(banner.size() - 3), ".\n\n");
    EXPECT_EQ(std::string(JexLibraryPlatform().Description().Text()).rfind("Windows NT ", 0), 0u);
    // A text of any length is kept whole.
    const std::string longText(1000, 'x');
    EXPECT_NE(std::string(JexVersionBanner(longText.c_str()).Text()).find(longText + "\n"),
              std::string::npos);
    EXPECT_NE(std::string(JexVersionBanner(nullptr).Text()).find(" \n"), std::string::npos);
}

TEST(JexExpandTags, ReplacesReferencesInBraces) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"Hello {user}!", "Hello operator!"},
        {"{user}{user}", "operatoroperator"},
        {"no tags", "no tags"},
        {"", ""},
        {"} before {user}", "} before operator"},
        {"open { without close", "open { without close"},
        {"{unknown} stays as its name", "unknown stays as its name"},
        {"{}", ""},
        {"x{a{b}}y", "xdoney"},       // innermost first: {b} -> 1, then {a1}
        {"{ref}", "operator"},        // a replacement is expanded in turn
        {"{open}user}", "operator"},  // a replacement may complete a reference
        {"a}b{c", "a}b{c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        JexTagList tags;
        tags["user"] = "operator";
        tags["b"] = "1";
        tags["a1"] = "done";
        tags["ref"] = "{user}";
        tags["open"] = "{";
        EXPECT_STREQ(JexExpandTags(c.text, tags).Text(), c.expected);
    }
    JexTagList tags;
    EXPECT_STREQ(JexExpandTags(nullptr, tags).Text(), "");
}

TEST(JexExpandTags, UnknownTagIsAddedWithAnEmptyValue) {
    JexTagList tags;
    EXPECT_STREQ(JexExpandTags("{Site}", tags).Text(), "Site");
    EXPECT_EQ(tags.Find("Site"), 0);
    EXPECT_EQ(tags.Count(), 1);
    EXPECT_STREQ(tags["Site"].Text(), "");
}

TEST(JexExpandTags, SelfReferenceEndsAtTheBound) {
    struct Case {
        const char* name;
        const char* a;
        const char* b;
    } cases[] = {
        {"direct", "{a}", ""},
        {"through another tag", "{b}", "{a}"},
        {"growing", "x{a}", ""},
        {"growing fast", "{a}{a}", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexTagList tags;
        tags["a"] = c.a;
        tags["b"] = c.b;
        const std::string out = JexExpandTags("<{a}>", tags).Text();
        EXPECT_EQ(out.front(), '<');
        EXPECT_EQ(out.back(), '>');
        EXPECT_NE(out.find('{'), std::string::npos);  // the unexpanded rest is kept
        EXPECT_LE(out.size(), kMaxTagExpansion + 16);
    }
}

TEST(JexExpandTags, HugeTextsExpandWhole) {
    JexTagList tags;
    tags["t"] = "v";
    std::string many;
    for (int i = 0; i < 200000; ++i) many += "{t}";
    EXPECT_EQ(std::string(JexExpandTags(many.c_str(), tags).Text()), std::string(200000, 'v'));
    const std::string plain(1 << 20, 'p');
    EXPECT_EQ(std::string(JexExpandTags(plain.c_str(), tags).Text()), plain);
}

TEST(JexExpandTags, TextMayBeATagsOwnValue) {
    JexTagList tags;
    tags["greeting"] = "Hi {name}";
    tags["name"] = "Ann";
    tags["greeting"] = JexExpandTags(tags["greeting"].Text(), tags).Text();
    EXPECT_STREQ(tags["greeting"].Text(), "Hi Ann");
}

}  // namespace
