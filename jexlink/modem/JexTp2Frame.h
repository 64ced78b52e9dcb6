// JexTp2Frame: one transport-class-2 frame (TPDU) and its conversion to and from bytes.
#pragma once

#include <cstdio>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"

#define JEXTP2FRAME_TEXTS(JEX_TEXT)                        \
    JEX_TEXT(0, OK, "Normal successful completion")        \
    JEX_TEXT(1, ATTRNOTINT, "Attribute is not an integer") \
    JEX_TEXT(3, ATTRUNDEFINED, "Attribute is not defined") \
    JEX_TEXT(4, FAILURE, "Conversion failure")

// One frame of the class-2 transport subset (CR, CC, DR, DC, DT, ED, ER)
// that the modem connection speaks through the modem daemon. It carries no
// checksum: framing on the wire belongs to the daemon, and one frame travels
// as one commbox message.
//
// Encoding (Encode, or the conversion to JexBuffer) and decoding
// (operator= from a buffer) first set the status back to OK; a failure is
// recorded as FAILURE with an argument that says why, never raised (the
// suppress flag is set). Decoding never reads outside the buffer and
// allocates no more than the buffer holds; a frame whose header or text
// parameter does not fit its one-byte length is not encoded (an empty
// result). Attribute operations answer by their result only.
// Threading: one thread at a time uses a frame.
class JexTp2Frame : public JexException {
public:
    enum : int { JEXTP2FRAME_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    // Result of the text attribute operations for any other identifier
    // (the table has no row for it).
    static constexpr int kNotText = 2;
    // The value of an integer field that is not set.
    static constexpr int kAbsent = -99;

    // Frame codes; the whole byte is compared.
    static constexpr int kCR = 0xE0;
    static constexpr int kCC = 0xD0;
    static constexpr int kDR = 0x80;
    static constexpr int kDC = 0xC0;
    static constexpr int kDT = 0xF0;
    static constexpr int kED = 0x10;
    static constexpr int kER = 0x70;

    // Attribute identifiers; the parameter fields use their parameter codes.
    enum Attribute : int {
        LI = 0,  // read only
        DST_REF = 1,
        SRC_REF = 2,
        CLASS = 3,
        OPTIONS = 4,
        REASON = 5,
        TPDU_NR = 6,
        CAUSE = 7,
        PRIORITY = 135,
        EXTRA_PARAMETER = 137,  // text
        TPDU_SIZE = 192,
        CALLING_TSAP = 193,  // text
        CALLED_TSAP = 194,   // text
        VERSION = 196,
        ADD_OPTION = 198,
        EXT_REASON = 224,
    };

    JexTp2Frame();
    ~JexTp2Frame() override;

    // The frame type code (its low 8 bits are kept).
    int FrameCode() const { return code_; }
    void SetFrameCode(int code) { code_ = static_cast<unsigned char>(code); }
    // The bytes after the header.
    JexBuffer& UserData() { return userData_; }
    const JexBuffer& UserData() const { return userData_; }

    // The frame's bytes; stores the header length in LI.
    JexBuffer Encode();
    operator JexBuffer() { return Encode(); }
    // Decodes the bytes into this frame (which may own them).
    JexTp2Frame& operator=(const JexBufferBase& wire);

    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    // 0, or ATTRNOTINT for an identifier that is not a settable integer.
    int SetAttr(int id, int value);
    // 0, or kNotText for an identifier that is not a text.
    int SetAttr(int id, const JexBufferBase& value);
    // 0 with the value; ATTRUNDEFINED for a fixed-part field (1 to 7) that
    // is not set; ATTRNOTINT for any other identifier.
    int GetAttr(int id, int& out) const;
    // 0 with a copy; ATTRUNDEFINED for an empty text; kNotText otherwise.
    int GetAttr(int id, JexBufferBase& out) const;

    // A readable dump; the user data's hex dump unless headerOnly.
    void Dump(FILE* out, int headerOnly) const;

private:
    void Reset();
    void Decode(const unsigned char* bytes, int n);
    // Records FAILURE with the reason; returns false.
    bool Fail(const char* location, const char* why);
    int* IntField(int id);
    JexBuffer* TextField(int id);
    const JexBuffer* TextField(int id) const;

    unsigned char code_ = 0;
    JexBuffer userData_;
    int tpduSize_ = 7;
    int version_ = 1;
    int addOption_ = 1;
    int priority_ = 0;
    int extReason_ = 0;
    JexBuffer callingTsap_;
    JexBuffer calledTsap_;
    JexBuffer extraParameter_;
    int li_ = 0;
    int dst_ref_ = kAbsent;
    int src_ref_ = kAbsent;
    int class_ = kAbsent;
    int options_ = kAbsent;
    int reason_ = kAbsent;
    int tpduNr_ = kAbsent;
    int erCause_ = kAbsent;
};
