// Tests of JexList: appends, access by index, removal and index errors.
#include "jexlink/modem/JexList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int32_t> Contents(JexList& list) {
    std::vector<int32_t> out;
    for (uint32_t i = 0; i < list.Count(); ++i) out.push_back(list[i]);
    return out;
}

TEST(JexList, AppendKeepsOrderAndIndexWritesInPlace) {
    JexList list;
    EXPECT_EQ(list.Count(), 0u);
    for (int32_t v : {7, 8, 9}) list.Append(v);
    EXPECT_EQ(Contents(list), (std::vector<int32_t>{7, 8, 9}));
    std::swap(list[0], list[2]);
    EXPECT_EQ(Contents(list), (std::vector<int32_t>{9, 8, 7}));
}

TEST(JexList, YankUnlinksHeadMiddleAndTail) {
    struct Case {
        uint32_t index;
        std::vector<int32_t> left;
    };
    for (const Case& c : {Case{0, {2, 3, 4}}, Case{1, {1, 3, 4}}, Case{3, {1, 2, 3}}}) {
        JexList list;
        for (int32_t v : {1, 2, 3, 4}) list.Append(v);
        list.Yank(c.index);
        EXPECT_EQ(Contents(list), c.left) << "index " << c.index;
        // The tail stays right: an append after removing the last node follows it.
        list.Append(5);
        EXPECT_EQ(list[list.Count() - 1], 5);
    }
}

TEST(JexList, IndexErrorsAreReportedAndChangeNothing) {
    JexList list;
    list.Append(1);
    testing::internal::CaptureStderr();
    int32_t& scratch = list[1];
    scratch = 42;
    list.Yank(5);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("*** JexList::operator [] index error\n\tlist size=1, offending index=1\n"),
              std::string::npos);
    EXPECT_NE(err.find("*** JexList::Yank index error\n\tlist size=1, offending index=5\n"),
              std::string::npos);
    EXPECT_EQ(Contents(list), std::vector<int32_t>{1});
}

TEST(JexList, LongListIsFreedWithoutRecursion) {
    JexList list;
    for (int32_t i = 0; i < 200000; ++i) list.Append(i);
    EXPECT_EQ(list.Count(), 200000u);
}

}  // namespace
