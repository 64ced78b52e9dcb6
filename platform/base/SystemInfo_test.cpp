// Tests of the system version and processor, the computer and user names and the environment
// variables.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/winbase.h"

namespace {

TEST(SystemVersion, IsTheNtFamilyAtTheRegistrysVersion) {
    const DWORD version = GetVersion();
    EXPECT_EQ(version & 0x80000000u, 0u);
    EXPECT_EQ(version & 0xFF, 6u);
    EXPECT_EQ(version >> 8 & 0xFF, 3u);
}

TEST(SystemInfo, NamesThisMachinesProcessor) {
    SYSTEM_INFO info;
    std::memset(&info, 0xAB, sizeof info);
    GetSystemInfo(&info);
#if defined(__x86_64__)
    EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
#endif
    EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    GetSystemInfo(nullptr);  // ignored
}

TEST(ComputerName, IsTheHostNameUpToItsFirstDot) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string expected(host);
    expected = expected.substr(0, expected.find('.')).substr(0, MAX_COMPUTERNAME_LENGTH);

    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(std::string(name), expected);
    EXPECT_EQ(size, expected.size());
}

TEST(ComputerName, SmallBufferGivesBufferOverflowAndTheSizeNeeded) {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    DWORD length = size;

    DWORD small = length;  // no room for the NUL
    EXPECT_FALSE(GetComputerNameA(name, &small));
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(small, length + 1);
    DWORD none = 0;
    EXPECT_FALSE(GetComputerNameA(nullptr, &none));
    EXPECT_EQ(none, length + 1);
    EXPECT_FALSE(GetComputerNameA(name, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(UserName, IsTheEffectiveUserAndCountsTheNul) {
    passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    std::string expected = entry->pw_name;

    char name[512];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetUserNameA(name, &size));
    EXPECT_EQ(std::string(name), expected);
    EXPECT_EQ(size, expected.size() + 1);

    DWORD small = static_cast<DWORD>(expected.size());
    EXPECT_FALSE(GetUserNameA(name, &small));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, expected.size() + 1);
}

TEST(EnvironmentVariables, SetGetAndRemove) {
    ASSERT_TRUE(SetEnvironmentVariableA("TAVRO_TEST_VAR", "C:\\Vantrix"));
    char buffer[32];
    EXPECT_EQ(GetEnvironmentVariableA("TAVRO_TEST_VAR", buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "C:\\Vantrix");

    // Too small: the size needed with the NUL, nothing copied.
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetEnvironmentVariableA("TAVRO_TEST_VAR", buffer, 10), 11u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetEnvironmentVariableA("TAVRO_TEST_VAR", nullptr, 0), 11u);

    ASSERT_TRUE(SetEnvironmentVariableA("TAVRO_TEST_VAR", ""));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetEnvironmentVariableA("TAVRO_TEST_VAR", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

    ASSERT_TRUE(SetEnvironmentVariableA("TAVRO_TEST_VAR", nullptr));
    EXPECT_EQ(GetEnvironmentVariableA("TAVRO_TEST_VAR", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
    EXPECT_TRUE(SetEnvironmentVariableA("TAVRO_TEST_VAR", nullptr));
}

TEST(EnvironmentVariables, BadNamesAreRejected) {
    for (const char* name : {static_cast<const char*>(nullptr), "", "A=B"}) {
        EXPECT_FALSE(SetEnvironmentVariableA(name, "v")) << (name ? name : "(null)");
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

}  // namespace
