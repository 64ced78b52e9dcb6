// Tests of the platform's system directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/PlatformState.h"
#include "platform/winbase.h"

namespace {

TEST(SystemDirectory, LiesInTheStateDirectoryAndExists) {
    char buffer[MAX_PATH];
    UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    ASSERT_GT(length, 0u);
    std::string dir(buffer, length);
    EXPECT_EQ(dir, (platform::StateDir() / "System32").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir));
}

TEST(SystemDirectory, SmallBufferGivesSizeNeeded) {
    char buffer[MAX_PATH];
    UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    char small[2] = {'x', 'y'};
    EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), length + 1);
    EXPECT_EQ(small[0], 'x');
}

}  // namespace
