// Tests of the route map's sort against the standard sort, across sizes, element widths and key
// patterns.
#include "jexlink/transport/JexQSort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

int comparisons = 0;

int CompareInt(const void* a, const void* b) {
    ++comparisons;
    const int x = *static_cast<const int*>(a);
    const int y = *static_cast<const int*>(b);
    return x < y ? -1 : x > y;
}

// An element whose key is its first byte and whose tag tells copies apart;
// its size (3, 8 or 12 bytes) picks the byte or the word exchange.
template <size_t N>
struct Element {
    unsigned char key;
    unsigned char tag[N - 1];
};

template <size_t N>
int CompareKey(const void* a, const void* b) {
    return static_cast<int>(static_cast<const Element<N>*>(a)->key) -
           static_cast<int>(static_cast<const Element<N>*>(b)->key);
}

std::vector<int> Keys(const std::string& pattern, size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<int> keys(n);
    for (size_t i = 0; i < n; ++i) {
        const int k = static_cast<int>(i);
        if (pattern == "random") keys[i] = static_cast<int>(gen() % 1000);
        if (pattern == "sorted") keys[i] = k;
        if (pattern == "reversed") keys[i] = -k;
        if (pattern == "all equal") keys[i] = 7;
        if (pattern == "few distinct") keys[i] = static_cast<int>(gen() % 3);
        if (pattern == "organ pipe") keys[i] = std::min(k, static_cast<int>(n) - k);
        if (pattern == "sawtooth") keys[i] = k % 5;
    }
    return keys;
}

template <size_t N>
void CheckWide(const std::vector<int>& keys, const std::string& what) {
    if (keys.empty()) return;
    // Keys fit a byte; tags record the original position.
    std::vector<Element<N>> v(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        v[i].key = static_cast<unsigned char>(keys[i] & 0xFF);
        std::memset(v[i].tag, static_cast<int>(i & 0xFF), N - 1);
    }
    std::vector<Element<N>> before = v;
    // An odd offset into a byte array forces the byte exchange even for 12 bytes.
    std::vector<unsigned char> raw(v.size() * N + 1);
    std::memcpy(raw.data() + 1, v.data(), v.size() * N);
    JexQSort(raw.data() + 1, v.size(), N, CompareKey<N>);
    std::memcpy(v.data(), raw.data() + 1, v.size() * N);
    JexQSort(before.data(), before.size(), N, CompareKey<N>);

    for (const auto* sorted : {&v, &before}) {
        for (size_t i = 1; i < sorted->size(); ++i)
            ASSERT_LE((*sorted)[i - 1].key, (*sorted)[i].key) << what << " width " << N;
        // Whole elements moved: every tag byte still agrees with its fellows.
        for (const auto& e : *sorted)
            for (size_t b = 1; b < N - 1; ++b) ASSERT_EQ(e.tag[b], e.tag[0]) << what;
    }
}

TEST(JexQSort, SortsLikeTheStandardSort) {
    const char* const patterns[] = {"random",       "sorted",     "reversed", "all equal",
                                    "few distinct", "organ pipe", "sawtooth"};
    const size_t sizes[] = {0, 1, 2, 6, 7, 8, 9, 40, 41, 42, 100, 1000, 5003};
    for (const char* pattern : patterns) {
        for (size_t n : sizes) {
            const std::string what = std::string(pattern) + " n=" + std::to_string(n);
            std::vector<int> v = Keys(pattern, n, static_cast<unsigned>(n));
            std::vector<int> expect = v;
            std::sort(expect.begin(), expect.end());
            JexQSort(v.data(), v.size(), sizeof(int), CompareInt);
            ASSERT_EQ(v, expect) << what;
            CheckWide<3>(Keys(pattern, n, 1), what);
            CheckWide<8>(Keys(pattern, n, 2), what);
            CheckWide<12>(Keys(pattern, n, 3), what);
        }
    }
}

TEST(JexQSort, SmallOrderedRangesCostOneComparisonPerElement) {
    // Below seven elements, and for a range that partitioning leaves
    // untouched, the sort is an insertion sort: n - 1 comparisons when in order.
    std::vector<int> six = {1, 2, 3, 4, 5, 6};
    comparisons = 0;
    JexQSort(six.data(), six.size(), sizeof(int), CompareInt);
    EXPECT_EQ(comparisons, 5);
}

TEST(JexQSort, EqualRunAroundThePivotEndsInTheMiddle) {
    // Many copies of the median with smaller and greater keys on both sides.
    std::vector<int> v;
    for (int i = 0; i < 60; ++i) v.push_back(i % 3 == 0 ? 50 : (i % 3 == 1 ? 100 - i : i));
    std::vector<int> expect = v;
    std::sort(expect.begin(), expect.end());
    JexQSort(v.data(), v.size(), sizeof(int), CompareInt);
    EXPECT_EQ(v, expect);
}

}  // namespace
