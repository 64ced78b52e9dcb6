// Network addresses (JexNetAddr), the counted case-folding compare and the table-driven CRCs.
#pragma once

#include <cstdint>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

// A network address: a fielded text whose field 0 is a one-letter type that
// selects the kind of link, followed by the fields that link needs. Every
// address the library builds uses '/' as its separator (T/host/service).
//
// Types 'M' (modem) and 'X' (X.25) hold five fields: type, first part of the
// node, second part of the node, the part after the colon, and the service.
// Their text keeps three slots: type, "first.second:sub", service.
class JexNetAddr : public JexFieldedString {
public:
    explicit JexNetAddr(int sep);
    JexNetAddr(const char* text, int sep);
    JexNetAddr(const JexString& text, int sep);
    JexNetAddr(const JexNetAddr& other);
    JexNetAddr& operator=(const JexNetAddr& other);
    ~JexNetAddr();

    // Splits the text at the separator; for 'M' and 'X' splits the node slot
    // further into fields 1 to 3. Returns the text's length.
    int Parse(const char* text);
    int Parse(const JexString& text) { return Parse(text.Text()); }

    // The address text (the inverse of Parse for well-formed addresses).
    JexString& Format(JexString& out) const;

    // The type letter of field 0: 'D', 'L', 'M', 'O', 'S', 'T', 'X' from the
    // first character without regard to case, '?' for anything else.
    int GetType() const;
    // Stores one of "?DLMOSTWX" (upper case only) as field 0, anything else
    // as '?'; returns GetType of the result.
    int SetType(int letter);

    // Copies field index (text and case flag); a missing field is created.
    int GetField(int index, JexString& out);
    int SetField(int index, const JexString& value);
    // Sets the service field: 4 for 'M' and 'X', 2 for every other type.
    int SetService(const JexString& service);

    // 1 when the types are equal and, for 'M' and 'X', field 1 is equal
    // without regard to case; other types compare by type alone.
    int operator==(const JexNetAddr& other) const;
    int SameType(const JexNetAddr& other) const;

    // The type letters that have five fields.
    static bool IsFiveField(int type) { return type == 'M' || type == 'X'; }

private:
    // Field i's text without growing the list ("" when missing).
    const char* FieldText(int index) const;
};

// Case-insensitive compare of at most n bytes through the folding table of
// JexStrCaseCmp ('A'..'Z' and 0xC1..0xDA fold to the byte plus 32); 0 when
// n is 0 or the texts are equal within n bytes.
int JexStrNCaseCmp(const char* a, const char* b, int n);
// The folded form of one byte.
unsigned char JexCaseFold(unsigned char c);

struct JexCrcTable;

// A running reflected CRC over a 256-entry table. No initial value or final
// inversion is applied: the caller sets the start value and inverts as its
// format requires (CRC-32 of IEEE 802.3: start 0xFFFFFFFF, invert the result).
// Built over a JexCrcTable, it runs eight bytes a step through the table's
// slices, and a CRC-32 runs long inputs through carry-less multiplication
// where the processor has it; over a bare table, one byte a step. All give
// the same values.
class JexCrc {
public:
    static constexpr uint32_t kCrc16Polynomial = 0xA001;      // CRC-16 of the ARC family
    static constexpr uint32_t kCrc32Polynomial = 0xEDB88320;  // CRC-32 of IEEE 802.3

    JexCrc(const uint32_t* table, uint32_t start) : table_(table), value_(start) {}
    JexCrc(const JexCrcTable& table, uint32_t start);

    // Fills the 256 entries of the reflected table of a polynomial.
    static void BuildTable(uint32_t* table, uint32_t polynomial);

    // Runs the bytes through the table from the running value; stores and
    // returns the new value.
    uint32_t Update(const void* data, int length);

    uint32_t Value() const { return value_; }
    void SetValue(uint32_t value) { value_ = value; }

private:
    const uint32_t* table_;
    const uint32_t (*slices_)[256] = nullptr;  // slices 1..7 beside table_, when built
    bool fold_ = false;                        // CRC-32: long runs may fold
    uint32_t value_;
};

// The table of one polynomial, built on construction; the session module
// keeps one for each of the two polynomials. slices[k][b] is the CRC of byte
// b followed by k zero bytes, so that eight bytes take one step.
struct JexCrcTable {
    explicit JexCrcTable(uint32_t polynomial);
    uint32_t polynomial;
    uint32_t entries[256];
    uint32_t slices[7][256];
};
