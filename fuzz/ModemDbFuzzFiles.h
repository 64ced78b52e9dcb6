// Fuzz support: the modem databases' files in a private state, named by the settings.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/MessagesFuzzState.h"
#include "jexlink/core/JexString.h"
#include "platform/winreg.h"

namespace fuzz_support {

// Stores a text setting where JexConfig looks first (the global parameters).
inline bool SetSetting(const char* name, const char* text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink\\2.2\\GlobalParameters",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// The path of a scratch database file that `setting` names, in the
// process's private platform state directory.
inline const std::string& ModemDbFile(const char* setting, const char* name) {
    static std::string path;
    if (!path.empty()) return path;
    UsePrivateState();
    path = (std::filesystem::path(std::getenv(platform::kStateDirVar)) / name).string();
    if (!SetSetting(setting, path.c_str())) std::abort();
    return path;
}

inline void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Ends the run as a finding when a property does not hold.
inline void Check(bool ok) {
    if (!ok) std::abort();
}

// Walks every record a database of type Db delivers by name, from "*" on,
// with `each` called on the database after each delivery: every name is 1
// to 16 characters, and no more than `records` are delivered. Returns the
// first name delivered, empty when there was none.
template <class Db, class Each>
std::string BrowseAll(Db& db, int nameAttribute, size_t records, Each each) {
    std::string first;
    size_t delivered = 0;
    for (int code = db.Find("*"); code == Db::OK; code = db.Find(nullptr)) {
        JexString name;
        Check(db.GetAttr(nameAttribute, name) == 0);
        Check(std::strlen(name.Text()) >= 1 && std::strlen(name.Text()) <= 16);
        each(db);
        if (first.empty()) first = name.Text();
        Check(++delivered <= records);
    }
    return first;
}

// Checks the size of a database file after a run. A file of `before` that
// is not whole records of `recordSize` must be left as it was: false, and
// nothing more to check. Otherwise the file kept its size or grew by one
// record: true, its records are to be checked one by one.
inline bool KeptWholeRecords(const std::string& before, const std::string& after,
                             size_t recordSize) {
    if (before.size() % recordSize) {
        Check(after == before);
        return false;
    }
    Check(after.size() == before.size() || after.size() == before.size() + recordSize);
    return true;
}

}  // namespace fuzz_support
