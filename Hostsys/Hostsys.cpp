// CHostsys: shutdown wait, director wait, affinity and status checks.
#include "Hostsys/Hostsys.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <vector>

#include "C2JavaAPI/C2J_Logger.h"
#include "Hostsys/DSEnv.h"
#include "Hostsys/DirectorStatus.h"
#include "Hostsys/Hostsys_JNI.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "Hostsys/TavroSettings.h"
#include "Hostsys/WindowsNoOrphans_JNI.h"
#include "platform/Program.h"
#include "platform/ScopedHandle.h"
#include "platform/winbase.h"
#include "platform/wincon.h"

namespace {

constexpr const char* kSettingsFile = "/specific/tavro/config/TAVRO.REG";
constexpr const char* kHomeMark = "vantrix";
constexpr size_t kPidWordMax = 19;  // CheckStatusFile's callers give 20 bytes
constexpr size_t kSettingMax = 79;  // the longest value of a settings line

// The environment of the singleton; reads -NoExitHand.
DSEnv g_env;

// Users of each event handle that s_hEvent held: the slot itself and every
// wait in progress. A handle is closed when its count reaches zero, so a
// wait never sees its handle closed under it. Guarded by s_critSect.
std::map<HANDLE, int>& EventUsers() {
    static std::map<HANDLE, int> users;
    return users;
}

void DropEventUse(HANDLE event) {
    auto& users = EventUsers();
    auto it = users.find(event);
    if (it == users.end() || --it->second > 0) return;
    users.erase(it);
    CloseHandle(event);
}

// Puts `event` into the slot (with one use for the caller) and gives the
// previous holder's slot use back.
void PutEventInSlot(HANDLE event) {
    HANDLE previous = CHostsys::s_hEvent;
    CHostsys::s_hEvent = event;
    EventUsers()[event] += 2;
    if (previous) DropEventUse(previous);
}

BOOL KeepRunningOnConsoleEvent(DWORD) { return TRUE; }

// The Java environment that the calling thread's native call brought.
thread_local JNIEnv* t_env = nullptr;

// The value of the Java system property `name` in the calling thread's
// VM; empty when there is none or no VM to ask. Leaves no exception.
std::string SystemProperty(const char* name) {
    JNIEnv* env = t_env;
    if (!env) return {};
    std::string value;
    jclass system = env->FindClass("java/lang/System");
    jmethodID get = system ? env->GetStaticMethodID(system, "getProperty",
                                                    "(Ljava/lang/String;)Ljava/lang/String;")
                           : nullptr;
    jstring key = get ? env->NewStringUTF(name) : nullptr;
    auto text = key ? static_cast<jstring>(env->CallStaticObjectMethod(system, get, key)) : nullptr;
    if (env->ExceptionCheck()) env->ExceptionClear();
    if (text) {
        if (const char* chars = env->GetStringUTFChars(text, nullptr)) {
            value = chars;
            env->ReleaseStringUTFChars(text, chars);
        }
        env->DeleteLocalRef(text);
    }
    if (key) env->DeleteLocalRef(key);
    if (system) env->DeleteLocalRef(system);
    if (env->ExceptionCheck()) env->ExceptionClear();
    return value;
}

// Number of set bits and the highest set bit of a 32-bit mask.
int CountProcessors(uint32_t mask, int* highest) {
    int count = 0;
    *highest = -1;
    for (int bit = 31; bit >= 0; --bit) {
        if (!(mask & (1u << bit))) continue;
        if (*highest < 0) *highest = bit;
        ++count;
    }
    return count;
}

}  // namespace

const char* const CHostsys::s_pRevisionCpp = TAVRO_REVISION("Hostsys/Hostsys.cpp", "1.7");
const char* const CHostsys::s_pRevisionH = HOSTSYS_H_REVISION;

CHostsys* CHostsys::s_theOneAndOnly = nullptr;
int32_t CHostsys::s_lRefCnt = 0;
std::recursive_mutex CHostsys::s_critSect;
HANDLE CHostsys::s_hEvent = nullptr;
DSEnv& CHostsys::s_Env = g_env;

CHostsys::CHostsys() {
    if (!s_theOneAndOnly) s_theOneAndOnly = this;
}

CHostsys::~CHostsys() {
    if (s_theOneAndOnly == this) s_theOneAndOnly = nullptr;
}

CHostsys* CHostsys::getHostsys(JNIEnv* env) {
    std::lock_guard guard(s_critSect);
    if (!s_theOneAndOnly) new CHostsys;
    ++s_lRefCnt;
    t_env = env;
    C2J_Logger registerThread(env, false);
    return s_theOneAndOnly;
}

bool CHostsys::Destroy() {
    std::lock_guard guard(s_critSect);
    if (s_lRefCnt <= 0) return false;
    if (s_lRefCnt-- != 1 || !s_theOneAndOnly) return false;
    delete s_theOneAndOnly;
    s_theOneAndOnly = nullptr;
    return true;
}

bool CHostsys::logTavroMsg(const char* msg) {
    CNTSystemError error;
    char line[1024];
    std::snprintf(line, sizeof line, "%s  %s", msg, error.GetMsgString().c_str());
    C2J_Logger logger(nullptr, false);
    logger.logItem(line, C2J_Logger::kLevel);
    return true;
}

const char* CHostsys::getVantrixHome() {
    std::lock_guard guard(s_critSect);
    if (!m_home.empty()) return m_home.c_str();
    const std::string path = platform::ModuleFileName();
    if (const char* mark = std::strstr(path.c_str(), kHomeMark)) {
        m_home.assign(path.c_str(), mark - path.c_str());
        m_home += "/";
        m_home += kHomeMark;
        return m_home.c_str();
    }
    // The program is the Java runtime's, whose real path lies outside the
    // tree when the tree's runtime links to a system one: the director
    // names its home in a system property, and the tree in its variable.
    m_home = SystemProperty("Vantrix.Home");
    if (m_home.empty()) {
        const char* variable = std::getenv("VANTRIX_HOME");
        if (variable) m_home = variable;
    }
    return m_home.empty() ? nullptr : m_home.c_str();
}

bool CHostsys::setupExitHandler() {
    if (!SetConsoleCtrlHandler(KeepRunningOnConsoleEvent, TRUE))
        logTavroMsg("Hostsys.setupExitHandler failed:");
    return true;
}

void CHostsys::guardAgainstConsoleEvents() {
    const char* home = getVantrixHome();
    bool noExitHandler;
    {
        std::lock_guard guard(s_critSect);  // the environment file is shared
        // The environment finds the same home as this object (a path in
        // the home gives the home).
        if (home) g_env.GetVantrixHome((std::string(home) + "/.").c_str());
        noExitHandler = g_env.getNoExitHand();
        g_env.Close();
    }
    if (!noExitHandler) setupExitHandler();
}

bool CHostsys::ntSysShutdown(char* name) {
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (!event) {
        logTavroMsg("Hostsys.ntSysShutdown Error:");
        return false;
    }
    {
        std::lock_guard guard(s_critSect);
        PutEventInSlot(event);
    }

    DWORD pid = 0;
    if (char* dash = std::strrchr(name, '-')) {
        pid = static_cast<DWORD>(std::strtoul(dash + 1, nullptr, 10));
        *dash = '\0';
    }
    platform::ScopedHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
    if (!process) {
        char line[128];
        std::snprintf(line, sizeof line, "Hostsys.ntSysShutdown could not open process pid: %d",
                      static_cast<int>(pid));
        logTavroMsg(line);
    }

    guardAgainstConsoleEvents();

    HANDLE handles[2] = {event, process.Get()};
    DWORD result = WaitForMultipleObjects(process ? 2 : 1, handles, FALSE, INFINITE);
    bool ok = result != WAIT_FAILED;
    if (!ok) logTavroMsg(" Hostsys.ntSysShutdown error: ");

    std::lock_guard guard(s_critSect);
    if (s_hEvent == event) {
        s_hEvent = nullptr;
        DropEventUse(event);
    }
    DropEventUse(event);
    return ok;
}

DWORD CHostsys::getDirectorPid() {
    const char* home = getVantrixHome();
    if (!home) return 0;
    std::string path = director_status::StatusFilePath(home);
    std::FILE* in = director_status::OpenRegularFile(path.c_str());
    if (!in) {
        platform::SetLastErrorFromErrno();
        char line[MAX_PATH + 96];
        std::snprintf(line, sizeof line,
                      "Hostsys.getDirectorPid:The TAVRO status file %s could not e opened",
                      path.c_str());
        logTavroMsg(line);
        return 0;
    }
    DWORD pid = 0;
    std::string word;
    if (director_status::ReadWord(in, word)) {
        if (word == "SYSTEM_UP" || word == "SYSTEM_STARTING" || word == "SYSTEM_SHUTDOWN") {
            std::string number;
            char* end = nullptr;
            unsigned long value =
                director_status::ReadWord(in, number) ? std::strtoul(number.c_str(), &end, 10) : 0;
            if (!end || end == number.c_str())
                logTavroMsg("Hostsys.getDirectorPid: Could not read PID from TAVRO status file");
            else
                pid = static_cast<DWORD>(value);
        } else {
            logTavroMsg("Hostsys.getDirectorPid: Could not read status from TAVRO status file.");
        }
    }
    std::fclose(in);
    return pid;
}

bool CHostsys::ntDirectorDied() {
    guardAgainstConsoleEvents();
    DWORD pid = getDirectorPid();
    if (pid == 0) return true;

    HANDLE event;
    {
        std::lock_guard guard(s_critSect);
        if (!s_hEvent) {
            HANDLE created = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (created) {
                s_hEvent = created;
                EventUsers()[created] = 1;  // the slot's use
            }
        }
        event = s_hEvent;
        if (event) ++EventUsers()[event];
    }

    platform::ScopedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    if (!process) {
        logTavroMsg("Hostsys.ntDirectorDied: ERROR ");
    } else {
        HANDLE handles[2] = {process.Get(), event};
        WaitForMultipleObjects(event ? 2 : 1, handles, FALSE, INFINITE);
    }
    if (event) {
        std::lock_guard guard(s_critSect);
        DropEventUse(event);
    }
    return true;
}

void CHostsys::ReadRegistry(const char* name, char* out) {
    out[0] = '\0';
    const char* home = getVantrixHome();
    std::string path = std::string(home ? home : "") + kSettingsFile;
    std::string value;
    // Without a home the name would point at the root of the file system.
    if (!home || !tavro_settings::ReadValue(path, name, value)) {
        char line[MAX_PATH + 64];
        std::snprintf(line, sizeof line, "Hostsys.ReadRegistry::Failed to open %s", path.c_str());
        logTavroMsg(line);
        return;
    }
    // A value is the rest of a line of at most 79 characters: it fits the
    // caller's 80 bytes.
    std::snprintf(out, kSettingMax + 1, "%s", value.c_str());
}

bool CHostsys::ntSetAffinity(const char*) {
    constexpr const char* kFailed = "Hostsys::ntSetAffinity failed...Continuing on.";
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) {
        logTavroMsg(kFailed);
        processMask = systemMask = 0;
    }
    uint32_t system = static_cast<uint32_t>(systemMask);
    int highest = -1;
    char value[kSettingMax + 1] = "";
    if (CountProcessors(system, &highest) >= 2) ReadRegistry("tavro.CPUAffinity", value);
    uint32_t mask = tavro_settings::AffinityMask(system, value);
    if (mask == static_cast<uint32_t>(processMask)) return true;
    if (SetProcessAffinityMask(GetCurrentProcess(), mask)) return true;
    logTavroMsg(kFailed);
    return false;
}

bool CHostsys::ntJavaDone(const char*) { return true; }

DWORD CHostsys::ntPid() { return GetCurrentProcessId(); }

static_assert(CHostsys::kStatusUnknown == director_status::kUnknown &&
              CHostsys::kStatusDown == director_status::kDown &&
              CHostsys::kStatusStarting == director_status::kStarting &&
              CHostsys::kStatusUp == director_status::kUp &&
              CHostsys::kStatusShutdown == director_status::kShutdown);
static_assert(CHostsys::kMatchNone == director_status::kPidFileUnreadable &&
              CHostsys::kMatchOther == director_status::kPidFileOther &&
              CHostsys::kMatchRunning == director_status::kPidFileRunning);

int CHostsys::CheckStatusFile(char* pid) {
    std::string word;
    int status = director_status::ReadStatusFile(m_quiet, word);
    std::snprintf(pid, kPidWordMax + 1, "%s", word.c_str());
    return status;
}

int CHostsys::checkFileforMatch(const char* path, const char* pattern) {
    return director_status::CheckPidFile(path, pattern);
}

bool CHostsys::CheckPID(const char* pid, const char* pattern) {
    // The one process is looked up by its id: a list cut off at some
    // length would report a running process as gone on a busy machine.
    return director_status::LookUpProcess(pid, pattern).found;
}

DWORD CHostsys::GetTaskList(_TASK_LIST* list, DWORD max) {
    if (max < 2) return 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    DWORD count = 0;
    while (count < max - 1) {
        dirent* entry = readdir(proc);
        if (!entry) break;
        char* end = nullptr;
        unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])) || *end) continue;
        _TASK_LIST& task = list[count];
        std::memset(&task, 0, sizeof task);
        task.dwProcessId = id ? static_cast<DWORD>(id) : 0xFFFFFFFEu;
        task.flags = 0;
        std::string name;
        if (!director_status::ProcessName(static_cast<DWORD>(id), name))
            continue;  // ended meanwhile
        std::snprintf(task.ProcessName, sizeof task.ProcessName, "%s", name.c_str());
        ++count;
    }
    closedir(proc);
    return count;
}

void CHostsys::printDllRevisions() {
    const char* lines[] = {CNTSystemError::s_pRevisionCpp,
                           CNTSystemError::s_pRevisionH,
                           kHostsysJniRevisionCpp,
                           kWindowsNoOrphansJniRevisionH,
                           kWindowsNoOrphansJniRevisionCpp,
                           kHostsysJniRevisionH,
                           s_pRevisionCpp,
                           s_pRevisionH};
    std::printf("Hostsys dll Revision numbers\n");
    for (const char* line : lines) std::printf("%s\n", line);
    std::fflush(stdout);
}

extern "C" void prtDllRev() { CHostsys::printDllRevisions(); }
