// Tests of the single-pass wildcard matcher.
#include "jexlink/core/JexWildcardMatch.h"

#include <gtest/gtest.h>

#include "jexlink/core/JexString.h"

namespace {

TEST(JexWildcardMatch, Cases) {
    struct Case {
        const char* pattern;
        const char* text;
        int expected;
    } cases[] = {
        {"*", "", 1},           {"*", "anything at all", 1},
        {"**", "x", 1},         {"", "", 1},
        {"", "x", 0},           {"a*", "a", 1},
        {"a*", "abcdef", 1},    {"a*", "b", 0},
        {"?", "", 0},           {"?", "x", 1},
        {"?", "xy", 0},         {"%", "x", 1},
        {"a?c", "abc", 1},      {"a%c", "abc", 1},
        {"a?c", "abd", 0},      {"a*b*c", "abc", 1},
        {"a*b*c", "a-b--c", 1}, {"a*b*c", "abx", 0},
        {"*ab", "aab", 0},  // anchors at the first 'a' and never tries the second
        {"*ab", "xab", 1},      {"*.dat", "route.dat", 1},
        {"A*", "abc", 0},       {"abc", "ABC", 0},
        {"*a*b", "ba", 0},  // text used up with "b" still to match
        {"*a*b", "ab", 1},      {"*a*", "ba", 1},
        {"a**", "a", 1},        {"*?", "x", 0},  // "?" after a star is searched for as itself
        {"*?", "why?", 1},      {"node*", "node", 1},
        {"ab", "abc", 0},       {nullptr, "", 1},
        {"*", nullptr, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JexWildcardMatch(c.pattern, c.text), c.expected)
            << (c.pattern ? c.pattern : "null") << " / " << (c.text ? c.text : "null");
    }
}

TEST(JexWildcardMatch, StringOperatorsTakeLeftAsPattern) {
    EXPECT_EQ(JexWildcardMatch(JexString("n*"), JexString("node")), 1);
    EXPECT_EQ(JexStringMatch(JexString("n*"), "node"), 1);
    EXPECT_EQ(JexStringMatch("node", JexString("n*")), 0);
    EXPECT_EQ(JexStringMatch(JexString(), JexString()), 1);
}

TEST(JexWildcardMatch, EitherWayRound) {
    EXPECT_EQ(JexWildcardMatchEither("node7", "node*"), 1);
    EXPECT_EQ(JexWildcardMatchEither("node*", "node7"), 1);
    EXPECT_EQ(JexWildcardMatchEither("node7", "node8"), 0);
    EXPECT_EQ(JexWildcardMatchEither(JexString("a?"), JexString("ab")), 1);
}

}  // namespace
