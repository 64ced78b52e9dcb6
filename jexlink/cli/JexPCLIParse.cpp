// JexPCLI::Parse: a command line's tokens taken as verbs, switches, values and parameters.
#include <cstdio>
#include <cstring>
#include <string>

#include "jexlink/cli/JexPCLI.h"
#include "jexlink/cli/JexPCLITable.h"
#include "jexlink/core/JexTrace.h"

// What the parser expects of the next token (the states its trace prints),
// the scope a verb opened and the item that took the last token.
struct JexPCLI::Expect {
    Expect(bool switchDelimiter, bool valueDelimiter, bool traced)
        : useSd(switchDelimiter), useVd(valueDelimiter), tracing(traced) {
        Start();
    }
    // After an item: a verb, parameter or switch (or its delimiter) next.
    void Start() {
        vb = pa = true;
        sd = useSd;
        sw = !useSd;
        vd = va = re = false;
    }
    // The expected states as the trace prints them; `reLabel` names the last.
    std::string States(const char* reLabel) const {
        std::string out;
        if (vb) out += " vb";
        if (pa) out += " pa";
        if (sd) out += " sd";
        if (sw) out += " sw";
        if (vd) out += " vd";
        if (va) out += " va";
        if (re) out += reLabel;
        return out;
    }

    const bool useSd;
    const bool useVd;
    const bool tracing;
    bool vb, pa, sd, sw, vd, va, re;
    JexPCLIItem* scope = nullptr;
    JexPCLIItem* last = nullptr;
};

int JexPCLI::Parse(const JexString& given) {
    JexTrace trace(__FILE__, "Parse()", __LINE__);
    ExcSet(OK);
    const bool tracing = JexPCLITrace().parse;
    if (tracing)
        std::fprintf(stderr,
                     ":p: PCLI about to parse this command line:\n\t%s\n    using %s syntax.\n",
                     given.Text(), StyleName(style));
    if (!Loaded()) {
        ExcSet(TABLE_NOT_LOADED);
        Raise();
        return TABLE_NOT_LOADED;
    }
    std::string line = given.Text();
    TakeStyleOption(line);
    tokenize_line(JexString(line.c_str()));
    if (Code() != OK) return Code();
    context = "";
    table->Reset();

    Expect expect(switch_delimiter != ' ', value_delimiter != ' ', tracing);
    if (tracing)
        std::fprintf(stderr,
                     ":p: Start of Parsing:\n      ui:%d, cs:%d, sd:%c, vd:%c, use_sd:%d, "
                     "use_vd:%d\n",
                     style, case_sensitive, switch_delimiter, value_delimiter, expect.useSd ? 1 : 0,
                     expect.useVd ? 1 : 0);

    for (int i = 0; i < tokens.Count(); ++i) {
        const JexString token = tokens[i];
        if (tracing)
            std::fprintf(stderr, ":p: Parsing token \"%s\", expstates:%s  Context: %s\n",
                         token.Text(), expect.States(" re").c_str(),
                         expect.scope ? expect.scope->name.Text() : "--");
        const Step step = TakeToken(expect, token);
        if (step == Step::kFailed) return Code();
        if (step == Step::kTaken) continue;
        context = token;
        if (tracing) std::fputs("    ...error, nothing found for token\n", stderr);
        ExcSet(UNKNOWN_ITEM, JexExcArgs("parser end", token.Text()));
        Raise();
        return UNKNOWN_ITEM;
    }
    if (tracing) std::fprintf(stderr, ":p: Final expstates:%s\n", expect.States(" rs").c_str());
    if (expect.va || (expect.sw && expect.useSd)) {
        context = "";
        ExcSet(EXPECT_MORE);
        Raise();
        return EXPECT_MORE;
    }
    check_forbiddens(nullptr);
    return Code();
}

void JexPCLI::TakeStyleOption(std::string& line) {
    static const struct {
        const char* option;
        int ui;
    } kStyleOptions[] = {{"--pcli_ui=qvos", 0},
                         {"--pcli_ui=oix", 1},
                         {"--pcli_ui=unix", 1},
                         {"--pcli_ui=dos", 2},
                         {"--pcli_ui=vesk", 3}};
    for (const auto& s : kStyleOptions) {
        const size_t n = std::strlen(s.option);
        if (line.size() >= n && line.compare(line.size() - n, n, s.option) == 0) {
            Style(s.ui);
            line.resize(line.size() - n);
            return;
        }
    }
}

JexPCLI::Step JexPCLI::TakeToken(Expect& expect, const JexString& token) {
    if (expect.re && expect.last) {
        expect.last->value += " ";
        expect.last->value += token.Text();
        if (expect.tracing) std::fputs("    ...took for 'remaining' item\n", stderr);
        return Step::kTaken;
    }
    for (auto take : {&JexPCLI::TakeVerb, &JexPCLI::TakeDelimiter, &JexPCLI::TakeSwitch,
                      &JexPCLI::TakeValue, &JexPCLI::TakeParam}) {
        const Step step = (this->*take)(expect, token);
        if (step != Step::kNotTaken) return step;
    }
    return Step::kNotTaken;
}

JexPCLI::Step JexPCLI::TakeVerb(Expect& expect, const JexString& token) {
    if (!expect.vb) return Step::kNotTaken;
    JexPCLIItem* verb = find_verb(token, expect.scope);
    if (Code() != OK) return Step::kFailed;
    if (!verb && Negation(verb, token, expect.scope, true) != OK) return Step::kFailed;
    if (!verb) return Step::kNotTaken;
    verb->given = 1;
    expect.scope = expect.last = verb;
    expect.Start();
    if (expect.tracing) std::fprintf(stderr, "    ...took verb '%s'\n", verb->name.Text());
    return Step::kTaken;
}

JexPCLI::Step JexPCLI::TakeDelimiter(Expect& expect, const JexString& token) {
    const char first = token.Text()[0];
    if (expect.sd && expect.useSd && first == switch_delimiter) {
        expect.vb = expect.pa = expect.sd = expect.vd = expect.va = expect.re = false;
        expect.sw = true;
        if (expect.tracing) std::fputs("    ...took delimiter for switch\n", stderr);
        return Step::kTaken;
    }
    if (expect.vd && expect.useVd && first == value_delimiter) {
        expect.vb = expect.pa = expect.sd = expect.sw = expect.vd = expect.re = false;
        expect.va = true;
        if (expect.tracing) std::fputs("    ...took delimiter for value\n", stderr);
        return Step::kTaken;
    }
    return Step::kNotTaken;
}

JexPCLI::Step JexPCLI::TakeSwitch(Expect& expect, const JexString& token) {
    if (!expect.sw) return Step::kNotTaken;
    JexPCLIItem* found = find_switch(token, expect.scope);
    if (Code() != OK) return Step::kFailed;
    if (!found && Negation(found, token, expect.scope, false) != OK) return Step::kFailed;
    if (!found) return Step::kNotTaken;
    found->given = 1;
    expect.last = found;
    expect.Start();
    if (found->takes_value && expect.useVd) expect.vd = true;
    if (found->takes_value && !expect.useVd) {
        expect.vb = expect.pa = expect.sd = expect.sw = false;
        expect.va = true;
    }
    expect.re = found->remaining != 0;
    if (expect.tracing) std::fprintf(stderr, "    ...took switch '%s'\n", found->name.Text());
    return Step::kTaken;
}

JexPCLI::Step JexPCLI::TakeValue(Expect& expect, const JexString& token) {
    if (!expect.va || !expect.last) return Step::kNotTaken;
    if (AssignValue(*expect.last, token) != OK) return Step::kFailed;
    expect.Start();
    if (expect.tracing)
        std::fprintf(stderr, "    ...took value for '%s'\n", expect.last->name.Text());
    return Step::kTaken;
}

JexPCLI::Step JexPCLI::TakeParam(Expect& expect, const JexString& token) {
    if (!expect.pa && !expect.sw) return Step::kNotTaken;
    JexPCLIItem* param = find_param(expect.scope);
    if (!param || (!expect.pa && !param->remaining)) return Step::kNotTaken;
    JexString text = token;
    if (expect.sw) {
        // A token that was read as a switch is a parameter with its delimiter.
        const char prefix[2] = {switch_delimiter, 0};
        text = JexString(prefix);
        text.Append(token.Text());
    }
    if (AssignValue(*param, text) != OK) return Step::kFailed;
    param->given = 1;
    expect.last = param;
    expect.Start();
    expect.vb = false;
    expect.re = param->remaining != 0;
    if (expect.tracing) std::fprintf(stderr, "    ...took param '%s'\n", param->name.Text());
    return Step::kTaken;
}
