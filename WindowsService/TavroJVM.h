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
    // Waits up to 30 s for a running watch thread, closes the director's
    // process handle and sets the shutdown event.
    ~TavroJVM() override;

    // Takes the tree environment (not owned) and the service's shutdown
    // event, and picks the mode from -JVMProcess and -JavaProcess. In
    // process mode it also prepares the VM (StartJVM) and returns that
    // result; otherwise true.
    bool Init(DSEnv* env, HANDLE shutdownEvent);
    // Builds the director's VM options and main arguments, puts the tree
    // in front of PATH and loads the Java runtime library; false when the
    // library cannot be loaded.
    bool StartJVM();
    // Adds the optional VM switches that the private environment file and
    // TAVRO.REG (the maximum heap) name, in their fixed order.
    void AddExtraOptions();
    // The share path and the runtime's bin directories, each followed by
    // the list separator.
    std::string GetLibraryPath();
    // Starts the watch thread, which runs the director (StartJava) and
    // then unloads the VM; the watch thread's handle becomes the director
    // handle. False when the thread cannot be created or resumed.
    bool StartJavaThread();
    // The watch thread's body: starts the link listener, then runs the VM
    // in this process (until the director's main returns) or the batch
    // script, waits for the director's pid and watches its process until
    // it ends or the service stops, and finally sends it the stop byte.
    // False when the start failed (StartFailure says why).
    bool StartJava();
    // Creates the VM and runs the director's main class in it; false when
    // the VM cannot be created or the class or its main is missing.
    bool RunInProcess();
    // Calls the director's static main with its four arguments; returns
    // only when main returns (or at the stop, with -DoNothing).
    bool RunClass();
    // Runs "<home>/bin/tavro.bat start" with the director's output and
    // error files through the shell; false when the shell cannot run it
    // or the script fails (its exit status is not 0).
    bool StartBatch();
    // Encloses in double quotes each path component of `text` that holds a
    // blank; false when the last component holds one.
    static bool QuoteHomePath(std::string& text);
    // Logs why system() failed, from errno; true only when errno is 0.
    static bool ReportSystemError();
    // Waits for the director's pid (bounded by the start wait; a stop cuts
    // it to a few seconds), then opens its process as the director handle.
    // False when no pid came or the process cannot be opened.
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
