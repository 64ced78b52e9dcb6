// JexSraCreateSrq: the client that submits one new service request to "Jex_Sra".
#include "jexlink/sra/JexSraCreateSrq.h"

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraMail.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/transport/JexGateway.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSraCreateSrq.cxx";
constexpr const char* kSubmissionFailed = "Problem submission failed";

// Pieces of the signature file: a line, or the first bytes of a longer one.
constexpr int kSignaturePiece = 255;

// A setting's text with its case flag.
void TakeSetting(JexConfig& config, const char* name, JexString& field) {
    const JexString& value = config.Value(name, "");
    field = value;
    field.SetCaseSensitive(value.CaseSensitive());
}

}  // namespace

JexSraCreateSrq::JexSraCreateSrq(JexSession* session, const char* accessNumber, const char* subject,
                                 const char* body) {
    JexTrace trace(kTraceFile, "JexSraCreateSrq()", __LINE__);
    session_ = session;
    SetSuppress(1);
    if (session_) session_->SetSuppress(1);

    logger_ = new JexLogger;
    if (session_) logger_->GetFromSession(*session_);
    JexLogger& log = *logger_;
    log["Record-Type"] = "Metric";
    log["Current-Role"] = "Client/New Sevice Request";
    log["Application"] = kSraApplication;
    log["Description"] = "Connecting JexSra Server";
    log["Exit-Status"] = "SUCCESSFUL";

    // The default contact: user@computer, the computer name up to its first '.'.
    JexPlatform platform;
    JexString computer = platform.Field(1);
    const int dot = computer.FindChar('.');
    if (dot >= 0) computer = computer.Left(dot);
    contact_ = JexGetUserName() + "@" + computer;

    JexConfig config;
    TakeSetting(config, "Local.Domain", src_acid_);
    TakeSetting(config, "Remote.Domain", dst_acid_);
    TakeSetting(config, "Remote.Node", dst_node_);
    TakeSetting(config, "Local.Node", src_node_);
    TakeSetting(config, "Contact.EMailAddr", mail_contact_);
    const int timeout = config.Value("SRA.ReplyTimeout", kDefaultReplyTimeout);
    reply_timeout_ = timeout > 0 ? timeout : kDefaultReplyTimeout;
    access_number_ = accessNumber;
    subject_ = subject;

    os_info_ = "";
    hardware_info_ = "";
    software_info_ = "";
    cc_address_ = "";
    number_ = "";

    text_ = "\n";
    text_ += body;
    text_ += "\n";
    ReadSignature();
}

JexSraCreateSrq::~JexSraCreateSrq() {
    JexTrace trace(kTraceFile, "~JexSraCreateSrq()", __LINE__);
    delete logger_;
    logger_ = nullptr;
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
    JexNetMsg connect;
    JexNetMsg line;
    JexNetMsg end;
    JexBuffer accepted;
    JexBuffer wire;

    access_number_.ToUpper();
    JexSraConnectItems items;
    items.kind = kSraKindNew;
    items.contact = contact_;
    items.access_number = access_number_;
    items.subject = subject_;
    items.numeric = numeric_;
    JexSraBuildConnect(items, connect);

    session.SetAttr(JexSession::SRC_ACID, src_acid_.Text());
    if (session.Code() != 0) return SessionRefused("JexSraCreateSrq::Create() SRC_ACID refused");
    session.SetAttr(JexSession::SRC_NODE, src_node_.Text());
    if (session.Code() != 0) return SessionRefused("JexSraCreateSrq::Create() SRC_NODE refused");
    const JexString routeMap = JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat");
    session.SetAttr(JexSession::ROUTE_MAP, routeMap.Text());
    if (session.Code() != 0) return SessionRefused("JexSraCreateSrq::Create() ROUTE_MAP refused");

    // The handshake's waits and the reply's are bounded (see the header).
    session.SetAttr(JexSession::READ_TIMEOUT, reply_timeout_);
    ExcRaise(EVT_CONNHOST, JexExcArgs("", dst_acid_, dst_node_, kSraApplication));
    if (connect.Encode(wire) != JexNetMsg::kEncoded)
        return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                    nullptr, kSubmissionFailed);
    session.Connect(kSraApplication, dst_acid_.Text(), dst_node_.Text(), wire, accepted);
    if (session.Code() != 0)
        return Fail(CONNECTFAIL, JexExcArgs("JexSraCreateSrq::Create() Connect failed"), session_,
                    kSubmissionFailed);
    ExcRaise(EVT_CONNESTAB, JexExcArgs(""));

    JexNetMsg accept;
    accept.Decode(accepted);
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

    // Sends one message; the summary names what was being sent.
    auto send = [&](const JexNetMsg& msg, const char* summary) {
        if (msg.Encode(wire) != JexNetMsg::kEncoded)
            return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                        nullptr, summary);
        if (session.PutMsg(wire, 0) != 0)
            return Fail(PUTMSGERR, JexExcArgs("JexSraCreateSrq::Create() PutMsg failed"), session_,
                        summary);
        return 0;
    };
    const struct {
        int item;
        const JexString& text;
    } headers[] = {
        {kSraItemOsInfo, os_info_},
        {kSraItemHardwareInfo, hardware_info_},
        {kSraItemSoftwareInfo, software_info_},
    };
    for (const auto& header : headers) {
        JexSraBuildHeader(header.item, header.text, line);
        if (int failed = send(line, kSubmissionFailed)) return failed;
    }
    JexFieldedString lines('\n');
    JexSraSplitLines(text_, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        JexSraBuildLine(lines[i], line);
        if (int failed = send(line, "body of workunit text")) return failed;
    }
    JexSraBuildEnd(end);
    if (int failed = send(end, "end-of-request message")) return failed;

    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexBuffer answer;
    session.Gateway().SetReadTimeout(reply_timeout_);
    if (session.GetMsg(answer, 0) != 0 || session.Code() != 0)
        return Fail(GETMSGERR, JexExcArgs("JexSraCreateSrq::Create() GetMsg failed"), session_,
                    "awaiting response");
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    JexNetMsg reply;
    reply.Decode(answer);
    switch (JexSraClassifyReply(reply)) {
        case JexSraReply::kUndecodable:
            return Fail(CONVERSIONERR, JexExcArgs("JexSraCreateSrq::Create() Conversion error"),
                        nullptr, kSubmissionFailed);
        case JexSraReply::kSuccess:
            number_ = JexSraText(reply[kSraItemLine]);
            ExcRaise(EVT_SUCCESS_CRE, JexExcArgs("worked ok", number_));
            ExcRaise(EVT_SUCCESS_CRE_MAIL, JexExcArgs("worked ok", mail_contact_));
            if (*cc_address_.Text()) SendConfirmationMail();
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

void JexSraCreateSrq::SendConfirmationMail() {
    JexTrace trace(kTraceFile, "SendConfirmationMail()", __LINE__);
    JexString subject = number_;
    subject += " (";
    subject += access_number_;
    subject += "): ";
    subject += subject_;
    JexSraSendMail(*this, cc_address_, subject, text_);
}
