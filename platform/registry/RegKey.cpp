// A registry key that closes itself, for the layer's own records.
#include "platform/RegKey.h"

namespace platform {

LONG RegKey::Open(const std::string& path, REGSAM access) {
    Close();
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &m_key);
}

LONG RegKey::Create(const std::string& path) {
    Close();
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
}

void RegKey::Close() {
    if (m_key) RegCloseKey(m_key);
    m_key = nullptr;
}

LONG RegKey::SetDword(const char* name, DWORD value) {
    return RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG RegKey::SetString(const char* name, const std::string& value, DWORD type) {
    return RegSetValueExA(m_key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

LONG RegKey::SetMulti(const char* name, const std::vector<std::string>& values) {
    std::string data;
    for (const std::string& value : values) {
        data += value;
        data += '\0';
    }
    data += '\0';
    return RegSetValueExA(m_key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

std::optional<DWORD> RegKey::GetDword(const char* name) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

std::optional<std::string> RegKey::GetString(const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(m_key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::string value(size, '\0');
    if (size > 0 && RegQueryValueExA(m_key, name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.resize(size);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

LONG RegKey::DeleteValue(const char* name) { return RegDeleteValueA(m_key, name); }

namespace {

// Names the enumeration `next` gives for index 0, 1, ... until it fails.
template <class Next>
std::vector<std::string> Names(Next next) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD size = sizeof name;
        if (next(index, name, &size) != ERROR_SUCCESS) break;
        names.emplace_back(name, size);
    }
    return names;
}

}  // namespace

std::vector<std::string> RegKey::ValueNames() {
    return Names([this](DWORD index, char* name, DWORD* size) {
        return RegEnumValueA(m_key, index, name, size, nullptr, nullptr, nullptr, nullptr);
    });
}

std::vector<std::string> RegKey::SubkeyNames() {
    return Names([this](DWORD index, char* name, DWORD* size) {
        return RegEnumKeyExA(m_key, index, name, size, nullptr, nullptr, nullptr, nullptr);
    });
}

LONG DeleteKeyTree(const std::string& path) {
    std::vector<std::string> children;
    {
        RegKey key;
        if (LONG rc = key.Open(path, KEY_ALL_ACCESS); rc != ERROR_SUCCESS) return rc;
        // Collect the children first: deleting while enumerating shifts indexes.
        children = key.SubkeyNames();
    }
    for (const std::string& child : children) {
        if (LONG rc = DeleteKeyTree(path + "\\" + child); rc != ERROR_SUCCESS) return rc;
    }
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace platform
