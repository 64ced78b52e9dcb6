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

    CTavroService();
    ~CTavroService() override;

    int ParseStandardArgs(int argc, char** argv) override;
    bool Install(int argc, char** argv) override;
    bool Uninstall() override;
    void Run() override;
    bool OnInit() override;
    void OnStop() override;
    void OnInterrogate() override;
    void OnPause() override;
    bool OnUserControl(DWORD code) override;

    DWORD GetState();
    bool IsStartingOrRunning();
    bool IsStoppingOrStopped();
    bool SetState(DWORD state, bool step);
    bool UpdateStatus(bool step);
    bool SetPriorityLow(HANDLE process);
    bool SetPriorityNormal(HANDLE process);
    DefArgs LoadDefArgs();
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
