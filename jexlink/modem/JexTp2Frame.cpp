// JexTp2Frame: one transport-class-2 frame (TPDU) and its conversion to and from bytes.
#include "jexlink/modem/JexTp2Frame.h"

#include <cstring>
#include <string>

#include "jexlink/core/JexAttribute.h"

#define JEX_TEXT_CLASS JexTp2Frame
const JexTextRow JexTp2Frame::kTextTable[] = JEX_TEXT_TABLE(JEXTP2FRAME_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kEncodeLabel = "JexTp2Frame::operator JexBuffer";
constexpr const char* kDecodeLabel = "JexTp2Frame::operator=";
// The largest value of the one-byte LI and parameter length fields.
constexpr size_t kMaxByteLength = 255;

// Parameter codes of the variable part.
constexpr unsigned char kCallingTsap = 0xC1;
constexpr unsigned char kCalledTsap = 0xC2;
constexpr unsigned char kExtraParameter = 0x89;
constexpr unsigned char kTpduSize = 0xC0;
constexpr unsigned char kVersion = 0xC4;
constexpr unsigned char kAddOption = 0xC6;
constexpr unsigned char kPriority = 0x87;
constexpr unsigned char kExtReason = 0xE0;

// A frame takes at most this many parameters; the rest are ignored.
constexpr int kMaxParameters = 8;

void PutByte(std::string& out, int value) { out += static_cast<char>(value & 0xFF); }

void PutShort(std::string& out, int value) {
    PutByte(out, value >> 8);
    PutByte(out, value);
}

void PutLong(std::string& out, int value) {
    const auto bits = static_cast<unsigned>(value);
    PutShort(out, static_cast<int>(bits >> 16));
    PutShort(out, static_cast<int>(bits & 0xFFFF));
}

int GetShort(const unsigned char* at) { return at[0] << 8 | at[1]; }

int GetLong(const unsigned char* at) {
    const unsigned bits = static_cast<unsigned>(at[0]) << 24 | static_cast<unsigned>(at[1]) << 16 |
                          static_cast<unsigned>(at[2]) << 8 | at[3];
    return static_cast<int>(bits);
}

const char* TextOf(const JexBuffer& buffer) { return buffer.Data() ? buffer.Data() : ""; }

// Every attribute the frame keeps: the fixed part's integers (LI only
// read), the parameters' integers and the three texts. A failed access
// answers by its result alone: ATTRNOTINT for an integer access, kNotText
// for a text one, whatever the fault.
using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexTp2Frame::LI, "LI", K::kInt, true},
    {JexTp2Frame::DST_REF, "DST_REF", K::kInt, false},
    {JexTp2Frame::SRC_REF, "SRC_REF", K::kInt, false},
    {JexTp2Frame::CLASS, "CLASS", K::kInt, false},
    {JexTp2Frame::OPTIONS, "OPTIONS", K::kInt, false},
    {JexTp2Frame::REASON, "REASON", K::kInt, false},
    {JexTp2Frame::TPDU_NR, "TPDU_NR", K::kInt, false},
    {JexTp2Frame::CAUSE, "CAUSE", K::kInt, false},
    {JexTp2Frame::PRIORITY, "PRIORITY", K::kInt, false},
    {JexTp2Frame::EXTRA_PARAMETER, "EXTRA_PARAMETER", K::kText, false},
    {JexTp2Frame::TPDU_SIZE, "TPDU_SIZE", K::kInt, false},
    {JexTp2Frame::CALLING_TSAP, "CALLING_TSAP", K::kText, false},
    {JexTp2Frame::CALLED_TSAP, "CALLED_TSAP", K::kText, false},
    {JexTp2Frame::VERSION, "VERSION", K::kInt, false},
    {JexTp2Frame::ADD_OPTION, "ADD_OPTION", K::kInt, false},
    {JexTp2Frame::EXT_REASON, "EXT_REASON", K::kInt, false},
};
constexpr JexAttrCodes kIntCodes{JexTp2Frame::ATTRNOTINT, JexTp2Frame::ATTRNOTINT,
                                 JexTp2Frame::kNotText, JexTp2Frame::ATTRNOTINT};
constexpr JexAttrCodes kTextCodes{JexTp2Frame::kNotText, JexTp2Frame::ATTRNOTINT,
                                  JexTp2Frame::kNotText, JexTp2Frame::kNotText};
}  // namespace

JexTp2Frame::JexTp2Frame() : JexException(kTextTable, "JexTp2Frame") { SetSuppress(1); }

JexTp2Frame::~JexTp2Frame() = default;

void JexTp2Frame::Reset() {
    code_ = 0;
    userData_.Free();
    tpduSize_ = 7;
    version_ = 1;
    addOption_ = 1;
    priority_ = 0;
    extReason_ = 0;
    callingTsap_.Free();
    calledTsap_.Free();
    extraParameter_.Free();
    li_ = 0;
    dst_ref_ = src_ref_ = class_ = options_ = reason_ = tpduNr_ = erCause_ = kAbsent;
}

bool JexTp2Frame::Fail(const char* location, const char* why) {
    ExcSet(FAILURE, JexExcArgs(location, why));
    Raise();
    return false;
}

JexBuffer JexTp2Frame::Encode() {
    if (Code() != OK) ExcSet(OK);
    std::string header;
    PutByte(header, code_);
    switch (code_) {
        case kCR:
        case kCC:
            PutShort(header, dst_ref_);
            PutShort(header, src_ref_);
            PutByte(header, (class_ & 0xF) << 4 | (options_ & 0xF));
            break;
        case kDR:
            PutShort(header, dst_ref_);
            PutShort(header, src_ref_);
            PutByte(header, reason_);
            break;
        case kDC:
            PutShort(header, dst_ref_);
            PutShort(header, src_ref_);
            break;
        case kDT:
        case kED:
            PutShort(header, dst_ref_);
            PutByte(header, tpduNr_);
            break;
        case kER:
            PutShort(header, dst_ref_);
            PutByte(header, erCause_);
            break;
        default:
            // No fixed part: the frame is LI 0 and the user data.
            header.clear();
            break;
    }
    if (code_ == kCR || code_ == kCC) {
        const struct {
            unsigned char code;
            const JexBuffer& text;
        } texts[] = {{kCallingTsap, callingTsap_},
                     {kCalledTsap, calledTsap_},
                     {kExtraParameter, extraParameter_}};
        for (const auto& parameter : texts) {
            const int length = parameter.text.Length();
            if (length == 0) continue;
            // A longer text would need a length that one byte cannot hold.
            if (static_cast<size_t>(length) > kMaxByteLength) {
                Fail(kEncodeLabel, "parameter text longer than 255 bytes");
                return JexBuffer();
            }
            PutByte(header, parameter.code);
            PutByte(header, length);
            header.append(parameter.text.Data(), static_cast<size_t>(length));
        }
        const struct {
            unsigned char code;
            int value;
        } bytes[] = {{kTpduSize, tpduSize_}, {kVersion, version_}, {kAddOption, addOption_}};
        for (const auto& parameter : bytes) {
            if (parameter.value == kAbsent) continue;
            PutByte(header, parameter.code);
            PutByte(header, parameter.value);
        }
        if (priority_ != kAbsent) {
            PutByte(header, kPriority);
            PutShort(header, priority_);
        }
    }
    if (code_ == kDR && extReason_ != kAbsent) {
        PutByte(header, kExtReason);
        PutLong(header, extReason_);
    }
    if (header.size() > kMaxByteLength) {
        Fail(kEncodeLabel, "header longer than 255 bytes");
        return JexBuffer();
    }
    li_ = static_cast<int>(header.size());
    const int total = 1 + li_ + userData_.Length();
    JexBuffer wire;
    wire.SetLength(total);
    char* out = wire.Data();
    out[0] = static_cast<char>(li_);
    std::memcpy(out + 1, header.data(), header.size());
    if (userData_.Length() > 0)
        std::memcpy(out + 1 + li_, userData_.Data(), static_cast<size_t>(userData_.Length()));
    return wire;
}

JexTp2Frame& JexTp2Frame::operator=(const JexBufferBase& wire) {
    // Decoding resets every field first, so bytes that this frame owns are
    // copied before.
    const JexBufferBase* own[] = {&userData_, &callingTsap_, &calledTsap_, &extraParameter_};
    for (const JexBufferBase* field : own) {
        if (field != &wire) continue;
        const JexBuffer copy(wire);
        Decode(reinterpret_cast<const unsigned char*>(copy.Data()), copy.Length());
        return *this;
    }
    Decode(reinterpret_cast<const unsigned char*>(wire.Data()), wire.Length());
    return *this;
}

void JexTp2Frame::Decode(const unsigned char* bytes, int n) {
    Reset();
    if (Code() != OK) ExcSet(OK);
    if (n < 5) {
        Fail(kDecodeLabel, "buffer too small");
        return;
    }
    li_ = bytes[0];
    code_ = bytes[1];
    // The header is LI bytes after the LI byte itself.
    const int end = li_ + 1;
    if (end > n) {
        Fail(kDecodeLabel, "buffer too small, part ii");
        return;
    }
    if (n > end) userData_ = JexBuffer(bytes + end, n - end);

    int fixed = 0;  // length of the fixed part after the code byte
    switch (code_) {
        case kCR:
        case kCC:
        case kDR: fixed = 5; break;
        case kDC: fixed = 4; break;
        case kDT:
        case kED:
        case kER: fixed = 3; break;
        default: return;  // no fixed part and no parameters
    }
    if (2 + fixed > end) {
        Fail(kDecodeLabel, "fixed part runs past the header");
        return;
    }
    dst_ref_ = GetShort(bytes + 2);
    switch (code_) {
        case kCR:
        case kCC:
            src_ref_ = GetShort(bytes + 4);
            class_ = bytes[6] >> 4;
            options_ = bytes[6] & 0xF;
            break;
        case kDR:
            src_ref_ = GetShort(bytes + 4);
            reason_ = bytes[6];
            break;
        case kDC: src_ref_ = GetShort(bytes + 4); break;
        case kDT:
        case kED: tpduNr_ = bytes[4]; break;
        default: erCause_ = bytes[4]; break;
    }

    int pos = 2 + fixed;
    for (int taken = 0; taken < kMaxParameters && pos < end; ++taken) {
        const unsigned char parameter = bytes[pos];
        int size = 0;  // bytes of the parameter, its code included
        switch (parameter) {
            case kCallingTsap:
            case kCalledTsap:
            case kExtraParameter: size = pos + 1 < end ? 2 + bytes[pos + 1] : 2; break;
            case kTpduSize:
            case kVersion:
            case kAddOption: size = 2; break;
            case kPriority: size = 3; break;
            case kExtReason: size = 5; break;
            default: return;  // an unknown parameter ends the scan
        }
        if (pos + size > end) {
            Fail(kDecodeLabel, "parameter runs past the header");
            return;
        }
        const unsigned char* value = bytes + pos + 1;
        switch (parameter) {
            case kCallingTsap: callingTsap_ = JexBuffer(value + 1, size - 2); break;
            case kCalledTsap: calledTsap_ = JexBuffer(value + 1, size - 2); break;
            case kExtraParameter: extraParameter_ = JexBuffer(value + 1, size - 2); break;
            case kTpduSize: tpduSize_ = value[0]; break;
            case kVersion: version_ = value[0]; break;
            case kAddOption: addOption_ = value[0]; break;
            case kPriority: priority_ = GetShort(value); break;
            default: extReason_ = GetLong(value); break;
        }
        pos += size;
    }
}

int* JexTp2Frame::IntField(int id) {
    switch (id) {
        case LI: return &li_;
        case DST_REF: return &dst_ref_;
        case SRC_REF: return &src_ref_;
        case CLASS: return &class_;
        case OPTIONS: return &options_;
        case REASON: return &reason_;
        case TPDU_NR: return &tpduNr_;
        case CAUSE: return &erCause_;
        case PRIORITY: return &priority_;
        case TPDU_SIZE: return &tpduSize_;
        case VERSION: return &version_;
        case ADD_OPTION: return &addOption_;
        case EXT_REASON: return &extReason_;
        default: return nullptr;
    }
}

JexBuffer* JexTp2Frame::TextField(int id) {
    switch (id) {
        case EXTRA_PARAMETER: return &extraParameter_;
        case CALLING_TSAP: return &callingTsap_;
        case CALLED_TSAP: return &calledTsap_;
        default: return nullptr;
    }
}

const JexBuffer* JexTp2Frame::TextField(int id) const {
    return const_cast<JexTp2Frame*>(this)->TextField(id);
}

std::span<const JexAttrRow> JexTp2Frame::AttributeRows() { return kAttributes; }

int JexTp2Frame::SetAttr(int id, int value) {
    if (const int code = JexAttrCheck(kAttributes, id, K::kInt, JexAttrAccess::kSet, kIntCodes))
        return code;
    int* field = IntField(id);
    if (!field) return ATTRNOTINT;
    *field = value;
    return OK;
}

int JexTp2Frame::SetAttr(int id, const JexBufferBase& value) {
    if (const int code = JexAttrCheck(kAttributes, id, K::kText, JexAttrAccess::kSet, kTextCodes))
        return code;
    JexBuffer* field = TextField(id);
    if (!field) return kNotText;
    *field = value;
    return OK;
}

int JexTp2Frame::GetAttr(int id, int& out) const {
    if (const int code = JexAttrCheck(kAttributes, id, K::kInt, JexAttrAccess::kGet, kIntCodes))
        return code;
    const int* field = const_cast<JexTp2Frame*>(this)->IntField(id);
    if (!field) return ATTRNOTINT;
    // Only the fixed-part fields tell "not set"; the parameters are read as
    // they stand.
    if (id >= DST_REF && id <= CAUSE && *field == kAbsent) return ATTRUNDEFINED;
    out = *field;
    return OK;
}

int JexTp2Frame::GetAttr(int id, JexBufferBase& out) const {
    if (const int code = JexAttrCheck(kAttributes, id, K::kText, JexAttrAccess::kGet, kTextCodes))
        return code;
    const JexBuffer* field = TextField(id);
    if (!field) return kNotText;
    if (field->Length() == 0) return ATTRUNDEFINED;
    out = *field;
    return OK;
}

void JexTp2Frame::Dump(FILE* out, int headerOnly) const {
    const int datalen = userData_.Length();
    switch (code_) {
        case kCR:
        case kCC:
            std::fprintf(out, "[%s frame]\n ", code_ == kCR ? "CR" : "CC");
            std::fprintf(out,
                         " LI: %d, DST-REF: %d, SRC-REF: %d, CLASS: %d, OPTIONS: %x DATALEN: %d\n",
                         li_, dst_ref_, src_ref_, class_, static_cast<unsigned>(options_), datalen);
            std::fprintf(out, "  Variable Items:\n");
            std::fprintf(out, "    Calling TSAP ID: %s\n", TextOf(callingTsap_));
            std::fprintf(out, "    Called TSAP ID:  %s\n", TextOf(calledTsap_));
            std::fprintf(out, "    Version:         %d\n", version_);
            std::fprintf(out, "    Add Option:      %d\n", addOption_);
            std::fprintf(out, "    Priority:        %d\n", priority_);
            break;
        case kDR:
            std::fprintf(out, "[DR frame]\n ");
            std::fprintf(
                out, " LI: %d, DST-REF: %d, SRC-REF: %d, REASON: %d, EXT-REASON: %d DATALEN: %d\n",
                li_, dst_ref_, src_ref_, reason_, extReason_, datalen);
            break;
        case kDC:
            std::fprintf(out, "[DC frame]\n  LI: %d, DST-REF: %d, SRC-REF: %d\n", li_, dst_ref_,
                         src_ref_);
            return;
        case kDT:
        case kED:
            std::fprintf(out, "[%s frame]\n ", code_ == kDT ? "DT" : "ED");
            std::fprintf(out, " LI: %d, DST-REF: %d, TPDU-NR: %d DATALEN: %d\n", li_, dst_ref_,
                         tpduNr_, datalen);
            break;
        case kER:
            std::fprintf(out, "[ER frame]\n  LI: %d, DST-REF: %d, CAUSE: %d\n", li_, dst_ref_,
                         erCause_);
            return;
        default:
            // The code byte as a signed value, printed in hex after "%x".
            std::fprintf(out, "This is an unknown frame type (code %%x%x)\n",
                         static_cast<unsigned>(static_cast<signed char>(code_)));
            return;
    }
    if (headerOnly || datalen == 0) return;
    std::fprintf(out, "  User Data:\n");
    userData_.Dump(out);
}
