// Tests of the create client against a scripted "Jex_Sra" server over the loopback.
#include "jexlink/sra/JexSraCreateSrq.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexCreateSrq.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/ErrorChain.h"
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

std::string Attr(JexSra& request, int attribute) {
    JexString value;
    EXPECT_EQ(request.GetAttr(attribute, value), 0) << attribute;
    return value.Text();
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

struct Outcome {
    int result = -1;
    std::vector<std::string> chain;
    std::string number;
    std::string text;  // the request's full description
};

class CreateClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
    }

    // One submission against the peer answering as the row says.
    Outcome Submit(const SraPeerRow& row, const char* body = "Disk full",
                   const char* access = "acc-77") {
        EXPECT_TRUE(peer_.Serve(row));
        Outcome outcome;
        {
            JexSession session;
            JexSraCreateSrq request(&session, access, "Subject line", body);
            request.SetAttr(JexSra::SRQ_OS_INFO, "Linux");
            request.SetAttr(JexSra::SRQ_HARDWARE_INFO, "Server");
            request.SetAttr(JexSra::SRQ_SOFTWARE_INFO, "2.2");
            outcome.result = request.Create();
            outcome.chain = ErrorChain(request);
            outcome.number = Attr(request, JexSra::SRQ_NUMBER);
            outcome.text = request.Describe(1).Text();
            // Disconnected, or never connected.
            EXPECT_NE(session.State(), JexSession::RUN) << outcome.text;
        }
        EXPECT_TRUE(peer_.Join());
        return outcome;
    }

    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
};

// What the server receives of a new request, message by message.
TEST_F(CreateClient, ServerReceivesConnectHeadersLinesAndEnd) {
    SraPeerRow row;
    row.number = "SR-0042";
    const Outcome outcome = Submit(row, "line one\r\nline two");
    ASSERT_EQ(outcome.result, 0) << outcome.text;
    EXPECT_EQ(outcome.chain, std::vector<std::string>{"JexSra::OK"});
    EXPECT_EQ(outcome.number, "SR-0042");

    const auto& record = peer_.Record();
    JexNetMsg connect;
    connect.Decode(record.connect.data(), static_cast<int>(record.connect.size()));
    ASSERT_FALSE(connect.Corrupt());
    EXPECT_EQ(connect.Type(), kSraConnect);
    EXPECT_EQ(connect.ItemCount(), 6);
    EXPECT_STREQ(JexSraText(connect[kSraItemKind]).Text(), "0");
    EXPECT_EQ(connect[kSraItemVersion].Length(), 4);
    EXPECT_EQ(connect[kSraItemVersion].GetLong(), 20);
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 2);
    EXPECT_STREQ(JexSraText(connect[kSraItemSubject]).Text(), "Subject line");
    EXPECT_STREQ(JexSraText(connect[kSraItemAccessNumber]).Text(), "ACC-77");
    JexPlatform platform;
    const std::string contact =
        std::string(JexGetUserName().Text()) + "@" + platform.Field(1).Text();
    EXPECT_EQ(JexSraText(connect[kSraItemContact]).Text(), contact);

    // Headers in order, the text's lines raw (the leading and trailing line
    // feeds give empty lines, carriage returns stay), then the end.
    const std::vector<std::string> expected = {
        std::string("D\x6f\x05\x00\x00Linux", 10),
        std::string("D\x68\x06\x00\x00Server", 11),
        std::string("D\x73\x03\x00\x00"
                    "2.2",
                    8),
        "d",
        "dline one\r",
        "dline two",
        "d",
        "Z",
    };
    ASSERT_EQ(record.messages.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(Hex(record.messages[i]), Hex(expected[i])) << i;
    EXPECT_TRUE(record.ended);
    EXPECT_EQ(record.after_reply, JexSession::SHUT);  // the client disconnected
}

// Each way the server can answer, with the status and the error chain.
TEST_F(CreateClient, AnswersOfTheServer) {
    struct Case {
        const char* what;
        SraPeerRow row;
        int result;
        std::vector<std::string> chain;  // the leading code names
        bool sent;                       // the request's messages reached the server
    };
    auto row = [](Connect c, uint32_t limit, Reply r) {
        SraPeerRow out;
        out.connect = c;
        out.limit = limit;
        out.reply = r;
        return out;
    };
    auto other = [&row](int type) {
        SraPeerRow out = row(Connect::kAcceptWithoutLimit, 0, Reply::kOtherType);
        out.other_type = type;
        return out;
    };
    // The work-unit text is "\nDisk full\n": 11 bytes.
    const Case cases[] = {
        {"limit of exactly the text",
         row(Connect::kAccept, 11, Reply::kSuccess),
         0,
         {"JexSra::OK"},
         true},
        {"limit of 0", row(Connect::kAccept, 0, Reply::kSuccess), 0, {"JexSra::OK"}, true},
        {"limit one byte short",
         row(Connect::kAccept, 10, Reply::kSuccess),
         JexSra::BYTELIMITERR,
         {"JexSra::PROBSUBFAIL", "JexSra::BYTELIMITERR"},
         false},
        {"failure reply",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kFailure),
         JexSra::UNKNOWNROUTINGCODE,
         {"JexSra::PROBSUBFAIL", "JexSra::REMOTEFAIL", "JexSra::NODATAERR"},
         true},
        {"reject",
         row(Connect::kReject, 0, Reply::kSuccess),
         JexSra::CONNECTFAIL,
         {"JexSra::PROBSUBFAIL", "JexSra::CONNECTFAIL", "JexSession::REJECT"},
         false},
        {"reply of another type",
         row(Connect::kAcceptWithoutLimit, 0, Reply::kOtherType),
         JexSra::PROTOCOLERR,
         {"JexSra::PROBSUBFAIL", "JexSra::PROTOCOLERR"},
         true},
        {"empty accept data",
         row(Connect::kAcceptEmpty, 0, Reply::kSuccess),
         JexSra::CONVERSIONERR,
         {"JexSra::PROBSUBFAIL", "JexSra::CONVERSIONERR"},
         false},
        {"failure reply without an error image",
         other('F'),
         JexSra::UNKNOWNROUTINGCODE,
         {"JexSra::PROBSUBFAIL", "JexSra::REMOTEFAIL", "JexSra::EVT_RESPONSE"},
         true},
        {"accept type as the reply",
         other('A'),
         JexSra::PROTOCOLERR,
         {"JexSra::PROBSUBFAIL", "JexSra::PROTOCOLERR"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Submit(c.row);
        EXPECT_EQ(outcome.result, c.result) << outcome.text;
        ASSERT_GE(outcome.chain.size(), c.chain.size()) << outcome.text;
        for (size_t i = 0; i < c.chain.size(); ++i) EXPECT_EQ(outcome.chain[i], c.chain[i]) << i;
        EXPECT_EQ(peer_.Record().ended, c.sent);
        if (!c.sent) {
            EXPECT_TRUE(peer_.Record().messages.empty());
        }
    }
}

TEST_F(CreateClient, SizeLimitErrorNamesLengthAndLimit) {
    SraPeerRow row;
    row.connect = Connect::kAccept;
    row.limit = 10;
    const Outcome outcome = Submit(row);
    EXPECT_NE(outcome.text.find("Your submission of 11 bytes exceeds the size limit of 10 bytes"),
              std::string::npos)
        << outcome.text;
}

TEST_F(CreateClient, FailureReplyCarriesTheServersError) {
    SraPeerRow row;
    row.reply = Reply::kFailure;
    row.failure_code = JexSra::INVALIDSRQID;
    const Outcome outcome = Submit(row);
    EXPECT_EQ(outcome.result, JexSra::UNKNOWNROUTINGCODE);
    EXPECT_NE(outcome.text.find("JexSra::INVALIDSRQID, Invalid service request number peer"),
              std::string::npos)
        << outcome.text;
    EXPECT_EQ(JexConvertSraStatusToSrqStatus(outcome.result), 6);
}

// A subject too long to frame is refused before anything is sent.
TEST_F(CreateClient, ConnectMessageThatCannotBeFramedIsAConversionError) {
    const std::string subject(JexNetMsg::kItemLimit, 's');
    JexSession session;
    JexSraCreateSrq request(&session, "acc", subject.c_str(), "b");
    EXPECT_EQ(request.Create(), JexSra::CONVERSIONERR);
    const auto chain = ErrorChain(request);
    ASSERT_GE(chain.size(), 2u);
    EXPECT_EQ(chain[0], "JexSra::PROBSUBFAIL");
    EXPECT_EQ(chain[1], "JexSra::CONVERSIONERR");
}

TEST_F(CreateClient, ConstructorFillsTheRequestFromSettingsAndSignature) {
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kApplications, "Contact.EMailAddr", "ops@x"));
    const std::string longLine(600, 'L');
    WriteFile(setup_->Signature(), "-- \nSupport team\n" + longLine + "\nlast");
    JexSession session;
    JexSraCreateSrq request(&session, "acc-1", "Subj", "Body");
    EXPECT_EQ(Attr(request, JexSra::SRC_ACID), "cli");
    EXPECT_EQ(Attr(request, JexSra::SRC_NODE), "cnode");
    EXPECT_EQ(Attr(request, JexSra::DST_ACID), "srv");
    EXPECT_EQ(Attr(request, JexSra::DST_NODE), "snode");
    EXPECT_EQ(Attr(request, JexSra::SRQ_ACCESS_NUMBER), "acc-1");  // upper-cased by Create
    EXPECT_EQ(Attr(request, JexSra::SRQ_SUBJECT), "Subj");
    EXPECT_EQ(Attr(request, JexSra::SRQ_TEXT), "\nBody\n-- \nSupport team\n" + longLine + "\nlast");
    for (int empty : {JexSra::SRQ_NUMBER, JexSra::SRQ_OS_INFO, JexSra::SRQ_HARDWARE_INFO,
                      JexSra::SRQ_SOFTWARE_INFO, JexSra::SRQ_CC_ADDRESS})
        EXPECT_EQ(Attr(request, empty), "") << empty;
    int32_t numeric = 0;
    request.GetAttr(JexSra::SRQ_NUMERIC, numeric);
    EXPECT_EQ(numeric, 2);
    EXPECT_EQ(session.Suppress(), 1);
    EXPECT_EQ(request.Suppress(), 1);
    // The session answers the language.
    JexString language("unset");
    EXPECT_EQ(request.GetAttr(JexSra::LANGUAGE, language), 0);
}

TEST_F(CreateClient, NoSignatureFileGivesJustTheBody) {
    JexSession session;
    JexSraCreateSrq request(&session, "a", "s", "x");
    EXPECT_EQ(Attr(request, JexSra::SRQ_TEXT), "\nx\n");
}

// The confirmation mail goes to the copy address; whether it is delivered
// or not, the submission succeeds.
TEST_F(CreateClient, ConfirmationMailGoesToTheCopyAddress) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0);
    struct Case {
        const char* what;
        std::string server;
        size_t mails;
    } cases[] = {
        {"delivered", sink.Address(), 1},
        {"no mail server", "127.0.0.1:1", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(
            tavro::testing::WriteText(JexConfig::kGlobalParameters, "Mail.Smtp.Server", c.server));
        SraPeerRow row;
        row.number = "SR-0005";
        ASSERT_TRUE(peer_.Serve(row));
        JexSession session;
        JexSraCreateSrq request(&session, "acc", "Fan noise", "It hums");
        ASSERT_EQ(request.SetAttr(JexSra::SRQ_CC_ADDRESS, "copy@x.test"), 0);
        EXPECT_EQ(request.Create(), 0);
        EXPECT_EQ(request.Code(), JexSra::OK);
        EXPECT_EQ(request.Cause(), nullptr);
        EXPECT_TRUE(peer_.Join());
    }
    ASSERT_TRUE(sink.WaitForMails(1));
    const auto mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"copy@x.test"});
    EXPECT_NE(mails[0].data.find("Subject: SR-0005 (ACC): Fan noise"), std::string::npos)
        << mails[0].data;
    EXPECT_NE(mails[0].data.find("It hums"), std::string::npos) << mails[0].data;
}

// One history-log record per submission, with the submission's tags.
TEST_F(CreateClient, HistoryLogRecordsEachSubmission) {
    SraPeerRow success;
    Submit(success);
    SraPeerRow other;
    other.reply = Reply::kOtherType;
    Submit(other);
    const std::string log = ReadFile(setup_->HistoryLog());
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Record-Type"), 2u) << log;
    EXPECT_EQ(count("Metric"), 2u) << log;
    EXPECT_EQ(count("Client/New Sevice Request"), 2u) << log;
    EXPECT_EQ(count("Jex_Sra"), 2u) << log;
    EXPECT_EQ(count("Connecting JexSra Server"), 2u) << log;
    EXPECT_EQ(count("SUCCESSFUL"), 1u) << log;
    // The protocol error's record names it, not the summary.
    EXPECT_NE(log.find("JexSra::PROTOCOLERR"), std::string::npos) << log;
    EXPECT_EQ(log.find("JexSra::PROBSUBFAIL"), std::string::npos) << log;
}

// The adapter: its input items reach the server, its output items come back.
TEST_F(CreateClient, AdapterCopiesItemsBothWays) {
    SraPeerRow row;
    row.number = "SR-9";
    ASSERT_TRUE(peer_.Serve(row));
    JexNetMsg in, out;
    JexSraSetText(in['G'], JexString("OS/9"));
    JexSraSetText(in['F'], JexString("Entity"));
    JexSraSetText(in['J'], JexString("v3"));
    JexSraSetText(in['D'], JexString("me@site"));
    JexSraSetText(in['H'], JexString("ignored"));  // read-only: the argument stands
    const int status =
        JexCreateSrq(JexString("acc"), JexString("Subj"), JexString("Body"), &in, &out);
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(JexSraText(out['I']).Text(), "SR-9");
    EXPECT_STREQ(JexSraText(out['H']).Text(), "ACC");
    EXPECT_STREQ(JexSraText(out['A']).Text(), "cli");
    EXPECT_STREQ(JexSraText(out['D']).Text(), "me@site");
    EXPECT_STREQ(JexSraText(out['E']).Text(), "\nBody\n");
    EXPECT_FALSE(out[kTieItemName].Data());  // no error image on success
    const auto& messages = peer_.Record().messages;
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string("D\x6f\x04\x00\x00OS/9", 9));
    JexNetMsg connect;
    connect.Decode(peer_.Record().connect.data(), static_cast<int>(peer_.Record().connect.size()));
    EXPECT_STREQ(JexSraText(connect[kSraItemContact]).Text(), "me@site");
    EXPECT_STREQ(JexSraText(connect[kSraItemAccessNumber]).Text(), "ACC");
}

TEST_F(CreateClient, AdapterWithoutMessagesStillSubmits) {
    SraPeerRow row;
    row.connect = Connect::kReject;
    ASSERT_TRUE(peer_.Serve(row));
    EXPECT_EQ(JexCreateSrq(JexString("a"), JexString("s"), JexString("b"), nullptr, nullptr), 6);
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(peer_.Record().listen, 0);
}

}  // namespace
