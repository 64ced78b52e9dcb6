// Tests of the private-profile calls: reading values with their defaults and
// cuts, and writing keys into existing files without disturbing other bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/winbase.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ReadFile;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

std::string Get(const std::string& file, const char* section, const char* key,
                const char* defaultValue = "", DWORD size = 255) {
    std::vector<char> buffer(size + 1, 'X');
    DWORD n =
        GetPrivateProfileStringA(section, key, defaultValue, buffer.data(), size, file.c_str());
    EXPECT_EQ(buffer[n], '\0');
    return std::string(buffer.data(), n);
}

constexpr char kSample[] =
    "; vendor settings\r\n"
    "top=before any section\r\n"
    "[Configuration]\r\n"
    "MaxArchives = 5 \r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Half=\"open\r\n"
    "Empty=\r\n"
    "NoEquals\r\n"
    "Dup=first\r\n"
    "Dup=second\r\n"
    "\r\n"
    "[ Other ]\r\n"
    "MaxArchives=9\r\n"
    "[configuration]\r\n"
    "Late=later section of the same name\r\n";

struct ReadCase {
    const char* section;
    const char* key;
    const char* defaultValue;
    const char* expected;
    DWORD lastError;
};

TEST(PrivateProfile, ReadsValuesByNamesWithoutRegardToCase) {
    TempDir dir;
    std::string file = (dir.Path() / "vrn_config.INI").string();
    WriteFile(file, kSample);
    const ReadCase cases[] = {
        {"Configuration", "MaxArchives", "", "5", ERROR_SUCCESS},
        {"CONFIGURATION", "maxarchives", "", "5", ERROR_SUCCESS},
        {"Configuration", "Quoted", "", "  spaced  ", ERROR_SUCCESS},
        {"Configuration", "Single", "", "x", ERROR_SUCCESS},
        {"Configuration", "Half", "", "\"open", ERROR_SUCCESS},
        {"Configuration", "Empty", "dflt", "", ERROR_SUCCESS},
        {"Configuration", "NoEquals", "dflt", "dflt", ERROR_FILE_NOT_FOUND},
        {"Configuration", "Dup", "", "first", ERROR_SUCCESS},
        {"Configuration", "Late", "d", "d", ERROR_FILE_NOT_FOUND},
        {"Other", "MaxArchives", "", "9", ERROR_SUCCESS},
        {"Missing", "MaxArchives", "none  ", "none", ERROR_FILE_NOT_FOUND},
        {"Configuration", "top", nullptr, "", ERROR_FILE_NOT_FOUND},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(Get(file, c.section, c.key, c.defaultValue), c.expected);
        EXPECT_EQ(GetLastError(), c.lastError);
    }
}

TEST(PrivateProfile, MissingFileGivesTheDefault) {
    TempDir dir;
    EXPECT_EQ(Get((dir.Path() / "absent.ini").string(), "S", "K", "fallback"), "fallback");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(dir.Path().string(), "S", "K", "dir"), "dir") << "a directory is no file";
}

TEST(PrivateProfile, CutsToTheBufferSize) {
    TempDir dir;
    std::string file = (dir.Path() / "a.ini").string();
    WriteFile(file, "[S]\nK=abcdef\n");
    EXPECT_EQ(Get(file, "S", "K", "", 4), "abc");
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(Get(file, "S", "K", "", 1), "");
    EXPECT_EQ(Get(file, "S", "Nope", "longdefault", 5), "long");
    char untouched = 'X';
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", &untouched, 0, file.c_str()), 0u);
    EXPECT_EQ(untouched, 'X');
}

TEST(PrivateProfile, ReadsLfAndUnterminatedFiles) {
    TempDir dir;
    std::string file = (dir.Path() / "a.ini").string();
    const char bytes[] = "[S]\nA=1\nB=with\0nul\nC=last";
    WriteFile(file, std::string(bytes, sizeof bytes - 1));
    EXPECT_EQ(Get(file, "S", "A"), "1");
    EXPECT_EQ(Get(file, "s", "c"), "last");
    EXPECT_EQ(Get(file, "S", "B").substr(0, 4), "with");
}

struct WriteCase {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

TEST(PrivateProfile, WriteReplacesOrAppendsKeepingOtherBytes) {
    const WriteCase cases[] = {
        {"replace keeps the line end and other lines",
         "; c\r\n[Cfg]\r\nA=1\r\nb = 2\r\n[X]\r\nB=3\r\n", "cfg", "B", "new",
         "; c\r\n[Cfg]\r\nA=1\r\nB=new\r\n[X]\r\nB=3\r\n"},
        {"append after the section's last line, before blanks", "[Cfg]\r\nA=1\r\n\r\n[X]\r\n",
         "Cfg", "C", " ", "[Cfg]\r\nA=1\r\nC= \r\n\r\n[X]\r\n"},
        {"append to a section at the end without a line end", "[Cfg]\nA=1", "Cfg", "C", "3",
         "[Cfg]\nA=1\nC=3"},
        {"append to an empty section header", "[Cfg]\n", "Cfg", "C", "3", "[Cfg]\nC=3\n"},
        {"new section after an unterminated last line", "[X]\nA=1", "Cfg", "C", "3",
         "[X]\nA=1\n[Cfg]\nC=3\n"},
        {"new section in an empty file", "", "Configuration", "Time", "now",
         "[Configuration]\r\nTime=now\r\n"},
        {"value kept untrimmed", "[S]\r\n", "S", "K", " a b ", "[S]\r\nK= a b \r\n"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string file = (dir.Path() / "vrn.ini").string();
        WriteFile(file, c.before);
        ASSERT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, file.c_str()));
        EXPECT_EQ(ReadFile(file), c.after);
    }
}

TEST(PrivateProfile, WriteCreatesTheFileWithItsOwnMode) {
    TempDir dir;
    std::string file = (dir.Path() / "new.ini").string();
    mode_t old = umask(0);
    BOOL ok = WritePrivateProfileStringA("S", "K", "v", file.c_str());
    umask(old);
    ASSERT_TRUE(ok);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(Get(file, "s", "k"), "v");
    EXPECT_EQ(std::filesystem::directory_iterator(dir.Path())->path().filename(), "new.ini")
        << "no temporary file is left";
}

TEST(PrivateProfile, WriteRefusesBadArgumentsAndLinks) {
    TempDir dir;
    std::string file = (dir.Path() / "a.ini").string();
    WriteFile(file, "[S]\r\nK=1\r\n");
    const char* bad[][3] = {
        {nullptr, "K", "v"}, {"S", nullptr, "v"}, {"S", "K", nullptr}, {"S", "K", "two\r\nlines"},
        {"S]", "K", "v"},    {"S", "K=", "v"},    {"S", "", "v"},      {"S\n", "K", "v"}};
    for (auto& args : bad) {
        EXPECT_FALSE(WritePrivateProfileStringA(args[0], args[1], args[2], file.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(ReadFile(file), "[S]\r\nK=1\r\n");

    std::string link = (dir.Path() / "link.ini").string();
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "2", link.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFile(file), "[S]\r\nK=1\r\n");

    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "v",
                                            (dir.Path() / "missing" / "a.ini").string().c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(PrivateProfile, HugeFilesAreRefusedUntouched) {
    TempDir dir;
    std::string file = (dir.Path() / "big.ini").string();
    WriteFile(file, "[S]\nK=1\n" + std::string(17 * 1024 * 1024, ';'));
    EXPECT_EQ(Get(file, "S", "K", "d"), "d");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "2", file.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

}  // namespace
