// Wildcard match of a text against a pattern with "*", "?" and "%".
#include "jexlink/core/JexWildcardMatch.h"

#include <cstring>

#include "jexlink/core/JexString.h"

namespace {

bool AnyOne(char c) { return c == '?' || c == '%'; }

// n pattern characters without "*" against n text characters.
bool SameRun(const char* p, const char* t, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!AnyOne(p[i]) && p[i] != t[i]) return false;
    return true;
}

}  // namespace

int JexWildcardMatch(const char* pattern, const char* text) {
    if (!pattern) pattern = "";
    if (!text) text = "";

    const size_t pattern_length = std::strlen(pattern);
    const size_t text_length = std::strlen(text);
    size_t stars = 0;
    for (const char* p = pattern; *p; ++p) stars += *p == '*';
    if (text_length < pattern_length - stars) return 0;

    const char* last_star = std::strrchr(pattern, '*');
    if (!last_star) return pattern_length == text_length && SameRun(pattern, text, text_length);

    // What follows the last "*" must cover the end of the text.
    const size_t tail = pattern_length - static_cast<size_t>(last_star + 1 - pattern);
    if (!SameRun(last_star + 1, text + text_length - tail, tail)) return 0;

    // The rest of the pattern, which ends in that "*", against the rest of
    // the text. A mismatch moves back to the last "*" seen and lets it take
    // one more character: no recursion, no allocation.
    const char* p = pattern;
    const char* t = text;
    const char* const text_end = text + text_length - tail;
    const char* resume_p = nullptr;
    const char* resume_t = nullptr;
    while (t < text_end) {
        if (p == last_star) return 1;  // the last "*" takes the rest
        if (*p == '*') {
            while (*p == '*' && p != last_star) ++p;
            if (p == last_star) return 1;
            resume_p = p;
            resume_t = t;
            continue;
        }
        if (AnyOne(*p) || *p == *t) {
            ++p;
            ++t;
            continue;
        }
        if (!resume_p) return 0;
        p = resume_p;
        t = ++resume_t;
    }
    // The text is used up: only stars may remain of the pattern.
    while (*p == '*' && p != last_star) ++p;
    return p == last_star ? 1 : 0;
}

int JexWildcardMatch(const JexString& pattern, const JexString& text) {
    return JexWildcardMatch(pattern.Text(), text.Text());
}

int JexWildcardMatchEither(const char* a, const char* b) {
    return JexWildcardMatch(a, b) || JexWildcardMatch(b, a) ? 1 : 0;
}

int JexWildcardMatchEither(const JexString& a, const JexString& b) {
    return JexWildcardMatchEither(a.Text(), b.Text());
}
