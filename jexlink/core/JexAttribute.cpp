// Attribute tables: lookup by number, names, and the access check.
#include "jexlink/core/JexAttribute.h"

const JexAttrRow* JexFindAttr(std::span<const JexAttrRow> rows, int number) {
    for (const JexAttrRow& row : rows) {
        if (row.number == number) return &row;
    }
    return nullptr;
}

const char* JexAttrName(std::span<const JexAttrRow> rows, int number, const char* unknown) {
    const JexAttrRow* row = JexFindAttr(rows, number);
    return row && row->name ? row->name : unknown;
}

int JexAttrCheck(std::span<const JexAttrRow> rows, int number, JexAttrKind kind,
                 JexAttrAccess access, const JexAttrCodes& codes) {
    const JexAttrRow* row = JexFindAttr(rows, number);
    if (!row || row->kind == JexAttrKind::kNone) return codes.unknown;
    if (access == JexAttrAccess::kSetReadOnlyFirst && row->readOnly) return codes.readOnly;
    const auto wanted = static_cast<unsigned>(kind);
    if ((static_cast<unsigned>(row->kind) & wanted) != wanted)
        return kind == JexAttrKind::kInt ? codes.notInt : codes.notText;
    if (access == JexAttrAccess::kSet && row->readOnly) return codes.readOnly;
    return 0;
}

JexExcArgs JexAttrFailure(std::span<const JexAttrRow> rows, const char* unknown, const char* where,
                          int attribute, const JexExcArg& value) {
    return JexExcArgs(where, JexAttrName(rows, attribute, unknown), attribute, value);
}
