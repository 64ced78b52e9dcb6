// Wildcard match of a text against a pattern with "*", "?" and "%".
#pragma once

class JexString;

// 1 when the whole text fits the whole pattern, else 0. "*" is any run of
// characters (several act as one), "?" and "%" exactly one character, any
// other character itself, case-sensitively; there is no escape. Null texts
// count as empty. No recursion and no allocation: after a mismatch the match
// moves back to the last "*" only, so the work is bounded by the pattern's
// length times the text's.
int JexWildcardMatch(const char* pattern, const char* text);
int JexWildcardMatch(const JexString& pattern, const JexString& text);

// 1 when either text, taken as the pattern, matches the other.
int JexWildcardMatchEither(const char* a, const char* b);
int JexWildcardMatchEither(const JexString& a, const JexString& b);
