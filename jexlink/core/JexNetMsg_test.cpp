// Tests of the net messages: wire form, decoding of good and bad bytes, copies, dumps.
#include "jexlink/core/JexNetMsg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/DebugCheck.h"
#include "testing/support/CapturedFile.h"

namespace {

std::string Wire(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), b.Length()) : std::string();
}

std::string Item(const JexNetMsg& m, int i) { return Wire(m[i]); }

JexBuffer Bytes(const std::string& s) { return JexBuffer(s.data(), static_cast<int>(s.size())); }

TEST(JexNetMsg, EncodesWireForm) {
    struct Case {
        const char* name;
        int type;
        std::vector<std::pair<int, std::string>> items;
        std::string wire;
    } cases[] = {
        {"empty", 7, {}, "\x07"},
        {"one item", 65, {{1, "xy"}}, std::string("A\x01\x02\x00\x00xy", 7)},
        {"present but empty", 65, {{1, ""}}, std::string("A\x01\x00\x00\x00", 5)},
        {"slot order",
         66,
         {{200, "b"}, {3, "a"}},
         std::string("B\x03\x01\x00\x00"
                     "a\xC8\x01\x00\x00"
                     "b",
                     11)},
        {"raw", 68, {{68, "payload"}}, "dpayload"},
        {"raw empty", 68, {{68, ""}}, "d"},
        {"raw needs type D", 69, {{68, "p"}}, std::string("E\x44\x01\x00\x00p", 6)},
        {"raw needs only item",
         68,
         {{68, "p"}, {1, ""}},
         std::string("D\x01\x00\x00\x00\x44\x01\x00\x00p", 10)},
        {"length bytes",
         1,
         {{0, std::string(0x010203, 'z')}},
         std::string("\x01\x00\x03\x02\x01", 5) + std::string(0x010203, 'z')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexNetMsg m(c.type);
        for (const auto& [slot, bytes] : c.items) m[slot] = Bytes(bytes);
        EXPECT_EQ(Wire(m.Encode()), c.wire);
        JexBuffer out("stale");
        EXPECT_EQ(m.Encode(out), JexNetMsg::kEncoded);
        EXPECT_EQ(Wire(out), c.wire);
    }
}

TEST(JexNetMsg, DecodesGoodAndBadBytes) {
    struct Case {
        const char* name;
        std::string wire;
        int type;
        int corrupt;
        std::vector<std::pair<int, std::string>> items;
    } cases[] = {
        {"empty input", "", 0, 1, {}},
        {"type only", "\x07", 7, 0, {}},
        {"one item", std::string("A\x01\x02\x00\x00xy", 7), 65, 0, {{1, "xy"}}},
        {"empty item", std::string("A\x01\x00\x00\x00", 5), 65, 0, {{1, ""}}},
        {"raw", "dabc", 68, 0, {{68, "abc"}}},
        {"raw empty", "d", 68, 0, {{68, ""}}},
        {"item runs past end",
         std::string("\x07\x01\x05\x00\x00"
                     "a",
                     6),
         7,
         1,
         {}},
        {"trailing byte",
         std::string("\x07\x01\x01\x00\x00"
                     "a\x09",
                     7),
         7,
         1,
         {{1, "a"}}},
        {"three trailing bytes", std::string("\x07\x01\x00\x00", 4), 7, 1, {}},
        {"later item replaces",
         std::string("\x07\x01\x01\x00\x00"
                     "a\x01\x01\x00\x00"
                     "b",
                     11),
         7,
         0,
         {{1, "b"}}},
        {"huge claimed length",
         std::string("\x07\x01\xFF\xFF\xFF"
                     "abc",
                     8),
         7,
         1,
         {}},
        {"complete item before a bad one",
         std::string("\x07\x02\x01\x00\x00"
                     "a\x03\x09\x00\x00",
                     10),
         7,
         1,
         {{2, "a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexNetMsg m(9);
        m[5] = JexBuffer("old");
        m.Decode(Bytes(c.wire));
        EXPECT_EQ(m.Type(), c.type);
        EXPECT_EQ(m.Corrupt(), c.corrupt);
        EXPECT_EQ(m.ItemCount(), static_cast<int>(c.items.size()));
        for (const auto& [slot, bytes] : c.items) EXPECT_EQ(Item(m, slot), bytes);
    }
}

TEST(JexNetMsg, RoundTripKeepsEveryItem) {
    JexNetMsg m('Q');
    for (int i = 0; i < 256; i += 5)
        m[i] = Bytes(std::string(static_cast<size_t>(i), static_cast<char>(i)));
    JexNetMsg back;
    back.Decode(m.Encode());
    EXPECT_EQ(back.Corrupt(), 0);
    EXPECT_EQ(back.Type(), 'Q');
    EXPECT_EQ(back.ItemCount(), m.ItemCount());
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(back[i] == m[i]) << i;
}

TEST(JexNetMsg, EncodeRefusesWhatCannotBeFramed) {
    JexNetMsg big(1);
    big[2].SetLength(JexNetMsg::kItemLimit);
    JexBuffer out("stale");
    EXPECT_EQ(big.Encode(out), JexNetMsg::kRefused);
    EXPECT_EQ(out.Data(), nullptr);
    EXPECT_EQ(big.Encode(big[3]), JexNetMsg::kRefused);  // also into an own item
    big[3].Free();
    big[2].SetLength(JexNetMsg::kItemLimit - 1);
    EXPECT_EQ(big.Encode(out), JexNetMsg::kEncoded);
    EXPECT_EQ(out.Length(), 5 + JexNetMsg::kItemLimit - 1);

    JexNetMsg raw(68);  // the raw form has no length field
    raw[68].SetLength(JexNetMsg::kItemLimit + 10);
    EXPECT_EQ(raw.Encode().Length(), 1 + JexNetMsg::kItemLimit + 10);

    JexNetMsg typed_d('d');  // would read back as a raw message
    typed_d[1] = JexBuffer("x");
    EXPECT_EQ(typed_d.Encode().Data(), nullptr);
    EXPECT_EQ(typed_d.Encode(out), JexNetMsg::kRefused);
}

TEST(JexNetMsgDeathTest, TypeDIsRefused) {
    JexNetMsg m;
    EXPECT_DEATH(m.Type('d'), "JexNetMsg::Type\\(\\) can't use 'd' as JexNetMsg type");
}

// The contract of the item references: a reference kept across Clear or
// Decode and then given storage would be left out of the wire form.
TEST(JexNetMsgDeathTest, AnItemGivenStorageThroughAStaleReferenceStopsEncode) {
    if (!platform::kDebugChecks) GTEST_SKIP() << "a release build does not check";
    for (const bool decoded : {false, true}) {
        SCOPED_TRACE(decoded ? "across Decode" : "across Clear");
        JexNetMsg m('M');
        JexBuffer& stale = m[7];
        if (decoded)
            m.Decode(Bytes(std::string("M\x01\x01\0\0x", 6)));
        else
            m.Clear();
        stale = Bytes("lost");
        EXPECT_DEATH((void)m.Encode(), "broken contract: JexNetMsg: an item reference");
        JexBuffer head, tail;
        EXPECT_DEATH((void)m.EncodeAround(1, Bytes("x"), head, tail), "broken contract");
        // Asked for again, the item is noted and travels.
        m[7] = Bytes("kept");
        EXPECT_NE(Wire(m.Encode()).find("kept"), std::string::npos);
    }
}

TEST(JexNetMsg, TypeKeepsLowByte) {
    JexNetMsg m(0x141);
    EXPECT_EQ(m.Type(), 0x41);
    m.Type(0x1FF);
    EXPECT_EQ(m.Type(), 0xFF);
}

TEST(JexNetMsg, SlotsWrapAndNegativeIndexIsRejected) {
    static int seen;
    seen = 0;
    auto previous = JexBufferBase::SetIndexErrorHandler([](int index) {
        seen = index;
        return 0;
    });
    JexNetMsg m;
    m[256 + 3] = JexBuffer("w");
    EXPECT_EQ(Item(m, 3), "w");
    m[-1] = JexBuffer("lost");
    EXPECT_EQ(seen, -1);
    EXPECT_EQ(m.ItemCount(), 1);
    EXPECT_EQ(m[-5].Data(), nullptr);
    JexBufferBase::SetIndexErrorHandler(previous);
}

TEST(JexNetMsg, NextItemWalksThePresentItemsInSlotOrder) {
    const auto walk = [](const JexNetMsg& m) {
        std::vector<int> slots;
        for (int i = m.NextItem(-1); i < JexNetMsg::kItems; i = m.NextItem(i)) slots.push_back(i);
        return slots;
    };
    JexNetMsg m;
    EXPECT_EQ(walk(m), std::vector<int>{});
    for (int slot : {255, 64, 0, 63, 130}) m[slot] = JexBuffer("x");
    m[65].SetLength(0);  // present though empty
    (void)m[7];          // asked for, never given storage
    m[130].Free();       // given storage, then freed
    EXPECT_EQ(walk(m), (std::vector<int>{0, 63, 64, 65, 255}));
    EXPECT_EQ(m.NextItem(-5), 0);
    EXPECT_EQ(m.NextItem(65), 255);
    EXPECT_EQ(m.NextItem(255), JexNetMsg::kItems);
    EXPECT_EQ(m.NextItem(400), JexNetMsg::kItems);
    // Every way a message gets or loses items keeps the walk exact.
    m.Clear();
    EXPECT_EQ(walk(m), std::vector<int>{});
    m[9] = JexBuffer("again");
    EXPECT_EQ(walk(m), std::vector<int>{9});
    m.Decode(
        Bytes(std::string("E\x03\x01\x00\x00"
                          "a\xc8\x00\x00\x00",
                          10)));
    EXPECT_EQ(walk(m), (std::vector<int>{3, 200}));
    JexNetMsg assigned;
    assigned[1] = JexBuffer("gone");
    assigned = m;
    EXPECT_EQ(walk(assigned), (std::vector<int>{3, 200}));
    EXPECT_EQ(walk(JexNetMsg(m)), (std::vector<int>{3, 200}));
    JexBuffer rest = Bytes("payload");
    m.DecodeTaking(JexBuffer("d"), rest);
    EXPECT_EQ(walk(m), std::vector<int>{JexNetMsg::kRawItem});
}

TEST(JexNetMsg, CopiesAndAssignment) {
    JexNetMsg source('S');
    source[1] = JexBuffer("one");
    source[2] = JexBuffer("");
    const JexNetMsg copy(source);
    EXPECT_EQ(copy.Type(), 0);
    EXPECT_EQ(copy.ItemCount(), 2);
    EXPECT_EQ(Item(copy, 1), "one");

    JexNetMsg target('T');
    target[9] = JexBuffer("gone");
    target = source;
    EXPECT_EQ(target.Type(), 'T');
    EXPECT_EQ(target.ItemCount(), 2);
    EXPECT_EQ(target[9].Data(), nullptr);
    const JexNetMsg& same = target;
    target = same;
    EXPECT_EQ(target.ItemCount(), 2);

    target.Clear();
    EXPECT_EQ(target.ItemCount(), 0);
    EXPECT_EQ(target.Type(), 0);
}

TEST(JexNetMsg, EncodeAndDecodeThroughOwnItems) {
    const std::string wire(
        "E\x01\x02\x00\x00"
        "ab",
        7);
    // Every way the input of Decode can lie in the message's own items.
    struct Case {
        const char* name;
        void (*decode)(JexNetMsg& m);
    } cases[] = {
        {"buffer", [](JexNetMsg& m) { m.Decode(m[2]); }},
        {"pointer", [](JexNetMsg& m) { m.Decode(m[2].Data(), m[2].Length()); }},
        {"pointer into the middle",
         [](JexNetMsg& m) {
             m[7] = JexBuffer("xx");
             m[7] += m[2];
             m.Decode(m[7].Data() + 2, m[7].Length() - 2);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexNetMsg m('E');
        m[1] = JexBuffer("ab");
        ASSERT_EQ(m.Encode(m[2]), JexNetMsg::kEncoded);
        EXPECT_EQ(Item(m, 2), wire);
        c.decode(m);
        EXPECT_EQ(m.Corrupt(), 0);
        EXPECT_EQ(m.Type(), 'E');
        EXPECT_EQ(m.ItemCount(), 1);
        EXPECT_EQ(Item(m, 1), "ab");
    }
}

// The same message, described once: type and items in any order.
struct Shape {
    const char* name;
    int type;
    std::vector<std::pair<int, std::string>> items;
};

JexNetMsg Build(const Shape& shape) {
    JexNetMsg m(shape.type);
    for (const auto& [slot, bytes] : shape.items) {
        m[slot] = Bytes(bytes);
        if (!m[slot].Data()) m[slot].SetLength(0);
    }
    return m;
}

bool SameMessage(const JexNetMsg& a, const JexNetMsg& b) {
    if (a.Type() != b.Type() || a.Corrupt() != b.Corrupt()) return false;
    for (int i = 0; i < JexNetMsg::kItems; ++i)
        if ((a[i].Data() == nullptr) != (b[i].Data() == nullptr) || Item(a, i) != Item(b, i))
            return false;
    return true;
}

const Shape kShapes[] = {
    {"data and crc", 'D', {{'D', std::string(70000, 'x')}, {'r', "\1\2\3\4"}}},
    {"raw", 'D', {{'D', "payload"}}},
    {"raw and empty", 'D', {{'D', ""}}},
    {"empty item before and after", 's', {{'A', ""}, {'D', "abc"}, {'M', "\7"}, {'r', "crc!"}}},
    {"item alone", 'k', {{'M', std::string("\0", 1)}}},
};

TEST(JexNetMsg, EncodeAroundWritesTheBytesOfEncodeWithoutTheItem) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const JexNetMsg whole = Build(shape);
        for (const auto& [slot, bytes] : shape.items) {
            JexNetMsg without = Build(shape);
            without[slot].Free();
            const JexBuffer item = whole[slot];
            JexBuffer head("stale");
            JexBuffer tail("stale");
            ASSERT_EQ(without.EncodeAround(slot, item, head, tail), JexNetMsg::kEncoded);
            EXPECT_EQ(Wire(head) + Wire(item) + Wire(tail), Wire(whole.Encode()));
            // The item of the slot in the message does not count.
            without[slot] = JexBuffer("ignored");
            ASSERT_EQ(without.EncodeAround(slot, item, head, tail), JexNetMsg::kEncoded);
            EXPECT_EQ(Wire(head) + Wire(item) + Wire(tail), Wire(whole.Encode()));
        }
    }
    // An item without storage is an empty item.
    JexNetMsg m('D');
    m['r'] = JexBuffer("abcd");
    JexBuffer head;
    JexBuffer tail;
    ASSERT_EQ(m.EncodeAround('D', JexBuffer(), head, tail), JexNetMsg::kEncoded);
    EXPECT_EQ(Wire(head) + Wire(tail), std::string("DD\0\0\0r\4\0\0abcd", 13));
    // Into the message's own items.
    ASSERT_EQ(m.EncodeAround('D', JexBuffer("xy"), m['r'], m[1]), JexNetMsg::kEncoded);
    EXPECT_EQ(Item(m, 'r') + "xy" + Item(m, 1), std::string("DD\2\0\0xyr\4\0\0abcd", 15));
    // The item one of the message's own, and head and tail one buffer: that
    // buffer ends as the tail.
    JexNetMsg own('D');
    own['D'] = JexBuffer("xy");
    own['r'] = JexBuffer("abcd");
    ASSERT_EQ(own.EncodeAround('D', own['D'], head, tail), JexNetMsg::kEncoded);
    EXPECT_EQ(Wire(head) + "xy" + Wire(tail), std::string("DD\2\0\0xyr\4\0\0abcd", 15));
    ASSERT_EQ(own.EncodeAround('D', own['r'], head, tail), JexNetMsg::kEncoded);
    EXPECT_EQ(Wire(head) + "abcd" + Wire(tail), std::string("DD\4\0\0abcdr\4\0\0abcd", 17));
    JexBuffer both("stale");
    ASSERT_EQ(own.EncodeAround('D', own['D'], both, both), JexNetMsg::kEncoded);
    EXPECT_EQ(Wire(both), std::string("r\4\0\0abcd", 8));
}

TEST(JexNetMsg, EncodeAroundRefusesWhatEncodeRefuses) {
    JexNetMsg m(1);
    JexBuffer big;
    big.SetLength(JexNetMsg::kItemLimit);
    JexBuffer head("stale");
    JexBuffer tail("stale");
    EXPECT_EQ(m.EncodeAround(2, big, head, tail), JexNetMsg::kRefused);
    EXPECT_EQ(head.Data(), nullptr);
    EXPECT_EQ(tail.Data(), nullptr);
    big.SetLength(JexNetMsg::kItemLimit - 1);
    ASSERT_EQ(m.EncodeAround(2, big, head, tail), JexNetMsg::kEncoded);
    EXPECT_EQ(head.Length() + big.Length() + tail.Length(), 5 + JexNetMsg::kItemLimit - 1);
    JexNetMsg typed_d('d');
    EXPECT_EQ(typed_d.EncodeAround(1, JexBuffer("x"), head, tail), JexNetMsg::kRefused);
    EXPECT_EQ(m.EncodeAround(-1, JexBuffer("x"), head, tail), JexNetMsg::kRefused);
    EXPECT_EQ(m.EncodeAround(256, JexBuffer("x"), head, tail), JexNetMsg::kRefused);
}

TEST(JexNetMsg, DecodeTakingMatchesDecodeOfTheJoinedBytes) {
    std::vector<std::pair<std::string, std::string>> wires;
    for (const Shape& shape : kShapes) wires.emplace_back(shape.name, Wire(Build(shape).Encode()));
    // Bytes that Encode does not write: a later item of the first slot, a
    // truncated tail, trailing bytes, an item longer than the rest, short.
    wires.emplace_back("first slot again", std::string("DD\2\0\0abD\1\0\0c", 12));
    wires.emplace_back("truncated tail", std::string("DD\2\0\0abr\4\0\0ab", 12));
    wires.emplace_back("trailing", std::string("DD\2\0\0abr\0", 9));
    wires.emplace_back("too long", std::string("DD\11\0\0ab", 7));
    wires.emplace_back("short", std::string("DD\0", 3));
    wires.emplace_back("type only", "E");
    for (const auto& [name, wire] : wires) {
        SCOPED_TRACE(name);
        JexNetMsg expected;
        expected.Decode(Bytes(wire));
        // The gateway's split (raw mark alone, else five bytes), and others.
        for (size_t split : {size_t{0}, size_t{1}, size_t{3}, size_t{5}}) {
            if (split > wire.size()) continue;
            SCOPED_TRACE(split);
            JexBuffer lead = Bytes(wire.substr(0, split));
            JexBuffer rest = Bytes(wire.substr(split));
            JexNetMsg m(9);
            m[3] = JexBuffer("stale");
            m.DecodeTaking(lead, rest);
            EXPECT_TRUE(SameMessage(m, expected));
            EXPECT_EQ(rest.Data(), nullptr);
            // Lead and rest as items of the message itself.
            m.Clear();
            m[1] = Bytes(wire.substr(0, split));
            m[2] = Bytes(wire.substr(split));
            m.DecodeTaking(m[1], m[2]);
            EXPECT_TRUE(SameMessage(m, expected));
        }
    }
    // The first item takes the storage of rest.
    JexBuffer rest = Bytes(std::string("abcr\4\0\0crc!", 11));
    const char* storage = rest.Data();
    JexNetMsg m;
    m.DecodeTaking(Bytes(std::string("DD\3\0\0", 5)), rest);
    EXPECT_EQ(m[68].Data(), storage);
    EXPECT_EQ(Item(m, 68), "abc");
    EXPECT_EQ(Item(m, 'r'), "crc!");
}

std::string FileDump(const JexNetMsg& m) {
    return tavro::testing::CapturedFile([&](FILE* f) { m.Dump(f); });
}

TEST(JexNetMsg, DumpForms) {
    const std::string line = "  000000   78 79" + std::string(14 * 3, ' ') + "   xy\n";
    JexNetMsg m('A');
    m[1] = JexBuffer("xy");
    EXPECT_EQ(FileDump(m),
              "JexNetMsg Type = 65 (0x41 or 'A')\nItem index 1 (0x01) (2 bytes):\n" + line);
    std::ostringstream os;
    m.Dump(os);
    EXPECT_EQ(os.str(), "JexNetMsg Type = 65 ('A')\nItem index 1 (0x01) (2 bytes):\n" + line);

    JexNetMsg bad;
    bad.Decode(Bytes(std::string("\x7F\x41\x09", 3)));
    EXPECT_EQ(FileDump(bad),
              "JexNetMsg Type = 127 (0x7f)\n** This JexNetMsg was constructed from a corrupt "
              "JexBuffer **\n");
    std::ostringstream bos;
    bad.Dump(bos);
    EXPECT_EQ(bos.str(),
              "JexNetMsg Type = 127 ('\x7F')\n** This JexNetMsg was constructed from a corrupt "
              "JexBuffer **\n");
}

}  // namespace
