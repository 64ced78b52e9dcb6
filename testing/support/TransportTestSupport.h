// Test support of the transports: a record of the errors raised on an object.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jexlink/core/JexException.h"
#include "platform/winreg.h"

namespace tavro::testing {

// Registers a handler on an object for one scope that takes every error
// raised there and records its code.
class RaiseLog {
public:
    explicit RaiseLog(JexException* object) : scope_(object, &Record, this) {}
    RaiseLog(const RaiseLog&) = delete;
    RaiseLog& operator=(const RaiseLog&) = delete;

    const std::vector<int>& Codes() const { return codes_; }

private:
    static int Record(JexException* raised, void* context) {
        static_cast<RaiseLog*>(context)->codes_.push_back(raised->Code());
        return 0;
    }

    std::vector<int> codes_;
    JexHandlerScope scope_;
};

// Makes `root` the system root of this test's registry and writes the
// library's services file under it; returns the file's path.
inline std::string InstallServicesFile(const std::filesystem::path& root, const std::string& text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0)
        return "";
    const std::string value = root.string();
    RegSetValueExA(key, "SystemRoot", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    const std::filesystem::path dir = root / "system32" / "drivers" / "etc";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "services") << text;
    return (dir / "services").string();
}

}  // namespace tavro::testing
