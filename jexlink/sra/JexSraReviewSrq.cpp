// JexSraReviewSrq: the client that reads back the work units of a service request from "Jex_Sra".
#include "jexlink/sra/JexSraReviewSrq.h"

#include <string>

#include "jexlink/core/JexConfig.h"
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
    SetSuppress(1);
    if (session) session->SetSuppress(1);
    logger_ = JexSraStartRecord(session, "Client/Review Sevice Request");

    contact_ = JexSraDefaultContact();
    JexConfig config;
    JexSraTakeSetting(config, "Local.Domain", src_acid_);
    JexSraTakeSetting(config, "Remote.Domain", dst_acid_);
    JexSraTakeSetting(config, "Remote.Node", dst_node_);
    JexSraTakeSetting(config, "Local.Node", src_node_);
    reply_timeout_ = JexSraReplyTimeout(config);

    cache_ = new std::map<int32_t, JexString>;
    number_ = number;
    subject_ = "";
    session_ = session;
}

JexSraReviewSrq::~JexSraReviewSrq() {
    JexTrace trace(kTraceFile, "~JexSraReviewSrq()", __LINE__);
    delete logger_;
    logger_ = nullptr;
    delete cache_;
    cache_ = nullptr;
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
    JexSession& session = *session_;

    JexNetMsg connect;
    JexSraConnectItems items;
    items.kind = kSraKindReview;
    items.subject = subject_;
    items.numeric = numeric_;
    items.request_number = number_;
    items.contact = contact_;
    JexSraBuildConnect(items, connect);

    // A refused attribute fails the request; it never ends the process.
    if (const char* refused = JexSraPrepareSession(session, src_acid_, src_node_, reply_timeout_)) {
        ExcRaise(
            SESSIONERR,
            JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() session attribute refused", refused),
            session_);
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
        Record();
        return SESSIONERR;
    }

    ExcRaise(EVT_CONNHOST, JexExcArgs("", dst_acid_, dst_node_, kSraApplication));
    JexBuffer wire;
    JexBuffer answer;
    if (connect.Encode(wire) != JexNetMsg::kEncoded) {
        ExcRaise(CONVERSIONERR, JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() Conversion error"));
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
        Record();
        return CONVERSIONERR;
    }
    const int connected =
        session.Connect(kSraApplication, dst_acid_.Text(), dst_node_.Text(), wire, answer);
    if (connected == 0) {
        connected_ = 1;
        JexSraBoundWaits(session, reply_timeout_);
        ExcRaise(EVT_CONNESTAB, JexExcArgs(""));
        JexNetMsg accept;
        accept.Decode(answer);
        count_ = JexSraWorkUnitCount(accept);
        // A count below 1 (none, or a server's nonsense) leaves nothing to view.
        if (count_ < 1) {
            ExcRaise(REVIEWFAIL);
            ExcSet(NOWUS);
            return NOWUS;
        }
        ExcSet(OK);
        return OK;
    }
    if (connected == JexSession::REJECT) {
        JexNetMsg rejected;
        rejected.Decode(answer);
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed));
        // The server's error hangs beneath REVIEWFAIL.
        JexTIEUnloadException(rejected, *this, 1, 1);
        Record();
        return ACCESSFAIL;
    }
    ExcRaise(CONNECTFAIL, JexExcArgs("JexSraReviewSrq::GetWorkUnitCount() Connect failed"),
             session_);
    ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
    Record();
    session.Disconnect();
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
    if (const auto cached = cache_->find(unit); cached != cache_->end()) {
        text = cached->second;
        text.SetCaseSensitive(cached->second.CaseSensitive());
        return OK;
    }
    JexSession& session = *session_;
    ExcRaise(EVT_REQUEST, JexExcArgs(""));

    JexNetMsg query(kSraQuery);
    JexSraSetText(query[kSraItemWorkUnit], JexString(std::to_string(unit).c_str()));
    JexBuffer wire;
    if (query.Encode(wire) != JexNetMsg::kEncoded || session.PutMsg(wire, 0) != 0) {
        ExcRaise(PUTMSGERR, JexExcArgs("send of request for workunit"), session_);
        ExcSet(REVIEWFAIL, JexExcArgs(kReviewFailed), this);
        Record();
        session.Disconnect();
        return PUTMSGERR;
    }

    text = "";
    ExcRaise(EVT_WAITING, JexExcArgs(""));
    JexNetMsg incoming;
    for (;;) {
        JexBuffer buffer;
        if (session.GetMsg(buffer, 0) != 0) {
            // The connection ended inside the work unit: what arrived is not
            // the work unit, and nothing of it is kept.
            ExcRaise(GETMSGERR, JexExcArgs("JexSraReviewSrq::Review() GetMsg failed"), session_);
            return ReviewFail(GETMSGERR, kReviewFailed, true, false, text);
        }
        incoming.Decode(buffer);
        if (incoming.Corrupt()) {
            ExcRaise(CONVERSIONERR, JexExcArgs("JexSraReviewSrq::Review() Conversion error"));
            return ReviewFail(CONVERSIONERR, kReviewFailed, true, true, text);
        }
        if (incoming.Type() == kSraEnd) break;
        if (incoming.Type() == kSraData) {
            JexSraAppendLine(incoming, text);
            continue;
        }
        // The server's error (from a failure reply) becomes the request's,
        // beneath REMOTEFAIL.
        JexTIEUnloadException(incoming, *this, 1, 0);
        ExcSet(REMOTEFAIL, JexExcArgs("remote failure"), this);
        return ReviewFail(PROTOCOLERR, kReviewFailed, true, true, text);
    }
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    if (text.Length() == 0) {
        ExcRaise(INVALIDSRQID, JexExcArgs("", JexSraText(incoming[kSraItemRequestNumber])));
        return ReviewFail(INVALIDSRQID, "Reviewing of sevice request failed", true, true, text);
    }
    JexString& slot = (*cache_)[unit];
    slot = text;
    slot.SetCaseSensitive(text.CaseSensitive());
    ExcRaise(EVT_SUCCESS_REV, JexExcArgs("worked OK", number_, unit));
    if (static_cast<int64_t>(cache_->size()) == count_) {
        session.Disconnect();
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
