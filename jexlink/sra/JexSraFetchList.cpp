// JexSraFetchList: the client that fetches one of the lists of "Jex_Sra".
#include "jexlink/sra/JexSraFetchList.h"

#include <ctime>
#include <string>

#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexStrToTime.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSra.cxx";
constexpr const char* kFetchFailed = "Fetching of Workunits failed";

// A date of the caller in the formatter's form; false when the parser
// refuses it. The parser keeps no state between calls, so concurrent
// clients need no lock.
bool Reformat(const JexString& date, JexString& out) {
    time_t when = -1;
    if (!JexStrToTimeParse(date.Text(), &when, nullptr)) return false;
    out = JexFormatTime(&when);
    return true;
}

}  // namespace

JexSraFetchList::JexSraFetchList(JexSession* session, int listType) : listType_(listType) {
    JexTrace trace(kTraceFile, "JexSraFetchList()", __LINE__);
    StartClient(session, "Client/Fetch Sevice Request");
    subject_ = "";
    since_ = "";
    before_ = "";
    listText_ = std::to_string(listType).c_str();
}

JexSraFetchList::~JexSraFetchList() {
    JexTrace trace(kTraceFile, "~JexSraFetchList()", __LINE__);
    EndClient();
}

int JexSraFetchList::Fail(int status, bool notice, JexString& list) {
    ExcSet(FETCHFAIL, JexExcArgs(kFetchFailed), this);
    logger_->GetFromException(this);
    if (notice) JexSraSendFailureNotice(*session_, *this);
    list = "";
    session_->Disconnect();
    return status;
}

int JexSraFetchList::Fetch(JexString& list) {
    JexTrace trace(kTraceFile, "Fetch()", __LINE__);
    JexSraConnectItems items = ConnectItems(kSraKindListFetch);
    items.listType = listType_;

    // The dates first: a bad one is refused before the session is touched,
    // the before date ahead of the since date.
    const struct {
        const JexString& date;
        JexString& item;
    } dates[] = {{before_, items.before}, {since_, items.since}};
    for (const auto& d : dates) {
        if (d.date.Length() == 0 || Reformat(d.date, d.item)) continue;
        ExcRaise(INVALIDDATE, JexExcArgs("JexSraFetchList::Fetch() Date Conversion error"));
        ExcSet(FETCHFAIL, JexExcArgs(kFetchFailed), this);
        (*logger_)["Description"] = "Error converting date";
        (*logger_)["Exit-Status"] = "FAILURE";
        return INVALIDDATE;
    }

    if (!session_) {
        ExcRaise(SESSIONERR, JexExcArgs("JexSraFetchList::Fetch() no session"));
        ExcSet(FETCHFAIL, JexExcArgs(kFetchFailed), this);
        logger_->GetFromException(this);
        return SESSIONERR;
    }
    JexNetMsg accept;
    const char* refused = nullptr;
    const Opened opened = Open(items, accept, refused);
    if (opened == Opened::kSessionRefused) {
        ExcRaise(SESSIONERR,
                 JexExcArgs("JexSraFetchList::Fetch() session attribute refused", refused),
                 session_);
        ExcSet(FETCHFAIL, JexExcArgs(kFetchFailed), this);
        logger_->GetFromException(this);
        return SESSIONERR;
    }
    if (opened != Opened::kConnected) {
        const bool encoded = opened != Opened::kUnencodable;
        if (encoded)
            ExcRaise(CONNECTFAIL, JexExcArgs("JexSraFetchList::Fetch() Connect error"), session_);
        else
            ExcRaise(CONVERSIONERR, JexExcArgs("JexSraFetchList::Fetch() Conversion error"));
        // The record shows the connect failure itself, not the summary.
        logger_->GetFromException(this);
        ExcSet(FETCHFAIL, JexExcArgs(kFetchFailed), this);
        session_->Disconnect();
        return encoded ? CONNECTFAIL : CONVERSIONERR;
    }
    list = "";
    ExcRaise(EVT_WAITING, JexExcArgs(""));

    JexNetMsg incoming;
    switch (ReceiveLines(list, incoming)) {
        case Lines::kEnd: break;
        case Lines::kLost:
            // Only the end message ends a list: a connection that ends
            // before it leaves the list incomplete.
            ExcRaise(GETMSGERR, JexExcArgs("JexSraFetchList::Fetch() GetMsg failed"), session_);
            return Fail(GETMSGERR, false, list);
        case Lines::kCorrupt:
            ExcRaise(CONVERSIONERR, JexExcArgs("JexSraFetchList::Fetch() Conversion error"));
            return Fail(CONVERSIONERR, true, list);
        case Lines::kOther:
            if (incoming.Type() == kSraFailure) {
                ExcRaise(LISTFETCHFAIL, JexExcArgs("JexSraFetchList::Fetch() Fetch failed"));
                // The server's error, beneath REMOTEFAIL.
                JexTIEUnloadException(incoming, *this, 1, 0);
                ExcSet(REMOTEFAIL, JexExcArgs("remote failure"), this);
                return Fail(LISTFETCHFAIL, true, list);
            }
            ExcRaise(PROTOCOLERR, JexExcArgs("JexFetchSrqList::FetchSrqList() Protocol error"));
            return Fail(PROTOCOLERR, false, list);
    }
    ExcRaise(EVT_RESPONSE, JexExcArgs(""));

    if (list.Length() == 0) {
        ExcRaise(INVALIDDATE, JexExcArgs("JexSraFetchList::Fetch() Invalid since/before date"));
        return Fail(INVALIDDATE, true, list);
    }
    session_->Disconnect();
    ExcRaise(EVT_SUCCESS_FET, JexExcArgs(""));
    ExcSet(OK);
    return OK;
}
