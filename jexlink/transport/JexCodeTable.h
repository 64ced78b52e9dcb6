// Code/name tables of the protocols, looked up both ways, and the protocol-version comparison.
#pragma once

#include <cstdint>

class JexString;

// One pair of a code/name table. A table is an array of pairs ended by a
// pair whose code is -1; the end pair's name is what an unknown code maps to.
struct JexCodeName {
    int32_t code;
    const char* name;
};

// The name of a code: the first pair with that code, or the end pair's name.
const char* jex_code_text(const JexCodeName* table, int32_t code);
// The code of the first pair whose name equals `name` without regard to
// letter case; -1 when none does (or the name is null).
int32_t jex_text_code(const JexCodeName* table, const char* name);
// 1 when the parts of the two version texts before their first "." differ
// (compared as JexString, so the first text's case flag counts), else 0.
int jex_versions_differ(const JexString& a, const JexString& b);
