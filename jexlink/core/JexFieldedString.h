// Text split into an ordered list of fields at one separator character.
#pragma once

#include "jexlink/core/JexString.h"

// An ordered list of string fields that a text is split into at every
// separator, and joined back from. Empty fields are kept, so splitting and
// joining give back the same text. Reading a field past the end grows the
// list: slots that were never filled count as empty fields.
class JexFieldedString {
public:
    explicit JexFieldedString(char separator);
    JexFieldedString(const char* text, char separator);
    JexFieldedString(const JexString& text, char separator);
    JexFieldedString(const JexFieldedString& other);  // fields and separator
    // Takes the other's fields (it is left without any) and separator.
    JexFieldedString(JexFieldedString&& other) noexcept;
    ~JexFieldedString();

    // Copies the fields (text and case flag); the separator stays.
    JexFieldedString& operator=(const JexFieldedString& other);
    // Takes the other's fields (it is left without any); the separator stays.
    JexFieldedString& operator=(JexFieldedString&& other) noexcept;
    // Same count and every pair of fields equal by JexString::Compare.
    bool operator==(const JexFieldedString& other) const;

    // Clears, then splits the text; returns its length. k separators give
    // k + 1 fields; a null or empty text gives none.
    int Parse(const char* text);
    int Parse(const JexString& text) { return Parse(text.Text()); }
    void Clear();
    // Grows the list to n slots (new slots empty); never shrinks it.
    void Grow(int n);

    // Field i, growing the list to i + 1 slots first. A negative index is an
    // index error and yields a scratch string that belongs to no list.
    JexString& operator[](int index);
    // A copy of field i, growing the list the same way.
    JexString Field(int index);
    // The text of field i as it stands, without growing the list: "" for a
    // slot never filled and for an index outside the list.
    const char* FieldText(int index) const {
        return index >= 0 && index < count && fields[index] ? fields[index]->Text() : "";
    }
    // Removes field i and returns it; later fields move down. An index
    // outside the list removes nothing and returns an empty string.
    JexString Remove(int index);

    // The fields joined with the separator; no fields give the empty text.
    JexString Text() const;
    // Appends that text to out.
    void AppendText(JexString& out) const;
    // The length of that text, and the text written at out (TextLength()
    // bytes, no NUL) for a caller that writes it in place; returns its end.
    int TextLength() const;
    char* CopyText(char* out) const;

    int Count() const { return count; }
    char Separator() const { return separator; }
    void SetSeparator(char c) { separator = c; }

private:
    void CopyFields(const JexFieldedString& other);
    // Takes the other's fields; this list holds none, count is the other's.
    void TakeFields(JexFieldedString& other);
    // A field holding what from held (its bytes and case flag): one of the
    // list's own string objects while one is free, else one from the heap
    // (null when none can be had).
    JexString* MakeField(JexString& from);
    void DeleteField(JexString* field);

    // A list of up to kInline fields keeps their pointers in inline_ rather
    // than in an array of its own, and up to kInline fields are objects of
    // own_. Slots of inline_ that hold no field of the list are null; a
    // free object of own_ has no storage and the case flag 1.
    static constexpr int kInline = 4;
    int count = 0;
    JexString** fields = nullptr;  // null, inline_ or an array from the heap
    JexString* inline_[kInline] = {};
    JexString own_[kInline];
    unsigned ownUsed_ = 0;  // bit k: own_[k] is a field of the list
    char separator;
};
