// Text strings with a case-sensitivity flag, and the case-folding compare.
#include "jexlink/core/JexString.h"

#include <cctype>
#include <cstring>

#include "jexlink/core/JexWildcardMatch.h"

namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Folds A-Z and the bytes 193-218 to the byte plus 32; every other byte is itself.
struct FoldTable {
    unsigned char fold[256];
    FoldTable() {
        for (int i = 0; i < 256; ++i) fold[i] = static_cast<unsigned char>(i);
        for (int i = 65; i <= 90; ++i) fold[i] = static_cast<unsigned char>(i + 32);
        for (int i = 193; i <= 218; ++i) fold[i] = static_cast<unsigned char>(i + 32);
    }
};

const FoldTable kFold;

}  // namespace

int JexStrCaseCmp(const char* a, const char* b) {
    auto* x = reinterpret_cast<const unsigned char*>(a ? a : "");
    auto* y = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (;; ++x, ++y) {
        const int d = kFold.fold[*x] - kFold.fold[*y];
        if (d != 0 || *x == 0) return d;
    }
}

int JexString::TextLength() const { return data ? static_cast<int>(std::strlen(data)) : 0; }

void JexString::SetText(const char* text, int n) { AssignBytes(text, n); }

JexString JexString::FromBytes(const void* bytes, int n) {
    JexString s;
    if (n >= 0 && (bytes || n == 0)) s.AssignBytes(bytes, n);
    return s;
}

void JexString::ClearTail(int from) {
    if (data && from < used_length)
        std::memset(data + from, 0, static_cast<size_t>(used_length - from));
}

JexString& JexString::operator=(const char* text) {
    if (!text) {
        Free();
        return *this;
    }
    SetText(text, static_cast<int>(std::strlen(text)));
    return *this;
}

JexString& JexString::operator=(const JexString& other) {
    if (this == &other) return *this;
    if (!other.data) {
        Free();
        return *this;
    }
    SetText(other.data, other.TextLength());
    return *this;
}

JexString& JexString::operator+=(const char* text) {
    JexBufferBase::operator+=(text);
    return *this;
}

JexString& JexString::operator+=(const JexString& other) {
    AppendBytes(other.Text(), other.TextLength());
    return *this;
}

JexString& JexString::operator+=(char c) {
    AppendBytes(&c, 1);
    return *this;
}

void JexString::SyncLength() {
    if (!data) return;
    const int n = TextLength();
    if (n > used_length) {
        IndexError(n);
        return;
    }
    used_length = n;
}

JexString& JexString::Append(const char* text) {
    SyncLength();
    return *this += text;
}

JexString& JexString::Append(char c) {
    SyncLength();
    return *this += c;
}

int JexString::Compare(const JexString& other) const {
    if (case_sensitive && other.case_sensitive) return std::strcmp(Text(), other.Text());
    return JexStrCaseCmp(Text(), other.Text());
}

int JexString::Compare(const char* text) const {
    if (!text) text = "";
    return case_sensitive ? std::strcmp(Text(), text) : JexStrCaseCmp(Text(), text);
}

int JexString::Find(const char* text) const {
    if (!data || !text) return -1;
    const char* at = std::strstr(data, text);
    return at ? static_cast<int>(at - data) : -1;
}

int JexString::FindChar(char c) const {
    if (!data || c == 0) return -1;
    const char* at = std::strchr(data, c);
    return at ? static_cast<int>(at - data) : -1;
}

int JexString::FindAny(const char* set) const {
    if (!data || !set) return -1;
    const char* at = std::strpbrk(data, set);
    return at ? static_cast<int>(at - data) : -1;
}

int JexString::FindLast(const char* text) const {
    if (!data || !text) return -1;
    const int length = TextLength();
    if (!*text) return length;
    // One backward scan from the last place the text can start.
    const auto n = std::strlen(text);
    for (int at = length - static_cast<int>(n); at >= 0; --at)
        if (data[at] == text[0] && std::memcmp(data + at, text, n) == 0) return at;
    return -1;
}

int JexString::FindLastChar(char c) const {
    if (!data || c == 0) return -1;
    const char* at = std::strrchr(data, c);
    return at ? static_cast<int>(at - data) : -1;
}

int JexString::MatchLength(const char* text) const {
    if (!text) return 0;
    const char* mine = Text();
    int n = 0;
    while (mine[n] && mine[n] == text[n]) ++n;
    return mine[n] == text[n] ? -1 : n;
}

void JexString::ToLower() {
    for (int i = 0, n = TextLength(); i < n; ++i)
        data[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(data[i])));
}

void JexString::ToUpper() {
    for (int i = 0, n = TextLength(); i < n; ++i)
        data[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(data[i])));
}

JexString JexString::LowerCopy() const {
    JexString copy(*this);
    copy.ToLower();
    return copy;
}

JexString JexString::UpperCopy() const {
    JexString copy(*this);
    copy.ToUpper();
    return copy;
}

void JexString::TrimTrailing() {
    if (!data) return;
    int n = TextLength();
    while (n > 0 && IsSpace(data[n - 1])) --n;
    used_length = n;
    data[n] = 0;
}

void JexString::TrimLeading() {
    if (!data) return;
    const int n = TextLength();
    int k = 0;
    while (k < n && IsSpace(data[k])) ++k;
    std::memmove(data, data + k, static_cast<size_t>(n - k));
    used_length = n - k;
    data[used_length] = 0;
}

void JexString::Trim() {
    TrimTrailing();
    TrimLeading();
}

namespace {

// A copy of the text only, with the case flag 1, as the copying operations return.
JexString FreshCopy(const JexString& s) { return s.Data() ? JexString(s.Text()) : JexString(); }

}  // namespace

JexString JexString::TrimCopy() const {
    JexString copy = FreshCopy(*this);
    copy.Trim();
    return copy;
}

JexString JexString::TrimLeadingCopy() const {
    JexString copy = FreshCopy(*this);
    copy.TrimLeading();
    return copy;
}

JexString JexString::TrimTrailingCopy() const {
    JexString copy = FreshCopy(*this);
    copy.TrimTrailing();
    return copy;
}

void JexString::RemoveSpace() {
    if (!data) return;
    int w = 0;
    for (int r = 0; data[r]; ++r)
        if (!IsSpace(data[r])) data[w++] = data[r];
    data[w] = 0;
    ClearTail(w);
}

JexString JexString::RemoveSpaceCopy() const {
    JexString copy = FreshCopy(*this);
    copy.RemoveSpace();
    return copy;
}

void JexString::Collapse() {
    Trim();
    if (!data) return;
    int w = 0;
    for (int r = 0; data[r]; ++r) {
        if (!IsSpace(data[r])) {
            data[w++] = data[r];
            continue;
        }
        if (w > 0 && data[w - 1] != ' ') data[w++] = ' ';
    }
    data[w] = 0;
    ClearTail(w);
}

JexString JexString::CollapseCopy() const {
    JexString copy = FreshCopy(*this);
    copy.Collapse();
    return copy;
}

void JexString::Pad(int n, char fill) {
    if (n < 0) {
        IndexError(n);
        return;
    }
    const int textEnd = TextLength();
    if (!Resize(n)) return;
    if (n > textEnd) std::memset(data + textEnd, fill, static_cast<size_t>(n - textEnd));
}

JexString JexString::PadCopy(int n, char fill) const {
    JexString copy = FreshCopy(*this);
    copy.Pad(n, fill);
    return copy;
}

void JexString::RightJustify(int n, char fill) {
    if (n < 0) {
        IndexError(n);
        return;
    }
    SyncLength();
    const int t = used_length;
    if (t > n) {
        std::memmove(data, data + t - n, static_cast<size_t>(n));
        used_length = n;
        data[n] = 0;
        return;
    }
    if (t == n || fill == 0 || !Resize(n)) return;
    std::memmove(data + n - t, data, static_cast<size_t>(t));
    std::memset(data, fill, static_cast<size_t>(n - t));
}

JexString JexString::RightJustifyCopy(int n, char fill) const {
    JexString copy = FreshCopy(*this);
    copy.RightJustify(n, fill);
    return copy;
}

JexString JexString::UpTo(const char* set) const {
    const char* t = Text();
    return JexString::FromBytes(t, static_cast<int>(set ? std::strcspn(t, set) : std::strlen(t)));
}

JexString JexString::Span(const char* set) const {
    const char* t = Text();
    return JexString::FromBytes(t, static_cast<int>(set ? std::strspn(t, set) : 0));
}

JexString JexString::Left(int n) const {
    const int len = TextLength();
    return FromBytes(Text(), n <= 0 ? 0 : (n < len ? n : len));
}

JexString JexString::Right(int n) const {
    const int len = TextLength();
    const int k = n <= 0 ? 0 : (n < len ? n : len);
    return FromBytes(Text() + len - k, k);
}

JexString operator+(const JexString& a, const JexString& b) {
    JexString result(a.Text(), a.CaseSensitive());
    result += b;
    return result;
}

JexString operator+(const JexString& a, const char* b) {
    JexString result(a.Text(), a.CaseSensitive());
    result += b;
    return result;
}

JexString operator+(const char* a, const JexString& b) {
    JexString result(a);
    result += b;
    return result;
}

int JexStringMatch(const JexString& pattern, const JexString& text) {
    return JexWildcardMatch(pattern.Text(), text.Text());
}

int JexStringMatch(const JexString& pattern, const char* text) {
    return JexWildcardMatch(pattern.Text(), text);
}

int JexStringMatch(const char* pattern, const JexString& text) {
    return JexWildcardMatch(pattern, text.Text());
}

JexString JexStringOrDefault(const JexString& value, const JexString& fallback) {
    return *value.Text() ? value : fallback;
}
