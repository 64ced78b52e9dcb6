// Tests of the wizard's real host: paths without regard to case, file writes, domains, the
// launcher.
#include "wizard/WizardHost.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/winerror.h"
#include "testing/support/Wait.h"
#include "wizard/UserControl1.h"
#include "wizard/WizardTestHost.h"

namespace wizard {
namespace {

using namespace wizard::testing;
namespace fs = std::filesystem;

// Waits (bounded) for the file to exist.
bool WaitForFile(const fs::path& path) {
    return tavro::testing::WaitFor([&] { return fs::exists(path); });
}

TEST(ResolveNoCase, FindsEachPartWithoutRegardToCase) {
    TempDir dir;
    std::string root = dir.Path().string() + "/";
    WriteFile(root + "specific/tavro/config/Profile.txt", "p");
    WriteFile(root + "common/VRN/a.ini", "1");
    WriteFile(root + "common/vrn/A.INI", "2");
    struct Case {
        const char* relative;
        std::string expected;
    } cases[] = {
        {"SPECIFIC/TAVRO/CONFIG/PROFILE.TXT", root + "specific/tavro/config/Profile.txt"},
        {"specific/tavro/config/profile.txt", root + "specific/tavro/config/Profile.txt"},
        {"SPECIFIC/TAVRO/CONFIG/NEW.TXT", root + "specific/tavro/config/NEW.TXT"},
        {"COMMON/VRN/a.ini", root + "common/VRN/a.ini"},  // exact spelling first
        {"COMMON/vrn/a.ini", root + "common/vrn/A.INI"},
        {"COMMON/Vrn/X", root + "common/VRN/X"},  // else first in byte order
        {"MISSING/deeper/file", root + "MISSING/deeper/file"},
        {"", root},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveNoCase(root, c.relative), c.expected) << c.relative;
}

TEST(DomainFromResolvConf, DomainLineElseFirstSearchEntry) {
    EXPECT_EQ(DomainFromResolvConf("nameserver 1.1.1.1\ndomain corp.example.com\n"),
              "corp.example.com");
    EXPECT_EQ(DomainFromResolvConf("search a.example.com b.example.com\ndomain d.example.com\n"),
              "d.example.com");
    EXPECT_EQ(DomainFromResolvConf("search a.example.com b.example.com\n"), "a.example.com");
    EXPECT_EQ(DomainFromResolvConf("nameserver 10.0.0.1\ndomain\n"), "");
    EXPECT_EQ(DomainFromResolvConf(""), "");
}

TEST(SystemWizardHost, WritesFilesWithTheirOwnModeAndNeverCreatesDirectories) {
    TempDir dir;
    std::string root = dir.Path().string() + "/";
    fs::create_directories(root + "Config");
    SystemWizardHost host;
    mode_t old = umask(0);
    DWORD rc = host.WriteFile(root, "CONFIG/out.txt", "abc");
    umask(old);
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(root + "Config/out.txt"), "abc");
    struct stat info {};
    ASSERT_EQ(stat((root + "Config/out.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(host.WriteFile(root, "config/OUT.TXT", "x"), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(root + "Config/out.txt"), "x") << "emptied and rewritten";
    EXPECT_EQ(host.WriteFile(root, "nodir/out.txt", "x"), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root + "nodir"));
    EXPECT_TRUE(host.FileExists(root, "CONFIG/OUT.TXT"));
    EXPECT_FALSE(host.FileExists(root, "CONFIG"));
    EXPECT_EQ(host.ReadFile(root, "config/out.txt", 10), "x");
    WriteFile(root + "Config/big", std::string(100, 'b'));
    EXPECT_EQ(host.ReadFile(root, "config/BIG", 10), std::string(10, 'b'));
}

// The service installation starts the tree's script as a program, with its
// two arguments, under an install path with a blank, and returns while the
// script still runs, leaving no child behind.
TEST(SystemWizardHost, LauncherStartsTheScriptDetached) {
    WizardTree tree;
    const std::string script =
        "#!/bin/sh\n"
        "dir=$(dirname \"$0\")\n"
        "printf '%s|' \"$#\" \"$@\" > \"$dir/record.tmp\"\n"
        "mv \"$dir/record.tmp\" \"$dir/record\"\n"
        "i=0\n"
        "while [ ! -e \"$dir/release\" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
        "echo done > \"$dir/finished\"\n";
    tree.Write("common/bin/tavro.bat", script);
    fs::permissions(tree.Path("common/bin/tavro.bat"), fs::perms::owner_all);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    control.ShowServiceObligationPage();
    Effects effects = control.Click("BT_SO_LAUNCH_SERVICE_OBLIGATION");
    EXPECT_TRUE(effects.messages.empty());
    EXPECT_EQ(effects.page, 9);
    EXPECT_FALSE(fs::exists(tree.Path("common/bin/finished"))) << "returned before the end";
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child left to reap";
    ASSERT_TRUE(WaitForFile(tree.Path("common/bin/record")));
    EXPECT_EQ(ReadFile(tree.Path("common/bin/record")), "2|SERVOB|INSTALL|");
    WriteFile(tree.Path("common/bin/release"), "");
    EXPECT_TRUE(WaitForFile(tree.Path("common/bin/finished")));
}

TEST(SystemWizardHost, ScriptThatCannotRunIsReported) {
    WizardTree tree;
    tree.Write("common/bin/TAVRO.BAT", "not a program\n");
    fs::permissions(tree.Path("common/bin/TAVRO.BAT"), fs::perms::owner_read);
    SystemWizardHost host;
    EXPECT_EQ(host.Launch(tree.Root(), "common/bin/tavro.bat", {"SERVOB", "INSTALL"}),
              ERROR_ACCESS_DENIED);
    TestHost testHost;
    UserControl1 control(testHost);
    control.Show();
    control.ShowServiceObligationPage();
    Effects effects = control.Click("BT_SO_LAUNCH_SERVICE_OBLIGATION");
    ASSERT_EQ(effects.messages.size(), 1u);
    EXPECT_EQ(effects.messages[0].text, tree.Root() + "COMMON/BIN/TAVRO.BAT: Access is denied.");
    EXPECT_EQ(effects.page, 9);
}

}  // namespace
}  // namespace wizard
