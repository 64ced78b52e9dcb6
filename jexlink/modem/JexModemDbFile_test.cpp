// Tests of the modem databases' shared search order: the sort of matches against the exchange
// sort it replaces, ties included.
#include "jexlink/modem/JexModemDbFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// The exchange sort the searches used, as the reference of the order.
std::vector<std::string> ExchangeSorted(std::vector<JexModemMatch> matches) {
    for (size_t i = 0; i + 1 < matches.size(); ++i)
        for (size_t j = i + 1; j < matches.size(); ++j)
            if (matches[j].key < matches[i].key) std::swap(matches[i], matches[j]);
    std::vector<std::string> texts;
    for (const JexModemMatch& m : matches) texts.push_back(m.text);
    return texts;
}

// Matches keyed as the searches key them: by the lower-cased text, so
// that texts which differ only in case tie.
std::vector<JexModemMatch> Matches(const std::vector<std::string>& texts) {
    std::vector<JexModemMatch> matches;
    for (const std::string& text : texts) matches.push_back({JexModemLower(text), text});
    return matches;
}

std::vector<std::string> Sorted(std::vector<JexModemMatch> matches) {
    JexFieldedString list(' ');
    JexModemSortInto(matches, list);
    std::vector<std::string> texts;
    for (int i = 0; i < list.Count(); ++i) texts.push_back(list[i].Text());
    return texts;
}

TEST(JexModemSortInto, GivesTheExchangeSortsOrderTiesIncluded) {
    struct Case {
        const char* what;
        std::vector<std::string> texts;
        std::vector<std::string> sorted;
    };
    const Case cases[] = {
        {"none", {}, {}},
        {"one", {"a"}, {"a"}},
        {"sorted", {"a", "b", "c"}, {"a", "b", "c"}},
        {"reversed", {"c", "b", "a"}, {"a", "b", "c"}},
        {"ties alone keep their order", {"B", "b", "B "}, {"B", "b", "B "}},
        {"a smaller entry turns the ties before it", {"B", "b", "a"}, {"a", "b", "B"}},
        {"ties apart", {"B", "a", "b", "A"}, {"a", "A", "b", "B"}},
        {"three ties, two smaller", {"Cx", "cX", "cx", "a", "b"}, {"a", "b", "cx", "Cx", "cX"}},
        {"ties on two keys", {"Y", "x", "y", "X", "a", "yY"}, {"a", "X", "x", "Y", "y", "yY"}},
        {"equal texts", {"same", "same", "a", "same"}, {"a", "same", "same", "same"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<JexModemMatch> matches = Matches(c.texts);
        EXPECT_EQ(ExchangeSorted(matches), c.sorted);
        EXPECT_EQ(Sorted(matches), c.sorted);
    }
    // Not the order of a stable sort on the key.
    std::vector<JexModemMatch> stable = Matches({"B", "b", "a"});
    std::stable_sort(stable.begin(), stable.end(),
                     [](const JexModemMatch& a, const JexModemMatch& b) { return a.key < b.key; });
    EXPECT_EQ(stable[1].text, "B");
}

TEST(JexModemSortInto, AgreesWithTheExchangeSortOnManyTies) {
    std::mt19937 random(20261211);
    const std::vector<std::string> words = {"a", "A", "b", "B", "ab", "aB", "Ab", "c", "C"};
    for (int round = 0; round < 2000; ++round) {
        const size_t n = random() % 40;
        std::vector<std::string> texts;
        for (size_t i = 0; i < n; ++i) texts.push_back(words[random() % words.size()]);
        const std::vector<JexModemMatch> matches = Matches(texts);
        ASSERT_EQ(Sorted(matches), ExchangeSorted(matches)) << "round " << round;
    }
}

TEST(JexModemSortInto, TakesTensOfThousandsOfMatches) {
    std::vector<std::string> texts;
    for (int i = 0; i < 20000; ++i) {
        std::string text = "line" + std::to_string((i * 7919) % 8000);
        if (i % 3 == 0) text[0] = 'L';
        texts.push_back(text);
    }
    const std::vector<std::string> sorted = Sorted(Matches(texts));
    ASSERT_EQ(sorted.size(), texts.size());
    for (size_t i = 1; i < sorted.size(); ++i)
        ASSERT_LE(JexModemLower(sorted[i - 1]), JexModemLower(sorted[i])) << i;
}

}  // namespace
