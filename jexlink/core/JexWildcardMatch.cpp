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

    const size_t patternLength = std::strlen(pattern);
    const size_t textLength = std::strlen(text);
    size_t stars = 0;
    for (const char* p = pattern; *p; ++p) stars += *p == '*';
    if (textLength < patternLength - stars) return 0;

    const char* lastStar = std::strrchr(pattern, '*');
    if (!lastStar) return patternLength == textLength && SameRun(pattern, text, textLength);

    // What follows the last "*" must cover the end of the text.
    const size_t tail = patternLength - static_cast<size_t>(lastStar + 1 - pattern);
    if (!SameRun(lastStar + 1, text + textLength - tail, tail)) return 0;

    // The rest of the pattern, which ends in that "*", against the rest of
    // the text. A mismatch moves back to the last "*" seen and lets it take
    // one more character: no recursion, no allocation.
    const char* p = pattern;
    const char* t = text;
    const char* const textEnd = text + textLength - tail;
    const char* resumeP = nullptr;
    const char* resume_t = nullptr;
    while (t < textEnd) {
        if (p == lastStar) return 1;  // the last "*" takes the rest
        if (*p == '*') {
            while (*p == '*' && p != lastStar) ++p;
            if (p == lastStar) return 1;
            resumeP = p;
            resume_t = t;
            continue;
        }
        if (AnyOne(*p) || *p == *t) {
            ++p;
            ++t;
            continue;
        }
        if (!resumeP) return 0;
        p = resumeP;
        t = ++resume_t;
    }
    // The text is used up: only stars may remain of the pattern.
    while (*p == '*' && p != lastStar) ++p;
    return p == lastStar ? 1 : 0;
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
