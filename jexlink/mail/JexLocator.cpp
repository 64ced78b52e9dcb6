// Locators: destination texts of a node list, an access id and a method, with prefixed forms.
#include "jexlink/mail/JexLocator.h"

#include <cstdint>
#include <cstring>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexTrace.h"

namespace {

constexpr const char* kTraceFile = "JexLocator";

bool ValidMethod(JexLocMethod m) {
    const int v = static_cast<int>(m);
    return v >= 0 && v <= 2;
}

// Fields first..last (inclusive) of a split text joined with the separator.
JexString JoinFields(JexFieldedString& fields, int first, int last) {
    JexString out("");
    for (int i = first; i <= last; ++i) {
        if (i > first) out += fields.Separator();
        out += fields[i];
    }
    return out;
}

unsigned AddressWord(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

using K = JexAttrKind;
// The method and the scope are the integer kinds.
constexpr JexAttrRow kAttributes[] = {
    {JexLocator::LOC_NODE, "LOC_NODE", K::kText, true},
    {JexLocator::LOC_ACID, "LOC_ACID", K::kText, true},
    {JexLocator::LOC_METHOD, "LOC_METHOD", K::kInt, true},
    {JexLocator::LOC_PARSED_NODE, "LOC_PARSED_NODE", K::kText, false},
    {JexLocator::LOC_PARSED_ACID, "LOC_PARSED_ACID", K::kText, false},
    {JexLocator::LOC_PARSED_METHOD, "LOC_PARSED_METHOD", K::kInt, false},
    {JexLocator::LOC_TEXT, "LOC_TEXT", K::kText, false},
    {JexLocator::LOC_DEFAULT_NODE, "LOC_DEFAULT_NODE", K::kText, false},
    {JexLocator::LOC_DEFAULT_ACID, "LOC_DEFAULT_ACID", K::kText, false},
    {JexLocator::LOC_DEFAULT_METHOD, "LOC_DEFAULT_METHOD", K::kInt, false},
    {JexLocator::LOC_DEFAULTS, "LOC_DEFAULTS", K::kText, false},
};
// What a prefixed locator adds; every other number is the base's.
constexpr JexAttrRow kPrefixedAttributes[] = {
    {JexLocator::LOC_PREFIX, "LOC_PREFIX", K::kText, true},
    {JexLocator::LOC_PARSED_PREFIX, "LOC_PARSED_PREFIX", K::kText, false},
    {JexLocator::LOC_DEFAULT_PREFIX, "LOC_DEFAULT_PREFIX", K::kText, false},
    {JexLocator::LOC_SCOPE, "LOC_SCOPE", K::kInt, false},
};
constexpr JexAttrCodes kAttrCodes{JexLocator::kNoSuchAttribute, JexLocator::kNotInteger,
                                  JexLocator::kNotString, JexLocator::kReadOnly};

int CheckAttr(std::span<const JexAttrRow> rows, int attribute, JexAttrKind kind,
              JexAttrAccess access) {
    return JexAttrCheck(rows, attribute, kind, access, kAttrCodes);
}

}  // namespace

// --- JexLocator --------------------------------------------------------------

JexLocator::JexLocator(const char* text) {
    JexTrace trace(kTraceFile, "JexLocator()", __LINE__);
    if (text) parse(text);
}

JexLocator::JexLocator(const JexString& nodes, const JexString& acids, JexLocMethod method)
    : parsedNodes_(nodes), parsedAcids_(acids), parsedMethod_(method) {
    JexTrace trace(kTraceFile, "JexLocator()", __LINE__);
}

JexLocator::~JexLocator() { JexTrace trace(kTraceFile, "~JexLocator()", __LINE__); }

char JexLocator::Separator() const {
    const char c = separator_.Text()[0];
    return c ? c : '.';
}

const JexString& JexLocator::EffectiveNodes() const {
    return *parsedNodes_.Text() ? parsedNodes_ : defaultNodes_;
}

const JexString& JexLocator::EffectiveAcids() const {
    return *parsedAcids_.Text() ? parsedAcids_ : defaultAcids_;
}

JexLocMethod JexLocator::EffectiveMethod() const {
    return parsedMethod_ != JexLocMethod::kNone ? parsedMethod_ : defaultMethod_;
}

JexString JexLocator::MethodSuffix(JexLocMethod method) const {
    JexString out("");
    switch (method) {
        case JexLocMethod::kDia:
            out += Separator();
            out += "dia";
            break;
        case JexLocMethod::kJex:
            out += Separator();
            out += "jex";
            break;
        default: break;
    }
    return out;
}

JexString JexLocator::Render(const JexString& nodes, const JexString& acids,
                             JexLocMethod method) const {
    JexString out(nodes.Text());
    out += Separator();
    out += acids.Text();
    out += MethodSuffix(method);
    return out;
}

JexLocator::operator JexString() const {
    JexTrace trace(kTraceFile, "operator JexString()", __LINE__);
    return Render(EffectiveNodes(), EffectiveAcids(), EffectiveMethod());
}

JexLocator& JexLocator::operator=(const char* text) {
    JexTrace trace(kTraceFile, "operator = (c)", __LINE__);
    parse(text);
    return *this;
}

void JexLocator::parse(const char* text) {
    JexTrace trace(kTraceFile, "parse()", __LINE__);
    // Split first: the text may be one of this locator's own parts.
    JexFieldedString fields(text, Separator());
    const int n = fields.Count();
    parsedMethod_ = JexLocMethod::kNone;
    parsedNodes_ = "";
    parsedAcids_ = "";
    if (n == 0) return;
    if (n == 1) {
        parsedAcids_ = fields[0];
        return;
    }
    const JexString last = fields[n - 1].LowerCopy();
    JexLocMethod method = JexLocMethod::kNone;
    if (std::strcmp(last.Text(), "jex") == 0) method = JexLocMethod::kJex;
    if (std::strcmp(last.Text(), "dia") == 0) method = JexLocMethod::kDia;
    if (method != JexLocMethod::kNone) {
        parsedMethod_ = method;
        parsedAcids_ = fields[n - 2];
        parsedNodes_ = JoinFields(fields, 0, n - 3);
        return;
    }
    parsedAcids_ = fields[n - 1];
    parsedNodes_ = JoinFields(fields, 0, n - 2);
}

std::span<const JexAttrRow> JexLocator::AttributeRows() { return kAttributes; }

int JexLocator::SetAttr(int attribute, const char* value) {
    JexTrace trace(kTraceFile, "SetAttr(c)", __LINE__);
    const int rc = CheckAttr(kAttributes, attribute, K::kText, JexAttrAccess::kSetReadOnlyFirst);
    if (rc != kDone) return rc;
    switch (attribute) {
        case LOC_PARSED_NODE: parsedNodes_ = value ? value : ""; break;
        case LOC_PARSED_ACID: parsedAcids_ = value ? value : ""; break;
        case LOC_DEFAULT_NODE: defaultNodes_ = value ? value : ""; break;
        case LOC_DEFAULT_ACID: defaultAcids_ = value ? value : ""; break;
        case LOC_TEXT: parse(value); break;
        default: {  // LOC_DEFAULTS
            JexLocator parsed(value ? value : "");
            defaultNodes_ = parsed.parsedNodes_;
            defaultAcids_ = parsed.parsedAcids_;
            defaultMethod_ = parsed.parsedMethod_;
            break;
        }
    }
    return kDone;
}

int JexLocator::SetAttr(int attribute, JexLocMethod value) {
    JexTrace trace(kTraceFile, "SetAttr(m)", __LINE__);
    const int rc = CheckAttr(kAttributes, attribute, K::kInt, JexAttrAccess::kSetReadOnlyFirst);
    if (rc != kDone) return rc;
    if (!ValidMethod(value)) return kOutOfRange;
    (attribute == LOC_PARSED_METHOD ? parsedMethod_ : defaultMethod_) = value;
    return kDone;
}

int JexLocator::GetAttr(int attribute, JexString& value) const {
    JexTrace trace(kTraceFile, "GetAttr(S)", __LINE__);
    const int rc = CheckAttr(kAttributes, attribute, K::kText, JexAttrAccess::kGet);
    if (rc != kDone) return rc;
    switch (attribute) {
        case LOC_NODE: value = EffectiveNodes(); break;
        case LOC_ACID: value = EffectiveAcids(); break;
        case LOC_PARSED_NODE: value = parsedNodes_; break;
        case LOC_PARSED_ACID: value = parsedAcids_; break;
        case LOC_DEFAULT_NODE: value = defaultNodes_; break;
        case LOC_DEFAULT_ACID: value = defaultAcids_; break;
        case LOC_TEXT: value = JexLocator::operator JexString(); break;
        default:  // LOC_DEFAULTS
            value = Render(defaultNodes_, defaultAcids_, defaultMethod_);
            break;
    }
    return kDone;
}

int JexLocator::GetAttr(int attribute, JexLocMethod& value) const {
    JexTrace trace(kTraceFile, "GetAttr(m)", __LINE__);
    const int rc = CheckAttr(kAttributes, attribute, K::kInt, JexAttrAccess::kGet);
    if (rc != kDone) return rc;
    switch (attribute) {
        case LOC_METHOD: value = EffectiveMethod(); break;
        case LOC_PARSED_METHOD: value = parsedMethod_; break;
        default: value = defaultMethod_; break;  // LOC_DEFAULT_METHOD
    }
    return kDone;
}

void JexLocator::DumpParts(FILE* out) const {
    auto line = [out](const char* format, const JexString& text) {
        std::fprintf(out, format, static_cast<int>(std::strlen(text.Text())), text.Text());
    };
    line("   Parsed Node %2d: %s\n", parsedNodes_);
    line("  Default Node %2d: %s\n", defaultNodes_);
    line("   Parsed Acid %2d: %s\n", parsedAcids_);
    line("  Default Acid %2d: %s\n", defaultAcids_);
    std::fprintf(out, "   Parsed Meth =%1d: %s\n", static_cast<int>(parsedMethod_),
                 MethodSuffix(parsedMethod_).Text());
    std::fprintf(out, "  Default Meth =%1d: %s\n", static_cast<int>(defaultMethod_),
                 MethodSuffix(defaultMethod_).Text());
}

void JexLocator::Dump(FILE* out) const {
    JexTrace trace(kTraceFile, "Dump()", __LINE__);
    std::fprintf(out, "\nDump of Locator object %%x%8.8x:\n", AddressWord(this));
    std::fprintf(out, "==================================\n");
    DumpParts(out);
    std::fprintf(out, "\n");
}

// --- JexPrefixedLocator ------------------------------------------------------

JexPrefixedLocator::JexPrefixedLocator(const char* text, int kind) : kind_(kind) {
    JexTrace trace(kTraceFile, "JexPrefixedLocator()", __LINE__);
    if (text) prefix_parse(text);
}

JexPrefixedLocator::JexPrefixedLocator(const JexString& prefix, const JexString& nodes,
                                       const JexString& acids, JexLocScope scope,
                                       JexLocMethod method)
    : JexLocator(nodes, acids, method), scope_(scope), parsedPrefix_(prefix) {
    JexTrace trace(kTraceFile, "JexPrefixedLocator()", __LINE__);
}

JexPrefixedLocator::~JexPrefixedLocator() {
    JexTrace trace(kTraceFile, "~JexPrefixedLocator()", __LINE__);
}

const JexString& JexPrefixedLocator::EffectivePrefix() const {
    return *parsedPrefix_.Text() ? parsedPrefix_ : defaultPrefix_;
}

JexPrefixedLocator::operator JexString() const {
    JexTrace trace(kTraceFile, "operator JexString()", __LINE__);
    JexString out(EffectivePrefix().Text());
    if (scope_ == JexLocScope::kLocal) return out;
    const char separator = prefixSeparator_.Text()[0] ? prefixSeparator_.Text()[0] : '@';
    out += separator;
    out += JexLocator::operator JexString();
    return out;
}

JexPrefixedLocator& JexPrefixedLocator::operator=(const char* text) {
    JexTrace trace(kTraceFile, "operator = (c)", __LINE__);
    prefix_parse(text);
    return *this;
}

void JexPrefixedLocator::prefix_parse(const char* text) {
    JexTrace trace(kTraceFile, "prefix_parse()", __LINE__);
    const char separator = prefixSeparator_.Text()[0] ? prefixSeparator_.Text()[0] : '@';
    // A copy: the text may be one of this locator's own parts.
    const JexString whole(text ? text : "");
    JexFieldedString fields(whole, separator);
    const int n = fields.Count();
    if (n >= 2) {
        parse(fields[n - 1].Text());
        if (kind_ == 0 || parsedMethod_ != JexLocMethod::kNone) {
            scope_ = JexLocScope::kRemote;
            parsedPrefix_ = JoinFields(fields, 0, n - 2);
            return;
        }
    }
    // An ordinary Internet address (or no "@" at all): the whole text.
    scope_ = JexLocScope::kLocal;
    parsedPrefix_ = whole;
    parsedNodes_ = "";
    parsedAcids_ = "";
}

int JexPrefixedLocator::SetAttr(int attribute, const char* value) {
    JexTrace trace(kTraceFile, "SetAttr(c)", __LINE__);
    if (!JexFindAttr(kPrefixedAttributes, attribute)) return JexLocator::SetAttr(attribute, value);
    const int rc =
        CheckAttr(kPrefixedAttributes, attribute, K::kText, JexAttrAccess::kSetReadOnlyFirst);
    if (rc != kDone) return rc;
    (attribute == LOC_PARSED_PREFIX ? parsedPrefix_ : defaultPrefix_) = value ? value : "";
    return kDone;
}

int JexPrefixedLocator::SetAttr(int attribute, JexLocScope value) {
    JexTrace trace(kTraceFile, "SetAttr(k)", __LINE__);
    const int rc = CheckAttr(kPrefixedAttributes, attribute, K::kInt, JexAttrAccess::kSet);
    if (rc != kDone) return rc;
    const int v = static_cast<int>(value);
    if (v != 0 && v != 1) return kOutOfRange;
    scope_ = value;
    return kDone;
}

int JexPrefixedLocator::GetAttr(int attribute, JexString& value) const {
    JexTrace trace(kTraceFile, "GetAttr(S)", __LINE__);
    if (!JexFindAttr(kPrefixedAttributes, attribute)) return JexLocator::GetAttr(attribute, value);
    const int rc = CheckAttr(kPrefixedAttributes, attribute, K::kText, JexAttrAccess::kGet);
    if (rc != kDone) return rc;
    switch (attribute) {
        case LOC_PREFIX: value = EffectivePrefix(); break;
        case LOC_PARSED_PREFIX: value = parsedPrefix_; break;
        default: value = defaultPrefix_; break;  // LOC_DEFAULT_PREFIX
    }
    return kDone;
}

int JexPrefixedLocator::GetAttr(int attribute, JexLocScope& value) const {
    JexTrace trace(kTraceFile, "GetAttr(k)", __LINE__);
    const int rc = CheckAttr(kPrefixedAttributes, attribute, K::kInt, JexAttrAccess::kGet);
    if (rc != kDone) return rc;
    value = scope_;
    return kDone;
}

void JexPrefixedLocator::Dump(FILE* out) const {
    JexTrace trace(kTraceFile, "Dump()", __LINE__);
    std::fprintf(out, "\nDump of PrefixedLocator object %%x%8.8x:\n", AddressWord(this));
    std::fprintf(out, "==========================================\n");
    std::fprintf(out, " Parsed Prefix %2d: %s\n",
                 static_cast<int>(std::strlen(parsedPrefix_.Text())), parsedPrefix_.Text());
    std::fprintf(out, "Default Prefix %2d: %s\n",
                 static_cast<int>(std::strlen(defaultPrefix_.Text())), defaultPrefix_.Text());
    DumpParts(out);
    std::fprintf(out, "            Scope: %s",
                 scope_ == JexLocScope::kLocal ? "Local\n" : "Remote\n");
    std::fprintf(out, "\n");
}

// --- The two flavours ----------------------------------------------------------

JexFileCopyLocator::JexFileCopyLocator(const char* text) : JexPrefixedLocator(text, 0) {
    JexTrace trace(kTraceFile, "JexFileCopyLocator()", __LINE__);
}

JexFileCopyLocator::~JexFileCopyLocator() {
    JexTrace trace(kTraceFile, "~JexFileCopyLocator()", __LINE__);
}

JexEMailLocator::JexEMailLocator(const char* text) : JexPrefixedLocator(text, 1) {
    JexTrace trace(kTraceFile, "JexEMailLocator()", __LINE__);
}

JexEMailLocator::~JexEMailLocator() { JexTrace trace(kTraceFile, "~JexEMailLocator()", __LINE__); }
