// Plain entry points over locators: parse and build texts, apply defaults, candidate lists.
#include "jexlink/mail/JexLocatorExport.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexParamList.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/mail/JexLocator.h"

namespace {

constexpr const char* kTraceFile = "JexLocatorExport";

const char* Safe(const char* text) { return text ? text : ""; }

// Copies the text with its NUL when it fits; otherwise leaves the buffer
// empty. False when it did not fit.
bool CopyOut(const JexString& text, char* out, size_t size) {
    if (!out) return true;
    const size_t n = std::strlen(text.Text());
    if (n + 1 > size) {
        if (size > 0) out[0] = '\0';
        return false;
    }
    std::memcpy(out, text.Text(), n + 1);
    return true;
}

void IntOut(int value, int* out) {
    if (out) *out = value;
}

JexString StringAttr(const JexPrefixedLocator& loc, int attribute) {
    JexString value("");
    loc.GetAttr(attribute, value);
    return value;
}

int MethodOf(const JexLocator& loc) {
    JexLocMethod m = JexLocMethod::kNone;
    loc.GetAttr(JexLocator::LOC_METHOD, m);
    return static_cast<int>(m);
}

int ScopeOf(const JexPrefixedLocator& loc) {
    JexLocScope s = JexLocScope::kLocal;
    loc.GetAttr(JexLocator::LOC_SCOPE, s);
    return static_cast<int>(s);
}

int ParsePrefixed(const JexPrefixedLocator& loc, char* prefix, size_t prefixSize, char* nodes,
                  size_t nodesSize, char* acids, size_t acidsSize, int* method, int* scope) {
    bool fit = CopyOut(StringAttr(loc, JexLocator::LOC_PREFIX), prefix, prefixSize);
    fit = CopyOut(StringAttr(loc, JexLocator::LOC_NODE), nodes, nodesSize) && fit;
    fit = CopyOut(StringAttr(loc, JexLocator::LOC_ACID), acids, acidsSize) && fit;
    IntOut(MethodOf(loc), method);
    IntOut(ScopeOf(loc), scope);
    return fit ? 0 : -1;
}

JexString BuildPlain(const char* nodes, const char* acids, int method) {
    JexLocator loc;
    loc.SetAttr(JexLocator::LOC_PARSED_NODE, Safe(nodes));
    loc.SetAttr(JexLocator::LOC_PARSED_ACID, Safe(acids));
    loc.SetAttr(JexLocator::LOC_PARSED_METHOD, static_cast<JexLocMethod>(method));
    return loc;
}

JexString BuildPrefixed(JexPrefixedLocator& loc, const char* prefix, const char* nodes,
                        const char* acids, int method) {
    loc.SetAttr(JexLocator::LOC_PARSED_PREFIX, Safe(prefix));
    loc.SetAttr(JexLocator::LOC_PARSED_NODE, Safe(nodes));
    loc.SetAttr(JexLocator::LOC_PARSED_ACID, Safe(acids));
    loc.SetAttr(JexLocator::LOC_PARSED_METHOD, static_cast<JexLocMethod>(method));
    if (method != 0) loc.SetAttr(JexLocator::LOC_SCOPE, JexLocScope::kRemote);
    return loc;
}

JexString ApplyPrefixedDefaults(JexPrefixedLocator& loc, const char* prefix, const char* nodes,
                                const char* acids, int method) {
    loc.SetAttr(JexLocator::LOC_DEFAULT_PREFIX, Safe(prefix));
    loc.SetAttr(JexLocator::LOC_DEFAULT_NODE, Safe(nodes));
    loc.SetAttr(JexLocator::LOC_DEFAULT_ACID, Safe(acids));
    loc.SetAttr(JexLocator::LOC_DEFAULT_METHOD, static_cast<JexLocMethod>(method));
    return loc;
}

// --- Candidate lists -----------------------------------------------------------

using Candidates = std::vector<std::string>;

Candidates Split(const std::string& text) {
    Candidates out;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        out.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

// One list of candidates from a single value and a list text.
Candidates BuildCandidates(const char* single, const char* listText) {
    Candidates list{std::string()};
    const std::string text = Safe(listText);
    if (!text.empty()) {
        if (text.size() >= 2 && text[0] == '*') {
            JexFieldedString values = BuildParamList(text.c_str() + 1);
            list.clear();
            for (int i = 0; i < values.Count(); ++i) list.push_back(values[i].Text());
        } else {
            list[0] = text;
        }
    }
    if (*Safe(single)) {
        std::string joined = single;
        joined += ',';
        for (size_t i = 0; i < list.size(); ++i) {
            if (i) joined += ',';
            joined += list[i];
        }
        list = Split(joined);
    }
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (!list[i].empty() && list[i] == list[j]) {
                list[i].clear();
                break;
            }
    return list;
}

long long NonEmpty(const Candidates& list) {
    long long n = 0;
    for (const std::string& c : list) n += c.empty() ? 0 : 1;
    return n;
}

void Deliver(const std::vector<std::string>& entries, char*** list, int* count) {
    char** array = static_cast<char**>(std::malloc((entries.size() + 1) * sizeof(char*)));
    bool ok = array != nullptr;
    size_t made = 0;
    for (; ok && made < entries.size(); ++made) {
        const std::string& e = entries[made];
        array[made] = static_cast<char*>(std::malloc(e.size() + 1));
        if (!array[made]) {
            ok = false;
            break;
        }
        std::memcpy(array[made], e.c_str(), e.size() + 1);
    }
    if (!ok) {
        for (size_t i = 0; array && i < made; ++i) std::free(array[i]);
        std::free(array);
        if (list) *list = nullptr;
        if (count) *count = -1;
        return;
    }
    array[entries.size()] = nullptr;
    if (list)
        *list = array;
    else {
        for (size_t i = 0; i < entries.size(); ++i) std::free(array[i]);
        std::free(array);
    }
    if (count) *count = static_cast<int>(entries.size());
}

void Refuse(char*** list, int* count) {
    if (list) *list = nullptr;
    if (count) *count = -1;
}

// The entries from first, the rendered candidates and last.
template <class Render>
void Collect(const char* first, const char* last, std::vector<std::string>& entries,
             Render render) {
    const std::string firstText = Safe(first);
    if (!firstText.empty()) entries.push_back(firstText);
    render([&](const JexString& text) {
        if (!firstText.empty() && firstText == text.Text()) return;
        entries.emplace_back(text.Text());
    });
    const std::string lastText = Safe(last);
    if (lastText.empty()) return;
    for (const std::string& e : entries)
        if (e == lastText) return;
    entries.push_back(lastText);
}

template <class Locator>
void BuildPrefixedList(const char* first, const char* prefix, const char* node, const char* acid,
                       const char* prefixList, const char* nodeList, const char* acidList,
                       const char* last, char*** list, int* count) {
    const Candidates prefixes = BuildCandidates(prefix, prefixList);
    const Candidates nodes = BuildCandidates(node, nodeList);
    const Candidates acids = BuildCandidates(acid, acidList);
    const long long np = NonEmpty(prefixes), nn = NonEmpty(nodes), na = NonEmpty(acids);
    if (np > 0 && nn > 0 && na > 0 &&
        (np > kMaxLocatorCandidates || nn > kMaxLocatorCandidates / np ||
         na > kMaxLocatorCandidates / (np * nn)))
        return Refuse(list, count);
    std::vector<std::string> entries;
    Collect(first, last, entries, [&](auto add) {
        for (const std::string& p : prefixes)
            for (const std::string& n : nodes)
                for (const std::string& a : acids) {
                    if (p.empty() || n.empty() || a.empty()) continue;
                    Locator loc;
                    add(BuildPrefixed(loc, p.c_str(), n.c_str(), a.c_str(), 2));
                }
    });
    Deliver(entries, list, count);
}

}  // namespace

// --- Plain locators --------------------------------------------------------------

int ParseLocator(const char* text, char* nodes, size_t nodesSize, char* acids, size_t acidsSize,
                 int* method) {
    JexTrace trace(kTraceFile, "ParseLocator()", __LINE__);
    JexLocator loc(Safe(text));
    JexString value("");
    loc.GetAttr(JexLocator::LOC_NODE, value);
    bool fit = CopyOut(value, nodes, nodesSize);
    loc.GetAttr(JexLocator::LOC_ACID, value);
    fit = CopyOut(value, acids, acidsSize) && fit;
    IntOut(MethodOf(loc), method);
    return fit ? 0 : -1;
}

int BuildLocator(const char* nodes, const char* acids, int method, char* out, size_t outSize) {
    JexTrace trace(kTraceFile, "BuildLocator()", __LINE__);
    return CopyOut(BuildPlain(nodes, acids, method), out, outSize) ? 0 : -1;
}

int ApplyLocatorDefaults(const char* text, const char* defaultNodes, const char* defaultAcids,
                         int defaultMethod, char* out, size_t outSize) {
    JexTrace trace(kTraceFile, "ApplyLocatorDefaults()", __LINE__);
    JexLocator loc(Safe(text));
    loc.SetAttr(JexLocator::LOC_DEFAULT_NODE, Safe(defaultNodes));
    loc.SetAttr(JexLocator::LOC_DEFAULT_ACID, Safe(defaultAcids));
    loc.SetAttr(JexLocator::LOC_DEFAULT_METHOD, static_cast<JexLocMethod>(defaultMethod));
    return CopyOut(loc, out, outSize) ? 0 : -1;
}

// --- File-copy locators ------------------------------------------------------------

int ParseFileCopyLocator(const char* text, char* prefix, size_t prefixSize, char* nodes,
                         size_t nodesSize, char* acids, size_t acidsSize, int* method, int* scope) {
    JexTrace trace(kTraceFile, "ParseFileCopyLocator()", __LINE__);
    JexFileCopyLocator loc(Safe(text));
    return ParsePrefixed(loc, prefix, prefixSize, nodes, nodesSize, acids, acidsSize, method,
                         scope);
}

int BuildFileCopyLocator(const char* prefix, const char* nodes, const char* acids, int method,
                         char* out, size_t outSize) {
    JexTrace trace(kTraceFile, "BuildFileCopyLocator()", __LINE__);
    JexFileCopyLocator loc;
    return CopyOut(BuildPrefixed(loc, prefix, nodes, acids, method), out, outSize) ? 0 : -1;
}

int ApplyFileCopyLocatorDefaults(const char* text, const char* defaultPrefix,
                                 const char* defaultNodes, const char* defaultAcids,
                                 int defaultMethod, char* out, size_t outSize) {
    JexTrace trace(kTraceFile, "ApplyFileCopyLocatorDefaults()", __LINE__);
    JexFileCopyLocator loc(Safe(text));
    const JexString text2 =
        ApplyPrefixedDefaults(loc, defaultPrefix, defaultNodes, defaultAcids, defaultMethod);
    return CopyOut(text2, out, outSize) ? 0 : -1;
}

int IsLocalFileCopyLocator(const char* text) {
    JexTrace trace(kTraceFile, "IsLocalFileCopyLocator()", __LINE__);
    JexFileCopyLocator loc(Safe(text));
    return ScopeOf(loc) == 0 ? 1 : 0;
}

// --- E-mail locators -----------------------------------------------------------------

int ParseEMailLocator(const char* text, char* prefix, size_t prefixSize, char* nodes,
                      size_t nodesSize, char* acids, size_t acidsSize, int* method, int* scope) {
    JexTrace trace(kTraceFile, "ParseEMailLocator()", __LINE__);
    JexEMailLocator loc(Safe(text));
    return ParsePrefixed(loc, prefix, prefixSize, nodes, nodesSize, acids, acidsSize, method,
                         scope);
}

void ParseEMailLocator(const char* text, JexString& prefix, JexString& nodes, JexString& acids,
                       int& method, int& scope) {
    JexTrace trace(kTraceFile, "ParseEMailLocator()", __LINE__);
    JexEMailLocator loc(Safe(text));
    prefix = StringAttr(loc, JexLocator::LOC_PREFIX);
    nodes = StringAttr(loc, JexLocator::LOC_NODE);
    acids = StringAttr(loc, JexLocator::LOC_ACID);
    method = MethodOf(loc);
    scope = ScopeOf(loc);
}

int BuildEMailLocator(const char* prefix, const char* nodes, const char* acids, int method,
                      char* out, size_t outSize) {
    JexTrace trace(kTraceFile, "BuildEMailLocator()", __LINE__);
    return CopyOut(BuildEMailLocator(prefix, nodes, acids, method), out, outSize) ? 0 : -1;
}

JexString BuildEMailLocator(const char* prefix, const char* nodes, const char* acids, int method) {
    JexEMailLocator loc;
    return BuildPrefixed(loc, prefix, nodes, acids, method);
}

int ApplyEMailLocatorDefaults(const char* text, const char* defaultPrefix, const char* defaultNodes,
                              const char* defaultAcids, int defaultMethod, char* out,
                              size_t outSize) {
    JexTrace trace(kTraceFile, "ApplyEMailLocatorDefaults()", __LINE__);
    JexEMailLocator loc(Safe(text));
    const JexString text2 =
        ApplyPrefixedDefaults(loc, defaultPrefix, defaultNodes, defaultAcids, defaultMethod);
    return CopyOut(text2, out, outSize) ? 0 : -1;
}

int IsLocalEMailLocator(const char* text) {
    JexTrace trace(kTraceFile, "IsLocalEMailLocator()", __LINE__);
    JexEMailLocator loc(Safe(text));
    return ScopeOf(loc) == 0 ? 1 : 0;
}

// --- Candidate lists -------------------------------------------------------------------

void BuildLocatorList(const char* first, const char* node, const char* acid, const char* nodeList,
                      const char* acidList, const char* last, char*** list, int* count) {
    JexTrace trace(kTraceFile, "BuildLocatorList()", __LINE__);
    const Candidates nodes = BuildCandidates(node, nodeList);
    const Candidates acids = BuildCandidates(acid, acidList);
    const long long nn = NonEmpty(nodes), na = NonEmpty(acids);
    if (nn > 0 && na > 0 && (nn > kMaxLocatorCandidates || na > kMaxLocatorCandidates / nn))
        return Refuse(list, count);
    std::vector<std::string> entries;
    Collect(first, last, entries, [&](auto add) {
        for (const std::string& n : nodes)
            for (const std::string& a : acids) {
                if (n.empty() || a.empty()) continue;
                add(BuildPlain(n.c_str(), a.c_str(), 2));
            }
    });
    Deliver(entries, list, count);
}

void BuildFileNameList(const char* first, const char* prefix, const char* node, const char* acid,
                       const char* prefixList, const char* nodeList, const char* acidList,
                       const char* last, char*** list, int* count) {
    JexTrace trace(kTraceFile, "BuildFileNameList()", __LINE__);
    BuildPrefixedList<JexFileCopyLocator>(first, prefix, node, acid, prefixList, nodeList, acidList,
                                          last, list, count);
}

void BuildAddressList(const char* first, const char* prefix, const char* node, const char* acid,
                      const char* prefixList, const char* nodeList, const char* acidList,
                      const char* last, char*** list, int* count) {
    JexTrace trace(kTraceFile, "BuildAddressList()", __LINE__);
    BuildPrefixedList<JexEMailLocator>(first, prefix, node, acid, prefixList, nodeList, acidList,
                                       last, list, count);
}
