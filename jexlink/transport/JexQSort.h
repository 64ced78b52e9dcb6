// The route map's in-place sort: three-way partitioning quicksort.
#pragma once

#include <cstddef>

// Sorts n elements of `size` bytes at base into compare order, in place, as
// the standard qsort does (and with its compare convention): a quicksort
// with a median-of-three (pseudo-median of nine above 40 elements) pivot,
// runs equal to the pivot gathered in the middle, and insertion sort for
// small or already ordered ranges. Not stable.
void JexQSort(void* base, size_t n, size_t size, int (*compare)(const void*, const void*));
