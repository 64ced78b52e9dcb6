// Test support: settings and installation values written straight into the registry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jexlink/core/JexConfig.h"
#include "platform/winreg.h"

namespace tavro::testing {

// Root and path of a settings key named by its JexConfig code (kApplications
// ... kProduct), or of the installation key.
struct RegistryPlace {
    HKEY root;
    std::string path;
};

inline RegistryPlace SettingsPlace(int where) {
    switch (where) {
        case JexConfig::kGlobalParameters:
            return {HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink\\2.2\\GlobalParameters"};
        case JexConfig::kApplications:
            return {HKEY_CURRENT_USER, "Software\\Ferrandia\\JEXlink\\2.2\\Applications"};
        case JexConfig::kUserInterface:
            return {HKEY_CURRENT_USER, "Software\\Ferrandia\\JEXlink\\2.2\\UserInterface"};
        default: return {HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink\\2.2"};
    }
}

inline const RegistryPlace kInstallPlace = {
    HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Jexlink.exe"};
inline const RegistryPlace kSystemPlace = {HKEY_LOCAL_MACHINE,
                                           "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"};

// Writes one value of any type with exactly these bytes, creating the key.
inline bool WriteValue(const RegistryPlace& place, const char* name, DWORD type,
                       const std::string& bytes) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(place.root, place.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

inline bool WriteText(int where, const char* name, const std::string& text, DWORD type = REG_SZ) {
    return WriteValue(SettingsPlace(where), name, type, std::string(text.c_str(), text.size() + 1));
}

inline bool WriteDword(int where, const char* name, uint32_t value) {
    return WriteValue(SettingsPlace(where), name, REG_DWORD,
                      std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

inline bool WriteList(int where, const char* name, const std::vector<std::string>& elements) {
    std::string block;
    for (const std::string& e : elements) block += e + '\0';
    block += '\0';
    return WriteValue(SettingsPlace(where), name, REG_MULTI_SZ, block);
}

// Removes one value of a key (a test's cleanup); true when it is gone,
// whether or not it was there.
inline bool DeleteValue(const RegistryPlace& place, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(place.root, place.path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return true;
    const LONG rc = RegDeleteValueA(key, name);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}
inline bool DeleteSetting(int where, const char* name) {
    return DeleteValue(SettingsPlace(where), name);
}

// Creates the four settings keys (empty).
inline bool CreateSettingsKeys() {
    for (int where : {JexConfig::kApplications, JexConfig::kGlobalParameters,
                      JexConfig::kUserInterface, JexConfig::kProduct}) {
        HKEY key = nullptr;
        const RegistryPlace place = SettingsPlace(where);
        if (RegCreateKeyExA(place.root, place.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
    }
    return true;
}

// The installation directory as the installer writes it.
inline bool WriteInstallPath(const std::string& path) {
    return WriteValue(kInstallPlace, "Path", REG_SZ, std::string(path.c_str(), path.size() + 1));
}

}  // namespace tavro::testing
