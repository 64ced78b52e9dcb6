// Plain entry points over locators: parse and build texts, apply defaults, candidate lists.
#pragma once

#include <cstddef>

#include "jexlink/core/JexString.h"

// Each function works on a temporary locator of its own; nothing is kept
// between calls. A null input text counts as empty.
//
// Text outputs go to the caller's buffers, each followed by its size in
// bytes. A text that does not fit with its NUL is never cut: that buffer
// gets the empty text and the function returns -1 (0 when every output
// fit). A null buffer is skipped. Integer outputs go through pointers; a
// null pointer is skipped. Methods: 0 none, 1 "dia", 2 "jex"; scopes: 0
// Local, 1 Remote. A method outside 0..2 is refused (the default "jex"
// applies).

int ParseLocator(const char* text, char* nodes, size_t nodesSize, char* acids, size_t acidsSize,
                 int* method);
int BuildLocator(const char* nodes, const char* acids, int method, char* out, size_t outSize);
int ApplyLocatorDefaults(const char* text, const char* defaultNodes, const char* defaultAcids,
                         int defaultMethod, char* out, size_t outSize);

int ParseFileCopyLocator(const char* text, char* prefix, size_t prefixSize, char* nodes,
                         size_t nodesSize, char* acids, size_t acidsSize, int* method, int* scope);
int BuildFileCopyLocator(const char* prefix, const char* nodes, const char* acids, int method,
                         char* out, size_t outSize);
int ApplyFileCopyLocatorDefaults(const char* text, const char* defaultPrefix,
                                 const char* defaultNodes, const char* defaultAcids,
                                 int defaultMethod, char* out, size_t outSize);
// 1 when the text is a Local file-copy locator, else 0.
int IsLocalFileCopyLocator(const char* text);

int ParseEMailLocator(const char* text, char* prefix, size_t prefixSize, char* nodes,
                      size_t nodesSize, char* acids, size_t acidsSize, int* method, int* scope);
int BuildEMailLocator(const char* prefix, const char* nodes, const char* acids, int method,
                      char* out, size_t outSize);
int ApplyEMailLocatorDefaults(const char* text, const char* defaultPrefix, const char* defaultNodes,
                              const char* defaultAcids, int defaultMethod, char* out,
                              size_t outSize);
// 1 when the text is a Local e-mail locator (an ordinary Internet address
// or a bare name), else 0.
int IsLocalEMailLocator(const char* text);

// The same parse and build of e-mail locators into strings that grow, for
// the library's own callers.
void ParseEMailLocator(const char* text, JexString& prefix, JexString& nodes, JexString& acids,
                       int& method, int& scope);
JexString BuildEMailLocator(const char* prefix, const char* nodes, const char* acids, int method);

// Most entries a list builder makes from its candidates; a larger product
// of candidate counts is refused.
constexpr long long kMaxLocatorCandidates = 100000;

// Ordered candidate destinations. Each list text is one literal candidate,
// or "*" and the name of a list setting whose leading non-empty values are
// the candidates; a non-empty single value is put in front of its list and
// then the list is split at its commas. Repeated candidates count once and
// empty ones make nothing. A non-empty `first` leads the result and a
// non-empty `last` ends it, each listed once. *list receives a malloc'ed
// array of *count malloc'ed texts and a null entry; the caller frees each
// text and then the array. When the candidates would make more than
// kMaxLocatorCandidates entries, or memory runs out, *list is null and
// *count -1.
//
// BuildLocatorList: "node.acid.jex" for every node and acid candidate.
void BuildLocatorList(const char* first, const char* node, const char* acid, const char* nodeList,
                      const char* acidList, const char* last, char*** list, int* count);
// "prefix@node.acid.jex" for every prefix, node and acid candidate, as
// file-copy and as e-mail locators.
void BuildFileNameList(const char* first, const char* prefix, const char* node, const char* acid,
                       const char* prefixList, const char* nodeList, const char* acidList,
                       const char* last, char*** list, int* count);
void BuildAddressList(const char* first, const char* prefix, const char* node, const char* acid,
                      const char* prefixList, const char* nodeList, const char* acidList,
                      const char* last, char*** list, int* count);
