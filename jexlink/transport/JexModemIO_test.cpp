// Tests of the modem endpoint against a fake modem client.
#include "jexlink/transport/JexModemIO.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexSeams.h"
#include "jexlink/transport/JexTransport.h"
#include "testing/support/TransportTestSupport.h"

namespace {

using tavro::testing::RaiseLog;

#define FAKEMODEM_TEXTS(JEX_TEXT)                                   \
    JEX_TEXT(0, OK, "Success")                                      \
    JEX_TEXT(5, READONLY, "Read only")                              \
    JEX_TEXT(9, BADATTR, "Bad attribute")                           \
    JEX_TEXT(43, LINK_ABORT, "Data link aborted by session entity") \
    JEX_TEXT(82, TERMINATED, "Connection terminated")               \
    JEX_TEXT(83, TIMEOUT, "Timed out")                              \
    JEX_TEXT(99, BROKEN, "Broken")

#define JEX_TEXT_CLASS FakeModem
const JexTextRow kFakeTable[] = JEX_TEXT_TABLE(FAKEMODEM_TEXTS);
#undef JEX_TEXT_CLASS

// A modem client that answers from a script and records what it is asked.
class FakeModem : public JexModemClient {
public:
    FakeModem() : JexModemClient(kFakeTable, "FakeModem") {}

    int Connect(const char* address, int speed) override {
        calls.push_back(std::string("Connect ") + address + " " + std::to_string(speed));
        return Answer(connectCode);
    }
    int Listen(const char* name) override {
        calls.push_back(std::string("Listen ") + (name ? name : "(null)"));
        return Answer(listenCode);
    }
    int Disconnect() override {
        calls.push_back("Disconnect");
        return Answer(disconnectCode);
    }
    int GetMsg(JexBuffer& out, int flags, int seconds) override {
        calls.push_back("GetMsg " + std::to_string(flags) + " " + std::to_string(seconds));
        if (inbound.empty()) return Answer(endCode);
        out = JexBuffer(inbound.front().data(), static_cast<int>(inbound.front().size()));
        inbound.pop_front();
        return Answer(0);
    }
    int PutMsg(JexBuffer& data, int flags) override {
        sent.emplace_back(data.Data() ? data.Data() : "", static_cast<size_t>(data.Length()));
        calls.push_back("PutMsg " + std::to_string(flags));
        return Answer(sent.size() == failPutAt ? 99 : 0);
    }
    int GetAttr(int attribute, JexString& out) override {
        if (attribute == 9) out = "M/line.caller:1/app";
        if (attribute == 13) out = "M/line.callee/app";
        return Answer(attribute == 9 || attribute == 13 ? 0 : 9);
    }
    int GetAttr(int, int&) override { return Answer(9); }
    int SetAttr(int, const char*) override { return Answer(9); }
    int SetAttr(int attribute, int value) override {
        calls.push_back("SetAttr " + std::to_string(attribute) + " " + std::to_string(value));
        return Answer(setAttrCode);
    }

    int Answer(int code) {
        ExcSet(code, JexExcArgs("FakeModem"));
        Raise();
        return code;
    }

    std::vector<std::string> calls;
    std::deque<std::string> inbound;
    std::vector<std::string> sent;
    size_t failPutAt = 0;
    int connectCode = 0;
    int listenCode = 0;
    int disconnectCode = 0;
    int setAttrCode = 0;
    int endCode = 82;
    static int constructionCode;
};

int FakeModem::constructionCode = 0;

std::unique_ptr<JexModemClient> MakeFake() {
    auto fake = std::make_unique<FakeModem>();
    if (FakeModem::constructionCode) fake->ExcSet(FakeModem::constructionCode);
    return fake;
}

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeModem::constructionCode = 0;
        previous_ = JexSeams::SetModemClient(&MakeFake);
    }
    void TearDown() override { JexSeams::SetModemClient(previous_); }

    static FakeModem& Fake(JexModemIO& io) { return *static_cast<FakeModem*>(io.Client()); }

    JexSeams::ModemClientFactory previous_ = nullptr;
};

TEST_F(ModemTest, PutDataCutsMessagesOfTheIoSize) {
    JexModemIO io;
    std::string data(3000, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(io.PutData(data.data(), 3000, 0), 0);
    const auto& sent = Fake(io).sent;
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size(), 1280u);
    EXPECT_EQ(sent[1].size(), 1280u);
    EXPECT_EQ(sent[2].size(), 440u);
    EXPECT_EQ(sent[0] + sent[1] + sent[2], data);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kBytesSent], 3000u);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kMessagesSent], 1u);
    // An empty write sends nothing and still counts one message.
    EXPECT_EQ(io.PutData("", 0, 0), 0);
    EXPECT_EQ(Fake(io).sent.size(), 3u);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kMessagesSent], 2u);
}

TEST_F(ModemTest, PutDataFailureIsAModemError) {
    JexModemIO io;
    RaiseLog raised(&io);
    Fake(io).failPutAt = 2;
    const std::string data(3000, 'q');
    EXPECT_EQ(io.PutData(data.data(), 3000, 0), JexTransport::MODEMERR);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::MODEMERR});
    ASSERT_NE(io.Cause(), nullptr);
    EXPECT_EQ(io.Cause()->Code(), 99);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kBytesSent], 0u);
}

TEST_F(ModemTest, ExactReadsReassembleMessages) {
    JexModemIO io;
    FakeModem& fake = Fake(io);
    std::string message(300, '\0');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i);
    fake.inbound = {message};
    char buf[400];
    int got = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(io.GetData(buf, 100, got, 0), 0);
        EXPECT_EQ(got, 100);
        EXPECT_EQ(std::string(buf, 100), message.substr(static_cast<size_t>(i) * 100, 100));
        EXPECT_EQ(io.PendingBytes(), 200 - i * 100);
    }
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "GetMsg 0 0"), 1);
    // One read may take several messages.
    fake.inbound = {"tail", "ab", "cd", "efgh"};
    EXPECT_EQ(io.GetData(buf, 7, got, 0), 0);
    EXPECT_EQ(std::string(buf, 7), "tailabc");
    EXPECT_EQ(io.PendingBytes(), 1);
    EXPECT_EQ(fake.inbound.size(), 1u);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kBytesReceived], 307u);
    EXPECT_EQ(io.Statistics().counters[JexNetStats::kMessagesReceived], 4u);
}

TEST_F(ModemTest, WaitModeOneUsesTheTimeoutAttribute) {
    JexModemIO io;
    RaiseLog raised(&io);
    io.SetAttr(JexTransport::kTimeout, 17);
    Fake(io).endCode = 83;
    char buf[4];
    int got = 0;
    EXPECT_EQ(io.GetData(buf, 4, got, 1), JexTransport::MODEMERR);
    EXPECT_EQ(Fake(io).calls.back(), "GetMsg 1 17");
    EXPECT_EQ(io.GetData(buf, 4, got, 2), JexTransport::MODEMERR);
    EXPECT_EQ(Fake(io).calls.back(), "GetMsg 0 0");
    EXPECT_EQ(raised.Codes(), (std::vector<int>{10, 10}));
}

TEST_F(ModemTest, EndedConnectionRaisesEndWhateverAttributeSeven) {
    for (int endCode : {82, 43}) {
        SCOPED_TRACE(endCode);
        JexTransport t;
        RaiseLog raised(&t);
        t.SetAttr(JexTransport::kRaiseEnd, 0);
        ASSERT_EQ(t.Connect(JexNetAddr("M/line.node:3/srv", '/')), 0);
        auto* io = static_cast<JexModemIO*>(t.Endpoint());
        Fake(*io).endCode = endCode;
        Fake(*io).inbound = {"xy"};
        char buf[8];
        int got = 0;
        EXPECT_EQ(t.GetData(buf, 8, got, 0), JexTransport::END);
        EXPECT_EQ(got, 2);
        EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::END});
        ASSERT_NE(t.Cause(), nullptr);
        EXPECT_EQ(t.Cause()->Code(), endCode);
    }
}

TEST_F(ModemTest, ConnectSetsTheParameterAndDialsTheAddressText) {
    JexTransport t;
    ASSERT_EQ(t.Connect(JexNetAddr("m/line.node:3/srv", '/')), 0);
    auto* io = static_cast<JexModemIO*>(t.Endpoint());
    EXPECT_EQ(Fake(*io).calls,
              (std::vector<std::string>{"SetAttr 18 128", "Connect m/line.node:3/srv 0"}));
    JexString called;
    t.GetAttr(JexTransport::kCalled, called);
    EXPECT_STREQ(called.Text(), "?//");  // Connect leaves the endpoint's texts
    EXPECT_STREQ(t.Stats()->callee.Text(), "m/line.node:3/srv");
}

TEST_F(ModemTest, ConnectFailuresAreConnectErrors) {
    struct Case {
        int setAttrCode;
        int connectCode;
        std::vector<std::string> calls;
    } cases[] = {
        {10, 0, {"SetAttr 18 128"}},
        {0, 99, {"SetAttr 18 128", "Connect M/n/s 0"}},
    };
    for (const Case& c : cases) {
        JexModemIO io;
        RaiseLog raised(&io);
        Fake(io).setAttrCode = c.setAttrCode;
        Fake(io).connectCode = c.connectCode;
        EXPECT_EQ(io.Connect(JexNetAddr("M/n/s", '/')), JexTransport::CONNECTERR);
        EXPECT_EQ(Fake(io).calls, c.calls);
        EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::CONNECTERR});
        EXPECT_STREQ(io.FormattedText(0).Text(), "Unable to connect to M/n/s");
    }
}

TEST_F(ModemTest, ListenTakesTheLinkAddresses) {
    setenv("JEX_TRANSPORT_TYPE", "M", 1);
    JexTransport t;
    ASSERT_EQ(t.Listen(), 0);
    JexString text;
    t.GetAttr(JexTransport::kCalling, text);
    EXPECT_STREQ(text.Text(), "M/line.caller:1/app");
    t.GetAttr(JexTransport::kCalled, text);
    EXPECT_STREQ(text.Text(), "M/line.callee/app");
    EXPECT_STREQ(t.Stats()->caller.Text(), "M/line.caller:1/app");
    unsetenv("JEX_TRANSPORT_TYPE");

    JexModemIO failing;
    RaiseLog raised(&failing);
    Fake(failing).listenCode = 99;
    EXPECT_EQ(failing.Listen(), JexTransport::MODEMERR);
}

TEST_F(ModemTest, DisconnectSkipsAClientInError) {
    JexModemIO io;
    RaiseLog raised(&io);
    EXPECT_EQ(io.Disconnect(), 0);
    EXPECT_EQ(Fake(io).calls, std::vector<std::string>{"Disconnect"});
    Fake(io).disconnectCode = 99;
    EXPECT_EQ(io.Disconnect(), JexTransport::MODEMERR);
    EXPECT_EQ(io.Disconnect(), 0);  // the client is in error now: not asked again
    EXPECT_EQ(Fake(io).calls.size(), 2u);
}

TEST_F(ModemTest, OperationsThatDoNotExist) {
    JexModemIO io;
    RaiseLog raised(&io);
    JexModemIO peer;
    JexBuffer b;
    EXPECT_EQ(io.Accept(peer), 14);
    EXPECT_EQ(io.CreateListener(JexNetAddr("M/n/s", '/')), 14);
    EXPECT_EQ(io.GetData(b, 0), 14);
    EXPECT_EQ(raised.Codes(), (std::vector<int>{14, 14, 14}));
}

TEST_F(ModemTest, AClientThatCannotBeBuiltMakesAnUnusableEndpointNotAnEnd) {
    FakeModem::constructionCode = 99;
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Connect(JexNetAddr("M/n/s", '/')), JexTransport::CONNECTERR);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::CONNECTERR});
    EXPECT_STREQ(t.FormattedText(0).Text(), "Unable to connect to modem transport object");
    char buf[2];
    int got = 0;
    EXPECT_EQ(t.GetData(buf, 2, got, 0), JexTransport::CONNECTERR);
    EXPECT_EQ(t.PutData("a", 1, 0), JexTransport::CONNECTERR);

    // Without any modem client at all.
    JexSeams::SetModemClient(nullptr);
    JexTransport none;
    RaiseLog noneRaised(&none);
    EXPECT_EQ(none.Connect(JexNetAddr("M/n/s", '/')), JexTransport::CONNECTERR);
    EXPECT_EQ(none.Disconnect(), 0);
}

}  // namespace
