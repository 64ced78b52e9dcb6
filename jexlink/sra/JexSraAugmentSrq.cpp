// JexSraAugmentSrq: the client that adds text to an existing service request at "Jex_Sra".
#include "jexlink/sra/JexSraAugmentSrq.h"

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraMail.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSra.cxx";
constexpr const char* kAugmentFailed = "Problem augmentation failed";
constexpr const char* kConversionError = "JexSraAugmentSrq::Augment() Conversion error";
constexpr const char* kPutMsgFailed = "JexSraAugmentSrq::Augment() PutMsg failed";

}  // namespace

JexSraAugmentSrq::JexSraAugmentSrq(JexSession* session, const char* number, const char* subject,
                                   const char* text) {
    JexTrace trace(kTraceFile, "JexSraAugmentSrq()", __LINE__);
    SetSuppress(1);
    if (session) session->SetSuppress(1);
    logger_ = JexSraStartRecord(session, "Client/Augment Sevice Request");

    const JexString contact = JexSraDefaultContact();
    JexConfig config;
    JexSraTakeSetting(config, "Local.Domain", src_acid_);
    JexSraTakeSetting(config, "Remote.Domain", dst_acid_);
    JexSraTakeSetting(config, "Remote.Node", dst_node_);
    JexSraTakeSetting(config, "Local.Node", src_node_);
    reply_timeout_ = JexSraReplyTimeout(config);
    contact_ = contact;

    number_ = number;
    subject_ = subject;
    text_ = text;
    session_ = session;
    cc_address_ = "";
}

JexSraAugmentSrq::~JexSraAugmentSrq() {
    JexTrace trace(kTraceFile, "~JexSraAugmentSrq()", __LINE__);
    delete logger_;
    logger_ = nullptr;
}

int JexSraAugmentSrq::Fail(int status, bool stack, const JexNetMsg* carrier,
                           Disconnect disconnect) {
    ExcSet(PROBAUGFAIL, JexExcArgs(kAugmentFailed), stack ? this : nullptr);
    // Mode 1 hangs the carried error beneath PROBAUGFAIL; a message that
    // carries none leaves the request as it is.
    if (carrier) JexTIEUnloadException(*carrier, *this, 1, 1);
    if (disconnect == Disconnect::kBeforeRecord) session_->Disconnect();
    logger_->GetFromException(this);
    if (disconnect == Disconnect::kAfterRecord) session_->Disconnect();
    return status;
}

int JexSraAugmentSrq::Augment() {
    JexTrace trace(kTraceFile, "Augment()", __LINE__);
    if (!session_) {
        ExcRaise(SESSIONERR, JexExcArgs("JexSraAugmentSrq::Augment() no session"));
        return Fail(SESSIONERR, true, nullptr, Disconnect::kNever);
    }
    JexSession& session = *session_;
    JexNetMsg connect;
    JexNetMsg line;
    JexNetMsg end;
    JexNetMsg accept;
    JexBuffer accepted;
    JexBuffer wire;

    number_.ToUpper();
    JexSraConnectItems items;
    items.kind = kSraKindAugment;
    items.contact = contact_;
    items.request_number = number_;
    items.subject = subject_;
    items.numeric = numeric_;
    JexSraBuildConnect(items, connect);

    // A refused attribute fails the request; it never ends the process.
    if (const char* refused = JexSraPrepareSession(session, src_acid_, src_node_, reply_timeout_)) {
        ExcRaise(SESSIONERR,
                 JexExcArgs("JexSraAugmentSrq::Augment() session attribute refused", refused),
                 session_);
        return Fail(SESSIONERR, true, nullptr, Disconnect::kNever);
    }

    ExcRaise(EVT_CONNHOST, JexExcArgs("", dst_acid_, dst_node_, kSraApplication));
    if (connect.Encode(wire) != JexNetMsg::kEncoded) {
        ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
        return Fail(CONVERSIONERR, false, nullptr, Disconnect::kNever);
    }
    const int connected =
        session.Connect(kSraApplication, dst_acid_.Text(), dst_node_.Text(), wire, accepted);
    accept.Decode(accepted);
    if (connected == JexSession::REJECT) {
        // The server's error from the reject data; there is no connection
        // to end.
        return Fail(ACCESSFAIL, false, &accept, Disconnect::kNever);
    }
    if (connected != 0) {
        ExcRaise(CONNECTFAIL, JexExcArgs("JexSraAugSrq::() Connect failed"), session_);
        return Fail(CONNECTFAIL, true, nullptr, Disconnect::kAfterRecord);
    }
    JexSraBoundWaits(session, reply_timeout_);
    ExcRaise(EVT_CONNESTAB, JexExcArgs(""));

    if (accept.Corrupt()) {
        ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
        return Fail(CONVERSIONERR, false, &accept, Disconnect::kAfterRecord);
    }
    const uint32_t limit = JexSraSizeLimit(accept);
    const int32_t length = text_.Length();
    if (JexSraOverLimit(length, limit)) {
        ExcRaise(BYTELIMITERR,
                 JexExcArgs("JexSraAugmentSrq::Augment()", length, static_cast<int32_t>(limit)),
                 session_);
        return Fail(BYTELIMITERR, false, &accept, Disconnect::kBeforeRecord);
    }
    ExcRaise(EVT_REQUEST, JexExcArgs(""));

    // Sends one message: 0, or the failure's status.
    auto send = [&](const JexNetMsg& msg) {
        if (msg.Encode(wire) != JexNetMsg::kEncoded) {
            ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
            return Fail(CONVERSIONERR, false, &accept, Disconnect::kAfterRecord);
        }
        if (session.PutMsg(wire, 0) != 0) {
            ExcRaise(PUTMSGERR, JexExcArgs(kPutMsgFailed), session_);
            return Fail(PUTMSGERR, false, &accept, Disconnect::kAfterRecord);
        }
        return 0;
    };
    JexFieldedString lines('\n');
    JexSraSplitLines(text_, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        JexSraBuildLine(lines[i], line);
        if (int failed = send(line)) return failed;
    }
    JexSraBuildEnd(end);
    if (int failed = send(end)) return failed;

    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexNetMsg reply;
    JexBuffer answer;
    const int received = session.GetMsg(answer, 0);
    reply.Decode(answer);
    if (received != 0) {
        ExcRaise(GETMSGERR, JexExcArgs("JexSraAugmentSrq::Augment() GetMsg failed"), session_);
        return Fail(GETMSGERR, false, &reply, Disconnect::kAfterRecord);
    }
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    switch (JexSraClassifyReply(reply)) {
        case JexSraReply::kUndecodable:
            ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
            return Fail(CONVERSIONERR, false, &reply, Disconnect::kAfterRecord);
        case JexSraReply::kSuccess:
            if (cc_address_.Compare("") != 0) {
                JexString subject("+");
                subject += number_;
                subject += ": ";
                subject += subject_;
                JexSraSendMail(*this, cc_address_, subject, text_);
            }
            session.Disconnect();
            ExcRaise(EVT_SUCCESS_AUG, JexExcArgs("worked OK", number_));
            ExcSet(OK);
            return OK;
        case JexSraReply::kFailure:
            return Fail(PROBAUGFAIL, false, &reply, Disconnect::kAfterRecord);
        case JexSraReply::kProtocolError: break;
    }
    ExcRaise(PROTOCOLERR, JexExcArgs("JexSraAugmentSrq::Augment() Protocol error"));
    return Fail(PROTOCOLERR, true, nullptr, Disconnect::kAfterRecord);
}
