// JexSraAugmentSrq: the client that adds text to an existing service request at "Jex_Sra".
#include "jexlink/sra/JexSraAugmentSrq.h"

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
    StartClient(session, "Client/Augment Sevice Request");
    number_ = number;
    subject_ = subject;
    text_ = text;
    ccAddress_ = "";
}

JexSraAugmentSrq::~JexSraAugmentSrq() {
    JexTrace trace(kTraceFile, "~JexSraAugmentSrq()", __LINE__);
    EndClient();
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
    number_.ToUpper();
    JexSraConnectItems items = ConnectItems(kSraKindAugment);
    items.requestNumber = number_;

    JexNetMsg accept;
    const char* refused = nullptr;
    switch (Open(items, accept, refused)) {
        case Opened::kConnected: break;
        case Opened::kSessionRefused:
            ExcRaise(SESSIONERR,
                     JexExcArgs("JexSraAugmentSrq::Augment() session attribute refused", refused),
                     session_);
            return Fail(SESSIONERR, true, nullptr, Disconnect::kNever);
        case Opened::kUnencodable:
            ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
            return Fail(CONVERSIONERR, false, nullptr, Disconnect::kNever);
        case Opened::kRejected:
            // The server's error from the reject data; there is no
            // connection to end.
            return Fail(ACCESSFAIL, false, &accept, Disconnect::kNever);
        case Opened::kConnectFailed:
            ExcRaise(CONNECTFAIL, JexExcArgs("JexSraAugSrq::() Connect failed"), session_);
            return Fail(CONNECTFAIL, true, nullptr, Disconnect::kAfterRecord);
    }

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
        switch (Send(msg)) {
            case Sent::kSent: return 0;
            case Sent::kUnencodable:
                ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
                return Fail(CONVERSIONERR, false, &accept, Disconnect::kAfterRecord);
            case Sent::kPutFailed: break;
        }
        ExcRaise(PUTMSGERR, JexExcArgs(kPutMsgFailed), session_);
        return Fail(PUTMSGERR, false, &accept, Disconnect::kAfterRecord);
    };
    JexNetMsg line;
    JexFieldedString lines('\n');
    JexSraSplitLines(text_, lines);
    for (int i = 0; i < lines.Count(); ++i) {
        JexSraBuildLine(lines[i], line);
        if (int failed = send(line)) return failed;
    }
    JexNetMsg end;
    JexSraBuildEnd(end);
    if (int failed = send(end)) return failed;

    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexNetMsg reply;
    if (!Await(reply)) {
        ExcRaise(GETMSGERR, JexExcArgs("JexSraAugmentSrq::Augment() GetMsg failed"), session_);
        return Fail(GETMSGERR, false, &reply, Disconnect::kAfterRecord);
    }
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    switch (JexSraClassifyReply(reply)) {
        case JexSraReply::kUndecodable:
            ExcRaise(CONVERSIONERR, JexExcArgs(kConversionError));
            return Fail(CONVERSIONERR, false, &reply, Disconnect::kAfterRecord);
        case JexSraReply::kSuccess:
            if (ccAddress_.Compare("") != 0) {
                JexString subject("+");
                subject += number_;
                subject += ": ";
                subject += subject_;
                JexSraSendMail(*this, ccAddress_, subject, text_);
            }
            session_->Disconnect();
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
