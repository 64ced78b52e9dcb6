// Tests of errors carried inside net messages: items, cause chains, relaying hops, hostile
// messages.
#include "jexlink/transport/JexProtocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "testing/support/ProcessStatus.h"

namespace {

#define TESTGATEWAY_TEXTS(JEX_TEXT)                                    \
    JEX_TEXT(0, OK, "Operation successful")                            \
    JEX_TEXT(3, NOPATH, "No path to destination %1$s via %2$s (%3$s)") \
    JEX_TEXT(26, WEEDS, "Connection in the weeds: Max hops exceeded")

// A protocol class with rows of the gateway's table.
class TestGateway : public JexProtocol {
public:
    enum : int { TESTGATEWAY_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTable[];
    TestGateway() : JexProtocol(kTable, "JexGateway") {}
};

#define JEX_TEXT_CLASS JexGateway
const JexTextRow TestGateway::kTable[] = JEX_TEXT_TABLE(TESTGATEWAY_TEXTS);
#undef JEX_TEXT_CLASS

std::string Item(const JexNetMsg& msg, int index) {
    const JexBuffer& b = msg[index];
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "<absent>";
}

std::vector<int> Present(const JexNetMsg& msg) {
    std::vector<int> present;
    for (int i = 0; i < JexNetMsg::kItems; ++i)
        if (msg[i].Data()) present.push_back(i);
    return present;
}

// Through the wire: encoded and decoded again.
JexNetMsg Wire(const JexNetMsg& msg) {
    JexNetMsg back;
    back.Decode(msg.Encode());
    return back;
}

TEST(JexProtocol, ErrorWithoutArgumentsOrCauseIsTwoItems) {
    TestGateway g;
    g.ExcSet(TestGateway::WEEDS, JexExcArgs("JexGateway::Connect"));
    JexNetMsg msg('J');
    g.LoadException(msg);
    EXPECT_EQ(Present(msg), (std::vector<int>{'/', '0'}));
    EXPECT_EQ(Item(msg, '/'), "JexGateway::WEEDS");
    EXPECT_EQ(Item(msg, '0'), "Connection in the weeds: Max hops exceeded");
}

TEST(JexProtocol, OnlyArgumentsWithDataTravel) {
    TestGateway g;
    g.ExcSet(TestGateway::NOPATH, JexExcArgs("JexGateway::Connect", "", nullptr, "t/host/1"));
    JexNetMsg msg('J');
    g.LoadException(msg);
    EXPECT_EQ(Present(msg), (std::vector<int>{'/', '0', '3'}));
    // The sender's text, where the empty argument 1 and the missing 2 differ.
    EXPECT_EQ(Item(msg, '0'), "No path to destination  via <Null> (t/host/1)");

    TestGateway r;
    EXPECT_EQ(r.UnloadException(Wire(msg), "JexGateway::GetMsg"), TestGateway::NOPATH);
    EXPECT_STREQ(r.Args()[0].Data(), "JexGateway::GetMsg");
    EXPECT_EQ(r.Args()[1].Length(), 0);
    EXPECT_EQ(r.Args()[2].Length(), 0);
    EXPECT_STREQ(r.Args()[3].Data(), "t/host/1");
    EXPECT_STREQ(r.FormattedText(1).Text(),
                 "JexGateway::NOPATH, No path to destination <Null> via <Null> (t/host/1)");
}

TEST(JexProtocol, UnloadKeepsTheCodeOnlyWhereTheTableHasIt) {
    struct Case {
        const char* name;
        const char* text;
        bool gateway;
        int code;
        const char* external;
    } const cases[] = {
        {"JexGateway::WEEDS", "Connection in the weeds: Max hops exceeded", true, 26, ""},
        {"jexgateway::weeds", "x", true, 26, ""},  // names compare without case
        {"JexGateway::WEEDS", "Connection in the weeds: Max hops exceeded", false, -1,
         "JexGateway::WEEDS, Connection in the weeds: Max hops exceeded"},
        {"JexGateway::OK", "Operation successful", true, 0, ""},
        {"JexSession::BADVERSION", "Peer is old", true, -1, "JexSession::BADVERSION, Peer is old"},
        {"JexSession::BADVERSION", nullptr, true, -1, "JexSession::BADVERSION"},
        {nullptr, "text without a name", true, -1, "******, text without a name"},
        {nullptr, nullptr, false, -1, "******"},
        {"JexException::EXC_EXTERNAL_MESSAGE", "Relayed text", false, -1,
         "JexException::EXC_EXTERNAL_MESSAGE, Relayed text"},
        {"JexException::EXC_INFINITE_LOOP", "Infinite exception loop detected", false, -3, ""},
    };
    for (const Case& c : cases) {
        JexNetMsg msg('J');
        if (c.name) msg['/'] = JexBuffer(c.name);
        if (c.text) msg['0'] = JexBuffer(c.text);
        TestGateway g;
        JexProtocol bare;
        JexProtocol& target = c.gateway ? static_cast<JexProtocol&>(g) : bare;
        EXPECT_EQ(target.UnloadException(msg, "label"), c.code) << c.name;
        EXPECT_EQ(target.Code(), c.code) << c.name;
        if (c.code == -1) {
            EXPECT_STREQ(target.ExternalMessage().Text(), c.external) << c.name;
        }
        EXPECT_STREQ(target.Args()[0].Data(), "label");
    }
}

// An error three levels deep: a gateway error, re-raised from a transport
// error, caused by a system error.
void SetChain(TestGateway& g) {
    JexErrno system(EACCES, "connect");
    JexProtocol transport(nullptr, "JexTransport");
    transport.SetExternalMessage(JexString("JexTransport::CONNECTERR, Unable to connect to %1$s"));
    transport.ExcSet(JexException::kExternalMessage, JexExcArgs("JexTransport::Connect", "t/h/9"),
                     &system);
    g.ExcSet(TestGateway::NOPATH,
             JexExcArgs("JexGateway::Connect", "sys/node/app", "t/h/9", "100%"), &transport);
}

TEST(JexProtocol, CauseChainSurvivesTheWire) {
    TestGateway sender;
    SetChain(sender);
    JexNetMsg msg('J');
    sender.LoadException(msg);

    TestGateway receiver;
    EXPECT_EQ(receiver.UnloadException(Wire(msg), "JexGateway::GetMsg"), TestGateway::NOPATH);
    const std::string described = receiver.Describe(1).Text();
    EXPECT_EQ(described, sender.Describe(1).Text());
    EXPECT_EQ(described,
              "--- JexGateway::NOPATH, No path to destination sys/node/app via t/h/9 (100%)\n"
              "  - JexTransport::CONNECTERR, Unable to connect to t/h/9\n"
              "  - EACCES, Permission denied");
    int depth = 0;
    for (JexException* e = receiver.Cause(); e; e = e->Cause()) ++depth;
    EXPECT_EQ(depth, 2);
}

TEST(JexProtocol, ErrorKeepsItsNameAndTextAcrossRelayingHops) {
    TestGateway origin;
    SetChain(origin);
    JexNetMsg msg('J');
    origin.LoadException(msg);
    const std::string expected = origin.Describe(1).Text();

    // Each relay knows nothing of the gateway's codes; the last hop does.
    for (int hop = 0; hop < 4; ++hop) {
        JexProtocol relay;
        relay.UnloadException(Wire(msg), "relay");
        EXPECT_EQ(relay.Code(), -1);
        EXPECT_EQ(std::string(relay.Describe(1).Text()), expected) << "hop " << hop;
        msg.Clear();
        msg.Type('J');
        relay.LoadException(msg);
    }
    TestGateway end;
    EXPECT_EQ(end.UnloadException(Wire(msg), "end"), TestGateway::NOPATH);
    EXPECT_EQ(std::string(end.Describe(1).Text()), expected);

    JexString described;
    EXPECT_EQ(std::string(JexProtocol::DescribeMsg(described, msg).Text()), expected);
}

TEST(JexProtocol, HostileCauseChainsAreBounded) {
    // A chain far deeper than any sender makes, built level by level.
    JexNetMsg level(':');
    level['/'] = JexBuffer("JexTest::DEEP");
    level['0'] = JexBuffer("deepest");
    JexBuffer encoded = level.Encode();
    for (int i = 0; i < 2000; ++i) {
        JexNetMsg up(':');
        up['/'] = JexBuffer("JexTest::LEVEL");
        up[':'] = encoded;
        ASSERT_EQ(up.Encode(encoded), JexNetMsg::kEncoded);
    }
    JexNetMsg msg('J');
    msg['/'] = JexBuffer("JexGateway::WEEDS");
    msg[':'] = encoded;

    TestGateway g;
    EXPECT_EQ(g.UnloadException(msg, "label"), TestGateway::WEEDS);
    std::vector<JexException*> chain;
    for (JexException* e = g.Cause(); e; e = e->Cause()) chain.push_back(e);
    ASSERT_EQ(chain.size(), static_cast<size_t>(JexProtocol::kMaxCauseDepth) + 1);
    JexString name;
    EXPECT_STREQ(chain.front()->CodeName(name).Text(), "JexTest::LEVEL");
    EXPECT_STREQ(chain.back()->CodeName(name).Text(), "JexProtocol::CAUSEDEPTH");
}

TEST(JexProtocol, DeepChainOfLargeErrorsIsReadInPlace) {
    // A 15 MiB argument at the bottom of a chain 64 causes deep: every
    // level above it carries all the levels below it.
    constexpr int kBig = 15 << 20;
    JexNetMsg level(':');
    level['/'] = JexBuffer("JexTest::DEEP");
    level['1'] = JexBuffer(JexBufferBase(kBig));
    level['1'][0] = 'x';
    JexBuffer encoded = level.Encode();
    level.Clear();
    for (int i = 1; i < JexProtocol::kMaxCauseDepth; ++i) {
        JexNetMsg up(':');
        up['/'] = JexBuffer("JexTest::LEVEL");
        up['1'] = JexBuffer(std::to_string(i).c_str());
        up[':'] = encoded;
        ASSERT_EQ(up.Encode(encoded), JexNetMsg::kEncoded);
    }
    JexNetMsg msg('J');
    msg['/'] = JexBuffer("JexGateway::WEEDS");
    msg[':'] = encoded;
    encoded.Free();
    const bool measured = tavro::testing::ResetPeakResident();
    const long before = tavro::testing::StatusField("VmRSS:");

    TestGateway g;
    EXPECT_EQ(g.UnloadException(msg, "label"), TestGateway::WEEDS);
    const long peak = tavro::testing::StatusField("VmHWM:");

    std::vector<JexException*> chain;
    for (JexException* e = g.Cause(); e; e = e->Cause()) chain.push_back(e);
    ASSERT_EQ(chain.size(), static_cast<size_t>(JexProtocol::kMaxCauseDepth));
    JexString name;
    EXPECT_STREQ(chain.back()->CodeName(name).Text(), "JexTest::DEEP");
    // What a peer's argument costs is capped; its start is kept.
    const JexBuffer& kept = chain.back()->Args()[1];
    EXPECT_EQ(kept.Length(), JexProtocol::kMaxArgument);
    EXPECT_EQ(kept.Data()[0], 'x');
    EXPECT_EQ(std::string(chain.front()->Args()[1].Data()), "63");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators keep freed memory: resident size says
    // nothing about what the reading held.
    (void)measured;
    (void)before;
    (void)peak;
#else
    if (!measured || before < 0 || peak < 0) GTEST_SKIP() << "peak resident size unknown";
    EXPECT_LT(peak - before, 2 * (kBig >> 10)) << "KiB above " << before;
#endif
}

TEST(JexProtocol, MalformedCauseBecomesWhatItDecodesTo) {
    struct Case {
        std::string cause;
        const char* description;
    } const cases[] = {
        {"", "--- JexGateway::WEEDS, Connection in the weeds: Max hops exceeded\n  - ******, "},
        // Item '/' claims 9 bytes and has 3: nothing complete.
        {std::string(":/\x09\x00\x00"
                     "abc",
                     8),
         "--- JexGateway::WEEDS, Connection in the weeds: Max hops exceeded\n  - ******, "},
        // A complete name, then a truncated text.
        {std::string(":/\x04\x00\x00"
                     "A::B"
                     "0\x10\x00\x00"
                     "xy",
                     15),
         "--- JexGateway::WEEDS, Connection in the weeds: Max hops exceeded\n  - A::B, "},
        // The raw form: one data item, no error items.
        {std::string("d/\x03\x00\x00"
                     "A::B",
                     9),
         "--- JexGateway::WEEDS, Connection in the weeds: Max hops exceeded\n  - ******, "},
    };
    for (const Case& c : cases) {
        JexNetMsg msg('J');
        msg['/'] = JexBuffer("JexGateway::WEEDS");
        msg[':'] = JexBuffer(c.cause.data(), static_cast<int>(c.cause.size()));
        TestGateway g;
        EXPECT_EQ(g.UnloadException(msg, nullptr), TestGateway::WEEDS);
        EXPECT_STREQ(g.Describe(1).Text(), c.description);
    }
}

TEST(JexProtocol, ReceivedPercentSignsAreNotConversions) {
    JexNetMsg msg('J');
    msg['/'] = JexBuffer("JexPeer::ODD");
    msg['0'] = JexBuffer("rate 100% of %1$s and %s %d %n");
    msg['1'] = JexBuffer("arg");
    JexProtocol bare;
    bare.UnloadException(msg, "label");
    EXPECT_STREQ(bare.FormattedText(1).Text(), "JexPeer::ODD, rate 100% of %1$s and %s %d %n");
}

TEST(JexBuffer9, IndexesArgumentsOneToNine) {
    const JexExcArgs args("location", "one", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, "nine");
    const JexBuffer9 nine(args);
    EXPECT_STREQ(nine[1]->Data(), "one");
    EXPECT_STREQ(nine[9]->Data(), "nine");
    EXPECT_EQ(nine[5]->Data(), nullptr);
    for (int bad : {0, 10, -1}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(nine[bad], nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "JexBuffer9 index error: offending index=" + std::to_string(bad) + "\n");
    }
}

}  // namespace
