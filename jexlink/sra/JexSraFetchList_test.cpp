// Tests of the list-fetch client against a scripted "Jex_Sra" server over the loopback.
#include "jexlink/sra/JexSraFetchList.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexStrToTime.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SraPeer.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::DecodedMessages;
using tavro::testing::ErrorChain;
using tavro::testing::ReadFile;
using tavro::testing::SraClientSetup;
using tavro::testing::SraPeer;
using tavro::testing::SraPeerAnswer;
using tavro::testing::SraPeerRow;
using Chain = std::vector<std::string>;

SraPeerRow ListRow(SraPeerAnswer answer) {
    SraPeerRow row;
    row.flow = SraPeerRow::Flow::kList;
    row.list = std::move(answer);
    return row;
}

struct Outcome {
    int result = -1;
    Chain chain;
    std::string list;
    std::string text;  // the client's full description
};

class FetchClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
    }

    // One fetch against the peer; the list starts as "caller's".
    Outcome Fetch(const SraPeerRow& row, int listType = 2, const char* before = nullptr,
                  const char* since = nullptr) {
        EXPECT_TRUE(peer_.Serve(row));
        Outcome outcome;
        {
            JexSession session;
            JexSraFetchList client(&session, listType);
            if (before) {
                EXPECT_EQ(client.SetAttr(JexSra::SRQ_BEFORE, before), 0);
            }
            if (since) {
                EXPECT_EQ(client.SetAttr(JexSra::SRQ_SINCE, since), 0);
            }
            JexString list("caller's");
            outcome.result = client.Fetch(list);
            outcome.chain = ErrorChain(client);
            outcome.list = list.Text();
            outcome.text = client.Describe(1).Text();
            EXPECT_NE(session.State(), JexSession::RUN) << outcome.text;
        }
        EXPECT_TRUE(peer_.Join());
        return outcome;
    }

    // The last connect data. (Decoded in place: a copied JexNetMsg loses
    // its type.)
    void Connect(JexNetMsg& connect) {
        connect.Decode(peer_.Record().connect.data(),
                       static_cast<int>(peer_.Record().connect.size()));
    }

    // The failure notices the server received: the code name each carries.
    Chain Notices() {
        Chain names;
        for (const JexNetMsg& m : DecodedMessages(peer_.Record()))
            if (m.Type() == kSraFailure) names.push_back(JexSraText(m[kTieItemName]).Text());
        return names;
    }

    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
};

const SraPeerAnswer kTwoLines{
    {SraPeer::LineMessage("a"), SraPeer::LineMessage("b"), SraPeer::EndMessage()}};

// Without dates the connect data holds kind 3, the version, an empty
// subject, the list type, the numeric attribute and the contact, and
// nothing else; the lines come back joined.
TEST_F(FetchClient, SendsKindAndListTypeAndJoinsTheLines) {
    const Outcome outcome = Fetch(ListRow(kTwoLines));
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(outcome.list, "a\nb\n");
    EXPECT_EQ(outcome.chain, Chain{"JexSra::OK"});
    JexNetMsg connect;
    Connect(connect);
    EXPECT_EQ(connect.Type(), kSraConnect);
    EXPECT_EQ(connect.ItemCount(), 6);
    EXPECT_STREQ(JexSraText(connect[kSraItemKind]).Text(), "3");
    EXPECT_EQ(connect[kSraItemVersion].GetLong(), 20);
    ASSERT_TRUE(connect[kSraItemSubject].Data());
    EXPECT_EQ(connect[kSraItemSubject].Length(), 0);
    EXPECT_STREQ(JexSraText(connect[kSraItemListType]).Text(), "2");
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 2);
    EXPECT_STREQ(JexSraText(connect[kSraItemContact]).Text(), JexSraDefaultContact().Text());
    EXPECT_TRUE(Notices().empty());
}

// The client sends whatever list type it was given.
TEST_F(FetchClient, ListTypeIsSentUnchecked) {
    for (int type : {5, -1}) {
        ASSERT_EQ(Fetch(ListRow(kTwoLines), type).result, 0);
        JexNetMsg connect;
        Connect(connect);
        EXPECT_EQ(JexSraText(connect[kSraItemListType]).Text(), std::to_string(type));
    }
}

// Dates travel in the formatter's form, each only when set.
TEST_F(FetchClient, DatesTravelInTheFormattersForm) {
    const char* const since = "5 Jan 2020 10:00:00 +0000";
    const char* const before = "1/5/2021";
    time_t sinceTime = 0, beforeTime = 0;
    ASSERT_EQ(JexStrToTimeParse(since, &sinceTime, nullptr), 1);
    ASSERT_EQ(JexStrToTimeParse(before, &beforeTime, nullptr), 1);

    ASSERT_EQ(Fetch(ListRow(kTwoLines), 3, nullptr, since).result, 0);
    JexNetMsg connect;
    Connect(connect);
    EXPECT_STREQ(JexSraText(connect[kSraItemSince]).Text(), JexFormatTime(&sinceTime).Text());
    EXPECT_FALSE(connect[kSraItemBefore].Data());

    ASSERT_EQ(Fetch(ListRow(kTwoLines), 3, before, since).result, 0);
    Connect(connect);
    EXPECT_STREQ(JexSraText(connect[kSraItemBefore]).Text(), JexFormatTime(&beforeTime).Text());
    EXPECT_STREQ(JexSraText(connect[kSraItemSince]).Text(), JexFormatTime(&sinceTime).Text());
}

// A date that does not parse is refused before the session is touched.
TEST_F(FetchClient, BadDateIsRefusedBeforeAnyNetworkActivity) {
    for (const auto& dates : {std::pair<const char*, const char*>{"no such day", nullptr},
                              {nullptr, "31 Foo 2020"},
                              {"no such day", "1/5/2021"}}) {
        JexSession session;
        JexSraFetchList client(&session, 2);
        if (dates.first) client.SetAttr(JexSra::SRQ_BEFORE, dates.first);
        if (dates.second) client.SetAttr(JexSra::SRQ_SINCE, dates.second);
        JexString list("caller's");
        EXPECT_EQ(client.Fetch(list), JexSra::INVALIDDATE);
        EXPECT_STREQ(list.Text(), "caller's");
        EXPECT_EQ(ErrorChain(client), (Chain{"JexSra::FETCHFAIL", "JexSra::INVALIDDATE"}));
        EXPECT_NE(std::string(client.Describe(1).Text()).find("Invalid beginning or ending date"),
                  std::string::npos);
        JexString acid("unset");
        session.GetAttr(JexSession::SRC_ACID, acid);
        EXPECT_STREQ(acid.Text(), "");  // no session attribute was set
        EXPECT_EQ(session.State(), JexSession::IDLE);
    }
    const std::string log = ReadFile(setup_->HistoryLog());
    size_t failures = 0;
    for (size_t at = log.find("Error converting date"); at != std::string::npos;
         at = log.find("Error converting date", at + 1))
        ++failures;
    EXPECT_EQ(failures, 3u) << log;
    EXPECT_NE(log.find("FAILURE"), std::string::npos) << log;
    EXPECT_EQ(log.find("SUCCESSFUL"), std::string::npos) << log;
}

// Every way the answer can go, with the status, the list, the error chain
// and the failure notice that carries the client's own error.
TEST_F(FetchClient, AnswersOfTheServer) {
    struct Case {
        const char* what;
        SraPeerAnswer answer;
        int result;
        std::string list;
        Chain chain;  // the leading code names
        bool notice;
    };
    const Case cases[] = {
        {"one empty line",
         {{SraPeer::LineMessage(""), SraPeer::EndMessage()}},
         0,
         "\n",
         {"JexSra::OK"},
         false},
        {"a line with a NUL byte",
         {{SraPeer::LineMessage(std::string("x\0y", 3)), SraPeer::EndMessage()}},
         0,
         "x\n",
         {"JexSra::OK"},
         false},
        {"end alone",
         {{SraPeer::EndMessage()}},
         JexSra::INVALIDDATE,
         "",
         {"JexSra::FETCHFAIL", "JexSra::INVALIDDATE"},
         true},
        {"reply of type K",
         {{SraPeer::LineMessage("a"), SraPeer::TypeMessage(kSraSuccess)}},
         JexSra::PROTOCOLERR,
         "",
         {"JexSra::FETCHFAIL", "JexSra::PROTOCOLERR"},
         false},
        {"reply of type A",
         {{SraPeer::TypeMessage(kSraAccept)}},
         JexSra::PROTOCOLERR,
         "",
         {"JexSra::FETCHFAIL", "JexSra::PROTOCOLERR"},
         false},
        {"failure reply",
         {{SraPeer::LineMessage("a"), SraPeer::FailureMessage(JexSra::LISTNOTAVAIL)}},
         JexSra::LISTFETCHFAIL,
         "",
         {"JexSra::FETCHFAIL", "JexSra::REMOTEFAIL", "JexSra::LISTNOTAVAIL"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Fetch(ListRow(c.answer));
        EXPECT_EQ(outcome.result, c.result) << outcome.text;
        EXPECT_EQ(outcome.list, c.list);
        ASSERT_GE(outcome.chain.size(), c.chain.size()) << outcome.text;
        EXPECT_EQ(Chain(outcome.chain.begin(), outcome.chain.begin() + c.chain.size()), c.chain)
            << outcome.text;
        EXPECT_EQ(Notices(), c.notice ? Chain{"JexSra::FETCHFAIL"} : Chain{});
    }
}

TEST_F(FetchClient, RejectedConnectKeepsTheCallersList) {
    SraPeerRow row = ListRow(kTwoLines);
    row.connect = SraPeerRow::Connect::kReject;
    const Outcome outcome = Fetch(row);
    EXPECT_EQ(outcome.result, JexSra::CONNECTFAIL) << outcome.text;
    EXPECT_EQ(outcome.list, "caller's");
    ASSERT_GE(outcome.chain.size(), 3u);
    EXPECT_EQ(Chain(outcome.chain.begin(), outcome.chain.begin() + 3),
              (Chain{"JexSra::FETCHFAIL", "JexSra::CONNECTFAIL", "JexSession::REJECT"}));
    // The record shows the connect failure itself.
    const std::string log = ReadFile(setup_->HistoryLog());
    EXPECT_NE(log.find("JexSra::CONNECTFAIL,JexSession::REJECT"), std::string::npos) << log;
    EXPECT_EQ(log.find("JexSra::FETCHFAIL"), std::string::npos) << log;
}

// One history-log record per client: the fetch's tags, SUCCESSFUL after a
// success, the error chain after a failure.
TEST_F(FetchClient, HistoryLogRecordsEachFetch) {
    Fetch(ListRow(kTwoLines));
    Fetch(ListRow({{SraPeer::TypeMessage(kSraSuccess)}}));
    const std::string log = ReadFile(setup_->HistoryLog());
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Metric"), 2u) << log;
    EXPECT_EQ(count("Client/Fetch Sevice Request"), 2u) << log;
    EXPECT_EQ(count("Jex_Sra"), 2u) << log;
    EXPECT_EQ(count("Connecting JexSra Server"), 2u) << log;
    EXPECT_EQ(count("SUCCESSFUL"), 1u) << log;
    EXPECT_EQ(count("JexSra::FETCHFAIL,JexSra::PROTOCOLERR"), 1u) << log;
}

// A long list arrives whole, line for line.
TEST_F(FetchClient, LongListArrivesWhole) {
    SraPeerAnswer answer;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string line = "request " + std::to_string(i) + std::string(100, '.');
        answer.messages.push_back(SraPeer::LineMessage(line));
        expected += line + "\n";
    }
    answer.messages.push_back(SraPeer::EndMessage());
    const Outcome outcome = Fetch(ListRow(answer));
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(outcome.list, expected);
}

}  // namespace
