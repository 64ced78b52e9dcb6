// Tests of the "Jex_Sra" messages: their byte encodings, the size limit, line splitting and reply
// classes.
#include "jexlink/sra/JexSraProtocol.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "jexlink/messages/JexTIE.h"
#include "jexlink/sra/JexSra.h"

namespace {

// Bytes from hex text; blanks separate groups, 'x' introduces literal text
// up to the next blank ("x:Hi" is 48 69).
std::string Bytes(const std::string& spec) {
    std::string out;
    size_t i = 0;
    while (i < spec.size()) {
        if (spec[i] == ' ') {
            ++i;
            continue;
        }
        if (spec[i] == 'x' && i + 1 < spec.size() && spec[i + 1] == ':') {
            size_t end = spec.find(' ', i);
            if (end == std::string::npos) end = spec.size();
            out += spec.substr(i + 2, end - i - 2);
            i = end;
            continue;
        }
        out += static_cast<char>(std::stoi(spec.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

std::string Encoded(const JexNetMsg& msg) {
    JexBuffer wire;
    EXPECT_EQ(msg.Encode(wire), JexNetMsg::kEncoded);
    return std::string(wire.Data(), static_cast<size_t>(wire.Length()));
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[4];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x ", c);
        out += two;
    }
    return out;
}

JexSraConnectItems Connect(int kind) {
    JexSraConnectItems items;
    items.kind = kind;
    items.contact = "a@b";
    switch (kind) {
        case kSraKindNew:
            items.subject = "Hi";
            items.accessNumber = "AB1";
            break;
        case kSraKindAugment:
            items.subject = "Hi";
            items.requestNumber = "SR9";
            items.numeric = 5;
            break;
        case kSraKindReview:
            items.subject = "";
            items.requestNumber = "SR9";
            break;
        case kSraKindListFetch:
            items.subject = "";
            items.listType = 2;
            items.before = "B";
            items.since = "S";
            break;
    }
    return items;
}

// Every message of the conversation, byte for byte.
TEST(JexSraProtocol, GoldenEncodings) {
    struct Case {
        const char* what;
        JexNetMsg msg;
        std::string bytes;
    };
    std::vector<Case> cases(13);
    cases[0].what = "connect, new request";
    JexSraBuildConnect(Connect(kSraKindNew), cases[0].msg);
    cases[0].bytes = Bytes(
        "43 52010000 x:0 5604000014000000 62020000 x:Hi 6e04000002000000 70030000 x:AB1 "
        "72030000 x:a@b");
    cases[1].what = "connect, augment";
    JexSraBuildConnect(Connect(kSraKindAugment), cases[1].msg);
    cases[1].bytes = Bytes(
        "43 52010000 x:1 5604000014000000 62020000 x:Hi 6e04000005000000 71030000 x:SR9 "
        "72030000 x:a@b");
    cases[2].what = "connect, review (subject present and empty)";
    JexSraBuildConnect(Connect(kSraKindReview), cases[2].msg);
    cases[2].bytes = Bytes(
        "43 52010000 x:2 5604000014000000 62000000 6e04000002000000 71030000 x:SR9 "
        "72030000 x:a@b");
    cases[3].what = "connect, list fetch with both dates";
    JexSraBuildConnect(Connect(kSraKindListFetch), cases[3].msg);
    cases[3].bytes = Bytes(
        "43 52010000 x:3 5604000014000000 62000000 67010000 x:S 69010000 x:B 6a010000 x:2 "
        "6e04000002000000 72030000 x:a@b");
    cases[4].what = "header, operating system";
    JexSraBuildHeader(kSraItemOsInfo, JexString("Linux"), cases[4].msg);
    cases[4].bytes = Bytes("44 6f050000 x:Linux");
    cases[5].what = "header, entity type";
    JexSraBuildHeader(kSraItemHardwareInfo, JexString("x86"), cases[5].msg);
    cases[5].bytes = Bytes("44 68030000 x:x86");
    cases[6].what = "header, software version, empty";
    JexSraBuildHeader(kSraItemSoftwareInfo, JexString(""), cases[6].msg);
    cases[6].bytes = Bytes("44 73000000");
    cases[7].what = "line x, raw form";
    JexSraBuildLine(JexString("x"), cases[7].msg);
    cases[7].bytes = Bytes("64 78");
    cases[8].what = "empty line, raw form";
    JexSraBuildLine(JexString(""), cases[8].msg);
    cases[8].bytes = Bytes("64");
    cases[9].what = "end of request";
    JexSraBuildEnd(cases[9].msg);
    cases[9].bytes = Bytes("5a");
    cases[10].what = "success reply";
    JexSraBuildSuccess(JexString("SR-1"), cases[10].msg);
    cases[10].bytes = Bytes("4b 44040000 x:SR-1");
    cases[11].what = "accept with a limit of 2048";
    JexSraBuildAccept(2048, cases[11].msg);
    cases[11].bytes = Bytes("41 7a04000000080000");
    // The failure reply carries the server's error image: code name, text
    // and the two 32-bit arguments; absent argument slots are not sent.
    cases[12].what = "failure reply";
    JexSra error;
    error.ExcSet(JexSra::BYTELIMITERR, JexExcArgs("server", 3000, 2048));
    cases[12].msg.Type(kSraFailure);
    JexTIELoadException(error, cases[12].msg);
    cases[12].bytes = Bytes("46 2f140000 x:JexSra::BYTELIMITERR 30420000") +
                      "Your submission of 3000 bytes exceeds the size limit of 2048 bytes" +
                      Bytes("31040000b80b0000 3204000000080000");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bytes = Encoded(c.msg);
        EXPECT_EQ(Hex(bytes), Hex(c.bytes));
        JexNetMsg back;
        back.Decode(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_FALSE(back.Corrupt());
        EXPECT_EQ(back.Type(), c.msg.Type());
    }
}

TEST(JexSraProtocol, LineMessageIsReusedForEveryLine) {
    JexNetMsg line;
    JexSraBuildLine(JexString("first line, longer"), line);
    JexSraBuildLine(JexString("2nd"), line);
    EXPECT_EQ(Hex(Encoded(line)), Hex(Bytes("64 x:2nd")));
}

TEST(JexSraProtocol, SizeLimit) {
    struct Case {
        std::string accept;  // accept data as sent
        int64_t length;      // of the work-unit text
        uint32_t limit;
        bool over;
    } cases[] = {
        {Bytes("41 7a04000000080000"), 2048, 2048, false},
        {Bytes("41 7a04000000080000"), 2049, 2048, true},
        {Bytes("41 7a04000000000000"), 1 << 30, 0, false},
        {Bytes("41"), 1 << 30, 0, false},                  // no limit item
        {Bytes("00 7a04000000080000"), 2049, 2048, true},  // the type is not looked at
        {Bytes("41 7a020000 0008"), 2049, 2048, true},     // a short item: what is there
        {Bytes("41 7a04000000000080"), 0x7fffffff, 0x80000000u, false},  // unsigned
        {Bytes("41 7a04000001000000"), 0, 1, false},
        {Bytes("41 7a04000001000000"), 2, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.accept));
        JexNetMsg accept;
        accept.Decode(c.accept.data(), static_cast<int>(c.accept.size()));
        ASSERT_FALSE(accept.Corrupt());
        EXPECT_EQ(JexSraSizeLimit(accept), c.limit);
        EXPECT_EQ(JexSraOverLimit(c.length, c.limit), c.over);
    }
}

TEST(JexSraProtocol, LinesOfTheWorkUnitText) {
    struct Case {
        const char* text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\nx\n", {"", "x", ""}},
        {"\n\n", {"", "", ""}},
        {"a\r\nb", {"a\r", "b"}},
        {"one", {"one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        JexFieldedString lines(',');
        lines.Parse("stale,fields");
        JexSraSplitLines(JexString(c.text), lines);
        ASSERT_EQ(lines.Count(), static_cast<int>(c.lines.size()));
        for (int i = 0; i < lines.Count(); ++i)
            EXPECT_EQ(lines[i].Text(), c.lines[static_cast<size_t>(i)]);
    }
}

TEST(JexSraProtocol, ReplyClasses) {
    struct Case {
        std::string bytes;
        JexSraReply reply;
    } cases[] = {
        {"", JexSraReply::kUndecodable},
        {Bytes("4b"), JexSraReply::kSuccess},
        {Bytes("4b 44040000 x:SR-1"), JexSraReply::kSuccess},
        {Bytes("46"), JexSraReply::kFailure},
        {Bytes("41"), JexSraReply::kProtocolError},
        {Bytes("43"), JexSraReply::kProtocolError},
        {Bytes("44"), JexSraReply::kProtocolError},
        {Bytes("5a"), JexSraReply::kProtocolError},
        {Bytes("64 x:raw"), JexSraReply::kProtocolError},
        {Bytes("4b 44050000 x:SR-1"), JexSraReply::kUndecodable},  // runs past the end
        {Bytes("4b 44"), JexSraReply::kUndecodable},               // one byte over
        {Bytes("4b 440400"), JexSraReply::kUndecodable},           // three bytes over
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.bytes));
        JexNetMsg reply;
        reply.Decode(c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(JexSraClassifyReply(reply), c.reply);
    }
}

TEST(JexSraProtocol, SuccessReplyWithoutNumberGivesAnEmptyOne) {
    JexNetMsg reply;
    reply.Decode("K", 1);
    ASSERT_EQ(JexSraClassifyReply(reply), JexSraReply::kSuccess);
    EXPECT_STREQ(JexSraText(reply[kSraItemLine]).Text(), "");
}

}  // namespace
