// Fuzz target: the wildcard matcher on arbitrary patterns and texts, against a plain reference.
//
// Reaches: pattern matching of any pattern and text against a reference matcher, and the either-way
// match.
// Cannot reach: texts above 4 KiB.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "jexlink/core/JexWildcardMatch.h"

namespace {

// Whole-text match by dynamic programming over prefixes: "*" any run, "?"
// and "%" one character.
int Reference(const std::string& p, const std::string& t) {
    std::vector<char> row(t.size() + 1, 0), next(t.size() + 1, 0);
    row[0] = 1;
    for (char c : p) {
        next.assign(t.size() + 1, 0);
        if (c == '*') {
            char any = 0;
            for (size_t j = 0; j <= t.size(); ++j) next[j] = any = static_cast<char>(any | row[j]);
        } else {
            for (size_t j = 1; j <= t.size(); ++j)
                next[j] = row[j - 1] && (c == '?' || c == '%' || c == t[j - 1]);
        }
        row.swap(next);
    }
    return row[t.size()];
}

}  // namespace

// The input is the pattern, a NUL byte, and the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string pattern = input.substr(0, split);
    std::string text = split == std::string::npos ? std::string() : input.substr(split + 1);
    text = text.substr(0, text.find('\0'));
    const int got = JexWildcardMatch(pattern.c_str(), text.c_str());
    if (got != Reference(pattern, text)) std::abort();
    if (JexWildcardMatchEither(pattern.c_str(), text.c_str()) !=
        (got || JexWildcardMatch(text.c_str(), pattern.c_str())))
        std::abort();
    return 0;
}
