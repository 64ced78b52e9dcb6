// JavaCppVM: a small wrapper of the Java invocation interface.
#include "WindowsService/JavaCppVM.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>

#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "platform/base/Posix.h"

const char* const JavaCppVM::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/JavaCppVM.cpp", "1.14");
const char* const JavaCppVM::s_pRevisionH =
    TAVRO_REVISION_WITH("/usr/local/cvsroot/tavro/WindowsService/JavaCppVM.h", "_", "1.9", "");

namespace {

// The VM message log; the VM's hook has no object, so it is process-wide.
std::mutex g_logMutex;
FILE* g_pLogFile = nullptr;

std::string Now() {
    time_t now = time(nullptr);
    char text[32] = "";
    ctime_r(&now, text);
    return text;
}

}  // namespace

JavaCppVM::JavaCppVM() {
    m_VMArgs.version = JNI_VERSION_1_2;
    m_VMArgs.nOptions = 0;
    m_VMArgs.options = m_Options;
    m_VMArgs.ignoreUnrecognized = JNI_FALSE;
}

JavaCppVM::~JavaCppVM() {
    if (m_pJVM) m_pJVM->DestroyJavaVM();
    for (int i = 0; i < m_VMArgs.nOptions; ++i) std::free(m_Options[i].optionString);
    if (m_hJVMDll) FreeLibrary(m_hJVMDll);
}

bool JavaCppVM::AddOption(const char* text, void* extra) {
    if (m_VMArgs.nOptions >= kMaxOptions) {
        std::clog << "Error: JavaCppVM.AddOption too many options, dropped: " << (text ? text : "")
                  << std::endl;
        return false;
    }
    m_Options[m_VMArgs.nOptions].optionString = strdup(text ? text : "");
    m_Options[m_VMArgs.nOptions].extraInfo = extra;
    ++m_VMArgs.nOptions;
    return true;
}

bool JavaCppVM::AddClassPath(const char* path) {
    return AddOption((std::string("-Djava.class.path=") + (path ? path : "")).c_str());
}

bool JavaCppVM::AddLibraryPath(const char* path) {
    return AddOption((std::string("-Djava.library.path=") + (path ? path : "")).c_str());
}

bool JavaCppVM::LoadJVMDll(const char* path) {
    m_hJVMDll = LoadLibraryA(path);
    if (!m_hJVMDll) {
        std::clog << "JavaCppVM::LoadJVMDll failed 0n file: " << (path ? path : "")
                  << " with the error:" << CNTSystemError().GetMsgString() << std::endl;
        return false;
    }
    m_pCreateJavaVM =
        reinterpret_cast<CreateJavaVMProc>(GetProcAddress(m_hJVMDll, "JNI_CreateJavaVM"));
    if (!m_pCreateJavaVM) {
        std::clog << "JavaCppVM::LoadJVMDll failed: " << CNTSystemError().GetMsgString()
                  << std::endl;
        FreeLibrary(m_hJVMDll);
        m_hJVMDll = nullptr;
        return false;
    }
    return true;
}

bool JavaCppVM::CreateJavaVM() {
    if (!m_hJVMDll || !m_pCreateJavaVM) return false;
    jint result = m_pCreateJavaVM(&m_pJVM, reinterpret_cast<void**>(&m_pEnv), &m_VMArgs);
    if (result == JNI_OK) return true;
    m_pJVM = nullptr;
    m_pEnv = nullptr;
    std::clog << "Error: JavaCppVM.CreateJavaVM " << ErrorText(result) << std::endl;
    DumpOptions();
    return false;
}

const char* JavaCppVM::ErrorText(jint code) {
    switch (code) {
        case 0: return " success ";
        case -1: return " unknown error ";
        case -2: return " thread detached from the VM ";
        case -3: return " JNI version error ";
        case -4: return " not enough memory ";
        case -5: return " VM already created ";
        case -6: return " invalid arguments ";
        default: return " error value out of range ";
    }
}

void JavaCppVM::DumpOptions() {
    std::clog << "VMarg.version: " << m_VMArgs.version << std::endl;
    std::clog << "VMarg.nOptions: " << m_VMArgs.nOptions << std::endl;
    for (int i = 0; i < m_VMArgs.nOptions; ++i)
        std::clog << "Option: " << i << " " << m_Options[i].optionString << std::endl;
}

bool JavaCppVM::UnloadJVM() {
    std::clog << "JavaCppVM.UnloadJVM start: " << Now() << std::flush;
    if (m_hJVMDll && m_pJVM) {
        // Destroying the VM detaches the thread; a detach after it would
        // reach a VM that is gone.
        JNIEnv* env = nullptr;
        if (m_pJVM->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK)
            m_pJVM->DestroyJavaVM();
    }
    bool freed = false;
    if (m_hJVMDll) {
        freed = FreeLibrary(m_hJVMDll) != FALSE;
        if (freed) {
            m_hJVMDll = nullptr;
            m_pCreateJavaVM = nullptr;
            m_pJVM = nullptr;
            m_pEnv = nullptr;
        }
    }
    std::clog << "JavaCppVM.UnloadJVM end " << Now() << std::flush;
    return freed;
}

bool JavaCppVM::SetLogFile(const char* path) {
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        if (g_pLogFile) fclose(g_pLogFile);
        // The VM's log: 0640 at most whatever the umask, never through a link.
        g_pLogFile = path ? platform::AppendOwnFile(path, 0640, true) : nullptr;
    }
    AddOption("vfprintf", reinterpret_cast<void*>(&JavaCppVM::VfprintfHook));
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_pLogFile != nullptr;
}

jint JNICALL JavaCppVM::VfprintfHook(FILE* /*stream*/, const char* format, va_list arguments) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    FILE* out = g_pLogFile;
    bool fallback = false;
    if (!out) {
        out = platform::AppendOwnFile("JVMError.log", 0640);
        fallback = true;
    }
    if (!out) return 0;
    int written = vfprintf(out, format, arguments);
    fflush(out);
    if (fallback) fclose(out);
    return written < 0 ? 0 : written;
}
