// DSRegistry: the service's registry values.
#pragma once

#include <string>

#include "platform/winreg.h"

class DSEnv;

// The suite's settings key that installation creates and removal cleans,
// the service's parameter key with the three saved numbers ("Status",
// "Inc", "CtrlAccepted"), the system-wide time Windows waits for services
// at shutdown, and the test for Windows 2000 or later. All keys lie under
// HKEY_LOCAL_MACHINE. Every failure is one line on the standard log stream
// and a false result; nothing is thrown.
class DSRegistry {
public:
    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

    explicit DSRegistry(const char* name);
    virtual ~DSRegistry();

    // Creates or opens the suite's settings key; true when the tree home
    // is known too.
    bool DefNTRegKeyValues(DSEnv& env, const char* path);
    // Sets a REG_DWORD value; closes `key` when that fails.
    bool CreateDWKeyValue(HKEY key, const char* name, DWORD value);
    // Creates the parameter key with the three values at 0.
    bool ServiceInit();
    // Reads back the saved values; a missing value leaves its output as it is.
    bool ServiceInstall(DWORD* status, DWORD* inc, DWORD* controls);
    bool SaveStatus(DWORD status, DWORD inc, DWORD controls);
    // Deletes "-RunPriority" of the suite's key and resets the shutdown time.
    bool ServiceUninstall();
    bool SetServiceShutdownTimeout(const char* text);
    bool W2kp();

    // "SYSTEM\CurrentControlSet\Services\<name>\Parameters".
    std::string ParametersKey() const;

    static const char* const kSuiteKey;

private:
    bool OpenParameters(REGSAM access, bool create, HKEY* key, LONG* rc) const;

    std::string m_name;
};
