// Tests of the key files: name checks, lookup by exact and case-folded name, reading and
// normalising keys.
#include "jexlink/session/JexKeyFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "testing/support/TempDir.h"

namespace {

using tavro::testing::TempDir;
using tavro::testing::WriteFile;

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

JexString Name(const std::string& bytes) {
    return JexString::FromBytes(bytes.data(), static_cast<int>(bytes.size()));
}

JexString PathIn(const TempDir& dir, const char* name) {
    return JexString((dir.Path() / name).string().c_str());
}

TEST(JexKeyFile, SafeNameRefusesPathCharacters) {
    struct Case {
        std::string name;
        bool safe;
    } cases[] = {
        {"NORTH", true},
        {"", true},
        {"node.one", true},
        {".", true},
        {"a/b", false},
        {"a\\b", false},
        {"..", false},
        {"../KEYS", false},
        {"x..y", false},
        {std::string("NORTH\0/x", 8), false},
        {std::string("NORTH\0", 6), false},
    };
    for (const Case& c : cases) EXPECT_EQ(JexKeyFile::SafeName(Name(c.name)), c.safe) << c.name;
}

TEST(JexKeyFile, NormalisesFirstLine) {
    struct Case {
        const char* label;
        std::string line;
        std::string key;
    } cases[] = {
        {"six letters and more text", "Secret more", std::string("secret\0\0", 8)},
        {"empty", "", ""},
        {"eight stay eight", "ABCDEFGH", "abcdefgh"},
        {"nine become sixteen", "abcdefghi", std::string("abcdefghi\0\0\0\0\0\0\0", 16)},
        {"tab ends it", "ab\tcd", std::string("ab\0\0\0\0\0\0", 8)},
        {"carriage return ends it", "abc\r", std::string("abc\0\0\0\0\0", 8)},
        {"NUL ends it", std::string("ab\0cd", 5), std::string("ab\0\0\0\0\0\0", 8)},
        {"leading blank gives empty", " abc", ""},
        {"only A to Z fold", "Z9\xC4@[", std::string("z9\xC4@[\0\0\0", 8)},
    };
    for (const Case& c : cases) {
        JexBuffer key("old key bytes");
        JexKeyFile::Normalise(c.line.data(), static_cast<int>(c.line.size()), key);
        EXPECT_EQ(Bytes(key), c.key) << c.label;
    }
}

TEST(JexKeyFile, ReadsFirstLineOnly) {
    TempDir dir("keys");
    struct Case {
        const char* label;
        std::string content;
        std::string key;
    } cases[] = {
        {"LF", "Alpha\nbeta\n", std::string("alpha\0\0\0", 8)},
        {"CR LF", "Alpha\r\nbeta\r\n", std::string("alpha\0\0\0", 8)},
        {"no line end", "Alpha", std::string("alpha\0\0\0", 8)},
        {"empty file", "", ""},
        {"empty first line", "\nAlpha\n", ""},
        {"overlong line", std::string(1100, 'K'), std::string(1023, 'k') + '\0'},
    };
    for (const Case& c : cases) {
        WriteFile(dir.Path() / "key", c.content);
        FILE* f = JexKeyFile::Open(PathIn(dir, "key"));
        ASSERT_NE(f, nullptr) << c.label;
        JexBuffer key;
        EXPECT_EQ(JexKeyFile::Read(f, key), 0) << c.label;
        std::fclose(f);
        EXPECT_EQ(Bytes(key), c.key) << c.label;
    }
}

TEST(JexKeyFile, ReadErrorGivesErrnoAndEmptyKey) {
    FILE* f = std::fopen(".", "r");  // a directory: opens, then reading fails
    ASSERT_NE(f, nullptr);
    JexBuffer key("stale");
    EXPECT_EQ(JexKeyFile::Read(f, key), EISDIR);
    std::fclose(f);
    EXPECT_EQ(key.Length(), 0);
}

TEST(JexKeyFile, OpenPrefersExactNameThenAnyCase) {
    TempDir dir("keys");
    WriteFile(dir.Path() / "MD5-NORTH-SOUTH", "exact\n");
    WriteFile(dir.Path() / "md5-north-south", "lower\n");
    WriteFile(dir.Path() / "md5-East-West", "first\n");
    WriteFile(dir.Path() / "Md5-East-West", "second\n");
    struct Case {
        const char* name;
        const char* key;
    } cases[] = {
        {"MD5-NORTH-SOUTH", "exact"},
        {"md5-north-south", "lower"},
        {"MD5-EAST-WEST", "second"},  // of two matches, "Md5-..." comes first in byte order
    };
    for (const Case& c : cases) {
        FILE* f = JexKeyFile::Open(PathIn(dir, c.name));
        ASSERT_NE(f, nullptr) << c.name;
        JexBuffer key;
        JexKeyFile::Read(f, key);
        std::fclose(f);
        EXPECT_STREQ(key.Data(), c.key) << c.name;
    }
}

TEST(JexKeyFile, OpenRefusesWhatIsNotARegularFile) {
    TempDir dir("keys");
    ASSERT_EQ(mkdir((dir.Path() / "MD5-A-B").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((dir.Path() / "MD5-C-D").c_str(), 0600), 0);
    struct Case {
        const char* dir;
        const char* name;
        int err;
    } cases[] = {
        {nullptr, "MD5-A-B", EISDIR},
        {nullptr, "MD5-C-D", EINVAL},  // a pipe nobody writes to must not block the open
        {nullptr, "MD5-E-F", ENOENT},
        {"/nonexistent-key-directory/", "MD5-A-B", ENOENT},
    };
    for (const Case& c : cases) {
        errno = 0;
        JexString path = c.dir ? JexString(c.dir) + c.name : PathIn(dir, c.name);
        EXPECT_EQ(JexKeyFile::Open(path), nullptr) << c.name;
        EXPECT_EQ(errno, c.err) << c.name;
    }
}

}  // namespace

namespace {

// A key that other users may change is still used, with one warning line.
TEST(JexKeyFile, KeyWritableByOthersIsUsedWithOneWarning) {
    TempDir dir("keyfile-mode");
    WriteFile(dir.Path() / "MD5-A-B", "secret\n");
    const JexString path = PathIn(dir, "MD5-A-B");
    for (const mode_t mode : {0600, 0620, 0606}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(path.Text(), mode), 0);
        ::testing::internal::CaptureStderr();
        FILE* file = JexKeyFile::Open(path);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        EXPECT_EQ(err, mode == 0600 ? std::string()
                                    : "Warning: key file " + std::string(path.Text()) +
                                          " can be written by other users\n");
    }
}

}  // namespace
