// JexSra: base of the service-request objects: status and event table, request attributes.
#include "jexlink/sra/JexSra.h"

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/session/JexSession.h"

namespace {
constexpr const char* kTraceFile = "R:\\JexSra.cxx";
}  // namespace

#define JEX_TEXT_CLASS JexSra
const JexTextRow JexSra::kTextTable[] = JEX_TEXT_TABLE(JEXSRA_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

using K = JexAttrKind;

}  // namespace

const JexAttrRow JexSra::kAttributes[] = {
    {DST_ACID, "DST_ACID", K::kText, false},
    {DST_NODE, "DST_NODE", K::kText, false},
    {LANGUAGE, "LANGUAGE", K::kText, true},
    {SRC_ACID, "SRC_ACID", K::kText, false},
    {SRC_NODE, "SRC_NODE", K::kText, false},
    {SRQ_ACCESS_NUMBER, "SRQ_ACCESS_NUMBER", K::kText, true},
    {SRQ_TEXT, "SRQ_TEXT", K::kText, true},
    {SRQ_SUBJECT, "SRQ_SUBJECT", K::kText, true},
    {SRQ_NUMBER, "SRQ_NUMBER", K::kText, true},
    {SRQ_CONTACT, "SRQ_CONTACT", K::kText, false},
    {SRQ_WORK_UNIT_COUNT, "SRQ_WORK_UNIT_COUNT", K::kInt, true},
    {SRQ_BEFORE, "SRQ_BEFORE", K::kText, false},
    {SRQ_SINCE, "SRQ_SINCE", K::kText, false},
    {SRQ_OS_INFO, "SRQ_OS_INFO", K::kText, false},
    {SRQ_HARDWARE_INFO, "SRQ_HARDWARE_INFO", K::kText, false},
    {SRQ_SOFTWARE_INFO, "SRQ_SOFTWARE_INFO", K::kText, false},
    {SRQ_CC_ADDRESS, "SRQ_CC_ADDRESS", K::kText, false},
    {SRQ_NUMERIC, "SRQ_NUMERIC", K::kInt, false},
};

std::span<const JexAttrRow> JexSra::AttributeRows() { return kAttributes; }

JexSra::JexSra()
    : JexException(kTextTable, "JexSra"),
      number_("", 1),
      src_acid_("", 1),
      src_node_("", 1),
      dst_acid_("", 1),
      dst_node_("", 1),
      contact_("", 1),
      accessNumber_("", 1),
      subject_("", 1),
      text_("", 1),
      since_("", 1),
      before_("", 1),
      listText_("", 1),
      osInfo_("", 1),
      hardwareInfo_("", 1),
      softwareInfo_("", 1),
      ccAddress_("", 1),
      mailContact_("", 1) {
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
        case SRQ_ACCESS_NUMBER: return &accessNumber_;
        case SRQ_TEXT: return &text_;
        case SRQ_SUBJECT: return &subject_;
        case SRQ_NUMBER: return &number_;
        case SRQ_CONTACT: return &contact_;
        case SRQ_BEFORE: return &before_;
        case SRQ_SINCE: return &since_;
        case SRQ_OS_INFO: return &osInfo_;
        case SRQ_HARDWARE_INFO: return &hardwareInfo_;
        case SRQ_SOFTWARE_INFO: return &softwareInfo_;
        case SRQ_CC_ADDRESS: return &ccAddress_;
        default: return nullptr;
    }
}

int JexSra::CountAttribute(int32_t&) { return NOITEMCODE; }

int JexSra::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access) {
    static constexpr JexAttrCodes kCodes{NOITEMCODE, NOITEMCODE, NOITEMCODE, NOITEMCODE};
    return JexAttrCheck(kAttributes, attribute, kind, access, kCodes);
}

int JexSra::SetAttr(int attribute, int32_t value) {
    JexTrace trace(kTraceFile, "SetAttr()", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kSet); rc != OK)
        return rc;
    numeric_ = value;
    return OK;
}

int JexSra::SetAttr(int attribute, const char* text) {
    JexTrace trace(kTraceFile, "SetAttr()", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kSet); rc != OK)
        return rc;
    JexString* field = TextField(attribute);
    // A copy first: the text may be the field's own.
    const JexString copy(text);
    *field = copy;
    return OK;
}

int JexSra::GetAttr(int attribute, int32_t& out) {
    if (attribute == SRQ_WORK_UNIT_COUNT) {
        JexTrace trace(kTraceFile, "GetAttr(i)", __LINE__);
        return CountAttribute(out);
    }
    JexTrace trace(kTraceFile, "GetAttr()", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kGet); rc != OK)
        return rc;
    out = numeric_;
    return OK;
}

int JexSra::GetAttr(int attribute, JexString& out) {
    JexTrace trace(kTraceFile, "GetAttr()", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kGet); rc != OK)
        return rc;
    if (attribute == LANGUAGE) return SessionLanguage(out);
    const JexString* field = TextField(attribute);
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
