// JexSraCreateSrq: the client that submits one new service request to "Jex_Sra".
#include "jexlink/sra/JexSraCreateSrq.h"

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraMail.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSraCreateSrq.cxx";
constexpr const char* kSubmissionFailed = "Problem submission failed";

// Pieces of the signature file: a line, or the first bytes of a longer one.
constexpr int kSignaturePiece = 255;

}  // namespace

JexSraCreateSrq::JexSraCreateSrq(JexSession* session, const char* accessNumber, const char* subject,
                                 const char* body) {
    JexTrace trace(kTraceFile, "JexSraCreateSrq()", __LINE__);
    StartClient(session, "Client/New Sevice Request", &mailContact_);
    accessNumber_ = accessNumber;
    subject_ = subject;

    osInfo_ = "";
    hardwareInfo_ = "";
    softwareInfo_ = "";
    ccAddress_ = "";
    number_ = "";

    text_ = "\n";
    text_ += body;
    text_ += "\n";
    ReadSignature();
}

JexSraCreateSrq::~JexSraCreateSrq() {
    JexTrace trace(kTraceFile, "~JexSraCreateSrq()", __LINE__);
    EndClient();
}

void JexSraCreateSrq::ReadSignature() {
    const JexString path = JexDataFilePath("File.Sra.Signature", "data\\jex_sra_signature.txt");
    std::FILE* file = std::fopen(path.Text(), "re");
    if (!file) return;  // no signature: not an error
    char piece[kSignaturePiece + 1];
    while (std::fgets(piece, sizeof piece, file)) text_ += piece;
    std::fclose(file);
}

int JexSraCreateSrq::Fail(int code, const JexExcArgs& args, JexException* cause,
                          const char* summary) {
    ExcRaise(code, args, cause);
    ExcSet(PROBSUBFAIL, JexExcArgs(summary), this);
    logger_->GetFromException(this);
    if (session_) session_->Disconnect();
    return code;
}

int JexSraCreateSrq::SessionRefused(const char* what) {
    // The session refused an attribute: the request fails with the
    // session's error instead of ending the director's process.
    return Fail(SESSIONERR, JexExcArgs(what), session_, kSubmissionFailed);
}

int JexSraCreateSrq::Create() {
    JexTrace trace(kTraceFile, "Create()", __LINE__);
    if (!session_) {
        ExcRaise(SESSIONERR, JexExcArgs("JexSraCreateSrq::Create() no session"));
        ExcSet(PROBSUBFAIL, JexExcArgs(kSubmissionFailed), this);
        logger_->GetFromException(this);
        return SESSIONERR;
    }
    JexSession& session = *session_;
    accessNumber_.ToUpper();
    JexSraConnectItems items = ConnectItems(kSraKindNew);
    items.accessNumber = accessNumber_;

    JexNetMsg accept;
    const char* refused = nullptr;
    switch (Open(items, accept, refused)) {
        case Opened::kConnected: break;
        case Opened::kSessionRefused: {
            JexString what("JexSraCreateSrq::Create() ");
            what += refused;
            what += " refused";
            return SessionRefused(what.Text());
        }
        case Opened::kUnencodable:
            return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                        nullptr, kSubmissionFailed);
        case Opened::kRejected:
        case Opened::kConnectFailed:
            return Fail(CONNECTFAIL, JexExcArgs("JexSraCreateSrq::Create() Connect failed"),
                        session_, kSubmissionFailed);
    }

    if (accept.Corrupt())
        return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                    nullptr, kSubmissionFailed);
    const uint32_t limit = JexSraSizeLimit(accept);
    const int length = static_cast<int>(std::strlen(text_.Text()));
    if (JexSraOverLimit(length, limit))
        return Fail(BYTELIMITERR,
                    JexExcArgs("JexSraCreateSrq::Create()", length, static_cast<int32_t>(limit)),
                    nullptr, kSubmissionFailed);
    ExcRaise(EVT_REQUEST, JexExcArgs(""));

    if (int failed = SendRequest()) return failed;

    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexNetMsg reply;
    if (!Await(reply) || session.Code() != 0)
        return Fail(GETMSGERR, JexExcArgs("JexSraCreateSrq::Create() GetMsg failed"), session_,
                    "awaiting response");
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    switch (JexSraClassifyReply(reply)) {
        case JexSraReply::kUndecodable:
            return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                        nullptr, kSubmissionFailed);
        case JexSraReply::kSuccess:
            number_ = JexSraText(reply[kSraItemLine]);
            ExcRaise(EVT_SUCCESS_CRE, JexExcArgs("worked ok", number_));
            ExcRaise(EVT_SUCCESS_CRE_MAIL, JexExcArgs("worked ok", mailContact_));
            if (*ccAddress_.Text()) SendConfirmationMail();
            session.Disconnect();
            ExcSet(OK);
            return OK;
        case JexSraReply::kFailure:
            // The server's error becomes the request's, beneath REMOTEFAIL.
            JexTIEUnloadException(reply, *this, 1, 0);
            ExcSet(REMOTEFAIL, JexExcArgs("remote failure"), this);
            ExcSet(PROBSUBFAIL, JexExcArgs(kSubmissionFailed), this);
            logger_->GetFromException(this);
            session.Disconnect();
            return UNKNOWNROUTINGCODE;
        case JexSraReply::kProtocolError: break;
    }
    // The record shows PROTOCOLERR itself, not the summary.
    ExcRaise(PROTOCOLERR, JexExcArgs("JexSraCreateSrq::Create() Protocol error"));
    logger_->GetFromException(this);
    ExcSet(PROBSUBFAIL, JexExcArgs(kSubmissionFailed), this);
    session.Disconnect();
    return PROTOCOLERR;
}

int JexSraCreateSrq::SendOne(const JexNetMsg& message, const char* summary, int flags) {
    switch (Send(message, flags)) {
        case Sent::kSent: return 0;
        case Sent::kUnencodable:
            return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                        nullptr, summary);
        case Sent::kPutFailed: break;
    }
    return Fail(PUTMSGERR, JexExcArgs("JexSraCreateSrq::Create() PutMsg failed"), session_,
                summary);
}

int JexSraCreateSrq::SendRequest() {
    JexNetMsg line;
    const struct {
        int item;
        const JexString& text;
    } headers[] = {
        {kSraItemOsInfo, osInfo_},
        {kSraItemHardwareInfo, hardwareInfo_},
        {kSraItemSoftwareInfo, softwareInfo_},
    };
    for (const auto& header : headers) {
        JexSraBuildHeader(header.item, header.text, line);
        // The request's messages go out together with its end message.
        if (int failed = SendOne(line, kSubmissionFailed, JexSession::kMoreFollows)) return failed;
    }
    JexFieldedString lines('\n');
    JexSraSplitLines(text_, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        JexSraBuildLine(lines[i], line);
        if (int failed = SendOne(line, "body of workunit text", JexSession::kMoreFollows))
            return failed;
    }
    JexNetMsg end;
    JexSraBuildEnd(end);
    return SendOne(end, "end-of-request message");
}

void JexSraCreateSrq::SendConfirmationMail() {
    JexTrace trace(kTraceFile, "SendConfirmationMail()", __LINE__);
    JexString subject = number_;
    subject += " (";
    subject += accessNumber_;
    subject += "): ";
    subject += subject_;
    JexSraSendMail(*this, ccAddress_, subject, text_);
}
