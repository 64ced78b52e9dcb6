// Wildcard match of a text against a pattern with "*", "?" and "%".
#include "jexlink/core/JexWildcardMatch.h"

#include <cstring>

#include "jexlink/core/JexString.h"

namespace {

bool AnyOne(char c) { return c == '?' || c == '%'; }

bool OnlyStars(const char* p) {
    while (*p == '*') ++p;
    return *p == 0;
}

}  // namespace

int JexWildcardMatch(const char* pattern, const char* text) {
    if (!pattern) pattern = "";
    if (!text) text = "";

    size_t stars = 0;
    for (const char* p = pattern; *p; ++p) stars += *p == '*';
    if (std::strlen(text) < std::strlen(pattern) - stars) return 0;

    const char* p = pattern;
    const char* t = text;
    while (*t) {
        if (!*p) return 0;
        if (*p != '*') {
            if (!AnyOne(*p) && *p != *t) return 0;
            ++p;
            ++t;
            continue;
        }
        while (*p == '*') ++p;
        if (!*p) return 1;
        // Anchor at the first occurrence of the next pattern character,
        // compared as itself even when it is "?" or "%".
        t = std::strchr(t, *p);
        if (!t) return 0;
        // Match in step until both end, a mismatch, or the next star.
        while (*p != '*') {
            if (!*p && !*t) return 1;
            if (!*t || !*p) return 0;
            if (!AnyOne(*p) && *p != *t) return 0;
            ++p;
            ++t;
        }
    }
    // The text is used up: only stars may remain of the pattern.
    return OnlyStars(p) ? 1 : 0;
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
