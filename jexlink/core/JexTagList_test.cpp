// Tests of the tag list: look-up by name, insertion order and aligned rendering.
#include "jexlink/core/JexTagList.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(JexTagList, LookupAddsANewTagOnceAtTheEnd) {
    JexTagList tags;
    EXPECT_EQ(tags.Find("Path"), 0);
    JexString& value = tags["Path"];
    EXPECT_STREQ(value.Text(), "");
    EXPECT_EQ(tags.Count(), 1);
    value = "/a/b";
    EXPECT_STREQ(tags["Path"].Text(), "/a/b");
    EXPECT_EQ(tags.Count(), 1);
    tags["Other"] = "x";
    EXPECT_EQ(tags.Find("Other"), 1);
    EXPECT_EQ(tags.Find("path"), 2);  // case-sensitive: not there
    EXPECT_EQ(tags.Find(nullptr), 2);
    EXPECT_STREQ(tags.Text().Text(), "Path:  /a/b\nOther: x\n");
}

TEST(JexTagList, TextAlignsValuesToTheLongestTagUpTo20) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> rows;
        std::string expected;
    } cases[] = {
        {"all empty", {{"Record-Type", ""}, {"Description", ""}}, ""},
        {"no tags", {}, ""},
        {"4 and 11", {{"Type", "a"}, {"Application", "b"}}, "Type:        a\nApplication: b\n"},
        {"empty value left out of the width", {{"Type", "a"}, {"Application", ""}}, "Type: a\n"},
        {"25 characters caps the width at 20",
         {{"Abc", "1"}, {std::string(25, 'L'), "2"}, {std::string(20, 'T'), "3"}},
         "Abc: " + std::string(17, ' ') + "1\n" + std::string(25, 'L') + ": 2\n" +
             std::string(20, 'T') + ": 3\n"},
        {"a short tag after the cap is filled to 20",
         {{std::string(30, 'L'), "2"}, {"Ab", "3"}},
         std::string(30, 'L') + ": 2\nAb: " + std::string(18, ' ') + "3\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexTagList tags;
        for (const auto& [tag, value] : c.rows) tags[tag.c_str()] = value.c_str();
        EXPECT_EQ(std::string(tags.Text().Text()), c.expected);
    }
}

TEST(JexTagList, ValueMayBeSetFromAnotherTagsValue) {
    JexTagList tags;
    tags["A"] = "alpha";
    tags["B"] = tags["A"].Text();
    tags["A"] = tags["A"].Text();
    EXPECT_STREQ(tags.Text().Text(), "A: alpha\nB: alpha\n");
}

}  // namespace
