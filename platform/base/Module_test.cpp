// Tests of dynamic libraries and module file names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/winbase.h"

namespace {

TEST(ModuleFileName, NullModuleIsTheProgram) {
    std::string expected = std::filesystem::read_symlink("/proc/self/exe").string();
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(std::string(path, n), expected);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

TEST(ModuleFileName, SmallBufferIsCutAndReportsInsufficientBuffer) {
    std::string expected = std::filesystem::read_symlink("/proc/self/exe").string();
    char path[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(path), expected.substr(0, 4));
    EXPECT_EQ(GetModuleFileNameA(nullptr, path, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(DynamicLibrary, LoadLookUpAndFree) {
    HMODULE math = LoadLibraryA("libm.so.6");
    ASSERT_NE(math, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(math, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);

    char path[4096];
    DWORD n = GetModuleFileNameA(math, path, sizeof path);
    std::filesystem::path file(std::string(path, n));
    EXPECT_TRUE(file.is_absolute()) << file;
    EXPECT_EQ(file.filename(), "libm.so.6");
    EXPECT_TRUE(std::filesystem::exists(file)) << file;

    EXPECT_EQ(GetProcAddress(math, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(math, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(1))), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    // Each load needs its own free; after the last one the handle is gone.
    ASSERT_EQ(LoadLibraryA("libm.so.6"), math);
    EXPECT_TRUE(FreeLibrary(math));
    EXPECT_NE(GetProcAddress(math, "cos"), nullptr);
    EXPECT_TRUE(FreeLibrary(math));
    EXPECT_EQ(GetProcAddress(math, "cos"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(math));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(DynamicLibrary, MissingLibraryOrUnknownHandleGivesModNotFound) {
    EXPECT_EQ(LoadLibraryA("NOSUCHLIBRARY32"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    int notAModule = 0;
    char path[64];
    EXPECT_EQ(GetProcAddress(&notAModule, "cos"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleFileNameA(&notAModule, path, sizeof path), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(&notAModule));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
