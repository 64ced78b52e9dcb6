// Service control: the services database, starting, controlling and
// querying services, and the dispatcher that a service process runs.
#pragma once

#include "platform/winerror.h"
#include "platform/wintypes.h"

// A service's configuration lives in the registry under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name>. There is no
// resident manager: StartServiceA runs the service's program itself as a
// detached process in session 0, controls reach the process that runs
// StartServiceCtrlDispatcherA over a local socket in the platform state
// directory, and the last status a service reported is kept in a file
// there, so every process of the machine can read it.

struct ServiceControlHandle;
using SC_HANDLE = ServiceControlHandle*;
struct ServiceStatusHandle;
using SERVICE_STATUS_HANDLE = ServiceStatusHandle*;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, LPSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

struct SERVICE_DESCRIPTIONA {
    LPSTR lpDescription;
};

// Access rights (accepted, not enforced).
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Service types, start types and error control.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Controls. Codes 128 to 255 are the service's own.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

// Controls accepted.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

// ChangeServiceConfig2A information levels.
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

// The services database. Only the local machine's is available.
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access);
// Records a new service. The password is checked for nothing and never
// stored; an account other than LocalSystem must be a user of the system.
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                         LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access);
// Removes the service's record (with every key below it); a running
// service is removed when it reports that it has stopped.
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Exported by name, so that a program can look it up in the system
// library ("ADVAPI32") at run time.
extern "C" BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info);

// Runs the service's program (its image path: the program, optionally in
// double quotes, and its arguments) and returns once the program's
// dispatcher has started the service's entry point, which gets the
// service name and `args`.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* args);
// Hands `control` to the service's handler and returns the status the
// service reported by then.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// In the service's process: runs the entry point of the started service on
// a thread of its own and its control handler on the calling thread;
// returns once the service has reported SERVICE_STOPPED and its entry
// point has returned. Fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in
// a process that StartServiceA did not start.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
