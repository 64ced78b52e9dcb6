// JexRegistryKey: a thin layer over the registry calls, with multi-string and record helpers.
#include "jexlink/core/JexRegistryKey.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexThread.h"
#include "platform/winbase.h"

namespace {

// Subkey names hold at most 255 characters, value names 511.
constexpr DWORD kKeyNameChars = 256;
constexpr DWORD kValueNameChars = 512;

int32_t ClampToInt32(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The whole value of an environment variable; false when it is unset.
bool EnvironmentValue(const std::string& name, std::string& value) {
    std::string buffer(256, '\0');
    for (;;) {
        DWORD n =
            GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            value.clear();
            return true;
        }
        if (n < buffer.size()) {
            value.assign(buffer.data(), n);
            return true;
        }
        buffer.assign(n, '\0');  // n counts the NUL the value needs
    }
}

// Reads a value's type and bytes with `query` (a registry call taking the
// type, the buffer and its size); the bytes are all of them, or at most
// `limit` when a limit is given.
template <typename Query>
LONG ReadWith(Query query, DWORD& type, std::string& bytes, size_t limit) {
    // Most values fit a small buffer and take one call; a longer one reports
    // its size. Another process may rewrite the value between two calls: ask
    // again with the new size until the bytes fit.
    DWORD size = 256;
    for (int attempt = 0; attempt < 9; ++attempt) {
        bytes.assign(size, '\0');
        DWORD got = size;
        const LONG rc = query(&type, reinterpret_cast<BYTE*>(bytes.data()), &got);
        if (rc == ERROR_SUCCESS) {
            bytes.resize(got);
            if (limit && bytes.size() > limit) bytes.resize(limit);
            return rc;
        }
        if (rc != ERROR_MORE_DATA) return rc;
        size = got;
    }
    return ERROR_MORE_DATA;
}

LONG ReadValue(HKEY key, const char* name, DWORD& type, std::string& bytes, size_t limit) {
    return ReadWith(
        [&](DWORD* t, BYTE* data, DWORD* size) {
            return RegQueryValueExA(key, name, nullptr, t, data, size);
        },
        type, bytes, limit);
}

}  // namespace

JexString JexExpandEnvironmentText(const char* text) {
    std::string out;
    const char* p = text ? text : "";
    while (*p) {
        const char* open = std::strchr(p, '%');
        if (!open) {
            out += p;
            break;
        }
        out.append(p, open);
        const char* close = std::strchr(open + 1, '%');
        if (!close) {
            out += open;  // no closing "%": the rest stands as it is
            break;
        }
        std::string value;
        if (close > open + 1 && EnvironmentValue(std::string(open + 1, close), value)) out += value;
        p = close + 1;
    }
    return JexString(out.c_str());
}

HKEY JexRegistryKey::CreateKey(HKEY root, const char* subkey, REGSAM access, DWORD* disposition) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                        disposition) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

HKEY JexRegistryKey::OpenKey(HKEY root, const char* subkey, REGSAM access) {
    return OpenKey(root, subkey, access, 1);
}

HKEY JexRegistryKey::OpenKey(HKEY root, const char* subkey, REGSAM access, int returnOnFailure) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subkey, 0, access, &key);
    if (rc != ERROR_SUCCESS && returnOnFailure) return nullptr;
    return key;
}

LONG JexRegistryKey::CloseKey(HKEY key) { return RegCloseKey(key); }

LONG JexRegistryKey::FlushKey(HKEY key) { return RegFlushKey(key); }

LONG JexRegistryKey::DeleteValue(HKEY key, const char* name) { return RegDeleteValueA(key, name); }

LONG JexRegistryKey::EnumKeys(HKEY key, std::vector<std::string>& names) {
    for (DWORD index = 0;; ++index) {
        char name[kKeyNameChars];
        DWORD size = kKeyNameChars;
        LONG rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        names.emplace_back(name, size);
    }
}

LONG JexRegistryKey::EnumValues(HKEY key, std::vector<std::string>& names,
                                std::vector<uint32_t>& types) {
    for (DWORD index = 0;; ++index) {
        char name[kValueNameChars];
        DWORD size = kValueNameChars;
        DWORD type = 0;
        LONG rc = RegEnumValueA(key, index, name, &size, nullptr, &type, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        names.emplace_back(name, size);
        types.push_back(type);
    }
}

LONG JexRegistryKey::QueryInfo(HKEY key, KeyInfo& info) {
    char keyClass[kKeyNameChars];
    DWORD classSize = kKeyNameChars;
    LONG rc =
        RegQueryInfoKeyA(key, keyClass, &classSize, nullptr, &info.subKeys, &info.maxSubKeyLen,
                         &info.maxClassLen, &info.values, &info.maxValueNameLen, &info.maxValueLen,
                         &info.securityDescriptor, &info.lastWriteTime);
    if (rc == ERROR_SUCCESS) info.keyClass.assign(keyClass, classSize);
    return rc;
}

namespace {

// A value's bytes as text, as QueryValue gives them.
JexString ValueText(DWORD valueType, std::string& bytes) {
    switch (valueType) {
        case REG_SZ:
        case REG_BINARY: return JexString(bytes.c_str());
        case REG_EXPAND_SZ: return JexExpandEnvironmentText(bytes.c_str());
        case REG_DWORD: {
            uint32_t v = 0;
            std::memcpy(&v, bytes.data(), bytes.size() < 4 ? bytes.size() : 4);
            return JexString(std::to_string(static_cast<int32_t>(v)).c_str());
        }
        case REG_MULTI_SZ: {
            // Only whole elements count: a block cut at the limit ends at the
            // last NUL before it, so no element is handed on half read.
            constexpr size_t kLimit = JexRegistryKey::kMaxMultiStringValue;
            if (bytes.size() > kLimit) {
                size_t end = bytes.rfind('\0', kLimit - 1);
                bytes.resize(end == std::string::npos ? 0 : end + 1);
            }
            return JexString::FromBytes(bytes.data(), static_cast<int>(bytes.size()));
        }
        default: return JexString();
    }
}

}  // namespace

JexString JexRegistryKey::QueryValue(HKEY key, const char* name, DWORD* type) {
    DWORD valueType = 0;
    std::string bytes;
    if (type) *type = 0;
    if (ReadValue(key, name, valueType, bytes, 0) != ERROR_SUCCESS) return JexString();
    if (type) *type = valueType;
    return ValueText(valueType, bytes);
}

JexString JexRegistryKey::QueryValueAt(HKEY root, const char* subkey, const char* name, DWORD* type,
                                       LONG* status) {
    DWORD valueType = 0;
    std::string bytes;
    if (type) *type = 0;
    const LONG rc = ReadWith(
        [&](DWORD* t, BYTE* data, DWORD* size) {
            return RegGetValueA(root, subkey, name, RRF_RT_ANY | RRF_NOEXPAND | kRrfExactName, t,
                                data, size);
        },
        valueType, bytes, 0);
    if (status) *status = rc;
    if (rc != ERROR_SUCCESS) return JexString();
    if (type) *type = valueType;
    return ValueText(valueType, bytes);
}

LONG JexRegistryKey::SetValue(HKEY key, const char* name, DWORD type, const char* text) {
    if (!text) return ERROR_INVALID_PARAMETER;
    size_t size = 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        size = std::strlen(text) + 1;
    } else if (type == REG_MULTI_SZ) {
        // An empty block is its one NUL; otherwise up to the double NUL.
        if (text[0] == '\0') {
            size = 1;
        } else {
            const char* end = nullptr;
            for (size_t i = 1; i < kMaxMultiStringChars; ++i) {
                if (text[i] == '\0' && text[i - 1] == '\0') {
                    end = text + i;
                    break;
                }
            }
            if (!end) return ERROR_INVALID_PARAMETER;
            size = static_cast<size_t>(end - text) + 1;
        }
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(size));
}

LONG JexRegistryKey::SetDWord(HKEY key, const char* name, uint32_t value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

const char* JexRegistryKey::MultiString(const JexFieldedString& list) {
    multiString_.clear();
    JexFieldedString fields(list);
    for (int i = 0; i < fields.Count(); ++i) {
        const char* field = fields[i].Text();
        if (!*field) continue;
        multiString_ += field;
        multiString_.push_back('\0');
    }
    multiString_.push_back('\0');
    lastMultiString_ = multiString_.c_str();
    return lastMultiString_;
}

void JexRegistryKey::SplitMultiString(const char* block, size_t length,
                                      std::vector<std::string>& out) {
    if (!block) return;
    if (length > kMaxMultiStringChars) length = kMaxMultiStringChars;
    size_t i = 0;
    while (i < length && block[i] != '\0') {
        const void* nul = std::memchr(block + i, '\0', length - i);
        size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - block) : length;
        out.emplace_back(block + i, end - i);
        i = end + 1;
    }
}

LONG JexRegistryKey::DeleteKeyTree(HKEY root, const char* subkey) {
    if (!subkey || !*subkey) return ERROR_SUCCESS;
    HKEY key = OpenKey(root, subkey, KEY_WRITE | KEY_ENUMERATE_SUB_KEYS);
    if (!key) return ERROR_BADKEY;
    for (;;) {
        char name[kKeyNameChars];
        DWORD size = kKeyNameChars;
        LONG rc = RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_SUCCESS) rc = DeleteKeyTree(key, name);
        if (rc != ERROR_SUCCESS) {
            // A subkey that cannot go would be met again at index 0 for ever.
            CloseKey(key);
            return rc;
        }
    }
    CloseKey(key);
    return RegDeleteKeyA(root, subkey);
}

int32_t JexRegistryKey::ReadNumber(const char* text) {
    number_ = ClampToInt32(text ? std::strtoll(text, nullptr, 10) : 0);
    return number_;
}

const std::string& JexRegistryKey::RecordToText(const Record& record) {
    recordText_.clear();
    for (int32_t n : record.numbers) recordText_ += std::to_string(n) + ",";
    for (uint8_t b : record.bytes) recordText_ += std::to_string(b) + ",";
    recordText_ += record.text;
    return recordText_;
}

bool JexRegistryKey::RecordFromText(const char* text) {
    if (!text) return false;
    Record record;
    const char* p = text;
    // The next comma-ended field as a decimal number within [low, high].
    auto nextNumber = [&p](long long low, long long high, long long& out) {
        const char* comma = std::strchr(p, ',');
        if (!comma || comma == p) return false;
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(p, &end, 10);
        if (end != comma || errno == ERANGE || v < low || v > high) return false;
        out = v;
        p = comma + 1;
        return true;
    };
    long long v = 0;
    for (int32_t& n : record.numbers) {
        if (!nextNumber(INT32_MIN, INT32_MAX, v)) return false;
        n = static_cast<int32_t>(v);
    }
    for (uint8_t& b : record.bytes) {
        if (!nextNumber(0, UINT8_MAX, v)) return false;
        b = static_cast<uint8_t>(v);
    }
    record.text = p;
    record_ = record;
    return true;
}
