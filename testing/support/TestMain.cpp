// GoogleTest main's body: each test process gets a fresh platform state
// directory, removed again when the process ends, by a return from main or
// by exit().
//
// A death-test child of the "threadsafe" style runs this program again and
// ends without unwinding: it uses its parent's directory instead of making
// one, and makes its temporary files and directories under it, so that the
// parent removes what the child leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/PlatformState.h"
#include "testing/support/TestMain.h"

namespace {

// Kept for the exit handler: plain storage that no destructor ends first.
char state_dir[4096];
pid_t state_owner = 0;

void RemoveStateDir() {
    // A forked child that calls exit() leaves the directory to its parent.
    if (getpid() != state_owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(state_dir, ignored);
}

bool IsDeathTestChild(int argc, char** argv) {
    static constexpr char kFlag[] = "--gtest_internal_run_death_test";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) return true;
    return false;
}

// Points TMPDIR at a directory under the parent's state directory.
void UseParentsTemporaryDirectory(const std::string& parent) {
    const std::string dir = parent + "/death-test-tmp";
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) setenv("TMPDIR", dir.c_str(), 1);
}

}  // namespace

int tavro::testing::RunTestMain(int argc, char** argv) {
    const bool death_test_child = IsDeathTestChild(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    unsetenv(platform::kSessionVar);
    const char* inherited = std::getenv(platform::kStateDirVar);
    if (death_test_child && inherited && *inherited) {
        UseParentsTemporaryDirectory(inherited);
        return RUN_ALL_TESTS();
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-test-XXXXXX").string();
    if (pattern.size() >= sizeof state_dir || !mkdtemp(pattern.data())) return 2;
    std::memcpy(state_dir, pattern.c_str(), pattern.size() + 1);
    state_owner = getpid();
    std::atexit(RemoveStateDir);
    setenv(platform::kStateDirVar, state_dir, 1);
    return RUN_ALL_TESTS();
}
