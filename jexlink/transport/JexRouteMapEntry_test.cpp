// Tests of route map file lines: parsing, the lookup order, what an append may write, whole-line
// reading.
#include "jexlink/transport/JexRouteMapEntry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(JexRouteMapEntry, ParsesFileLines) {
    struct Case {
        std::string line;
        bool entry;
        const char* pattern = "";
        const char* address = "";
        int preference = 0;
        const char* flags = "";
    } const cases[] = {
        {"Sys/Node/App\tT/Host/1234  0 f # comment\n", true, "sys/node/app", "t/host/1234", 255,
         "F"},
        {"sys/node/app t/h/1 10 rx\n", true, "sys/node/app", "t/h/1", 10, "RX"},
        {"sys\n", true, "sys", "", 255, ""},
        {"a\n", true, "a", "", 255, ""},  // one character and the newline
        {"a", false},
        {"a#x\n", false},  // the comment takes the newline too
        {"\n", false},
        {"# only a comment\n", false},
        {"   \t \r\n", false},
        {"  p   a   7   f   extra fields\n", true, "p", "a", 7, "F"},
        {"p a 0x10\n", true, "p", "a", 16, ""},
        {"p a 010\n", true, "p", "a", 8, ""},
        {"p a -3\n", true, "p", "a", -3, ""},
        {"p a nonsense\n", true, "p", "a", 255, ""},
        {"p a 99999999999999\n", true, "p", "a", 2147483647, ""},
        {"p a -0 # learned with preference 0\n", true, "p", "a", 0, ""},
        {"p a 00\n", true, "p", "a", 255, ""},
        {"p\r\na 5\n", true, "p", "a", 5, ""},  // CR is a separator
        {"p\x01\x1f"
         "a\n",
         true, "p", "a", 255, ""},
        {std::string("p a\0 9\n", 7), true, "p", "a", 255, ""},       // a NUL ends the line
        {"S\xc9Z/N a 1 \xe9z\n", true, "s\xc9z/n", "a", 1, "\xe9Z"},  // only A-Z fold
    };
    for (const Case& c : cases) {
        JexRouteMapEntry e;
        ASSERT_EQ(e.ParseLine(c.line), c.entry) << c.line;
        if (!c.entry) continue;
        EXPECT_STREQ(e.pattern.Text(), c.pattern) << c.line;
        EXPECT_STREQ(e.address.Text(), c.address) << c.line;
        EXPECT_EQ(e.preference, c.preference) << c.line;
        EXPECT_STREQ(e.flags.Text(), c.flags) << c.line;
        EXPECT_EQ(e.score, JexRouteMapEntry::Score(c.pattern)) << c.line;
    }
}

TEST(JexRouteMapEntry, ScoreCountsPatternParts) {
    struct Case {
        const char* pattern;
        int score;
    } const cases[] = {{"", 0},      {"sys", 1},     {"sys/node", 2}, {"sys/node/app", 3},
                       {"sys//", 3}, {"a/b/c/d", 4}, {nullptr, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(JexRouteMapEntry::Score(c.pattern), c.score) << (c.pattern ? c.pattern : "null");
}

TEST(JexRouteMapEntry, LookupOrder) {
    struct Case {
        JexRouteMapEntry first;
        JexRouteMapEntry second;
    } const cases[] = {
        // More specific first, whatever the preferences.
        {{"*/*/app", "t/a/1", 200, ""}, {"sys", "t/b/1", 1, ""}},
        {{"a/b/c", "t/a/1", 5, ""}, {"a/b/c", "t/a/1", 10, ""}},
        {{"a/b/c", "t/a/1", -2147483647 - 1, ""}, {"a/b/c", "t/a/1", 2147483647, ""}},
        {{"a/b/c", "t/a/1", 5, ""}, {"a/b/d", "t/a/1", 5, ""}},
        {{"a/b/c", "t/a/1", 5, ""}, {"a/b/c", "t/a/2", 5, ""}},
    };
    for (const Case& c : cases) {
        EXPECT_LT(JexRouteMapEntry::Compare(c.first, c.second), 0) << c.first.pattern.Text();
        EXPECT_GT(JexRouteMapEntry::Compare(c.second, c.first), 0) << c.first.pattern.Text();
    }
    const JexRouteMapEntry a("a/b/c", "t/a/1", 5, "X");
    const JexRouteMapEntry b("a/b/c", "t/a/1", 5, "Y");
    EXPECT_EQ(JexRouteMapEntry::Compare(a, b), 0);  // flags do not order
}

TEST(JexRouteMapEntry, StorableEntriesReadBackIdentically) {
    struct Case {
        JexRouteMapEntry entry;
        bool storable;
    } const cases[] = {
        {{"sys/node/*", "t/host/jex_nsd", 255, ""}, true},
        {{"Sys/Node/App", "T/Host/1", 0, "fr"}, true},
        {{"a/b/c", "t/h/1", -7, "F"}, true},
        {{"a/\xe9/c", "t/h/1", 1, ""}, true},
        {{"", "t/h/1", 1, ""}, false},
        {{"a/b/c", "", 1, ""}, false},
        {{"a b/c", "t/h/1", 1, ""}, false},
        {{"a/b/c", "t/h\n/1", 1, ""}, false},
        {{"a/b/c", "t/h/1", 1, "F#"}, false},
        {{"a#b", "t/h/1", 1, ""}, false},
        {{"a/b/c", "t/h/1", 1, "A\tB"}, false},
        {{std::string(JexRouteMapEntry::kMaxField, 'p').c_str(), "t/h/1", 1, ""}, true},
        {{std::string(JexRouteMapEntry::kMaxField + 1, 'p').c_str(), "t/h/1", 1, ""}, false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.entry.Storable(), c.storable) << c.entry.pattern.Text();
        if (!c.storable) continue;
        const std::string line = c.entry.FormatLine("Thu, 10 Dec 2026 01:50:00 +0000 - B entry");
        JexRouteMapEntry back;
        ASSERT_TRUE(back.ParseLine(line)) << line;
        EXPECT_TRUE(back.SameAs(c.entry)) << line;
        EXPECT_EQ(back.score, c.entry.score);
    }
}

TEST(JexRouteMapEntry, FormattedLineKeepsTheComment) {
    const JexRouteMapEntry e("a/b/c", "t/h/1", 10, "F");
    EXPECT_EQ(e.FormatLine("now - R entry"), "a/b/c\tt/h/1\t10\tF\t# now - R entry\n");
    EXPECT_EQ(JexRouteMapEntry("a", "t", 0, "").FormatLine(""), "a\tt\t-0\t\t# \n");
}

TEST(JexRouteMapEntry, CommentCannotStartAnotherLine) {
    // A comment that carries a peer's text with a line feed and an entry.
    const JexRouteMapEntry e("a/b/c", "t/h/1", 10, "");
    const std::string line = e.FormatLine("author=x\nevil/node/app t/attacker/1 1\r\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find('\r'), std::string::npos);

    const std::string longComment(3 * JexRouteMapEntry::kMaxLine, 'c');
    const JexRouteMapEntry big(std::string(JexRouteMapEntry::kMaxField, 'p').c_str(),
                               std::string(JexRouteMapEntry::kMaxField, 'a').c_str(), 1,
                               std::string(JexRouteMapEntry::kMaxField, 'F').c_str());
    const std::string bigLine = big.FormatLine(longComment);
    EXPECT_LE(bigLine.size(), JexRouteMapEntry::kMaxLine);
    JexRouteMapEntry back;
    ASSERT_TRUE(back.ParseLine(bigLine));
    EXPECT_TRUE(back.SameAs(big));
}

TEST(JexRouteMapEntry, ReadsLinesWholeAndSkipsOverlongOnes) {
    const std::string longLine(5000, 'x');
    const std::string text = "first line\n" + longLine + " t/h/1 1\n" +
                             std::string(JexRouteMapEntry::kMaxLine - 1, 'y') + "\n" + "last";
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);

    std::vector<std::pair<std::string, bool>> lines;
    std::string line;
    bool tooLong = false;
    while (JexRouteMapEntry::ReadLine(f, line, &tooLong)) lines.emplace_back(line, tooLong);
    std::fclose(f);

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::make_pair(std::string("first line\n"), false));
    EXPECT_EQ(lines[1], std::make_pair(std::string(), true));  // never a second entry
    EXPECT_EQ(lines[2].first.size(), JexRouteMapEntry::kMaxLine);
    EXPECT_FALSE(lines[2].second);
    EXPECT_EQ(lines[3], std::make_pair(std::string("last"), false));
}

}  // namespace
