// Tests of the compression objects: pass-through and LZW through their common interface, totals,
// errors.
#include "jexlink/transport/JexLzw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "jexlink/transport/JexCompressionBase.h"

namespace {

JexBuffer Buffer(const std::string& s) { return JexBuffer(s.data(), static_cast<int>(s.size())); }
std::string String(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string Random(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, 0);
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

struct Pair {
    const char* name;
    std::unique_ptr<JexCompressor> compressor;
    std::unique_ptr<JexExpander> expander;
};

std::vector<Pair> Pairs() {
    std::vector<Pair> pairs;
    pairs.push_back(
        {"pass-through", std::make_unique<JexCompressor>(), std::make_unique<JexExpander>()});
    pairs.push_back({"LZW", std::make_unique<JexLzwCompressor>(), std::make_unique<JexLzw>()});
    return pairs;
}

TEST(JexCompression, MessagesRoundTripThroughEachPair) {
    const std::string messages[] = {"abc",
                                    "",
                                    "the route map names the gateway",
                                    "the route map names the gateway",
                                    std::string(100000, 'z'),
                                    Random(70000, 1),
                                    std::string("\0\0\0\xff", 4)};
    for (Pair& p : Pairs()) {
        uint32_t in = 0;
        uint32_t wire = 0;
        for (const std::string& m : messages) {
            JexBuffer compressed;
            JexBuffer back;
            ASSERT_EQ(p.compressor->Compress(Buffer(m), compressed), 0) << p.name;
            ASSERT_EQ(p.expander->Expand(compressed, back), 0) << p.name;
            EXPECT_EQ(String(back), m) << p.name;
            in += static_cast<uint32_t>(m.size());
            wire += static_cast<uint32_t>(compressed.Length());
        }
        EXPECT_EQ(p.compressor->BytesIn(), in) << p.name;
        EXPECT_EQ(p.compressor->BytesOut(), wire) << p.name;
        EXPECT_EQ(p.expander->BytesIn(), wire) << p.name;
        EXPECT_EQ(p.expander->BytesOut(), in) << p.name;
        EXPECT_FLOAT_EQ(p.compressor->Ratio(), static_cast<float>(in) / static_cast<float>(wire));
        EXPECT_EQ(p.compressor->Code(), 0);
        EXPECT_EQ(p.expander->Code(), 0);
    }
}

TEST(JexCompression, OutputMayBeTheInput) {
    for (Pair& p : Pairs()) {
        const std::string m = "a message compressed in place, in place, in place";
        JexBuffer buffer = Buffer(m);
        ASSERT_EQ(p.compressor->Compress(buffer, buffer), 0) << p.name;
        ASSERT_EQ(p.expander->Expand(buffer, buffer), 0) << p.name;
        EXPECT_EQ(String(buffer), m) << p.name;
    }
}

TEST(JexCompression, EmptyMessageLeavesTotalsUnchanged) {
    for (Pair& p : Pairs()) {
        JexBuffer out = Buffer("stale");
        ASSERT_EQ(p.compressor->Compress(JexBuffer(), out), 0);
        EXPECT_EQ(out.Length(), 0) << p.name;
        ASSERT_EQ(p.expander->Expand(JexBuffer(), out), 0);
        EXPECT_EQ(out.Length(), 0) << p.name;
        EXPECT_EQ(p.compressor->BytesIn() + p.compressor->BytesOut(), 0u) << p.name;
        EXPECT_EQ(p.expander->BytesIn() + p.expander->BytesOut(), 0u) << p.name;
    }
}

TEST(JexLzw, FreshCompressorGivesTheWireVector) {
    JexLzwCompressor compressor;
    JexBuffer out;
    ASSERT_EQ(compressor.Compress(Buffer("abc"), out), 0);
    EXPECT_EQ(String(out), std::string("\x61\xc4\x8c\x01", 4));
    EXPECT_EQ(compressor.BytesIn(), 3u);
    EXPECT_EQ(compressor.BytesOut(), 4u);
    EXPECT_FLOAT_EQ(compressor.Ratio(), 0.75f);
}

TEST(JexLzw, CorruptInputIsRecordedAndRaised) {
    JexLzw expander;
    expander.SetSuppress(1);
    JexBuffer out;
    // 'a', 'b', then a code beyond the dictionary.
    const std::string hostile("\x61\xc4\x40\x06", 4);
    EXPECT_EQ(expander.Decompress(Buffer(hostile), out), JexCompressionBase::CORRUPT);
    EXPECT_EQ(expander.Code(), JexCompressionBase::CORRUPT);
    EXPECT_STREQ(expander.Args()[0].Data(), "JexLzw::Decompress");
    EXPECT_STREQ(expander.Describe(1).Text(),
                 "--- JexCompressionBase::CORRUPT, Corrupt input buffer");
    EXPECT_EQ(String(out), "ab");
    EXPECT_EQ(expander.BytesIn(), 0u);  // a failed call is not counted
}

int TakeError(JexException* raised, void* context) {
    *static_cast<int*>(context) = raised->Code();
    return 0;
}

TEST(JexLzw, CorruptInputGoesToTheHandlers) {
    JexLzw expander;
    int seen = -100;
    JexHandlerScope scope(&expander, TakeError, &seen);
    JexBuffer out;
    JexExpander& base = expander;
    EXPECT_EQ(base.Expand(Buffer(std::string("\xff\xff\xff", 3)), out), 1);
    EXPECT_EQ(seen, JexCompressionBase::CORRUPT);
}

TEST(JexLzwDeathTest, UnhandledCorruptInputEndsTheProcess) {
    EXPECT_EXIT(
        {
            JexLzw expander;
            JexBuffer out;
            expander.Decompress(Buffer(std::string("\xff\xff\xff", 3)), out);
        },
        testing::ExitedWithCode(1), "JexCompressionBase::CORRUPT, Corrupt input buffer");
}

TEST(JexLzw, LargeMessagesRoundTrip) {
    JexLzwCompressor compressor;
    JexLzw expander;
    std::string big = Random(8 << 20, 7);
    std::memset(big.data() + (2 << 20), 'x', 3 << 20);
    JexBuffer wire;
    JexBuffer back;
    ASSERT_EQ(compressor.Compress(Buffer(big), wire), 0);
    ASSERT_EQ(expander.Decompress(wire, back), 0);
    EXPECT_TRUE(String(back) == big);
}

}  // namespace
