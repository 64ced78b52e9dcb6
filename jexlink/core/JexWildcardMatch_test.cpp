// Tests of the wildcard matcher.
#include "jexlink/core/JexWildcardMatch.h"

#include <gtest/gtest.h>

#include <string>

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
        {"*ab", "xab", 1},      {"*.dat", "route.dat", 1},
        {"A*", "abc", 0},       {"abc", "ABC", 0},
        {"*a*b", "ba", 0},  // text used up with "b" still to match
        {"*a*b", "ab", 1},      {"*a*", "ba", 1},
        {"a**", "a", 1},        {"*?", "why?", 1},
        {"node*", "node", 1},   {"ab", "abc", 0},
        {nullptr, "", 1},       {"*", nullptr, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JexWildcardMatch(c.pattern, c.text), c.expected)
            << (c.pattern ? c.pattern : "null") << " / " << (c.text ? c.text : "null");
    }
}

// "*" is any run of characters: matches that need it to take more than the
// run up to the first occurrence of what follows it.
TEST(JexWildcardMatch, StarRetriesLaterOccurrences) {
    struct Case {
        const char* pattern;
        const char* text;
        int expected;
    } cases[] = {
        {"*ab", "aab", 1},
        {"*.dat", "a.b.dat", 1},
        {"*?", "x", 1},
        {"*%", "x", 1},
        {"a*b*c", "abcbc", 1},
        {"a*bc*d", "abxbcd", 1},
        {"*a?c*", "xabdabc", 1},
        {"*aab", "aaab", 1},
        {"x*?y", "xzy", 1},
        {"x*?y", "xy", 0},
        {"*abc", "ababc", 1},
        {"*abc", "ababd", 0},
        {"**a**b**", "xxbxxa", 0},
        {"jex_*_*.dat", "jex_route_map.dat", 1},
        {"*_map.dat", "jex_map_map.dat", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JexWildcardMatch(c.pattern, c.text), c.expected) << c.pattern << " / " << c.text;
}

TEST(JexWildcardMatch, LongInputsWithManyStars) {
    const std::string text(100000, 'a');
    std::string stars;
    for (int i = 0; i < 1000; ++i) stars += "*a";
    EXPECT_EQ(JexWildcardMatch((stars + "*").c_str(), text.c_str()), 1);
    EXPECT_EQ(JexWildcardMatch((stars + "b").c_str(), text.c_str()), 0);
    EXPECT_EQ(JexWildcardMatch((stars + "*b*").c_str(), text.c_str()), 0);
    EXPECT_EQ(JexWildcardMatch(std::string(5000, '*').c_str(), text.c_str()), 1);
    EXPECT_EQ(JexWildcardMatch(("*" + text).c_str(), text.c_str()), 1);
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
