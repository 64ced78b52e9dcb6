// The route map's in-place sort: three-way partitioning quicksort.
#include "jexlink/transport/JexQSort.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using Compare = int (*)(const void*, const void*);

// How elements are exchanged: a 32-bit word at a time when the array and
// the element size allow it, else byte by byte.
enum class SwapMode { kBytes, kWords };

// Swaps two runs of n bytes (n a multiple of the element size).
void jex_qsort_swap(char* a, char* b, size_t n, SwapMode mode) {
    if (mode == SwapMode::kBytes) {
        for (size_t i = 0; i < n; ++i) {
            const char t = a[i];
            a[i] = b[i];
            b[i] = t;
        }
        return;
    }
    for (size_t i = 0; i < n; i += 4) {
        uint32_t x;
        uint32_t y;
        std::memcpy(&x, a + i, 4);
        std::memcpy(&y, b + i, 4);
        std::memcpy(a + i, &y, 4);
        std::memcpy(b + i, &x, 4);
    }
}

char* jex_qsort_med3(char* x, char* y, char* z, Compare cmp) {
    if (cmp(x, y) < 0) return cmp(y, z) < 0 ? y : (cmp(x, z) < 0 ? z : x);
    return cmp(y, z) > 0 ? y : (cmp(x, z) < 0 ? x : z);
}

void InsertionSort(char* a, size_t n, size_t es, SwapMode mode, Compare cmp) {
    for (char* pm = a + es; pm < a + n * es; pm += es)
        for (char* pl = pm; pl > a && cmp(pl - es, pl) > 0; pl -= es)
            jex_qsort_swap(pl, pl - es, es, mode);
}

}  // namespace

void JexQSort(void* base, size_t n, size_t es, Compare cmp) {
    if (!base || es == 0 || n < 2) return;
    char* a = static_cast<char*>(base);
    SwapMode mode = SwapMode::kBytes;
    if (reinterpret_cast<uintptr_t>(a) % 4 == 0 && es % 4 == 0) mode = SwapMode::kWords;

    for (;;) {
        if (n < 7) {
            InsertionSort(a, n, es, mode, cmp);
            return;
        }
        char* pm = a + (n / 2) * es;
        if (n > 7) {
            char* pl = a;
            char* pn = a + (n - 1) * es;
            if (n > 40) {
                const size_t d = (n / 8) * es;
                pl = jex_qsort_med3(pl, pl + d, pl + 2 * d, cmp);
                pm = jex_qsort_med3(pm - d, pm, pm + d, cmp);
                pn = jex_qsort_med3(pn - 2 * d, pn - d, pn, cmp);
            }
            pm = jex_qsort_med3(pl, pm, pn, cmp);
        }
        jex_qsort_swap(a, pm, es, mode);

        // Partition behind the pivot at a: equal elements gather at both
        // ends (a+es..pa and pd..end), smaller ones left, greater right.
        char* pa = a + es;
        char* pb = pa;
        char* pc = a + (n - 1) * es;
        char* pd = pc;
        bool swapped = false;
        for (;;) {
            int r;
            while (pb <= pc && (r = cmp(pb, a)) <= 0) {
                if (r == 0) {
                    swapped = true;
                    jex_qsort_swap(pa, pb, es, mode);
                    pa += es;
                }
                pb += es;
            }
            while (pb <= pc && (r = cmp(pc, a)) >= 0) {
                if (r == 0) {
                    swapped = true;
                    jex_qsort_swap(pc, pd, es, mode);
                    pd -= es;
                }
                pc -= es;
            }
            if (pb > pc) break;
            jex_qsort_swap(pb, pc, es, mode);
            swapped = true;
            pb += es;
            pc -= es;
        }
        // Nothing moved: the range was already in order around the pivot,
        // and insertion sort finishes it cheaply.
        if (!swapped) {
            InsertionSort(a, n, es, mode, cmp);
            return;
        }

        // Bring the equal runs from the ends into the middle.
        char* pn = a + n * es;
        size_t r = static_cast<size_t>(pa - a) < static_cast<size_t>(pb - pa)
                       ? static_cast<size_t>(pa - a)
                       : static_cast<size_t>(pb - pa);
        if (r > 0) jex_qsort_swap(a, pb - r, r, mode);
        r = static_cast<size_t>(pd - pc) < static_cast<size_t>(pn - pd) - es
                ? static_cast<size_t>(pd - pc)
                : static_cast<size_t>(pn - pd) - es;
        if (r > 0) jex_qsort_swap(pb, pn - r, r, mode);

        // The smaller-than part goes to the library sort; the greater-than
        // part is sorted here without recursion.
        r = static_cast<size_t>(pb - pa);
        if (r > es) std::qsort(a, r / es, es, cmp);
        r = static_cast<size_t>(pd - pc);
        if (r <= es) return;
        a = pn - r;
        n = r / es;
    }
}
