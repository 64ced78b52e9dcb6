// Tests of the private environment file: record format, search and edits.
#include "Hostsys/Env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class EnvFile : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_path = (m_dir.Path() / "NTPriv.env").string();
    }

    void Write(const std::string& bytes) { tavro::testing::WriteFile(m_path, bytes); }
    std::string Contents() const { return tavro::testing::ReadFile(m_path); }

    tavro::testing::TempDir m_dir{"env-test"};
    std::string m_path;
};

enum class Op { kAdd, kAppend, kDelete };

struct Edit {
    Op op;
    std::string name;
    std::string value;
    bool result;
};

struct EditCase {
    const char* what;
    std::string before;
    std::vector<Edit> edits;
    std::string after;
};

TEST_F(EnvFile, EditsLeaveExactBytes) {
    const std::string big2045(2045, 'v');
    const EditCase cases[] = {
        {"first record of an empty file",
         "",
         {{Op::kAdd, "-Port", "9292", true}},
         "10-Port=9292\n"},
        {"add to the end",
         "10-Port=9292\n",
         {{Op::kAdd, "-FF", "100", true}},
         "10-Port=9292\n7-FF=100\n"},
        {"same length rewrites in place",
         "5A=xyz\n3B=c\n",
         {{Op::kAdd, "A", "abc", true}},
         "5A=abc\n3B=c\n"},
        {"longer value blanks the old record and adds at the end",
         "5A=xyz\n3B=c\n",
         {{Op::kAdd, "A", "wxyz", true}},
         "5     \n3B=c\n6A=wxyz\n"},
        {"shorter value is rewritten in place and padded",
         "5A=xyz\n3B=c\n",
         {{Op::kAdd, "A", "q", true}},
         "3A=q\n \n3B=c\n"},
        {"shorter value of a two-digit record",
         "10-Port=9292\n",
         {{Op::kAdd, "-Port", "80", true}},
         "8-Port=80\n  \n"},
        {"append blanks the old record and adds the joined value",
         "4A=ab\n",
         {{Op::kAppend, "A", "x", true}},
         "4    \n5A=abx\n"},
        {"append to a missing name writes nothing",
         "4A=ab\n",
         {{Op::kAppend, "B", "x", false}},
         "4A=ab\n"},
        {"delete the first record",
         "10-Port=9292\n5A=xyz\n",
         {{Op::kDelete, "-Port", "", true}},
         "10          \n5A=xyz\n"},
        {"delete a missing name", "5A=xyz\n", {{Op::kDelete, "B", "", false}}, "5A=xyz\n"},
        {"delete keeps leading zeros of the length",
         "005A=xyz\n3B=c\n",
         {{Op::kDelete, "A", "", true}},
         "005     \n3B=c\n"},
        {"delete keeps a following record that has no separator",
         "5A=xyz3B=c",
         {{Op::kDelete, "A", "", true}, {Op::kAdd, "B", "d", true}},
         "5     3B=d"},
        {"a record is added after a line end of its own",
         "3B=c",
         {{Op::kAdd, "A", "1", true}},
         "3B=c\n3A=1\n"},
        {"an empty record standing last keeps its digits apart",
         "3A=10",
         {{Op::kAdd, "-Port", "1", true}, {Op::kAppend, "A", "2", true}},
         "3   0\n7-Port=1\n4A=12\n"},
        {"records of one name are deleted together",
         "3A=1\n3B=5\n3A=2\n",
         {{Op::kDelete, "A", "", true}},
         "3   \n3B=5\n3   \n"},
        {"a grown value is not shadowed by a later record of its name",
         "3A=1\n3A=2\n",
         {{Op::kAdd, "A", "33", true}, {Op::kAppend, "A", "4", true}},
         "3   \n3   \n4    \n5A=334\n"},
        {"a record before bad data is changed in place only",
         "3A=1\nxx\n",
         {{Op::kAdd, "A", "22", false}, {Op::kAppend, "A", "2", false}, {Op::kAdd, "A", "", true}},
         "2A=\n\nxx\n"},
        {"records separated by CR LF",
         "5A=xyz\r\n3B=c\r\n",
         {{Op::kAdd, "C", "1", true}},
         "5A=xyz\r\n3B=c\r\n3C=1\n"},
        {"name differing in case is another name",
         "3a=1\n",
         {{Op::kAdd, "A", "2", true}},
         "3a=1\n3A=2\n"},
        {"longest record is accepted",
         "",
         {{Op::kAdd, "A", big2045, true}},
         "2047A=" + big2045 + "\n"},
        {"record of 2048 bytes is refused", "", {{Op::kAdd, "A", big2045 + "v", false}}, ""},
        {"append reaching 2048 bytes is refused",
         "2047A=" + big2045 + "\n",
         {{Op::kAppend, "A", "v", false}},
         "2047A=" + big2045 + "\n"},
        {"names that would corrupt the file are refused",
         "3A=1\n",
         {{Op::kAdd, "", "x", false},
          {Op::kAdd, "1A", "x", false},
          {Op::kAdd, " A", "x", false},
          {Op::kAdd, "\tA", "x", false},
          {Op::kAdd, "A=B", "x", false},
          {Op::kAdd, "A\nB", "x", false},
          {Op::kAppend, "", "x", false}},
         "3A=1\n"},
        {"the empty name is not deleted, beside a blanked record",
         "3   \n3A=1\n",
         {{Op::kDelete, "", "", false}, {Op::kDelete, "A", "", true}},
         "3   \n3   \n"},
        {"a length of 2048 ends the scan and nothing is written",
         "2048x\n3A=1\n",
         {{Op::kAdd, "B", "2", false}, {Op::kAdd, "A", "2", false}, {Op::kDelete, "A", "", false}},
         "2048x\n3A=1\n"},
        {"text where a length should stand ends the scan",
         "3A=1\nxx\n3B=2\n",
         {{Op::kAdd, "C", "3", false}, {Op::kAdd, "A", "9", true}},
         "3A=9\nxx\n3B=2\n"},
        {"a record cut short by the end of the file is not written after",
         "10-Port=92",
         {{Op::kAdd, "A", "1", false}},
         "10-Port=92"},
        {"a value with a line feed is kept whole",
         "",
         {{Op::kAdd, "A", "x\ny", true}},
         "5A=x\ny\n"},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.before);
        Env env(m_path);
        ASSERT_TRUE(env.OpenWrite());
        for (const Edit& e : c.edits) {
            SCOPED_TRACE(e.name);
            switch (e.op) {
                case Op::kAdd: EXPECT_EQ(env.AddEnvVar(e.name, e.value), e.result); break;
                case Op::kAppend: EXPECT_EQ(env.AppendEnvVar(e.name, e.value), e.result); break;
                case Op::kDelete: EXPECT_EQ(env.DeleteEnvVar(e.name), e.result); break;
            }
        }
        env.Close();
        EXPECT_EQ(Contents(), c.after);
    }
}

struct ReadCase {
    const char* what;
    std::string file;
    std::string name;
    std::string text;
};

TEST_F(EnvFile, ReadFindsWholeRecordText) {
    const ReadCase cases[] = {
        {"worked example", "10-Port=9292\n", "-Port", "-Port=9292"},
        {"value with equals signs", "7A=b=c=d\n", "A", "A=b=c=d"},
        {"later record", "3A=1\n3B=2\n", "B", "B=2"},
        {"first of two records of one name", "3A=1\n3A=2\n", "A", "A=1"},
        {"empty value", "2A=\n", "A", "A="},
        {"missing name", "3A=1\n", "B", ""},
        {"case differs", "3a=1\n", "A", ""},
        {"name is a prefix only", "4AB=1\n", "A", ""},
        {"empty file", "", "A", ""},
        {"whitespace between records", "  \n\n3A=1\n \t 3B=2", "B", "B=2"},
        {"CR LF line ends", "3A=1\r\n3B=2\r\n", "B", "B=2"},
        {"blanked record is not found by its name", "3   \n", "A", ""},
        {"empty name finds the first blanked record", "3A=1\n3   \n3B=2\n", "", "   "},
        {"empty name finds a record without equals sign", "3abc\n", "", "abc"},
        {"nothing beyond a length of 2048", "2048\n3A=1\n", "A", ""},
        {"nothing beyond a negative length", "-3A=1\n3B=2\n", "B", ""},
        {"nothing beyond a truncated record", "3A=1\n9B=", "B", ""},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.file);
        Env env(m_path);
        EXPECT_EQ(env.ReadEnvVar(c.name), c.text);
    }
}

TEST_F(EnvFile, CreatedFileHoldsAddsInCallOrder) {
    Write("9stale=old\n");
    Env env(m_path);
    ASSERT_TRUE(env.Open(false));
    EXPECT_TRUE(env.AddEnvVar("VANTRIX_HOME", "/opt/vantrix"));
    EXPECT_TRUE(env.AddEnvVar("-Port", "9292"));
    EXPECT_TRUE(env.AddEnvVar("-Affinity", "No"));
    EXPECT_EQ(env.ReadEnvVar("-Port"), "-Port=9292");
    env.Close();
    EXPECT_EQ(Contents(), "25VANTRIX_HOME=/opt/vantrix\n10-Port=9292\n12-Affinity=No\n");
}

TEST_F(EnvFile, DeletedRecordReadsEmptyAndSizeStays) {
    Write("10-Port=9292\n5A=xyz\n");
    Env env(m_path);
    ASSERT_TRUE(env.OpenWrite());
    ASSERT_TRUE(env.DeleteEnvVar("-Port"));
    EXPECT_EQ(env.ReadEnvVar("-Port"), "");
    EXPECT_EQ(env.ReadEnvVar("A"), "A=xyz");
    env.Close();
    EXPECT_EQ(fs::file_size(m_path), 20u);
}

TEST_F(EnvFile, ValueReadsBackAfterEveryKindOfChange) {
    Env env(m_path);
    ASSERT_TRUE(env.OpenWrite());
    const char* values[] = {"abc", "xyz", "a", "longer value", "", "mid"};
    for (const char* v : values) {
        ASSERT_TRUE(env.AddEnvVar("-JVM", v));
        EXPECT_EQ(env.ReadEnvVar("-JVM"), std::string("-JVM=") + v);
    }
    ASSERT_TRUE(env.AppendEnvVar("-JVM", "dle"));
    EXPECT_EQ(env.ReadEnvVar("-JVM"), "-JVM=middle");
}

TEST_F(EnvFile, OpenWriteCreatesMissingFileEmpty) {
    Env env(m_path);
    ASSERT_TRUE(env.OpenWrite());
    EXPECT_TRUE(fs::exists(m_path));
    EXPECT_EQ(fs::file_size(m_path), 0u);
    EXPECT_EQ(env.ReadEnvVar("A"), "");
}

// The file holds the install switches and the account right: it is made
// 0600 whatever the umask, and a link planted in its place is never written
// through.
TEST_F(EnvFile, FileIsPrivateAndALinkInItsPlaceIsRefused) {
    const mode_t saved = ::umask(0);
    const std::string victim = (m_dir.Path() / "victim").string();
    tavro::testing::WriteFile(victim, "precious\n");
    const struct {
        const char* name;
        bool (*open)(Env&);
    } opens[] = {
        {"Open(false)", [](Env& e) { return e.Open(false); }},
        {"OpenWrite", [](Env& e) { return e.OpenWrite(); }},
    };
    for (const auto& o : opens) {
        SCOPED_TRACE(o.name);
        fs::remove(m_path);
        {
            Env env(m_path);
            ASSERT_TRUE(o.open(env));
            EXPECT_TRUE(env.AddEnvVar("-Port", "9292"));
        }
        EXPECT_EQ(fs::status(m_path).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(Contents(), "10-Port=9292\n");
        // A file made readable by all is made private again when written.
        fs::permissions(m_path, fs::perms::all);
        {
            Env env(m_path);
            ASSERT_TRUE(env.OpenWrite());
        }
        EXPECT_EQ(fs::status(m_path).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);

        fs::remove(m_path);
        fs::create_symlink(victim, m_path);
        {
            Env env(m_path);
            if (o.open(env)) env.AddEnvVar("-Port", "1");
        }
        EXPECT_EQ(tavro::testing::ReadFile(victim), "precious\n");
        fs::remove(m_path);
    }
    ::umask(saved);
}

// An edit is made on a private copy that replaces the file when it is
// closed: a hard link another user made to the file keeps the old bytes,
// and no temporary file is left behind.
TEST_F(EnvFile, EditReplacesTheFileInsteadOfWritingIntoIt) {
    {
        Env env(m_path);
        ASSERT_TRUE(env.OpenWrite());
        ASSERT_TRUE(env.AddEnvVar("A", "1"));
    }
    const fs::path other = m_dir.Path() / "other";
    fs::create_hard_link(m_path, other);
    {
        Env env(m_path);
        ASSERT_TRUE(env.OpenWrite());
        EXPECT_TRUE(env.AddEnvVar("B", "2"));
        // Not yet closed: the file still reads as before.
        EXPECT_EQ(Contents(), "3A=1\n");
    }
    EXPECT_EQ(Contents(), "3A=1\n3B=2\n");
    EXPECT_EQ(tavro::testing::ReadFile(other), "3A=1\n");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_dir.Path())) ++files;
    EXPECT_EQ(files, 2u);
}

TEST_F(EnvFile, MissingFileFailsEveryOperation) {
    Env env(m_path);
    EXPECT_FALSE(env.Open(true));
    EXPECT_EQ(env.ReadEnvVar("A"), "");
    EXPECT_FALSE(env.AddEnvVar("A", "1"));
    EXPECT_FALSE(env.DeleteEnvVar("A"));
    EXPECT_FALSE(env.AppendEnvVar("A", "1"));
    EXPECT_FALSE(fs::exists(m_path));
}

TEST_F(EnvFile, FileOpenedForReadingIsNotWritten) {
    Write("3A=1\n");
    Env env(m_path);
    ASSERT_TRUE(env.Open(true));
    EXPECT_FALSE(env.AddEnvVar("A", "2"));
    EXPECT_FALSE(env.AddEnvVar("B", "2"));
    EXPECT_FALSE(env.DeleteEnvVar("A"));
    EXPECT_FALSE(env.AppendEnvVar("A", "2"));
    env.Close();
    EXPECT_EQ(Contents(), "3A=1\n");
}

TEST_F(EnvFile, OpenOnAnOpenFileKeepsItAndFails) {
    Write("3A=1\n");
    Env env(m_path);
    ASSERT_TRUE(env.OpenWrite());
    EXPECT_TRUE(env.Open(false));
    EXPECT_FALSE(env.Good());
    EXPECT_EQ(Contents(), "3A=1\n");
    EXPECT_EQ(env.ReadEnvVar("A"), "A=1");
    EXPECT_TRUE(env.Good());
}

TEST_F(EnvFile, CopyKeepsNameAndLastRecordAndOpensOnItsOwn) {
    Write("3A=1\n");
    Env source(m_path);
    ASSERT_TRUE(source.OpenWrite());
    EXPECT_EQ(source.ReadEnvVar("A"), "A=1");
    Env copy(source);
    Env assigned;
    assigned = source;
    source.Close();
    EXPECT_EQ(copy.ReadEnvVar("A"), "A=1");
    EXPECT_EQ(assigned.ReadEnvVar("A"), "A=1");
}

TEST(EnvRevision, JoinsSourceAndHeaderRevisions) {
    EXPECT_EQ(Env::getRevision(),
              "$Source: Hostsys/Env.cpp,v $ $Revision: 1.9 $ $Name:  $ "
              "$Source: Hostsys/Env.h,v $ $Revision: 1.4 $ $Name:  $");
    EXPECT_NE(std::string(Env::s_pRevisionH).find("Env.h"), std::string::npos);
}

}  // namespace
