// JexCreateSrq: the create-request adapter behind the director's native entry, and its status and
// error texts.
#include "jexlink/sra/JexCreateSrq.h"

#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/sra/JexSra.h"

namespace {
constexpr const char* kTraceFile = "R:\\JexCreateSrq.cxx";
}  // namespace

int JexConvertSraStatusToSrqStatus(int status) {
    JexTrace trace(kTraceFile, "JexConvertSraStatusToSrqStatus", __LINE__);
    switch (status) {
        case JexSra::OK: return kSrqAccepted;
        case JexSra::BYTELIMITERR: return kSrqOtherFailure;
        case JexSra::CONNECTFAIL:
        case JexSra::CONVERSIONERR:
        case JexSra::GETMSGERR:
        case JexSra::PROTOCOLERR:
        case JexSra::PUTMSGERR:
        case JexSra::UNKNOWNROUTINGCODE: return kSrqCommunicationFailure;
        case JexSra::EVT_CONNHOST:
        case JexSra::EVT_CONNESTAB:
        case JexSra::EVT_REQUEST:
        case JexSra::EVT_WAITING:
        case JexSra::EVT_RESPONSE:
        case JexSra::EVT_SUCCESS_CRE: return kSrqAccepted;
        default: trace.Ckpt(__LINE__, "Error - reached default case."); return kSrqOtherFailure;
    }
}

JexString JexFormatErrorMsg(const JexNetMsg& msg) {
    JexTrace trace(kTraceFile, "JexFormatErrorMsg", __LINE__);
    JexSra holder;
    JexString text("", 1);
    if (JexTIEUnloadException(msg, holder, 0, 0) == 1)
        holder.Describe(text, 1);
    else
        text = "Error unloading exception.";
    text.SetCaseSensitive(1);
    return text;
}
