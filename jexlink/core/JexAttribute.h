// Attribute tables: one row per attribute a class reads or sets by number, and the check every
// GetAttr and SetAttr makes before it touches a value.
#pragma once

#include <span>

#include "jexlink/core/JexException.h"

// The kinds of value an attribute takes.
enum class JexAttrKind : unsigned char {
    kNone = 0,  // a number with a name that can be neither read nor set
    kInt = 1,
    kText = 2,
    kBoth = 3,  // read and set as an integer or as its text
};

// One attribute of a class. Each class keeps its own table of rows; its
// getters and setters stay its own.
struct JexAttrRow {
    int number;
    const char* name;  // null: the number prints as unknown
    JexAttrKind kind;
    bool readOnly;
};

// The codes a class gives for each fault of an access.
struct JexAttrCodes {
    int unknown;   // no such attribute
    int notInt;    // an integer access of an attribute that is not one
    int notText;   // a text access of an attribute that is not one
    int readOnly;  // a set of an attribute that cannot be set
};

enum class JexAttrAccess {
    kGet,
    kSet,
    kSetReadOnlyFirst,  // a set that reports read-only before the kind
};

// The row of `number`, or null.
const JexAttrRow* JexFindAttr(std::span<const JexAttrRow> rows, int number);

// The name of `number`; `unknown` when it has no row or its row no name.
const char* JexAttrName(std::span<const JexAttrRow> rows, int number, const char* unknown);

// 0 when `number` may be read (or set, for kSet) as a value of `kind`
// (kInt or kText); otherwise the class's code of the first fault found, in
// this order: no row or a row that takes no value, the wrong kind, read-only
// (read-only before the kind for kSetReadOnlyFirst).
int JexAttrCheck(std::span<const JexAttrRow> rows, int number, JexAttrKind kind,
                 JexAttrAccess access, const JexAttrCodes& codes);

// The arguments every class records with an attribute's failure: where it
// happened, the attribute's name (`unknown` when it has no row or its row
// no name) and number, and the value offered when there is one.
JexExcArgs JexAttrFailure(std::span<const JexAttrRow> rows, const char* unknown, const char* where,
                          int attribute, const JexExcArg& value = {});
