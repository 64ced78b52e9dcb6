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

}  // namespace fuzz_support
