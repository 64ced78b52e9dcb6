// GoogleTest main: each test process gets a fresh platform state directory,
// removed again when the process ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/PlatformState.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-test-XXXXXX").string();
    const char* dir = mkdtemp(pattern.data());
    if (!dir) return 2;
    setenv(platform::kStateDirVar, dir, 1);
    unsetenv(platform::kSessionVar);
    int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}
