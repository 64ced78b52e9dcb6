// Tests of the gateway object: attributes, states, trace, records on the wire and their checks.
#include "jexlink/transport/JexGateway.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>

#include "jexlink/transport/JexGatewayFrame.h"
#include "jexlink/transport/JexGatewayItems.h"
#include "testing/support/GatewayTestSupport.h"

namespace {

using tavro::testing::kBound;
using tavro::testing::LinkedPair;

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "<absent>";
}

// A gateway whose errors are only recorded.
struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

// The items a gateway writes from its texts are what assigning a buffer of
// the text gives: its bytes up to a NUL, and no item for an empty text.
TEST(JexGatewayItems, ATextItemIsTheBufferOfTheText) {
    const JexString texts[] = {JexString(""), JexString(), JexString("node"),
                               JexString::FromBytes("a\0b", 3),
                               JexString(std::string(200, 'x').c_str())};
    for (const JexString& text : texts) {
        for (const char* before :
             {static_cast<const char*>(nullptr), "", "an item that was longer"}) {
            JexBuffer expected(before);
            expected = JexBuffer(text);
            JexBuffer item(before);
            jexgateway::SetItemText(item, text);
            EXPECT_EQ(item.Data() != nullptr, expected.Data() != nullptr) << text.Text();
            EXPECT_TRUE(item == expected) << text.Text();
        }
    }
    JexFieldedString grown(',');
    grown[2] = "c";  // two slots never filled before it
    const JexFieldedString lists[] = {JexFieldedString(','), JexFieldedString("", ','),
                                      JexFieldedString(",", ','), JexFieldedString("a,b", ','),
                                      grown};
    for (const JexFieldedString& list : lists) {
        JexBuffer expected("old");
        expected = JexBuffer(list.Text());
        JexBuffer item("old");
        jexgateway::SetItemText(item, list);
        EXPECT_EQ(item.Data() != nullptr, expected.Data() != nullptr) << list.Text().Text();
        EXPECT_TRUE(item == expected) << list.Text().Text();
    }
}

TEST(JexGatewayAttributes, NewGatewayValuesAndErrors) {
    QuietGateway g;
    struct IntCase {
        JexGateway::Attribute attribute;
        int rc;
        int value;
    };
    const IntCase ints[] = {
        {JexGateway::MAX_HOP_COUNT, 0, 7},
        {JexGateway::MAX_REDIRECT_COUNT, 0, 5},
        {JexGateway::PRIORITY, 0, 10},
        {JexGateway::STATE, 0, 18},
        {JexGateway::HOP_COUNT, 0, 0},
        {JexGateway::RAISE_TIMEOUT, 0, 0},
        {JexGateway::READ_TIMEOUT, 0, 0},
        {JexGateway::ACID, JexGateway::ATTRNOTINT, -1},
        {JexGateway::PATH, JexGateway::ATTRNOTINT, -1},
        {JexGateway::LEARNING, JexGateway::BADATTR, -1},
        {JexGateway::PLATFORM_ID, JexGateway::BADATTR, -1},
        {JexGateway::REDIRECT_COUNT, JexGateway::BADATTR, -1},
        {JexGateway::SYSTEM_ID, JexGateway::BADATTR, -1},
        {JexGateway::VERSION, JexGateway::BADATTR, -1},
        {static_cast<JexGateway::Attribute>(24), JexGateway::BADATTR, -1},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(c.attribute);
        int value = -1;
        EXPECT_EQ(g.GetAttr(c.attribute, value), c.rc);
        EXPECT_EQ(value, c.value);
        if (c.rc != 0) {
            EXPECT_EQ(g.Code(), c.rc);
            EXPECT_STREQ(g.Args()[0].Data(), "JexGateway::GetAttr(Attribute, int)");
        }
    }
    int value = 0;
    g.GetAttr(static_cast<JexGateway::Attribute>(24), value);
    EXPECT_STREQ(g.FormattedText(0).Text(), "Invalid attribute (enum=24) specified");
    g.GetAttr(JexGateway::ACID, value);
    EXPECT_STREQ(g.FormattedText(0).Text(), "Attribute \"ACID\" (enum=1) is not an integer");

    JexString text;
    EXPECT_EQ(g.GetAttr(JexGateway::STATE, text), 0);
    EXPECT_STREQ(text.Text(), "IDLE");
    EXPECT_EQ(g.GetAttr(JexGateway::PRIORITY, text), JexGateway::ATTRNOTSTRING);
    EXPECT_EQ(g.GetAttr(JexGateway::VERSION, text), JexGateway::BADATTR);
    EXPECT_EQ(g.GetAttr(JexGateway::DST_PLATFORM, text), 0);
    EXPECT_STREQ(text.Text(), "");
}

TEST(JexGatewayAttributes, SettingFollowsStateAndReadOnlyRules) {
    QuietGateway g;
    EXPECT_EQ(g.SetAttr(JexGateway::ACID, "a1,a2"), 0);
    JexString text;
    g.GetAttr(JexGateway::ACID, text);
    EXPECT_STREQ(text.Text(), "a1,a2");
    EXPECT_EQ(g.ownAcids.Count(), 2);
    EXPECT_EQ(g.SetAttr(JexGateway::NODE, "n1"), 0);
    EXPECT_EQ(g.SetAttr(JexGateway::ROUTE_MAP, JexString("/tmp/map", 0)), 0);
    g.GetAttr(JexGateway::ROUTE_MAP, text);
    EXPECT_STREQ(text.Text(), "/tmp/map");
    EXPECT_EQ(text.CaseSensitive(), 0);

    EXPECT_EQ(g.SetAttr(JexGateway::APPLICATION, "x"), JexGateway::ATTRREADONLY);
    EXPECT_STREQ(g.FormattedText(0).Text(), "Attribute \"APPLICATION\" (enum=2) is read-only");
    EXPECT_STREQ(g.Args()[3].Data(), "x");
    EXPECT_EQ(g.SetAttr(JexGateway::PRIORITY, "3"), JexGateway::ATTRNOTSTRING);
    EXPECT_EQ(g.SetAttr(JexGateway::MAX_REDIRECT_COUNT, "3"), JexGateway::BADATTR);

    g.set_state(JexGateway::CONNWAIT);
    for (auto attribute : {JexGateway::ACID, JexGateway::NODE, JexGateway::ROUTE_MAP})
        EXPECT_EQ(g.SetAttr(attribute, "z"), JexGateway::WRONGSTATE);
    g.GetAttr(JexGateway::ACID, text);
    EXPECT_STREQ(text.Text(), "a1,a2");
}

TEST(JexGatewayAttributes, PathPlatformsComeFromTheFirstAndLastEntries) {
    QuietGateway g;
    g.path.Parse("gw1|WindowsNT first\ngw2|Linux middle\ngw3|Qvos last");
    JexString text;
    g.GetAttr(JexGateway::SRC_PLATFORM, text);
    EXPECT_STREQ(text.Text(), "WindowsNT first");
    g.GetAttr(JexGateway::DST_PLATFORM, text);
    EXPECT_STREQ(text.Text(), "Qvos last");
    g.GetAttr(JexGateway::PATH, text);
    EXPECT_STREQ(text.Text(), "gw1|WindowsNT first\ngw2|Linux middle\ngw3|Qvos last");
}

TEST(JexGatewayEnvironment, SystemIdRouteMapAndVersion) {
    unsetenv("JEXGATEWAY_SYSTEMID");
    unsetenv("JEXGATEWAY_ROUTEMAP");
    {
        QuietGateway g;
        EXPECT_STREQ(g.systemId.Text(), "<None>");
        ASSERT_EQ(g.ownAcids.Count(), 1);
        EXPECT_STREQ(g.ownAcids.Field(0).Text(), "<None>");
        EXPECT_STREQ(g.routeMapFile.Text(),
                     "\\Program Files\\Ferrand\\JEXlink\\data\\jex_route_map.dat");
        EXPECT_STREQ(g.version.Text().Text(), "2.32 Exp");
        EXPECT_GT(g.ownNodes.Count(), 0);
    }
    setenv("JEXGATEWAY_SYSTEMID", "sys1,sys2", 1);
    setenv("JEXGATEWAY_ROUTEMAP", "/tmp/some.map", 1);
    QuietGateway g;
    EXPECT_STREQ(g.systemId.Text(), "sys1,sys2");
    EXPECT_EQ(g.ownAcids.Count(), 2);
    EXPECT_STREQ(g.routeMapFile.Text(), "/tmp/some.map");
    unsetenv("JEXGATEWAY_SYSTEMID");
    unsetenv("JEXGATEWAY_ROUTEMAP");
}

TEST(JexGatewayNames, StatesRecordsAndTraceLetters) {
    EXPECT_STREQ(JexGateway::state_name(12).Text(), "*Invalid State*");
    EXPECT_STREQ(JexGateway::state_name(22).Text(), "RUN");
    EXPECT_STREQ(JexGateway::msg_name('x'), "*Invalid Message*");
    EXPECT_STREQ(JexGateway::msg_name('f'), "NETFAIL");
    EXPECT_STREQ(JexGateway::msg_name('r'), "REDIRECT");
    EXPECT_EQ(JexGateway::AddTraceLetters("sd"), JexGateway::kTraceState | JexGateway::kTraceData);
    EXPECT_EQ(JexGateway::AddTraceLetters("x?"), 0);
    EXPECT_EQ(JexGateway::AddTraceLetters("*"), 63);
    EXPECT_EQ(JexGateway::TraceFlags(), 63);  // never cleared

    QuietGateway g;
    ::testing::internal::CaptureStderr();
    g.set_state(JexGateway::LWAIT);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\nJexGateway State Transition: JexGateway::JexGateway - IDLE => LWAIT\n"),
              std::string::npos)
        << err;
}

// Two gateways joined by a link: side 1 of one to side 0 of the other.
struct GatewayLink {
    QuietGateway caller;
    QuietGateway answer;
    std::string Open() {
        LinkedPair pair;
        std::string why = pair.Open();
        if (!why.empty()) return why;
        caller.AttachTransport(1, pair.a.release());
        answer.AttachTransport(0, pair.b.release());
        return "";
    }
    // Reads one record on the answering side, bounded.
    int Receive(JexNetMsg& record) {
        auto got = std::async(std::launch::async, [&] { return answer.recv_record(0, record); });
        if (got.wait_for(kBound) != std::future_status::ready) {
            answer.Transport(0)->Disconnect();
            got.wait();
            return -1;
        }
        return got.get();
    }
    // The raw bytes of the next n bytes on the answering side.
    std::string Raw(int n) {
        std::string raw(static_cast<size_t>(n), '\0');
        int got = 0;
        answer.Transport(0)->GetData(raw.data(), n, got, 0);
        return raw.substr(0, static_cast<size_t>(got));
    }
};

JexNetMsg Record(int type, std::initializer_list<std::pair<int, std::string>> items) {
    JexNetMsg m(type);
    for (const auto& [item, text] : items)
        m[item] = JexBuffer(text.data(), static_cast<int>(text.size()));
    return m;
}

TEST(JexGatewayRecords, FramesAreByteForByte) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    struct Case {
        JexNetMsg record;
        std::string wire;
    };
    const Case cases[] = {
        {Record('F', {}), std::string("\x01\x00\x00"
                                      "F",
                                      4)},
        {Record('D', {{'D', "hi"}}), std::string("\x03\x00\x00"
                                                 "dhi",
                                                 6)},
        {Record('L', {{'t', "T"}, {'y', "s"}}), std::string("\x0B\x00\x00"
                                                            "L"
                                                            "t\x01\x00\x00T"
                                                            "y\x01\x00\x00s",
                                                            14)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(JexGateway::msg_name(c.record.Type()));
        ASSERT_EQ(link.caller.send_record(1, c.record), 0);
        EXPECT_EQ(link.Raw(static_cast<int>(c.wire.size())), c.wire);
    }
    EXPECT_EQ(link.caller.Stats().counters[JexNetStats::kMessagesSent], 3u);
    EXPECT_EQ(link.caller.Stats().counters[JexNetStats::kBytesSent], 1u + 3u + 11u);
}

// A record of each kind with every item it needs.
JexNetMsg Full(int type) {
    switch (type) {
        case 'C':
            return Record('C', {{'A', "app"},
                                {'t', "time"},
                                {'T', "ac"},
                                {'N', "nd"},
                                {'h', std::string(1, '\0')},
                                {'H', std::string("\7\0", 2)},
                                {'R', std::string("\5\0", 2)},
                                {'P', "p"},
                                {'z', "plat"},
                                {'p', std::string("\12\0", 2)},
                                {'r', std::string("\0\0", 2)},
                                {'S', "sa"},
                                {'n', "sn"},
                                {'y', "sys"},
                                {'V', "2.32 Exp"}});
        case 'D': return Record('D', {{'D', "payload"}});
        case 'L': return Record('L', {{'t', "time"}, {'z', "plat"}, {'y', "sys"}, {'V', "2.32"}});
        case 'f':
            return Record('f', {{'t', "time"},
                                {'h', std::string("\0\0", 2)},
                                {'a', "T/h/s"},
                                {'P', "p"},
                                {'z', "plat"},
                                {'s', "GATEWAY"},
                                {'y', "sys"},
                                {'V', "2.32"},
                                {'/', "JexGateway::TRANSPORTERR"},
                                {'0', "text"}});
        case 'H':
        case 'J':
        case 'P':
        case 'r':
            return Record(type, {{'t', "time"},
                                 {'h', std::string("\1\0", 2)},
                                 {'a', "T/h/s"},
                                 {'P', "p"},
                                 {'r', std::string("\0\0", 2)},
                                 {'s', "CONNREPLY"},
                                 {'/', "JexGateway::OK"},
                                 {'0', "ok"},
                                 {'y', "sys"},
                                 {'V', "2.32 Exp"},
                                 {'z', "plat"}});
        default: return Record(type, {});
    }
}

TEST(JexGatewayRecords, EveryKindTravelsAndIsCheckedForItsItems) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    for (int type : {'C', 'D', 'F', 'H', 'J', 'L', 'P', 'Q', 'R', 'f', 'r'}) {
        SCOPED_TRACE(JexGateway::msg_name(type));
        const JexNetMsg sent = Full(type);
        ASSERT_EQ(link.caller.send_record(1, sent), 0);
        JexNetMsg got;
        ASSERT_EQ(link.Receive(got), 0) << link.answer.Describe(1).Text();
        EXPECT_EQ(got.Type(), type);
        for (int i = 0; i < JexNetMsg::kItems; ++i) EXPECT_EQ(Text(got[i]), Text(sent[i])) << i;
    }
    // Each needed item taken away in turn makes the record a protocol error.
    struct Missing {
        int type;
        const char* items;
    };
    const Missing missing[] = {{'C', "AthHRzpryV"}, {'D', "D"},        {'L', "tzyV"},
                               {'f', "thzsyV/"},    {'H', "thaPr/yV"}, {'r', "thaPr/yV"}};
    for (const Missing& m : missing) {
        for (const char* p = m.items; *p; ++p) {
            SCOPED_TRACE(std::string(JexGateway::msg_name(m.type)) + " without " + *p);
            JexNetMsg broken = Full(m.type);
            broken[*p].Free();
            EXPECT_EQ(JexGateway::CheckRecord(broken), JexGateway::PROTOCOL);
            ASSERT_EQ(link.caller.send_record(1, broken), 0);
            JexNetMsg got;
            EXPECT_EQ(link.Receive(got), JexGateway::PROTOCOL);
            EXPECT_EQ(link.answer.Code(), JexGateway::PROTOCOL);
        }
    }
}

TEST(JexGatewayRecords, BadFramesAreErrorsOfTheReceiver) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    JexTransport& wire = *link.caller.Transport(1);
    // A body that does not parse as a net message.
    ASSERT_EQ(wire.PutData("\x03\x00\x00"
                           "L"
                           "t\x09",
                           6, 0),
              0);
    JexNetMsg got;
    EXPECT_EQ(link.Receive(got), JexGateway::CORRUPTMSG);
    EXPECT_EQ(link.answer.Code(), JexGateway::CORRUPTMSG);
    // An announced length above the limit: too big, the length in the message.
    ASSERT_EQ(wire.PutData("\x00\x00\x00\x00\x00\x7F\x00", 7, 0), 0);
    EXPECT_EQ(link.Receive(got), JexGateway::MSG2BIG);
    EXPECT_STREQ(link.answer.FormattedText(0).Text(),
                 "Incoming 2130706432-byte message too big, insufficient dynamic memory");
}

TEST(JexGatewayRecords, AnUnencodableRecordIsAnErrorAndNothingIsSent) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    JexNetMsg huge('D');
    huge['D'].SetLength(JexNetMsg::kItemLimit);
    huge['x'] = JexBuffer("forces the regular form");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(link.caller.send_record(1, huge), JexGateway::FAILURE);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(link.caller.Code(), JexGateway::FAILURE);
    EXPECT_EQ(link.caller.Stats().counters[JexNetStats::kMessagesSent], 0u);
    // The next record is the first thing the peer sees.
    ASSERT_EQ(link.caller.send_record(1, Record('F', {})), 0);
    EXPECT_EQ(link.Raw(4), std::string("\x01\x00\x00"
                                       "F",
                                       4));
}

TEST(JexGatewayRecords, APeerThatClosesIsATransportErrorTheHandlerAbsorbs) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    link.caller.ReleaseTransport(1);
    JexNetMsg got;
    EXPECT_EQ(link.Receive(got), JexGateway::TRANSPORTERR);
    EXPECT_EQ(link.answer.Code(), JexGateway::TRANSPORTERR);
    ASSERT_NE(link.answer.Cause(), nullptr);
    EXPECT_EQ(link.answer.Cause()->Code(), JexTransport::END);
    // The transport keeps its own error.
    EXPECT_EQ(link.answer.Transport(0)->Code(), JexTransport::END);
}

TEST(JexGatewayRecords, NetfailCarriesTheLegAndTheGatewaysError) {
    GatewayLink link;
    ASSERT_EQ(link.Open(), "");
    QuietGateway& g = link.answer;
    g.hop_count = 3;
    g.path.Parse("a|p1\nb|p2");
    g.set_state(JexGateway::GATEWAY);
    g.ExcSet(JexGateway::TRANSPORTERR, JexExcArgs("JexGateway::transfer()", "c", "d"));
    JexNetMsg netfail('D');
    netfail['x'] = JexBuffer("stale");
    g.make_netfail(netfail, g.Transport(0));
    EXPECT_EQ(netfail.Type(), 'f');
    EXPECT_EQ(Text(netfail['x']), "<absent>");
    EXPECT_EQ(netfail['h'].GetUShortAt(0), 3);
    EXPECT_EQ(Text(netfail['a']), g.Transport(0)->Stats(1)->callee.Text());
    EXPECT_EQ(Text(netfail['P']), "a|p1\nb|p2");
    EXPECT_EQ(Text(netfail['s']), "GATEWAY");
    EXPECT_EQ(Text(netfail['y']), g.systemId.Text());
    EXPECT_EQ(Text(netfail['V']), "2.32 Exp");
    EXPECT_EQ(Text(netfail['/']), "JexGateway::TRANSPORTERR");
    EXPECT_EQ(Text(netfail['0']), "Transport error: caller = c, callee = d");
    EXPECT_EQ(JexGateway::CheckRecord(netfail), 0);
}

}  // namespace
