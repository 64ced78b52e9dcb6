// Parameter lists and arrays: list settings as lists, and candidate names built from three lists.
#pragma once

#include <cstddef>

#include "jexlink/core/JexFieldedString.h"

// The elements of a list setting, read by index until the first empty one,
// joined with "," and split again at ",", so an element that holds commas
// gives several items. No value gives an empty list. Separator ",".
JexFieldedString BuildParamList(const char* setting);

// Copies the items of BuildParamList(setting) into buffers[0 ..], each of
// `bufferSize` bytes, and stores the number of items in *count. When there
// are more items than `bufferCount` or an item does not fit with its NUL,
// nothing is copied and 0 is returned (*count still tells how many items
// there are); otherwise 1.
int GetConfigdataArray(const char* setting, char** buffers, int bufferCount, size_t bufferSize,
                       int* count);

// Most candidates BuildParamArray builds; a larger product of list sizes is
// refused.
constexpr long long kMaxParamCandidates = 100000;

// Builds every combination of three lists into an array of candidate names:
// each list comes from its source text (a literal item, or "*" and the name
// of a list setting) with its comma-separated extra items in front, repeats
// inside a list dropped; list 1 items are joined to list 2 items with
// `separator1` (when source 2 is not empty) and those to list 3 items with
// `separator2` (when source 3 is not empty). A non-empty `first` leads the
// array and a non-empty `last` ends it, each listed once. Any text may be
// null. *array receives a malloc'ed block of *count texts and a null entry,
// released with FreeParamArray; when the combinations would exceed
// kMaxParamCandidates or memory runs out, *array is null and *count -1.
void BuildParamArray(const char* first, const char* extra1, const char* extra2, const char* extra3,
                     const char* source1, const char* source2, const char* source3,
                     const char* last, char separator1, char separator2, char*** array, int* count);

// Frees every text of a parameter array and the array, and nulls *array.
void FreeParamArray(char*** array);
