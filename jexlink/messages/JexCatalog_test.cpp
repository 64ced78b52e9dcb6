// Tests of the message catalog: files by template, the lookup cache, escapes, wrapping, errors as
// text.
#include "jexlink/messages/JexCatalog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "jexlink/messages/JexMsg.h"
#include "testing/support/MessagesTestSupport.h"

namespace {

using tavro::testing::CatalogDir;

class JexCatalogTest : public testing::Test {
protected:
    void SetUp() override {
        dir.Write("en/JexMsg.msg",
                  "# English texts\n"
                  "JexMsg::CONNFAIL \"English failure\"\n"
                  "JexMsg::OPENERR \"Cannot open %2$s (error %1$d)\"\n");
        dir.Write("fr/JexMsg.msg", "jexmsg::connfail \"Echec\"\n");
        dir.Write("common.msg", "JexMsg::CONNFAIL \"Common failure\"\nPLAIN \"No facility\"\n");
        dir.Write("%%C.msg", "ODD \"Percent file\"\n");
        dir.Write("x/y.msg", "");
        setenv("LANG", "en", 1);
    }
    void TearDown() override { unsetenv("LANG"); }

    CatalogDir dir;
};

TEST_F(JexCatalogTest, TemplatesFindTheFileOfFacilityAndLanguage) {
    struct Case {
        std::vector<std::string> templates;
        const char* language;
        const char* mnemonic;
        int found;
        const char* text;
    } cases[] = {
        {{"%L/%C.msg"}, "en", "JexMsg::CONNFAIL", 1, "English failure"},
        {{"%L/%C.msg"}, "fr", "JexMsg::CONNFAIL", 1, "Echec"},
        // The first file that holds the mnemonic wins; a missing file is skipped.
        {{"%L/%C.msg", "common.msg"}, "en", "JexMsg::CONNFAIL", 1, "English failure"},
        {{"%L/%C.msg", "common.msg"}, "de", "JexMsg::CONNFAIL", 1, "Common failure"},
        // Without "::" the facility is empty.
        {{"common%C.msg"}, "en", "PLAIN", 1, "No facility"},
        {{"%L/%C.msg"}, "en", "PLAIN", 0, ""},
        // The file of the facility is found whatever the case of its name.
        {{"%L/%C.msg"}, "en", "jexmsg::connfail", 1, "English failure"},
        {{"%L/%C.msg"}, "fr", "JEXMSG::CONNFAIL", 1, "Echec"},
        {{"%L/%C.MSG"}, "en", "JexMsg::OPENERR", 1, "Cannot open %2$s (error %1$d)"},
        // "%%C" is no code: the file name keeps all three characters.
        {{"%%C.msg"}, "en", "ODD", 1, "Percent file"},
        // A facility that leads out of the directory is never looked for.
        {{"x/%C.msg"}, "en", "../en/JexMsg::CONNFAIL", 0, ""},
        {{"x/%C.msg"}, "en", "../common::PLAIN", 0, ""},
        {{"%C/JexMsg.msg"}, "en", "en::JexMsg::CONNFAIL", 0, ""},
        {{"%C/JexMsg.msg"}, "en", "/etc::X", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mnemonic) + " in " + c.templates[0] + " for " + c.language);
        ASSERT_TRUE(dir.UseTemplates(c.templates));
        setenv("LANG", c.language, 1);
        JexCatalog catalog;
        EXPECT_EQ(catalog.Lookup(c.mnemonic), c.found);
        EXPECT_EQ(catalog.Found(), c.found);
        EXPECT_STREQ(catalog.Text().Text(), c.text);
        EXPECT_STREQ(catalog.Mnemonic().Text(), JexString(c.mnemonic).UpperCopy().Text());
    }
}

TEST_F(JexCatalogTest, WithoutSettingTheDefaultTemplateIsUsed) {
    JexCatalog catalog;
    EXPECT_EQ(catalog.Lookup("JexMsg::CONNFAIL"), 0);
    EXPECT_STREQ(catalog.Text().Text(), "");
    EXPECT_STREQ(catalog.Formatted(JexBuffer9(JexExcArgs())).Text(), "");
}

TEST_F(JexCatalogTest, TheStoredMnemonicIsAnsweredWithoutReadingAgain) {
    ASSERT_TRUE(dir.UseTemplates({"%L/%C.msg"}));
    dir.Write("en/JEXMSG.msg", "JexMsg::CONNFAIL \"Upper\"\n");
    JexCatalog catalog;
    ASSERT_EQ(catalog.Lookup("JEXMSG::CONNFAIL"), 1);
    dir.Write("en/JEXMSG.msg", "JexMsg::CONNFAIL \"Changed\"\n");
    EXPECT_EQ(catalog.Lookup("JEXMSG::CONNFAIL"), 1);
    EXPECT_STREQ(catalog.Text().Text(), "Upper");
    // A mixed-case mnemonic never equals the stored one: read every time.
    EXPECT_EQ(catalog.Lookup("JexMsg::CONNFAIL"), 1);
    EXPECT_STREQ(catalog.Text().Text(), "English failure");
    dir.Write("en/JexMsg.msg", "JexMsg::CONNFAIL \"Changed\"\n");
    EXPECT_EQ(catalog.Lookup("JexMsg::CONNFAIL"), 1);
    EXPECT_STREQ(catalog.Text().Text(), "Changed");
    dir.Write("en/JexMsg.msg", "");
    EXPECT_EQ(catalog.Lookup("JexMsg::CONNFAIL"), 0);
    EXPECT_STREQ(catalog.Text().Text(), "");

    // The empty mnemonic of a new catalog is the stored one: not found.
    JexCatalog fresh;
    EXPECT_EQ(fresh.Lookup(""), 0);
    EXPECT_EQ(fresh.Lookup(nullptr), 0);
}

TEST(JexCatalogEscapes, BackslashSequencesAreExpanded) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\\tb", "a\tb"},
        {"end\\", "end"},
        {"\\a\\b\\f\\n\\r\\t\\v", "\a\b\f\n\r\t\v"},
        {"\\\"\\'\\?\\\\", "\"'?\\"},
        {"\\q\\%", "q%"},
        {"\\\\n", "\\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string text(c.in);
        JexCatalog::ExpandEscapes(text.data());
        EXPECT_STREQ(text.c_str(), c.out) << c.in;
    }
}

TEST_F(JexCatalogTest, CatalogTextsHaveTheirEscapesExpandedAndAreCut) {
    const std::string longText(5000, 'x');
    dir.Write("en/T.msg", "T::TAB \"a\\tb\"\nT::END \"end\\\\\"\nT::LONG " + longText + "\n");
    ASSERT_TRUE(dir.UseTemplates({"%L/%C.msg"}));
    JexCatalog catalog;
    ASSERT_EQ(catalog.Lookup("T::TAB"), 1);
    EXPECT_STREQ(catalog.Text().Text(), "a\tb");
    ASSERT_EQ(catalog.Lookup("T::END"), 1);
    EXPECT_STREQ(catalog.Text().Text(), "end\\");
    ASSERT_EQ(catalog.Lookup("T::LONG"), 1);
    EXPECT_EQ(std::string(catalog.Text().Text()), longText.substr(0, JexCatalog::kMaxText));
}

TEST(JexCatalogSubstitute, OnlyPercentCAndPercentLAreCodes) {
    struct Case {
        const char* templ;
        const char* facility;
        const char* language;
        const char* out;
    } cases[] = {
        {"dir/%L/%C.msg", "JexMsg", "en", "dir/en/JexMsg.msg"},
        {"dir/%L/%C.msg", "", "", "dir//.msg"},
        {"%%C", "F", "en", "%%C"},
        {"%c%l%x", "F", "en", "%c%l%x"},
        {"%C%C%L", "F", "en", "FFen"},
        {"end%", "F", "en", "end%"},
        {"%", "F", "en", "%"},
        {"", "F", "en", ""},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(JexCatalog::substitute(c.templ, c.facility, c.language).Text(), c.out)
            << c.templ;
}

TEST(JexCatalogWordwrap, BreaksAtABlankInTheLastQuarterOrCutsHard) {
    const std::string thirteenAndSixteen = std::string(13, 'a') + " " + std::string(16, 'b');
    struct Case {
        std::string in;
        int column;
        std::string out;
    } cases[] = {
        // Width 4, reach 3: a run is cut after width + 2 characters.
        {"abcdefghij", 4, "abcdef\nghij"},
        {"abcdefghij", 1, "abcdef\nghij"},
        {"aaaa bbbb cccc dddd eeee ffff", 20, "aaaa bbbb cccc dddd\neeee ffff"},
        // The only blank lies before the last quarter: cut hard.
        {thirteenAndSixteen, 20,
         thirteenAndSixteen.substr(0, 22) + "\n" + thirteenAndSixteen.substr(22)},
        // A line feed starts a new line.
        {"ab\ncdefgh", 4, "ab\ncdefgh\n"},
        {"short", 20, "short"},
        {"", 4, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::string(JexCatalog::wordwrap(c.in.c_str(), c.column).Text()), c.out)
            << c.in << " at " << c.column;
}

TEST_F(JexCatalogTest, FormattedFillsArgumentsShowsTheCodeAndWraps) {
    dir.Write("en/F.msg",
              "F::ARGS \"Cannot open %2$s (error %1$d)\"\n"
              "F::BAD \"%1$s and %s\"\n"
              "F::LONG \"one two three four five six\"\n");
    ASSERT_TRUE(dir.UseTemplates({"%L/%C.msg"}));
    const JexExcArgs args("here", 2, "/p");
    struct Case {
        const char* mnemonic;
        int showCode;
        int wrap;
        const char* out;
    } cases[] = {
        {"F::ARGS", 0, 0, "Cannot open /p (error 2)"},
        {"F::args", 1, 0, "F::ARGS, Cannot open /p (error 2)"},
        {"F::BAD", 0, 0, "-- message text cannot be formatted --"},
        {"F::BAD", 1, 0, "F::BAD, -- message text cannot be formatted --"},
        {"F::LONG", 0, 12, "one two three\nfour five six"},
        {"F::NONE", 1, 0, ""},
    };
    JexCatalog catalog;
    for (const Case& c : cases) {
        catalog.ShowCode(c.showCode);
        catalog.WrapAt(c.wrap);
        catalog.Lookup(c.mnemonic);
        EXPECT_STREQ(catalog.Formatted(JexBuffer9(args)).Text(), c.out) << c.mnemonic;
    }
}

TEST_F(JexCatalogTest, AnErrorIsOneLinePerErrorOfItsChain) {
    ASSERT_TRUE(dir.UseTemplates({"%L/%C.msg"}));
    JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg middle(JexMsg::OPENERR, JexExcArgs("open", 2, "/p"), &inner);
    JexMsg outer(JexMsg::CLISYNTAX, JexExcArgs("parse"), &middle);
    JexMsg nameOnly(JexException::kExternalMessage, JexExcArgs("x"));
    nameOnly.SetExternalMessage(JexString("NAMEONLY"));

    struct Case {
        JexException* error;
        int showCode;
        const char* out;
    } cases[] = {
        // CONNFAIL and OPENERR come from the catalog (its mnemonic upper-cased),
        // CLISYNTAX from the message table.
        {&outer, 1,
         "--- JexMsg::CLISYNTAX, Command syntax error.\n"
         "  - JEXMSG::OPENERR, Cannot open /p (error 2)\n"
         "  - JEXMSG::CONNFAIL, English failure\n"},
        {&outer, 0, "Command syntax error.\nCannot open /p (error 2)\nEnglish failure\n"},
        // Nothing after the comma: the line stays whole.
        {&nameOnly, 0, "NAMEONLY, \n"},
        {&nameOnly, 1, "--- NAMEONLY, \n"},
        {nullptr, 1, ""},
    };
    JexCatalog catalog;
    for (const Case& c : cases) {
        catalog.ShowCode(c.showCode);
        EXPECT_STREQ(catalog.Formatted(c.error).Text(), c.out);
    }
    // The last lookup was of the chain's last code name.
    catalog.ShowCode(1);
    catalog.Formatted(&outer);
    EXPECT_STREQ(catalog.Mnemonic().Text(), "JEXMSG::CONNFAIL");
    EXPECT_EQ(catalog.Found(), 1);
}

}  // namespace

namespace {

// The trace switch is read when the library loads: the lines show in a
// child that starts with it set.
TEST_F(JexCatalogTest, TraceLinesNameTheFilesAndTheOutcome) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_TRUE(dir.UseTemplates({"%L/%C.msg", "common.msg"}));
    setenv("JEXCATALOG_TRACE", "*", 1);
    // The child runs the fixture again, in a directory of its own.
    EXPECT_EXIT(
        {
            setenv("LANG", "de", 1);
            JexCatalog catalog;
            catalog.Lookup("JexMsg::CONNFAIL");
            catalog.Lookup("JexMsg::NOSUCH");
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^<f> JexCatalog checking for mnemonic JexMsg::CONNFAIL\n\tin file /[^\n]*/de/JexMsg.msg\n"
        "      \\.\\.\\.file not accessable, reason follows:\n"
        "--- JexDataFile::OPENFAIL, Error opening file /[^\n]*/de/JexMsg.msg\n"
        "  - ENOENT, No such file or directory\n"
        "<f> JexCatalog checking for mnemonic JexMsg::CONNFAIL\n\tin file /[^\n]*/common.msg\n"
        "<l> JexCatalog located mnemonic JexMsg::CONNFAIL\n\tin the file /[^\n]*/common.msg\n"
        "<f> [^<]*<f> [^<]*"
        "<l> JexCatalog unable to locate mnemonic JexMsg::NOSUCH\n$");
    unsetenv("JEXCATALOG_TRACE");
}

}  // namespace
