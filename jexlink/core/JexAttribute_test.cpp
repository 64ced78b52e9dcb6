// Attribute tables: lookup, names and the order of the faults the check reports.
#include "jexlink/core/JexAttribute.h"

#include <gtest/gtest.h>

namespace {

constexpr JexAttrRow kRows[] = {
    {1, "COUNT", JexAttrKind::kInt, false},     {2, "NAME", JexAttrKind::kText, false},
    {3, "STATE", JexAttrKind::kBoth, true},     {4, "PATH", JexAttrKind::kText, true},
    {5, "RESERVED", JexAttrKind::kNone, false}, {7, nullptr, JexAttrKind::kText, false},
};
constexpr JexAttrCodes kCodes{10, 11, 12, 13};

TEST(JexAttributeTest, NamesComeFromRowsOrTheUnknownText) {
    EXPECT_STREQ(JexAttrName(kRows, 1, "?"), "COUNT");
    EXPECT_STREQ(JexAttrName(kRows, 5, "?"), "RESERVED");
    EXPECT_STREQ(JexAttrName(kRows, 7, "?"), "?");  // a row without a name
    EXPECT_STREQ(JexAttrName(kRows, 6, "?"), "?");  // a gap in the numbers
    EXPECT_STREQ(JexAttrName(kRows, -1, "?"), "?");
    EXPECT_EQ(JexFindAttr(kRows, 6), nullptr);
    EXPECT_EQ(JexFindAttr({}, 1), nullptr);
}

TEST(JexAttributeTest, CheckReportsTheFirstFault) {
    using K = JexAttrKind;
    using A = JexAttrAccess;
    const struct {
        int number;
        K kind;
        A access;
        int code;
    } cases[] = {
        {1, K::kInt, A::kGet, 0},   {1, K::kInt, A::kSet, 0},  {1, K::kText, A::kGet, 12},
        {2, K::kText, A::kSet, 0},  {2, K::kInt, A::kSet, 11}, {3, K::kInt, A::kGet, 0},
        {3, K::kText, A::kGet, 0},  {3, K::kInt, A::kSet, 13}, {3, K::kText, A::kSet, 13},
        {4, K::kInt, A::kSet, 11},  // the kind is checked before read-only
        {4, K::kText, A::kSet, 13}, {5, K::kInt, A::kGet, 10}, {5, K::kText, A::kSet, 10},
        {6, K::kInt, A::kGet, 10},  {7, K::kText, A::kGet, 0}, {0, K::kInt, A::kGet, 10},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JexAttrCheck(kRows, c.number, c.kind, c.access, kCodes), c.code)
            << c.number << " " << static_cast<int>(c.kind) << " " << static_cast<int>(c.access);
    }
}

}  // namespace
