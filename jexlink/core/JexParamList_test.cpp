// Tests of the parameter lists and the candidate arrays built from three lists.
#include "jexlink/core/JexParamList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/support/JexConfigTestSupport.h"

namespace {

using tavro::testing::WriteList;
using tavro::testing::WriteText;

class JexParamListTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tavro::testing::CreateSettingsKeys()); }
};

std::vector<std::string> Fields(JexFieldedString list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.emplace_back(list[i].Text());
    return out;
}

TEST_F(JexParamListTest, BuildParamListSplitsElementsAtCommasUpToTheFirstEmpty) {
    EXPECT_EQ(BuildParamList("Absent").Count(), 0);
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {"a,b", "c", "", "d"}));
    JexFieldedString list = BuildParamList("Local.Domain");
    EXPECT_EQ(Fields(list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(list.Separator(), ',');
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Local.Node", "x,y"));
    EXPECT_EQ(Fields(BuildParamList("Local.Node")), (std::vector<std::string>{"x", "y"}));
}

TEST_F(JexParamListTest, GetConfigdataArrayCopiesOnlyWhenEverythingFits) {
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Nodes", {"n1", "node-two"}));
    char b0[16] = "untouched", b1[16] = "untouched", b2[16] = "untouched";
    char* buffers[] = {b0, b1, b2};
    int count = -1;
    EXPECT_EQ(GetConfigdataArray("Nodes", buffers, 3, sizeof b0, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(b0, "n1");
    EXPECT_STREQ(b1, "node-two");
    EXPECT_STREQ(b2, "untouched");

    struct Case {
        const char* name;
        int bufferCount;
        size_t bufferSize;
    } refused[] = {{"too few buffers", 1, 16}, {"item too long", 3, 8}, {"no room for NUL", 3, 2}};
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        std::strcpy(b0, "untouched");
        count = -1;
        EXPECT_EQ(GetConfigdataArray("Nodes", buffers, c.bufferCount, c.bufferSize, &count), 0);
        EXPECT_EQ(count, 2);
        EXPECT_STREQ(b0, "untouched");
    }
    count = -1;
    EXPECT_EQ(GetConfigdataArray("Absent", nullptr, 0, 0, &count), 1);
    EXPECT_EQ(count, 0);
}

struct ArrayCase {
    const char* name;
    const char* first;
    const char* extra[3];
    const char* source[3];
    const char* last;
    std::vector<std::string> expected;
};

std::vector<std::string> Build(const ArrayCase& c, int* countOut = nullptr) {
    char** array = reinterpret_cast<char**>(1);
    int count = -2;
    BuildParamArray(c.first, c.extra[0], c.extra[1], c.extra[2], c.source[0], c.source[1],
                    c.source[2], c.last, '/', ':', &array, &count);
    if (countOut) *countOut = count;
    std::vector<std::string> out;
    if (!array) return out;
    for (int i = 0; i < count; ++i) out.emplace_back(array[i] ? array[i] : "(null)");
    EXPECT_EQ(array[count], nullptr);
    FreeParamArray(&array);
    EXPECT_EQ(array, nullptr);
    return out;
}

TEST_F(JexParamListTest, BuildParamArrayCombinesThreeLists) {
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Domains", {"d1", "d2"}));
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Nodes", {"n1", "n1", "n2"}));
    const ArrayCase cases[] = {
        {"all empty", nullptr, {}, {}, nullptr, {}},
        {"all empty texts", "", {"", "", ""}, {"", "", ""}, "", {}},
        {"a lone star is literal", nullptr, {}, {"*", nullptr, nullptr}, nullptr, {"*"}},
        {"an empty setting leaves the list absent", nullptr, {}, {"*Absent", "x", "y"}, "L", {"L"}},
        {"list 1 only", nullptr, {}, {"*Domains", nullptr, nullptr}, nullptr, {"d1", "d2"}},
        {"list 2 named but empty: the separator stays",
         nullptr,
         {},
         {"a", "*Absent", nullptr},
         nullptr,
         {"a/"}},
        {"lists 1 and 2",
         nullptr,
         {},
         {"*Domains", "*Nodes", nullptr},
         nullptr,
         {"d1/n1", "d1/n2", "d2/n1", "d2/n2"}},
        {"three lists, list 1 outermost",
         nullptr,
         {},
         {"*Domains", "*Nodes", "app"},
         nullptr,
         {"d1/n1:app", "d1/n2:app", "d2/n1:app", "d2/n2:app"}},
        {"list 3 without list 2 gives nothing", nullptr, {}, {"a", nullptr, "c"}, nullptr, {}},
        {"extra items come first",
         nullptr,
         {"e1,e2", nullptr, nullptr},
         {"s", nullptr, nullptr},
         nullptr,
         {"e1", "e2", "s"}},
        {"extra items alone", nullptr, {"e1", nullptr, nullptr}, {}, nullptr, {"e1"}},
        {"repeats inside a list give one combination",
         nullptr,
         {"x,x", nullptr, nullptr},
         {"x", "y", nullptr},
         nullptr,
         {"x/y"}},
        {"first and last listed once", "a/b", {}, {"a", "b", nullptr}, "a/b", {"a/b"}},
        {"first leads, last ends", "F", {}, {"a", "b", nullptr}, "L", {"F", "a/b", "L"}},
        {"last already produced", nullptr, {}, {"a", "b", nullptr}, "a/b", {"a/b"}},
    };
    for (const ArrayCase& c : cases) {
        SCOPED_TRACE(c.name);
        int count = -2;
        EXPECT_EQ(Build(c, &count), c.expected);
        EXPECT_EQ(count, static_cast<int>(c.expected.size()));
    }
}

TEST_F(JexParamListTest, BuildParamArrayRefusesTooManyCombinations) {
    std::string items;
    for (int i = 0; i < 100; ++i) items += "i" + std::to_string(i) + ",";
    const ArrayCase c = {"huge",          nullptr, {items.c_str(), items.c_str(), items.c_str()},
                         {"a", "b", "c"}, nullptr, {}};
    int count = 0;
    EXPECT_TRUE(Build(c, &count).empty());
    EXPECT_EQ(count, -1);
    const ArrayCase two = {"two lists",         nullptr, {items.c_str(), items.c_str(), nullptr},
                           {"a", "b", nullptr}, nullptr, {}};
    EXPECT_EQ(Build(two, &count).size(), 101u * 101u);
}

TEST(JexParamArray, FreeOfNothingIsHarmless) {
    FreeParamArray(nullptr);
    char** none = nullptr;
    FreeParamArray(&none);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
