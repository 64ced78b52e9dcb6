// JexConfig: the library's settings store over four registry keys.
#pragma once

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexRegistryKey.h"
#include "jexlink/core/JexString.h"

// Settings are registry values addressed by dotted names ("Local.Node",
// "Mail.Smtp.Server"), looked up under four keys in a fixed order; the
// first key that holds the name wins. Each look-up reads the registry, so a
// value another process writes is seen at once: nothing is kept here (the
// registry reuses an answer only while no process has written). Names are
// compared exactly, letter case included, although the registry ignores
// case: a setting stored as "local.node" is not found as "Local.Node".
//
// An object is not guarded: the text of a look-up lives in the object until
// its next look-up, so one object serves one thread at a time. It reports
// no failure: an absent setting gives the caller's default, and registry
// trouble shows only as the sentinel texts below.
class JexConfig : public JexRegistryKey {
public:
    // Where a setting was found (Found()), and where SetValue writes.
    static constexpr int kNotFound = 0;
    static constexpr int kApplications = 2;      // HKCU ...\2.2\Applications
    static constexpr int kGlobalParameters = 3;  // HKLM ...\2.2\GlobalParameters
    static constexpr int kUserInterface = 4;     // HKCU ...\2.2\UserInterface
    static constexpr int kProduct = 5;           // HKLM ...\2.2

    static constexpr const char* kInvalidDataType = "*** Invalid Data Type ***";
    static constexpr const char* kLookupError = "*** Registry Lookup Error ***";

    JexConfig();
    ~JexConfig() override;

    // The setting's text: REG_SZ and REG_EXPAND_SZ (expanded) their text,
    // REG_DWORD its decimal, REG_MULTI_SZ element `index` (empty past the
    // last), another type kInvalidDataType. An index of 1 or more on a value
    // that is not a list gives the empty text. Absent: `fallback`. A null or
    // empty name gives `fallback` and leaves Found() as it was. The result
    // stays valid until the next call on this object. `flags` is accepted
    // for the callers that pass it and has no effect.
    JexString& Value(const char* name, const char* fallback, int index = 0, int flags = 0);
    // The setting as a number: empty gives `fallback`; a text starting with
    // a digit or "-" is read with C base detection ("0x" hexadecimal, a
    // leading "0" octal) and clamped to 32 bits; one starting with y, t, Y
    // or T is 1; anything else 0.
    int Value(const char* name, int fallback, int index = 0, int flags = 0);
    // The elements of a list setting over a copy of `defaults` (separator
    // ":"): element i replaces field i until the first empty element.
    JexFieldedString ValueList(const char* name, const JexFieldedString& defaults);
    // The leading non-empty elements of a list setting, separator ",".
    JexFieldedString Path(const char* name);

    // The key of the last look-up that found its setting, or kNotFound.
    int Found();

    // Write a REG_DWORD, a REG_SZ or a REG_MULTI_SZ into the key `where`
    // names (kApplications ... kProduct); any other `where`, a key that
    // cannot be opened or a failed write give false.
    bool SetValue(const char* name, int value, int where);
    bool SetValue(const char* name, const char* text, int where);
    bool SetValue(const char* name, const JexFieldedString& list, int where);

    // The system root directory, or kLookupError.
    JexString& GetSystemRoot();
    // The library's installation directory (base of every data file), or
    // kLookupError.
    JexString& GetApplicationPath();

private:
    JexString& ReadOne(const char* keyPath, const char* name);

    JexString value_;
    int found_ = kNotFound;
};

// True on the Windows 95 family (the top bit of GetVersion), where the
// system's files lie elsewhere than on the NT family.
bool JexWindows9xFamily();
