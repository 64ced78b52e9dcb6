// One entry of the route map table and its line in the route map file.
#pragma once

#include <cstdio>
#include <string>

#include "jexlink/core/JexString.h"

// An entry as the route map keeps it: pattern and address lower case,
// flags upper case, and the pattern's specificity.
//
// File lines: everything from the first "#" on is a comment; the rest is
// lower-cased and split into up to four fields at runs of separators (bytes
// 1 to 32): pattern, address, preference and flags. The preference is a C
// number (decimal, 0x hexadecimal, leading 0 octal); empty, not a number, or
// 0 means 255. A preference of 0 that the map itself learned is written
// "-0", which this reader keeps as 0 (and others read as 0 too, i.e. 255).
class JexRouteMapEntry {
public:
    // The longest line the reader keeps; longer lines are skipped whole.
    static constexpr size_t kMaxLine = 4096;
    // The longest pattern, address or flags text that an append writes.
    static constexpr int kMaxField = 1000;
    static constexpr int kUnsetPreference = 255;

    JexRouteMapEntry() = default;
    JexRouteMapEntry(const char* pattern, const char* address, int preference, const char* flags);

    // Fills the entry from a file line (which may end in a newline); false
    // for a line that holds no entry (comment, blank, too short).
    bool ParseLine(const std::string& line);
    // The line an append writes: fields and comment, tab-separated.
    std::string FormatLine(const std::string& comment) const;
    // True when the entry's line reads back as the same entry: pattern and
    // address present, no field longer than kMaxField, no separator byte
    // or "#" in any field.
    bool Storable() const;
    // Same pattern, address, preference and flags.
    bool SameAs(const JexRouteMapEntry& other) const;

    // 0 for an empty pattern, else 1 plus the number of '/' in it.
    static int Score(const char* pattern);
    // Lookup order: higher score, then lower preference, then pattern text,
    // then address text.
    static int Compare(const JexRouteMapEntry& a, const JexRouteMapEntry& b);

    // Reads the next line whole, with its newline when it has one. A line
    // longer than kMaxLine bytes is consumed but comes back empty with
    // `tooLong` set, never cut into pieces. False at the end of the file.
    static bool ReadLine(FILE* file, std::string& line, bool* tooLong);

    JexString pattern;
    JexString address;
    int preference = kUnsetPreference;
    JexString flags;
    int score = 0;
};
