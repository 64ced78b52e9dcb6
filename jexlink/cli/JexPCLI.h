// The command-line interpreter: styles, tokenizer, item search, parser, queries and usage text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

class JexPCLITable;
class JexPCLIItem;

#define JEXPCLI_TEXTS(JEX_TEXT)                                                       \
    JEX_TEXT(0, OK, "Success")                                                        \
    JEX_TEXT(1, AMBIGUOUS_ITEM, "Item %1$s is ambiguous in current scope")            \
    JEX_TEXT(2, BAD_TABLE, "Error in command table")                                  \
    JEX_TEXT(3, BAD_VERSION, "Table %1$s version %2$d is unsupported by this parser") \
    JEX_TEXT(4, EXPECT_MORE, "Command appears to be incomplete")                      \
    JEX_TEXT(5, INTERNAL_PARSER_ERROR, "Fatal internal parser error")                 \
    JEX_TEXT(9, OPEN_FAIL, "Failed to open table file %1$s")                          \
    JEX_TEXT(6, NO_SUCH_ITEM, "There is no such item named %1$s")                     \
    JEX_TEXT(7, NOT_NEGATABLE, "Item '%1$s' is not negatable")                        \
    JEX_TEXT(8, NOT_ONE_OF, "The values for %1$s must be one of '%2$s'")              \
    JEX_TEXT(10, SYNTAX_ERROR, "%1$s")                                                \
    JEX_TEXT(11, SYNTAX_FORBIDDEN,                                                    \
             "Doing this is forbidden:\n\t%1$s%2$s%3$s%4$s%5$s%6$s.\n\t%7$s")         \
    JEX_TEXT(12, TABLE_NOT_LOADED, "Command interpreter table is not loaded")         \
    JEX_TEXT(13, UNBALANCED_QUOTES, "Unbalanced quotation marks in command")          \
    JEX_TEXT(14, UNKNOWN_ITEM, "Unknown item or excess: '%1$s'")

// The trace switches of JEXPCLI_TRACE: f forbidden combinations, k
// tokenizer, p parser, t table loading; '*' all four; '-' and '+' turn the
// sense of the letters that follow off and on.
struct JexPCLITraceFlags {
    bool forbid = false;
    bool tokens = false;
    bool parse = false;
    bool table = false;
};
JexPCLITraceFlags JexPCLIParseTraceSwitch(const char* value);
// The process's switches, read from the environment when the library loads.
JexPCLITraceFlags& JexPCLITrace();

// A command-line interpreter over one compiled syntax table (JexPCLITable).
// Parse matches a line against the table and leaves the results in the
// table's items; Value, IsPresent, IsNegated and IsDefaulted read them.
// Errors are only recorded (the suppress flag is set) and returned as codes.
// Tables and items are interpreters too, so they share the error table.
class JexPCLI : public JexException {
public:
    enum : int { JEXPCLI_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Item categories and their bits in a category mask.
    enum : int32_t { None = 0, Verb = 1, Param = 2, Switch = 3, Forbid = 4, Alias = 5 };
    static constexpr int kQueryMask = 0x0E;
    static constexpr int kAliasBit = 0x20;
    static constexpr int kWholeTableDepth = 255;

    // Usage layout.
    static constexpr int kLineWidth = 79;
    static constexpr int kHelpColumn = 30;
    static constexpr int kHelpGap = 2;

    JexPCLI();
    explicit JexPCLI(const JexString& table_name);
    explicit JexPCLI(const char* table_name);
    ~JexPCLI() override;

    int Style(int ui);
    int Style() const { return style; }
    static const char* StyleName(int ui);

    int Parse(const JexString& line);
    int Parse(const char* line);
    // Joins the arguments into one line (an argument holding white space in
    // double quotes) and parses it. The command name, when given, stands in
    // place of element 0. On failure with an error stream: the usage on
    // standard error, then the error's description on that stream.
    int Parse(int argc, const char* const* argv, const char* command, FILE* err);
    int Parse(int argc, const char* const* argv, FILE* err);

    JexString Value(const JexString& name);
    int IsPresent(const JexString& name);
    int IsNegated(const JexString& name);
    int IsDefaulted(const JexString& name);

    void ShowTable(FILE* out);
    void Usage(JexFieldedString& lines, JexPCLIItem* item, int& n, int stop, int quiet);
    void Usage(FILE* out, JexPCLIItem* item, int& n, int stop, int quiet);

    // The item for a name, searched through the whole table among verbs,
    // parameters and switches.
    JexPCLIItem* find_item(const char* name);
    JexPCLIItem* find_item(const JexString& name, JexPCLIItem* start, int depth, int mask);

    // The parser's tools.
    void tokenize_line(const JexString& line);
    JexPCLIItem* find_verb(const JexString& token, JexPCLIItem* scope);
    JexPCLIItem* find_switch(const JexString& token, JexPCLIItem* scope);
    JexPCLIItem* find_param(JexPCLIItem* scope);
    void check_forbiddens(JexPCLIItem* start);
    static int is_abbreviation(const JexString& name, const JexString& token);
    static int find_in_list(const JexString& token, JexFieldedString& list);

    // The six parts that describe a forbidden combination.
    static void ForbidParts(JexPCLIItem& f, JexString parts[6]);
    // Text wrapped to a width, in trimmed pieces.
    static JexFieldedString Wrap(const JexString& text, int width);

    JexPCLITable* Table() const { return table.get(); }
    // True when a table is held and loaded without error.
    bool Loaded() const;
    JexFieldedString& Tokens() { return tokens; }
    const JexString& Context() const { return context; }
    int32_t Oi() const { return oi; }
    int32_t CaseSensitive() const { return case_sensitive; }
    char SwitchDelimiter() const { return switch_delimiter; }
    char ValueDelimiter() const { return value_delimiter; }
    int32_t SwitchDelimiterLeadingOnly() const { return switch_delimiter_leading_only; }

    // Alias resolutions and recursion of one search are bounded, so a table
    // whose aliases name each other cannot exhaust the stack.
    static constexpr int kMaxSearchDepth = 600;

private:
    void LoadTable(const JexString& name);
    int IsPresentQuiet(const JexString& name);
    int PresentFor(JexPCLIItem& item, const JexString& name, int32_t option);
    JexPCLIItem* FindNamed(const JexString& token, JexPCLIItem* scope, int verbs, int hops);
    JexPCLIItem* FindItemAt(const JexString& name, JexPCLIItem* start, int depth, int mask,
                            int level);
    bool DescribeItem(std::vector<std::string>& lines, JexPCLIItem& item, int& n);
    void UsageLines(std::vector<std::string>& lines, JexPCLIItem* item, int& n, int stop,
                    int quiet);
    int AssignValue(JexPCLIItem& item, const JexString& text);
    int Negation(JexPCLIItem*& found, const JexString& token, JexPCLIItem* scope, bool verbs);

    // The steps of Parse: a trailing "--pcli_ui=" option sets the style;
    // each token is taken by the first step that expects it (kFailed: the
    // step recorded an error).
    struct Expect;
    enum class Step { kNotTaken, kTaken, kFailed };
    void TakeStyleOption(std::string& line);
    Step TakeToken(Expect& expect, const JexString& token);
    Step TakeVerb(Expect& expect, const JexString& token);
    Step TakeDelimiter(Expect& expect, const JexString& token);
    Step TakeSwitch(Expect& expect, const JexString& token);
    Step TakeValue(Expect& expect, const JexString& token);
    Step TakeParam(Expect& expect, const JexString& token);

protected:
    std::unique_ptr<JexPCLITable> table;
    int32_t style = 1;
    int32_t case_sensitive = 1;
    char switch_delimiter = '-';
    int32_t switch_delimiter_leading_only = 1;
    char value_delimiter = ' ';
    int32_t value_delimiter_leading_only = 0;
    JexFieldedString tokens;
    JexString context;
    int32_t oi = 0;
};
