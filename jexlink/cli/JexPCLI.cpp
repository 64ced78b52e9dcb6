// The command-line interpreter: styles, tokenizer, item search, queries and usage text.
#include "jexlink/cli/JexPCLI.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/cli/JexPCLITable.h"
#include "jexlink/core/JexTrace.h"

#define JEX_TEXT_CLASS JexPCLI
const JexTextRow JexPCLI::kTextTable[] = JEX_TEXT_TABLE(JEXPCLI_TEXTS);
#undef JEX_TEXT_CLASS

JexPCLITraceFlags JexPCLIParseTraceSwitch(const char* value) {
    JexPCLITraceFlags flags;
    bool sense = true;
    for (const char* c = value ? value : ""; *c; ++c) {
        switch (*c) {
            case 'f':
            case 'F': flags.forbid = sense; break;
            case 'k':
            case 'K': flags.tokens = sense; break;
            case 'p':
            case 'P': flags.parse = sense; break;
            case 't':
            case 'T': flags.table = sense; break;
            case '*': flags.forbid = flags.tokens = flags.parse = flags.table = sense; break;
            case '+': sense = true; break;
            case '-': sense = false; break;
            default: break;
        }
    }
    return flags;
}

JexPCLITraceFlags& JexPCLITrace() {
    static JexPCLITraceFlags flags = JexPCLIParseTraceSwitch(std::getenv("JEXPCLI_TRACE"));
    return flags;
}

namespace {

// Reads the trace switches when the library loads.
const JexPCLITraceFlags& kTraceAtLoad = JexPCLITrace();

constexpr char kTokenSeparator = '\1';

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int TextLength(const JexString& s) { return static_cast<int>(std::strlen(s.Text())); }

// Equal texts under the case rule: case-sensitive only when both carry the flag.
bool SameText(const JexString& a, const JexString& b) { return a.Compare(b) == 0; }

}  // namespace

// --- Construction -----------------------------------------------------------

JexPCLI::JexPCLI() : JexException(kTextTable, "JexPCLI"), tokens(kTokenSeparator), context("", 1) {
    (void)kTraceAtLoad;
    SetSuppress(1);
    Style(2);
}

JexPCLI::JexPCLI(const JexString& table_name) : JexPCLI() { LoadTable(table_name); }

JexPCLI::JexPCLI(const char* table_name) : JexPCLI() { LoadTable(JexString(table_name)); }

JexPCLI::~JexPCLI() = default;

void JexPCLI::LoadTable(const JexString& name) {
    JexTrace trace(__FILE__, "JexPCLI()", __LINE__);
    table = std::make_unique<JexPCLITable>(name);
    if (table->Code() != 0) {
        ExcSet(table->Code(), table->Args(), table->Cause());
        Raise();
    }
    if (!JexPCLITrace().table) return;
    std::fputs(":t: ", stderr);
    if (Loaded())
        table->Dump(stderr);
    else
        std::fputs("*** No PCLI table loaded ***\n", stderr);
    JexString status;
    CodeName(status);
    std::fprintf(stderr, ":t: Table %s load status: %s\n", name.Text(), status.Text());
}

bool JexPCLI::Loaded() const { return table && table->Code() == 0; }

int JexPCLI::Style(int ui) {
    const int previous = style;
    style = ui;
    value_delimiter_leading_only = 0;
    switch (ui) {
        case 0:
            switch_delimiter = '/';
            switch_delimiter_leading_only = 0;
            value_delimiter = '=';
            case_sensitive = 0;
            break;
        case 2:
            switch_delimiter = '/';
            switch_delimiter_leading_only = 0;
            value_delimiter = ':';
            case_sensitive = 0;
            break;
        case 3:
            switch_delimiter = ' ';
            switch_delimiter_leading_only = 1;
            value_delimiter = ' ';
            case_sensitive = 0;
            break;
        default:
            switch_delimiter = '-';
            switch_delimiter_leading_only = 1;
            value_delimiter = ' ';
            case_sensitive = 1;
            break;
    }
    return previous;
}

const char* JexPCLI::StyleName(int ui) {
    static const char* const kNames[] = {"QVOS", "UNIX", "DOS", "VESK"};
    return ui >= 0 && ui <= 3 ? kNames[ui] : "-unknown-";
}

// --- Tokenizer and list routines --------------------------------------------

void JexPCLI::tokenize_line(const JexString& line) {
    const std::string text = line.Text();
    std::vector<std::string> out;
    std::string word;
    int state = 0;
    const char sd = switch_delimiter;
    const char vd = value_delimiter;
    // Position text.size() is the end mark.
    for (size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        const char c = end ? '\n' : text[i];
        if (state == 0) {
            if (end || IsSpace(c)) continue;
            if (c == sd || c == vd) {
                out.emplace_back(1, c);
                continue;
            }
            word.assign(1, c);
            state = c == '"' ? 2 : 1;
        } else if (state == 1) {
            if (end || IsSpace(c)) {
                out.push_back(word);
                state = 0;
            } else if ((c == sd && !switch_delimiter_leading_only) ||
                       (c == vd && !value_delimiter_leading_only)) {
                out.push_back(word);
                out.emplace_back(1, c);
                state = 0;
            } else {
                if (c == '"') state = 2;
                word += c;
            }
        } else {
            if (end) {
                tokens.Clear();
                tokens.Grow(static_cast<int>(out.size()));
                for (size_t k = 0; k < out.size(); ++k)
                    tokens[static_cast<int>(k)] = out[k].c_str();
                ExcSet(UNBALANCED_QUOTES);
                Raise();
                return;
            }
            if (c == '"') state = 1;
            word += c;
        }
    }
    tokens.Clear();
    tokens.Grow(static_cast<int>(out.size()));
    for (size_t k = 0; k < out.size(); ++k) tokens[static_cast<int>(k)] = out[k].c_str();
    if (!JexPCLITrace().tokens) return;
    std::fputs(":k: Tokenization of command line is:\n", stderr);
    for (size_t k = 0; k < out.size(); ++k)
        std::fprintf(stderr, "\t%3.3d: \"%s\"\n", static_cast<int>(k), out[k].c_str());
    std::fputs("\t-- no more tokens --\n", stderr);
}

int JexPCLI::is_abbreviation(const JexString& name, const JexString& token) {
    const int n = TextLength(token);
    if (n == 0 || n > TextLength(name)) return 0;
    JexString head = JexString::FromBytes(name.Text(), n);
    head.SetCaseSensitive(name.CaseSensitive());
    return head.Compare(token) == 0;
}

int JexPCLI::find_in_list(const JexString& token, JexFieldedString& list) {
    int remembered = -1;
    const int n = TextLength(token);
    for (int i = 0; i < list.Count(); ++i) {
        JexString option = list[i];
        option.SetCaseSensitive(token.CaseSensitive());
        if (!is_abbreviation(option, token)) continue;
        if (n == TextLength(option)) return i;
        if (remembered >= 0) return -2;
        remembered = i;
    }
    return remembered;
}

// --- Item search ------------------------------------------------------------

JexPCLIItem* JexPCLI::FindNamed(const JexString& token, JexPCLIItem* scope, int verbs, int hops) {
    if (hops > kMaxSearchDepth || !Loaded()) return nullptr;
    JexString tok = token;
    tok.SetCaseSensitive(case_sensitive);
    const int n = TextLength(tok);
    for (JexPCLIItem* s = scope; verbs || s; s = s ? s->parent : nullptr) {
        JexPCLIItem* start = verbs ? (scope ? scope->child : table->first) : s->child;
        JexPCLIItem* found = nullptr;
        for (JexPCLIItem* it = start; it; it = it->next) {
            const int wanted = verbs ? Verb : Switch;
            if (it->category != wanted && it->category != Alias) continue;
            if (verbs && it->given) continue;
            it->name.SetCaseSensitive(case_sensitive);
            if (!is_abbreviation(it->name, tok)) continue;
            if (n == TextLength(it->name)) {
                found = it;
                break;
            }
            if (found) {
                context = token;
                ExcSet(AMBIGUOUS_ITEM,
                       JexExcArgs(verbs ? "find_verb()" : "find_up_path()", token.Text()));
                Raise();
                return nullptr;
            }
            found = it;
        }
        if (found) {
            if (found->category != Alias) return found;
            return FindNamed(found->default_value, scope, verbs, hops + 1);
        }
        if (verbs) break;  // verbs are looked for in the scope alone
    }
    return nullptr;
}

JexPCLIItem* JexPCLI::find_verb(const JexString& token, JexPCLIItem* scope) {
    oi = 0;
    return FindNamed(token, scope, 1, 0);
}

JexPCLIItem* JexPCLI::find_switch(const JexString& token, JexPCLIItem* scope) {
    if (!scope) return nullptr;
    oi = 0;
    return FindNamed(token, scope, 0, 0);
}

JexPCLIItem* JexPCLI::find_param(JexPCLIItem* scope) {
    if (!Loaded()) return nullptr;
    for (JexPCLIItem* it = scope ? scope->child : table->first; it; it = it->next)
        if (it->category == Param && !it->given) return it;
    return nullptr;
}

JexPCLIItem* JexPCLI::find_item(const char* name) {
    return find_item(JexString(name), nullptr, kWholeTableDepth, kQueryMask);
}

JexPCLIItem* JexPCLI::find_item(const JexString& name, JexPCLIItem* start, int depth, int mask) {
    return FindItemAt(name, start, depth, mask, 0);
}

JexPCLIItem* JexPCLI::FindItemAt(const JexString& name, JexPCLIItem* start, int depth, int mask,
                                 int level) {
    oi = 0;
    if (level > kMaxSearchDepth || !Loaded()) return nullptr;
    const std::string whole = name.Text();
    const size_t dot = whole.find('.');
    const std::string headText = whole.substr(0, dot);
    if (whole.empty() || headText.empty()) return nullptr;
    const std::string restText = dot == std::string::npos ? "" : whole.substr(dot + 1);
    int rest = 0;
    if (dot != std::string::npos) {
        rest = 1;
        for (char c : restText) rest += c == '.';
    }
    JexString head(headText.c_str(), case_sensitive);
    JexString restName(restText.c_str(), case_sensitive);
    const int codeAtEntry = Code();

    JexPCLIItem* chain = start ? start : table->first;
    JexPCLIItem* result = nullptr;
    for (JexPCLIItem* it = chain; it && !result; it = it->next) {
        it->name.SetCaseSensitive(case_sensitive);
        it->internal_name.SetCaseSensitive(case_sensitive);
        const bool inMask =
            it->category >= 0 && it->category < 31 && ((mask >> it->category) & 1) != 0;
        const bool considered = rest > 0 || inMask;
        if (!considered || !SameText(it->internal_name, head)) continue;
        if (rest == 0) {
            result = it;
            break;
        }
        if (rest == 1 && it->one_of) {
            const int p = find_in_list(restName, it->options);
            if (p >= 0) {
                oi = p + 1;
                result = it;
                break;
            }
        }
        if (it->child) {
            JexPCLIItem* found = FindItemAt(restName, it->child, 0, mask, level + 1);
            if (found) return found;
            if (Code() != codeAtEntry) return nullptr;
        }
    }
    if (!result && depth > 0) {
        for (JexPCLIItem* it = chain; it && !result; it = it->next) {
            if (!it->child) continue;
            result = FindItemAt(name, it->child, depth - 1, mask, level + 1);
            if (!result && Code() != codeAtEntry) return nullptr;
        }
    }
    if (result && result->category == Alias) {
        const int plain = mask & ~kAliasBit;
        JexPCLIItem* target = FindItemAt(result->default_value, start, depth, plain, level + 1);
        if (!target && Code() == codeAtEntry)
            target = FindItemAt(result->default_value, nullptr, kWholeTableDepth, plain, level + 1);
        return target;
    }
    return result;
}

// --- Queries ----------------------------------------------------------------

int JexPCLI::PresentFor(JexPCLIItem& item, const JexString& name, int32_t option) {
    if (!item.one_of || option == 0)
        return (item.given || item.present_default) && !item.negated ? 1 : 0;
    if (item.given) return item.oi == option ? 1 : 0;
    const std::string whole = name.Text();
    const std::string last = whole.substr(whole.rfind('.') + 1);
    JexString wanted(last.c_str(), case_sensitive);
    JexString def = item.default_value;
    def.SetCaseSensitive(case_sensitive);
    return SameText(def, wanted) ? 1 : 0;
}

int JexPCLI::IsPresentQuiet(const JexString& name) {
    JexPCLIItem* item = find_item(name, nullptr, kWholeTableDepth, kQueryMask);
    if (!item) return 0;
    return PresentFor(*item, name, oi);
}

JexString JexPCLI::Value(const JexString& name) {
    ExcSet(OK);
    JexPCLIItem* item = find_item(name, nullptr, kWholeTableDepth, kQueryMask);
    if (!item) {
        ExcSet(NO_SUCH_ITEM, JexExcArgs("Value()", name.Text()));
        Raise();
        return JexString("");
    }
    if (!item->given) return item->default_value;
    const std::string v = item->value.Text();
    if (v.size() < 2 || v.front() != '"' || v.back() != '"') return item->value;
    const std::string inner = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < inner.size(); ++i) {
        out += inner[i];
        if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') ++i;
    }
    return JexString(out.c_str());
}

int JexPCLI::IsPresent(const JexString& name) {
    ExcSet(OK);
    JexPCLIItem* item = find_item(name, nullptr, kWholeTableDepth, kQueryMask);
    if (!item) {
        ExcSet(NO_SUCH_ITEM, JexExcArgs("IsPresent()", name.Text()));
        Raise();
        return 0;
    }
    return PresentFor(*item, name, oi);
}

int JexPCLI::IsNegated(const JexString& name) {
    ExcSet(OK);
    JexPCLIItem* item = find_item(name, nullptr, kWholeTableDepth, kQueryMask);
    if (!item) {
        ExcSet(NO_SUCH_ITEM, JexExcArgs("IsNegated()", name.Text()));
        Raise();
        return 0;
    }
    return item->negated ? 1 : 0;
}

int JexPCLI::IsDefaulted(const JexString& name) {
    ExcSet(OK);
    JexPCLIItem* item = find_item(name, nullptr, kWholeTableDepth, kQueryMask);
    if (!item) {
        ExcSet(NO_SUCH_ITEM, JexExcArgs("IsDefaulted()", name.Text()));
        Raise();
        return 0;
    }
    return item->present_default && !item->given && !item->negated ? 1 : 0;
}

// --- Forbidden combinations -------------------------------------------------

void JexPCLI::ForbidParts(JexPCLIItem& f, JexString parts[6]) {
    const bool hasWhen = f.default_value.Text()[0] != 0;
    parts[0] = f.not_first ? "not using " : "using ";
    parts[1] = "";
    if (f.any_two) parts[1] = "any two of ";
    if (f.one_of) parts[1] = "any one of ";
    if (f.any_two || f.one_of)
        parts[2] = f.options.Text();
    else
        parts[2] = ("'" + std::string(f.name.Text()) + "'").c_str();
    parts[3] = hasWhen ? " when " : "";
    parts[4] = !hasWhen ? "" : f.not_second ? "not using " : "using ";
    parts[5] = hasWhen ? ("'" + std::string(f.default_value.Text()) + "'").c_str() : "";
}

void JexPCLI::check_forbiddens(JexPCLIItem* start) {
    if (!Loaded()) return;
    JexPCLIItem* chain = start ? start : table->first;
    for (JexPCLIItem* f = chain; f; f = f->next) {
        if (f->category != Forbid) continue;
        bool firstCondition = false;
        if (f->any_two) {
            int count = 0;
            for (int i = 0; i < f->options.Count() && count < 2; ++i)
                count += IsPresentQuiet(f->options[i]);
            firstCondition = count >= 2;
        } else if (f->one_of) {
            for (int i = 0; i < f->options.Count() && !firstCondition; ++i)
                firstCondition = IsPresentQuiet(f->options[i]) != 0;
        } else {
            firstCondition = IsPresentQuiet(f->name) != 0;
        }
        if (f->not_first) firstCondition = !firstCondition;
        bool secondCondition = true;
        if (f->default_value.Text()[0]) {
            secondCondition = IsPresentQuiet(f->default_value) != 0;
            if (f->not_second) secondCondition = !secondCondition;
        }
        if (!firstCondition || !secondCondition) continue;
        context = "Forbidden syntax";
        JexString parts[6];
        ForbidParts(*f, parts);
        const bool full = f->help_text.Text()[0] == 0 || JexPCLITrace().forbid;
        const int code = full ? SYNTAX_FORBIDDEN : SYNTAX_ERROR;
        const JexExcArgs args =
            full ? JexExcArgs("check_forbiddens()", parts[0].Text(), parts[1].Text(),
                              parts[2].Text(), parts[3].Text(), parts[4].Text(), parts[5].Text(),
                              f->help_text.Text())
                 : JexExcArgs("check_forbiddens()", f->help_text.Text());
        if (Code() == 0)
            ExcSet(code, args);
        else
            ExcSetViaClone(code, args);
    }
    for (JexPCLIItem* it = chain; it; it = it->next)
        if (it->given && it->child) check_forbiddens(it->child);
}

// --- Parsing ----------------------------------------------------------------

int JexPCLI::AssignValue(JexPCLIItem& item, const JexString& text) {
    if (!item.one_of) {
        item.value = text;
        item.oi = 0;
        return OK;
    }
    JexString v = text;
    v.SetCaseSensitive(case_sensitive);
    const int p = find_in_list(v, item.options);
    if (p >= 0) {
        item.value = item.options[p];
        item.oi = p + 1;
        return OK;
    }
    context = text;
    item.oi = 0;
    std::unique_ptr<JexPCLI> cause;
    if (p == -2) {
        cause = std::make_unique<JexPCLI>();
        cause->ExcSet(AMBIGUOUS_ITEM, JexExcArgs("Parse()", text.Text()));
    }
    ExcSet(NOT_ONE_OF, JexExcArgs("Parse()", item.name.Text(), item.options.Text().Text()),
           cause.get());
    Raise();
    return NOT_ONE_OF;
}

int JexPCLI::Negation(JexPCLIItem*& found, const JexString& token, JexPCLIItem* scope, bool verbs) {
    found = nullptr;
    const char* t = token.Text();
    if (std::tolower(static_cast<unsigned char>(t[0])) != 'n' ||
        std::tolower(static_cast<unsigned char>(t[1])) != 'o')
        return OK;
    const JexString rest(t + 2, token.CaseSensitive());
    found = verbs ? find_verb(rest, scope) : find_switch(rest, scope);
    if (Code() != OK || !found) return Code();
    if (found->negatable) {
        found->negated = 1;
        return OK;
    }
    context = token;
    ExcSet(NOT_NEGATABLE, JexExcArgs(verbs ? "negchk verb" : "negchk switch", found->name.Text()));
    Raise();
    found = nullptr;
    return NOT_NEGATABLE;
}

int JexPCLI::Parse(const char* line) { return Parse(JexString(line ? line : "")); }

int JexPCLI::Parse(int argc, const char* const* argv, const char* command, FILE* err) {
    std::string line = command ? command : "";
    for (int i = command ? 1 : 0; argv && i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        line += ' ';
        bool space = false;
        for (const char* c = arg; *c && !space; ++c) space = IsSpace(*c);
        if (space)
            line += '"' + std::string(arg) + '"';
        else
            line += arg;
    }
    const int code = Parse(JexString(line.c_str()));
    if (!err || code == OK) return code;
    // The usage may record an error of its own; the parse's error is the one reported.
    std::unique_ptr<JexException> parseError(CopyChain());
    JexFieldedString lines('\n');
    int n = 0;
    Usage(lines, nullptr, n, 0, 0);
    for (int i = 0; i < lines.Count(); ++i) std::fprintf(stderr, "%s\n", lines[i].Text());
    ExcSet(parseError->Code(), parseError->Args(), parseError->Cause());
    std::fprintf(err, "%s\n", Describe(1).Text());
    std::fflush(stderr);
    std::fflush(err);
    return Code();
}

int JexPCLI::Parse(int argc, const char* const* argv, FILE* err) {
    return Parse(argc, argv, nullptr, err);
}

// --- Table display and usage ------------------------------------------------

void JexPCLI::ShowTable(FILE* out) {
    if (!Loaded()) {
        std::fputs("*** No PCLI table loaded ***\n", out);
        ExcSet(TABLE_NOT_LOADED);
        Raise();
        return;
    }
    table->Dump(out);
}

JexFieldedString JexPCLI::Wrap(const JexString& text, int width) {
    JexFieldedString pieces('\n');
    if (width < 1) width = 1;
    const int minimum = 3 * width / 4;
    std::string rest = text.Text();
    int count = 0;
    const auto trim = [](std::string s) {
        const size_t b = s.find_first_not_of(" \t\n\r\f\v");
        if (b == std::string::npos) return std::string();
        const size_t e = s.find_last_not_of(" \t\n\r\f\v");
        return s.substr(b, e - b + 1);
    };
    while (!rest.empty()) {
        std::string piece;
        if (static_cast<int>(rest.size()) < width) {
            piece = rest;
            rest.clear();
        } else {
            int cut = width;  // after position width - 1
            for (int p = width - 1; p > minimum; --p) {
                if (IsSpace(rest[static_cast<size_t>(p)])) {
                    cut = p + 1;
                    break;
                }
            }
            piece = rest.substr(0, static_cast<size_t>(cut));
            rest = rest.substr(static_cast<size_t>(cut));
        }
        pieces[count++] = trim(piece).c_str();
        rest = trim(rest);
    }
    return pieces;
}

bool JexPCLI::DescribeItem(std::vector<std::string>& lines, JexPCLIItem& item, int& n) {
    const int indent = 2 * item.level + 2;
    int column = indent;
    const auto line = [&]() -> std::string& {
        if (lines.size() <= static_cast<size_t>(n)) lines.resize(static_cast<size_t>(n) + 1);
        return lines[static_cast<size_t>(n)];
    };
    const auto append = [&](const std::string& s) { line() += s; };
    const auto close = [&] { ++n; };
    if (item.category == Verb && item.level == 1) {
        line().clear();
        close();
    }
    std::string pad;
    for (int i = 0; i <= item.level; ++i) pad += "  ";
    append(pad);
    const std::string name = item.name.Text();
    const std::string def = item.default_value.Text();
    const bool hasHelp = item.help_text.Text()[0] != 0;
    switch (item.category) {
        case Verb:
            append(name);
            column += static_cast<int>(name.size());
            break;
        case Param:
            append("{" + name + "}");
            column += static_cast<int>(name.size()) + 2;
            break;
        case Switch:
            append(std::string(1, switch_delimiter) + name);
            column += static_cast<int>(name.size()) + 1;
            if (item.takes_value) {
                append(std::string(1, value_delimiter));
                if (def.empty()) {
                    append("{value}");
                    column += 8;
                } else {
                    append("[" + def + "]");
                    column += static_cast<int>(def.size()) + 3;
                }
            }
            break;
        case Forbid:
            if (!hasHelp) {
                JexString parts[6];
                ForbidParts(item, parts);
                std::string text = "Forbidden: ";
                for (const JexString& p : parts) text += p.Text();
                JexFieldedString wrapped = Wrap(JexString(text.c_str()), kLineWidth - indent);
                for (int i = 0; i < wrapped.Count(); ++i) {
                    if (i) append(std::string(static_cast<size_t>(indent + 1), ' '));
                    append(wrapped[i].Text());
                    close();
                }
            } else {
                append("Restriction:");
                column += 13;
                while (column < kHelpColumn - kHelpGap) {
                    append(" ");
                    ++column;
                }
                append(" ");
            }
            break;
        case Alias:
            append("  Alias '" + name + "' means the same as '" + def + "'");
            close();
            break;
        default:
            ExcSet(INTERNAL_PARSER_ERROR, JexExcArgs("Usage()"));
            Raise();
            return false;
    }
    if (!hasHelp) {
        close();
        return true;
    }
    if (item.category == Alias) return true;
    if (column + 2 > kHelpColumn) {
        close();
        append(std::string(kHelpColumn, ' '));
    } else {
        append(" " + std::string(static_cast<size_t>(kHelpColumn - kHelpGap - column), '.') + " ");
    }
    std::string text = item.help_text.Text();
    if (item.one_of) text += " (choose one of " + std::string(item.options.Text().Text()) + ")";
    JexFieldedString wrapped = Wrap(JexString(text.c_str()), kLineWidth - kHelpColumn);
    for (int i = 0; i < wrapped.Count(); ++i) {
        if (i) append(std::string(kHelpColumn + 1, ' '));
        append(wrapped[i].Text());
        close();
    }
    return true;
}

void JexPCLI::Usage(JexFieldedString& lines, JexPCLIItem* item, int& n, int stop, int quiet) {
    if (n < 0) n = 0;
    // The lines are built in a vector and handed over at once: a list that
    // grows one field at a time would cost quadratic time on a large table.
    std::vector<std::string> work(static_cast<size_t>(lines.Count()));
    for (int i = 0; i < lines.Count(); ++i) work[static_cast<size_t>(i)] = lines[i].Text();
    if (!Loaded()) {
        if (work.size() <= static_cast<size_t>(n)) work.resize(static_cast<size_t>(n) + 1);
        work[static_cast<size_t>(n)] = "*** No PCLI table loaded ***\n";
        ExcSet(TABLE_NOT_LOADED);
        Raise();
    } else {
        if (!item) {
            work.resize(std::max(work.size(), static_cast<size_t>(n) + 2));
            work[static_cast<size_t>(n++)] = "Usage:";
            work[static_cast<size_t>(n++)] = "------";
            item = table->first;
        }
        UsageLines(work, item, n, stop, quiet);
    }
    lines.Grow(static_cast<int>(work.size()));
    for (size_t i = 0; i < work.size(); ++i) lines[static_cast<int>(i)] = work[i].c_str();
}

void JexPCLI::UsageLines(std::vector<std::string>& lines, JexPCLIItem* item, int& n, int stop,
                         int quiet) {
    for (JexPCLIItem* it = item; it; it = it->next) {
        if (!it->hidden && !quiet && !DescribeItem(lines, *it, n)) return;
        if (!it->hidden && it->child) UsageLines(lines, it->child, n, stop, quiet);
        if (it->next && it->next->level == stop) quiet = 1;
    }
}

void JexPCLI::Usage(FILE* out, JexPCLIItem* item, int& n, int stop, int quiet) {
    JexFieldedString lines('\n');
    const int from = n;
    Usage(lines, item, n, stop, quiet);
    for (int i = from; i < lines.Count(); ++i) std::fprintf(out, "%s\n", lines[i].Text());
}
