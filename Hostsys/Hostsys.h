// CHostsys: the process-control singleton behind the director's native methods.
#pragma once

#include <jni.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "Hostsys/Revision.h"
#include "platform/wintypes.h"

#define HOSTSYS_H_REVISION TAVRO_REVISION("Hostsys/Hostsys.h", "1.3")

class DSEnv;

// The process-wide object behind the director's native methods: inside the
// director's Java process it blocks a Java thread until the service signals
// shutdown (or dies), waits for the director process named in the status
// file, applies the processor affinity of TAVRO.REG, keeps the process alive
// through console events, and logs into the director's log. Each native call
// brackets its use with getHostsys and Destroy; the instance lives while a
// call is in progress.
//
// Also offers status-file and process-list checks for tools, and the
// library's revision strings.
class CHostsys : public tavro::Revisions<CHostsys> {
public:
    // One entry of the process list.
    struct _TASK_LIST {
        DWORD dwProcessId;
        DWORD dwInheritedFromProcessId;  // not filled
        DWORD flags;
        HANDLE hwnd;  // not filled
        char ProcessName[260];
        char WindowTitle[64];  // not filled
    };

    // Status-file classes of CheckStatusFile.
    static constexpr int kStatusUnknown = -1;
    static constexpr int kStatusDown = 0;
    static constexpr int kStatusStarting = 1;
    static constexpr int kStatusUp = 2;
    static constexpr int kStatusShutdown = 3;

    // Results of checkFileforMatch.
    static constexpr int kMatchNone = 99;
    static constexpr int kMatchOther = 1;
    static constexpr int kMatchRunning = 3;

    // Takes the instance (creating it when there is none) and registers
    // `env` as the calling thread's Java environment with the log bridge.
    static CHostsys* getHostsys(JNIEnv* env);
    // Gives one use back; true when it was the last and the instance ended.
    static bool Destroy();

    // Waits until the service sets the event `name` ("Qim-<pid>") or the
    // service process <pid> ends. The name is cut at its last "-". False
    // when the event cannot be opened or the wait failed.
    bool ntSysShutdown(char* name);
    // Waits until the director process named in the status file ends;
    // always true.
    bool ntDirectorDied();
    // Applies tavro.CPUAffinity of TAVRO.REG; false when setting failed.
    bool ntSetAffinity(const char* text);
    bool ntJavaDone(const char* text);
    DWORD ntPid();

    // First word of the file `path`: kMatchNone when unreadable or empty,
    // kMatchRunning when it is the id of a running Java or service process
    // (or one whose name contains `pattern`), else kMatchOther.
    int checkFileforMatch(const char* path, const char* pattern);

    static void printDllRevisions();

    static const char* const s_pRevisionCpp;
    static const char* const s_pRevisionH;

    static CHostsys* s_theOneAndOnly;
    static int32_t s_lRefCnt;
    static std::recursive_mutex s_critSect;
    // The event that ends the waits of ntSysShutdown and ntDirectorDied:
    // the service's shutdown event during ntSysShutdown, otherwise the
    // unnamed event made by ntDirectorDied. Read and replaced only under
    // s_critSect; a handle is closed when its last waiter is done.
    static HANDLE s_hEvent;
    static DSEnv& s_Env;

protected:
    CHostsys();
    virtual ~CHostsys();
    CHostsys(const CHostsys&) = delete;
    CHostsys& operator=(const CHostsys&) = delete;

    // The director's process id from the status file; 0 when unknown.
    DWORD getDirectorPid();
    // The tree home from the program's own path, or null.
    const char* getVantrixHome();
    // One value of TAVRO.REG into `out` (at least 80 bytes); empty when
    // missing.
    void ReadRegistry(const char* name, char* out);
    bool setupExitHandler();
    bool logTavroMsg(const char* msg);
    // Status file named by VANTRIX_HOME: one of kStatus*; the pid word goes
    // to `pid` (at least 20 bytes) for starting, up and shutdown.
    int CheckStatusFile(char* pid);
    bool CheckPID(const char* pid, const char* pattern);
    // Fills at most `max` - 1 entries from the process list; their number.
    DWORD GetTaskList(_TASK_LIST* list, DWORD max);

    bool m_quiet = false;
    std::string m_home;  // empty until known

private:
    // Unless -NoExitHand is set, keeps console events from ending the process.
    void guardAgainstConsoleEvents();
};

// Prints the library's revision strings (the service's -version).
extern "C" void prtDllRev();
