// Locators: destination texts of a node list, an access id and a method, with prefixed forms.
#pragma once

#include <cstdio>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexString.h"

// Delivery method of a locator: the method word that ends its text.
enum class JexLocMethod : int {
    kNone = 0,  // no method word
    kDia = 1,   // "dia"
    kJex = 2,   // "jex"
};

// Whether a prefixed locator names a local destination (the prefix alone)
// or a remote one (the prefix at a locator).
enum class JexLocScope : int {
    kLocal = 0,
    kRemote = 1,
};

// A destination in the support network as text: a node list, an access
// identifier ("acid") and a method word, joined with ".":
//   [node[.node...].]acid[.jex|.dia]
// Parsing fills the parsed parts; a second set of default parts fills in
// whatever the text leaves empty, and rendering gives the effective text.
// Any text parses: malformed input only yields empty parts. A value object
// for one thread; errors are the result codes of SetAttr and GetAttr.
class JexLocator {
public:
    // Attribute numbers (part of the interface).
    enum Attribute : int {
        LOC_NODE = 0,             // effective node list (read-only)
        LOC_ACID = 1,             // effective acid list (read-only)
        LOC_METHOD = 2,           // effective method (read-only)
        LOC_PREFIX = 3,           // effective prefix (prefixed only, read-only)
        LOC_PARSED_NODE = 4,      //
        LOC_PARSED_ACID = 5,      //
        LOC_PARSED_METHOD = 6,    //
        LOC_PARSED_PREFIX = 7,    // prefixed only
        LOC_TEXT = 8,             // the rendered text; setting it parses
        LOC_DEFAULT_NODE = 9,     //
        LOC_DEFAULT_ACID = 10,    //
        LOC_DEFAULT_METHOD = 11,  //
        LOC_DEFAULT_PREFIX = 12,  // prefixed only
        LOC_DEFAULTS = 13,        // the defaults as one locator text
        LOC_SCOPE = 14,           // prefixed only
    };
    // Results of SetAttr and GetAttr.
    enum Result : int {
        kDone = 0,
        kNotInteger = 1,  // not of the integer kind asked for
        kNotString = 2,
        kReadOnly = 3,
        kNoSuchAttribute = 4,
        kOutOfRange = 5,
    };

    explicit JexLocator(const char* text = nullptr);
    // The three become the parsed parts; the defaults stay empty and "jex".
    JexLocator(const JexString& nodes, const JexString& acids, JexLocMethod method);
    ~JexLocator();
    JexLocator(const JexLocator&) = default;
    JexLocator& operator=(const JexLocator&) = default;

    // The effective node list, ".", the effective acid list and the suffix
    // of the effective method (".dia", ".jex" or nothing).
    operator JexString() const;
    // Parses the text; the defaults stay.
    JexLocator& operator=(const char* text);

    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    int SetAttr(int attribute, const char* value);
    int SetAttr(int attribute, JexLocMethod value);
    int GetAttr(int attribute, JexString& value) const;
    int GetAttr(int attribute, JexLocMethod& value) const;

    void Dump(FILE* out) const;
    // Replaces the three parsed parts from the text.
    void parse(const char* text);

protected:
    const JexString& EffectiveNodes() const;
    const JexString& EffectiveAcids() const;
    JexLocMethod EffectiveMethod() const;
    // The separator and the method word, or nothing for kNone.
    JexString MethodSuffix(JexLocMethod method) const;
    JexString Render(const JexString& nodes, const JexString& acids, JexLocMethod method) const;
    char Separator() const;
    void DumpParts(FILE* out) const;

    JexString parsedNodes_;
    JexString defaultNodes_;
    JexString parsedAcids_;
    JexString defaultAcids_;
    JexLocMethod parsedMethod_ = JexLocMethod::kNone;
    JexLocMethod defaultMethod_ = JexLocMethod::kJex;
    JexString separator_{"."};
};

// A locator with a prefix (a user name for mail, a file name for file
// copies) in front, separated by "@". Scope Local: the prefix alone names
// the destination; Remote: the prefix at a locator.
class JexPrefixedLocator : public JexLocator {
public:
    // Kind 1 reads "user@host" without a method word as an ordinary Internet
    // address (Local); kind 0 reads it as a user at a remote acid.
    explicit JexPrefixedLocator(const char* text = nullptr, int kind = 0);
    JexPrefixedLocator(const JexString& prefix, const JexString& nodes, const JexString& acids,
                       JexLocScope scope, JexLocMethod method);
    ~JexPrefixedLocator();
    JexPrefixedLocator(const JexPrefixedLocator&) = default;
    JexPrefixedLocator& operator=(const JexPrefixedLocator&) = default;

    // The effective prefix; for Remote followed by "@" and the base rendering.
    operator JexString() const;
    JexPrefixedLocator& operator=(const char* text);

    int SetAttr(int attribute, const char* value);
    int SetAttr(int attribute, JexLocScope value);
    int SetAttr(int attribute, JexLocMethod value) { return JexLocator::SetAttr(attribute, value); }
    int GetAttr(int attribute, JexString& value) const;
    int GetAttr(int attribute, JexLocScope& value) const;
    int GetAttr(int attribute, JexLocMethod& value) const {
        return JexLocator::GetAttr(attribute, value);
    }

    void Dump(FILE* out) const;
    // Replaces the prefix, the scope and the parsed locator parts.
    void prefix_parse(const char* text);

    int Kind() const { return kind_; }

private:
    const JexString& EffectivePrefix() const;

    JexLocScope scope_ = JexLocScope::kLocal;
    JexString parsedPrefix_;
    JexString defaultPrefix_;
    int kind_ = 0;
    JexString prefixSeparator_{"@"};
};

// A file-copy locator: "file@node.acid" is always Remote.
class JexFileCopyLocator : public JexPrefixedLocator {
public:
    explicit JexFileCopyLocator(const char* text = nullptr);
    ~JexFileCopyLocator();
    JexFileCopyLocator(const JexFileCopyLocator&) = default;
    JexFileCopyLocator& operator=(const JexFileCopyLocator&) = default;
    using JexPrefixedLocator::operator=;
};

// An e-mail locator: "user@node.acid.jex" is Remote, "user@host" Local.
class JexEMailLocator : public JexPrefixedLocator {
public:
    explicit JexEMailLocator(const char* text = nullptr);
    ~JexEMailLocator();
    JexEMailLocator(const JexEMailLocator&) = default;
    JexEMailLocator& operator=(const JexEMailLocator&) = default;
    using JexPrefixedLocator::operator=;
};
