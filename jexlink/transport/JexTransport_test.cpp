// Tests of the message transport without a link: attributes, settings, unknown types, statistics.
#include "jexlink/transport/JexTransport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "jexlink/core/JexSeams.h"
#include "jexlink/transport/JexNetIO.h"
#include "testing/support/TransportTestSupport.h"

namespace {

using tavro::testing::RaiseLog;

int IntAttr(JexTransport& t, int attribute) {
    int v = -12345;
    EXPECT_EQ(t.GetAttr(attribute, v), 0) << attribute;
    return v;
}

std::string TextAttr(JexTransport& t, int attribute) {
    JexString v;
    EXPECT_EQ(t.GetAttr(attribute, v), 0) << attribute;
    return v.Text();
}

TEST(JexTransport, StartsEmpty) {
    unsetenv("JEXTRANSPORT_IO_SIZE");
    JexTransport t;
    EXPECT_EQ(IntAttr(t, JexTransport::kIoSize), 1280);
    EXPECT_EQ(IntAttr(t, JexTransport::kType), '?');
    EXPECT_EQ(IntAttr(t, JexTransport::kRaiseEnd), 0);
    EXPECT_EQ(TextAttr(t, JexTransport::kCalled), "?//");
    EXPECT_EQ(TextAttr(t, JexTransport::kCalling), "?//");
    EXPECT_EQ(t.Endpoint(), nullptr);
    EXPECT_EQ(t.Disconnect(), 0);
}

TEST(JexTransport, IoSizeFromTheEnvironment) {
    struct Case {
        const char* value;
        int size;
    } cases[] = {{"0x800", 2048}, {"0", 1280},    {"-7", 1280}, {"010", 8},
                 {"junk", 1280},  {"4096", 4096}, {"", 1280}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        setenv("JEXTRANSPORT_IO_SIZE", c.value, 1);
        JexTransport t;
        EXPECT_EQ(IntAttr(t, JexTransport::kIoSize), c.size);
    }
    unsetenv("JEXTRANSPORT_IO_SIZE");
}

TEST(JexTransport, TraceLettersFromTheEnvironment) {
    struct Case {
        const char* value;
        int flags;
    } cases[] = {{"d", 4}, {"DHP", 7}, {"h", 2}, {"xyz", 0}, {"pP", 1}, {"", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        setenv("JEXTRANSPORT_TRACE", c.value, 1);
        JexTransport t;
        EXPECT_EQ(t.TraceFlags(), c.flags);
    }
    unsetenv("JEXTRANSPORT_TRACE");
}

TEST(JexTransport, SetAttrStoresOrRefuses) {
    struct Case {
        int attribute;
        int value;
        int code;
        int stored;  // read back as an int, when code is 0
    } cases[] = {
        {1, 5, 0, 1},   {1, 0, 0, 0},  {4, 2048, 0, 2048}, {4, -1, 5, 1280}, {4, 0, 5, 1280},
        {5, -9, 0, -9}, {7, 42, 0, 1}, {7, 0, 0, 0},       {8, -1, 0, 1},    {9, 30, 0, 30},
        {9, -1, 5, 0},  {2, 1, 3, 0},  {3, 1, 3, 0},       {6, 'T', 3, '?'}, {0, 1, 4, 0},
        {10, 1, 4, 0},  {-3, 1, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.attribute << "=" << c.value);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.SetAttr(c.attribute, c.value), c.code);
        if (c.code != 0) {
            EXPECT_EQ(raised.Codes(), std::vector<int>{c.code});
            EXPECT_EQ(t.Code(), c.code);
        }
        int v = 0;
        if (c.attribute != 2 && c.attribute != 3 && c.attribute >= 1 && c.attribute <= 9) {
            EXPECT_EQ(t.GetAttr(c.attribute, v), 0);
            EXPECT_EQ(v, c.stored);
        }
    }
}

TEST(JexTransport, SetAttrTextIsParsedAsANumber) {
    struct Case {
        int attribute;
        const char* value;
        int code;
        int stored;
    } cases[] = {
        {4, "0x400", 0, 1024}, {4, "-1", 5, 1280}, {7, "1", 0, 1},
        {7, "junk", 0, 0},     {9, "012", 0, 10},  {1, nullptr, 0, 0},
        {2, "T//", 3, 0},      {6, "T", 3, '?'},   {12, "1", 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.attribute << "=" << (c.value ? c.value : "null"));
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.SetAttr(c.attribute, c.value), c.code);
        int v = 0;
        if (c.attribute != 2 && c.attribute <= 9) {
            EXPECT_EQ(t.GetAttr(c.attribute, v), 0);
            EXPECT_EQ(v, c.stored);
        }
    }
}

TEST(JexTransport, GetAttrOfTheWrongKind) {
    struct Case {
        int attribute;
        bool asText;
        int code;
    } cases[] = {
        {2, false, 1}, {3, false, 1}, {4, true, 2},  {6, true, 2},
        {7, true, 2},  {0, true, 4},  {0, false, 4}, {99, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.attribute << (c.asText ? " text" : " int"));
        JexTransport t;
        RaiseLog raised(&t);
        JexString text("kept");
        int v = 77;
        EXPECT_EQ(c.asText ? t.GetAttr(c.attribute, text) : t.GetAttr(c.attribute, v), c.code);
        EXPECT_STREQ(text.Text(), "kept");
        EXPECT_EQ(v, 77);
        EXPECT_EQ(raised.Codes(), std::vector<int>{c.code});
    }
    // The messages name the attribute and its number.
    JexTransport t;
    RaiseLog raised(&t);
    int v = 0;
    t.GetAttr(JexTransport::kCalled, v);
    EXPECT_STREQ(t.FormattedText(1).Text(),
                 "JexTransport::ATTRNOTINT, Attribute \"CALLED\" (enum=2) is not an integer");
}

TEST(JexTransport, TextGetAttrClearsTheErrorState) {
    JexTransport t;
    RaiseLog raised(&t);
    t.SetAttr(4, -1);
    ASSERT_EQ(t.Code(), 5);
    JexString called;
    EXPECT_EQ(t.GetAttr(JexTransport::kCalled, called), 0);
    EXPECT_EQ(t.Code(), 0);
}

TEST(JexTransport, ListenWithoutATypeIsUnknown) {
    unsetenv("JEX_TRANSPORT_TYPE");
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Listen(), JexTransport::UNSUPPORTED);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::UNKNOWN});
    EXPECT_EQ(TextAttr(t, JexTransport::kCalled), "U//");
    EXPECT_EQ(TextAttr(t, JexTransport::kCalling), "U//");
    EXPECT_EQ(t.Endpoint(), nullptr);
}

TEST(JexTransport, ConnectToATypeWithoutAnEndpoint) {
    for (const char* text : {"O/host/svc", "S/host/svc", "W/host/svc", "?/h/s", "Q/h/s", ""}) {
        SCOPED_TRACE(text);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Connect(JexNetAddr(text, '/')), JexTransport::UNSUPPORTED);
        EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::UNKNOWN});
        EXPECT_EQ(t.Endpoint(), nullptr);
        EXPECT_EQ(TextAttr(t, JexTransport::kCalled), JexNetAddr(text, '/').Text().Text());
        char buf[4];
        int got = 5;
        EXPECT_NE(t.GetData(buf, 4, got, 0), 0);
        EXPECT_EQ(got, 0);
        EXPECT_NE(t.PutData("abc", 3, 0), 0);
    }
}

TEST(JexTransport, WithoutAnyHandlerAnUnknownTypeIsReportedAndReturned) {
    JexTransport t;
    testing::internal::CaptureStderr();
    EXPECT_EQ(t.Connect(JexNetAddr("Q/h/s", '/')), JexTransport::UNSUPPORTED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "--- JexTransport::UNKNOWN, Unknown transport\n");
    EXPECT_EQ(t.Code(), JexTransport::UNKNOWN);
}

TEST(JexTransport, StatsWithoutAnEndpointAreFreshAndUnknown) {
    JexTransport t;
    RaiseLog raised(&t);
    std::unique_ptr<JexNetStats> stats(t.Stats(1));
    ASSERT_NE(stats, nullptr);
    EXPECT_STREQ(stats->name.Text(), "Unknown Transport");
    EXPECT_STREQ(stats->caller.Text(), "(none)");
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::UNKNOWN});
    std::unique_ptr<JexNetStats> other(t.Stats(1));
    EXPECT_NE(other.get(), stats.get());  // never kept
}

TEST(JexTransport, ListenerOnATypeWithoutAnEndpointRecordsAndLives) {
    for (const char* text : {"Q/h/1", "O/h/1", "D/node/svc", "X/cls.1:2/svc"}) {
        SCOPED_TRACE(text);
        JexTransportListener listener(JexNetAddr(text, '/'));
        EXPECT_FALSE(listener.Listening());
        EXPECT_NE(listener.Code(), 0);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(listener.Accept(t), JexTransport::UNSUPPORTED);
        EXPECT_EQ(raised.Codes().size(), 1u);
    }
}

// An endpoint that a test puts in place of the TCP one through the
// library's seams: it records the address it was asked for and answers
// reads with a fixed text.
class ScriptedEndpoint : public JexNetIO {
public:
    static inline std::string connectedTo;
    static inline int built = 0;

    ScriptedEndpoint() {
        ++built;
        type_ = 'T';
    }
    using JexNetIO::GetData;
    JexString strsockaddr(const char*) override { return JexString("scripted"); }
    int Connect(const JexNetAddr& address) override {
        connectedTo = address.Text().Text();
        return 0;
    }
    int GetData(char* p, int n, int& got, int) override {
        got = 0;
        for (; got < n && kText[got]; ++got) p[got] = kText[got];
        return 0;
    }

private:
    static constexpr char kText[] = "scripted bytes";
};

std::unique_ptr<JexNetIO> NewScriptedEndpoint() { return std::make_unique<ScriptedEndpoint>(); }

// Replaces the 'T' endpoint for one test and puts the set-up's one back.
class ReplacedTcpEndpoint : public ::testing::Test {
protected:
    void SetUp() override {
        ScriptedEndpoint::connectedTo.clear();
        ScriptedEndpoint::built = 0;
        previous_ = JexSeams::SetEndpoint('T', &NewScriptedEndpoint);
    }
    void TearDown() override { JexSeams::SetEndpoint('T', previous_); }

    JexSeams::EndpointFactory previous_ = nullptr;
};

TEST_F(ReplacedTcpEndpoint, ATransportConnectsThroughTheReplacement) {
    ASSERT_NE(previous_, nullptr);  // the test main's set-up installed the TCP endpoint
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Connect(JexNetAddr("T/127.0.0.1/9", '/')), 0);
    EXPECT_EQ(ScriptedEndpoint::built, 1);
    EXPECT_EQ(ScriptedEndpoint::connectedTo, "T/127.0.0.1/9");
    ASSERT_NE(dynamic_cast<ScriptedEndpoint*>(t.Endpoint()), nullptr);
    char buf[8];
    int got = 0;
    EXPECT_EQ(t.GetData(buf, 8, got, 0), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(got)), "scripted");
    EXPECT_TRUE(raised.Codes().empty());
}

TEST_F(ReplacedTcpEndpoint, OtherLettersKeepTheirEndpoints) {
    JexTransport t;
    RaiseLog raised(&t);
    // The local pipe's endpoint still comes from the set-up: it fails on a
    // missing handle of its own, never as an unknown transport.
    unsetenv("JEX_NET_HANDLE");
    setenv("JEX_TRANSPORT_TYPE", "L", 1);
    t.Listen();
    unsetenv("JEX_TRANSPORT_TYPE");
    EXPECT_EQ(ScriptedEndpoint::built, 0);
    EXPECT_EQ(dynamic_cast<ScriptedEndpoint*>(t.Endpoint()), nullptr);
    for (int code : raised.Codes()) EXPECT_NE(code, JexTransport::UNKNOWN);
}

// A letter whose factory a test removed is an unknown transport, as a letter
// that never had one.
TEST(JexTransport, ALetterWithoutAFactoryIsUnknown) {
    const JexSeams::EndpointFactory previous = JexSeams::SetEndpoint('T', nullptr);
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Connect(JexNetAddr("T/127.0.0.1/9", '/')), JexTransport::UNSUPPORTED);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::UNKNOWN});
    EXPECT_EQ(JexSeams::SetEndpoint('T', previous), nullptr);
}

// Only the letters 'A' to 'Z' have a slot: any other value installs nothing;
// each setter returns what it replaced.
TEST(JexSeams, OnlyCapitalLettersHaveEndpoints) {
    for (int value : {int{'A' - 1}, int{'Z' + 1}, int{'q'}, 0, -1, 256, int{'A' + 256}}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(JexSeams::SetEndpoint(value, &NewScriptedEndpoint), nullptr);
        EXPECT_EQ(JexSeams::Endpoint(value), nullptr);
    }
    for (int letter : {'A', 'Q', 'Y'}) {
        SCOPED_TRACE(letter);
        const JexSeams::EndpointFactory neighbour = JexSeams::Endpoint(letter + 1);
        const JexSeams::EndpointFactory previous =
            JexSeams::SetEndpoint(letter, &NewScriptedEndpoint);
        EXPECT_EQ(JexSeams::Endpoint(letter), &NewScriptedEndpoint);
        EXPECT_EQ(JexSeams::Endpoint(letter + 1), neighbour);  // one letter, one slot
        EXPECT_EQ(JexSeams::SetEndpoint(letter, previous), &NewScriptedEndpoint);
    }
}

}  // namespace
