// A registry key that closes itself, for the layer's own records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/winreg.h"

namespace platform {

// Used by the service database, the event log and the rights store to keep
// their records in the registry under HKEY_LOCAL_MACHINE.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { Close(); }

    // Win32 code of the open or create.
    LONG Open(const std::string& path, REGSAM access = KEY_READ);
    LONG Create(const std::string& path);
    void Close();
    bool IsOpen() const { return m_key != nullptr; }

    LONG SetDword(const char* name, DWORD value);
    LONG SetString(const char* name, const std::string& value, DWORD type = REG_SZ);
    // A list of texts as REG_MULTI_SZ.
    LONG SetMulti(const char* name, const std::vector<std::string>& values);
    std::optional<DWORD> GetDword(const char* name);
    std::optional<std::string> GetString(const char* name);
    LONG DeleteValue(const char* name);
    // Names of the key's values, in the store's order.
    std::vector<std::string> ValueNames();
    std::vector<std::string> SubkeyNames();

private:
    HKEY m_key = nullptr;
};

// Deletes `path` under HKEY_LOCAL_MACHINE with every key below it.
LONG DeleteKeyTree(const std::string& path);

}  // namespace platform
