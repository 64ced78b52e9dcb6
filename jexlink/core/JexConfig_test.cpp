// Tests of the configuration store: look-up order, value types, lists, numbers and writes.
#include "jexlink/core/JexConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::WriteDword;
using tavro::testing::WriteList;
using tavro::testing::WriteText;
using tavro::testing::WriteValue;

// Each test has a platform state of its own, so that the settings one test
// writes do not meet the next when the tests run in one process.
class JexConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tavro::testing::CreateSettingsKeys()); }
    tavro::testing::FreshState state_;
    JexConfig config;
};

std::vector<std::string> Fields(JexFieldedString list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.emplace_back(list[i].Text());
    return out;
}

TEST_F(JexConfigTest, FirstKeyInTheFixedOrderWins) {
    struct Case {
        std::vector<int> holders;  // keys that hold "Local.Node", each with its own text
        const char* expected;
        int found;
    } cases[] = {
        {{JexConfig::kProduct, JexConfig::kUserInterface, JexConfig::kApplications,
          JexConfig::kGlobalParameters},
         "in 3",
         3},
        {{JexConfig::kProduct, JexConfig::kUserInterface, JexConfig::kApplications}, "in 2", 2},
        {{JexConfig::kProduct, JexConfig::kUserInterface}, "in 4", 4},
        {{JexConfig::kProduct}, "in 5", 5},
        {{JexConfig::kProduct, JexConfig::kGlobalParameters}, "in 3", 3},
        {{}, "fallback", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        for (int where : {2, 3, 4, 5}) {
            HKEY key =
                config.OpenKey(tavro::testing::SettingsPlace(where).root,
                               tavro::testing::SettingsPlace(where).path.c_str(), KEY_ALL_ACCESS);
            ASSERT_NE(key, nullptr);
            config.DeleteValue(key, "Local.Node");
            config.CloseKey(key);
        }
        for (int where : c.holders)
            ASSERT_TRUE(WriteText(where, "Local.Node", "in " + std::to_string(where)));
        EXPECT_STREQ(config.Value("Local.Node", "fallback").Text(), c.expected);
        EXPECT_EQ(config.Found(), c.found);
    }
}

// The registry ignores letter case; a setting's name is compared exactly.
TEST_F(JexConfigTest, NamesAreComparedExactly) {
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "local.node", "n1"));
    EXPECT_STREQ(config.Value("Local.Node", "absent").Text(), "absent");
    EXPECT_EQ(config.Found(), JexConfig::kNotFound);
    EXPECT_STREQ(config.Value("local.node", "absent").Text(), "n1");
    EXPECT_EQ(config.Found(), JexConfig::kGlobalParameters);

    // Two spellings in two keys stay apart: each name finds its own value,
    // past a key that holds only the other spelling.
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Contact.EMailAddr", "sra@example.net"));
    ASSERT_TRUE(WriteText(JexConfig::kProduct, "Contact.EmailAddr", "mail@example.net"));
    EXPECT_STREQ(config.Value("Contact.EmailAddr", "").Text(), "mail@example.net");
    EXPECT_EQ(config.Found(), JexConfig::kProduct);
    EXPECT_STREQ(config.Value("Contact.EMailAddr", "").Text(), "sra@example.net");
    EXPECT_EQ(config.Found(), JexConfig::kGlobalParameters);
    // Asked again (the registry may keep its answer), and as a number.
    EXPECT_STREQ(config.Value("Local.Node", "absent").Text(), "absent");
    EXPECT_EQ(config.Value("LOCAL.NODE", 7), 7);
}

TEST_F(JexConfigTest, EachValueTypeReadsAsText) {
    const std::string multi("a\0b\0c\0\0", 7);
    ASSERT_TRUE(WriteDword(JexConfig::kGlobalParameters, "Dword", 25));
    ASSERT_TRUE(WriteDword(JexConfig::kGlobalParameters, "AllOnes", 0xFFFFFFFFu));
    ASSERT_TRUE(WriteValue(tavro::testing::SettingsPlace(JexConfig::kGlobalParameters), "Multi",
                           REG_MULTI_SZ, multi));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Text", "plain"));
    ASSERT_TRUE(WriteValue(tavro::testing::SettingsPlace(JexConfig::kGlobalParameters), "Binary",
                           REG_BINARY, std::string("\x01\x02", 2)));
    ASSERT_TRUE(WriteValue(tavro::testing::SettingsPlace(JexConfig::kGlobalParameters),
                           "Unterminated", REG_SZ, "no NUL"));
    // Longer than the first read's buffer: read again at its size.
    const std::string longText(1000, 'L');
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Long", longText.c_str()));
    ASSERT_TRUE(WriteValue(tavro::testing::SettingsPlace(JexConfig::kGlobalParameters), "None",
                           REG_NONE, ""));
    struct Case {
        const char* name;
        int index;
        const char* text;
        int number;
    } cases[] = {
        {"Dword", 0, "25", 25},
        {"AllOnes", 0, "-1", -1},
        {"Multi", 0, "a", 0},
        {"Multi", 1, "b", 0},
        {"Multi", 2, "c", 0},
        {"Multi", 5, "", -7},
        {"Multi", -1, "", -7},
        {"Text", 0, "plain", 0},
        {"Text", 1, "", -7},
        {"Dword", 1, "", -7},
        {"Binary", 0, "*** Invalid Data Type ***", 0},
        {"Unterminated", 0, "no NUL", 0},
        {"Long", 0, longText.c_str(), 0},
        {"None", 0, "", -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "[" + std::to_string(c.index) + "]");
        EXPECT_STREQ(config.Value(c.name, "fallback", c.index).Text(), c.text);
        EXPECT_EQ(config.Value(c.name, -7, c.index), c.number);
    }
}

TEST_F(JexConfigTest, ElementOfAScalarKeepsThePreviousFoundCode) {
    ASSERT_TRUE(WriteText(JexConfig::kProduct, "Text", "plain"));
    ASSERT_TRUE(WriteText(JexConfig::kApplications, "Other", "x"));
    config.Value("Other", "");
    EXPECT_EQ(config.Found(), JexConfig::kApplications);
    EXPECT_STREQ(config.Value("Text", "fallback", 1).Text(), "");
    EXPECT_EQ(config.Found(), JexConfig::kApplications);
}

TEST_F(JexConfigTest, NullOrEmptyNameGivesTheFallbackAndKeepsFound) {
    ASSERT_TRUE(WriteText(JexConfig::kUserInterface, "Other", "x"));
    config.Value("Other", "");
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_STREQ(config.Value(name, "fb").Text(), "fb");
        EXPECT_EQ(config.Value(name, 42), 42);
        EXPECT_EQ(config.Found(), JexConfig::kUserInterface);
    }
    EXPECT_STREQ(config.Value("Absent", nullptr).Text(), "");
}

TEST_F(JexConfigTest, ExpandableTextTakesEnvironmentValues) {
    setenv("JEXCONFIG_TEST_DIR", "/var/tmp", 1);
    unsetenv("JEXCONFIG_TEST_UNSET");
    struct Case {
        const char* stored;
        const char* expected;
    } cases[] = {
        {"%JEXCONFIG_TEST_DIR%\\x", "/var/tmp\\x"},
        {"a%JEXCONFIG_TEST_UNSET%b", "ab"},
        {"ends in two%%", "ends in two"},
        {"50%% off", "50 off"},
        {"half %open", "half %open"},
        {"%JEXCONFIG_TEST_DIR%%JEXCONFIG_TEST_DIR%", "/var/tmp/var/tmp"},
        {"%", "%"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Expand", c.stored, REG_EXPAND_SZ));
        EXPECT_STREQ(config.Value("Expand", "fallback").Text(), c.expected);
    }
    // A long value is expanded whole, never cut.
    const std::string big(5000, 'v');
    setenv("JEXCONFIG_TEST_BIG", big.c_str(), 1);
    ASSERT_TRUE(
        WriteText(JexConfig::kGlobalParameters, "Expand", "<%JEXCONFIG_TEST_BIG%>", REG_EXPAND_SZ));
    EXPECT_EQ(std::string(config.Value("Expand", "").Text()), "<" + big + ">");
}

TEST_F(JexConfigTest, NumbersFromText) {
    struct Case {
        const char* stored;
        int expected;
    } cases[] = {
        {"yes", 1},
        {"True", 1},
        {"no", 0},
        {"false", 0},
        {"0x10", 16},
        {"010", 8},
        {"-5", -5},
        {"25 apples", 25},
        {"+5", 0},
        {" 5", 0},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(WriteText(JexConfig::kProduct, "Number", c.stored));
        EXPECT_EQ(config.Value("Number", -7), c.expected);
    }
    ASSERT_TRUE(WriteText(JexConfig::kProduct, "Number", ""));
    EXPECT_EQ(config.Value("Number", -7), -7);
    EXPECT_EQ(config.Value("Absent", 300), 300);
    EXPECT_EQ(config.Found(), JexConfig::kNotFound);
}

TEST_F(JexConfigTest, ValueListOverlaysTheDefaults) {
    JexFieldedString defaults("d0,d1,d2,d3", ',');
    EXPECT_EQ(Fields(config.ValueList("Mail.Flash", defaults)),
              (std::vector<std::string>{"d0", "d1", "d2", "d3"}));
    EXPECT_EQ(config.ValueList("Mail.Flash", defaults).Separator(), ':');
    ASSERT_TRUE(WriteList(JexConfig::kApplications, "Mail.Flash", {"a", "b", "c"}));
    EXPECT_EQ(Fields(config.ValueList("Mail.Flash", defaults)),
              (std::vector<std::string>{"a", "b", "c", "d3"}));
    EXPECT_EQ(Fields(config.ValueList("Mail.Flash", JexFieldedString(':'))),
              (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_STREQ(config.ValueList("Mail.Flash", JexFieldedString(':')).Text().Text(), "a:b:c");
}

TEST_F(JexConfigTest, PathKeepsTheLeadingNonEmptyElements) {
    EXPECT_EQ(config.Path("MSGPATH").Count(), 0);
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "MSGPATH", {"a", "b", "c"}));
    EXPECT_EQ(Fields(config.Path("MSGPATH")), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(config.Path("MSGPATH").Separator(), ',');
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "MSGPATH", {"x,y", "", "z"}));
    EXPECT_EQ(Fields(config.Path("MSGPATH")), (std::vector<std::string>{"x", "y"}));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "MSGPATH", "/one/dir"));
    EXPECT_EQ(Fields(config.Path("MSGPATH")), (std::vector<std::string>{"/one/dir"}));
}

TEST_F(JexConfigTest, ListReadersTakeANameThatLivesInTheirOwnResult) {
    ASSERT_TRUE(WriteText(JexConfig::kProduct, "Pointer", "MSGPATH"));
    ASSERT_TRUE(WriteList(JexConfig::kProduct, "MSGPATH", {"p", "q"}));
    const char* name = config.Value("Pointer", "").Text();
    EXPECT_EQ(Fields(config.Path(name)), (std::vector<std::string>{"p", "q"}));
    name = config.Value("Pointer", "").Text();
    EXPECT_EQ(Fields(config.ValueList(name, JexFieldedString(':'))),
              (std::vector<std::string>{"p", "q"}));
    // The fallback may be the object's own last result.
    EXPECT_STREQ(config.Value("Absent", config.Value("Pointer", "").Text()).Text(), "MSGPATH");
}

TEST_F(JexConfigTest, SetValueWritesIntoTheChosenKey) {
    for (int where : {JexConfig::kApplications, JexConfig::kGlobalParameters,
                      JexConfig::kUserInterface, JexConfig::kProduct}) {
        SCOPED_TRACE(where);
        const std::string name = "Written." + std::to_string(where);
        ASSERT_TRUE(config.SetValue(name.c_str(), "text", where));
        EXPECT_STREQ(config.Value(name.c_str(), "").Text(), "text");
        EXPECT_EQ(config.Found(), where);
    }
    ASSERT_TRUE(config.SetValue("Mail.LocalTimeout", -300, JexConfig::kProduct));
    EXPECT_EQ(config.Value("Mail.LocalTimeout", 0), -300);
    EXPECT_STREQ(config.Value("Mail.LocalTimeout", "").Text(), "-300");
    ASSERT_TRUE(config.SetValue("Mail.Flash", JexFieldedString("x:y:z", ':'), JexConfig::kProduct));
    EXPECT_EQ(Fields(config.ValueList("Mail.Flash", JexFieldedString(':'))),
              (std::vector<std::string>{"x", "y", "z"}));
}

TEST_F(JexConfigTest, SetValueOfAListKeepsFieldsAfterAnEmptyOne) {
    ASSERT_TRUE(config.SetValue("List", JexFieldedString("a::b", ':'), JexConfig::kProduct));
    EXPECT_EQ(Fields(config.Path("List")), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(config.SetValue("List", JexFieldedString(':'), JexConfig::kProduct));
    EXPECT_STREQ(config.Value("List", "fb").Text(), "");
    EXPECT_EQ(config.Found(), JexConfig::kProduct);
}

TEST_F(JexConfigTest, SetValueRefusesAnUnknownPlaceOrAMissingKey) {
    for (int where : {1, 0, 6, -1}) {
        SCOPED_TRACE(where);
        EXPECT_FALSE(config.SetValue("Local.Node", "x", where));
        EXPECT_FALSE(config.SetValue("Local.Node", 1, where));
        EXPECT_FALSE(config.SetValue("Local.Node", JexFieldedString("a", ':'), where));
    }
    EXPECT_STREQ(config.Value("Local.Node", "none").Text(), "none");
    ASSERT_EQ(config.DeleteKeyTree(HKEY_CURRENT_USER, "Software\\Ferrandia"), ERROR_SUCCESS);
    EXPECT_FALSE(config.SetValue("Local.Node", "x", JexConfig::kApplications));
    EXPECT_STREQ(config.Value("Local.Node", "none").Text(), "none");
}

TEST_F(JexConfigTest, SystemRootAndApplicationPath) {
    EXPECT_STREQ(config.GetApplicationPath().Text(), "*** Registry Lookup Error ***");
    EXPECT_STREQ(config.GetSystemRoot().Text(), "*** Registry Lookup Error ***");
    ASSERT_TRUE(tavro::testing::WriteInstallPath("/opt/jexlink/"));
    ASSERT_TRUE(
        WriteValue(tavro::testing::kSystemPlace, "SystemRoot", REG_SZ, std::string("/winroot", 9)));
    EXPECT_STREQ(config.GetApplicationPath().Text(), "/opt/jexlink/");
    EXPECT_STREQ(config.GetSystemRoot().Text(), "/winroot");
}

TEST_F(JexConfigTest, AnotherProcessSeesAWriteAtOnce) {
    EXPECT_STREQ(config.Value("Remote.Node", "none").Text(), "none");
    auto child = tavro::testing::RunChild({JEXCORE_TESTAPP, "set", "Remote.Node", "peer7"});
    ASSERT_EQ(child.exitStatus, 0) << child.output;
    EXPECT_STREQ(config.Value("Remote.Node", "none").Text(), "peer7");
    ASSERT_TRUE(config.SetValue("Remote.Node", "peer8", JexConfig::kGlobalParameters));
    child = tavro::testing::RunChild({JEXCORE_TESTAPP, "get", "Remote.Node"});
    ASSERT_EQ(child.exitStatus, 0) << child.output;
    EXPECT_EQ(child.output, "peer8\n");
}

TEST_F(JexConfigTest, LookUpsAreTracedWhenTracingIsOn) {
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Local.Node", "n1"));
    setenv("JEX_TRACE", "1", 1);
    auto child = tavro::testing::RunChild({JEXCORE_TESTAPP, "get", "Local.Node"});
    unsetenv("JEX_TRACE");
    ASSERT_EQ(child.exitStatus, 0) << child.output;
    for (const char* line :
         {" Entry JexConfig\\JexConfig\\", " Entry JexConfig\\JexString Value()\\",
          "  Exit JexConfig\\JexString Value()\n", "  Exit JexConfig\\~JexConfig\n"})
        EXPECT_NE(child.output.find(line), std::string::npos) << line << "\n" << child.output;
    EXPECT_NE(child.output.find("n1\n"), std::string::npos);
}

}  // namespace
