// Tests of the command-line interpreter: styles, tokens, searches, parsing, queries and usage.
#include "jexlink/cli/JexPCLI.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "jexlink/cli/JexPCLITable.h"
#include "testing/support/JexPCLITableWriter.h"
#include "testing/support/TempDir.h"

namespace {

constexpr const char* kMainTable = R"(
Verb   1 SHOW     help="Show a thing"
Switch 1 OUTPUT   kv ng default=x.lis
Switch 1 VERBOSE  ng
Switch 1 COLOR    kv 1f default=RED options=RED,BLUE
Switch 1 ALIGN    kv 1f options=left,leftmost
Switch 1 SIDE     kv 1f options=leftmost,left
Switch 1 LEVEL    kv 1f options=left,level
Switch 1 QUIET
Switch 1 REST     re
Switch 1 ALL      ng pe
Param  1 FILE
Param  1 MORE     re
Verb   2 SUB
Switch 2 DEEP     kv
Alias  2 D2       to=DEEP
Verb   1 LIST
Verb   1 LISTALL
Verb   1 LOAD
Verb   1 NOTIFY
Alias  1 DISPLAY  to=SHOW
Alias  1 SELF     to=SELF
)";

constexpr const char* kForbidTable = R"(
Verb   1 RUN
Switch 1 LOG
Switch 1 OUT
Switch 1 A
Switch 1 B
Switch 1 C
Switch 1 D
Switch 1 E
Forbid 1 LOG n2 when=OUT
Forbid 1 TRIO a2 options=A,B,C
Forbid 1 E when=D help="D and E clash"
Verb   1 IDLE
Switch 1 X
Forbid 1 X n1
)";

class JexPCLITest : public ::testing::Test {
protected:
    std::string Table(const std::string& file, const std::string& description, int version = 12) {
        // Named without its type: the loader adds .cli.
        const auto path = dir_.Path() / file;
        tavro::testing::WriteFile(path.string() + ".cli",
                                  tavro::testing::CliTableBytes(version, description));
        return path.string();
    }

    tavro::testing::TempDir dir_{"cli-parse"};
};

// Every item of the tree by name.
void Collect(JexPCLIItem* item, std::map<std::string, JexPCLIItem*>& out) {
    for (; item; item = item->next) {
        out[item->name.Text()] = item;
        Collect(item->child, out);
    }
}

// Checks the parse results of every item against an expectation of the
// form "NAME[!][=value][#oi] ...", a value's later words in lower case: a listed item was given
// (negated with
// '!'); every other item was not.
void ExpectItems(JexPCLI& cli, const std::string& expectation) {
    std::map<std::string, JexPCLIItem*> items;
    Collect(cli.Table()->first, items);
    std::map<std::string, std::string> wanted;
    std::istringstream words(expectation);
    std::vector<std::string> entries;
    for (std::string word; words >> word;) {
        // A word that does not start with an item name continues a value.
        if (!entries.empty() && !std::isupper(static_cast<unsigned char>(word[0])))
            entries.back() += " " + word;
        else
            entries.push_back(word);
    }
    for (const std::string& word : entries) {
        const size_t end = word.find_first_of("!=#");
        wanted[word.substr(0, end)] = end == std::string::npos ? "" : word.substr(end);
    }
    for (const auto& [name, item] : items) {
        SCOPED_TRACE(name);
        const auto w = wanted.find(name);
        if (w == wanted.end()) {
            EXPECT_EQ(item->given, 0);
            continue;
        }
        EXPECT_EQ(item->given, 1);
        std::string rest = w->second;
        const bool negated = !rest.empty() && rest[0] == '!';
        if (negated) rest.erase(0, 1);
        EXPECT_EQ(item->negated, negated ? 1 : 0);
        std::string value;
        int oi = 0;
        if (!rest.empty() && rest[0] == '=') {
            const size_t hash = rest.find('#');
            value = rest.substr(1, hash == std::string::npos ? std::string::npos : hash - 1);
            rest = hash == std::string::npos ? "" : rest.substr(hash);
        }
        if (!rest.empty() && rest[0] == '#') oi = std::stoi(rest.substr(1));
        EXPECT_STREQ(item->value.Text(), value.c_str());
        EXPECT_EQ(item->oi, oi);
    }
}

struct ParseCase {
    int style;
    const char* line;
    int code;
    const char* errorToken;
    const char* items;
};

const ParseCase kParseCases[] = {
    // DOS: '/' and ':', case-insensitive.
    {2, "show /output:list.txt", JexPCLI::OK, "", "SHOW OUTPUT=list.txt"},
    {2, "show/output:list.txt", JexPCLI::OK, "", "SHOW OUTPUT=list.txt"},
    {2, "show /output", JexPCLI::OK, "", "SHOW OUTPUT"},
    {2, "show /", JexPCLI::EXPECT_MORE, "", "SHOW"},
    {2, "show /output:", JexPCLI::EXPECT_MORE, "", "SHOW OUTPUT"},
    {2, "show /nooutput", JexPCLI::OK, "", "SHOW OUTPUT!"},
    {2, "show /NOoutput:a", JexPCLI::OK, "", "SHOW OUTPUT!=a"},
    {2, "show /noquiet", JexPCLI::NOT_NEGATABLE, "noquiet", "SHOW"},
    {2, "show /out:a /out:b", JexPCLI::OK, "", "SHOW OUTPUT=b"},
    {2, "show /align:left", JexPCLI::OK, "", "SHOW ALIGN=left#1"},
    {2, "show /align:leftm", JexPCLI::OK, "", "SHOW ALIGN=leftmost#2"},
    {2, "show /side:left", JexPCLI::OK, "", "SHOW SIDE=left#2"},
    {2, "show /level:LEV", JexPCLI::OK, "", "SHOW LEVEL=level#2"},
    {2, "show /align:lef", JexPCLI::NOT_ONE_OF, "lef", "SHOW ALIGN"},
    {2, "show /color:bl", JexPCLI::OK, "", "SHOW COLOR=BLUE#2"},
    {2, "show /level:le", JexPCLI::NOT_ONE_OF, "le", "SHOW LEVEL"},
    {2, "show /color:green", JexPCLI::NOT_ONE_OF, "green", "SHOW COLOR"},
    {2, "show /v", JexPCLI::OK, "", "SHOW VERBOSE"},
    {2, "show /xyz", JexPCLI::UNKNOWN_ITEM, "xyz", "SHOW"},
    {2, "show a.txt", JexPCLI::OK, "", "SHOW FILE=a.txt"},
    {2, "show a.txt b    c", JexPCLI::OK, "", "SHOW FILE=a.txt MORE=b c"},
    {2, "show /rest a   b", JexPCLI::OK, "", "SHOW REST= a b"},
    {2, "show \"a b\"", JexPCLI::OK, "", "SHOW FILE=\"a b\""},
    {2, "show a\"b c\"d", JexPCLI::OK, "", "SHOW FILE=a\"b c\"d"},
    {2, "show \"open", JexPCLI::UNBALANCED_QUOTES, "", ""},
    {2, "show show", JexPCLI::OK, "", "SHOW FILE=show"},
    {2, "show sub /deep:1", JexPCLI::OK, "", "SHOW SUB DEEP=1"},
    {2, "show sub /output:o", JexPCLI::OK, "", "SHOW SUB OUTPUT=o"},
    {2, "show sub /d2:1", JexPCLI::OK, "", "SHOW SUB DEEP=1"},
    {2, "show sub x", JexPCLI::UNKNOWN_ITEM, "x", "SHOW SUB"},
    {2, "show /deep:1", JexPCLI::UNKNOWN_ITEM, "deep", "SHOW"},
    {2, "list", JexPCLI::OK, "", "LIST"},
    {2, "li", JexPCLI::AMBIGUOUS_ITEM, "li", ""},
    {2, "l", JexPCLI::AMBIGUOUS_ITEM, "l", ""},
    {2, "lo", JexPCLI::OK, "", "LOAD"},
    {2, "self", JexPCLI::UNKNOWN_ITEM, "self", ""},
    {2, "notify", JexPCLI::OK, "", "NOTIFY"},
    {2, "display /v", JexPCLI::OK, "", "SHOW VERBOSE"},
    {2, "/v", JexPCLI::UNKNOWN_ITEM, "v", ""},
    {2, "", JexPCLI::OK, "", ""},
    {2, "   ", JexPCLI::OK, "", ""},
    // The style option at the very end switches before tokenizing.
    {2, "SHOW -OUTPUT x --pcli_ui=unix", JexPCLI::OK, "", "SHOW OUTPUT=x"},
    {2, "SHOW -OUTPUT x --pcli_ui=oix", JexPCLI::OK, "", "SHOW OUTPUT=x"},
    {2, "show --pcli_ui=unix -output x", JexPCLI::OK, "",
     "SHOW FILE=--pcli_ui=unix MORE=-output x"},
    {2, "SHOW/OUTPUT=X --pcli_ui=qvos", JexPCLI::OK, "", "SHOW OUTPUT=X"},
    // UNIX: '-', blank value delimiter, case-sensitive.
    {1, "SHOW -OUTPUT", JexPCLI::EXPECT_MORE, "", "SHOW OUTPUT"},
    {1, "SHOW -OUTPUT list.txt", JexPCLI::OK, "", "SHOW OUTPUT=list.txt"},
    {1, "SHOW -OUTPUT -x", JexPCLI::OK, "", "SHOW OUTPUT=- FILE=x"},
    {1, "SHOW a-b", JexPCLI::OK, "", "SHOW FILE=a-b"},
    {1, "show", JexPCLI::UNKNOWN_ITEM, "show", ""},
    {1, "SHOW -COLOR blue", JexPCLI::NOT_ONE_OF, "blue", "SHOW COLOR"},
    {1, "SHOW -noVERBOSE", JexPCLI::OK, "", "SHOW VERBOSE!"},
    // QVOS: '/' and '='.
    {0, "SHOW/OUTPUT=X.LIS", JexPCLI::OK, "", "SHOW OUTPUT=X.LIS"},
    {0, "show/col=b A-B", JexPCLI::OK, "", "SHOW COLOR=BLUE#2 FILE=A-B"},
    // VESK: blank delimiters; a parameter's value begins with the blank.
    {3, "show output x", JexPCLI::OK, "", "SHOW OUTPUT=x"},
    {3, "show a.txt", JexPCLI::OK, "", "SHOW FILE= a.txt"},
    {3, "show output", JexPCLI::EXPECT_MORE, "", "SHOW OUTPUT"},
};

TEST_F(JexPCLITest, ParseTable) {
    const std::string path = Table("main", kMainTable);
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(std::string(JexPCLI::StyleName(c.style)) + ": " + c.line);
        JexPCLI cli(path.c_str());
        ASSERT_EQ(cli.Code(), JexPCLI::OK);
        cli.Style(c.style);
        EXPECT_EQ(cli.Parse(c.line), c.code);
        EXPECT_EQ(cli.Code(), c.code);
        EXPECT_STREQ(cli.Context().Text(), c.errorToken);
        if (c.code != JexPCLI::UNBALANCED_QUOTES) {
            ExpectItems(cli, c.items);
        }
    }
}

TEST_F(JexPCLITest, ErrorArgumentsNameTheItem) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    EXPECT_EQ(cli.Parse("show /noquiet"), JexPCLI::NOT_NEGATABLE);
    EXPECT_STREQ(cli.Args()[0].Data(), "negchk switch");
    EXPECT_STREQ(cli.FormattedText(0).Text(), "Item 'QUIET' is not negatable");

    EXPECT_EQ(cli.Parse("show /color:green"), JexPCLI::NOT_ONE_OF);
    EXPECT_STREQ(cli.FormattedText(0).Text(), "The values for COLOR must be one of 'RED,BLUE'");
    EXPECT_EQ(cli.Cause(), nullptr);

    EXPECT_EQ(cli.Parse("show /level:le"), JexPCLI::NOT_ONE_OF);
    ASSERT_NE(cli.Cause(), nullptr);
    EXPECT_EQ(cli.Cause()->Code(), JexPCLI::AMBIGUOUS_ITEM);
    EXPECT_STREQ(cli.Cause()->FormattedText(0).Text(), "Item le is ambiguous in current scope");

    EXPECT_EQ(cli.Parse("li"), JexPCLI::AMBIGUOUS_ITEM);
    EXPECT_STREQ(cli.Args()[0].Data(), "find_verb()");
    EXPECT_EQ(cli.Parse("show /xyz"), JexPCLI::UNKNOWN_ITEM);
    EXPECT_STREQ(cli.Args()[0].Data(), "parser end");
    EXPECT_STREQ(cli.FormattedText(0).Text(), "Unknown item or excess: 'xyz'");
}

TEST_F(JexPCLITest, StyleOptionStaysForLaterParses) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    EXPECT_EQ(cli.Parse("SHOW --pcli_ui=vesk"), JexPCLI::OK);
    EXPECT_EQ(cli.Style(), 3);
    EXPECT_EQ(cli.Parse("show output x"), JexPCLI::OK);
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "x");
}

TEST_F(JexPCLITest, EachParseStartsFromCleanResults) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    EXPECT_EQ(cli.Parse("show /color:blue /nooutput"), JexPCLI::OK);
    EXPECT_EQ(cli.Parse("show /color"), JexPCLI::OK);
    ExpectItems(cli, "SHOW COLOR");  // the choice of the earlier parse is cleared too
}

TEST_F(JexPCLITest, TokenizerStyles) {
    struct {
        int style;
        const char* line;
        const char* tokens;  // joined with '|'
    } cases[] = {
        {0, "DIR/OUT=X.LIS", "DIR|/|OUT|=|X.LIS"},
        {1, "cp -r a-b c", "cp|-|r|a-b|c"},
        {0, "A-B", "A-B"},
        {2, "a\"b c\"d", "a\"b c\"d"},
        {2, "\"x\"\"y\" z", "\"x\"\"y\"|z"},
        {3, "a  b", "a|b"},
        {2, "", ""},
        {2, "x:/y", "x|:|/|y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        JexPCLI cli;
        cli.Style(c.style);
        cli.tokenize_line(JexString(c.line));
        EXPECT_EQ(cli.Code(), JexPCLI::OK);
        std::string joined;
        for (int i = 0; i < cli.Tokens().Count(); ++i) {
            if (i) joined += '|';
            joined += cli.Tokens()[i].Text();
        }
        EXPECT_EQ(joined, c.tokens);
    }
    JexPCLI cli;
    cli.tokenize_line(JexString("a \"b"));
    EXPECT_EQ(cli.Code(), JexPCLI::UNBALANCED_QUOTES);
    EXPECT_EQ(cli.Tokens().Count(), 1);
}

TEST(JexPCLIListTest, FindInListAndAbbreviations) {
    struct {
        const char* token;
        const char* options;
        int cs;
        int result;
    } cases[] = {
        {"left", "left,leftmost", 1, 0},  {"leftm", "left,leftmost", 1, 1},
        {"left", "leftmost,left", 1, 1},  {"le", "left,level", 1, -2},
        {"x", "left,level", 1, -1},       {"", "left", 1, -1},
        {"LEF", "left,right", 0, 0},      {"LEF", "left,right", 1, -1},
        {"leftmost2", "leftmost", 1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.token) + " in " + c.options);
        JexFieldedString list(c.options, ',');
        EXPECT_EQ(JexPCLI::find_in_list(JexString(c.token, c.cs), list), c.result);
    }
}

TEST(JexPCLIStyleTest, StylesAndDefaults) {
    JexPCLI cli;
    EXPECT_EQ(cli.Style(), 2);
    EXPECT_EQ(cli.SwitchDelimiter(), '/');
    EXPECT_EQ(cli.ValueDelimiter(), ':');
    EXPECT_EQ(cli.CaseSensitive(), 0);
    struct {
        int ui;
        const char* name;
        char sd;
        int leading;
        char vd;
        int cs;
    } styles[] = {{0, "QVOS", '/', 0, '=', 0},
                  {1, "UNIX", '-', 1, ' ', 1},
                  {2, "DOS", '/', 0, ':', 0},
                  {3, "VESK", ' ', 1, ' ', 0},
                  {7, "-unknown-", '-', 1, ' ', 1}};
    int previous = 2;
    for (const auto& s : styles) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(cli.Style(s.ui), previous);
        previous = s.ui;
        EXPECT_STREQ(JexPCLI::StyleName(s.ui), s.name);
        EXPECT_EQ(cli.SwitchDelimiter(), s.sd);
        EXPECT_EQ(cli.SwitchDelimiterLeadingOnly(), s.leading);
        EXPECT_EQ(cli.ValueDelimiter(), s.vd);
        EXPECT_EQ(cli.CaseSensitive(), s.cs);
    }
    EXPECT_EQ(cli.Style(), 7);
}

TEST(JexPCLITraceTest, SwitchLetters) {
    struct {
        const char* value;
        bool f, k, p, t;
    } cases[] = {
        {"*-k", true, false, true, true},    {"-t+p", false, false, true, false},
        {"FkPT", true, true, true, true},    {nullptr, false, false, false, false},
        {"xyz", false, false, false, false},
    };
    for (const auto& c : cases) {
        const JexPCLITraceFlags flags = JexPCLIParseTraceSwitch(c.value);
        EXPECT_EQ(flags.forbid, c.f);
        EXPECT_EQ(flags.tokens, c.k);
        EXPECT_EQ(flags.parse, c.p);
        EXPECT_EQ(flags.table, c.t);
    }
}

TEST_F(JexPCLITest, WithoutATableNothingIsWalked) {
    JexPCLI none;
    EXPECT_EQ(none.Parse("show"), JexPCLI::TABLE_NOT_LOADED);
    JexPCLI missing((dir_.Path() / "absent").string().c_str());
    EXPECT_EQ(missing.Code(), JexPCLI::OPEN_FAIL);
    ASSERT_NE(missing.Cause(), nullptr);
    EXPECT_EQ(missing.Parse("show"), JexPCLI::TABLE_NOT_LOADED);
    JexPCLI damaged(Table("damaged", "Verb 0 BAD").c_str());
    EXPECT_EQ(damaged.Code(), JexPCLI::BAD_TABLE);
    EXPECT_EQ(damaged.Parse("bad"), JexPCLI::TABLE_NOT_LOADED);
    EXPECT_EQ(damaged.IsPresent(JexString("BAD")), 0);
    EXPECT_EQ(damaged.Code(), JexPCLI::NO_SUCH_ITEM);
}

TEST_F(JexPCLITest, ForbiddenCombinations) {
    const std::string path = Table("forbid", kForbidTable);
    struct {
        const char* line;
        int code;
        const char* text;
    } cases[] = {
        {"run /log", JexPCLI::SYNTAX_FORBIDDEN,
         "Doing this is forbidden:\n\tusing 'LOG' when not using 'OUT'.\n\t"},
        {"run /log /out", JexPCLI::OK, "Success"},
        {"run /a /c", JexPCLI::SYNTAX_FORBIDDEN,
         "Doing this is forbidden:\n\tusing any two of A,B,C.\n\t"},
        {"run /a", JexPCLI::OK, "Success"},
        {"run /d /e", JexPCLI::SYNTAX_ERROR, "D and E clash"},
        {"idle", JexPCLI::SYNTAX_FORBIDDEN, "Doing this is forbidden:\n\tnot using 'X'.\n\t"},
        {"idle /x", JexPCLI::OK, "Success"},
        {"run", JexPCLI::OK, "Success"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        JexPCLI cli(path.c_str());
        EXPECT_EQ(cli.Parse(c.line), c.code);
        EXPECT_STREQ(cli.FormattedText(0).Text(), c.text);
        if (c.code != JexPCLI::OK) {
            EXPECT_STREQ(cli.Context().Text(), "Forbidden syntax");
        }
    }
    // A second violation is kept behind the first.
    JexPCLI cli(path.c_str());
    EXPECT_EQ(cli.Parse("run /log /a /b"), JexPCLI::SYNTAX_FORBIDDEN);
    EXPECT_STREQ(cli.Args()[3].Data(), "'LOG'");
    ASSERT_NE(cli.Cause(), nullptr);
    EXPECT_STREQ(cli.Cause()->FormattedText(0).Text(),
                 "Doing this is forbidden:\n\tusing any two of A,B,C.\n\t");
}

TEST_F(JexPCLITest, Queries) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    ASSERT_EQ(cli.Parse("show /output:\"a\"\"b\""), JexPCLI::OK);
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "a\"b");
    ASSERT_EQ(cli.Parse("show /output:a\"\"b"), JexPCLI::OK);
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "a\"\"b");
    ASSERT_EQ(cli.Parse("show /output:\"\"\"\"\"\""), JexPCLI::OK);
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "\"\"");
    JexPCLIItem* output = cli.find_item("OUTPUT");
    ASSERT_NE(output, nullptr);
    output->value = "\"";
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "\"");

    ASSERT_EQ(cli.Parse("show"), JexPCLI::OK);
    EXPECT_STREQ(cli.Value(JexString("OUTPUT")).Text(), "x.lis");
    EXPECT_STREQ(cli.Value(JexString("DEEP")).Text(), "");
    EXPECT_STREQ(cli.Value(JexString("show.sub.deep")).Text(), "");
    EXPECT_EQ(cli.Code(), JexPCLI::OK);

    // present_default
    EXPECT_EQ(cli.IsPresent(JexString("ALL")), 1);
    EXPECT_EQ(cli.IsDefaulted(JexString("ALL")), 1);
    ASSERT_EQ(cli.Parse("show /noall"), JexPCLI::OK);
    EXPECT_EQ(cli.IsPresent(JexString("ALL")), 0);
    EXPECT_EQ(cli.IsNegated(JexString("ALL")), 1);
    EXPECT_EQ(cli.IsDefaulted(JexString("ALL")), 0);

    // one-of options by dotted name
    ASSERT_EQ(cli.Parse("show"), JexPCLI::OK);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.RED")), 1);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.BLUE")), 0);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.R")), 0);
    ASSERT_EQ(cli.Parse("show /color:blue"), JexPCLI::OK);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.BLUE")), 1);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.B")), 1);
    EXPECT_EQ(cli.IsPresent(JexString("COLOR.RED")), 0);
    EXPECT_EQ(cli.IsPresent(JexString("SHOW")), 1);
    EXPECT_EQ(cli.IsPresent(JexString("DISPLAY")), 0);  // aliases are not query names
    EXPECT_EQ(cli.Code(), JexPCLI::NO_SUCH_ITEM);

    struct {
        const char* op;
        int (JexPCLI::*query)(const JexString&);
    } queries[] = {{"IsPresent()", &JexPCLI::IsPresent},
                   {"IsNegated()", &JexPCLI::IsNegated},
                   {"IsDefaulted()", &JexPCLI::IsDefaulted}};
    for (const auto& q : queries) {
        SCOPED_TRACE(q.op);
        EXPECT_EQ((cli.*q.query)(JexString("NOPE")), 0);
        EXPECT_EQ(cli.Code(), JexPCLI::NO_SUCH_ITEM);
        EXPECT_STREQ(cli.Args()[0].Data(), q.op);
    }
    EXPECT_STREQ(cli.Value(JexString("NOPE")).Text(), "");
    EXPECT_STREQ(cli.FormattedText(0).Text(), "There is no such item named NOPE");
    EXPECT_EQ(cli.IsPresent(JexString("SHOW")), 1);
    EXPECT_EQ(cli.Code(), JexPCLI::OK);
}

TEST_F(JexPCLITest, FindItemWalksPathsAndDepths) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    struct {
        const char* name;
        const char* found;  // null: none
        int oi;
    } cases[] = {
        {"DEEP", "DEEP", 0},        {"SHOW.SUB.DEEP", "DEEP", 0}, {"SUB.DEEP", "DEEP", 0},
        {"COLOR.BLUE", "COLOR", 2}, {"COLOR.B", "COLOR", 2},      {"COLOR.GREEN", nullptr, 0},
        {"", nullptr, 0},           {".X", nullptr, 0},           {"show", "SHOW", 0},
        {"SELF", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JexPCLIItem* item = cli.find_item(c.name);
        if (!c.found) {
            EXPECT_EQ(item, nullptr);
            continue;
        }
        ASSERT_NE(item, nullptr);
        EXPECT_STREQ(item->name.Text(), c.found);
        EXPECT_EQ(cli.Oi(), c.oi);
    }
    // Aliases resolve when the mask admits them; one that names itself ends.
    EXPECT_STREQ(cli.find_item(JexString("DISPLAY"), nullptr, 255, 0x2E)->name.Text(), "SHOW");
    EXPECT_EQ(cli.find_item(JexString("SELF"), nullptr, 255, 0x2E), nullptr);
}

TEST_F(JexPCLITest, SearchesByScope) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    cli.Parse("");
    JexPCLIItem* show = cli.find_verb(JexString("show"), nullptr);
    ASSERT_NE(show, nullptr);
    JexPCLIItem* sub = cli.find_verb(JexString("sub"), show);
    ASSERT_NE(sub, nullptr);
    EXPECT_STREQ(cli.find_switch(JexString("out"), sub)->name.Text(), "OUTPUT");
    EXPECT_EQ(cli.find_switch(JexString("out"), nullptr), nullptr);
    EXPECT_STREQ(cli.find_verb(JexString("display"), nullptr)->name.Text(), "SHOW");
    show->given = 1;
    EXPECT_EQ(cli.find_verb(JexString("show"), nullptr), nullptr);
    JexPCLIItem* out = cli.find_switch(JexString("output"), show);
    ASSERT_NE(out, nullptr);
    out->given = 1;
    EXPECT_EQ(cli.find_switch(JexString("output"), show), out);
    EXPECT_STREQ(cli.find_param(show)->name.Text(), "FILE");
    EXPECT_EQ(cli.find_param(nullptr), nullptr);
}

TEST_F(JexPCLITest, ArgumentVectorLineAndReport) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    const char* argv[] = {"prog", "show", "a b", "\"q\""};
    EXPECT_EQ(cli.Parse(4, argv, "cmd", nullptr), JexPCLI::UNKNOWN_ITEM);
    std::string tokens;
    for (int i = 0; i < cli.Tokens().Count(); ++i)
        tokens += std::string(cli.Tokens()[i].Text()) + "|";
    EXPECT_EQ(tokens, "cmd|show|\"a b\"|\"q\"|");
    EXPECT_EQ(cli.Parse(4, argv, nullptr), JexPCLI::UNKNOWN_ITEM);
    EXPECT_STREQ(cli.Tokens()[0].Text(), "prog");

    const char* good[] = {"prog", "show", "/v"};
    EXPECT_EQ(cli.Parse(3, good, nullptr, nullptr), JexPCLI::UNKNOWN_ITEM);
    EXPECT_EQ(cli.Parse(2, good + 1, nullptr, nullptr), JexPCLI::OK);

    char* buffer = nullptr;
    size_t size = 0;
    FILE* err = open_memstream(&buffer, &size);
    ::testing::internal::CaptureStderr();
    const char* bad[] = {"prog", "/zz"};
    EXPECT_EQ(cli.Parse(2, bad, "show", err), JexPCLI::UNKNOWN_ITEM);
    const std::string usage = ::testing::internal::GetCapturedStderr();
    std::fclose(err);
    const std::string report(buffer, size);
    std::free(buffer);
    EXPECT_EQ(usage.rfind("Usage:\n------\n", 0), 0u);
    EXPECT_EQ(report, "--- JexPCLI::UNKNOWN_ITEM, Unknown item or excess: 'zz'\n");
    EXPECT_EQ(cli.Code(), JexPCLI::UNKNOWN_ITEM);
}

constexpr const char* kUsageTable = R"(
Verb   1 SHOW     help="Show a thing"
Switch 1 OUT      kv default=x.lis help="Where the listing goes"
Param  1 FILE     help="Names the file to show; give it once or leave it out to show every file there is"
Switch 1 COLOR    kv 1f options=RED,BLUE help=Colour
Forbid 1 OUT      when=COLOR
Forbid 1 Y        when=OUT help="No Y with OUT"
Verb   1 SECRET   hi
Switch 1 HIDDENSW
Alias  1 DISPLAY  to=SHOW
Verb   1 LIST
)";

TEST_F(JexPCLITest, UsageLines) {
    JexPCLI cli(Table("usage", kUsageTable).c_str());
    JexFieldedString lines('\n');
    int n = 0;
    cli.Usage(lines, nullptr, n, 0, 0);
    EXPECT_EQ(cli.Code(), JexPCLI::OK);
    const std::string dots20(20, '.');
    const std::vector<std::string> expected = {
        "Usage:",
        "------",
        "",
        "    SHOW " + dots20 + " Show a thing",
        "      /OUT:[x.lis] .......... Where the listing goes",
        "      {FILE} ................ Names the file to show; give it once or leave it",
        std::string(31, ' ') + "out to show every file there is",
        "      /COLOR:{value} ........ Colour (choose one of RED,BLUE)",
        "      Forbidden: using 'OUT' when using 'COLOR'",
        "",
        "      Restriction:" + std::string(10, ' ') + "  No Y with OUT",
        "      Alias 'DISPLAY' means the same as 'SHOW'",
        "",
        "",
        "    LIST",
    };
    ASSERT_EQ(lines.Count(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[static_cast<int>(i)].Text(), expected[i]) << "line " << i;

    // One verb with the stop level at its own level lists its subtree alone.
    JexFieldedString one('\n');
    int m = 0;
    JexPCLIItem* show = cli.find_item("SHOW");
    ASSERT_NE(show, nullptr);
    cli.Usage(one, show, m, 1, 0);
    EXPECT_EQ(one[one.Count() - 1].Text(), expected[10]);
}

TEST_F(JexPCLITest, UsageSwitchInUnixStyleAndLongLines) {
    JexPCLI cli(Table("usage2", R"(
Verb   1 GO
Switch 1 OUT kv default=x.lis help=Out
Switch 1 AVERYLONGSWITCHNAMEINDEED help=Long
Verb   1 X help=")" + std::string(120, 'h') +
                                    R"("
)")
                    .c_str());
    cli.Style(1);
    JexFieldedString lines('\n');
    int n = 0;
    cli.Usage(lines, nullptr, n, 0, 0);
    EXPECT_EQ(std::string(lines[4].Text()), "      -OUT [x.lis] .......... Out");
    EXPECT_EQ(std::string(lines[5].Text()), "      -AVERYLONGSWITCHNAMEINDEED");
    EXPECT_EQ(std::string(lines[6].Text()), std::string(30, ' ') + "Long");
    EXPECT_EQ(std::string(lines[8].Text()),
              "    X " + std::string(23, '.') + " " + std::string(49, 'h'));
    EXPECT_EQ(std::string(lines[9].Text()), std::string(31, ' ') + std::string(49, 'h'));
    EXPECT_EQ(std::string(lines[10].Text()), std::string(31, ' ') + std::string(22, 'h'));
}

TEST_F(JexPCLITest, UsageAndShowTableWithoutTableOrWithANoneItem) {
    JexPCLI none;
    JexFieldedString lines('\n');
    int n = 0;
    none.Usage(lines, nullptr, n, 0, 0);
    EXPECT_EQ(none.Code(), JexPCLI::TABLE_NOT_LOADED);
    EXPECT_STREQ(lines[0].Text(), "*** No PCLI table loaded ***\n");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    none.ShowTable(out);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, size), "*** No PCLI table loaded ***\n");
    std::free(buffer);

    JexPCLI odd(Table("odd", "Verb 1 A\nNone 1 N\nVerb 1 B").c_str());
    JexFieldedString l2('\n');
    int m = 0;
    odd.Usage(l2, nullptr, m, 0, 0);
    EXPECT_EQ(odd.Code(), JexPCLI::INTERNAL_PARSER_ERROR);
    // The listing stops at the item: B is not listed.
    ASSERT_EQ(l2.Count(), 5);
    EXPECT_STREQ(l2[4].Text(), "    ");
}

TEST(JexPCLIWrapTest, BreaksAtTheLastBlankWithinTheWidth) {
    JexFieldedString pieces = JexPCLI::Wrap(JexString("aaaa bbbb cccc dddd"), 10);
    ASSERT_EQ(pieces.Count(), 2);
    EXPECT_STREQ(pieces[0].Text(), "aaaa bbbb");
    EXPECT_STREQ(pieces[1].Text(), "cccc dddd");
    JexFieldedString narrow = JexPCLI::Wrap(JexString("abc"), -5);
    EXPECT_EQ(narrow.Count(), 3);
}

}  // namespace

namespace {

TEST_F(JexPCLITest, HugeLinesAndTables) {
    JexPCLI cli(Table("main", kMainTable).c_str());
    std::string line = "show a.txt";
    for (int i = 0; i < 200000; ++i) line += " w";
    ASSERT_EQ(cli.Parse(line.c_str()), JexPCLI::OK);
    EXPECT_EQ(std::strlen(cli.Value(JexString("MORE")).Text()), 2u * 200000 - 1);

    std::string many;
    for (int i = 0; i < 20000; ++i) many += "Verb 1 V" + std::to_string(i) + " help=h\n";
    JexPCLI big(Table("many", many).c_str());
    ASSERT_EQ(big.Code(), JexPCLI::OK);
    JexFieldedString lines('\n');
    int n = 0;
    big.Usage(lines, nullptr, n, 0, 0);
    EXPECT_EQ(lines.Count(), 2 + 2 * 20000);
    EXPECT_EQ(big.Parse("v19999"), JexPCLI::OK);
}

}  // namespace
