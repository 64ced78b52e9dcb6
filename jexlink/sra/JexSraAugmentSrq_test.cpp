// Tests of the augment client against a scripted "Jex_Sra" server over the loopback.
#include "jexlink/sra/JexSraAugmentSrq.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SmtpSink.h"
#include "testing/support/SraPeer.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ErrorChain;
using tavro::testing::ReadFile;
using tavro::testing::SmtpSink;
using tavro::testing::SraClientSetup;
using tavro::testing::SraPeer;
using tavro::testing::SraPeerRow;
using tavro::testing::WriteFile;
using Reply = SraPeerRow::Reply;
using Connect = SraPeerRow::Connect;
using Chain = std::vector<std::string>;

std::string Attr(JexSra& request, int attribute) {
    JexString value;
    EXPECT_EQ(request.GetAttr(attribute, value), 0) << attribute;
    return value.Text();
}

struct Outcome {
    int result = -1;
    Chain chain;
    std::string number;
    int session_state = 0;
    int session_code = 0;
    std::string text;  // the request's full description
};

class AugmentClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
    }

    // One augmentation against the peer answering as the row says.
    Outcome Augment(const SraPeerRow& row, const char* text = "more detail\n",
                    const char* number = "sr-12", const char* cc = nullptr) {
        EXPECT_TRUE(peer_.Serve(row));
        Outcome outcome;
        {
            JexSession session;
            JexSraAugmentSrq request(&session, number, "Subject line", text);
            if (cc) {
                EXPECT_EQ(request.SetAttr(JexSra::SRQ_CC_ADDRESS, cc), 0);
            }
            outcome.result = request.Augment();
            outcome.chain = ErrorChain(request);
            outcome.number = Attr(request, JexSra::SRQ_NUMBER);
            outcome.text = request.Describe(1).Text();
            outcome.session_state = session.State();
            outcome.session_code = session.Code();
        }
        EXPECT_TRUE(peer_.Join());
        return outcome;
    }

    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
};

// The connect data names the request in upper case and kind 1; the text
// follows line by line in the raw form, then the end; no header message.
TEST_F(AugmentClient, SendsKindUpperCasedNumberAndLinesWithoutHeaders) {
    const Outcome outcome = Augment(SraPeerRow(), "a\n\nb\n");
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(outcome.chain, Chain{"JexSra::OK"});
    EXPECT_EQ(outcome.number, "SR-12");

    const auto& record = peer_.Record();
    JexNetMsg connect;
    connect.Decode(record.connect.data(), static_cast<int>(record.connect.size()));
    ASSERT_FALSE(connect.Corrupt());
    EXPECT_EQ(connect.Type(), kSraConnect);
    EXPECT_EQ(connect.ItemCount(), 6);
    EXPECT_STREQ(JexSraText(connect[kSraItemKind]).Text(), "1");
    EXPECT_EQ(connect[kSraItemVersion].GetLong(), 20);
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 2);
    EXPECT_STREQ(JexSraText(connect[kSraItemRequestNumber]).Text(), "SR-12");
    EXPECT_STREQ(JexSraText(connect[kSraItemSubject]).Text(), "Subject line");
    EXPECT_STREQ(JexSraText(connect[kSraItemContact]).Text(), JexSraDefaultContact().Text());
    EXPECT_FALSE(connect[kSraItemAccessNumber].Data());

    EXPECT_EQ(record.messages, (Chain{"da", "d", "db", "d", "Z"}));
    EXPECT_EQ(record.after_reply, JexSession::SHUT);  // the client disconnected
}

// A long text arrives whole, one message per line.
TEST_F(AugmentClient, LongTextArrivesWhole) {
    std::string text;
    Chain expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string line = "detail " + std::to_string(i) + std::string(100, '+');
        text += line + "\n";
        expected.push_back("d" + line);
    }
    expected.push_back("d");  // after the final line feed
    expected.push_back("Z");
    const Outcome outcome = Augment(SraPeerRow(), text.c_str());
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(peer_.Record().messages, expected);
}

TEST_F(AugmentClient, EmptyTextSendsOnlyTheEnd) {
    const Outcome outcome = Augment(SraPeerRow(), "");
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(peer_.Record().messages, Chain{"Z"});
}

// Each way the server can answer, with the status, the error chain and
// what reached the server.
TEST_F(AugmentClient, AnswersOfTheServer) {
    struct Case {
        const char* what;
        SraPeerRow row;
        const char* text;
        int result;
        Chain chain;  // the whole chain, outermost first
        bool sent;    // the text and end message reached the server
    };
    auto row = [](Connect c, uint32_t limit, Reply r, int otherType = kSraEnd) {
        SraPeerRow out;
        out.connect = c;
        out.limit = limit;
        out.reply = r;
        out.other_type = otherType;
        return out;
    };
    const char* const ten = "0123456789";
    const Case cases[] = {
        {"success",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kSuccess),
         ten,
         0,
         {"JexSra::OK"},
         true},
        {"limit of exactly the text",
         row(Connect::kAccept, 10, Reply::kSuccess),
         ten,
         0,
         {"JexSra::OK"},
         true},
        {"limit of 0", row(Connect::kAccept, 0, Reply::kSuccess), ten, 0, {"JexSra::OK"}, true},
        {"limit one byte short",
         row(Connect::kAccept, 10, Reply::kSuccess),
         "0123456789a",
         JexSra::BYTELIMITERR,
         {"JexSra::PROBAUGFAIL"},
         false},
        {"failure reply",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kFailure),
         ten,
         JexSra::PROBAUGFAIL,
         {"JexSra::PROBAUGFAIL", "JexSra::NODATAERR"},
         true},
        {"reply of type A",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kOtherType, kSraAccept),
         ten,
         JexSra::PROTOCOLERR,
         {"JexSra::PROBAUGFAIL", "JexSra::PROTOCOLERR"},
         true},
        {"reply of type Z",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kOtherType, kSraEnd),
         ten,
         JexSra::PROTOCOLERR,
         {"JexSra::PROBAUGFAIL", "JexSra::PROTOCOLERR"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Augment(c.row, c.text);
        EXPECT_EQ(outcome.result, c.result) << outcome.text;
        EXPECT_EQ(outcome.chain, c.chain) << outcome.text;
        EXPECT_EQ(peer_.Record().ended, c.sent);
        if (!c.sent) {
            EXPECT_TRUE(peer_.Record().messages.empty());
        }
        EXPECT_NE(outcome.session_state, JexSession::RUN);
    }
}

// A refusal leaves the session as the refusal left it (no disconnect) and
// hangs the server's error beneath the summary.
TEST_F(AugmentClient, RejectReturnsAccessFailWithoutDisconnecting) {
    SraPeerRow row;
    row.connect = Connect::kReject;
    row.reject_code = JexSra::INVALIDSRQID;
    const Outcome outcome = Augment(row);
    EXPECT_EQ(outcome.result, JexSra::ACCESSFAIL) << outcome.text;
    EXPECT_EQ(outcome.chain, (Chain{"JexSra::PROBAUGFAIL", "JexSra::INVALIDSRQID"}));
    EXPECT_NE(outcome.text.find("Invalid service request number peer"), std::string::npos)
        << outcome.text;
    // A disconnect would have left WRONGSTATE on the session.
    EXPECT_EQ(outcome.session_code, JexSession::REJECT);
    EXPECT_EQ(peer_.Record().listen, 0);
}

TEST_F(AugmentClient, ConstructorFillsTheRequest) {
    JexSession session;
    JexSraAugmentSrq request(&session, "sr-1", "Subj", "Text\n");
    EXPECT_EQ(Attr(request, JexSra::SRC_ACID), "cli");
    EXPECT_EQ(Attr(request, JexSra::SRC_NODE), "cnode");
    EXPECT_EQ(Attr(request, JexSra::DST_ACID), "srv");
    EXPECT_EQ(Attr(request, JexSra::DST_NODE), "snode");
    EXPECT_EQ(Attr(request, JexSra::SRQ_NUMBER), "sr-1");  // upper-cased by Augment
    EXPECT_EQ(Attr(request, JexSra::SRQ_SUBJECT), "Subj");
    EXPECT_EQ(Attr(request, JexSra::SRQ_TEXT), "Text\n");
    EXPECT_EQ(Attr(request, JexSra::SRQ_CONTACT), JexSraDefaultContact().Text());
    for (int empty : {JexSra::SRQ_ACCESS_NUMBER, JexSra::SRQ_CC_ADDRESS, JexSra::SRQ_OS_INFO})
        EXPECT_EQ(Attr(request, empty), "") << empty;
    int32_t numeric = 0;
    EXPECT_EQ(request.GetAttr(JexSra::SRQ_NUMERIC, numeric), 0);
    EXPECT_EQ(numeric, 2);
    EXPECT_EQ(request.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, numeric), JexSra::NOITEMCODE);
    EXPECT_EQ(session.Suppress(), 1);
    EXPECT_EQ(request.Suppress(), 1);
}

// The numeric attribute travels as set.
TEST_F(AugmentClient, NumericAttributeTravels) {
    ASSERT_TRUE(peer_.Serve(SraPeerRow()));
    {
        JexSession session;
        JexSraAugmentSrq request(&session, "sr-1", "s", "t");
        ASSERT_EQ(request.SetAttr(JexSra::SRQ_NUMERIC, 7), 0);
        EXPECT_EQ(request.Augment(), 0);
    }
    ASSERT_TRUE(peer_.Join());
    JexNetMsg connect;
    connect.Decode(peer_.Record().connect.data(), static_cast<int>(peer_.Record().connect.size()));
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 7);
}

// The copy mail goes to the copy address with the upper-cased number in its
// subject and the whole text as its body; whether it is delivered or not,
// the augmentation succeeds.
TEST_F(AugmentClient, CopyMailGoesToTheCopyAddress) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0);
    struct Case {
        const char* what;
        std::string server;
    } cases[] = {
        {"delivered", sink.Address()},
        {"no mail server", "127.0.0.1:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(
            tavro::testing::WriteText(JexConfig::kGlobalParameters, "Mail.Smtp.Server", c.server));
        const Outcome outcome = Augment(SraPeerRow(), "first\nsecond\n", "sr-1", "copy@x.test");
        EXPECT_EQ(outcome.result, 0) << outcome.text;
        EXPECT_EQ(outcome.chain, Chain{"JexSra::OK"});
    }
    ASSERT_TRUE(sink.WaitForMails(1));
    const auto mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"copy@x.test"});
    EXPECT_NE(mails[0].data.find("Subject: +SR-1: Subject line"), std::string::npos)
        << mails[0].data;
    EXPECT_NE(mails[0].data.find("first"), std::string::npos) << mails[0].data;
    EXPECT_NE(mails[0].data.find("second"), std::string::npos) << mails[0].data;
}

// Without a copy address no mail is sent.
TEST_F(AugmentClient, NoCopyAddressNoMail) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0);
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "Mail.Smtp.Server",
                                          sink.Address()));
    EXPECT_EQ(Augment(SraPeerRow()).result, 0);
    EXPECT_FALSE(sink.WaitForMails(1, 1000));
}

// One history-log record per request: the augment's tags, SUCCESSFUL after
// a success, the error chain after a failure.
TEST_F(AugmentClient, HistoryLogRecordsEachRequest) {
    Augment(SraPeerRow());
    SraPeerRow other;
    other.reply = Reply::kOtherType;
    Augment(other);
    const std::string log = ReadFile(setup_->HistoryLog());
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Metric"), 2u) << log;
    EXPECT_EQ(count("Client/Augment Sevice Request"), 2u) << log;
    EXPECT_EQ(count("Jex_Sra"), 2u) << log;
    EXPECT_EQ(count("Connecting JexSra Server"), 2u) << log;
    EXPECT_EQ(count("SUCCESSFUL"), 1u) << log;
    EXPECT_EQ(count("JexSra::PROBAUGFAIL"), 1u) << log;
    EXPECT_EQ(count("JexSra::PROTOCOLERR"), 1u) << log;
}

}  // namespace
