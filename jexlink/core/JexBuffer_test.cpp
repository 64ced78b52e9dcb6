// Tests of the growable byte buffers: storage, packing, cutting, index errors, dumps.
#include "jexlink/core/JexBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "jexlink/core/JexString.h"
#include "testing/support/CapturedFile.h"

namespace {

// Records index errors instead of aborting, for the length of one test.
class IndexErrors : public ::testing::Test {
protected:
    static std::vector<int>& Seen() {
        static std::vector<int> seen;
        return seen;
    }
    static int Record(int index) {
        Seen().push_back(index);
        return 0;
    }
    void SetUp() override {
        Seen().clear();
        previous = JexBufferBase::SetIndexErrorHandler(&Record);
    }
    void TearDown() override { JexBufferBase::SetIndexErrorHandler(previous); }
    JexBufferBase::IndexErrorHandler previous = nullptr;
};

// The buffer invariant: storage in 64-byte steps, above the used length, NUL after it.
void ExpectSound(const JexBufferBase& b) {
    if (!b.Data()) {
        EXPECT_EQ(b.Length(), 0);
        EXPECT_EQ(b.AllocatedLength(), 0);
        return;
    }
    EXPECT_EQ(b.AllocatedLength() % 64, 0);
    EXPECT_GT(b.AllocatedLength(), b.Length());
    EXPECT_EQ(b.Data()[b.Length()], 0);
}

JexBuffer Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return JexBuffer(s.data(), static_cast<int>(s.size()));
}

std::string Contents(const JexBufferBase& b) {
    return b.Data() ? std::string(b.Data(), b.Length()) : std::string();
}

TEST(JexBuffer, ConstructionGivesStorageInSteps) {
    const std::string longest(63, 'a');
    struct Case {
        const char* text;
        int allocated;
    } cases[] = {{nullptr, 0}, {"", 64}, {"x", 64}, {longest.c_str(), 64}};
    for (const Case& c : cases) {
        JexBuffer b(c.text);
        EXPECT_EQ(b.AllocatedLength(), c.allocated) << (c.text ? c.text : "null");
        EXPECT_EQ(b.Data() == nullptr, c.text == nullptr);
        ExpectSound(b);
    }
}

TEST(JexBuffer, SixtyFourthByteDoublesStorage) {
    JexBuffer b(std::string(63, 'a').c_str());
    EXPECT_EQ(b.AllocatedLength(), 64);
    b += 'b';
    EXPECT_EQ(b.AllocatedLength(), 128);
    EXPECT_EQ(b.Length(), 64);
    ExpectSound(b);
}

TEST(JexBuffer, AppendsGrowGeometrically) {
    JexBuffer b;
    std::set<int> sizes;
    for (int i = 0; i < 100000; ++i) {
        b += static_cast<char>('a' + i % 26);
        sizes.insert(b.AllocatedLength());
    }
    EXPECT_LT(sizes.size(), 20u);
    ExpectSound(b);
    EXPECT_EQ(b.Data()[99999], static_cast<char>('a' + 99999 % 26));
}

TEST(JexBuffer, GrowthZeroFillsNewBytes) {
    JexBuffer b("abc");
    b.SetLength(1);
    b.SetLength(500);
    EXPECT_EQ(std::string(b.Data(), 3), std::string("a\0c", 3));
    for (int i = 3; i < 500; ++i) ASSERT_EQ(b.Data()[i], 0) << i;
    ExpectSound(b);
    JexBuffer zeros(100);
    EXPECT_EQ(zeros.Length(), 100);
    for (int i = 0; i < zeros.AllocatedLength(); ++i) ASSERT_EQ(zeros.Data()[i], 0);
}

// Growth for bytes about to be written keeps the bytes below the old length
// and zeroes the slack past the new one; storage it already has is reused.
TEST(JexBuffer, SetLengthForOverwriteKeepsOldBytesAndZeroesTheSlack) {
    for (int n : {0, 1, 63, 64, 500, 100000}) {
        SCOPED_TRACE(n);
        JexBuffer b("abc");
        ASSERT_TRUE(b.SetLengthForOverwrite(n));
        EXPECT_EQ(b.Length(), n);
        EXPECT_EQ(std::string(b.Data(), static_cast<size_t>(std::min(n, 3))),
                  std::string("abc").substr(0, static_cast<size_t>(std::min(n, 3))));
        for (int i = std::max(n, 3); i < b.AllocatedLength(); ++i) ASSERT_EQ(b.Data()[i], 0) << i;
        const char* storage = b.Data();
        ASSERT_TRUE(b.SetLengthForOverwrite(n / 2));
        EXPECT_EQ(b.Data(), storage);
        ExpectSound(b);
    }
}

TEST(JexBuffer, AllocateReplacesStorageWithoutLeak) {
    JexBuffer b("hello");
    EXPECT_NE(b.Allocate(300), nullptr);
    EXPECT_EQ(b.AllocatedLength(), 320);
    EXPECT_EQ(b.Length(), 5);
    ExpectSound(b);
}

TEST(JexBuffer, StorageBeyondIntLengthsFailsCleanly) {
    JexBuffer b("abc");
    testing::internal::CaptureStderr();
    EXPECT_EQ(b.Reallocate(INT_MAX), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "--- JexBufferBase memory reallocation failure: size=2147483648\n");
    EXPECT_EQ(b.Data(), nullptr);
    ExpectSound(b);
    b = JexBuffer("abc");
    testing::internal::CaptureStderr();
    EXPECT_EQ(b.Allocate(INT_MAX - 1), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("allocation failure: size="),
              std::string::npos);
    EXPECT_EQ(b.Data(), nullptr);
}

TEST(JexBuffer, AssignmentCopiesFreesAndSurvivesItself) {
    JexBuffer a("abc");
    JexBuffer empty;
    const JexBuffer& same = a;
    a = same;
    EXPECT_EQ(Contents(a), "abc");
    JexBuffer b("xyz");
    b = empty;
    EXPECT_EQ(b.Data(), nullptr);
    ExpectSound(b);
    b = a;
    EXPECT_EQ(Contents(b), "abc");
    JexBuffer present("");
    b = present;  // an empty buffer with storage stays present
    EXPECT_NE(b.Data(), nullptr);
    EXPECT_EQ(b.Length(), 0);
}

TEST(JexBuffer, AppendingItselfDoublesContents) {
    JexBuffer a(std::string(40, 'q').c_str());
    a += a;
    a += a;
    EXPECT_EQ(Contents(a), std::string(160, 'q'));
    ExpectSound(a);
}

TEST(JexBuffer, StringBecomesBufferOfItsText) {
    EXPECT_EQ(JexBuffer(JexString("")).Data(), nullptr);
    EXPECT_EQ(Contents(JexBuffer(JexString("ab"))), "ab");
}

TEST(JexBuffer, IntegersReadLittleEndian) {
    struct Case {
        JexBuffer bytes;
        int16_t s;
        int32_t l;
        int64_t q;
    } cases[] = {
        {Bytes({}), 0, 0, 0},
        {Bytes({0xFF}), 255, 255, -1},
        {Bytes({0xFF, 0xFF}), -1, 65535, -1},
        {Bytes({0xFF, 0x7F, 0x00}), 0x7FFF, 0x7FFF, 0x7FFF},
        {Bytes({1, 2, 3, 4}), 0x0201, 0x04030201, 0x04030201},
        {Bytes({0, 0, 0, 0x80}), 0, INT32_MIN, -2147483648LL},
        {Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), 0x0201, 0x04030201, 0x0807060504030201LL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.Length());
        EXPECT_EQ(c.bytes.GetShort(), c.s);
        EXPECT_EQ(c.bytes.GetLong(), c.l);
        EXPECT_EQ(c.bytes.GetQuad(), c.q);
    }
}

TEST(JexBuffer, IntegersReadAtPosition) {
    const JexBuffer b = Bytes({0x11, 0xFF, 0xFF, 0x80, 0x01});
    EXPECT_EQ(b.GetShortAt(1), -1);
    EXPECT_EQ(b.GetUShortAt(1), 0xFFFF);
    EXPECT_EQ(b.GetShortAt(4), 1);
    EXPECT_EQ(b.GetShortAt(5), 0);
    EXPECT_EQ(b.GetShortAt(-1), 0);
    EXPECT_EQ(b.GetLongAt(1), static_cast<int32_t>(0x0180FFFF));
    EXPECT_EQ(b.GetLongAt(2), 0x0180FF);
    const JexBuffer tail = Bytes({0x11, 0xFF, 0x80});
    EXPECT_EQ(tail.GetLongAt(1), static_cast<int32_t>(0xFFFF80FF));  // 2 bytes, sign-extended
    EXPECT_EQ(tail.GetULongAt(1), 0x80FFu);
    EXPECT_EQ(b.GetQuadAt(0), 0x0180FFFF11LL);
    EXPECT_EQ(b.GetQuadAt(3), static_cast<int64_t>(0x0180));
    EXPECT_EQ(b.GetLongAt(9), 0);
}

TEST(JexBuffer, IntegersWriteLittleEndian) {
    JexBuffer b("previous text");
    b.SetShort(0x0102);
    EXPECT_EQ(Contents(b), std::string("\x02\x01", 2));
    b.SetLong(0x01020304);
    EXPECT_EQ(Contents(b), "\x04\x03\x02\x01");
    b.SetQuad(0x04030201u, 0x08070605u);
    EXPECT_EQ(Contents(b), "\x01\x02\x03\x04\x05\x06\x07\x08");
    b.AppendShort(-2);
    b.AppendLong(-1);
    EXPECT_EQ(b.Length(), 14);
    EXPECT_EQ(b.GetShortAt(8), -2);
    EXPECT_EQ(b.GetLongAt(10), -1);
    ExpectSound(b);
}

TEST(JexBuffer, EqualityNeedsSameLengthAndBytes) {
    EXPECT_TRUE(JexBuffer() == JexBuffer(""));
    EXPECT_TRUE(JexBuffer("ab") == JexBuffer("ab"));
    EXPECT_FALSE(JexBuffer("ab") == JexBuffer("abc"));
    EXPECT_FALSE(JexBuffer("ab") == JexBuffer("ac"));
    EXPECT_TRUE(JexBuffer() == "");
    EXPECT_TRUE(JexBuffer() == nullptr);
    EXPECT_TRUE(JexBuffer("ab") == "ab");
    EXPECT_FALSE(JexBuffer("ab") == "a");
}

TEST_F(IndexErrors, IndexPastUsedLengthYieldsZero) {
    JexBuffer b("ab");
    EXPECT_EQ(b[1], 'b');
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[-1], 0);
    b[5] = 'x';  // lands nowhere
    EXPECT_EQ(Contents(b), "ab");
    EXPECT_EQ(Seen(), (std::vector<int>{2, -1, 5}));
}

TEST_F(IndexErrors, ExtractOnePastEndFreesTarget) {
    const JexBuffer b("abcdef");
    JexBuffer target("old");
    b.Extract(target, 2, 3);
    EXPECT_EQ(Contents(target), "cde");
    EXPECT_TRUE(Seen().empty());
    b.Extract(target, 4, 3);
    EXPECT_EQ(target.Data(), nullptr);
    EXPECT_EQ(Seen(), std::vector<int>{7});
}

TEST_F(IndexErrors, RangesThatOverflowOrGoNegativeAreRejected) {
    JexBuffer b("abcdef");
    JexBuffer target("old");
    b.Extract(target, 0x7FFFFFFF, 2);
    b.Extract(target, -1, 2);
    b.Extract(target, 2, -1);
    b.Keep(5, 2);
    b.SetLength(-3);
    EXPECT_EQ(Seen().size(), 5u);
    EXPECT_EQ(Contents(b), "abcdef");
}

TEST_F(IndexErrors, KeepMovesRangeToFront) {
    JexBuffer b("abcdef");
    b.Keep(2, 3);
    EXPECT_EQ(Contents(b), "cde");
    ExpectSound(b);
    b.Extract(b, 1, 1);
    EXPECT_EQ(Contents(b), "d");
    EXPECT_TRUE(Seen().empty());
}

TEST(JexBufferDeathTest, IndexErrorWithoutHandlerAborts) {
    JexBuffer b("ab");
    EXPECT_DEATH(b[7],
                 "JexBufferBase index "
                 "error:\n\tdata=.*\n\tallocated_length=64\n\tused_length=2\n\toffending index=7");
}

TEST(JexBuffer, SliceCutsAtTheEnd) {
    const JexBuffer b("abcdef");
    EXPECT_STREQ(b.Slice(1, 3).Text(), "bcd");
    EXPECT_STREQ(b.Slice(4, 10).Text(), "ef");
    EXPECT_STREQ(b.Slice(9, 1).Text(), "");
}

std::string PrintOf(const JexBuffer& b) {
    std::ostringstream os;
    b.Print(os);
    return os.str();
}

std::string DumpOf(const JexBuffer& b) {
    return tavro::testing::CapturedFile([&](FILE* f) { b.Dump(f); });
}

TEST(JexBuffer, DumpLayout) {
    const std::string pad(14 * 3, ' ');
    const std::string line16 =
        "  000000   61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n";
    struct Case {
        JexBuffer bytes;
        std::string expected;
    } cases[] = {
        {JexBuffer(), "  000000\n"},
        {JexBuffer(""), "  000000\n"},
        {Bytes({'A', 0x1F}), "  000000   41 1f" + pad + "   A.\n"},
        {Bytes({0x80, 0x7E}), "  000000   80 7e" + pad + "   .~\n"},
        {JexBuffer(std::string(48, 'a').c_str()),
         line16 + "  *\n  000020   61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61   "
                  "aaaaaaaaaaaaaaaa\n"},
        {JexBuffer(std::string(64, 'a').c_str()),
         line16 + "  *\n  000030   61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61   "
                  "aaaaaaaaaaaaaaaa\n"},
        {JexBuffer(std::string(17, 'a').c_str()),
         line16 + "  000010   61" + std::string(15 * 3, ' ') + "   a\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PrintOf(c.bytes), c.expected);
        EXPECT_EQ(DumpOf(c.bytes), c.expected);
    }
}

TEST(JexBuffer, ReadLineSplitsAtNewlines) {
    std::istringstream in("first\n\nlast");
    JexBuffer line("stale");
    std::vector<std::string> lines;
    while (JexBuffer::ReadLine(in, line)) {
        lines.push_back(Contents(line));
        ExpectSound(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "last"}));
    JexString text;
    std::istringstream one("only\n");
    JexBuffer::ReadLine(one, text);
    EXPECT_STREQ(text.Text(), "only");
}

}  // namespace
