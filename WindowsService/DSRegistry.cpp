// DSRegistry: the service's registry values.
#include "WindowsService/DSRegistry.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "Hostsys/DSEnv.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"

const char* const DSRegistry::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/DSRegistry.cpp", "1.10");
const char* const DSRegistry::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/DSRegistry.h", "1.5");

const char* const DSRegistry::kSuiteKey = "SOFTWARE\\ZM\\vantrix\\norba";

namespace {

constexpr const char* kControlKey = "SYSTEM\\CurrentControlSet\\Control";
constexpr const char* kVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::string ErrorText(LONG rc) { return CNTSystemError(static_cast<DWORD>(rc)).GetMsgString(); }

LONG CreateKey(const char* path, HKEY* key) {
    char emptyClass[] = "";
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, emptyClass, REG_OPTION_NON_VOLATILE,
                           KEY_WRITE, nullptr, key, nullptr);
}

}  // namespace

DSRegistry::DSRegistry(const char* name) : m_name(name ? name : "") {}

DSRegistry::~DSRegistry() = default;

std::string DSRegistry::ParametersKey() const {
    return "SYSTEM\\CurrentControlSet\\Services\\" + m_name + "\\Parameters";
}

bool DSRegistry::OpenParameters(REGSAM access, bool create, HKEY* key, LONG* rc) const {
    std::string path = ParametersKey();
    *rc = create ? CreateKey(path.c_str(), key)
                 : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key);
    return *rc == ERROR_SUCCESS;
}

bool DSRegistry::DefNTRegKeyValues(DSEnv& env, const char* path) {
    HKEY key = nullptr;
    if (CreateKey(kSuiteKey, &key) != ERROR_SUCCESS) {
        std::clog << "DSRegistry.DefNTRegKeyValues failed to create/open" << kSuiteKey << std::endl;
        return false;
    }
    RegCloseKey(key);
    if (env.GetVantrixHome(path).empty()) {
        std::clog << "DSRegistry.DefNTRegKeyValues no VANTRIX_HOME directory" << std::endl;
        return false;
    }
    return true;
}

bool DSRegistry::CreateDWKeyValue(HKEY key, const char* name, DWORD value) {
    if (RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value) == ERROR_SUCCESS)
        return true;
    std::clog << "DSRegistry.CreateDWKeyValue: Failed to set value" << value << " on key " << name
              << std::endl;
    RegCloseKey(key);
    return false;
}

bool DSRegistry::ServiceInit() {
    HKEY key = nullptr;
    LONG rc;
    if (!OpenParameters(KEY_WRITE, true, &key, &rc)) {
        std::clog << "DSRegistry.ServiceInit failed to create/open" << ParametersKey() << std::endl;
        return false;
    }
    // A failed write has closed the key already.
    if (CreateDWKeyValue(key, "CtrlAccepted", 0) && CreateDWKeyValue(key, "Inc", 0) &&
        CreateDWKeyValue(key, "Status", 0))
        RegCloseKey(key);
    return true;
}

bool DSRegistry::ServiceInstall(DWORD* status, DWORD* inc, DWORD* controls) {
    HKEY key = nullptr;
    LONG rc;
    if (!OpenParameters(KEY_QUERY_VALUE, false, &key, &rc)) {
        std::clog << "DSRegistry.ServiceInstall failed to Register as a service: " << ErrorText(rc)
                  << std::endl;
        return false;
    }
    const std::pair<const char*, DWORD*> values[] = {
        {"CtrlAccepted", controls}, {"Inc", inc}, {"Status", status}};
    for (const auto& [name, out] : values) {
        DWORD value = 0;
        DWORD type = 0;
        DWORD size = sizeof value;
        if (out &&
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                ERROR_SUCCESS &&
            size == sizeof value)
            *out = value;
    }
    RegCloseKey(key);
    return true;
}

bool DSRegistry::SaveStatus(DWORD status, DWORD inc, DWORD controls) {
    HKEY key = nullptr;
    LONG rc;
    if (!OpenParameters(KEY_WRITE, true, &key, &rc)) {
        std::clog << "DSRegistry.SaveStatus error: " << ErrorText(rc) << std::endl;
        return false;
    }
    // A failed write has closed the key already.
    if (!CreateDWKeyValue(key, "CtrlAccepted", controls) || !CreateDWKeyValue(key, "Inc", inc))
        return true;
    if (!CreateDWKeyValue(key, "Status", status)) return false;
    RegCloseKey(key);
    return true;
}

bool DSRegistry::ServiceUninstall() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSuiteKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        LONG rc = RegDeleteValueA(key, "-RunPriority");
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            std::clog << "DSRegistry.ServiceUninstall failed to delete key "
                      << "-RunPriority" << std::endl;
        rc = RegCloseKey(key);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            std::clog << "DSRegistry.ServiceUninstall failed to close key " << std::endl;
    }
    return SetServiceShutdownTimeout("20000");
}

bool DSRegistry::SetServiceShutdownTimeout(const char* text) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kControlKey, 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) {
        std::clog << "DSRegistry.SetServiceShutdownTimeout failed: " << ErrorText(rc) << std::endl;
        return false;
    }
    char old[19];
    DWORD size = sizeof old;
    DWORD type = 0;
    rc = RegQueryValueExA(key, "WaitToKillServiceTimeout", nullptr, &type,
                          reinterpret_cast<BYTE*>(old), &size);
    if (rc != ERROR_SUCCESS)
        std::clog << "DSRegistry.SetServiceShutdownTimeout failed: " << ErrorText(rc) << std::endl;
    rc = RegSetValueExA(key, "WaitToKillServiceTimeout", 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(std::strlen(text)));
    if (rc != ERROR_SUCCESS)
        std::clog << "DSRegistry.SetServiceShutdownTimeout failed: " << ErrorText(rc) << std::endl;
    RegCloseKey(key);
    return true;
}

bool DSRegistry::W2kp() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        std::clog << "DSRegistry.W2kp" << ErrorText(rc) << std::endl;
        return true;
    }
    char version[21] = {};
    DWORD size = sizeof version - 1;
    DWORD type = 0;
    bool later = true;
    if (RegQueryValueExA(key, "CurrentVersion", nullptr, &type, reinterpret_cast<BYTE*>(version),
                         &size) == ERROR_SUCCESS) {
        float number = 0;
        if (std::sscanf(version, "%f", &number) == 1 && number < 5.0f) later = false;
    }
    RegCloseKey(key);
    return later;
}
