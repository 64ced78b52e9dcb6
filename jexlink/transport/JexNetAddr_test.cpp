// Tests of network addresses, the counted case-folding compare and the CRC tables.
#include "jexlink/transport/JexNetAddr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Fields(JexNetAddr& a) {
    std::vector<std::string> out;
    for (int i = 0, n = a.Count(); i < n; ++i) out.emplace_back(a[i].Text());
    return out;
}

std::string Format(const JexNetAddr& a) {
    JexString out;
    return a.Format(out).Text();
}

TEST(JexNetAddr, ParseSplitsFieldsAndFormatGivesTheTextBack) {
    struct Case {
        const char* text;
        std::vector<std::string> fields;
        const char* formatted;
    } cases[] = {
        {"T/host/smtp", {"T", "host", "smtp"}, "T/host/smtp"},
        {"L/pipe/", {"L", "pipe", ""}, "L/pipe/"},
        {"tcp/127.0.0.1/25", {"tcp", "127.0.0.1", "25"}, "tcp/127.0.0.1/25"},
        {"T//", {"T", "", ""}, "T//"},
        {"", {}, ""},
        {"M/line.node:3/srv", {"M", "line", "node", "3", "srv"}, "M/line.node:3/srv"},
        {"X/cls.12345:7/svc", {"X", "cls", "12345", "7", "svc"}, "X/cls.12345:7/svc"},
        {"X/12345/svc", {"X", "", "12345", "", "svc"}, "X/12345/svc"},
        {"x/a.b.c:d:e/s/extra", {"x", "a", "b", "", "s"}, "x/a.b/s"},
        {"M", {"M", "", "", "", ""}, "M//"},
        {"M/.dst/srv", {"M", "", "dst", "", "srv"}, "M/dst/srv"},
        {"M/line./srv", {"M", "line", "", "", "srv"}, "M/line./srv"},
        {"m/:9/", {"m", "", "", "9", ""}, "m/:9/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        JexNetAddr a(c.text, '/');
        EXPECT_EQ(Fields(a), c.fields);
        EXPECT_EQ(Format(a), c.formatted);
        // Formatting is stable: the formatted text parses to the same fields.
        JexNetAddr again(c.formatted, '/');
        EXPECT_EQ(Format(again), c.formatted);
    }
}

TEST(JexNetAddr, OtherSeparatorsSplitTheSameWay) {
    JexNetAddr a("X:cls.dte:sub", ':');
    // With ':' as separator the node slot is "cls.dte" and the subaddress slot
    // is the service.
    EXPECT_EQ(Fields(a), (std::vector<std::string>{"X", "cls", "dte", "", "sub"}));
    EXPECT_EQ(Format(a), "X:cls.dte:sub");
}

TEST(JexNetAddr, GetTypeReadsTheFirstLetterOfFieldZero) {
    struct Case {
        const char* text;
        int type;
    } cases[] = {
        {"tcp/h/s", 'T'}, {"T", 'T'},   {"d/x", 'D'}, {"Local/p", 'L'}, {"modem/a/b", 'M'},
        {"o", 'O'},       {"s", 'S'},   {"x25", 'X'}, {"/h/s", '?'},    {"Q/h/s", '?'},
        {"W/h/s", '?'},   {"?/h", '?'}, {"", '?'},    {"1/h", '?'},     {"\xd4/h", '?'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(JexNetAddr(c.text, '/').GetType(), c.type);
    }
}

TEST(JexNetAddr, SetTypeStoresOnlyKnownUpperCaseLetters) {
    struct Case {
        int letter;
        const char* stored;
        int type;
    } cases[] = {
        {'T', "T", 'T'}, {'W', "W", '?'}, {'?', "?", '?'}, {'X', "X", 'X'},   {'M', "M", 'M'},
        {'t', "?", '?'}, {'Q', "?", '?'}, {0, "?", '?'},   {0x154, "?", '?'}, {-1, "?", '?'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        JexNetAddr a("T/h/s", '/');
        EXPECT_EQ(a.SetType(c.letter), c.type);
        EXPECT_STREQ(a[0].Text(), c.stored);
        EXPECT_STREQ(a[1].Text(), "h");
    }
    JexNetAddr empty('/');
    EXPECT_EQ(empty.SetType('T'), 'T');
    EXPECT_EQ(Format(empty), "T");
}

TEST(JexNetAddr, SetServiceUsesTheTypesServiceField) {
    JexNetAddr t('/');
    t.SetType('T');
    t.SetField(1, "host");
    t.SetService("smtp");
    EXPECT_EQ(Format(t), "T/host/smtp");

    JexNetAddr m('/');
    m.SetType('M');
    m.SetField(1, "line");
    m.SetField(2, "node");
    m.SetService("srv");
    EXPECT_EQ(Fields(m), (std::vector<std::string>{"M", "line", "node", "", "srv"}));
    EXPECT_EQ(Format(m), "M/line.node/srv");

    JexNetAddr x('/');
    x.SetType('X');
    x.SetField(2, "12345");
    x.SetService("svc");
    EXPECT_EQ(Format(x), "X/12345/svc");
}

TEST(JexNetAddr, GetFieldCreatesMissingFieldsAndCopiesTheCaseFlag) {
    JexNetAddr a("T/h", '/');
    JexString out("junk");
    EXPECT_EQ(a.GetField(5, out), 0);
    EXPECT_STREQ(out.Text(), "");
    EXPECT_EQ(a.Count(), 6);

    a[1].SetCaseSensitive(0);
    EXPECT_EQ(a.GetField(1, out), 0);
    EXPECT_STREQ(out.Text(), "h");
    EXPECT_EQ(out.CaseSensitive(), 0);
}

TEST(JexNetAddr, FieldsAliasedToTheAddressItself) {
    JexNetAddr a("T/host/svc", '/');
    a.SetField(2, a[1]);  // a field set from another field of the same address
    EXPECT_EQ(Format(a), "T/host/host");
    a.GetField(1, a[1]);  // copied onto itself
    EXPECT_STREQ(a[1].Text(), "host");
    a.Parse(a[0]);  // parsed from its own field
    EXPECT_EQ(Fields(a), std::vector<std::string>{"T"});
    JexNetAddr m("M/line.node:3/srv", '/');
    m.Parse(m[4]);
    EXPECT_EQ(Fields(m), std::vector<std::string>{"srv"});
    const JexNetAddr& alias = m;
    m = alias;
    EXPECT_EQ(Format(m), "srv");
}

TEST(JexNetAddr, CopiesKeepSeparatorAndFields) {
    JexNetAddr a("M:line.node:srv", ':');
    JexNetAddr b(a);
    EXPECT_EQ(b.Separator(), ':');
    EXPECT_EQ(Format(b), Format(a));
    JexNetAddr c('/');
    c = a;  // assignment copies fields; the separator stays
    EXPECT_EQ(c.Separator(), '/');
    EXPECT_EQ(Fields(c), Fields(a));
}

TEST(JexNetAddr, EqualityComparesTypesAndTheFiveFieldNode) {
    struct Case {
        const char* a;
        const char* b;
        int equal;
    } cases[] = {
        {"T/one/25", "T/two/80", 1},      // only the type counts for TCP
        {"T/one/25", "L/one/25", 0},      // different types
        {"tcp/h/s", "T/x/y", 1},          // normalised types
        {"X/Cls.1/a", "X/cLS.2/b", 1},    // field 1 without regard to case
        {"X/cls.1/a", "X/other.1/a", 0},  // field 1 differs
        {"M/line.n/s", "M/LINE.m/t", 1},  // modem: field 1 decides
        {"M/n/s", "M/m/t", 1},            // both field 1 empty
        {"M/\xc1.n/s", "M/\xe1.n/s", 1},  // 0xC1 folds to 0xE1
        {"M/\xc0.n/s", "M/\xe0.n/s", 0},  // 0xC0 does not fold
        {"", "Q/h", 1},                   // both unknown
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        JexNetAddr a(c.a, '/');
        JexNetAddr b(c.b, '/');
        EXPECT_EQ(a == b, c.equal);
        EXPECT_EQ(b == a, c.equal);
        EXPECT_EQ(a.SameType(b), a.GetType() == b.GetType() ? 1 : 0);
    }
}

TEST(JexStrNCaseCmp, FoldsAsciiAndTheUpperLatinRange) {
    struct Case {
        const char* a;
        const char* b;
        int n;
        int sign;
    } cases[] = {
        {"abc", "ABC", 3, 0},    {"abc", "ABD", 3, -1},   {"abc", "ABD", 2, 0},
        {"abc", "abcd", 3, 0},   {"abc", "abcd", 4, -1},  {"abc", "abc", 100, 0},
        {"x", "y", 0, 0},        {"\xc1", "\xe1", 1, 0},  {"\xda", "\xfa", 1, 0},
        {"\xc0", "\xe0", 1, -1}, {"\xdb", "\xfb", 1, -1}, {"[", "{", 1, -1},
        {nullptr, "", 5, 0},     {"a", nullptr, 5, 1},    {"Zz", "zZ", -3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a ? c.a : "null") + " vs " + (c.b ? c.b : "null"));
        const int d = JexStrNCaseCmp(c.a, c.b, c.n);
        EXPECT_EQ((d > 0) - (d < 0), c.sign);
        // Over the whole texts the counted form agrees with JexStrCaseCmp.
        if (c.n >= 100) {
            EXPECT_EQ(d, JexStrCaseCmp(c.a, c.b));
        }
    }
    for (int i = 0; i < 256; ++i) {
        const char a[2] = {static_cast<char>(i), 0};
        const char b[2] = {static_cast<char>(JexCaseFold(static_cast<unsigned char>(i))), 0};
        EXPECT_EQ(JexStrNCaseCmp(a, b, 1), 0) << i;
        EXPECT_EQ(JexStrNCaseCmp(a, b, 1), JexStrCaseCmp(a, b)) << i;
    }
}

uint32_t Crc(uint32_t polynomial, uint32_t start, const std::string& bytes, bool invert) {
    static const JexCrcTable crc16(JexCrc::kCrc16Polynomial);
    static const JexCrcTable crc32(JexCrc::kCrc32Polynomial);
    JexCrc crc(polynomial == JexCrc::kCrc16Polynomial ? crc16.entries : crc32.entries, start);
    const uint32_t v = crc.Update(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(v, crc.Value());
    return invert ? ~v : v;
}

TEST(JexCrc, KnownVectors) {
    struct Case {
        uint32_t polynomial;
        uint32_t start;
        bool invert;
        std::string bytes;
        uint32_t crc;
    } cases[] = {
        {JexCrc::kCrc32Polynomial, 0xFFFFFFFF, true, "123456789", 0xCBF43926},
        {JexCrc::kCrc32Polynomial, 0xFFFFFFFF, true, "", 0x00000000},
        {JexCrc::kCrc32Polynomial, 0xFFFFFFFF, true, "a", 0xE8B7BE43},
        {JexCrc::kCrc32Polynomial, 0xFFFFFFFF, true, "The quick brown fox jumps over the lazy dog",
         0x414FA339},
        {JexCrc::kCrc16Polynomial, 0, false, "123456789", 0xBB3D},
        {JexCrc::kCrc16Polynomial, 0, false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Crc(c.polynomial, c.start, c.bytes, c.invert), c.crc);
    }
}

TEST(JexCrc, WordAndSlicedStepsMatchTheByteLoopAtEveryAlignment) {
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
    for (uint32_t polynomial : {JexCrc::kCrc32Polynomial, JexCrc::kCrc16Polynomial}) {
        const JexCrcTable table(polynomial);
        for (int offset = 0; offset < 8; ++offset) {
            for (int length :
                 {0,    1,    3,    4,    5,    7,    8,    9,    15,   16,   17,   64,     127,
                  128,  129,  143,  255,  256,  257,  271,  383,  384,  400,  511,  512,    639,
                  1023, 1024, 1039, 1087, 1535, 1536, 1551, 2047, 2048, 4103, 4240, 1 << 19}) {
                JexCrc words(table.entries, 0xFFFFFFFF);
                words.Update(big.data() + offset, length);
                JexCrc sliced(table, 0xFFFFFFFF);
                sliced.Update(big.data() + offset, length);
                uint32_t v = 0xFFFFFFFF;
                for (int i = 0; i < length; ++i)
                    v = (v >> 8) ^
                        table.entries[(v ^ static_cast<unsigned char>(big[offset + i])) & 0xFF];
                EXPECT_EQ(words.Value(), v) << polynomial << " " << offset << " " << length;
                EXPECT_EQ(sliced.Value(), v) << polynomial << " " << offset << " " << length;
            }
        }
    }
    const JexCrcTable table(JexCrc::kCrc32Polynomial);
    JexCrc check(table, 0xFFFFFFFF);
    EXPECT_EQ(~check.Update("123456789", 9), 0xCBF43926u);
    // Feeding the bytes in pieces continues the running value.
    JexCrc whole(table.entries, 0xFFFFFFFF);
    whole.Update(big.data(), 1000);
    JexCrc pieces(table, 0xFFFFFFFF);
    pieces.Update(big.data(), 333);
    pieces.Update(big.data() + 333, 667);
    EXPECT_EQ(whole.Value(), pieces.Value());
    // A null or negative input changes nothing.
    EXPECT_EQ(pieces.Update(nullptr, 5), whole.Value());
    EXPECT_EQ(pieces.Update(big.data(), -1), whole.Value());
}

}  // namespace
