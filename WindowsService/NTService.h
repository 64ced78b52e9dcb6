// CNTService: the base class of a service that lives in its own process.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/winbase.h"
#include "platform/winsvc.h"

// Holds the service's name and status record; installs and removes the
// service and its event source; sends control requests to the installed
// service; runs the entry point and the control handler for the service
// manager; reports status; writes events from the program's message table
// and debug lines to the standard log stream (std::clog).
//
// One object per process: the entry point and the handler, which the
// system calls without an object, reach it through a static pointer. A
// concrete service overrides the virtual operations; the status record is
// changed under StatusLock() by the framework, and a subclass that changes
// it from several threads takes the same lock.
class CNTService {
public:
    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

    static constexpr size_t kNameSize = 64;
    // User-defined control codes (128 and above reach OnUserControl).
    // kControlSaveStatus asks the Tavro service to write its saved registry
    // values; kControlStart is what "-start" sends after starting the
    // service, which the Tavro service rejects (event 106).
    static constexpr DWORD kFirstUserControl = 128;
    static constexpr DWORD kControlSaveStatus = 128;
    static constexpr DWORD kControlStart = 129;

    explicit CNTService(const char* name);
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;
    virtual ~CNTService();

    // "-v", "-i" and "-u" as the first argument after the program name
    // (any letter case): prints the outcome to standard output and returns
    // 1; anything else returns 0.
    virtual int ParseStandardArgs(int argc, char** argv);
    virtual bool Install(int argc, char** argv);
    virtual bool Uninstall();
    virtual void Run();
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual bool OnUserControl(DWORD code);

    bool IsInstalled();
    // Sends `code` to the installed service: kControlStart starts it first
    // (and succeeds when it already runs), SERVICE_CONTROL_INTERROGATE sends
    // nothing. Failures are logged; false when the manager or the service
    // cannot be opened or the request fails, with the last error set.
    bool Control(DWORD code);
    // Whether the last Install created the service and its event source.
    // Install itself answers true whenever the service manager could be
    // opened (its failures inside are only logged).
    bool InstallCompleted() const { return m_bInstallCompleted; }
    // Why the last Install stopped before it created anything, in words for
    // the console; empty when it did not, or said why only in the log.
    const std::string& InstallRefusal() const { return install_refusal_; }
    // Reports an event of the message table with the non-null strings as
    // inserts; false when no event source could be registered.
    bool LogEvent(WORD type, DWORD id, const char* s1 = nullptr, const char* s2 = nullptr,
                  const char* s3 = nullptr);
    // Hands the process to the service dispatcher; returns when the service
    // has ended, or at once when the process was not started as a service
    // (false, the last error ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
    bool StartService();
    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static void WINAPI Handler(DWORD control);
    bool SetStatus(DWORD state);
    bool Initialize();
    // Writes "[name](thread): message" to the log when the debug flag is set.
    void DebugMsg(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const char* ServiceName() const { return m_szServiceName; }
    // A copy of the status record.
    SERVICE_STATUS Status();
    bool IsRunning() const { return m_bIsRunning != 0; }
    // The program's own file name; null when it could not be read.
    const char* ModuleFile() const { return m_pModuleFile; }
    // The manual-reset event "Qim-<pid>" whose setting asks the service to
    // stop; shared by every service object of the process.
    static HANDLE ShutdownEvent() { return m_hShutdownEvent; }
    std::recursive_mutex& StatusLock() { return m_statusLock; }

protected:
    char m_szServiceName[kNameSize];
    int m_iMajorVersion = 1;
    int m_iMinorVersion = 0;
    SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
    SERVICE_STATUS m_Status;
    // Set while the service's main loop should go on.
    std::atomic<int> m_bIsRunning{0};
    char* m_pModuleFile = nullptr;
    bool m_bDebug = false;
    HANDLE m_hEventSource = nullptr;
    bool m_bInstallCompleted = false;
    std::string install_refusal_;

    static CNTService* m_pThis;
    static HANDLE m_hShutdownEvent;

private:
    std::recursive_mutex m_statusLock;
    std::mutex m_eventLock;
};
