// JexCreateSrq: the create-request adapter behind the director's native entry, and its status and
// error texts.
#include "jexlink/sra/JexCreateSrq.h"

#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/sra/JexSraCreateSrq.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexCreateSrq.cxx";

// An item of the adapter's messages (a letter) and the request attribute
// it is copied to or from.
struct ItemAttribute {
    int item;
    int attribute;
};

// Input items copied into the request, in this order, when not empty.
constexpr ItemAttribute kInputCopies[] = {
    {'H', JexSra::SRQ_ACCESS_NUMBER}, {'B', JexSra::SRQ_SUBJECT},       {'E', JexSra::SRQ_TEXT},
    {'F', JexSra::SRQ_HARDWARE_INFO}, {'J', JexSra::SRQ_SOFTWARE_INFO}, {'G', JexSra::SRQ_OS_INFO},
    {'D', JexSra::SRQ_CONTACT},       {'C', JexSra::SRQ_CC_ADDRESS},
};

// Attributes copied back into the output items, in this order.
constexpr ItemAttribute kOutputCopies[] = {
    {'A', JexSra::SRC_ACID},          {'H', JexSra::SRQ_ACCESS_NUMBER},
    {'I', JexSra::SRQ_NUMBER},        {'B', JexSra::SRQ_SUBJECT},
    {'E', JexSra::SRQ_TEXT},          {'F', JexSra::SRQ_HARDWARE_INFO},
    {'J', JexSra::SRQ_SOFTWARE_INFO}, {'G', JexSra::SRQ_OS_INFO},
    {'D', JexSra::SRQ_CONTACT},       {'C', JexSra::SRQ_CC_ADDRESS},
};

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

int JexCreateSrq(const JexString& accessNumber, const JexString& subject, const JexString& body,
                 JexNetMsg* in, JexNetMsg* out) {
    JexTrace trace(kTraceFile, "JexCreateSrq", __LINE__);
    JexSession session;
    JexSraCreateSrq request(&session, accessNumber.Text(), subject.Text(), body.Text());
    if (in) {
        for (const ItemAttribute& copy : kInputCopies) {
            const JexBuffer& item = (*in)[copy.item];
            // Read-only attributes refuse the copy and keep the constructor's value.
            if (item.Length() > 0) request.SetAttr(copy.attribute, JexSraText(item).Text());
        }
    }
    const int status = JexConvertSraStatusToSrqStatus(request.Create());
    if (!out) return status;
    if (status != kSrqAccepted) JexTIELoadException(request, *out);
    JexString text("", 1);
    for (const ItemAttribute& copy : kOutputCopies) {
        request.GetAttr(copy.attribute, text);
        JexSraSetText((*out)[copy.item], text);
    }
    return status;
}
