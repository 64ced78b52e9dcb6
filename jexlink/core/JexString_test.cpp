// Tests of the text strings and the case-folding compare.
#include "jexlink/core/JexString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

void ExpectNulAfterUsed(const JexString& s) {
    if (s.Data()) {
        EXPECT_EQ(s.Data()[s.Length()], 0);
    }
}

TEST(JexStrCaseCmp, FoldsAsciiAndUpperLatin) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"abc", "ABC", 0},
        {"abc", "abd", -1},
        {"b", "A", 1},
        {"ab", "abc", -1},
        {"\xC1\xDA", "\xE1\xFA", 0},  // 193-218 fold to the byte plus 32
        {"\xC0", "\xE0", -1},         // 192 does not fold
        {"[", "{", -1},
        {nullptr, "", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(Sign(JexStrCaseCmp(c.a, c.b)), c.sign) << c.b;
}

TEST(JexString, CompareIsCaseSensitiveOnlyWhenBothAre) {
    const JexString sensitive("Node"), other_sensitive("NODE");
    const JexString blind("NODE", 0);
    EXPECT_NE(sensitive.Compare(other_sensitive), 0);
    EXPECT_EQ(sensitive.Compare(blind), 0);
    EXPECT_EQ(blind.Compare(sensitive), 0);
    EXPECT_NE(sensitive.Compare("NODE"), 0);
    EXPECT_EQ(blind.Compare("node"), 0);
    EXPECT_EQ(JexString().Compare(nullptr), 0);
    EXPECT_LT(JexString("a").Compare("b"), 0);
}

TEST(JexString, AssignmentKeepsOwnCaseFlag) {
    JexString target("x", 0);
    target = JexString("Text");
    EXPECT_EQ(target.CaseSensitive(), 0);
    EXPECT_STREQ(target.Text(), "Text");
    const JexString& same = target;
    target = same;
    EXPECT_STREQ(target.Text(), "Text");
    target = nullptr;
    EXPECT_EQ(target.Data(), nullptr);
    target = "abc";
    target = target.Text() + 1;  // from its own bytes
    EXPECT_STREQ(target.Text(), "bc");
    EXPECT_EQ(target.Length(), 2);
}

TEST(JexString, AppendAtUsedLengthOrTextEnd) {
    JexString s("ab");
    s += "cd";
    s += JexString("");
    s += nullptr;
    s += 'e';
    EXPECT_STREQ(s.Text(), "abcde");
    s += s;
    EXPECT_STREQ(s.Text(), "abcdeabcde");
    JexString pad("ab");
    pad.Pad(5, 0);  // used length 5, text "ab"
    pad.Append("c").Append('d');
    EXPECT_STREQ(pad.Text(), "abcd");
    EXPECT_EQ(pad.Length(), 4);
}

TEST(JexString, Concatenation) {
    const JexString blind("Ab", 0);
    JexString joined = blind + "cd";
    EXPECT_STREQ(joined.Text(), "Abcd");
    EXPECT_EQ(joined.CaseSensitive(), 0);
    EXPECT_STREQ(("x" + blind).Text(), "xAb");
    EXPECT_EQ(("x" + blind).CaseSensitive(), 1);
    EXPECT_STREQ((JexString("1") + JexString("2")).Text(), "12");
}

TEST(JexString, Finding) {
    const JexString s("abcabc");
    EXPECT_EQ(s.Find("ca"), 2);
    EXPECT_EQ(s.Find("x"), -1);
    EXPECT_EQ(s.Find(nullptr), -1);
    EXPECT_EQ(s.FindChar('c'), 2);
    EXPECT_EQ(s.FindLastChar('c'), 5);
    EXPECT_EQ(s.FindChar('z'), -1);
    EXPECT_EQ(s.FindAny("xcb"), 1);
    EXPECT_EQ(s.FindAny("xyz"), -1);
    EXPECT_EQ(s.FindLast("bc"), 4);
    EXPECT_EQ(s.FindLast("cb"), -1);
    EXPECT_EQ(s.FindLast("abc"), 3);
    EXPECT_EQ(s.FindLast("abcabc"), 0);
    EXPECT_EQ(s.FindLast("abcabcx"), -1);
    EXPECT_EQ(s.FindLast(""), 6);
    EXPECT_EQ(JexString("aaaa").FindLast("aa"), 2);
    EXPECT_EQ(JexString::FromBytes("ab\0ab", 5).FindLast("ab"), 0);  // the text ends at the NUL
    EXPECT_EQ(JexString().Find("a"), -1);
    EXPECT_EQ(JexString().FindChar('a'), -1);
}

TEST(JexString, MatchLength) {
    const JexString s("abcd");
    EXPECT_EQ(s.MatchLength("abxd"), 2);
    EXPECT_EQ(s.MatchLength("abcd"), -1);
    EXPECT_EQ(s.MatchLength("abcde"), 4);
    EXPECT_EQ(s.MatchLength(nullptr), 0);
}

TEST(JexString, CaseChanges) {
    JexString s("MiXed 1", 0);
    EXPECT_STREQ(s.LowerCopy().Text(), "mixed 1");
    EXPECT_EQ(s.LowerCopy().CaseSensitive(), 0);
    EXPECT_STREQ(s.UpperCopy().Text(), "MIXED 1");
    EXPECT_EQ(s.UpperCopy().CaseSensitive(), 0);
    s.ToUpper();
    EXPECT_STREQ(s.Text(), "MIXED 1");
    s.ToLower();
    EXPECT_STREQ(s.Text(), "mixed 1");
}

TEST(JexString, Trimming) {
    struct Case {
        const char* text;
        const char* trim;
        const char* leading;
        const char* trailing;
        const char* collapse;
        const char* removed;
    } cases[] = {
        {"  a  b\t\n", "a  b", "a  b\t\n", "  a  b", "a b", "ab"},
        {"x", "x", "x", "x", "x", "x"},
        {" \t ", "", "", "", "", ""},
        {"a \t b   c", "a \t b   c", "a \t b   c", "a \t b   c", "a b c", "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const JexString s(c.text, 0);
        EXPECT_STREQ(s.TrimCopy().Text(), c.trim);
        EXPECT_EQ(s.TrimCopy().Length(), static_cast<int>(std::strlen(c.trim)));
        EXPECT_EQ(s.TrimCopy().CaseSensitive(), 1);
        EXPECT_STREQ(s.TrimLeadingCopy().Text(), c.leading);
        EXPECT_STREQ(s.TrimTrailingCopy().Text(), c.trailing);
        EXPECT_STREQ(s.CollapseCopy().Text(), c.collapse);
        EXPECT_STREQ(s.RemoveSpaceCopy().Text(), c.removed);
    }
}

TEST(JexString, RemovingSpaceKeepsUsedLengthAndClearsTail) {
    JexString s("a b c");
    s.RemoveSpace();
    EXPECT_STREQ(s.Text(), "abc");
    EXPECT_EQ(s.Length(), 5);
    EXPECT_EQ(std::string(s.Data(), 6), std::string("abc\0\0\0", 6));
    s.SyncLength();
    EXPECT_EQ(s.Length(), 3);
    JexString c(" a   b ");
    c.Collapse();
    EXPECT_STREQ(c.Text(), "a b");
    EXPECT_EQ(c.Length(), 5);  // Trim set it to 5, the collapse kept it
    EXPECT_EQ(std::string(c.Data(), 6), std::string("a b\0\0\0", 6));
}

TEST(JexString, PadAndRightJustify) {
    struct Case {
        const char* text;
        int n;
        char fill;
        const char* padded;
        const char* justified;
    } cases[] = {
        {"42", 5, '0', "42000", "00042"}, {"1234567", 5, '0', "12345", "34567"},
        {"42", 5, 0, "42", "42"},         {"42", 2, '*', "42", "42"},
        {"", 3, '-', "---", "---"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const JexString s(c.text);
        const JexString padded = s.PadCopy(c.n, c.fill);
        EXPECT_STREQ(padded.Text(), c.padded);
        EXPECT_EQ(padded.Length(), c.n);
        ExpectNulAfterUsed(padded);
        const JexString justified = s.RightJustifyCopy(c.n, c.fill);
        EXPECT_STREQ(justified.Text(), c.justified);
        ExpectNulAfterUsed(justified);
    }
}

TEST(JexString, Parts) {
    const JexString s("key=value");
    EXPECT_STREQ(s.UpTo("=:").Text(), "key");
    EXPECT_STREQ(s.UpTo("#").Text(), "key=value");
    EXPECT_STREQ(s.Span("abcdefghijklmnopqrstuvwxyz").Text(), "key");
    EXPECT_STREQ(s.Span("0123").Text(), "");
    EXPECT_STREQ(s.Left(3).Text(), "key");
    EXPECT_STREQ(s.Right(5).Text(), "value");
    EXPECT_STREQ(s.Right(50).Text(), "key=value");
    EXPECT_STREQ(s.Left(-1).Text(), "");
    EXPECT_STREQ(s.Slice(4, 3).Text(), "val");
}

TEST(JexString, OrDefault) {
    const JexString blind("v", 0);
    EXPECT_STREQ(JexStringOrDefault(blind, "d").Text(), "v");
    EXPECT_EQ(JexStringOrDefault(blind, "d").CaseSensitive(), 0);
    EXPECT_STREQ(JexStringOrDefault(JexString(), "d").Text(), "d");
    EXPECT_STREQ(JexStringOrDefault(JexString(""), "d").Text(), "d");
}

}  // namespace
