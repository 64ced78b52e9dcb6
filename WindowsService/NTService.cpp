// CNTService: the base class of a service that lives in its own process.
#include "WindowsService/NTService.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "Hostsys/DSEnv.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "WindowsService/DSRegistry.h"
#include "WindowsService/LSAPrivs.h"
#include "WindowsService/NTServMsg.h"
#include "platform/Program.h"
#include "platform/base/Posix.h"
#include "platform/winevt.h"
#include "platform/winreg.h"

const char* const CNTService::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/NTService.cpp", "1.40");
const char* const CNTService::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/NTService.h", "1.12");

CNTService* CNTService::m_pThis = nullptr;
HANDLE CNTService::m_hShutdownEvent = nullptr;

namespace {

constexpr const char* kEventSourcesKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
// SERVICE_ALL_ACCESS with generic read, write and execute.
constexpr DWORD kCreateAccess = 0xA00F01FF;
constexpr DWORD kDescriptionLevel = 1;
constexpr DWORD kEventTypesSupported = 7;

using platform::LocalTime;

// Frees a password, wiping it first: it is never kept longer than needed.
void FreePassword(char*& password) {
    if (!password) return;
    explicit_bzero(password, std::strlen(password));
    std::free(password);
    password = nullptr;
}

// The -env command line of an installation: the user's name/value pairs,
// wherever the install switch stands among them ("-Port 9300 -i" stores
// -Port = 9300), without the install switch and the account switch.
std::vector<std::string> InstallEnvLine(int argc, char** argv) {
    std::vector<std::string> line = {argc > 0 ? argv[0] : "", "-env"};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0) continue;
        if (std::strcmp(argv[i], "-a") == 0) {
            ++i;
            continue;
        }
        line.push_back(argv[i]);
    }
    return line;
}

}  // namespace

CNTService::CNTService(const char* name) {
    std::snprintf(m_szServiceName, sizeof m_szServiceName, "%s", name ? name : "GenericService");
    m_Status = {SERVICE_WIN32_OWN_PROCESS,
                SERVICE_STOPPED,
                SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                0,
                0,
                0,
                0};
    m_pThis = this;
    platform::RegisterMessageTable(kNTServMessages, kNTServMessageCount);

    std::string file = platform::ModuleFileName();
    if (!file.empty()) {
        m_pModuleFile = strdup(file.c_str());
        DebugMsg("filepath found");
    } else {
        DebugMsg("filepath not found");
    }

    if (!m_hShutdownEvent) {
        char eventName[32];
        std::snprintf(eventName, sizeof eventName, "Qim-%d",
                      static_cast<int>(GetCurrentProcessId()));
        m_hShutdownEvent = CreateEventA(nullptr, TRUE, FALSE, eventName);
        if (!m_hShutdownEvent)
            std::clog << "NTServer failed to create shutdown event: " << LastErrorText()
                      << std::endl;
    }
}

CNTService::~CNTService() {
    if (m_hEventSource) DeregisterEventSource(m_hEventSource);
    std::free(m_pModuleFile);
    if (m_hShutdownEvent) {
        CloseHandle(m_hShutdownEvent);
        m_hShutdownEvent = nullptr;
    }
    if (m_pThis == this) m_pThis = nullptr;
}

SERVICE_STATUS CNTService::Status() {
    std::lock_guard<std::recursive_mutex> lock(m_statusLock);
    return m_Status;
}

int CNTService::ParseStandardArgs(int argc, char** argv) {
    if (argc < 2) return 0;
    const char* arg = argv[1];
    if (strcasecmp(arg, "-v") == 0) {
        std::printf("%s Version %d.%d\n", m_szServiceName, m_iMajorVersion, m_iMinorVersion);
        std::printf("The service is %s installed\n", IsInstalled() ? "currently" : "not");
        return 1;
    }
    if (strcasecmp(arg, "-i") == 0) {
        if (IsInstalled()) {
            std::printf("%s is already installed\n", m_szServiceName);
        } else if (Install(argc, argv)) {
            std::printf("%s installed\n", m_szServiceName);
        } else {
            std::printf("%s failed to install. Error %d\n", m_szServiceName,
                        static_cast<int>(GetLastError()));
        }
        return 1;
    }
    if (strcasecmp(arg, "-u") == 0) {
        if (!IsInstalled()) {
            std::printf("%s is not installed\n", m_szServiceName);
        } else if (Uninstall()) {
            std::printf("%s removed. (You must delete the file (%s) yourself.)\n", m_szServiceName,
                        m_pModuleFile ? m_pModuleFile : "");
        } else {
            std::printf("Could not remove %s. Error %d\n", m_szServiceName,
                        static_cast<int>(GetLastError()));
        }
        return 1;
    }
    return 0;
}

bool CNTService::IsInstalled() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, m_szServiceName, SERVICE_QUERY_CONFIG);
    bool installed = service != nullptr;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return installed;
}

bool CNTService::Install(int argc, char** argv) {
    m_bInstallCompleted = false;
    std::string file = platform::ModuleFileName();
    DSEnv env;
    std::vector<std::string> line = InstallEnvLine(argc, argv);
    std::vector<char*> words;
    for (std::string& word : line) words.push_back(word.data());
    // Switches that cannot be stored would leave a service that starts with
    // other settings than the ones given: nothing is installed then.
    if (line.size() >= 4 && !env.Interface(static_cast<int>(words.size()), words.data())) {
        install_refusal_ = "the install switches cannot be stored in the private environment file";
        std::clog << "Error: CNTService.Install: " << install_refusal_ << std::endl;
        return false;
    }
    env.GetVantrixHome(file.c_str());

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = nullptr;
    HKEY key = nullptr;
    char* password = nullptr;
    const char* account = nullptr;

    try {
        for (int i = 0; i < argc; ++i) {
            if (std::strcmp(argv[i], "-a") != 0 || i + 1 >= argc) continue;
            account = argv[++i];
            FreePassword(password);
            password = LSAPrivs(std::string()).PromptPassword();
        }
    } catch (...) {
        std::clog << "Error: CNTService.Install invalid install arguments" << std::endl;
    }

    try {
        std::string imagePath = "\"" + file + "\"";
        DWORD startType = env.getNoAutoStart() ? SERVICE_DEMAND_START : SERVICE_AUTO_START;
        static const char kDependencies[] = "TcpIp\0QimProxy\0";
        service =
            CreateServiceA(manager, m_szServiceName, m_szServiceName, kCreateAccess,
                           SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                           imagePath.c_str(), nullptr, nullptr, kDependencies, account, password);
        DWORD created = GetLastError();
        FreePassword(password);
        if (!service) throw CNTSystemError("NTService::Install.CreateService", created);

        if (DSRegistry(m_szServiceName).W2kp()) {
            if (HMODULE advapi = LoadLibraryA("ADVAPI32")) {
                using ChangeConfig2 = BOOL (*)(SC_HANDLE, DWORD, LPVOID);
                auto change = reinterpret_cast<ChangeConfig2>(
                    GetProcAddress(advapi, "ChangeServiceConfig2A"));
                if (change) {
                    char description[] = "Tesk, Plov, services";
                    SERVICE_DESCRIPTIONA info{description};
                    change(service, kDescriptionLevel, &info);
                }
                FreeLibrary(advapi);
            }
        }

        std::string sourceKey = std::string(kEventSourcesKey) + "\\" + m_szServiceName;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sourceKey.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) throw CNTSystemError(static_cast<DWORD>(rc));
        rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(file.c_str()),
                            static_cast<DWORD>(file.size() + 1));
        if (rc != ERROR_SUCCESS)
            throw CNTSystemError("NTService::Install.RegSetValueEx", static_cast<DWORD>(rc));
        DWORD types = kEventTypesSupported;
        rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
        if (rc != ERROR_SUCCESS)
            throw CNTSystemError("NTService::Install.RegSetValueEx", static_cast<DWORD>(rc));
        RegCloseKey(key);
        key = nullptr;

        LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_INSTALLED, m_szServiceName);
        m_bInstallCompleted = true;
    } catch (const CNTSystemError& error) {
        std::clog << "Error: CNTService.Install " << error.GetMsgString() << std::endl;
    } catch (...) {
        std::clog << "Error: NTService::Install caught an unexpected exception" << std::endl;
    }

    FreePassword(password);
    if (key) RegCloseKey(key);
    if (service && !CloseServiceHandle(service))
        std::clog << "Error: CNTService.Install " << LastErrorText()
                  << " ID:CloseServiceHandle.hService" << std::endl;
    if (!CloseServiceHandle(manager))
        std::clog << "Error: CNTService.Install " << LastErrorText()
                  << " ID:CloseServiceHandle.hSCM" << std::endl;
    return true;
}

bool CNTService::Uninstall() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = nullptr;
    bool result = false;
    try {
        service = OpenServiceA(manager, m_szServiceName, DELETE);
        if (!service) throw CNTSystemError("CNTService::Uninstall.OpenService", GetLastError());
        if (!DeleteService(service))
            throw CNTSystemError("CNTService::Uninstall.DeleteService", GetLastError());
        LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_REMOVED, m_szServiceName);
        SC_HANDLE closing = service;
        service = nullptr;
        if (!CloseServiceHandle(closing))
            throw CNTSystemError("CNTService::Uninstall CloseServiceHandle(hService)",
                                 GetLastError());
        closing = manager;
        manager = nullptr;
        if (!CloseServiceHandle(closing))
            throw CNTSystemError("CNTService::Uninstall.CloseServiceHandle(hSCM)", GetLastError());
        result = true;
    } catch (const CNTSystemError& error) {
        LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_NOTREMOVED, m_szServiceName);
        std::clog << "Error: CNTService.Uninstall " << error.GetMsgString() << std::endl;
        result = false;
    } catch (...) {
        std::clog << "Error: CNTService::Uninistall caught an unexpected exception" << std::endl;
        result = false;
    }
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);

    // The event source goes in every case; a source that is not there is
    // already gone.
    HKEY sources = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventSourcesKey, 0, KEY_ALL_ACCESS, &sources) ==
        ERROR_SUCCESS) {
        try {
            LONG rc = RegDeleteKeyA(sources, m_szServiceName);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                throw CNTSystemError(
                    "NTService::Uninstall.DeleteKey-- .. EventLog\\Application\\TavroService",
                    static_cast<DWORD>(rc));
        } catch (const CNTSystemError& error) {
            std::clog << "Error: CNTService.Uninistall " << error.GetMsgString() << std::endl;
            result = false;
        } catch (...) {
            std::clog << "Error: CNTService::Uninstall caught unexpeected exception" << std::endl;
            result = false;
        }
        RegCloseKey(sources);
    }
    return result;
}

bool CNTService::Control(DWORD code) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    DWORD access = SERVICE_USER_DEFINED_CONTROL;
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) access = SERVICE_STOP;
    if (code == SERVICE_CONTROL_INTERROGATE) access = SERVICE_INTERROGATE;
    if (code == kControlStart) access |= SERVICE_START;
    SC_HANDLE service = OpenServiceA(manager, m_szServiceName, access);
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        SetLastError(error);
        return false;
    }
    bool send = code != SERVICE_CONTROL_INTERROGATE;
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    if (code == kControlStart && !StartServiceA(service, 0, nullptr)) {
        error = GetLastError();
        std::clog << "NTService.control " << LastErrorText() << std::endl;
        send = false;
        // A service that already runs is where the start wanted it.
        ok = error == ERROR_SERVICE_ALREADY_RUNNING;
    }
    SERVICE_STATUS status{};
    if (send && !ControlService(service, code, &status)) {
        // The code that follows a start is for the service to take or
        // refuse; the start itself has succeeded.
        if (code != kControlStart) {
            ok = false;
            error = GetLastError();
        }
        std::clog << "NTServer.control " << LastErrorText() << std::endl;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

bool CNTService::LogEvent(WORD type, DWORD id, const char* s1, const char* s2, const char* s3) {
    const char* strings[3];
    WORD count = 0;
    for (const char* s : {s1, s2, s3}) {
        if (s) strings[count++] = s;
    }
    std::lock_guard<std::mutex> lock(m_eventLock);
    if (!m_hEventSource) m_hEventSource = RegisterEventSourceA(nullptr, m_szServiceName);
    if (!m_hEventSource) return false;
    return ReportEventA(m_hEventSource, type, 0, id, nullptr, count, 0, strings, nullptr) != FALSE;
}

bool CNTService::StartService() {
    char name[kNameSize];
    std::memcpy(name, m_szServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    DebugMsg("Calling StartServiceCtrlDispatcher()");
    BOOL result = StartServiceCtrlDispatcherA(table);
    const DWORD error = GetLastError();
    std::clog << "NTService.StartService exiting:" << LocalTime("%H:%M.%S%p %A, %B %d, %Y")
              << std::endl;
    DebugMsg("Returned from StartServiceCtrlDispatcher():");
    // The caller tells a start outside the service manager by this error.
    SetLastError(error);
    return result != FALSE;
}

void CNTService::ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    CNTService* service = m_pThis;
    if (!service) return;
    service->DebugMsg("Entering CNTService::ServiceMain()");
    {
        std::lock_guard<std::recursive_mutex> lock(service->m_statusLock);
        service->m_Status.dwCurrentState = SERVICE_START_PENDING;
    }
    service->m_hServiceStatus = RegisterServiceCtrlHandlerA(service->m_szServiceName, Handler);
    if (!service->m_hServiceStatus) {
        service->LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_CTRLHANDLERNOTINSTALLED);
        return;
    }
    if (service->Initialize()) {
        service->m_bIsRunning = 1;
        {
            std::lock_guard<std::recursive_mutex> lock(service->m_statusLock);
            service->m_Status.dwWin32ExitCode = 0;
            service->m_Status.dwCheckPoint = 0;
            service->m_Status.dwWaitHint = 0;
        }
        service->DebugMsg("starting TavroService");
        service->Run();
    }
    service->SetStatus(SERVICE_STOPPED);
    std::clog << "NTService::ServiceMain exiting\n"
              << LocalTime("%H:%M.%S%p %A, %B %d, %Y") << std::endl;
    service->DebugMsg("Leaving CNTService::ServiceMain():");
}

bool CNTService::Initialize() {
    DebugMsg("Entering CNTService::Initialize()");
    SetStatus(SERVICE_START_PENDING);
    SetLastError(ERROR_SUCCESS);
    bool initialized = OnInit();
    DWORD error = GetLastError();
    {
        std::lock_guard<std::recursive_mutex> lock(m_statusLock);
        // A failed start never reports success as its exit code; a
        // successful one carries no stale error.
        m_Status.dwWin32ExitCode =
            initialized ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        m_Status.dwCheckPoint = 0;
        m_Status.dwWaitHint = 0;
    }
    if (!initialized) {
        LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_FAILEDINIT);
        SetStatus(SERVICE_STOPPED);
        return false;
    }
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STARTED);
    SetStatus(SERVICE_RUNNING);
    DebugMsg("Leaving CNTService::Initialize()");
    return true;
}

void CNTService::Handler(DWORD control) {
    CNTService* service = m_pThis;
    if (!service) return;
    service->DebugMsg("CNTService::Handler(%lu)", static_cast<unsigned long>(control));
    switch (control) {
        case SERVICE_CONTROL_SHUTDOWN:
            service->DebugMsg("Service_control_shutdown OnShutdown called");
            [[fallthrough]];
        case SERVICE_CONTROL_STOP:
            service->m_bIsRunning = 0;
            service->SetStatus(SERVICE_STOP_PENDING);
            service->OnStop();
            service->LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPED);
            break;
        case SERVICE_CONTROL_PAUSE: service->OnPause(); break;
        case SERVICE_CONTROL_CONTINUE: service->OnContinue(); break;
        case SERVICE_CONTROL_INTERROGATE: service->OnInterrogate(); break;
        default:
            if (control < kFirstUserControl || !service->OnUserControl(control))
                service->LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
            break;
    }
    std::lock_guard<std::recursive_mutex> lock(service->m_statusLock);
    service->DebugMsg(
        "Updating status (%lu, %lu)",
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(service->m_hServiceStatus)),
        static_cast<unsigned long>(service->m_Status.dwCurrentState));
    SetServiceStatus(service->m_hServiceStatus, &service->m_Status);
}

bool CNTService::SetStatus(DWORD state) {
    std::lock_guard<std::recursive_mutex> lock(m_statusLock);
    DebugMsg("CNTService::SetStatus(%lu, %lu)",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_hServiceStatus)),
             static_cast<unsigned long>(state));
    m_Status.dwCurrentState = state;
    return SetServiceStatus(m_hServiceStatus, &m_Status) != FALSE;
}

void CNTService::DebugMsg(const char* format, ...) {
    if (!m_bDebug) return;
    char text[1024];
    int prefix = std::snprintf(text, sizeof text, "[%s](%lu): ", m_szServiceName,
                               static_cast<unsigned long>(GetCurrentThreadId()));
    if (prefix < 0 || static_cast<size_t>(prefix) >= sizeof text) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + prefix, sizeof text - static_cast<size_t>(prefix), format, args);
    va_end(args);
    std::clog << text << std::endl;
}

void CNTService::Run() {
    DebugMsg("Entering CNTService::Run()");
    while (m_bIsRunning) {
        DebugMsg("Sleeping...");
        Sleep(5000);
    }
    DebugMsg("Leaving CNTService::Run()");
}

bool CNTService::OnInit() {
    DebugMsg("CNTService::OnInit()");
    return true;
}

void CNTService::OnStop() {
    if (m_hShutdownEvent) SetEvent(m_hShutdownEvent);
    SetStatus(SERVICE_STOP_PENDING);
    DebugMsg("CNTService::OnStop()");
}

void CNTService::OnInterrogate() { DebugMsg("CNTService::OnInterrogate()"); }

void CNTService::OnPause() { SetStatus(SERVICE_PAUSED); }

void CNTService::OnContinue() {
    DebugMsg("CNTService::OnContinue()");
    SetStatus(SERVICE_RUNNING);
}

bool CNTService::OnUserControl(DWORD code) {
    DebugMsg("CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(code));
    return false;
}
