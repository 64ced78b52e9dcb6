// Code/name tables of the protocols, looked up both ways, and the protocol-version comparison.
#include "jexlink/transport/JexCodeTable.h"

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

const char* jex_code_text(const JexCodeName* table, int32_t code) {
    const JexCodeName* pair = table;
    while (pair->code != code && pair->code != -1) ++pair;
    return pair->name;
}

int32_t jex_text_code(const JexCodeName* table, const char* name) {
    if (!name) return -1;
    for (const JexCodeName* pair = table; pair->code != -1; ++pair)
        if (pair->name && JexStrCaseCmp(pair->name, name) == 0) return pair->code;
    return -1;
}

int jex_versions_differ(const JexString& a, const JexString& b) {
    JexFieldedString fa(a, '.');
    JexFieldedString fb(b, '.');
    fa[0].SetCaseSensitive(a.CaseSensitive());
    fb[0].SetCaseSensitive(b.CaseSensitive());
    return fa[0].Compare(fb[0]) != 0 ? 1 : 0;
}
