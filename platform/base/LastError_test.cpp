// Tests of the last error and the layer's message texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/winbase.h"

namespace {

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 1;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(LastError, MapsErrno) {
    struct Case {
        int err;
        DWORD code;
    };
    const Case cases[] = {{0, ERROR_SUCCESS},
                          {ENOENT, ERROR_FILE_NOT_FOUND},
                          {EACCES, ERROR_ACCESS_DENIED},
                          {EBADF, ERROR_INVALID_HANDLE},
                          {EEXIST, ERROR_ALREADY_EXISTS},
                          {EINVAL, ERROR_INVALID_PARAMETER}};
    for (const Case& c : cases) EXPECT_EQ(platform::Win32FromErrno(c.err), c.code) << c.err;
}

TEST(FormatMessage, EveryTableCodeHasASystemText){
#define WIN_ERROR(name, value, text)                                                             \
    {                                                                                            \
        char* message = nullptr;                                                                 \
        DWORD n =                                                                                \
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |         \
                               FORMAT_MESSAGE_IGNORE_INSERTS,                                    \
                           nullptr, value, 1024, reinterpret_cast<LPSTR>(&message), 0, nullptr); \
        ASSERT_GT(n, 0u) << #name;                                                               \
        EXPECT_EQ(std::string(message), std::string(text) + "\r\n") << #name;                    \
        LocalFree(message);                                                                      \
    }
#include "platform/winerror.def"
#undef WIN_ERROR
}

TEST(FormatMessage, UnknownCodeFailsWithMessageNotFound) {
    char buffer[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x0BADC0DE, 0, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessage, SmallBufferFails) {
    char buffer[4];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(FormatMessage, ExpandsInsertsFromArgumentArray) {
    const char* inserts[] = {"one", "two"};
    char buffer[64];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "a %2 b %1", 0,
                       0, buffer, sizeof buffer, reinterpret_cast<va_list*>(inserts));
    EXPECT_EQ(std::string(buffer, n), "a two b one");
}

}  // namespace
