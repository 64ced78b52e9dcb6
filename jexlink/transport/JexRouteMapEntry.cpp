// One entry of the route map table and its line in the route map file.
#include "jexlink/transport/JexRouteMapEntry.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes 1 to 32 separate fields; bytes 128 to 255 are field characters.
bool IsSeparator(unsigned char c) { return c >= 1 && c <= 32; }

// Only A-Z and a-z change case, whatever the process's locale.
void LowerAscii(std::string& s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
}

void UpperAscii(std::string& s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
}

JexString Lower(const char* text) {
    std::string s(text ? text : "");
    LowerAscii(s);
    return JexString(s.c_str());
}

JexString Upper(const char* text) {
    std::string s(text ? text : "");
    UpperAscii(s);
    return JexString(s.c_str());
}

// The next field at or after `at`: skips a run of separators, then takes
// the bytes up to the next separator or the end.
std::string NextField(const std::string& s, size_t& at) {
    while (at < s.size() && IsSeparator(static_cast<unsigned char>(s[at]))) ++at;
    const size_t start = at;
    while (at < s.size() && !IsSeparator(static_cast<unsigned char>(s[at]))) ++at;
    return s.substr(start, at - start);
}

int PreferenceOf(const std::string& field) {
    if (field.empty()) return JexRouteMapEntry::kUnsetPreference;
    errno = 0;
    long value = std::strtol(field.c_str(), nullptr, 0);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    // 0 means "no preference given", except the explicit "-0" of a learned line.
    if (value == 0 && field[0] != '-') return JexRouteMapEntry::kUnsetPreference;
    return static_cast<int>(value);
}

bool StorableText(const JexString& text, bool mayBeEmpty) {
    const char* t = text.Text();
    const size_t n = std::strlen(t);
    if (n == 0) return mayBeEmpty;
    if (n > static_cast<size_t>(JexRouteMapEntry::kMaxField)) return false;
    for (size_t i = 0; i < n; ++i)
        if (IsSeparator(static_cast<unsigned char>(t[i])) || t[i] == '#') return false;
    return true;
}

}  // namespace

JexRouteMapEntry::JexRouteMapEntry(const char* p, const char* a, int pref, const char* f)
    : pattern(Lower(p)), address(Lower(a)), preference(pref), flags(Upper(f)) {
    score = Score(pattern.Text());
}

bool JexRouteMapEntry::ParseLine(const std::string& line) {
    // The line is text: a NUL ends it, and "#" starts the comment.
    std::string text(line.c_str());
    const size_t hash = text.find('#');
    if (hash != std::string::npos) text.resize(hash);
    // The newline counts: a lone character with its newline is an entry.
    if (text.size() < 2) return false;
    LowerAscii(text);

    size_t at = 0;
    const std::string f1 = NextField(text, at);
    const std::string f2 = NextField(text, at);
    const std::string f3 = NextField(text, at);
    std::string f4 = NextField(text, at);
    if (f1.empty() && f2.empty()) return false;
    UpperAscii(f4);

    pattern = f1.c_str();
    address = f2.c_str();
    preference = PreferenceOf(f3);
    flags = f4.c_str();
    score = Score(pattern.Text());
    return true;
}

std::string JexRouteMapEntry::FormatLine(const std::string& comment) const {
    std::string line = pattern.Text();
    line += '\t';
    line += address.Text();
    line += '\t';
    line += preference == 0 ? "-0" : std::to_string(preference);
    line += '\t';
    line += flags.Text();
    line += "\t# ";
    // The comment may carry a peer's text: it stays on this one line and
    // within the length the reader keeps.
    for (const char c : comment) {
        if (line.size() + 1 >= kMaxLine || c == 0) break;
        line += static_cast<unsigned char>(c) < 32 ? ' ' : c;
    }
    line += '\n';
    return line;
}

bool JexRouteMapEntry::Storable() const {
    return StorableText(pattern, false) && StorableText(address, false) &&
           StorableText(flags, true);
}

bool JexRouteMapEntry::SameAs(const JexRouteMapEntry& other) const {
    return pattern.Compare(other.pattern) == 0 && address.Compare(other.address) == 0 &&
           preference == other.preference && flags.Compare(other.flags) == 0;
}

int JexRouteMapEntry::Score(const char* p) {
    if (!p || !*p) return 0;
    int score = 1;
    for (; *p; ++p) score += *p == '/';
    return score;
}

int JexRouteMapEntry::Compare(const JexRouteMapEntry& a, const JexRouteMapEntry& b) {
    if (a.score != b.score) return a.score > b.score ? -1 : 1;
    if (a.preference != b.preference) return a.preference < b.preference ? -1 : 1;
    if (int r = std::strcmp(a.pattern.Text(), b.pattern.Text())) return r;
    return std::strcmp(a.address.Text(), b.address.Text());
}

bool JexRouteMapEntry::ReadLine(FILE* file, std::string& line, bool* tooLong) {
    line.clear();
    *tooLong = false;
    bool any = false;
    for (int c; (c = std::getc(file)) != EOF;) {
        any = true;
        if (!*tooLong && line.size() < kMaxLine) {
            line.push_back(static_cast<char>(c));
        } else if (!*tooLong) {
            *tooLong = true;
            line.clear();
        }
        if (c == '\n') break;
    }
    return any;
}
