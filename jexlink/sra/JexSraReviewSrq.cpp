// JexSraReviewSrq: the client that reads back the work units of a service request from "Jex_Sra".
#include "jexlink/sra/JexSraReviewSrq.h"

#include <string>

#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSra.cxx";
constexpr const char* kReviewFailed = "Reviewing of service request failed";

}  // namespace

JexSraReviewSrq::JexSraReviewSrq() {
    JexTrace trace(kTraceFile, "JexSraReviewSrq(1)", __LINE__);
    SetSuppress(1);
}

JexSraReviewSrq::JexSraReviewSrq(JexSession* session, const char* number) {
    JexTrace trace(kTraceFile, "JexSraReviewSrq()", __LINE__);
    StartClient(session, "Client/Review Sevice Request");
    number_ = number;
    subject_ = "";
}

JexSraReviewSrq::~JexSraReviewSrq() {
    JexTrace trace(kTraceFile, "~JexSraReviewSrq()", __LINE__);
    EndClient();
}

int JexSraReviewSrq::Record() {
    if (logger_) logger_->GetFromException(this);
    return Code();
}

int JexSraReviewSrq::GetWorkUnitCount() {
    JexTrace trace(kTraceFile, "GetWorkUnitCount()", __LINE__);
    if (complete_) {
        ExcSet(OK);
        return OK;
    }
    if (connected_) {
        // The count is known: a second connect would end the connection
        // that the reviews use.
        if (count_ > 0) return ExcSet(OK);
        return ExcSet(NOWUS);
    }
    if (!session_) {
        ExcRaise(SESSIONERR, JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() no session"));
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
        Record();
        return SESSIONERR;
    }
    JexSraConnectItems items = ConnectItems(kSraKindReview);
    items.requestNumber = number_;

    JexNetMsg answer;
    const char* refused = nullptr;
    switch (Open(items, answer, refused)) {
        case Opened::kConnected:
            connected_ = 1;
            count_ = JexSraWorkUnitCount(answer);
            // A count below 1 (none, or a server's nonsense) leaves nothing to view.
            if (count_ < 1) {
                ExcRaise(REVIEWFAIL);
                ExcSet(NOWUS);
                return NOWUS;
            }
            ExcSet(OK);
            return OK;
        case Opened::kSessionRefused:
            ExcRaise(SESSIONERR,
                     JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() session attribute refused",
                                refused),
                     session_);
            ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
            Record();
            return SESSIONERR;
        case Opened::kUnencodable:
            ExcRaise(CONVERSIONERR,
                     JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() Conversion error"));
            ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
            Record();
            return CONVERSIONERR;
        case Opened::kRejected:
            ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed));
            // The server's error hangs beneath REVIEWFAIL.
            JexTIEUnloadException(answer, *this, 1, 1);
            Record();
            return ACCESSFAIL;
        case Opened::kConnectFailed: break;
    }
    ExcRaise(CONNECTFAIL, JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() Connect failed"),
             session_);
    ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
    Record();
    session_->Disconnect();
    return CONNECTFAIL;
}

int JexSraReviewSrq::ReviewFail(int status, const char* summary, bool record, bool notice,
                                JexString& text) {
    ExcSet(REVIEWFAIL, JexExcArgs(summary), this);
    if (record) Record();
    if (notice) JexSraSendFailureNotice(*session_, *this);
    session_->Disconnect();
    text = "";
    return status;
}

int JexSraReviewSrq::Review(int32_t unit, JexString& text) {
    JexTrace trace(kTraceFile, "Review()", __LINE__);
    if (!connected_) {
        GetWorkUnitCount();
        if (Code() != 0) return Record();
    }
    if (unit < 1 || unit > count_) {
        ExcRaise(WORKUNITNOTEXIST, JexExcArgs("range check", unit));
        return WORKUNITNOTEXIST;
    }
    if (const auto cached = cache_.find(unit); cached != cache_.end()) {
        text = cached->second;
        text.SetCaseSensitive(cached->second.CaseSensitive());
        return OK;
    }
    ExcRaise(EVT_REQUEST, JexExcArgs(""));

    JexNetMsg query(kSraQuery);
    JexSraSetText(query[kSraItemWorkUnit], JexString(std::to_string(unit).c_str()));
    if (Send(query) != Sent::kSent) {
        ExcRaise(PUTMSGERR, JexExcArgs("send of request for workunit"), session_);
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
        Record();
        session_->Disconnect();
        return PUTMSGERR;
    }

    text = "";
    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexNetMsg incoming;
    switch (ReceiveLines(text, incoming)) {
        case Lines::kEnd: break;
        case Lines::kLost:
            // The connection ended inside the work unit: what arrived is not
            // the work unit, and nothing of it is kept.
            ExcRaise(GETMSGERR, JexExcArgs("JexSraReviewSrq::Review() GetMsg failed"), session_);
            return ReviewFail(GETMSGERR, kReviewFailed, true, false, text);
        case Lines::kCorrupt:
            ExcRaise(CONVERSIONERR, JexExcArgs("JexSraReviewSrq::Review() Conversion error"));
            return ReviewFail(CONVERSIONERR, kReviewFailed, true, true, text);
        case Lines::kOther:
            // The server's error (from a failure reply) becomes the
            // request's, beneath REMOTEFAIL.
            JexTIEUnloadException(incoming, *this, 1, 0);
            ExcSet(REMOTEFAIL, JexExcArgs("remote failure"), this);
            return ReviewFail(PROTOCOLERR, kReviewFailed, true, true, text);
    }
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    if (text.Length() == 0) {
        ExcRaise(INVALIDSRQID, JexExcArgs("", JexSraText(incoming[kSraItemRequestNumber])));
        return ReviewFail(INVALIDSRQID, "Reviewing of sevice request failed", true, true, text);
    }
    JexString& slot = cache_[unit];
    slot = text;
    slot.SetCaseSensitive(text.CaseSensitive());
    ExcRaise(EVT_SUCCESS_REV, JexExcArgs("worked OK", number_, unit));
    if (static_cast<int64_t>(cache_.size()) == count_) {
        session_->Disconnect();
        complete_ = 1;
        connected_ = 0;
    }
    ExcRaise(EVT_SUCCESS_REVOK, JexExcArgs("worked OK", number_, unit));
    ExcSet(OK);
    return OK;
}

int JexSraReviewSrq::CountAttribute(int32_t& out) {
    if (GetWorkUnitCount() != 0) {
        Record();
        JexNetMsg refusal(kSraReject);
        JexTIELoadException(*this, refusal);
        JexBuffer wire;
        if (session_ && refusal.Encode(wire) == JexNetMsg::kEncoded) session_->Reject(wire);
        return FAILURE;
    }
    out = count_;
    return OK;
}
