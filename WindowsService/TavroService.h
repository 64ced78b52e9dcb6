// CTavroService: the Tavro service that starts, watches and stops the director.
#pragma once

#include <string>

#include "Hostsys/DSEnv.h"
#include "WindowsService/DSRegistry.h"
#include "WindowsService/NTService.h"
#include "WindowsService/TavroJVM.h"

// A fixed-capacity list of owned texts: the private settings that the
// installation writes into the tree's private environment file.
class DefArgs {
public:
    explicit DefArgs(int capacity);
    DefArgs(const DefArgs& other);
    DefArgs& operator=(const DefArgs&) = delete;
    ~DefArgs();

    // Appends a copy; a full list throws the text "DefArgs::LoadArg Array full".
    void LoadArg(const char* text);
    int Count() const { return m_nCount; }
    int Capacity() const { return m_nCapacity; }
    int TotalLength() const { return m_nTotal; }
    const char* operator[](int index) const { return m_ppArgs[index]; }

private:
    int m_nCapacity;
    int m_nCount = 0;
    int m_nTotal = 0;
    char** m_ppArgs;
};

// The service "Tavro_Service": prepares the tree, refuses to start while a
// director already answers on its port, runs the director through the
// director host, reports its state and stops the director within a
// bounded number of wait rounds. The control handler and the service's own
// thread both change the status record, so every change holds a lock.
class CTavroService : public CNTService {
public:
    static constexpr const char* kServiceName = "Tavro_Service";

    // Creates the shutdown event (through the framework), hands it to the
    // socket link and lowers the process to idle priority.
    CTavroService();
    // Waits up to 10 s for the director's watch thread, then logs the end.
    ~CTavroService() override;

    // Installs at the first argument that is exactly "-i", removes at the
    // first "-u" (the program name included); 0 when there is neither.
    int ParseStandardArgs(int argc, char** argv) override;
    // Stores the tree home and the install switches in the private
    // environment file, installs through the framework, grants the logon
    // right to each "-a" account and creates the parameter key. A private
    // environment file that cannot be written ends it first: false, with
    // InstallRefusal saying so. Like the framework's Install it answers true
    // once the service manager could be opened, even when the creation then
    // failed and was only logged: InstallCompleted tells. A switch given twice throws the text
    // "DefArgs::LoadArg Array full" once the list is full; the program
    // refuses repeated switches before it gets here.
    bool Install(int argc, char** argv) override;
    // Removes the suite's registry value, the logon right that the
    // installation granted (by the NTRight record), the record and the
    // private environment file, then the service; the framework's result.
    bool Uninstall() override;
    // Starts the director and waits until it is up; a start that fails is
    // logged (and written to standard error in the console run), reported
    // as event 104 and leaves the exit code ERROR_PROCESS_ABORTED. Then
    // waits for a stop or the director's end; at a stop, waits for the
    // director in -WS rounds up to the -MSW checkpoint, then terminates its
    // process. A director inside this process's VM that does not stop
    // ends this whole process after the stopped report.
    void Run() override;
    // Prepares the tree, the affinity and the director host and reads the
    // timings; false when the home is unknown, a director already answers
    // the probe on port 9292, or the parameter key is missing.
    bool OnInit() override;
    // Sets the shutdown event, waits (bounded by the stop wait) while the
    // service is still starting, then reports stop-pending.
    void OnStop() override;
    // Reports the status again (stepping the checkpoint while stopping);
    // sets the shutdown event when no director answers while not running.
    void OnInterrogate() override;
    // Does nothing: the service takes no pause.
    void OnPause() override;
    // Takes kControlSaveStatus (writes the saved registry values); refuses
    // every other code, kControlStart included.
    bool OnUserControl(DWORD code) override;

    // The state of the status record (under the status lock).
    DWORD GetState();
    bool IsStartingOrRunning();
    bool IsStoppingOrStopped();
    // Reports `state`; `step` advances the checkpoint and sets the wait
    // hint (-FF plus 1000 times -WS ms, clamped); running clears both.
    // True when the thread's last error is 0 afterwards.
    bool SetState(DWORD state, bool step);
    // Reports the current state again, with a checkpoint step when asked.
    bool UpdateStatus(bool step);
    // Idle or normal priority class for `process`; false (logged) when
    // the system refuses.
    bool SetPriorityLow(HANDLE process);
    bool SetPriorityNormal(HANDLE process);
    // The private settings every installation stores: the home variable
    // and the tree home, in a list with room for the four switch pairs.
    DefArgs LoadDefArgs();
    // Stores the known private variables of `list` (name, value pairs) in
    // the private environment file; false when the file cannot be opened
    // or a value cannot be stored. An exception is logged and gives true.
    bool SetSubProcessEnv(const DefArgs& list);

    DSEnv& Env() { return m_Env; }
    TavroJVM& Director() { return m_JVM; }
    DWORD GetMaxStartupWait() const { return m_dwMaxStartupWait; }
    DWORD GetWaitSec() const { return m_dwWaitSec; }
    DWORD GetFudgeFactor() const { return m_dwFudgeFactor; }

    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

    // Start failures also go to standard error (the console run).
    void SetInteractive(bool interactive) { m_bInteractive = interactive; }

private:
    std::string ModulePath() const;
    bool Verbose() const { return m_bDebug; }
    void LogCheckPoint();
    DWORD CheckPoint();
    void SaveStatus();
    DWORD WaitHint() const;
    DWORD WaitRoundMs() const;
    DWORD StopWaitMs() const;
    void ReportStartFailure(const std::string& why);
    void FailRun();
    void StopDirector();
    [[noreturn]] void EndProcessWithDirector();

    DWORD m_dwMaxStartupWait = 30;
    DWORD m_dwWaitSec = 2;
    DWORD m_dwFudgeFactor = 100;
    DWORD m_dwMillisPerWait = 1000;
    DSEnv m_Env;
    DWORD m_dwSavedStatus = 0;
    DWORD m_dwSavedInc = 1;
    DWORD m_dwSavedControls = 0;
    TavroJVM m_JVM;
    DSRegistry m_Registry{kServiceName};
    bool m_bDoNothing = false;
    bool m_bInteractive = false;
};
