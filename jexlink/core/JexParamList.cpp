// Parameter lists and arrays: list settings as lists, and candidate names built from three lists.
#include "jexlink/core/JexParamList.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexTrace.h"

namespace {

bool Empty(const char* text) { return !text || !*text; }

// One of the three lists of BuildParamArray, as steps 1 to 4 make it.
JexFieldedString CandidateList(const char* source, const char* extra) {
    JexFieldedString list(',');
    list[0] = "";
    if (!Empty(source)) {
        if (source[0] == '*' && source[1] != '\0')
            list = BuildParamList(source + 1);
        else
            list[0] = source;
    }
    if (!Empty(extra)) {
        const std::string text = std::string(extra) + "," + list.Text().Text();
        list.Parse(text.c_str());
    }
    // A repeat of an earlier item is emptied; the list keeps its length.
    std::unordered_set<std::string> seen;
    for (int i = 0; i < list.Count(); ++i)
        if (!seen.insert(list[i].Text()).second) list[i] = "";
    return list;
}

bool Present(JexFieldedString& list) { return *list.Text().Text() != '\0'; }

std::string JoinText(const char* source, char separator) {
    if (Empty(source) || separator == '\0') return "";
    return std::string(1, separator);
}

}  // namespace

JexFieldedString BuildParamList(const char* setting) {
    JexTrace trace("JexCommonRoutines", "BuildParamList()", __LINE__);
    JexConfig config;
    JexFieldedString values(',');
    for (int i = 0;; ++i) {
        const JexString& v = config.Value(setting, "", i);
        if (!*v.Text()) break;
        values[i] = v;
    }
    return JexFieldedString(values.Text(), ',');
}

int GetConfigdataArray(const char* setting, char** buffers, int bufferCount, size_t bufferSize,
                       int* count) {
    JexTrace trace("JexCommonRoutines", "GetConfigdataArray()", __LINE__);
    JexFieldedString list = BuildParamList(setting);
    if (count) *count = list.Count();
    if (list.Count() > bufferCount || (list.Count() > 0 && !buffers)) return 0;
    for (int i = 0; i < list.Count(); ++i)
        if (!buffers[i] || std::strlen(list[i].Text()) >= bufferSize) return 0;
    for (int i = 0; i < list.Count(); ++i) std::strcpy(buffers[i], list[i].Text());
    return 1;
}

void BuildParamArray(const char* first, const char* extra1, const char* extra2, const char* extra3,
                     const char* source1, const char* source2, const char* source3,
                     const char* last, char separator1, char separator2, char*** array,
                     int* count) {
    JexTrace trace("JexCommonRoutines", "BuildParamArray()", __LINE__);
    if (array) *array = nullptr;
    if (count) *count = -1;
    JexFieldedString list1 = CandidateList(source1, extra1);
    JexFieldedString list2 = CandidateList(source2, extra2);
    JexFieldedString list3 = CandidateList(source3, extra3);
    const std::string join1 = JoinText(source2, separator1);
    const std::string join2 = JoinText(source3, separator2);
    const bool has1 = Present(list1), has2 = Present(list2), has3 = Present(list3);

    long long combinations = list1.Count();
    if (has2) combinations *= list2.Count();
    if (has2 && has3) combinations *= list3.Count();
    if (combinations > kMaxParamCandidates) return;

    std::vector<std::string> result;
    const bool haveFirst = !Empty(first);
    if (haveFirst) result.emplace_back(first);
    auto add = [&](std::string candidate) {
        if (haveFirst && candidate == first) return;
        result.push_back(std::move(candidate));
    };
    if (has1) {
        for (int i = 0; i < list1.Count(); ++i) {
            const std::string u = list1[i].Text();
            if (u.empty()) continue;
            if (!has2) {
                if (!has3) add(u + join1);
                continue;
            }
            for (int j = 0; j < list2.Count(); ++j) {
                const std::string v = list2[j].Text();
                if (v.empty()) continue;
                if (!has3) {
                    add(u + join1 + v + join2);
                    continue;
                }
                for (int k = 0; k < list3.Count(); ++k) {
                    const std::string w = list3[k].Text();
                    if (!w.empty()) add(u + join1 + v + join2 + w);
                }
            }
        }
    }
    if (!Empty(last)) {
        bool listed = false;
        for (const std::string& r : result) listed = listed || r == last;
        if (!listed) result.emplace_back(last);
    }

    auto** block = static_cast<char**>(std::malloc((result.size() + 1) * sizeof(char*)));
    if (!block) return;
    for (size_t i = 0; i <= result.size(); ++i) block[i] = nullptr;
    for (size_t i = 0; i < result.size(); ++i) {
        block[i] = static_cast<char*>(std::malloc(result[i].size() + 1));
        if (!block[i]) {
            FreeParamArray(&block);
            return;
        }
        std::memcpy(block[i], result[i].c_str(), result[i].size() + 1);
    }
    if (array) {
        *array = block;
    } else {
        FreeParamArray(&block);
    }
    if (count) *count = static_cast<int>(result.size());
}

void FreeParamArray(char*** array) {
    JexTrace trace("JexCommonRoutines", "FreeParamArray()", __LINE__);
    if (!array || !*array) return;
    for (char** p = *array; *p; ++p) std::free(*p);
    std::free(*array);
    *array = nullptr;
}
