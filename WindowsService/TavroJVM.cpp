// TavroJVM: the director host that starts and watches the Tavro director.
#include "WindowsService/TavroJVM.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Hostsys/DSEnv.h"
#include "Hostsys/NTSystemError.h"
#include "platform/paths.h"
#include "platform/Program.h"

const char* const TavroJVM::s_pRevisionCpp =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/TavroJVM.cpp,v $ $Revision: 1.61 $ "
    "$Name:  $";
const char* const TavroJVM::s_pRevisionH =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/TavroJVM.h,v $ $Revision: 1.22 $ "
    "$Name:  $";

TavroJVM* TavroJVM::s_pCurrent = nullptr;
std::atomic<HANDLE> TavroJVM::s_hDirector{nullptr};
HANDLE TavroJVM::s_hWatchThread = nullptr;

namespace {

constexpr const char* kMainClass = "com/pelmar/vantrix/tavro/core/TAVROController";
constexpr const char* kRuntimeLibrary = "/common/jre/bin/hotspot/libjvm.so";
constexpr const char* kVMLogFile = "/specific/norba/logs/jvm.log";
constexpr const char* kBatchStart = "/bin/tavro.bat start";

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

TavroJVM::TavroJVM() { m_hReady = CreateEventA(nullptr, FALSE, FALSE, nullptr); }

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
}

HANDLE TavroJVM::ShutdownEvent() const {
    return m_hShutdown ? m_hShutdown : basesocket::s_hShutdownEvent;
}

std::string TavroJVM::ModulePath() const { return platform::ModuleFileName(); }

void TavroJVM::CloseDirectorHandle() {
    HANDLE director = s_hDirector.exchange(nullptr);
    if (director && director != s_hWatchThread) CloseHandle(director);
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
    const char* systemRoot = std::getenv("SYSTEMROOT");
    AddOption(
        (std::string("-DZota.Home=") + (systemRoot ? systemRoot : "") + "/System32/ZOTASupLogs")
            .c_str());
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
        std::clog << "TavroJVM.StartJava (process) failed to start listener" << std::endl;
        if (shutdownEvent) SetEvent(shutdownEvent);
        return false;
    }
    if (m_nMode == kInProcess) return RunInProcess();

    if (!StartBatch()) {
        std::clog << "Error TavroJVM.StartJava java.exe did not start through tavro.bat"
                  << std::endl;
        return false;
    }
    SynchWithJava();
    SetEvent(basesocket::DirectorStartedEvent());

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
    if (!CreateJavaVM()) return false;
    return RunClass();
}

bool TavroJVM::RunClass() {
    HANDLE shutdownEvent = ShutdownEvent();
    if (m_bDoNothing) {
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
    if (std::system(command.c_str()) == -1) return ReportSystemError();
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
    while (TavroCom::s_dwDirectorPid == 0) WaitForSingleObject(TavroCom::PidArrivedEvent(), 120000);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, TavroCom::s_dwDirectorPid);
    s_hDirector = process;
    if (!process)
        std::clog << " ERROR TavroJVM::SynchWithJava failed: " << LastErrorText() << std::endl;
    SetEvent(m_hReady);
    return process != nullptr;
}
