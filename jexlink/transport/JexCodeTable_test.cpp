// Tests of the code/name table look-ups and the protocol-version comparison.
#include "jexlink/transport/JexCodeTable.h"

#include <gtest/gtest.h>

#include "jexlink/core/JexString.h"

namespace {

const JexCodeName kMethods[] = {
    {0, "NULL"}, {1, "MD5"}, {2, "PASSWORD"}, {7, "MD5"}, {-1, "Unknown method"},
};

TEST(JexCodeTable, CodeToText) {
    struct Case {
        int32_t code;
        const char* text;
    } const cases[] = {
        {0, "NULL"}, {2, "PASSWORD"}, {7, "MD5"}, {3, "Unknown method"}, {-1, "Unknown method"},
    };
    for (const Case& c : cases) EXPECT_STREQ(jex_code_text(kMethods, c.code), c.text) << c.code;
}

TEST(JexCodeTable, TextToCodeIgnoresCase) {
    struct Case {
        const char* text;
        int32_t code;
    } const cases[] = {
        {"md5", 1},  // first of two rows with the name
        {"Password", 2},
        {"NULL", 0},
        {"MD", -1},
        {"MD55", -1},
        {"Unknown method", -1},  // the end pair is not a row
        {nullptr, -1},
        {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(jex_text_code(kMethods, c.text), c.code) << (c.text ? c.text : "(null)");
}

TEST(JexCodeTable, VersionsDifferOnlyBeforeTheFirstDot) {
    struct Case {
        JexString a;
        JexString b;
        int differ;
    } const cases[] = {
        {"2.32", "2.7", 0},
        {"3.0", "2.32", 1},
        {"2", "2.1.9", 0},
        {"", "", 0},
        {"", ".5", 0},
        {"10.1", "1.10", 1},
        {JexString("v2.1", 0), "V2.9", 0},  // a case-blind text compares without case
        {"v2.1", "V2.9", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(jex_versions_differ(c.a, c.b), c.differ) << c.a.Text() << " / " << c.b.Text();
}

}  // namespace
