// JexRegistryKey: a thin layer over the registry calls, with multi-string and record helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jexlink/core/JexString.h"
#include "platform/winreg.h"

class JexFieldedString;

// Registry operations that hand back the registry's own result code (or a
// key handle, null on failure) and report nothing further. The configuration
// store (JexConfig) is built on it; other code may use it directly for keys
// of its own. Not for use by two threads at once: the multi-string work
// text and the record belong to the object.
class JexRegistryKey {
public:
    // A record kept as one text of comma-separated fields: five 32-bit
    // numbers, eight 8-bit numbers and a text, in that order.
    struct Record {
        int32_t numbers[5] = {};
        uint8_t bytes[8] = {};
        std::string text;
    };

    // Largest multi-string block that SetValue and SplitMultiString look at.
    static constexpr size_t kMaxMultiStringChars = 1000000;
    // Largest multi-string value that QueryValue reads.
    static constexpr size_t kMaxMultiStringValue = 65535;

    JexRegistryKey() = default;
    virtual ~JexRegistryKey() = default;
    JexRegistryKey(const JexRegistryKey&) = delete;
    JexRegistryKey& operator=(const JexRegistryKey&) = delete;

    // Creates (or opens) root\subkey; null on failure. disposition may be null.
    HKEY CreateKey(HKEY root, const char* subkey, REGSAM access, DWORD* disposition);
    // Opens root\subkey; null on failure.
    HKEY OpenKey(HKEY root, const char* subkey, REGSAM access);
    // The same; with returnOnFailure clear the handle is returned as the
    // registry call left it, whatever the result.
    HKEY OpenKey(HKEY root, const char* subkey, REGSAM access, int returnOnFailure);
    LONG CloseKey(HKEY key);
    LONG FlushKey(HKEY key);
    LONG DeleteValue(HKEY key, const char* name);

    // Appends every subkey name (up to 255 characters) to `names`; returns
    // ERROR_NO_MORE_ITEMS after a complete enumeration.
    LONG EnumKeys(HKEY key, std::vector<std::string>& names);
    // Appends every value name (up to 511 characters) and its type; returns
    // ERROR_NO_MORE_ITEMS after a complete enumeration.
    LONG EnumValues(HKEY key, std::vector<std::string>& names, std::vector<uint32_t>& types);

    // What the registry's key-information query tells of a key: its class,
    // the numbers of subkeys and values, the longest subkey name, class,
    // value name and value data (bytes, without the NUL), the length of its
    // security descriptor and its last write time.
    struct KeyInfo {
        std::string keyClass;
        DWORD subKeys = 0;
        DWORD maxSubKeyLen = 0;
        DWORD maxClassLen = 0;
        DWORD values = 0;
        DWORD maxValueNameLen = 0;
        DWORD maxValueLen = 0;
        DWORD securityDescriptor = 0;
        FILETIME lastWriteTime{};
    };
    LONG QueryInfo(HKEY key, KeyInfo& info);

    // The value as text: REG_SZ and REG_BINARY their bytes up to the first
    // NUL; REG_EXPAND_SZ with %NAME% references expanded from the
    // environment; REG_DWORD its signed decimal; REG_MULTI_SZ the raw block
    // of complete elements (at most kMaxMultiStringValue bytes; the string's
    // used length counts the block). A failed query or another type gives
    // the empty text; `type` (when given) receives the type, 0 on failure.
    JexString QueryValue(HKEY key, const char* name, DWORD* type = nullptr);
    // The same of a value of root\subkey, found and read in one registry
    // call, so that each look-up sees the value as it stands now. The name
    // is compared exactly, letter case included, although the registry
    // ignores case: a value stored as "local.node" is not "Local.Node".
    // `status` (when given) receives the registry's code:
    // ERROR_FILE_NOT_FOUND when the key or the value is missing.
    JexString QueryValueAt(HKEY root, const char* subkey, const char* name, DWORD* type = nullptr,
                           LONG* status = nullptr);

    // Writes a REG_SZ or REG_EXPAND_SZ text with its NUL, or a REG_MULTI_SZ
    // block measured up to its double NUL. A block without a double NUL in
    // its first kMaxMultiStringChars characters, and any other type, give
    // ERROR_INVALID_PARAMETER and write nothing.
    LONG SetValue(HKEY key, const char* name, DWORD type, const char* text);
    LONG SetDWord(HKEY key, const char* name, uint32_t value);

    // Builds in the work text every non-empty field of the list followed by
    // a NUL, then one more NUL, and returns it. An empty field would end the
    // block early for every reader, so it is left out rather than cutting
    // off the fields after it. Valid until the next call.
    const char* MultiString(const JexFieldedString& list);
    // Appends the elements of a block of `length` bytes; stops at the
    // double NUL, at the end of the block, or after kMaxMultiStringChars.
    // An element not ended by a NUL inside the block is taken as it stands.
    static void SplitMultiString(const char* block, size_t length, std::vector<std::string>& out);

    // Deletes root\subkey with all its subkeys, depth first. An empty subkey
    // does nothing and gives 0; a key that cannot be opened gives
    // ERROR_BADKEY; the first failure to delete ends the walk with its code.
    LONG DeleteKeyTree(HKEY root, const char* subkey);

    // The decimal value of the text (0 when it holds none), clamped to
    // 32 bits, also kept in the object.
    int32_t ReadNumber(const char* text);
    int32_t Number() const { return number_; }

    // The record as text: the thirteen numbers in decimal and then the text,
    // separated by commas.
    const std::string& RecordToText(const Record& record);
    // Reads that form back into the object's record. The text field takes
    // the rest of the line, commas included. A missing or non-decimal
    // number, or one out of its field's range, gives false and leaves the
    // record as it was.
    bool RecordFromText(const char* text);
    const Record& GetRecord() const { return record_; }

private:
    std::string multiString_;
    const char* lastMultiString_ = nullptr;
    int32_t number_ = 0;
    Record record_;
    std::string recordText_;
};

// A REG_EXPAND_SZ text with every %NAME% replaced by the environment
// variable's value (nothing when unset); "%%" is dropped; a "%" with no
// closing "%" is kept with the rest of the text as it stands.
JexString JexExpandEnvironmentText(const char* text);
