// JexSra: base of the service-request objects: status and event table, request attributes.
#include "jexlink/sra/JexSra.h"

#include "jexlink/core/JexTrace.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraReviewSrq.h"

namespace {
constexpr const char* kTraceFile = "R:\\JexSra.cxx";
}  // namespace

#define JEX_TEXT_CLASS JexSra
const JexTextRow JexSra::kTextTable[] = JEX_TEXT_TABLE(JEXSRA_TEXTS);
#undef JEX_TEXT_CLASS

JexSra::JexSra()
    : JexException(kTextTable, "JexSra"),
      number_("", 1),
      src_acid_("", 1),
      src_node_("", 1),
      dst_acid_("", 1),
      dst_node_("", 1),
      contact_("", 1),
      access_number_("", 1),
      subject_("", 1),
      text_("", 1),
      since_("", 1),
      before_("", 1),
      list_text_("", 1),
      os_info_("", 1),
      hardware_info_("", 1),
      software_info_("", 1),
      cc_address_("", 1),
      mail_contact_("", 1) {
    JexTrace trace(kTraceFile, "JexSra()", __LINE__);
    SetSuppress(1);
}

JexSra::~JexSra() { JexTrace trace(kTraceFile, "~JexSra()", __LINE__); }

JexString* JexSra::TextField(int attribute) {
    switch (attribute) {
        case DST_ACID: return &dst_acid_;
        case DST_NODE: return &dst_node_;
        case SRC_ACID: return &src_acid_;
        case SRC_NODE: return &src_node_;
        case SRQ_ACCESS_NUMBER: return &access_number_;
        case SRQ_TEXT: return &text_;
        case SRQ_SUBJECT: return &subject_;
        case SRQ_NUMBER: return &number_;
        case SRQ_CONTACT: return &contact_;
        case SRQ_BEFORE: return &before_;
        case SRQ_SINCE: return &since_;
        case SRQ_OS_INFO: return &os_info_;
        case SRQ_HARDWARE_INFO: return &hardware_info_;
        case SRQ_SOFTWARE_INFO: return &software_info_;
        case SRQ_CC_ADDRESS: return &cc_address_;
        default: return nullptr;
    }
}

bool JexSra::Settable(int attribute) {
    switch (attribute) {
        case DST_ACID:
        case DST_NODE:
        case SRC_ACID:
        case SRC_NODE:
        case SRQ_CONTACT:
        case SRQ_BEFORE:
        case SRQ_SINCE:
        case SRQ_OS_INFO:
        case SRQ_HARDWARE_INFO:
        case SRQ_SOFTWARE_INFO:
        case SRQ_CC_ADDRESS: return true;
        default: return false;
    }
}

int JexSra::SetAttr(int attribute, int32_t value) {
    JexTrace trace(kTraceFile, "SetAttr()", __LINE__);
    if (attribute != SRQ_NUMERIC) return NOITEMCODE;
    numeric_ = value;
    return OK;
}

int JexSra::SetAttr(int attribute, const char* text) {
    JexTrace trace(kTraceFile, "SetAttr()", __LINE__);
    if (!Settable(attribute)) return NOITEMCODE;
    JexString* field = TextField(attribute);
    // A copy first: the text may be the field's own.
    const JexString copy(text);
    *field = copy;
    return OK;
}

int JexSra::GetAttr(int attribute, int32_t& out) {
    if (attribute == SRQ_WORK_UNIT_COUNT) {
        JexTrace trace(kTraceFile, "GetAttr(i)", __LINE__);
        // Only a review request knows a work-unit count.
        auto* review = dynamic_cast<JexSraReviewSrq*>(this);
        return review ? review->CountAttribute(out) : NOITEMCODE;
    }
    JexTrace trace(kTraceFile, "GetAttr()", __LINE__);
    if (attribute != SRQ_NUMERIC) return NOITEMCODE;
    out = numeric_;
    return OK;
}

int JexSra::GetAttr(int attribute, JexString& out) {
    JexTrace trace(kTraceFile, "GetAttr()", __LINE__);
    if (attribute == LANGUAGE) return SessionLanguage(out);
    const JexString* field = TextField(attribute);
    if (!field) return NOITEMCODE;
    if (field == &out) return OK;
    out = *field;
    out.SetCaseSensitive(field->CaseSensitive());
    return OK;
}

int JexSra::SessionLanguage(JexString& out) {
    // A bare request (an error holder) has no session to ask.
    if (!session_) return NOITEMCODE;
    session_->GetAttr(JexSession::LANGUAGE, out);
    return OK;
}
