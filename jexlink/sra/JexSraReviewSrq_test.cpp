// Tests of the review client against a scripted "Jex_Sra" server over the loopback.
#include "jexlink/sra/JexSraReviewSrq.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraAugmentSrq.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraFetchList.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/RouteMap.h"
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
using tavro::testing::WriteFile;
using Chain = std::vector<std::string>;

// Work unit n: two lines naming it, then the end.
SraPeerAnswer TwoLines(int unit) {
    return {{SraPeer::LineMessage("unit " + std::to_string(unit)), SraPeer::LineMessage("second"),
             SraPeer::EndMessage()}};
}

SraPeerRow Reviews(const std::string& count, std::function<SraPeerAnswer(int)> answer = TwoLines) {
    SraPeerRow row;
    row.flow = SraPeerRow::Flow::kReview;
    row.count = count;
    row.work_unit = std::move(answer);
    return row;
}

// The units the server was asked for, in order.
std::vector<int> Queries(const tavro::testing::SraPeerRecord& record) {
    std::vector<int> units;
    for (const JexNetMsg& m : DecodedMessages(record))
        if (m.Type() == kSraQuery)
            units.push_back(std::atoi(JexSraText(m[kSraItemWorkUnit]).Text()));
    return units;
}

// The failure notices the server received: the code name each carries.
Chain Notices(const tavro::testing::SraPeerRecord& record) {
    Chain names;
    for (const JexNetMsg& m : DecodedMessages(record))
        if (m.Type() == kSraFailure) names.push_back(JexSraText(m[kTieItemName]).Text());
    return names;
}

class ReviewClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
    }

    std::string Log() { return ReadFile(setup_->HistoryLog()); }

    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
};

// The whole series on one connection: the count, reviews in any order,
// repeats from the cache, the disconnect once every unit is cached.
TEST_F(ReviewClient, ReadsCachesAndDisconnectsOnceComplete) {
    ASSERT_TRUE(peer_.Serve(Reviews("5")));
    JexSession session;
    {
        JexSraReviewSrq request(&session, "SR-7");
        int32_t count = 0;
        ASSERT_EQ(request.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), 0)
            << request.Describe(1).Text();
        EXPECT_EQ(count, 5);

        JexString text("caller's");
        ASSERT_EQ(request.Review(3, text), 0) << request.Describe(1).Text();
        EXPECT_STREQ(text.Text(), "unit 3\nsecond\n");
        text = "";
        ASSERT_EQ(request.Review(3, text), 0);
        EXPECT_STREQ(text.Text(), "unit 3\nsecond\n");
        for (int unit : {1, 2, 4}) ASSERT_EQ(request.Review(unit, text), 0) << unit;
        EXPECT_EQ(session.State(), JexSession::RUN);
        ASSERT_EQ(request.Review(5, text), 0);
        EXPECT_STREQ(text.Text(), "unit 5\nsecond\n");
        EXPECT_EQ(ErrorChain(request), Chain{"JexSra::OK"});
        EXPECT_NE(session.State(), JexSession::RUN);  // disconnected once complete

        // From here everything comes from the cache, without a connection.
        EXPECT_EQ(request.GetWorkUnitCount(), 0);
        ASSERT_EQ(request.Review(2, text), 0);
        EXPECT_STREQ(text.Text(), "unit 2\nsecond\n");
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(Queries(peer_.Record()), (std::vector<int>{3, 1, 2, 4, 5}));
    EXPECT_TRUE(Notices(peer_.Record()).empty());

    // Kind 2, the number, an empty subject; no access number.
    JexNetMsg connect;
    connect.Decode(peer_.Record().connect.data(), static_cast<int>(peer_.Record().connect.size()));
    EXPECT_EQ(connect.ItemCount(), 6);
    EXPECT_STREQ(JexSraText(connect[kSraItemKind]).Text(), "2");
    EXPECT_EQ(connect[kSraItemVersion].GetLong(), 20);
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 2);
    EXPECT_STREQ(JexSraText(connect[kSraItemRequestNumber]).Text(), "SR-7");
    ASSERT_TRUE(connect[kSraItemSubject].Data());
    EXPECT_EQ(connect[kSraItemSubject].Length(), 0);
    EXPECT_STREQ(JexSraText(connect[kSraItemContact]).Text(), JexSraDefaultContact().Text());

    const std::string log = Log();
    EXPECT_NE(log.find("Client/Review Sevice Request"), std::string::npos) << log;
    EXPECT_NE(log.find("SUCCESSFUL"), std::string::npos) << log;
}

// Numbers outside 1 to the count are answered without traffic.
TEST_F(ReviewClient, OutOfRangeNumbersSendNothing) {
    ASSERT_TRUE(peer_.Serve(Reviews("3")));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        ASSERT_EQ(request.GetWorkUnitCount(), 0);
        for (int32_t unit : {0, -1, 4, INT32_MIN, INT32_MAX}) {
            JexString text("kept");
            EXPECT_EQ(request.Review(unit, text), JexSra::WORKUNITNOTEXIST) << unit;
            EXPECT_STREQ(text.Text(), "kept");
            EXPECT_EQ(ErrorChain(request), Chain{"JexSra::WORKUNITNOTEXIST"});
        }
        JexString text;
        EXPECT_EQ(request.Review(4, text), JexSra::WORKUNITNOTEXIST);
        EXPECT_NE(std::string(request.Describe(1).Text()).find("Workunit number 4 does not exist"),
                  std::string::npos);
        EXPECT_EQ(request.Review(2, text), 0);
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(Queries(peer_.Record()), std::vector<int>{2});
}

// The count text of the accept data, read as an integer literal.
TEST_F(ReviewClient, CountTextOfTheAcceptData) {
    struct Case {
        const char* text;  // null: no item
        int result;
        int32_t count;
    };
    const Case cases[] = {
        {"5", 0, 5},
        {"0x10", 0, 16},
        {"12abc", 0, 12},
        {"  +7", 0, 7},
        {"010", 0, 8},
        {"99999999999", 0, INT32_MAX},
        {"0", JexSra::NOWUS, 0},
        {"", JexSra::NOWUS, 0},
        {nullptr, JexSra::NOWUS, 0},
        {"abc", JexSra::NOWUS, 0},
        {"-3", JexSra::NOWUS, -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(absent)");
        SraPeerRow row = Reviews(c.text ? c.text : "");
        row.count_absent = !c.text;
        ASSERT_TRUE(peer_.Serve(row));
        {
            JexSession session;
            JexSraReviewSrq request(&session, "SR-7");
            EXPECT_EQ(request.GetWorkUnitCount(), c.result) << request.Describe(1).Text();
            EXPECT_EQ(request.WorkUnitCount(), c.count);
            if (c.result == JexSra::NOWUS) {
                EXPECT_EQ(ErrorChain(request), Chain{"JexSra::NOWUS"});
                EXPECT_EQ(session.State(), JexSession::RUN);  // stays connected
                JexString text;
                EXPECT_EQ(request.Review(1, text), JexSra::WORKUNITNOTEXIST);
                int32_t count = 0;
                EXPECT_EQ(request.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), JexSra::FAILURE);
            }
        }
        EXPECT_TRUE(peer_.Join());
    }
}

TEST_F(ReviewClient, FirstReviewCountsFirst) {
    SraPeerRow row = Reviews("");
    row.count_absent = true;
    ASSERT_TRUE(peer_.Serve(row));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        JexString text;
        EXPECT_EQ(request.Review(1, text), JexSra::NOWUS);
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_TRUE(Queries(peer_.Record()).empty());
    EXPECT_NE(Log().find("JexSra::NOWUS"), std::string::npos) << Log();
}

// Asking for the count again keeps the connection the reviews use.
TEST_F(ReviewClient, CountTwiceKeepsTheConnection) {
    ASSERT_TRUE(peer_.Serve(Reviews("2")));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        ASSERT_EQ(request.GetWorkUnitCount(), 0);
        int32_t count = 0;
        ASSERT_EQ(request.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), 0);
        EXPECT_EQ(count, 2);
        JexString text;
        EXPECT_EQ(request.Review(1, text), 0) << request.Describe(1).Text();
        EXPECT_STREQ(text.Text(), "unit 1\nsecond\n");
    }
    ASSERT_TRUE(peer_.Join());
}

// How a work unit can go wrong: the status, the error chain, the notice
// that carries the client's own error, and a request left broken.
TEST_F(ReviewClient, FailuresOfAWorkUnit) {
    struct Case {
        const char* what;
        SraPeerAnswer answer;
        int result;
        Chain chain;
        bool notice;
    };
    const Case cases[] = {
        {"end alone",
         {{SraPeer::EndMessage()}},
         JexSra::INVALIDSRQID,
         {"JexSra::REVIEWFAIL", "JexSra::INVALIDSRQID"},
         true},
        {"failure reply",
         {{SraPeer::LineMessage("partial"), SraPeer::FailureMessage(JexSra::INVALIDSRQID)}},
         JexSra::PROTOCOLERR,
         {"JexSra::REVIEWFAIL", "JexSra::REMOTEFAIL", "JexSra::INVALIDSRQID"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(peer_.Serve(Reviews("2", [&](int) { return c.answer; })));
        {
            JexSession session;
            JexSraReviewSrq request(&session, "SR-7");
            JexString text("kept");
            EXPECT_EQ(request.Review(1, text), c.result) << request.Describe(1).Text();
            EXPECT_STREQ(text.Text(), "");
            Chain chain = ErrorChain(request);
            if (chain.size() > c.chain.size()) chain.resize(c.chain.size());
            EXPECT_EQ(chain, c.chain) << request.Describe(1).Text();
            EXPECT_NE(session.State(), JexSession::RUN);
        }
        ASSERT_TRUE(peer_.Join());
        EXPECT_EQ(Queries(peer_.Record()), std::vector<int>{1});
        EXPECT_EQ(Notices(peer_.Record()), c.notice ? Chain{"JexSra::REVIEWFAIL"} : Chain{});
        // The record holds the failure, the server's failure reply too.
        const std::string log = Log();
        EXPECT_NE(log.rfind(c.chain[0] + "," + c.chain[1]), std::string::npos) << log;
        EXPECT_EQ(log.find("SUCCESSFUL"), std::string::npos) << log;
    }
}

// After a failure that disconnected, cached units are still answered; the
// others fail, without a new connection.
TEST_F(ReviewClient, BrokenRequestAnswersOnlyFromTheCache) {
    ASSERT_TRUE(peer_.Serve(Reviews("3", [](int unit) {
        return unit == 1 ? TwoLines(unit) : SraPeerAnswer{{SraPeer::EndMessage()}};
    })));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        JexString text;
        ASSERT_EQ(request.Review(1, text), 0);
        EXPECT_EQ(request.Review(2, text), JexSra::INVALIDSRQID);
        EXPECT_NE(session.State(), JexSession::RUN);
        EXPECT_EQ(request.Review(2, text), JexSra::PUTMSGERR);
        EXPECT_EQ(request.Review(1, text), 0);
        EXPECT_STREQ(text.Text(), "unit 1\nsecond\n");
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(Queries(peer_.Record()), (std::vector<int>{1, 2}));
}

// A long work unit arrives whole.
TEST_F(ReviewClient, LongWorkUnitArrivesWhole) {
    SraPeerAnswer answer;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string line = "line " + std::to_string(i) + std::string(100, '-');
        answer.messages.push_back(SraPeer::LineMessage(line));
        expected += line + "\n";
    }
    answer.messages.push_back(SraPeer::EndMessage());
    ASSERT_TRUE(peer_.Serve(Reviews("1", [&](int) { return answer; })));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        JexString text;
        ASSERT_EQ(request.Review(1, text), 0) << request.Describe(1).Text();
        EXPECT_EQ(std::string(text.Text()), expected);
    }
    ASSERT_TRUE(peer_.Join());
}

// A line holding a NUL byte contributes the text before it; an empty line
// a bare line feed; a work unit ends with its own last line feed.
TEST_F(ReviewClient, LinesUpToTheirFirstNul) {
    ASSERT_TRUE(peer_.Serve(Reviews("1", [](int) {
        return SraPeerAnswer{{SraPeer::LineMessage(std::string("x\0y", 3)),
                              SraPeer::LineMessage(""), SraPeer::EndMessage()}};
    })));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        JexString text;
        ASSERT_EQ(request.Review(1, text), 0) << request.Describe(1).Text();
        EXPECT_STREQ(text.Text(), "x\n\n");
        EXPECT_NE(session.State(), JexSession::RUN);  // the one unit completed the review
    }
    ASSERT_TRUE(peer_.Join());
}

// A refusal leaves the session as it is and the server's error beneath
// REVIEWFAIL.
TEST_F(ReviewClient, RejectedConnection) {
    SraPeerRow row = Reviews("2");
    row.connect = SraPeerRow::Connect::kReject;
    row.reject_code = JexSra::ACIDSRQMISMATCH;
    ASSERT_TRUE(peer_.Serve(row));
    {
        JexSession session;
        JexSraReviewSrq request(&session, "SR-7");
        EXPECT_EQ(request.GetWorkUnitCount(), JexSra::ACCESSFAIL);
        EXPECT_EQ(ErrorChain(request), (Chain{"JexSra::REVIEWFAIL", "JexSra::ACIDSRQMISMATCH"}));
        EXPECT_EQ(session.Code(), JexSession::REJECT);  // not disconnected
    }
    ASSERT_TRUE(peer_.Join());
    EXPECT_NE(Log().find("JexSra::REVIEWFAIL,JexSra::ACIDSRQMISMATCH"), std::string::npos) << Log();
}

// Only a review request answers the work-unit count; a review request
// without a session fails its operations instead of crashing.
TEST_F(ReviewClient, CountAttributeOnlyOnAReviewWithASession) {
    JexSession session;
    int32_t count = -5;
    JexSra bare;
    EXPECT_EQ(bare.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), JexSra::NOITEMCODE);
    JexSraAugmentSrq augment(&session, "SR-7", "s", "t");
    EXPECT_EQ(augment.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), JexSra::NOITEMCODE);
    JexSraFetchList fetch(&session, 2);
    EXPECT_EQ(fetch.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), JexSra::NOITEMCODE);
    EXPECT_EQ(count, -5);

    JexSraReviewSrq alone;
    EXPECT_EQ(alone.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), JexSra::FAILURE);
    EXPECT_EQ(alone.GetWorkUnitCount(), JexSra::SESSIONERR);
    JexString text;
    EXPECT_EQ(alone.Review(1, text), JexSra::REVIEWFAIL);
    EXPECT_EQ(count, -5);
}

}  // namespace
