// TavroJVM: the director host that starts and watches the Tavro director.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "WindowsService/JavaCppVM.h"
#include "WindowsService/TavroCom.h"

class DSEnv;

// Starts the Tavro director for the service and watches it on a thread of
// its own: either inside this process (a Java VM running the director's
// main class) or as the Java process that the tree's batch script starts,
// which reports its process id over the socket link. The service waits on
// the director handle and terminates it when a stop takes too long.
class TavroJVM : public JavaCppVM {
public:
    enum Mode { kInProcess = 0, kJavaProcess = 1, kJavaProcessSwitch = 2 };

    TavroJVM();
    ~TavroJVM() override;

    bool Init(DSEnv* env, HANDLE shutdownEvent);
    bool StartJVM();
    void AddExtraOptions();
    std::string GetLibraryPath();
    bool StartJavaThread();
    bool StartJava();
    bool RunInProcess();
    bool RunClass();
    bool StartBatch();
    static bool QuoteHomePath(std::string& text);
    static bool ReportSystemError();
    bool SynchWithJava();

    // The link object that probes and stops the director.
    TavroCom& Link() { return m_Com; }
    int GetMode() const { return m_nMode; }
    bool GetDoNothing() const { return m_bDoNothing; }
    SIZE_T GetThreadStackSize() const { return m_dwStackSize; }
    const char* MainArg(int index) const { return m_MainArgs[index]; }
    // Whether the watch thread is still running.
    bool WatchThreadRunning() const { return m_bWatching; }

    // How a start ends, as WaitForStart sees it.
    enum class StartOutcome { kUp, kFailed, kStopRequested };
    // How long the batch start may take until the director reports its
    // pid (the service passes its stop wait); 120 s until set.
    void SetStartWait(DWORD ms) { m_dwStartWaitMs = ms; }
    // Waits until the director is up (its process opened, or the in-process
    // VM about to run the main class), the start has failed (the watch
    // thread ended first, or recorded why), or `stopEvent` is set. The
    // wait is bounded: the watch thread gives up after the start wait.
    StartOutcome WaitForStart(HANDLE stopEvent);
    // Why the start failed, in one line; empty while nothing failed.
    std::string StartFailure() const;

    // The director's handle: the watch thread's, then the director
    // process's once its pid has arrived; null when there is none.
    static HANDLE DirectorHandle() { return s_hDirector; }
    // Closes the director handle when it is the director's process (the
    // watch thread's handle stays with its host) and forgets it.
    static void CloseDirectorHandle();
    // Whether the director handle is the director's process (and not the
    // watch thread, which stands in until the pid has arrived).
    static bool DirectorIsProcess();
    static TavroJVM* s_pCurrent;

    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

private:
    static DWORD WINAPI WatchThread(LPVOID self);
    void FailStart(const std::string& why);
    HANDLE ShutdownEvent() const;
    std::string ModulePath() const;

    HANDLE m_hWatchThread = nullptr;
    DWORD m_dwWatchThreadId = 0;
    TavroCom m_Com;
    TavroCom* m_pListener = nullptr;
    int m_nMode = kJavaProcess;
    bool m_bDoNothing = false;
    std::string m_ErrFile;
    std::string m_OutFile;
    const char* m_MainArgs[5] = {"-errf", nullptr, "-outf", nullptr, nullptr};
    SIZE_T m_dwStackSize = 0;
    std::atomic<bool> m_bStop{false};
    DSEnv* m_pDSEnv = nullptr;
    HANDLE m_hReady = nullptr;
    HANDLE m_hShutdown = nullptr;
    std::atomic<bool> m_bWatching{false};
    DWORD m_dwStartWaitMs = 120000;
    HANDLE m_hUp = nullptr;  // manual-reset: the director is up
    mutable std::mutex m_failureLock;
    std::string m_StartFailure;

    static std::atomic<HANDLE> s_hDirector;
    static HANDLE s_hWatchThread;
};
