// CTavroService: the Tavro service that starts, watches and stops the director.
#include "WindowsService/TavroService.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "Hostsys/Env.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "WindowsService/LSAPrivs.h"
#include "WindowsService/NTServMsg.h"
#include "platform/Program.h"
#include "platform/base/Posix.h"

const char* const CTavroService::s_pRevisionCpp =
    TAVRO_REVISION_WITH("/usr/local/cvsroot/tavro/WindowsService/TavroService.cpp", "", "1.73",
                        " $Date: 2003/12/12 18:03:17 $");
const char* const CTavroService::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/TavroService.h", "1.34");

namespace {

void Log(const std::string& text) { std::clog << "TavroService." << text << std::endl; }
void LogError(const std::string& text) {
    std::clog << "Error - TavroService." << text << std::endl;
}

using platform::LocalTime;

std::string CTimeNow() {
    time_t now = time(nullptr);
    char text[32] = "";
    ctime_r(&now, text);
    return text;
}

constexpr const char* kLogTimeFormat = "%H:%M%p %A, %B %d, %Y";
constexpr DWORD kStopPollMs = 100;
// The longest wait in milliseconds that is not INFINITE.
constexpr uint64_t kLongestWaitMs = 0xFFFFFFFEu;

// Sums and products of the timing switches, clamped to the longest finite
// wait instead of wrapping around to a short one.
DWORD Clamped(uint64_t value) { return static_cast<DWORD>(std::min(value, kLongestWaitMs)); }

}  // namespace

// ---- DefArgs ----

DefArgs::DefArgs(int capacity) : m_nCapacity(capacity), m_ppArgs(new char*[capacity]()) {}

DefArgs::DefArgs(const DefArgs& other)
    : m_nCapacity(other.m_nCapacity),
      m_nCount(other.m_nCount),
      m_nTotal(other.m_nTotal),
      m_ppArgs(new char*[other.m_nCapacity]()) {
    for (int i = 0; i < m_nCount; ++i) m_ppArgs[i] = strdup(other.m_ppArgs[i]);
}

DefArgs::~DefArgs() {
    for (int i = 0; i < m_nCount; ++i) free(m_ppArgs[i]);
    delete[] m_ppArgs;
}

void DefArgs::LoadArg(const char* text) {
    if (m_nCount >= m_nCapacity) throw std::string("DefArgs::LoadArg Array full");
    m_ppArgs[m_nCount++] = strdup(text ? text : "");
    m_nTotal += static_cast<int>(std::strlen(m_ppArgs[m_nCount - 1])) + 2;
}

// ---- CTavroService ----

CTavroService::CTavroService() : CNTService(kServiceName) {
    basesocket::s_hShutdownEvent = m_hShutdownEvent;
    SetPriorityLow(GetCurrentProcess());
}

CTavroService::~CTavroService() {
    if (m_JVM.WatchThreadRunning()) {
        for (int waited = 0; waited < 10000 && m_JVM.WatchThreadRunning(); waited += 100)
            Sleep(100);
    }
    std::clog << "TavroService."
              << "~TavroSevice Output log ended at:" << LocalTime(kLogTimeFormat) << std::endl;
}

std::string CTavroService::ModulePath() const { return platform::ModuleFileName(); }

int CTavroService::ParseStandardArgs(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-i") == 0) return Install(argc, argv);
        if (std::strcmp(argv[i], "-u") == 0) return Uninstall();
    }
    return 0;
}

DWORD CTavroService::GetState() {
    std::lock_guard<std::recursive_mutex> lock(StatusLock());
    return m_Status.dwCurrentState;
}

bool CTavroService::IsStartingOrRunning() {
    DWORD state = GetState();
    return state == SERVICE_START_PENDING || state == SERVICE_RUNNING;
}

bool CTavroService::IsStoppingOrStopped() {
    DWORD state = GetState();
    return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING;
}

DWORD CTavroService::WaitHint() const {
    return Clamped(uint64_t{m_dwFudgeFactor} + uint64_t{m_dwMillisPerWait} * m_dwWaitSec);
}

DWORD CTavroService::WaitRoundMs() const {
    return Clamped(uint64_t{m_dwMillisPerWait} * m_dwWaitSec);
}

DWORD CTavroService::StopWaitMs() const {
    return Clamped(uint64_t{m_dwMaxStartupWait} * m_dwWaitSec * m_dwMillisPerWait);
}

DWORD CTavroService::CheckPoint() {
    std::lock_guard<std::recursive_mutex> lock(StatusLock());
    return m_Status.dwCheckPoint;
}

void CTavroService::SaveStatus() {
    std::lock_guard<std::recursive_mutex> lock(StatusLock());
    m_Registry.SaveStatus(m_Status.dwCurrentState, m_Status.dwCheckPoint,
                          m_Status.dwControlsAccepted);
}

void CTavroService::ReportStartFailure(const std::string& why) {
    LogError("Run: the director did not start: " + why);
    if (m_bInteractive)
        std::cerr << "TavroService: the director did not start: " << why << std::endl;
}

bool CTavroService::SetState(DWORD state, bool step) {
    std::lock_guard<std::recursive_mutex> lock(StatusLock());
    if (step) {
        ++m_Status.dwCheckPoint;
        m_Status.dwWaitHint = WaitHint();
    }
    if (state == SERVICE_RUNNING) {
        m_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        m_Status.dwWin32ExitCode = 0;
        m_Status.dwServiceSpecificExitCode = 0;
        m_Status.dwCheckPoint = 0;
        m_Status.dwWaitHint = 0;
    }
    return SetStatus(state) != FALSE;
}

bool CTavroService::UpdateStatus(bool step) {
    std::lock_guard<std::recursive_mutex> lock(StatusLock());
    if (step) {
        ++m_Status.dwCheckPoint;
        m_Status.dwWaitHint = WaitHint();
    }
    return SetStatus(m_Status.dwCurrentState) != FALSE;
}

bool CTavroService::SetPriorityLow(HANDLE process) {
    if (SetPriorityClass(process, IDLE_PRIORITY_CLASS)) return true;
    LogError("SetPriorityLow: CTavroService::SetPriority message:" +
             CNTSystemError().GetMsgString());
    return false;
}

bool CTavroService::SetPriorityNormal(HANDLE process) {
    if (SetPriorityClass(process, NORMAL_PRIORITY_CLASS)) return true;
    LogError("SetPriorityNormal: CTavroService::SetPriority message:" +
             CNTSystemError().GetMsgString());
    return false;
}

void CTavroService::LogCheckPoint() {
    if (Verbose()) Log("CheckPoint:" + std::to_string(CheckPoint()));
}

bool CTavroService::OnInit() {
    std::string module = ModulePath();
    m_Env.OpenEnvFile();
    if (m_Env.GetVantrixHome(module.c_str()).empty()) {
        LogError("Run: TavroService.Run failed to find Vantrix_home");
        if (m_bInteractive)
            std::cerr << "TavroService: the tree home could not be found from " << module
                      << std::endl;
        return false;
    }
    DebugMsg("TavroService::OnInit");
    {
        std::lock_guard<std::recursive_mutex> lock(StatusLock());
        m_Status.dwCheckPoint = 0;
    }
    SetState(SERVICE_START_PENDING, true);
    LogCheckPoint();

    m_Env.SetAffinity();
    Log("Run: logging started at:" + LocalTime(kLogTimeFormat));
    std::clog << "TavroService Error logging started at:" << LocalTime(kLogTimeFormat) << std::endl;
    SetState(SERVICE_START_PENDING, true);

    // The start-up probe goes to the default port: -Port is applied below.
    if (m_JVM.Link().Probe()) {
        LogError(
            "Run: tavro is running in a developer environment TavroSerivce \n TavroSerivce will "
            "not be starting ");
        if (m_bInteractive)
            std::cerr << "TavroService: a director already answers on port "
                      << m_JVM.Link().GetPort() << ": not starting" << std::endl;
        SetState(SERVICE_STOPPED, false);
        return false;
    }

    SetState(SERVICE_START_PENDING, true);
    LogCheckPoint();
    m_Env.GetClassPath(module.c_str());
    m_Env.GetVantrixHome(module.c_str());
    m_Env.GetVantrixPath(module.c_str());
    m_Env.GetVantrixShare(module.c_str());
    m_Env.GetLogFile(module.c_str());
    SetState(SERVICE_START_PENDING, true);
    LogCheckPoint();

    if (!m_bDoNothing) {
        m_JVM.Init(&m_Env, m_hShutdownEvent);
        SetState(SERVICE_START_PENDING, true);
        LogCheckPoint();
    }

    m_Env.OpenEnvFile();
    if (DWORD value = m_Env.getFudgeFactor()) m_dwFudgeFactor = value;
    if (DWORD value = m_Env.getWaitSec()) m_dwWaitSec = value;
    if (DWORD value = m_Env.getMaxStartupWait()) m_dwMaxStartupWait = value;
    m_bDoNothing = m_Env.getDoNothing();
    m_bDebug = m_Env.GetVerbose();
    if (m_bDebug) m_JVM.Link().SetVerbose(true);

    m_Env.getTavroComPort(m_JVM.Link());

    if (m_Registry.ServiceInstall(&m_dwSavedStatus, &m_dwSavedInc, &m_dwSavedControls)) return true;
    if (m_bInteractive)
        std::cerr << "TavroService: the service's parameters are missing: install it first"
                  << std::endl;
    return false;
}

void CTavroService::Run() {
    std::clog << "TavroService.Run" << std::endl;
    m_JVM.SetStartWait(StopWaitMs());
    if (!m_JVM.StartJavaThread()) {
        LogError("Run: failed to start JavaThread");
        if (m_bInteractive)
            std::cerr << "TavroService: the thread that runs the director could not start"
                      << std::endl;
        FailRun();
        return;
    }
    // The director is up once its process is open (or the Java VM in this
    // process runs its main class): only then is the start a success.
    TavroJVM::StartOutcome outcome = m_JVM.WaitForStart(m_hShutdownEvent);
    if (outcome == TavroJVM::StartOutcome::kFailed) {
        ReportStartFailure(m_JVM.StartFailure());
        LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_FAILEDINIT);
        SetEvent(m_hShutdownEvent);
        FailRun();
        return;
    }
    if (outcome == TavroJVM::StartOutcome::kUp) {
        SetState(SERVICE_RUNNING, false);
        Log("Tavro Director is up ");
        SaveStatus();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(StatusLock());
        m_Status.dwCheckPoint = 0;
    }
    m_bIsRunning = 1;

    HANDLE handles[2] = {m_hShutdownEvent, TavroJVM::DirectorHandle()};
    DWORD waited = WaitForMultipleObjects(handles[1] ? 2 : 1, handles, FALSE, INFINITE);
    if (waited == WAIT_OBJECT_0 + 1) {
        m_bIsRunning = 0;
        Log("Run: VM exited or was stopped by tavro stop command");
    } else if (waited != WAIT_OBJECT_0) {
        LogError("Run: Wait on Handles failed: " + CNTSystemError().GetMsgString());
        m_bIsRunning = 0;
    } else {
        StopDirector();
    }
    if (TavroJVM::DirectorHandle() && !m_Env.getJVMProcess()) TavroJVM::CloseDirectorHandle();
    Log("Run. exiting ");
    SaveStatus();
    m_bIsRunning = 0;
}

void CTavroService::FailRun() {
    // Ends the watch thread (within its own bounds) before the service
    // reports stopped, so that nothing is left running behind the report.
    SetEvent(m_hShutdownEvent);
    for (DWORD waited = 0; m_JVM.WatchThreadRunning() && waited < StopWaitMs();
         waited += kStopPollMs)
        Sleep(kStopPollMs);
    {
        std::lock_guard<std::recursive_mutex> lock(StatusLock());
        m_Status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    }
    if (TavroJVM::DirectorHandle() && !m_Env.getJVMProcess()) TavroJVM::CloseDirectorHandle();
    Log("Run. exiting ");
    SaveStatus();
    m_bIsRunning = 0;
}

void CTavroService::StopDirector() {
    m_bIsRunning = 0;
    DebugMsg("Stop or Shutdown signalled");
    SetState(SERVICE_STOP_PENDING, true);
    SetPriorityNormal(GetCurrentProcess());
    if (Verbose()) Log("Run: starting to shutdown the JVM");
    DebugMsg("Java Shutdown called");
    if (Verbose()) Log("Run waiting for JVM to exit");
    Log(" :" + std::to_string(m_dwMaxStartupWait / m_dwWaitSec) +
        " seconds before shutdown treminates");

    while (HANDLE director = TavroJVM::DirectorHandle()) {
        SetEvent(m_hShutdownEvent);
        DebugMsg("Waiting for JVM to Shutdown");
        if (WaitForSingleObject(director, WaitRoundMs()) != WAIT_TIMEOUT) {
            // The watch thread ends when it hands over to the director's
            // process (a stop during the pid exchange): wait for that.
            if (TavroJVM::DirectorHandle() != director) continue;
            break;
        }
        SetState(SERVICE_STOP_PENDING, true);
        if (CheckPoint() >= m_dwMaxStartupWait || !TavroJVM::DirectorHandle()) break;
    }
    if (CheckPoint() < m_dwMaxStartupWait) {
        std::clog << "TavroService."
                  << "Run: JVM shutdown completed successfully " << CTimeNow() << std::flush;
        return;
    }
    LogError("Run: JVM did not shutdown with in " + std::to_string(m_dwMaxStartupWait) +
             " seconds");
    LogError("Run: now aborting");
    std::clog.flush();
    if (m_Env.getJVMProcess()) EndProcessWithDirector();
    // Only the director's process can be terminated: while no pid has
    // arrived, the handle is the watch thread's, and nothing runs there
    // that terminating it would end.
    if (!TavroJVM::DirectorIsProcess()) {
        LogError("Run: failed to terminate java process: the director never reported its pid");
        return;
    }
    if (!TerminateProcess(TavroJVM::DirectorHandle(), 9))
        LogError("Run: failed to terminate java process:" + CNTSystemError().GetMsgString());
}

void CTavroService::EndProcessWithDirector() {
    // The director runs on a thread of this process's Java VM and ignored
    // the stop. A thread cannot be ended on its own, and the VM cannot be
    // destroyed while its main thread runs: the process ends instead,
    // after reporting stopped, which also frees the director's ports.
    LogError(
        "Run: the director runs inside the service and did not stop: the service process ends");
    Log("Run. exiting ");
    SaveStatus();
    SetState(SERVICE_STOPPED, false);
    SaveStatus();
    std::clog << "NTServApp exiting " << CTimeNow() << std::flush;
    std::cout.flush();
    std::_Exit(0);
}

void CTavroService::OnStop() {
    // The stop is signalled first, so that a service still starting sees
    // it as soon as it runs; the wait for the start is bounded by the stop
    // wait the service announces.
    SetEvent(m_hShutdownEvent);
    for (DWORD waited = 0; GetState() == SERVICE_START_PENDING && waited < StopWaitMs();
         waited += kStopPollMs)
        Sleep(kStopPollMs);
    CNTService::OnStop();
}

void CTavroService::OnInterrogate() {
    if (m_bDoNothing) return;
    if (IsStoppingOrStopped()) {
        UpdateStatus(true);
        return;
    }
    if (IsStartingOrRunning() || m_JVM.Link().Probe()) {
        UpdateStatus(false);
        return;
    }
    LogError("OnInterrogate setting service to stopped");
    SetEvent(m_hShutdownEvent);
}

void CTavroService::OnPause() {}

bool CTavroService::OnUserControl(DWORD code) {
    if (code != kControlSaveStatus) return false;
    m_Registry.SaveStatus(m_dwSavedControls, 0, 0);
    return true;
}

DefArgs CTavroService::LoadDefArgs() {
    DefArgs list(2 * DSEnv::nKNumPrivArgs);
    try {
        list.LoadArg(DSEnv::pKVantrixHome);
        list.LoadArg(m_Env.GetVantrixHome(ModulePath().c_str()).c_str());
    } catch (const std::string& text) {
        LogError("LoadDefArgs: " + text);
    } catch (...) {
        LogError("LoadDefArgs: caught unexpected exception in LoadDefArgs");
    }
    return list;
}

bool CTavroService::SetSubProcessEnv(const DefArgs& list) {
    try {
        if (!m_Env.OpenEnvFile()) {
            LogError("SetSubProcessEnv: failed to open EnvFile");
            LogError("SetSubProcessEnv: this can be ignored if this is a development environment");
            return false;
        }
        for (int i = 0; i + 1 < list.Count(); ++i) {
            if (!DSEnv::IsKnownArg(list[i])) continue;
            if (!m_Env.AddEnvVar(list[i], list[i + 1])) {
                LogError(std::string("SetSubProcessEnv: failed to add private ") + list[i] + "=" +
                         list[i + 1]);
                return false;
            }
        }
        m_Env.Close();
        return true;
    } catch (const std::exception& error) {
        LogError(std::string("SetSubProcessEnv: ") + std::string(error.what()).substr(0, 1024));
        return true;
    } catch (...) {
        LogError("SetSubProcessEnv: caught unexpected exception in SetSubProcessEnv");
        return true;
    }
}

bool CTavroService::Install(int argc, char** argv) {
    std::string module = ModulePath();
    const std::string home = m_Env.GetVantrixHome(module.c_str());
    m_Registry.DefNTRegKeyValues(m_Env, module.c_str());

    DefArgs list = LoadDefArgs();
    static const char* const kInstallSwitches[] = {"-RunPriority", "-Affinity", "-Verbose",
                                                   "-Port"};
    for (int i = 0; i + 1 < argc; ++i) {
        for (const char* name : kInstallSwitches) {
            if (std::strcmp(argv[i], name) != 0) continue;
            list.LoadArg(argv[i]);  // a switch given twice throws: the install ends here
            list.LoadArg(argv[i + 1]);
        }
    }
    // Without its switches the service would start with other settings than
    // the ones given: a file that cannot be written (a link planted in its
    // place is refused) ends the install before the service is created.
    if (!SetSubProcessEnv(list)) {
        install_refusal_ = "the install switches cannot be stored in " + home + DSEnv::pKNTPrivEnv;
        return false;
    }

    bool installed = CNTService::Install(argc, argv);
    if (!install_refusal_.empty()) return false;  // it stopped before creating anything
    if (installed) {
        std::string record = home + DSEnv::pKNTRight;
        for (int i = 0; i + 1 < argc; ++i) {
            if (std::strncmp(argv[i], "-a", 2) != 0) continue;
            LSAPrivs privileges(record);
            privileges.SetMode(LSAPrivs::Mode::kGrant);
            privileges.SetLogonRight(argv[i + 1]);
        }
    }
    m_Registry.ServiceInit();
    return installed;
}

bool CTavroService::Uninstall() {
    m_Registry.ServiceUninstall();
    std::string home = m_Env.GetVantrixHome(ModulePath().c_str());
    std::string record = home + DSEnv::pKNTRight;
    {
        ::Env rights(record);
        if (rights.Open(true)) {
            auto valueOf = [](const std::string& text) {
                size_t equals = text.find('=');
                return equals == std::string::npos ? std::string() : text.substr(equals + 1);
            };
            if (valueOf(rights.ReadEnvVar("Priv")) == "Remove") {
                std::string account = valueOf(rights.ReadEnvVar("Acc"));
                LSAPrivs privileges(record);
                privileges.SetMode(LSAPrivs::Mode::kRemove);
                privileges.SetLogonRight(account.c_str());
            }
            rights.Close();
        }
    }
    std::error_code ignored;
    std::filesystem::remove(record, ignored);
    std::filesystem::remove(home + DSEnv::pKNTPrivEnv, ignored);
    return CNTService::Uninstall();
}
