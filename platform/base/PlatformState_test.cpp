// Tests of the platform state directory: where it is, and that nothing but a private directory of
// the user is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/PlatformState.h"
#include "platform/winbase.h"
#include "platform/winevt.h"
#include "platform/winreg.h"
#include "platform/winsvc.h"
#include "testing/support/KernelTestSupport.h"

namespace {

namespace fs = std::filesystem;
using tavro::testing::FreshState;
using tavro::testing::RunInChild;

// Every kind of state a process writes, each of which must be refused with
// ERROR_ACCESS_DENIED; the number of the first that was not, or 0.
int EveryWriteIsDenied() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_ACCESS_DENIED)
        return 1;
    if (CreateEventA(nullptr, TRUE, FALSE, "probe") || GetLastError() != ERROR_ACCESS_DENIED)
        return 2;
    HANDLE source = RegisterEventSourceA(nullptr, "Probe");
    LPCSTR text = "x";
    if (ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, &text, nullptr) ||
        GetLastError() != ERROR_ACCESS_DENIED)
        return 3;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (CreateServiceA(manager, "Probe", "Probe", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr,
                       nullptr, nullptr, nullptr) ||
        GetLastError() != ERROR_ACCESS_DENIED)
        return 4;
    return 0;
}

// A directory another user (or the umask) could have made is refused, and
// nothing is written into it.
TEST(StateDir, DirectoryOthersCouldReachIsRefusedAndLeftEmpty) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;  // makes the state directory at the path
        bool needsRoot;
    };
    const Case cases[] = {
        {"world-writable",
         [](const fs::path& dir) {
             fs::create_directory(dir);
             chmod(dir.c_str(), 0777);
         },
         false},
        {"group-readable",
         [](const fs::path& dir) {
             fs::create_directory(dir);
             chmod(dir.c_str(), 0750);
         },
         false},
        {"another user's",
         [](const fs::path& dir) {
             fs::create_directory(dir);
             chmod(dir.c_str(), 0700);
             ASSERT_EQ(chown(dir.c_str(), tavro::testing::kOtherUid, tavro::testing::kOtherUid), 0);
         },
         true},
        {"a link to a private directory",
         [](const fs::path& dir) {
             fs::path target = dir.string() + "-target";
             fs::create_directory(target);
             chmod(target.c_str(), 0700);
             fs::create_directory_symlink(target, dir);
         },
         false},
    };
    for (const Case& c : cases) {
        if (c.needsRoot && !tavro::testing::CanActAsOtherUser()) continue;
        FreshState scratch;
        const fs::path dir = fs::path(scratch.Dir()) / "state";
        c.make(dir);
        int status = RunInChild([&] {
            setenv(platform::kStateDirVar, dir.c_str(), 1);
            return EveryWriteIsDenied();
        });
        EXPECT_EQ(status, 0) << c.name;
        fs::path looked = fs::is_symlink(dir) ? fs::read_symlink(dir) : dir;
        EXPECT_TRUE(fs::is_empty(looked)) << c.name;
    }
}

TEST(StateDir, NewDirectoryIsPrivateWhateverTheUmask) {
    FreshState scratch;
    const fs::path dir = fs::path(scratch.Dir()) / "new" / "state";
    int status = RunInChild([&] {
        umask(0);
        setenv(platform::kStateDirVar, dir.c_str(), 1);
        return platform::StateSubdir("objects").empty() ? 1 : 0;
    });
    ASSERT_EQ(status, 0);
    for (const fs::path& made : {dir, dir / "objects"}) {
        struct stat info {};
        ASSERT_EQ(stat(made.c_str(), &info), 0) << made;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << made;
    }
}

// A test whose fresh state directory cannot be made fails, instead of running
// against the shared state directory the variable would fall back to.
TEST(StateDir, FreshStateThatCannotBeMadeFailsAndLeavesTheVariable) {
    const std::string before = std::getenv(platform::kStateDirVar);
    const char* tmpdir = std::getenv("TMPDIR");
    const std::optional<std::string> previousTmp =
        tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
    setenv("TMPDIR", "/proc", 1);  // a directory where nothing can be made, even by root
    EXPECT_THROW(FreshState never, std::runtime_error);
    if (previousTmp) {
        setenv("TMPDIR", previousTmp->c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    EXPECT_EQ(std::getenv(platform::kStateDirVar), before);
}

// The variable first, then the user's runtime directory, then a directory
// of root's own or a per-user one under /var/tmp.
TEST(StateDir, LocationFollowsVariableThenRuntimeDirectory) {
    struct Case {
        const char* variable;
        const char* runtime;
        std::string expected;
    };
    const std::string fallback = geteuid() == 0
                                     ? std::string("/var/lib/tavro-platform")
                                     : "/var/tmp/tavro-platform-" + std::to_string(geteuid());
    const Case cases[] = {
        {"/srv/state", "/run/user/7", "/srv/state"},
        {"", "/run/user/7", "/run/user/7/tavro-platform"},
        {nullptr, "/run/user/7", "/run/user/7/tavro-platform"},
        {nullptr, nullptr, fallback},
        {nullptr, "", fallback},
    };
    for (const Case& c : cases) {
        int status = RunInChild([&] {
            c.variable ? setenv(platform::kStateDirVar, c.variable, 1)
                       : unsetenv(platform::kStateDirVar);
            c.runtime ? setenv("XDG_RUNTIME_DIR", c.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
            return platform::StateDirPath() == c.expected ? 0 : 1;
        });
        EXPECT_EQ(status, 0) << c.expected;
    }
}

}  // namespace
