// Tests of the registry layer: enumeration, multi-strings, tree deletion, numbers and records.
#include "jexlink/core/JexRegistryKey.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "jexlink/core/JexFieldedString.h"
#include "testing/support/KernelTestSupport.h"

namespace {

constexpr const char* kBase = "SOFTWARE\\JexRegistryKeyTest";

// Each test has a platform state of its own, so that the keys one test
// leaves do not meet the next when the tests run in one process.
class JexRegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = reg.CreateKey(HKEY_LOCAL_MACHINE, kBase, KEY_ALL_ACCESS, nullptr);
        ASSERT_NE(key_, nullptr);
    }
    void TearDown() override {
        if (key_) reg.CloseKey(key_);
    }
    tavro::testing::FreshState state_;
    JexRegistryKey reg;
    HKEY key_ = nullptr;
};

TEST_F(JexRegistryKeyTest, OpenAndCreateReportFailureAsNull) {
    DWORD disposition = 0;
    HKEY sub = reg.CreateKey(key_, "Sub", KEY_ALL_ACCESS, &disposition);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    reg.CloseKey(sub);
    EXPECT_EQ(reg.OpenKey(key_, "Missing", KEY_READ), nullptr);
    EXPECT_EQ(reg.OpenKey(key_, "Missing", KEY_READ, 0), nullptr);
    HKEY again = reg.OpenKey(key_, "sub", KEY_READ);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(reg.FlushKey(again), ERROR_SUCCESS);
    EXPECT_EQ(reg.CloseKey(again), ERROR_SUCCESS);
}

TEST_F(JexRegistryKeyTest, EnumerationListsEveryNameAndEndsWithNoMoreItems) {
    for (const char* name : {"Beta", "alpha", "Gamma"}) {
        HKEY sub = reg.CreateKey(key_, name, KEY_ALL_ACCESS, nullptr);
        ASSERT_NE(sub, nullptr);
        reg.CloseKey(sub);
    }
    ASSERT_EQ(reg.SetValue(key_, "Text", REG_SZ, "t"), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetDWord(key_, "Number", 7), ERROR_SUCCESS);
    ASSERT_EQ(
        reg.SetValue(key_, "List", REG_MULTI_SZ, reg.MultiString(JexFieldedString("a:b", ':'))),
        ERROR_SUCCESS);

    std::vector<std::string> keys{"existing"};
    EXPECT_EQ(reg.EnumKeys(key_, keys), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(keys, (std::vector<std::string>{"existing", "alpha", "Beta", "Gamma"}));

    std::vector<std::string> names;
    std::vector<uint32_t> types;
    EXPECT_EQ(reg.EnumValues(key_, names, types), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"Text", "Number", "List"}));
    EXPECT_EQ(types, (std::vector<uint32_t>{REG_SZ, REG_DWORD, REG_MULTI_SZ}));
    EXPECT_EQ(reg.EnumKeys(nullptr, keys), ERROR_INVALID_HANDLE);

    JexRegistryKey::KeyInfo info;
    ASSERT_EQ(reg.QueryInfo(key_, info), ERROR_SUCCESS);
    EXPECT_EQ(info.keyClass, "");
    EXPECT_EQ(info.subKeys, 3u);
    EXPECT_EQ(info.maxSubKeyLen, 5u);
    EXPECT_EQ(info.values, 3u);
    EXPECT_EQ(info.maxValueNameLen, 6u);
    EXPECT_EQ(info.maxValueLen, 5u);  // "a\0b\0\0"
    EXPECT_EQ(info.securityDescriptor, 0u);
    EXPECT_NE(info.lastWriteTime.dwHighDateTime, 0u);
    EXPECT_EQ(reg.QueryInfo(nullptr, info), ERROR_INVALID_HANDLE);
}

TEST_F(JexRegistryKeyTest, QueryValueGivesEachTypeAsText) {
    ASSERT_EQ(reg.SetValue(key_, "Text", REG_SZ, "hello"), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetDWord(key_, "Negative", 0xFFFFFFF6u), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetValue(key_, "List", REG_MULTI_SZ, std::string("x\0yy\0\0", 7).c_str()),
              ERROR_SUCCESS);
    DWORD type = 99;
    EXPECT_STREQ(reg.QueryValue(key_, "Text", &type).Text(), "hello");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(reg.QueryValue(key_, "Negative").Text(), "-10");
    JexString block = reg.QueryValue(key_, "List", &type);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(std::string(block.Data(), static_cast<size_t>(block.Length())),
              std::string("x\0yy\0\0", 6));
    EXPECT_STREQ(reg.QueryValue(key_, "Missing", &type).Text(), "");
    EXPECT_EQ(type, 0u);
}

TEST_F(JexRegistryKeyTest, OversizedListReadsWholeElementsOnly) {
    const std::string element(40000, 'e');
    std::string block = element + '\0' + element + '\0' + '\0';
    ASSERT_EQ(reg.SetValue(key_, "Big", REG_MULTI_SZ, block.c_str()), ERROR_SUCCESS);
    JexString read = reg.QueryValue(key_, "Big");
    std::vector<std::string> elements;
    JexRegistryKey::SplitMultiString(read.Data(), static_cast<size_t>(read.Length()), elements);
    EXPECT_EQ(elements, std::vector<std::string>{element});
}

TEST(JexRegistryKeyMultiString, BuildsAndSplitsBlocks) {
    JexRegistryKey reg;
    struct Case {
        const char* list;
        std::string block;
        std::vector<std::string> elements;
    } cases[] = {
        {"a:bc:d", std::string("a\0bc\0d\0\0", 8), {"a", "bc", "d"}},
        {"", std::string("\0", 1), {}},
        {"a::b", std::string("a\0b\0\0", 5), {"a", "b"}},
        {":", std::string("\0", 1), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const char* built = reg.MultiString(JexFieldedString(c.list, ':'));
        EXPECT_EQ(std::string(built, c.block.size()), c.block);
        std::vector<std::string> split;
        JexRegistryKey::SplitMultiString(built, c.block.size(), split);
        EXPECT_EQ(split, c.elements);
    }
}

TEST(JexRegistryKeyMultiString, SplitStaysInsideTheBlock) {
    struct Case {
        std::string block;
        std::vector<std::string> elements;
    } cases[] = {
        {std::string("ab", 2), {"ab"}},            // no NUL at all
        {std::string("ab\0cd", 5), {"ab", "cd"}},  // last element unterminated
        {std::string("\0x\0", 3), {}},             // empty block first
        {std::string(), {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> split;
        JexRegistryKey::SplitMultiString(c.block.data(), c.block.size(), split);
        EXPECT_EQ(split, c.elements);
    }
    std::vector<std::string> none;
    JexRegistryKey::SplitMultiString(nullptr, 10, none);
    EXPECT_TRUE(none.empty());
}

TEST_F(JexRegistryKeyTest, SetValueRefusesWhatItCannotMeasure) {
    EXPECT_EQ(reg.SetValue(key_, "Bad", REG_DWORD, "1"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(reg.SetValue(key_, "Bad", REG_SZ, nullptr), ERROR_INVALID_PARAMETER);
    std::string endless(JexRegistryKey::kMaxMultiStringChars + 10, 'z');
    EXPECT_EQ(reg.SetValue(key_, "Bad", REG_MULTI_SZ, endless.c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_STREQ(reg.QueryValue(key_, "Bad").Text(), "");
    ASSERT_EQ(reg.SetValue(key_, "Expand", REG_EXPAND_SZ, "%X%"), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key_, "Expand", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(size, 4u);  // the text and its NUL
}

TEST_F(JexRegistryKeyTest, DeleteKeyTreeRemovesEveryLevel) {
    for (const char* path : {"Tree\\A\\A1", "Tree\\A\\A2\\deep", "Tree\\B"}) {
        HKEY sub = reg.CreateKey(key_, path, KEY_ALL_ACCESS, nullptr);
        ASSERT_NE(sub, nullptr);
        ASSERT_EQ(reg.SetValue(sub, "v", REG_SZ, "1"), ERROR_SUCCESS);
        reg.CloseKey(sub);
    }
    EXPECT_EQ(reg.DeleteKeyTree(key_, ""), ERROR_SUCCESS);
    EXPECT_EQ(reg.DeleteKeyTree(key_, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(reg.DeleteKeyTree(key_, "Missing"), ERROR_BADKEY);
    EXPECT_EQ(reg.DeleteKeyTree(key_, "Tree"), ERROR_SUCCESS);
    EXPECT_EQ(reg.OpenKey(key_, "Tree", KEY_READ), nullptr);
    std::vector<std::string> keys;
    EXPECT_EQ(reg.EnumKeys(key_, keys), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(keys.empty());
}

TEST(JexRegistryKeyNumbers, ReadNumberIsDecimalAndClamped) {
    JexRegistryKey reg;
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {
        {"42", 42},
        {"-17", -17},
        {"0x10", 0},
        {"010", 10},
        {"", 0},
        {nullptr, 0},
        {"abc", 0},
        {"12abc", 12},
        {"4294967296", INT32_MAX},
        {"-4294967296", INT32_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        EXPECT_EQ(reg.ReadNumber(c.text), c.value);
        EXPECT_EQ(reg.Number(), c.value);
    }
}

TEST(JexRegistryKeyRecords, RoundTripKeepsEveryFieldAndCommasInTheText) {
    JexRegistryKey reg;
    JexRegistryKey::Record record;
    record.numbers[0] = INT32_MIN;
    record.numbers[4] = INT32_MAX;
    record.bytes[0] = 255;
    record.bytes[7] = 1;
    record.text = "a, b, and c";
    const std::string text = reg.RecordToText(record);
    EXPECT_EQ(text, "-2147483648,0,0,0,2147483647,255,0,0,0,0,0,0,1,a, b, and c");
    ASSERT_TRUE(reg.RecordFromText(text.c_str()));
    EXPECT_EQ(reg.GetRecord().numbers[0], INT32_MIN);
    EXPECT_EQ(reg.GetRecord().numbers[4], INT32_MAX);
    EXPECT_EQ(reg.GetRecord().bytes[0], 255);
    EXPECT_EQ(reg.GetRecord().bytes[7], 1);
    EXPECT_EQ(reg.GetRecord().text, "a, b, and c");
}

TEST(JexRegistryKeyRecords, MalformedTextLeavesTheRecord) {
    JexRegistryKey reg;
    ASSERT_TRUE(reg.RecordFromText("1,2,3,4,5,6,7,8,9,10,11,12,13,kept"));
    const char* bad[] = {
        nullptr,
        "",
        "1,2,3",                                     // too few fields
        "1,2,3,4,5,6,7,8,9,10,11,12,256,x",          // byte out of range
        "1,2,3,4,5,6,7,8,9,10,11,12,-1,x",           // negative byte
        "1,2,3,4,2147483648,6,7,8,9,10,11,12,13,x",  // number out of range
        "1,2,x3,4,5,6,7,8,9,10,11,12,13,x",          // not decimal
        "1,,3,4,5,6,7,8,9,10,11,12,13,x",            // empty number
        "1,2,3,4,5,6,7,8,9,10,11,12,13",             // no comma before the text
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text ? text : "null");
        EXPECT_FALSE(reg.RecordFromText(text));
        EXPECT_EQ(reg.GetRecord().text, "kept");
        EXPECT_EQ(reg.GetRecord().bytes[7], 13);
    }
}

}  // namespace
