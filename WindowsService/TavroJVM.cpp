// TavroJVM: the director host that starts and watches the Tavro director.
#include "WindowsService/TavroJVM.h"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Hostsys/DSEnv.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "platform/Program.h"
#include "platform/paths.h"

const char* const TavroJVM::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/TavroJVM.cpp", "1.61");
const char* const TavroJVM::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/TavroJVM.h", "1.22");

TavroJVM* TavroJVM::s_pCurrent = nullptr;
std::atomic<HANDLE> TavroJVM::s_hDirector{nullptr};
HANDLE TavroJVM::s_hWatchThread = nullptr;

namespace {

constexpr const char* kMainClass = "com/pelmar/vantrix/tavro/core/TAVROController";
constexpr const char* kRuntimeLibrary = "/common/jre/bin/hotspot/libjvm.so";
constexpr const char* kVMLogFile = "/specific/norba/logs/jvm.log";
constexpr const char* kBatchStart = "/bin/tavro.bat start";
constexpr int kPidGraceOnStopMs = 3000;

// The optional VM switches of the private environment file, in the order
// they are added; "(-Xmx" stands in for the heap size of TAVRO.REG.
constexpr const char* kExtraOptionsBeforeHeap[] = {"(-Xmixed",     "(-Xint",   "(-Xbootclasspath",
                                                   "(-Xnoclassgc", "(-Xincgc", "(-Xms"};
constexpr const char* kExtraOptionsAfterHeap[] = {"(-Xprof", "(-Xrunhprof", "(-Xdebug"};

std::string TrimLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '\t'))
        text.pop_back();
    return text;
}

}  // namespace

TavroJVM::TavroJVM() {
    m_hReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_hUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

TavroJVM::~TavroJVM() {
    if (m_hWatchThread) {
        if (m_bWatching) WaitForSingleObject(m_hWatchThread, 30000);
    }
    delete m_pListener;
    m_pListener = nullptr;
    if (s_pCurrent == this) {
        CloseDirectorHandle();
        s_hDirector = nullptr;
        s_pCurrent = nullptr;
    }
    if (m_hWatchThread && !m_bWatching) {
        if (s_hWatchThread == m_hWatchThread) s_hWatchThread = nullptr;
        CloseHandle(m_hWatchThread);
    }
    if (HANDLE shutdownEvent = ShutdownEvent()) SetEvent(shutdownEvent);
    Sleep(30);
    if (m_hReady) CloseHandle(m_hReady);
    if (m_hUp) CloseHandle(m_hUp);
}

HANDLE TavroJVM::ShutdownEvent() const {
    return m_hShutdown ? m_hShutdown : basesocket::s_hShutdownEvent;
}

std::string TavroJVM::ModulePath() const { return platform::ModuleFileName(); }

void TavroJVM::CloseDirectorHandle() {
    HANDLE director = s_hDirector.exchange(nullptr);
    if (director && director != s_hWatchThread) CloseHandle(director);
}

bool TavroJVM::DirectorIsProcess() {
    HANDLE director = s_hDirector;
    return director && director != s_hWatchThread;
}

void TavroJVM::FailStart(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_failureLock);
    if (m_StartFailure.empty()) m_StartFailure = why;
}

std::string TavroJVM::StartFailure() const {
    std::lock_guard<std::mutex> lock(m_failureLock);
    return m_StartFailure;
}

TavroJVM::StartOutcome TavroJVM::WaitForStart(HANDLE stopEvent) {
    HANDLE handles[3] = {m_hUp, m_hWatchThread, stopEvent};
    DWORD count = stopEvent ? 3 : 2;
    if (!m_hWatchThread) return StartOutcome::kFailed;
    for (;;) {
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        // A failure is recorded before the watch thread sets any event, so
        // it wins over the stop that the failing thread itself requests.
        if (!StartFailure().empty()) return StartOutcome::kFailed;
        if (result == WAIT_OBJECT_0) return StartOutcome::kUp;
        if (result == WAIT_OBJECT_0 + 1) {
            // The watch thread ended: up only when it got so far.
            if (WaitForSingleObject(m_hUp, 0) == WAIT_OBJECT_0) return StartOutcome::kUp;
            FailStart("the director ended before it was up");
            return StartOutcome::kFailed;
        }
        if (result == WAIT_OBJECT_0 + 2) return StartOutcome::kStopRequested;
        FailStart("the wait for the director's start failed: " + LastErrorText());
        return StartOutcome::kFailed;
    }
}

bool TavroJVM::Init(DSEnv* env, HANDLE shutdownEvent) {
    m_pDSEnv = env;
    if (shutdownEvent) m_hShutdown = shutdownEvent;
    m_bDoNothing = env->getDoNothing();
    if (env->getJVMProcess())
        m_nMode = kInProcess;
    else if (env->getJavaProcess())
        m_nMode = kJavaProcessSwitch;
    else
        m_nMode = kJavaProcess;
    if (m_nMode == kInProcess) return StartJVM();
    return true;
}

std::string TavroJVM::GetLibraryPath() {
    std::string module = ModulePath();
    std::string home = m_pDSEnv->GetVantrixHome(module.c_str());
    const char list = platform::kPathListSeparator;
    return m_pDSEnv->GetVantrixShare(module.c_str()) + list + home + "/common/jre/bin" + list +
           home + "/common/jre/bin/hotspot" + list;
}

void TavroJVM::AddExtraOptions() {
    // A record "(-Xms=-Xms64m" adds the option -Xms64m: the value, not the
    // whole record, is the option.
    auto addRecord = [this](const char* key) {
        std::string record = m_pDSEnv->ReadEnvVar(key);
        size_t equals = record.find('=');
        if (record.empty() || equals == std::string::npos) return false;
        std::string value = record.substr(equals + 1);
        if (value.empty()) return false;
        AddOption(value.c_str());
        return true;
    };
    for (const char* key : kExtraOptionsBeforeHeap) addRecord(key);
    std::string heap;
    m_pDSEnv->ReadRegistry("tavro.director.maxHeapSize", heap);
    std::string maxHeap = TrimLineEnd(heap);
    if (!maxHeap.empty())
        AddOption(("-Xmx" + maxHeap).c_str());
    else
        addRecord("(-Xmx");
    for (const char* key : kExtraOptionsAfterHeap) addRecord(key);
}

bool TavroJVM::StartJVM() {
    std::string module = ModulePath();
    m_dwStackSize = m_pDSEnv->getJVMThreadStack();
    std::string home = m_pDSEnv->GetVantrixHome(module.c_str());
    if (m_pDSEnv->GetVerbose()) SetLogFile((home + kVMLogFile).c_str());

    AddOption("-Xverify:none");
    AddOption("-DSystem.Exit=no");
    AddClassPath(std::string(m_pDSEnv->GetVantrixPath(module.c_str())).c_str());
    AddLibraryPath(GetLibraryPath().c_str());
    AddOption(("-DVantrix.Home=" + home).c_str());
    // The system directory is the platform's (SYSTEMROOT plus System32).
    char systemDir[MAX_PATH + 1] = "";
    UINT length = GetSystemDirectoryA(systemDir, sizeof systemDir);
    if (length == 0 || length >= sizeof systemDir) systemDir[0] = '\0';
    AddOption((std::string("-DZota.Home=") + systemDir + "/ZOTASupLogs").c_str());
    std::string jvm = m_pDSEnv->GetJVM();
    if (!jvm.empty()) AddOption(jvm.c_str());
    AddExtraOptions();

    m_pDSEnv->SetPath();

    m_ErrFile = m_pDSEnv->GetErrFile(module.c_str());
    m_OutFile = m_pDSEnv->GetLogFile(module.c_str());
    m_MainArgs[1] = m_ErrFile.c_str();
    m_MainArgs[3] = m_OutFile.c_str();

    std::string library = m_pDSEnv->GetJVMDll();
    if (library.empty()) library = home + kRuntimeLibrary;
    return LoadJVMDll(library.c_str());
}

bool TavroJVM::StartJavaThread() {
    s_pCurrent = this;
    m_hWatchThread = CreateThread(nullptr, m_dwStackSize, WatchThread, this, CREATE_SUSPENDED,
                                  &m_dwWatchThreadId);
    if (!m_hWatchThread) {
        std::clog << "Error: TavroJVM.StartJavaThread failed to create thread for watching "
                     "director: "
                  << LastErrorText() << std::endl;
        return false;
    }
    // The director handle is in place before the thread can replace it.
    s_hWatchThread = m_hWatchThread;
    s_hDirector = m_hWatchThread;
    m_bWatching = true;
    if (ResumeThread(m_hWatchThread) == static_cast<DWORD>(-1)) {
        m_bWatching = false;
        std::clog << "Error: TavroJVM.StartJavaThread failed to resume thread for watching "
                     "director: "
                  << LastErrorText() << std::endl;
        return false;
    }
    return true;
}

DWORD WINAPI TavroJVM::WatchThread(LPVOID self) {
    auto* host = static_cast<TavroJVM*>(self);
    host->StartJava();
    host->UnloadJVM();
    host->m_bWatching = false;
    return 0;
}

bool TavroJVM::StartJava() {
    HANDLE shutdownEvent = ShutdownEvent();
    m_pListener = new TavroCom(shutdownEvent);
    TavroCom::s_pEnv = m_pDSEnv;
    if (!m_pListener->StartListener()) {
        FailStart("the link listener could not listen on port " +
                  std::to_string(m_pListener->GetPort() + 1));
        std::clog << "TavroJVM.StartJava (process) failed to start listener" << std::endl;
        if (shutdownEvent) SetEvent(shutdownEvent);
        return false;
    }
    if (m_nMode == kInProcess) return RunInProcess();

    if (!StartBatch()) {
        FailStart(StartFailure().empty() ? "tavro.bat did not start the director" : StartFailure());
        std::clog << "Error TavroJVM.StartJava java.exe did not start through tavro.bat"
                  << std::endl;
        return false;
    }
    bool opened = SynchWithJava();
    SetEvent(basesocket::DirectorStartedEvent());
    if (!opened) {
        // Whatever answers on the link port is asked to stop all the same.
        m_Com.SendStop();
        return false;
    }
    SetEvent(m_hUp);

    while (!m_bStop) {
        HANDLE handles[2] = {shutdownEvent, s_hDirector.load()};
        DWORD result = WaitForMultipleObjects(2, handles, FALSE, 10000);
        if (result != WAIT_TIMEOUT) m_bStop = true;
    }
    m_Com.SendStop();
    std::clog << "TavroJVM.StartJava is exiting java.exe is assumed to be stopped" << std::endl;
    if (shutdownEvent) SetEvent(shutdownEvent);
    return true;
}

bool TavroJVM::RunInProcess() {
    if (!CreateJavaVM()) {
        FailStart("the Java VM could not be created");
        return false;
    }
    return RunClass();
}

bool TavroJVM::RunClass() {
    HANDLE shutdownEvent = ShutdownEvent();
    if (m_bDoNothing) {
        SetEvent(m_hUp);
        WaitForSingleObject(shutdownEvent, INFINITE);
        Sleep(1000);
        return true;
    }
    JNIEnv* env = m_pEnv;
    jclass mainClass = env->FindClass(kMainClass);
    jmethodID main = nullptr;
    if (!mainClass) {
        std::clog << "TavroJVM.RunClass Couldn't find class " << kMainClass << std::endl;
    } else {
        main = env->GetStaticMethodID(mainClass, "main", "([Ljava/lang/String;)V");
        if (!main)
            std::clog << "TavroJVM.Couldn't find method main() in class " << kMainClass
                      << std::endl;
    }
    if (!main) {
        FailStart(std::string("the director's class ") + kMainClass + " or its main is missing");
        env->ExceptionClear();
        DumpOptions();
        if (shutdownEvent) SetEvent(shutdownEvent);
        return false;
    }
    env->ExceptionClear();
    jclass stringClass = env->FindClass("java/lang/String");
    jsize count = m_MainArgs[0] && m_MainArgs[1] && m_MainArgs[3] ? 4 : 0;
    jobjectArray arguments = env->NewObjectArray(count, stringClass, nullptr);
    for (jsize i = 0; i < count; ++i) {
        jstring text = env->NewStringUTF(m_MainArgs[i]);
        env->SetObjectArrayElement(arguments, i, text);
        env->DeleteLocalRef(text);
    }
    SetEvent(m_hUp);
    env->CallStaticVoidMethod(mainClass, main, arguments);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
    return true;
}

bool TavroJVM::QuoteHomePath(std::string& text) {
    size_t from = 0;
    for (;;) {
        size_t blank = text.find(' ', from);
        if (blank == std::string::npos) return true;
        size_t before = text.rfind('/', blank);
        if (before == std::string::npos) return false;
        text.insert(before + 1, "\"");
        size_t after = text.find('/', blank + 1);
        if (after == std::string::npos) return false;
        text.insert(after, "\"");
        from = after + 1;
    }
}

bool TavroJVM::StartBatch() {
    if (m_bDoNothing) {
        SetEvent(m_hUp);
        WaitForSingleObject(ShutdownEvent(), INFINITE);
        Sleep(1000);
        return true;
    }
    std::string module = ModulePath();
    std::string command = m_pDSEnv->GetVantrixHome(module.c_str());
    if (!QuoteHomePath(command)) {
        std::clog << "TavroJVM failed to build batch command:" << command << std::endl;
        return false;
    }
    command += kBatchStart;
    command += " 1> \"";
    command += m_pDSEnv->GetLogFile(module.c_str());
    command += "\" 2>> \"";
    command += m_pDSEnv->GetErrFile(module.c_str());
    command += "\"";
    errno = 0;
    int status = std::system(command.c_str());
    if (status == -1) return ReportSystemError();
    // The script starts the director in the background and returns: a
    // script that fails (or is missing) has started nothing.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        FailStart(WIFEXITED(status)
                      ? "tavro.bat start ended with status " + std::to_string(WEXITSTATUS(status))
                      : std::string("tavro.bat start was killed by a signal"));
        return false;
    }
    return true;
}

bool TavroJVM::ReportSystemError() {
    int error = errno;
    if (error == 0) return true;
    switch (error) {
        case ENOENT: std::clog << "File or path is not found" << std::endl; break;
        case E2BIG: std::clog << " Argument list exceeds 1024 bytes" << std::endl; break;
        case ENOEXEC:
            std::clog << " Specified file is not executable or has invalid executable-file format"
                      << std::endl;
            break;
        case ENOMEM:
            std::clog << " Not enough memory is available to execute new process" << std::endl;
            break;
        case EINVAL: std::clog << "mode argument is invalid" << std::endl; break;
        default: std::clog << "unknown error:" << error << std::endl; break;
    }
    std::clog << "getLastError::" << LastErrorText() << std::endl;
    return false;
}

bool TavroJVM::SynchWithJava() {
    // The pid must come within the start wait. A stop shortens the wait to
    // a few seconds: a director that has just taken the hello still gets
    // to name itself, so that the stop can end it if it does not stop.
    HANDLE handles[2] = {TavroCom::PidArrivedEvent(), ShutdownEvent()};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwStartWaitMs);
    bool stopping = false;
    while (TavroCom::s_dwDirectorPid == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 && stopping) return false;
        if (left <= 0) {
            FailStart("the director did not report its process id within " +
                      std::to_string(m_dwStartWaitMs / 1000) + " seconds");
            std::clog << " ERROR TavroJVM::SynchWithJava failed: " << StartFailure() << std::endl;
            return false;
        }
        DWORD result = WaitForMultipleObjects(stopping || !handles[1] ? 1 : 2, handles, FALSE,
                                              static_cast<DWORD>(left));
        if (result == WAIT_OBJECT_0 + 1) {
            stopping = true;
            deadline = std::min(deadline, std::chrono::steady_clock::now() +
                                              std::chrono::milliseconds(kPidGraceOnStopMs));
        }
        if (result == WAIT_FAILED) Sleep(100);
    }
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, TavroCom::s_dwDirectorPid);
    if (!process) {
        FailStart("the director's process " + std::to_string(TavroCom::s_dwDirectorPid.load()) +
                  " could not be opened");
        std::clog << " ERROR TavroJVM::SynchWithJava failed: " << LastErrorText() << std::endl;
    } else {
        s_hDirector = process;
    }
    SetEvent(m_hReady);
    return process != nullptr;
}
