// Tests of the data file reader: the line syntax over small fixture files, errors and rewinding.
#include "jexlink/core/JexDataFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

using Lines = std::vector<std::vector<std::string>>;

// Every logical line of a file, read up to the first code that is not OK.
Lines ReadAll(JexDataFile& file) {
    Lines lines;
    for (;;) {
        JexFieldedString& fields = file.NextLine();
        if (file.Code() != JexDataFile::OK) {
            EXPECT_EQ(fields.Count(), 0);
            break;
        }
        EXPECT_EQ(fields.Count(), file.FieldCount());
        std::vector<std::string> line;
        for (int i = 0; i < fields.Count(); ++i) line.emplace_back(fields[i].Text());
        lines.push_back(line);
    }
    return lines;
}

class JexDataFileTest : public ::testing::Test {
protected:
    std::string Fixture(const std::string& name, const std::string& bytes) {
        const std::filesystem::path path = dir_.Path() / name;
        tavro::testing::WriteFile(path, bytes);
        return path.string();
    }

    tavro::testing::TempDir dir_{"jexdatafile"};
};

TEST_F(JexDataFileTest, LineSyntax) {
    struct Case {
        const char* name;
        std::string bytes;
        Lines expected;
        int endCode;
    } cases[] = {
        {"empty", "", {}, JexDataFile::END_OF_FILE},
        {"only-comments", "# comment\n\n   \n\t# indented comment\n", {}, JexDataFile::END_OF_FILE},
        {"blanks-and-commas",
         "one  two,three\n",
         {{"one", "two", "three"}},
         JexDataFile::END_OF_FILE},
        {"double-comma", "a,,b\n", {{"a", "b"}}, JexDataFile::END_OF_FILE},
        {"only-separators", ",,\n , \t\na\n,\n", {{"a"}}, JexDataFile::END_OF_FILE},
        {"tabs-and-runs", "\t a \t, ,b\t\n", {{"a", "b"}}, JexDataFile::END_OF_FILE},
        {"quoted-first",
         "\"two words\" third\n",
         {{"two words", "third"}},
         JexDataFile::END_OF_FILE},
        {"quoted-last",
         "KEY \"a message, with # in it\"\n",
         {{"KEY", "a message, with # in it"}},
         JexDataFile::END_OF_FILE},
        {"quoted-empty", "\"\" x\n", {{"", "x"}}, JexDataFile::END_OF_FILE},
        {"comment-after-quoted-hash",
         "\"a#b\" c # the rest\n",
         {{"a#b", "c"}},
         JexDataFile::END_OF_FILE},
        {"quote-inside-field", "ab\"c d\"e f\n", {{"ab\"c d\"e", "f"}}, JexDataFile::END_OF_FILE},
        {"unbalanced-quote", "a \"b c, d\n", {{"a", "\"b c, d"}}, JexDataFile::END_OF_FILE},
        {"lone-quote", "a \"\n", {{"a", "\""}}, JexDataFile::END_OF_FILE},
        {"continued",
         "first \\\n   second\nthird\\\nfourth\n",
         {{"first", "second"}, {"thirdfourth"}},
         JexDataFile::END_OF_FILE},
        {"continued-comment", "a \\ # why\n b\n", {{"a", "b"}}, JexDataFile::END_OF_FILE},
        {"continuation-ended-by-blank", "a \\\n\nb\n", {{"a"}, {"b"}}, JexDataFile::END_OF_FILE},
        {"crlf", "a b\r\nc\r\n", {{"a", "b"}, {"c"}}, JexDataFile::END_OF_FILE},
        {"crlf-continued", "x \\\r\n y\r\n# c\r\n", {{"x", "y"}}, JexDataFile::END_OF_FILE},
        {"no-final-newline", "a b", {{"a", "b"}}, JexDataFile::END_OF_FILE},
        {"nul-ends-the-line",
         std::string("a b\0c d\ne\n", 10),
         {{"a", "b"}, {"e"}},
         JexDataFile::END_OF_FILE},
        {"continued-at-end", "a\nb \\\n", {{"a"}}, JexDataFile::CONTINUED_AT_EOF},
        {"continued-at-end-no-newline", "a \\", {}, JexDataFile::CONTINUED_AT_EOF},
        {"lone-backslash-at-end", "a\n\\\n", {{"a"}}, JexDataFile::END_OF_FILE},
    };
    for (const Case& c : cases) {
        JexDataFile file(Fixture(c.name, c.bytes).c_str(), 0);
        ASSERT_EQ(file.Code(), JexDataFile::OK) << c.name;
        EXPECT_EQ(ReadAll(file), c.expected) << c.name;
        EXPECT_EQ(file.Code(), c.endCode) << c.name;
        EXPECT_EQ(file.LogicalLines(), static_cast<int32_t>(c.expected.size())) << c.name;
    }
}

TEST_F(JexDataFileTest, LongLinesAreNeverSplit) {
    for (const size_t length : {size_t{1500}, size_t{1023}, size_t{100000}}) {
        const std::string word(length, 'w');
        JexDataFile file(Fixture("long", word + " tail\nnext\n").c_str(), 0);
        const Lines expected = {{word, "tail"}, {"next"}};
        EXPECT_EQ(ReadAll(file), expected) << length;
        EXPECT_EQ(file.PhysicalLines(), 2) << length;
    }
}

TEST_F(JexDataFileTest, LineBeyondTheLimitIsRefused) {
    const std::string atLimit(static_cast<size_t>(JexDataFile::kMaxLineLength), 'x');
    JexDataFile fits(Fixture("fits", atLimit + "\n").c_str(), 0);
    EXPECT_EQ(fits.NextLine()[0].Length(), JexDataFile::kMaxLineLength);
    EXPECT_EQ(fits.Code(), JexDataFile::OK);

    JexDataFile tooLong(Fixture("too-long", "first\n" + atLimit + "x\nafter\n").c_str(), 0);
    EXPECT_EQ(tooLong.NextLine().Count(), 1);
    EXPECT_EQ(tooLong.NextLine().Count(), 0);
    EXPECT_EQ(tooLong.Code(), JexDataFile::LINE_TOO_LONG);
    EXPECT_EQ(tooLong.Args()[1].GetLong(), 2);  // the physical line
    EXPECT_EQ(tooLong.NextLine().Count(), 0);   // nothing more until Rewind
    tooLong.Rewind();
    EXPECT_STREQ(tooLong.NextLine()[0].Text(), "first");
}

TEST_F(JexDataFileTest, CountsAndRewind) {
    const std::string path = Fixture("counts", "# header\na b c\n\nd \\\ne\n");
    JexDataFile file(JexString(path.c_str()), 0);
    EXPECT_EQ(file.NextLine().Count(), 3);
    EXPECT_EQ(file.PhysicalLines(), 2);
    EXPECT_EQ(file.LogicalLines(), 1);
    EXPECT_EQ(file.NextLine().Count(), 2);
    EXPECT_EQ(file.PhysicalLines(), 5);
    EXPECT_EQ(file.LogicalLines(), 2);
    EXPECT_EQ(file.NextLine().Count(), 0);
    EXPECT_EQ(file.Code(), JexDataFile::END_OF_FILE);
    EXPECT_EQ(file.NextLine().Count(), 0);

    file.Rewind();
    EXPECT_EQ(file.Code(), JexDataFile::OK);
    EXPECT_EQ(file.PhysicalLines(), 0);
    EXPECT_EQ(file.LogicalLines(), 0);
    EXPECT_EQ(file.FieldCount(), 0);
    JexFieldedString& first = file.NextLine();
    ASSERT_EQ(first.Count(), 3);
    EXPECT_STREQ(first[0].Text(), "a");
    EXPECT_EQ(&first, &file.Fields());
    EXPECT_EQ(file.LogicalLines(), 1);
}

TEST_F(JexDataFileTest, RewindReadsAgainAfterContinuationAtEnd) {
    JexDataFile file(Fixture("cont", "a\nb \\\n").c_str(), 0);
    const Lines expected = {{"a"}};
    EXPECT_EQ(ReadAll(file), expected);
    EXPECT_EQ(file.Code(), JexDataFile::CONTINUED_AT_EOF);
    EXPECT_EQ(file.Args()[1].GetLong(), 2);
    file.Rewind();
    EXPECT_EQ(ReadAll(file), expected);
}

TEST_F(JexDataFileTest, OpenFailureIsRecordedWithPathAndCause) {
    const std::string missing = (dir_.Path() / "missing.dat").string();
    testing::internal::CaptureStderr();
    JexDataFile file(missing.c_str(), 1);
    JexFieldedString& fields = file.NextLine();
    file.Rewind();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // only recorded
    EXPECT_EQ(file.Code(), JexDataFile::OPENFAIL);
    EXPECT_EQ(fields.Count(), 0);
    ASSERT_NE(file.Cause(), nullptr);
    EXPECT_EQ(file.Cause()->Code(), ENOENT);
    EXPECT_STREQ(file.Args()[0].Data(), "JexPrivLock::fopen()");
    const JexString text = file.Describe(1);
    EXPECT_NE(std::string(text.Text()).find("JexDataFile::OPENFAIL, Error opening file " + missing),
              std::string::npos)
        << text.Text();
}

TEST_F(JexDataFileTest, OnlyRegularFilesAreOpened) {
    JexDataFile directory(dir_.Path().string().c_str(), 0);
    EXPECT_EQ(directory.Code(), JexDataFile::OPENFAIL);
    ASSERT_NE(directory.Cause(), nullptr);
    EXPECT_EQ(directory.Cause()->Code(), EISDIR);

    JexDataFile none(static_cast<const char*>(nullptr), 0);
    EXPECT_EQ(none.Code(), JexDataFile::OPENFAIL);

    // A pipe with no writer must not block the open.
    const std::string fifo = (dir_.Path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] {
        JexDataFile file(fifo.c_str(), 0);
        return file.Code();
    });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // let the reader go
        if (writer >= 0) close(writer);
        FAIL() << "opening a pipe blocked";
    }
    EXPECT_EQ(opened.get(), JexDataFile::OPENFAIL);
}

TEST(JexDataFileTable, Rows) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    } rows[] = {
        {JexDataFile::OK, "JexDataFile::OK", "Operation successful"},
        {JexDataFile::END_OF_FILE, "JexDataFile::END_OF_FILE", "End of file"},
        {JexDataFile::OPENFAIL, "JexDataFile::OPENFAIL", "Error opening file %1$s"},
        {JexDataFile::CONTINUED_AT_EOF, "JexDataFile::CONTINUED_AT_EOF",
         "Line %1$d is continued at end of file"},
        {JexDataFile::LINE_TOO_LONG, "JexDataFile::LINE_TOO_LONG",
         "Line %1$d is longer than %2$d bytes"},
    };
    JexDataFile file(static_cast<const char*>(nullptr), 0);
    EXPECT_EQ(rows[0].code, 0);
    EXPECT_EQ(rows[1].code, 1);
    EXPECT_EQ(rows[2].code, 2);
    for (const Row& row : rows) {
        EXPECT_STREQ(file.CodeName(row.code).Text(), row.name);
        EXPECT_STREQ(file.Text(row.code).Text(), row.text);
        EXPECT_EQ(file.CodeFromName(row.name), row.code);
    }
}

}  // namespace
