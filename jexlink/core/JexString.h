// Text strings with a case-sensitivity flag, and the case-folding compare.
#pragma once

#include "jexlink/core/JexBuffer.h"

// A buffer that holds text. The text is the bytes up to the first NUL; the
// text operations work on that, not on the used length. Two strings compare
// case-sensitively only when both carry the case flag (1 unless cleared).
class JexString : public JexBufferBase {
public:
    JexString() = default;
    JexString(const char* text) : JexBufferBase(text) {}
    JexString(const char* text, int caseFlag) : JexBufferBase(text), case_sensitive(caseFlag) {}
    JexString(const JexString& other) = default;
    // A string of n bytes (which may hold NULs; the text ends at the first).
    static JexString FromBytes(const void* bytes, int n);

    // Copies the text; null frees the string.
    JexString& operator=(const char* text);
    // Copies the other's text up to its first NUL; the case flag stays.
    JexString& operator=(const JexString& other);

    JexString& operator+=(const char* text);  // null or empty appends nothing
    JexString& operator+=(const JexString& other);
    JexString& operator+=(char c);

    // Set the used length to the text length, then append.
    JexString& Append(const char* text);
    JexString& Append(char c);
    // Sets the used length to the text length; a text running past the used
    // length is an index error.
    void SyncLength();

    // The text (never null: a string without storage is "").
    const char* Text() const { return data ? data : ""; }
    int CaseSensitive() const { return case_sensitive; }
    void SetCaseSensitive(int flag) { case_sensitive = flag; }

    int Compare(const JexString& other) const;
    int Compare(const char* text) const;

    // Offsets into the text, -1 when absent or when either side is null.
    int Find(const char* text) const;
    int FindChar(char c) const;
    int FindAny(const char* set) const;
    int FindLast(const char* text) const;
    int FindLastChar(char c) const;
    // Leading characters equal to the text's; -1 when the texts are equal.
    int MatchLength(const char* text) const;

    void ToLower();
    void ToUpper();
    JexString LowerCopy() const;
    JexString UpperCopy() const;

    void TrimTrailing();
    void TrimLeading();
    void Trim();
    JexString TrimCopy() const;
    JexString TrimLeadingCopy() const;
    JexString TrimTrailingCopy() const;
    // Rewrite the text in place; the used length is kept (SyncLength brings
    // it back) and every byte up to it past the new text end is NUL.
    void RemoveSpace();
    JexString RemoveSpaceCopy() const;
    void Collapse();
    JexString CollapseCopy() const;

    void Pad(int n, char fill);
    JexString PadCopy(int n, char fill) const;
    void RightJustify(int n, char fill);
    JexString RightJustifyCopy(int n, char fill) const;

    JexString UpTo(const char* set) const;
    JexString Span(const char* set) const;
    // The first or last n characters of the text (all of it when shorter).
    JexString Left(int n) const;
    JexString Right(int n) const;

private:
    int TextLength() const;
    void SetText(const char* text, int n);
    // Blanks the bytes from the text end up to the used length.
    void ClearTail(int from);

    int case_sensitive = 1;
};

// Case-insensitive compare: A-Z and bytes 193-218 fold to the byte plus 32.
int JexStrCaseCmp(const char* a, const char* b);

JexString operator+(const JexString& a, const JexString& b);
JexString operator+(const JexString& a, const char* b);
JexString operator+(const char* a, const JexString& b);

// Wildcard match with the left operand as the pattern.
int JexStringMatch(const JexString& pattern, const JexString& text);
int JexStringMatch(const JexString& pattern, const char* text);
int JexStringMatch(const char* pattern, const JexString& text);

// A copy (text and flag) of value when its text is not empty, else of fallback.
JexString JexStringOrDefault(const JexString& value, const JexString& fallback);
