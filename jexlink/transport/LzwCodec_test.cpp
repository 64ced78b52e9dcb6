// Tests of the LZW encoder and decoder: wire vectors, round trips across fills and resets, hostile
// streams.
#include "jexlink/transport/LzwCodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes FromBuffer(const JexBuffer& b) {
    const auto* d = reinterpret_cast<const unsigned char*>(b.Data());
    return d ? Bytes(d, d + b.Length()) : Bytes();
}

Bytes Encode(LzwEncoder& encoder, const Bytes& in) {
    JexBuffer out;
    EXPECT_TRUE(encoder.Encode(in.data(), static_cast<int>(in.size()), out));
    return FromBuffer(out);
}

LzwDecoder::Result Decode(LzwDecoder& decoder, const Bytes& in, Bytes* out) {
    JexBuffer buffer;
    const LzwDecoder::Result result =
        decoder.Decode(in.data(), static_cast<int>(in.size()), buffer);
    *out = FromBuffer(buffer);
    return result;
}

// Packs (code, width) pairs least significant bit first, as the encoder does.
Bytes Pack(const std::vector<std::pair<int, int>>& codes) {
    Bytes out;
    uint64_t p = 0;
    for (auto [code, width] : codes) {
        for (int b = 0; b < width; ++b, ++p) {
            if (p / 8 >= out.size()) out.push_back(0);
            if (code >> b & 1) out[p / 8] = static_cast<unsigned char>(out[p / 8] | 1 << (p % 8));
        }
    }
    return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(gen());
    return out;
}

// Text with a small vocabulary: compresses well and fills the dictionary.
Bytes Text(size_t n, uint32_t seed) {
    static const char* const kWords[] = {"gateway ", "route ",   "session ", "node ",
                                         "the ",     "connect ", "map\n",    "request "};
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < n) s += kWords[gen() % 8];
    s.resize(n);
    return ToBytes(s);
}

TEST(LzwEncoder, FreshEncoderGivesTheWireVectors) {
    using namespace std::string_literals;
    struct Case {
        std::string in;
        Bytes out;
    } const cases[] = {
        {"abc", {0x61, 0xc4, 0x8c, 0x01}},  // 97, 98, 99 at 9 bits
        {"a", {0x61, 0x00}},
        {"aaaa", {0x61, 0x02, 0x86, 0x01}},  // 97, 257, 97
        // Eight 9-bit codes end on a byte boundary: no padding byte.
        {"abcdefgh", {0x61, 0xc4, 0x8c, 0x21, 0x53, 0xc6, 0xcc, 0x19, 0x34}},
        // Runs of zero bytes: the entry for byte 0 after byte 0 is found
        // again and grows longer strings like any other.
        {"\0\0\0\0\0a\0\0"s, {0x00, 0x02, 0x06, 0x0c, 0x13, 0x10}},
        {"\0\0\0\0\0\0\0\0\0a\0\0"s, {0x00, 0x02, 0x0a, 0x14, 0x18, 0x26, 0x20}},
    };
    for (const Case& c : cases) {
        LzwEncoder encoder;
        EXPECT_EQ(Encode(encoder, ToBytes(c.in)), c.out) << c.in;
        LzwDecoder decoder;
        Bytes back;
        EXPECT_EQ(Decode(decoder, c.out, &back), LzwDecoder::Result::kOk) << c.in;
        EXPECT_EQ(back, ToBytes(c.in)) << c.in;
    }
}

// Streams of many generated messages, each through one encoder, against
// the length and FNV-1a hash of the codes the encoder has always given: any
// change of the dictionary's look-ups, shortcuts or packing that alters a
// single bit shows here. Each stream is also expanded back.
TEST(LzwEncoder, GeneratedStreamsGiveTheRecordedCodes) {
    struct Case {
        const char* name;
        std::vector<Bytes> messages;
        size_t length;
        uint64_t hash;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, size_t length, uint64_t hash) {
        cases.push_back({name, {}, length, hash});
        return &cases.back().messages;
    };
    // Repeated blocks: strings grow long and are matched by shortcuts.
    {
        std::vector<Bytes>* m = add("repeated blocks", 15677, 0x14362da6059ec35fu);
        Bytes block(65536);
        for (size_t i = 0; i < block.size(); ++i) block[i] = "session bench text "[i % 19];
        for (int i = 0; i < 40; ++i) m->push_back(block);
    }
    {
        // Text, random data, zeros and runs, in messages of varied sizes:
        // the dictionary fills, resets inside messages and refills.
        std::vector<Bytes>* m = add("mixed", 1427740, 0x2b917fb6148f2f6du);
        std::mt19937 gen(77);
        for (uint32_t i = 0; i < 400; ++i) {
            const size_t size = 1 + gen() % 20000;
            switch (gen() % 5) {
                case 0: m->push_back(RandomBytes(size, i)); break;
                case 1: m->push_back(Bytes(size, static_cast<unsigned char>(gen() % 3))); break;
                default: m->push_back(Text(size, i)); break;
            }
        }
    }
    {
        // Sparse bytes with many zeros: the entry of byte 0 after byte 0
        // is displaced and made again.
        std::vector<Bytes>* m = add("zero heavy", 845329, 0x3ebe79405bc49f3cu);
        std::mt19937 gen(5);
        for (int i = 0; i < 60; ++i) {
            Bytes b(30000);
            for (auto& x : b) x = gen() % 4 ? 0 : static_cast<unsigned char>(gen());
            m->push_back(b);
        }
    }
    {
        std::vector<Bytes>* m = add("binary-like", 511131, 0xb04dfafc48912e3du);
        std::mt19937 gen(9);
        for (int i = 0; i < 100; ++i) {
            Bytes b(8192);
            for (size_t k = 0; k < b.size(); ++k)
                b[k] = static_cast<unsigned char>(k % 16 < 4 ? gen() % 8 : (k * 37) >> (gen() % 3));
            m->push_back(b);
        }
    }
    for (const Case& c : cases) {
        LzwEncoder encoder;
        LzwDecoder decoder;
        size_t length = 0;
        uint64_t hash = 0xcbf29ce484222325u;
        for (size_t i = 0; i < c.messages.size(); ++i) {
            const Bytes wire = Encode(encoder, c.messages[i]);
            length += wire.size();
            for (unsigned char b : wire) hash = (hash ^ b) * 0x100000001b3u;
            Bytes back;
            ASSERT_EQ(Decode(decoder, wire, &back), LzwDecoder::Result::kOk) << c.name << " #" << i;
            ASSERT_EQ(back, c.messages[i]) << c.name << " #" << i;
        }
        EXPECT_EQ(length, c.length) << c.name;
        EXPECT_EQ(hash, c.hash) << c.name;
    }
}

TEST(LzwEncoder, RepeatedMessageCompressesBetterAndDecodesInOrder) {
    const Bytes msg = ToBytes("the route map names the gateway of the route to the node");
    LzwEncoder encoder;
    const Bytes first = Encode(encoder, msg);
    const Bytes second = Encode(encoder, msg);
    EXPECT_LT(second.size(), first.size());

    LzwDecoder decoder;
    Bytes back;
    ASSERT_EQ(Decode(decoder, first, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, msg);
    ASSERT_EQ(Decode(decoder, second, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, msg);
}

TEST(LzwEncoder, EmptyMessageGivesEmptyOutputAndKeepsTotals) {
    LzwEncoder encoder;
    Encode(encoder, ToBytes("abc"));
    EXPECT_TRUE(Encode(encoder, Bytes()).empty());
    EXPECT_EQ(encoder.BytesIn(), 3u);
    EXPECT_EQ(encoder.BytesOut(), 4u);
    LzwDecoder decoder;
    Bytes back;
    EXPECT_EQ(Decode(decoder, Bytes(), &back), LzwDecoder::Result::kOk);
    EXPECT_TRUE(back.empty());
    // An empty message does not count as the stream's first.
    EXPECT_EQ(Decode(decoder, Bytes{0x61, 0xc4, 0x8c, 0x01}, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, ToBytes("abc"));
}

// Sequences of messages through one encoder and one decoder, each message
// checked as it comes out.
TEST(LzwCodec, MessageSequencesRoundTripAcrossFillsAndResets) {
    struct Case {
        const char* name;
        std::vector<Bytes> messages;
    };
    std::vector<Case> cases;
    cases.push_back({"short texts", {}});
    for (uint32_t i = 0; i < 200; ++i) cases.back().messages.push_back(Text(1 + i % 37, i));
    cases.push_back({"one byte messages", {}});
    for (int i = 0; i < 600; ++i)
        cases.back().messages.push_back(Bytes{static_cast<unsigned char>(i * 7)});
    cases.push_back(
        {"zeros, runs of one byte", {Bytes(70000, 0), Bytes(3, 0), Bytes(200000, 'z')}});
    cases.push_back({"random then text", {RandomBytes(300000, 1), Text(300000, 2)}});
    // Text fills the dictionary; random data then lowers the ratio, which
    // resets it inside a message; text again builds a new one.
    cases.push_back(
        {"text, random, text", {Text(600000, 3), RandomBytes(400000, 4), Text(200000, 5)}});
    cases.push_back({"many mixed messages", {}});
    for (uint32_t i = 0; i < 150; ++i)
        cases.back().messages.push_back(i % 3 ? Text(5000 + i * 31, i) : RandomBytes(4000, i));

    for (const Case& c : cases) {
        LzwEncoder encoder;
        LzwDecoder decoder;
        for (size_t m = 0; m < c.messages.size(); ++m) {
            const Bytes wire = Encode(encoder, c.messages[m]);
            Bytes back;
            ASSERT_EQ(Decode(decoder, wire, &back), LzwDecoder::Result::kOk) << c.name << " #" << m;
            ASSERT_EQ(back, c.messages[m]) << c.name << " #" << m;
        }
    }
}

// An ended coder's tables serve the next coder of the process: whatever
// the one before wrote (a few entries, more than are tracked one by one, a
// full dictionary with resets, a hostile stream), the next one codes and
// expands as a coder with fresh tables does.
TEST(LzwCodec, CodersAfterEndedOnesWorkAsFreshOnes) {
    const std::vector<Bytes> probe = {ToBytes("Subject line\n"), Text(3000, 7), ToBytes("\0\0a")};
    auto run = [&probe]() {
        std::vector<Bytes> codes;
        LzwEncoder encoder;
        LzwDecoder decoder;
        for (const Bytes& m : probe) {
            codes.push_back(Encode(encoder, m));
            Bytes back;
            EXPECT_EQ(Decode(decoder, codes.back(), &back), LzwDecoder::Result::kOk);
            EXPECT_EQ(back, m);
        }
        return codes;
    };
    const std::vector<Bytes> fresh = run();
    struct Before {
        const char* name;
        std::vector<Bytes> messages;
        Bytes hostile;
    } const befores[] = {
        {"a few entries", {ToBytes("abcabcabc")}, {}},
        {"beyond the tracked entries", {RandomBytes(20000, 3)}, {}},
        {"a full dictionary and resets", {Text(1 << 20, 5), RandomBytes(300000, 9)}, {}},
        {"a hostile stream", {}, Pack({{97, 9}, {300, 9}})},
    };
    for (const Before& before : befores) {
        {
            LzwEncoder encoder;
            LzwDecoder decoder;
            for (const Bytes& m : before.messages) {
                Bytes back;
                EXPECT_EQ(Decode(decoder, Encode(encoder, m), &back), LzwDecoder::Result::kOk)
                    << before.name;
                EXPECT_EQ(back, m) << before.name;
            }
            if (!before.hostile.empty()) {
                Bytes back;
                EXPECT_EQ(Decode(decoder, before.hostile, &back), LzwDecoder::Result::kCorrupt);
            }
        }
        EXPECT_EQ(run(), fresh) << before.name;
    }
}

TEST(LzwCodec, DroppingRatioResetsAFullDictionary) {
    LzwEncoder encoder;
    LzwDecoder decoder;
    Bytes back;
    const Bytes text = Text(1500000, 9);
    ASSERT_EQ(Decode(decoder, Encode(encoder, text), &back), LzwDecoder::Result::kOk);
    ASSERT_EQ(back, text);
    ASSERT_EQ(encoder.CodeWidth().nextCode, LzwCodeWidth::kCodeLimit);  // full

    // Random data inside one message: the ratio drops at a check, and the
    // dictionary starts again while the message is still being coded.
    const Bytes noise = RandomBytes(50000, 10);
    const Bytes wire = Encode(encoder, noise);
    EXPECT_LT(encoder.CodeWidth().nextCode, LzwCodeWidth::kCodeLimit);
    ASSERT_EQ(Decode(decoder, wire, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, noise);
}

TEST(LzwCodec, SteadyRatioInsideALargeMessageKeepsTheDictionary) {
    // One large message of uniform text: its ratio does not drop, so the
    // full dictionary is never thrown away within it.
    LzwEncoder encoder;
    const Bytes text = Text(4000000, 11);
    Encode(encoder, Text(1500000, 12));
    ASSERT_EQ(encoder.CodeWidth().nextCode, LzwCodeWidth::kCodeLimit);
    Encode(encoder, text);
    EXPECT_EQ(encoder.CodeWidth().nextCode, LzwCodeWidth::kCodeLimit);
}

TEST(LzwDecoder, StringsOfManyThousandBytesDecode) {
    // A run of one byte builds strings one byte longer with every code: a
    // long-lived connection reaches strings far beyond a few thousand bytes.
    LzwEncoder encoder;
    LzwDecoder decoder;
    const Bytes run(20000000, 'x');
    Bytes back;
    ASSERT_EQ(Decode(decoder, Encode(encoder, run), &back), LzwDecoder::Result::kOk);
    ASSERT_EQ(back, run);
    EXPECT_GT(encoder.CodeWidth().nextCode, 257 + 6000);
    const Bytes more(200000, 'x');
    ASSERT_EQ(Decode(decoder, Encode(encoder, more), &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, more);
}

TEST(LzwDecoder, HostileStreamsAreCorrupt) {
    using Codes = std::vector<std::pair<int, int>>;
    struct Case {
        const char* name;
        std::vector<Codes> calls;  // the last call must fail
    } const cases[] = {
        {"code beyond the next free code", {{{'a', 9}, {258, 9}}}},
        {"first code of the stream is not a byte", {{{300, 9}}}},
        {"first code of the stream is the reset code", {{{256, 9}, {'a', 9}}}},
        // The first code of a call names the next free code, so the entry
        // made by the call's second code points at itself.
        {"prefix chain that loops", {{{'a', 9}, {'b', 9}}, {{258, 9}, {'a', 9}}, {{258, 9}}}},
        {"code beyond the next free code after a reset", {{{'a', 9}, {256, 9}, {257, 9}}}},
    };
    for (const Case& c : cases) {
        LzwDecoder decoder;
        Bytes back;
        for (size_t i = 0; i + 1 < c.calls.size(); ++i)
            ASSERT_EQ(Decode(decoder, Pack(c.calls[i]), &back), LzwDecoder::Result::kOk) << c.name;
        EXPECT_EQ(Decode(decoder, Pack(c.calls.back()), &back), LzwDecoder::Result::kCorrupt)
            << c.name;
    }
}

TEST(LzwDecoder, FailedCallKeepsWhatWasExpandedBeforeIt) {
    LzwDecoder decoder;
    Bytes back;
    EXPECT_EQ(Decode(decoder, Pack({{'a', 9}, {'b', 9}, {400, 9}}), &back),
              LzwDecoder::Result::kCorrupt);
    EXPECT_EQ(back, ToBytes("ab"));
}

TEST(LzwDecoder, ExpansionBeyondTheLimitIsCorrupt) {
    LzwEncoder encoder;
    const Bytes wire = Encode(encoder, Bytes(5000, 'q'));
    LzwDecoder small(4999);
    Bytes back;
    EXPECT_EQ(Decode(small, wire, &back), LzwDecoder::Result::kCorrupt);
    EXPECT_LE(back.size(), 4999u);
    LzwDecoder exact(5000);
    EXPECT_EQ(Decode(exact, wire, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back.size(), 5000u);
}

TEST(LzwDecoder, ResetAsTheFirstCodeOfACallRestartsTheCount) {
    // A reset read as a call's first code is not followed by an entry the
    // encoder never made: the next entry is code 257 again.
    LzwDecoder decoder;
    Bytes back;
    ASSERT_EQ(Decode(decoder, Pack({{'a', 9}, {'b', 9}}), &back), LzwDecoder::Result::kOk);
    ASSERT_EQ(Decode(decoder, Pack({{256, 9}, {'c', 9}, {'d', 9}, {257, 9}}), &back),
              LzwDecoder::Result::kOk);
    // 'c' makes entry 257 = previous ('b') + 'c'; 'd' makes 258 = "cd".
    EXPECT_EQ(back, ToBytes("cdbc"));
}

TEST(LzwDecoder, PaddingBitsOfTheLastByteAreIgnored) {
    LzwDecoder decoder;
    Bytes back;
    // "abc" with the unused high bits of the last byte set.
    EXPECT_EQ(Decode(decoder, Bytes{0x61, 0xc4, 0x8c, 0xf9}, &back), LzwDecoder::Result::kOk);
    EXPECT_EQ(back, ToBytes("abc"));
}

}  // namespace
