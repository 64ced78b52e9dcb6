// Tests of the transport-class-2 frame: its codes, the frame vectors, the round trip, attributes
// and dumps.
#include "jexlink/modem/JexTp2Frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testing/support/CapturedFile.h"

namespace {

using Frame = JexTp2Frame;

JexBuffer Hex(const char* text) {
    JexBuffer out;
    for (const char* c = text; *c;) {
        if (*c == ' ') {
            ++c;
            continue;
        }
        out += static_cast<char>(std::strtol(std::string(c, 2).c_str(), nullptr, 16));
        c += 2;
    }
    return out;
}

std::string HexOf(const JexBuffer& buffer) {
    std::string out;
    char piece[4];
    for (int i = 0; i < buffer.Length(); ++i) {
        std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X",
                      static_cast<unsigned char>(buffer.Data()[i]));
        out += piece;
    }
    return out;
}

std::string Bytes(const JexBuffer& buffer) {
    return buffer.Length() ? std::string(buffer.Data(), static_cast<size_t>(buffer.Length())) : "";
}

TEST(JexTp2Frame, TableRows) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    } rows[] = {
        {0, "JexTp2Frame::OK", "Normal successful completion"},
        {1, "JexTp2Frame::ATTRNOTINT", "Attribute is not an integer"},
        {3, "JexTp2Frame::ATTRUNDEFINED", "Attribute is not defined"},
        {4, "JexTp2Frame::FAILURE", "Conversion failure"},
    };
    Frame frame;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(frame.CodeName(row.code).Text(), row.name);
        EXPECT_STREQ(frame.Text(row.code).Text(), row.text);
    }
    // There is no row 2: it is only ever returned, never recorded.
    EXPECT_STREQ(frame.Text(2).Text(), "Unknown JexTp2Frame exception value: 2");
    EXPECT_EQ(frame.Suppress(), 1);
}

struct Int {
    int id;
    int result;
    int value;
};

struct Text {
    int id;
    int result;
    const char* value;
};

// One vector: a frame built by `build` encodes to `wire` (no builder: the
// bytes are only decoded); decoding `wire` gives the status and, when it
// succeeded, the code, user data and fields listed.
struct Vector {
    const char* name;
    std::function<void(Frame&)> build;
    const char* wire;
    int status;
    const char* why;  // argument of a failed decoding
    int code;
    const char* user;
    std::vector<Int> ints;
    std::vector<Text> texts;
};

void SetAll(Frame& frame, int code, std::vector<std::pair<int, int>> ints) {
    frame.SetFrameCode(code);
    for (auto [id, value] : ints) ASSERT_EQ(frame.SetAttr(id, value), 0);
}

const Vector kVectors[] = {
    {"CR with references, class and options",
     [](Frame& f) {
         SetAll(f, Frame::kCR, {{1, 1}, {2, 2}, {3, 2}, {4, 0}});
     },
     "0F E0 00 01 00 02 20 C0 07 C4 01 C6 01 87 00 00",
     0,
     nullptr,
     Frame::kCR,
     "",
     {{Frame::LI, 0, 15},
      {Frame::DST_REF, 0, 1},
      {Frame::SRC_REF, 0, 2},
      {Frame::CLASS, 0, 2},
      {Frame::OPTIONS, 0, 0},
      {Frame::REASON, 3, 0},
      {Frame::TPDU_SIZE, 0, 7},
      {Frame::VERSION, 0, 1},
      {Frame::ADD_OPTION, 0, 1},
      {Frame::PRIORITY, 0, 0}},
     {{Frame::CALLING_TSAP, 3, nullptr}, {Frame::CALLED_TSAP, 3, nullptr}}},
    {"CR whose calling TSAP was set empty",
     [](Frame& f) {
         SetAll(f, Frame::kCR, {{1, 1}, {2, 2}, {3, 2}, {4, 0}});
         f.SetAttr(Frame::CALLING_TSAP, JexBuffer(""));
     },
     "0F E0 00 01 00 02 20 C0 07 C4 01 C6 01 87 00 00",
     0,
     nullptr,
     Frame::kCR,
     "",
     {},
     {{Frame::CALLING_TSAP, 3, nullptr}}},
    {"CR as a connection sends it",
     [](Frame& f) {
         SetAll(f, Frame::kCR,
                {{1, 0}, {2, 0}, {3, 2}, {4, 1}, {135, 128}, {192, 13}, {196, 20}, {198, 0}});
         f.SetAttr(Frame::CALLING_TSAP, JexBuffer("l/ab/7"));
         f.SetAttr(Frame::EXTRA_PARAMETER, Hex("00 25 80 00 25 80"));
         f.UserData() = JexBuffer("m/x");
     },
     "1F E0 00 00 00 00 21 C1 06 6C 2F 61 62 2F 37 89 06 00 25 80 00 25 80 C0 0D C4 14 C6 00 87 "
     "00 80 6D 2F 78",
     0,
     nullptr,
     Frame::kCR,
     "m/x",
     {{Frame::PRIORITY, 0, 128},
      {Frame::TPDU_SIZE, 0, 13},
      {Frame::VERSION, 0, 20},
      {Frame::ADD_OPTION, 0, 0},
      {Frame::OPTIONS, 0, 1}},
     {{Frame::CALLING_TSAP, 0, "l/ab/7"}, {Frame::EXTRA_PARAMETER, 0, "\x00\x25\x80\x00\x25\x80"}}},
    {"CC with the called TSAP",
     [](Frame& f) {
         SetAll(f, Frame::kCC,
                {{1, 9}, {2, 8}, {3, 2}, {4, 1}, {192, -99}, {196, -99}, {198, -99}, {135, -99}});
         f.SetAttr(Frame::CALLED_TSAP, JexBuffer("Local Daemon"));
     },
     "14 D0 00 09 00 08 21 C2 0C 4C 6F 63 61 6C 20 44 61 65 6D 6F 6E",
     0,
     nullptr,
     Frame::kCC,
     "",
     {{Frame::DST_REF, 0, 9}, {Frame::TPDU_SIZE, 0, 7}},
     {{Frame::CALLED_TSAP, 0, "Local Daemon"}}},
    {"DR with an extended reason",
     [](Frame& f) {
         SetAll(f, Frame::kDR, {{1, 3}, {2, 4}, {5, 128}, {224, 0x01020304}});
     },
     "0B 80 00 03 00 04 80 E0 01 02 03 04",
     0,
     nullptr,
     Frame::kDR,
     "",
     {{Frame::REASON, 0, 128}, {Frame::EXT_REASON, 0, 0x01020304}, {Frame::CLASS, 3, 0}},
     {}},
    {"fresh DR",
     [](Frame& f) {
         SetAll(f, Frame::kDR, {{1, 3}, {2, 4}, {5, 1}});
     },
     "0B 80 00 03 00 04 01 E0 00 00 00 00",
     0,
     nullptr,
     Frame::kDR,
     "",
     {{Frame::EXT_REASON, 0, 0}},
     {}},
    {"DR without an extended reason",
     [](Frame& f) {
         SetAll(f, Frame::kDR, {{1, 3}, {2, 4}, {5, 1}, {224, -99}});
     },
     "06 80 00 03 00 04 01",
     0,
     nullptr,
     Frame::kDR,
     "",
     {{Frame::EXT_REASON, 0, 0}},
     {}},
    {"DC",
     [](Frame& f) {
         SetAll(f, Frame::kDC, {{1, 5}, {2, 6}});
     },
     "05 C0 00 05 00 06",
     0,
     nullptr,
     Frame::kDC,
     "",
     {{Frame::DST_REF, 0, 5}, {Frame::SRC_REF, 0, 6}},
     {}},
    {"DT with user data",
     [](Frame& f) {
         SetAll(f, Frame::kDT, {{1, 0x1234}, {6, 5}});
         f.UserData() = JexBuffer("ab");
     },
     "04 F0 12 34 05 61 62",
     0,
     nullptr,
     Frame::kDT,
     "ab",
     {{Frame::DST_REF, 0, 0x1234}, {Frame::TPDU_NR, 0, 5}, {Frame::SRC_REF, 3, 0}},
     {}},
    {"ED",
     [](Frame& f) {
         SetAll(f, Frame::kED, {{1, 1}, {6, 2}});
     },
     "04 10 00 01 02",
     0,
     nullptr,
     Frame::kED,
     "",
     {{Frame::TPDU_NR, 0, 2}},
     {}},
    {"ER",
     [](Frame& f) {
         SetAll(f, Frame::kER, {{1, 7}, {7, 9}});
     },
     "04 70 00 07 09",
     0,
     nullptr,
     Frame::kER,
     "",
     {{Frame::CAUSE, 0, 9}},
     {}},
    {"unknown code: LI 0 and the user data",
     [](Frame& f) {
         f.SetFrameCode(0x42);
         f.UserData() = JexBuffer("abcd");
     },
     "00 61 62 63 64",
     0,
     nullptr,
     0x61,
     "abcd",
     {{Frame::LI, 0, 0}, {Frame::DST_REF, 3, 0}},
     {}},
    {"4-byte buffer", nullptr, "04 F0 00 01", 4, "buffer too small", 0, "", {}, {}},
    {"DT without user data",
     nullptr,
     "04 F0 00 01 07",
     0,
     nullptr,
     Frame::kDT,
     "",
     {{Frame::DST_REF, 0, 1}, {Frame::TPDU_NR, 0, 7}},
     {}},
    {"LI beyond the buffer",
     nullptr,
     "09 F0 00 01 07",
     4,
     "buffer too small, part ii",
     0,
     "",
     {},
     {}},
    {"LI equal to the length",
     nullptr,
     "05 F0 00 01 07",
     4,
     "buffer too small, part ii",
     0,
     "",
     {},
     {}},
    {"unknown parameter stops the scan",
     nullptr,
     "0B E0 00 01 00 02 21 99 C1 02 61 62",
     0,
     nullptr,
     Frame::kCR,
     "",
     {{Frame::TPDU_SIZE, 0, 7}, {Frame::SRC_REF, 0, 2}},
     {{Frame::CALLING_TSAP, 3, nullptr}}},
    {"CR without parameters keeps the defaults",
     nullptr,
     "06 E0 00 01 00 02 21",
     0,
     nullptr,
     Frame::kCR,
     "",
     {{Frame::TPDU_SIZE, 0, 7},
      {Frame::VERSION, 0, 1},
      {Frame::ADD_OPTION, 0, 1},
      {Frame::REASON, 3, 0}},
     {}},
    {"calling TSAP runs past the header",
     nullptr,
     "0A E0 00 01 00 02 21 C1 05 61 62",
     4,
     "parameter runs past the header",
     0,
     "",
     {},
     {}},
    {"priority runs past the header into the user data",
     nullptr,
     "08 E0 00 01 00 02 21 87 00 01",
     4,
     "parameter runs past the header",
     0,
     "",
     {},
     {}},
    {"fixed part runs past the header",
     nullptr,
     "02 F0 00 01 07",
     4,
     "fixed part runs past the header",
     0,
     "",
     {},
     {}},
    {"extended reason accepted in a DT",
     nullptr,
     "09 F0 00 01 07 E0 FF FF FF FE 78",
     0,
     nullptr,
     Frame::kDT,
     "x",
     {{Frame::EXT_REASON, 0, -2}},
     {}},
};

TEST(JexTp2Frame, VectorsEncodeAndDecode) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        const JexBuffer wire = Hex(v.wire);
        if (v.build) {
            Frame built;
            v.build(built);
            const JexBuffer encoded = built;
            EXPECT_EQ(HexOf(encoded), HexOf(wire));
            EXPECT_EQ(built.Code(), Frame::OK);
            int li = -1;
            EXPECT_EQ(built.GetAttr(Frame::LI, li), 0);
            EXPECT_EQ(li, static_cast<unsigned char>(wire.Data()[0]));
        }
        Frame decoded;
        decoded = wire;
        EXPECT_EQ(decoded.Code(), v.status);
        if (v.status != 0) {
            EXPECT_STREQ(decoded.Args()[1].Data(), v.why);
            continue;
        }
        EXPECT_EQ(decoded.FrameCode(), v.code);
        EXPECT_EQ(Bytes(decoded.UserData()), v.user);
        for (const Int& field : v.ints) {
            SCOPED_TRACE(field.id);
            int value = -12345;
            EXPECT_EQ(decoded.GetAttr(field.id, value), field.result);
            if (field.result == 0) {
                EXPECT_EQ(value, field.value);
            }
        }
        for (const Text& field : v.texts) {
            SCOPED_TRACE(field.id);
            JexBuffer value;
            EXPECT_EQ(decoded.GetAttr(field.id, value), field.result);
            if (field.result == 0) {
                const std::string expected =
                    field.id == Frame::EXTRA_PARAMETER ? std::string(field.value, 6) : field.value;
                EXPECT_EQ(Bytes(value), expected);
            }
        }
    }
}

TEST(JexTp2Frame, DecodingResetsFieldsAndStatus) {
    Frame frame;
    frame = Hex("0A E0 00 01 00 02 21 C1 05 61 62");
    EXPECT_EQ(frame.Code(), Frame::FAILURE);
    frame.SetAttr(Frame::CALLED_TSAP, JexBuffer("left over"));
    frame = Hex("04 F0 00 01 07");
    EXPECT_EQ(frame.Code(), Frame::OK);
    JexBuffer text;
    EXPECT_EQ(frame.GetAttr(Frame::CALLED_TSAP, text), Frame::ATTRUNDEFINED);
    frame = JexBuffer();
    EXPECT_EQ(frame.Code(), Frame::FAILURE);
    EXPECT_STREQ(frame.Args()[1].Data(), "buffer too small");
    EXPECT_EQ(frame.FrameCode(), 0);
}

TEST(JexTp2Frame, DecodesFromItsOwnUserData) {
    Frame inner;
    SetAll(inner, Frame::kCC, {{1, 7}, {2, 8}, {3, 2}, {4, 1}});
    inner.SetAttr(Frame::CALLED_TSAP, JexBuffer("Remote Daemon"));
    Frame frame;
    SetAll(frame, Frame::kDT, {{1, 1}, {6, 1}});
    frame.UserData() = inner.Encode();
    frame = frame.UserData();
    EXPECT_EQ(frame.Code(), Frame::OK);
    EXPECT_EQ(frame.FrameCode(), Frame::kCC);
    JexBuffer called;
    EXPECT_EQ(frame.GetAttr(Frame::CALLED_TSAP, called), 0);
    EXPECT_TRUE(called == "Remote Daemon");
}

TEST(JexTp2Frame, HugeUserDataPassesWhole) {
    Frame frame;
    SetAll(frame, Frame::kDT, {{1, 2}, {6, 3}});
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    frame.UserData() = JexBuffer(big.data(), static_cast<int>(big.size()));
    const JexBuffer wire = frame;
    EXPECT_EQ(wire.Length(), 5 + (1 << 20));
    Frame back;
    back = wire;
    EXPECT_EQ(back.Code(), Frame::OK);
    EXPECT_EQ(Bytes(back.UserData()), big);
}

TEST(JexTp2Frame, HeaderThatOneByteCannotCountIsNotEncoded) {
    struct Case {
        const char* name;
        int calling;  // lengths of the two TSAPs
        int called;
        int status;
        const char* why;
    } cases[] = {
        {"header of 255 bytes", 247, 0, 0, nullptr},
        {"header of 256 bytes", 248, 0, Frame::FAILURE, "header longer than 255 bytes"},
        {"TSAP of 256 bytes", 256, 0, Frame::FAILURE, "parameter text longer than 255 bytes"},
        {"two TSAPs over 255 header bytes", 200, 100, Frame::FAILURE,
         "header longer than 255 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        SetAll(frame, Frame::kCR,
               {{1, 1}, {2, 1}, {3, 2}, {4, 1}, {192, -99}, {196, -99}, {198, -99}, {135, -99}});
        frame.SetAttr(Frame::CALLING_TSAP,
                      JexBuffer(std::string(static_cast<size_t>(c.calling), 'a').c_str()));
        if (c.called)
            frame.SetAttr(Frame::CALLED_TSAP,
                          JexBuffer(std::string(static_cast<size_t>(c.called), 'b').c_str()));
        frame.UserData() = JexBuffer("data");
        const JexBuffer wire = frame;
        EXPECT_EQ(frame.Code(), c.status);
        if (c.status == 0) {
            EXPECT_EQ(static_cast<unsigned char>(wire.Data()[0]), 1 + 5 + 2 + c.calling);
            Frame back;
            back = wire;
            EXPECT_EQ(back.Code(), Frame::OK);
            continue;
        }
        EXPECT_STREQ(frame.Args()[1].Data(), c.why);
        EXPECT_EQ(wire.Length(), 0);
    }
}

// Random fields of every frame type survive an encoding and a decoding,
// and the bytes of a decoded frame encode the same again.
TEST(JexTp2Frame, RoundTripOverRandomFields) {
    std::mt19937 random(20261210);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto text = [&](int longest) {
        std::string out(static_cast<size_t>(below(longest + 1)), '\0');
        for (char& c : out) c = static_cast<char>(below(256));
        return JexBuffer(out.data(), static_cast<int>(out.size()));
    };
    // Any 32-bit value but the one that means "not set".
    auto anyButAbsent = [&] {
        const int value = static_cast<int>(static_cast<uint32_t>(random()));
        return value == Frame::kAbsent ? 0 : value;
    };
    const int codes[] = {Frame::kCR, Frame::kCC, Frame::kDR, Frame::kDC,
                         Frame::kDT, Frame::kED, Frame::kER};
    for (int round = 0; round < 2000; ++round) {
        Frame frame;
        const int code = codes[below(7)];
        frame.SetFrameCode(code);
        const std::vector<std::pair<int, int>> values = {
            {Frame::DST_REF, below(65536)},  {Frame::SRC_REF, below(65536)},
            {Frame::CLASS, below(16)},       {Frame::OPTIONS, below(16)},
            {Frame::REASON, below(256)},     {Frame::TPDU_NR, below(256)},
            {Frame::CAUSE, below(256)},      {Frame::PRIORITY, below(65536)},
            {Frame::TPDU_SIZE, below(256)},  {Frame::VERSION, below(256)},
            {Frame::ADD_OPTION, below(256)}, {Frame::EXT_REASON, anyButAbsent()}};
        for (auto [id, value] : values) frame.SetAttr(id, value);
        frame.SetAttr(Frame::CALLING_TSAP, text(40));
        frame.SetAttr(Frame::CALLED_TSAP, text(40));
        frame.SetAttr(Frame::EXTRA_PARAMETER, text(12));
        frame.UserData() = text(300);
        const JexBuffer wire = frame;
        ASSERT_EQ(frame.Code(), Frame::OK);

        Frame back;
        back = wire;
        ASSERT_EQ(back.Code(), Frame::OK) << HexOf(wire);
        EXPECT_EQ(back.FrameCode(), code);
        EXPECT_EQ(Bytes(back.UserData()), Bytes(frame.UserData()));
        std::vector<int> carried = {Frame::DST_REF};
        switch (code) {
            case Frame::kCR:
            case Frame::kCC:
                carried.insert(carried.end(),
                               {Frame::SRC_REF, Frame::CLASS, Frame::OPTIONS, Frame::PRIORITY,
                                Frame::TPDU_SIZE, Frame::VERSION, Frame::ADD_OPTION,
                                Frame::CALLING_TSAP, Frame::CALLED_TSAP, Frame::EXTRA_PARAMETER});
                break;
            case Frame::kDR:
                carried.insert(carried.end(), {Frame::SRC_REF, Frame::REASON, Frame::EXT_REASON});
                break;
            case Frame::kDC: carried.push_back(Frame::SRC_REF); break;
            case Frame::kDT:
            case Frame::kED: carried.push_back(Frame::TPDU_NR); break;
            default: carried.push_back(Frame::CAUSE); break;
        }
        for (int id : carried) {
            SCOPED_TRACE(id);
            int sent = 0, got = 1;
            if (frame.GetAttr(id, sent) == 0) {
                EXPECT_EQ(back.GetAttr(id, got), 0);
                EXPECT_EQ(got, sent);
                continue;
            }
            JexBuffer sentText, gotText;
            const int result = frame.GetAttr(id, sentText);
            EXPECT_EQ(back.GetAttr(id, gotText), result);
            EXPECT_EQ(Bytes(gotText), Bytes(sentText));
        }
        const JexBuffer again = back;
        EXPECT_EQ(HexOf(again), HexOf(wire));
    }
}

// The reads every attribute table promises (an unknown number, the wrong
// kind) are in testing/AttributeTables_test.cpp.
TEST(JexTp2Frame, AttributesAnswerByTheirResultOnly) {
    Frame frame;
    int value = 0;
    JexBuffer text;
    struct Case {
        const char* name;
        std::function<int()> call;
        int result;
    } cases[] = {
        {"LI is read only", [&] { return frame.SetAttr(Frame::LI, 3); }, Frame::ATTRNOTINT},
        {"unknown integer", [&] { return frame.SetAttr(42, 3); }, Frame::ATTRNOTINT},
        {"text id as integer", [&] { return frame.SetAttr(Frame::CALLING_TSAP, 3); },
         Frame::ATTRNOTINT},
        {"integer id as text", [&] { return frame.SetAttr(Frame::PRIORITY, JexBuffer("x")); },
         Frame::kNotText},
        {"unset fixed field", [&] { return frame.GetAttr(Frame::CAUSE, value); },
         Frame::ATTRUNDEFINED},
        {"empty text", [&] { return frame.GetAttr(Frame::EXTRA_PARAMETER, text); },
         Frame::ATTRUNDEFINED},
        {"parameter set absent reads as it stands",
         [&] {
             frame.SetAttr(Frame::PRIORITY, Frame::kAbsent);
             return frame.GetAttr(Frame::PRIORITY, value) == 0 && value == Frame::kAbsent ? 0 : -1;
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(frame.Code(), Frame::OK);
    }
}

TEST(JexTp2Frame, DumpOfEachFrameType) {
    JexBuffer user("xy");
    const std::string userDump =
        "  User Data:\n" + tavro::testing::CapturedFile([&](FILE* out) { user.Dump(out); });
    struct Case {
        const char* name;
        std::function<void(Frame&)> build;
        int headerOnly;
        std::string text;
    } cases[] = {
        {"CR",
         [&](Frame& f) {
             SetAll(f, Frame::kCR, {{1, 1}, {2, 2}, {3, 2}, {4, 10}, {135, 128}});
             f.SetAttr(Frame::CALLING_TSAP, JexBuffer("l/ab/7"));
             f.UserData() = user;
         },
         0,
         "[CR frame]\n  LI: 23, DST-REF: 1, SRC-REF: 2, CLASS: 2, OPTIONS: a DATALEN: 2\n"
         "  Variable Items:\n    Calling TSAP ID: l/ab/7\n    Called TSAP ID:  \n"
         "    Version:         1\n    Add Option:      1\n    Priority:        128\n" +
             userDump},
        {"CC header only",
         [&](Frame& f) {
             SetAll(f, Frame::kCC, {{1, 2}, {2, 1}, {3, 2}, {4, 1}});
             f.SetAttr(Frame::CALLED_TSAP, JexBuffer("Local Daemon"));
             f.UserData() = user;
         },
         1,
         "[CC frame]\n  LI: 29, DST-REF: 2, SRC-REF: 1, CLASS: 2, OPTIONS: 1 DATALEN: 2\n"
         "  Variable Items:\n    Calling TSAP ID: \n    Called TSAP ID:  Local Daemon\n"
         "    Version:         1\n    Add Option:      1\n    Priority:        0\n"},
        {"DR",
         [&](Frame& f) {
             SetAll(f, Frame::kDR, {{1, 3}, {2, 4}, {5, 128}, {224, 8}});
         },
         0,
         "[DR frame]\n  LI: 11, DST-REF: 3, SRC-REF: 4, REASON: 128, EXT-REASON: 8 DATALEN: 0\n"},
        {"DC",
         [&](Frame& f) {
             SetAll(f, Frame::kDC, {{1, 5}, {2, 6}});
             f.UserData() = user;
         },
         0, "[DC frame]\n  LI: 5, DST-REF: 5, SRC-REF: 6\n"},
        {"DT",
         [&](Frame& f) {
             SetAll(f, Frame::kDT, {{1, 0x1234}, {6, 5}});
             f.UserData() = user;
         },
         0, "[DT frame]\n  LI: 4, DST-REF: 4660, TPDU-NR: 5 DATALEN: 2\n" + userDump},
        {"ED",
         [&](Frame& f) {
             SetAll(f, Frame::kED, {{1, 1}, {6, 2}});
         },
         0, "[ED frame]\n  LI: 4, DST-REF: 1, TPDU-NR: 2 DATALEN: 0\n"},
        {"ER",
         [&](Frame& f) {
             SetAll(f, Frame::kER, {{1, 7}, {7, 9}});
         },
         0, "[ER frame]\n  LI: 4, DST-REF: 7, CAUSE: 9\n"},
        {"unknown code, sign-extended", [&](Frame& f) { f.SetFrameCode(0xA5); }, 0,
         "This is an unknown frame type (code %xffffffa5)\n"},
        {"unknown code", [&](Frame& f) { f.SetFrameCode(0x42); }, 0,
         "This is an unknown frame type (code %x42)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        c.build(frame);
        frame.Encode();
        EXPECT_EQ(tavro::testing::CapturedFile([&](FILE* out) { frame.Dump(out, c.headerOnly); }),
                  c.text);
    }
}

}  // namespace
