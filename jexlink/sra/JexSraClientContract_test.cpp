// What the four service-request clients promise alike, one typed suite over create, augment, review
// and fetch.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraAugmentSrq.h"
#include "jexlink/sra/JexSraCreateSrq.h"
#include "jexlink/sra/JexSraFetchList.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/sra/JexSraReviewSrq.h"
#include "testing/support/ErrorChain.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SraPeer.h"

namespace {

using tavro::testing::DecodedMessages;
using tavro::testing::ErrorChain;
using tavro::testing::ReadFile;
using tavro::testing::SraClientSetup;
using tavro::testing::SraPeer;
using tavro::testing::SraPeerAnswer;
using tavro::testing::SraPeerRecord;
using tavro::testing::SraPeerRow;
using Chain = std::vector<std::string>;
using Reply = SraPeerRow::Reply;

// How the server answers the client's request.
enum class Answer { kCorrupt, kHangUp, kSilence };

// What a client's operation left.
struct Outcome {
    int result = -1;
    Chain chain;
    std::string text;    // the client's full description
    std::string output;  // the number, list or work unit it handed back
    int sessionState = 0;
};

// The failure notices the server received: the code name each carries.
Chain Notices(const SraPeerRecord& record) {
    Chain names;
    for (const JexNetMsg& m : DecodedMessages(record))
        if (m.Type() == kSraFailure) names.push_back(JexSraText(m[kTieItemName]).Text());
    return names;
}

// What a client's answer case expects: the result and the chain, whole or
// its leading names.
struct Expected {
    int result;
    Chain chain;
    bool whole;
};

// Each client's part of the contract: how it is made and run, the
// summary code its failures lead with, the peer rows that answer it, and
// what it expects of each answer beyond the shared checks.
struct CreateClient {
    static constexpr bool kKeepsCauses = true;
    static constexpr const char* kSummary = "JexSra::PROBSUBFAIL";
    static constexpr const char* kKind = "0";

    class Client {
    public:
        explicit Client(JexSession* session)
            : request_(session, "acc-77", "Subject line", "Disk full") {
            request_.SetAttr(JexSra::SRQ_OS_INFO, "Linux");
            request_.SetAttr(JexSra::SRQ_HARDWARE_INFO, "Server");
            request_.SetAttr(JexSra::SRQ_SOFTWARE_INFO, "2.2");
        }
        int Connect() { return request_.Create(); }
        int Exchange(std::string& output) {
            const int result = request_.Create();
            JexString number;
            request_.GetAttr(JexSra::SRQ_NUMBER, number);
            output = number.Text();
            return result;
        }
        JexSra& Request() { return request_; }

    private:
        JexSraCreateSrq request_;
    };

    static SraPeerRow Answering(Answer answer) {
        SraPeerRow row;
        row.reply = answer == Answer::kCorrupt  ? Reply::kCorrupt
                    : answer == Answer::kHangUp ? Reply::kHangUp
                                                : Reply::kSilence;
        return row;
    }
    static Expected Answered(Answer answer) {
        if (answer == Answer::kCorrupt)
            return {JexSra::CONVERSIONERR, {kSummary, "JexSra::CONVERSIONERR"}, false};
        return {JexSra::GETMSGERR, {kSummary, "JexSra::GETMSGERR"}, false};
    }
    static void CheckAnswered(Answer, const Outcome&, const SraPeerRecord& record,
                              const std::string&) {
        EXPECT_TRUE(record.ended);  // the request's messages reached the server
    }
    static void CheckUnconnected(Client&) {}
};

struct AugmentClient {
    // A broken or missing reply leaves the summary alone, without the
    // session's error beneath it.
    static constexpr bool kKeepsCauses = false;
    static constexpr const char* kSummary = "JexSra::PROBAUGFAIL";
    static constexpr const char* kKind = "1";

    class Client {
    public:
        explicit Client(JexSession* session)
            : request_(session, "sr-12", "Subject line", "0123456789") {}
        int Connect() { return request_.Augment(); }
        int Exchange(std::string& output) {
            const int result = request_.Augment();
            JexString number;
            request_.GetAttr(JexSra::SRQ_NUMBER, number);
            output = number.Text();
            return result;
        }
        JexSra& Request() { return request_; }

    private:
        JexSraAugmentSrq request_;
    };

    static SraPeerRow Answering(Answer answer) { return CreateClient::Answering(answer); }
    static Expected Answered(Answer answer) {
        return {answer == Answer::kCorrupt ? JexSra::CONVERSIONERR : JexSra::GETMSGERR,
                {kSummary},
                true};
    }
    static void CheckAnswered(Answer, const Outcome&, const SraPeerRecord& record,
                              const std::string&) {
        EXPECT_TRUE(record.ended);
    }
    static void CheckUnconnected(Client&) {}
};

struct FetchClient {
    static constexpr bool kKeepsCauses = true;
    static constexpr const char* kSummary = "JexSra::FETCHFAIL";
    static constexpr const char* kKind = "3";

    class Client {
    public:
        explicit Client(JexSession* session) : client_(session, 2) {}
        int Connect() {
            JexString list("caller's");
            const int result = client_.Fetch(list);
            kept_ = list.Text();
            return result;
        }
        const std::string& Kept() const { return kept_; }
        int Exchange(std::string& output) {
            JexString list("caller's");
            const int result = client_.Fetch(list);
            output = list.Text();
            return result;
        }
        JexSra& Request() { return client_; }

    private:
        JexSraFetchList client_;
        std::string kept_;
    };

    static SraPeerRow Answering(Answer answer) {
        SraPeerRow row;
        row.flow = SraPeerRow::Flow::kList;
        if (answer == Answer::kCorrupt) row.list = {{SraPeer::CorruptMessage()}};
        // A connection that ends before the end message leaves the list
        // incomplete: an error, never a list.
        if (answer == Answer::kHangUp)
            row.list = {{SraPeer::LineMessage("a"), SraPeer::LineMessage("b")}, true};
        if (answer == Answer::kSilence) row.list = {{SraPeer::LineMessage("a")}};
        return row;
    }
    static Expected Answered(Answer answer) {
        if (answer == Answer::kCorrupt)
            return {JexSra::CONVERSIONERR, {kSummary, "JexSra::CONVERSIONERR"}, false};
        return {JexSra::GETMSGERR, {kSummary, "JexSra::GETMSGERR"}, false};
    }
    static void CheckAnswered(Answer answer, const Outcome& outcome, const SraPeerRecord& record,
                              const std::string&) {
        EXPECT_EQ(outcome.output, "");
        if (answer == Answer::kSilence) return;
        EXPECT_EQ(Notices(record), answer == Answer::kCorrupt ? Chain{kSummary} : Chain{});
    }
    // A fetch that never connected leaves the caller's list as it was.
    static void CheckUnconnected(Client& client) { EXPECT_EQ(client.Kept(), "caller's"); }
};

struct ReviewClient {
    static constexpr bool kKeepsCauses = true;
    static constexpr const char* kSummary = "JexSra::REVIEWFAIL";
    static constexpr const char* kKind = "2";

    class Client {
    public:
        explicit Client(JexSession* session) : request_(session, "SR-7") {}
        int Connect() { return request_.GetWorkUnitCount(); }
        int Exchange(std::string& output) {
            JexString text("kept");
            const int result = request_.Review(1, text);
            output = text.Text();
            return result;
        }
        JexSra& Request() { return request_; }

    private:
        JexSraReviewSrq request_;
    };

    static SraPeerRow Answering(Answer answer) {
        SraPeerRow row;
        row.flow = SraPeerRow::Flow::kReview;
        row.count = answer == Answer::kSilence ? "1" : "2";
        SraPeerAnswer unit;
        if (answer == Answer::kCorrupt) unit = {{SraPeer::CorruptMessage()}};
        // A connection that ends inside a work unit is an error, never a
        // cached success.
        if (answer == Answer::kHangUp) unit = {{SraPeer::LineMessage("partial")}, true};
        if (answer == Answer::kSilence) unit = {{SraPeer::LineMessage("partial")}};
        row.work_unit = [unit](int) { return unit; };
        return row;
    }
    static Expected Answered(Answer answer) {
        if (answer == Answer::kCorrupt)
            return {JexSra::CONVERSIONERR, {kSummary, "JexSra::CONVERSIONERR"}, false};
        return {JexSra::GETMSGERR, {kSummary, "JexSra::GETMSGERR"}, false};
    }
    static void CheckAnswered(Answer answer, const Outcome& outcome, const SraPeerRecord& record,
                              const std::string& log) {
        EXPECT_EQ(outcome.output, "");
        if (answer == Answer::kSilence) return;
        std::vector<int> queries;
        for (const JexNetMsg& m : DecodedMessages(record))
            if (m.Type() == kSraQuery)
                queries.push_back(std::atoi(JexSraText(m[kSraItemWorkUnit]).Text()));
        EXPECT_EQ(queries, std::vector<int>{1});
        EXPECT_EQ(Notices(record), answer == Answer::kCorrupt ? Chain{kSummary} : Chain{});
        // The record holds the failure.
        const Chain chain = Answered(answer).chain;
        EXPECT_NE(log.rfind(chain[0] + "," + chain[1]), std::string::npos) << log;
        EXPECT_EQ(log.find("SUCCESSFUL"), std::string::npos) << log;
    }
    // A review request that could not connect fails its reviews too.
    static void CheckUnconnected(Client& client) {
        std::string text;
        EXPECT_EQ(client.Exchange(text), JexSra::REVIEWFAIL);
    }
};

template <class Contract>
class SraClientContract : public ::testing::Test {
protected:
    using Client = typename Contract::Client;

    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
    }

    // One exchange against the peer answering as the row says.
    Outcome Exchange(const SraPeerRow& row) {
        EXPECT_TRUE(peer_.Serve(row));
        Outcome outcome;
        {
            JexSession session;
            Client client(&session);
            outcome.result = client.Exchange(outcome.output);
            outcome.chain = ErrorChain(client.Request());
            outcome.text = client.Request().Describe(1).Text();
            outcome.sessionState = session.State();
        }
        EXPECT_TRUE(peer_.Join());
        return outcome;
    }

    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
};

using Clients = ::testing::Types<CreateClient, AugmentClient, FetchClient, ReviewClient>;
class ClientNames {
public:
    template <class T>
    static std::string GetName(int) {
        if (std::is_same_v<T, CreateClient>) return "Create";
        if (std::is_same_v<T, AugmentClient>) return "Augment";
        if (std::is_same_v<T, FetchClient>) return "Fetch";
        return "Review";
    }
};
TYPED_TEST_SUITE(SraClientContract, Clients, ClientNames);

// A client without a session fails its operation, never crashes.
TYPED_TEST(SraClientContract, WithoutASessionFailsCleanly) {
    typename TypeParam::Client client(nullptr);
    EXPECT_EQ(client.Connect(), JexSra::SESSIONERR);
    TypeParam::CheckUnconnected(client);
}

// A session that refuses the source attributes (it is not idle) fails the
// request instead of ending the process.
TYPED_TEST(SraClientContract, RefusedSessionAttributeIsRecordedNotFatal) {
    ASSERT_TRUE(this->peer_.Serve(SraPeerRow()));
    JexSession session;
    session.SetSuppress(1);
    session.SetAttr(JexSession::SRC_ACID, "cli");
    session.SetAttr(JexSession::ROUTE_MAP,
                    (this->setup_->Path() / "data" / "jex_route_map.dat").c_str());
    JexBuffer connect, accept;
    JexNetMsg msg(kSraConnect);
    JexSraSetText(msg[kSraItemKind], JexString(TypeParam::kKind));
    (void)msg.Encode(connect);
    ASSERT_EQ(session.Connect(kSraApplication, "srv", "snode", connect, accept), 0)
        << session.Describe(1).Text();
    {
        typename TypeParam::Client client(&session);
        EXPECT_EQ(client.Connect(), JexSra::SESSIONERR);
        const Chain chain = ErrorChain(client.Request());
        ASSERT_GE(chain.size(), 3u);
        EXPECT_EQ(chain[0], TypeParam::kSummary);
        EXPECT_EQ(chain[1], "JexSra::SESSIONERR");
        EXPECT_EQ(chain[2], "JexSession::WRONGSTATE");
    }
    session.Disconnect();
    EXPECT_TRUE(this->peer_.Join());
}

TYPED_TEST(SraClientContract, ClosedPortFailsToConnect) {
    ASSERT_TRUE(tavro::testing::WriteRouteToClosedPort(
        this->setup_->Path() / "data" / "jex_route_map.dat", "srv/snode/jex_sra"));
    JexSession session;
    typename TypeParam::Client client(&session);
    EXPECT_EQ(client.Connect(), JexSra::CONNECTFAIL);
    Chain chain = ErrorChain(client.Request());
    ASSERT_GE(chain.size(), 3u);
    chain.resize(3);
    EXPECT_EQ(chain, (Chain{TypeParam::kSummary, "JexSra::CONNECTFAIL", "JexSession::GATEWAYERR"}));
    TypeParam::CheckUnconnected(client);
}

// A server that goes silent holds the client no longer than
// "SRA.ReplyTimeout".
TYPED_TEST(SraClientContract, SilentServerEndsInBoundedTime) {
    ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kApplications, "SRA.ReplyTimeout", 2));
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = this->Exchange(TypeParam::Answering(Answer::kSilence));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(outcome.result, JexSra::GETMSGERR) << outcome.text;
    if (TypeParam::kKeepsCauses) {
        EXPECT_NE(outcome.text.find("JexSession::TIMEOUT"), std::string::npos) << outcome.text;
    } else {
        EXPECT_EQ(outcome.chain, Chain{TypeParam::kSummary}) << outcome.text;
    }
    EXPECT_NE(outcome.sessionState, JexSession::RUN);
    TypeParam::CheckAnswered(Answer::kSilence, outcome, this->peer_.Record(),
                             ReadFile(this->setup_->HistoryLog()));
}

// A reply that cannot be decoded and a hang-up instead of the answer fail
// the request and leave the session disconnected.
TYPED_TEST(SraClientContract, BrokenAnswers) {
    for (const Answer answer : {Answer::kCorrupt, Answer::kHangUp}) {
        SCOPED_TRACE(answer == Answer::kCorrupt ? "corrupt reply" : "hang-up");
        const Outcome outcome = this->Exchange(TypeParam::Answering(answer));
        const Expected expected = TypeParam::Answered(answer);
        EXPECT_EQ(outcome.result, expected.result) << outcome.text;
        if (expected.whole) {
            EXPECT_EQ(outcome.chain, expected.chain) << outcome.text;
        } else {
            ASSERT_GE(outcome.chain.size(), expected.chain.size()) << outcome.text;
            EXPECT_EQ(Chain(outcome.chain.begin(),
                            outcome.chain.begin() + static_cast<long>(expected.chain.size())),
                      expected.chain)
                << outcome.text;
        }
        EXPECT_NE(outcome.sessionState, JexSession::RUN);
        TypeParam::CheckAnswered(answer, outcome, this->peer_.Record(),
                                 ReadFile(this->setup_->HistoryLog()));
    }
}

}  // namespace
