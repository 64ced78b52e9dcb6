// JexConfig: the library's settings store over four registry keys.
#include "jexlink/core/JexConfig.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "jexlink/core/JexTrace.h"
#include "platform/winbase.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexConfig.cxx";

struct SettingsKey {
    HKEY root;
    const char* path;
    int where;
};

// In look-up order.
const SettingsKey kSettingsKeys[] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink\\2.2\\GlobalParameters",
     JexConfig::kGlobalParameters},
    {HKEY_CURRENT_USER, "Software\\Ferrandia\\JEXlink\\2.2\\Applications",
     JexConfig::kApplications},
    {HKEY_CURRENT_USER, "Software\\Ferrandia\\JEXlink\\2.2\\UserInterface",
     JexConfig::kUserInterface},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink\\2.2", JexConfig::kProduct},
};

const SettingsKey* KeyFor(int where) {
    for (const SettingsKey& k : kSettingsKeys)
        if (k.where == where) return &k;
    return nullptr;
}

constexpr const char* kSystemRootKeyNt = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kSystemRootKey9x = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kAppPathKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Jexlink.exe";

// Opens a settings key for a write, writes, closes.
template <typename Write>
bool WriteInto(JexConfig& config, int where, Write write) {
    const SettingsKey* k = KeyFor(where);
    if (!k) return false;
    HKEY key = config.OpenKey(k->root, k->path, KEY_ALL_ACCESS);
    if (!key) return false;
    const LONG rc = write(key);
    config.CloseKey(key);
    return rc == ERROR_SUCCESS;
}

}  // namespace

bool JexWindows9xFamily() { return (GetVersion() & 0x80000000u) != 0; }

JexConfig::JexConfig() : value_("", 1) { JexTrace trace(kTraceFile, "JexConfig", __LINE__); }

JexConfig::~JexConfig() { JexTrace trace(kTraceFile, "~JexConfig", __LINE__); }

JexString& JexConfig::Value(const char* name, const char* fallback, int index, int /*flags*/) {
    JexTrace trace(kTraceFile, "JexString Value()", __LINE__);
    value_.SetCaseSensitive(1);
    if (!name || !*name) {
        value_ = fallback;
        return value_;
    }
    // Each key is asked afresh, in one registry call: a value another
    // process wrote is seen at once.
    for (const SettingsKey& k : kSettingsKeys) {
        DWORD type = 0;
        LONG rc = ERROR_SUCCESS;
        JexString text = QueryValueAt(k.root, k.path, name, &type, &rc);
        if (rc != ERROR_SUCCESS) continue;
        if (index >= 1 && type != REG_MULTI_SZ) {
            // An element of a value that is not a list: empty, and the
            // found code of the previous look-up stays.
            value_ = "";
            return value_;
        }
        found_ = k.where;
        switch (type) {
            case REG_SZ:
            case REG_EXPAND_SZ:
            case REG_DWORD: value_ = text; break;
            case REG_MULTI_SZ: {
                std::vector<std::string> elements;
                SplitMultiString(text.Data(), static_cast<size_t>(text.Length()), elements);
                const bool inList = index >= 0 && static_cast<size_t>(index) < elements.size();
                value_ = inList ? elements[static_cast<size_t>(index)].c_str() : "";
                break;
            }
            case REG_NONE: value_ = ""; break;
            default: value_ = kInvalidDataType; break;
        }
        return value_;
    }
    found_ = kNotFound;
    value_ = fallback;
    return value_;
}

int JexConfig::Value(const char* name, int fallback, int index, int flags) {
    JexTrace trace(kTraceFile, "int Value()", __LINE__);
    const JexString& text = Value(name, "", index, flags);
    const char* t = text.Text();
    if (!*t) return fallback;
    if (std::isdigit(static_cast<unsigned char>(*t)) || *t == '-') {
        const long long v = std::strtoll(t, nullptr, 0);
        if (v > INT_MAX) return INT_MAX;
        if (v < INT_MIN) return INT_MIN;
        return static_cast<int>(v);
    }
    return (*t == 'y' || *t == 't' || *t == 'Y' || *t == 'T') ? 1 : 0;
}

JexFieldedString JexConfig::ValueList(const char* name, const JexFieldedString& defaults) {
    JexTrace trace(kTraceFile, "JexFieldedString ValueList()", __LINE__);
    // The name may live in this object's last result, which each read replaces.
    const std::string setting = name ? name : "";
    JexFieldedString result(defaults);
    result.SetSeparator(':');
    for (int i = 0;; ++i) {
        const JexString& v = Value(setting.c_str(), "", i);
        if (!*v.Text()) break;
        JexString& field = result[i];
        field = v;
        field.SetCaseSensitive(v.CaseSensitive());
    }
    return result;
}

JexFieldedString JexConfig::Path(const char* name) {
    JexTrace trace(kTraceFile, "Path()", __LINE__);
    const std::string setting = name ? name : "";
    JexString joined("", 1);
    for (int i = 0;; ++i) {
        const JexString& v = Value(setting.c_str(), "", i);
        if (found_ == kNotFound || !*v.Text()) break;
        if (i > 0) joined += ",";
        joined += v;
    }
    return JexFieldedString(joined, ',');
}

int JexConfig::Found() {
    JexTrace trace(kTraceFile, "Found()", __LINE__);
    return found_;
}

bool JexConfig::SetValue(const char* name, int value, int where) {
    return WriteInto(*this, where,
                     [&](HKEY key) { return SetDWord(key, name, static_cast<uint32_t>(value)); });
}

bool JexConfig::SetValue(const char* name, const char* text, int where) {
    return WriteInto(*this, where,
                     [&](HKEY key) { return JexRegistryKey::SetValue(key, name, REG_SZ, text); });
}

bool JexConfig::SetValue(const char* name, const JexFieldedString& list, int where) {
    return WriteInto(*this, where, [&](HKEY key) {
        return JexRegistryKey::SetValue(key, name, REG_MULTI_SZ, MultiString(list));
    });
}

JexString& JexConfig::ReadOne(const char* keyPath, const char* name) {
    value_.SetCaseSensitive(1);
    LONG rc = ERROR_SUCCESS;
    JexString text = QueryValueAt(HKEY_LOCAL_MACHINE, keyPath, name, nullptr, &rc);
    if (rc != ERROR_SUCCESS) {
        value_ = kLookupError;
        return value_;
    }
    value_ = text;  // a list gives its first element
    return value_;
}

JexString& JexConfig::GetSystemRoot() {
    JexTrace trace(kTraceFile, "JexString GetSystemRoot()", __LINE__);
    return ReadOne(JexWindows9xFamily() ? kSystemRootKey9x : kSystemRootKeyNt, "SystemRoot");
}

JexString& JexConfig::GetApplicationPath() {
    JexTrace trace(kTraceFile, "JexString GetApplicationPath()", __LINE__);
    return ReadOne(kAppPathKey, "Path");
}
