// Tests of the buffer-argument formatter, with ordinary and hostile templates.
#include "jexlink/core/JexVBPrintF.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Arguments 1 to 9: numbers as 4-byte values, texts as their bytes.
struct Args {
    JexBuffer v[kJexVBPrintFArgs];
    Args& Num(int i, int32_t n) {
        v[i].SetLong(n);
        return *this;
    }
    Args& Text(int i, const std::string& s) {
        v[i] = JexBuffer(s.data(), static_cast<int>(s.size()));
        return *this;
    }
};

std::string Format(const char* format, const Args& args, int* result = nullptr) {
    JexBuffer out("stale");
    const int n = JexVBPrintF(out, format, args.v);
    if (result) *result = n;
    EXPECT_EQ(out.Data()[out.Length()], 0);
    if (n >= 0) {
        EXPECT_EQ(n, out.Length());
    }
    return std::string(out.Data(), out.Length());
}

TEST(JexVBPrintF, Conversions) {
    const Args args = Args()
                          .Num(1, 1000)
                          .Num(2, 2000)
                          .Text(3, "text")
                          .Num(4, 3)
                          .Text(5, "\xFF\xFF")
                          .Num(6, -7)
                          .Num(7, 'A');
    struct Case {
        const char* format;
        const char* expected;
    } cases[] = {
        {"Your submission of %1$d bytes exceeds the size limit of %2$d bytes",
         "Your submission of 1000 bytes exceeds the size limit of 2000 bytes"},
        {"%2$d then %1$d", "2000 then 1000"},
        {"%d %d %s", "1000 2000 text"},
        {"100%% of %3$s", "100% of text"},
        {"[%4$5.2f]", "[ 3.00]"},
        {"%5$hd %5$d", "-1 65535"},
        {"%5$hu", "65535"},
        {"%6$D %6$U %6$x %6$X %6$o", "-7 4294967289 fffffff9 FFFFFFF9 37777777771"},
        {"%1$ld %1$Lf", "1000 1000.000000"},
        {"%7$c%7$5c|%7$-3c|", "A    A|A  |"},
        {"%3$-6s|%3$6s|%3$.2s|", "text  |  text|te|"},
        {"%9$s", "<Null>"},
        {"%8$5s|%8$s", "<Null>|<Null>"},
        {"%1$+05d %6$ d %1$#x %4$e", "+1000 -7 0x3e8 3.000000e+00"},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Format(c.format, args), c.expected) << c.format;
}

TEST(JexVBPrintF, StarTakesWidthAndPrecisionFromArguments) {
    const Args args = Args().Num(1, 6).Num(2, 2).Num(3, 42).Num(4, -4);
    EXPECT_EQ(Format("[%*.*d]", args), "[    42]");
    EXPECT_EQ(Format("[%3$0*1$.*2$d]", args), "[    42]");
    EXPECT_EQ(Format("[%3$0*1$d]", args), "[000042]");
    EXPECT_EQ(Format("[%3$*1$d]", args), "[    42]");
    EXPECT_EQ(Format("[%3$*4$d]", args), "[42  ]");  // negative width left-justifies
    EXPECT_EQ(Format("[%3$.*4$d]", args), "[42]");   // negative precision is none
}

TEST(JexVBPrintF, LongTextsAreNotCut) {
    const std::string text(5000, 'x');
    const Args args = Args().Text(1, text).Text(2, "y");
    EXPECT_EQ(Format("%s", args), text);
    EXPECT_EQ(Format("%1$3000s", args), std::string(1024, 'x') + std::string(3976, 'x'));
    EXPECT_EQ(Format("%2$3000s", args), std::string(1023, ' ') + "y");  // width capped at 1024
}

TEST(JexVBPrintF, OnlyNineConversionsAreFormatted) {
    Args args;
    for (int i = 1; i <= 9; ++i) args.Num(i, i);
    EXPECT_EQ(Format("%d%d%d%d%d%d%d%d%d %d %d %%", args), "123456789 d %d %%");
}

TEST(JexVBPrintF, MalformedTemplates) {
    const Args args = Args().Text(1, "a").Num(2, 2);
    for (const char* format :
         {"%1$s %s", "%s %1$s", "%0$d", "%1$*d", "%*1$d", "%1$.*d", "trailing %", "%1$", "%5"}) {
        int result = 0;
        EXPECT_EQ(Format(format, args, &result),
                  std::string("Botched JexVBPrintF format: ") + format);
        EXPECT_EQ(result, -1) << format;
    }
}

TEST(JexVBPrintF, HostileTemplatesStayBounded) {
    Args args = Args().Num(1, INT32_MIN).Num(2, 0x7FFFFFFF).Text(3, "t");
    EXPECT_EQ(Format("%1$n%1$q", args), "%1$n%1$q");  // unknown letters are kept as written
    EXPECT_EQ(Format("%2$99999999999999999999d", args).size(), 1024u);
    EXPECT_EQ(Format("%2$.99999f", args).size(), std::string("2147483647.").size() + 1024);
    EXPECT_EQ(Format("%*d", args).size(), 1024u);      // INT32_MIN width
    EXPECT_EQ(Format("%2$*2$d", args).size(), 1024u);  // huge width
    EXPECT_EQ(Format("%3$#0+ 5s|", args), "    t|");  // flags the text form cannot take are dropped
    EXPECT_EQ(Format("%2$hp|%2$p", args), "0xffffffff|0x7fffffff");  // "h" reads 2 bytes, signed
}

TEST(JexVBPrintF, ArgumentsPastNineCountAsEmpty) {
    Args args;
    for (int i = 1; i <= 9; ++i) args.Num(i, i);
    // Sequential stars use up arguments: the conversion after them gets number 10.
    EXPECT_EQ(Format("%*d%*d%*d%*d%*d|%d", args), "2  4    6      8        0|0");
    JexBuffer out;
    EXPECT_EQ(JexVBPrintF(out, "%d|%s", nullptr), 8);
    EXPECT_EQ(std::string(out.Data(), out.Length()), "0|<Null>");
}

TEST(JexVBPrintF, CharacterOfZeroWritesNothing) {
    const Args args = Args().Num(1, 0).Num(2, 256).Num(3, 'B');
    struct Case {
        const char* format;
        const char* expected;
    } cases[] = {
        {"a%1$cb", "ab"},    {"a%1$5cb|%3$c", "ab|B"}, {"a%2$cb", "ab"},  // 256: its low byte is 0
        {"a%9$cb", "ab"},                                                 // an empty argument is 0
        {"%1$hc%3$hc", "B"},
    };
    for (const Case& c : cases) {
        const std::string out = Format(c.format, args);
        EXPECT_EQ(out, c.expected) << c.format;
        EXPECT_EQ(out.find('\0'), std::string::npos) << c.format;
    }
}

TEST(JexVBPrintF, OutputMayBeTheTemplateOrAnArgument) {
    struct Case {
        const char* name;
        const char* initial;      // the output buffer's bytes before the call
        bool format_is_output;    // the template is the output's text
        const char* format;       // otherwise
        bool argument_is_output;  // argument 1 is the output buffer
        const char* expected;
    } cases[] = {
        {"template in the output", "count %2$d of %3$s", true, nullptr, false, "count 7 of text"},
        {"argument is the output", "old", false, "[%1$s|%1$s]", true, "[old|old]"},
        {"both", "<%1$s>", true, nullptr, true, "<<%1$s>>"},
        {"long template in the output", nullptr, true, nullptr, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A template longer than any storage the formatter might set up.
        const std::string long_template = std::string(3000, 'x') + "%3$s";
        const std::string initial = c.initial ? c.initial : long_template;
        const std::string expected = c.expected ? c.expected : std::string(3000, 'x') + "text";
        JexBuffer args[kJexVBPrintFArgs];
        args[2].SetLong(7);
        args[3] = JexBuffer("text");
        JexBuffer& out = c.argument_is_output ? args[1] : args[0];
        out = JexBuffer(initial.data(), static_cast<int>(initial.size()));
        const char* format = c.format_is_output ? out.Data() : c.format;
        const int n = JexVBPrintF(out, format, args);
        EXPECT_EQ(n, static_cast<int>(expected.size()));
        EXPECT_EQ(std::string(out.Data(), out.Length()), expected);
    }
}

}  // namespace
