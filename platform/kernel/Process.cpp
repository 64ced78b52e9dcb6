// Process handles over pidfds, and the settings of a process: affinity and priority class.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "platform/base/Posix.h"
#include "platform/kernel/ProcessObject.h"
#include "platform/winbase.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace platform {
namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP));
}

// Calls `apply` on every thread of process `pid`. Threads started while the
// list is read inherit the setting from their creator, or are found by the
// next pass: the passes go on until one finds no new thread.
bool ForEachThread(pid_t pid, const std::function<bool(pid_t)>& apply) {
    std::set<pid_t> done;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (int pass = 0; pass < 8; ++pass) {
        DIR* tasks = opendir(dir.c_str());
        if (!tasks) {
            return platform::FailWith(errno == ENOENT ? ERROR_INVALID_PARAMETER
                                                      : Win32FromErrno(errno));
        }
        bool found = false;
        while (dirent* entry = readdir(tasks)) {
            char* end = nullptr;
            long tid = std::strtol(entry->d_name, &end, 10);
            if (tid <= 0 || *end || done.count(static_cast<pid_t>(tid))) continue;
            found = true;
            done.insert(static_cast<pid_t>(tid));
            if (!apply(static_cast<pid_t>(tid)) && errno != ESRCH) {
                int err = errno;
                closedir(tasks);
                return platform::FailWith(Win32FromErrno(err));
            }
        }
        closedir(tasks);
        if (!found) return true;
    }
    return true;
}

// Processors of the machine as a mask (processors 0 to 63).
DWORD_PTR SystemMask() {
    DWORD_PTR mask = 0;
    if (FILE* online = std::fopen("/sys/devices/system/cpu/online", "re")) {
        int first = 0;
        while (std::fscanf(online, "%d", &first) == 1) {
            int last = first;
            int c = std::fgetc(online);
            if (c == '-' && std::fscanf(online, "%d", &last) == 1) c = std::fgetc(online);
            for (int cpu = first; cpu <= last && cpu < 64; ++cpu) mask |= DWORD_PTR{1} << cpu;
            if (c != ',') break;
        }
        std::fclose(online);
    }
    if (!mask) {
        long count = sysconf(_SC_NPROCESSORS_ONLN);
        for (long cpu = 0; cpu < count && cpu < 64; ++cpu) mask |= DWORD_PTR{1} << cpu;
    }
    return mask;
}

struct PriorityClass {
    DWORD priorityClass;
    int nice;
};
constexpr PriorityClass kPriorityClasses[] = {
    {IDLE_PRIORITY_CLASS, 19},  {BELOW_NORMAL_PRIORITY_CLASS, 10},
    {NORMAL_PRIORITY_CLASS, 0}, {ABOVE_NORMAL_PRIORITY_CLASS, -5},
    {HIGH_PRIORITY_CLASS, -10},
};

}  // namespace

ProcessObject::ProcessObject(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

ProcessObject::~ProcessObject() {
    if (pidfd_ >= 0) close(pidfd_);
}

bool ProcessObject::Ended() const { return pidfd_ >= 0 && Readable(pidfd_); }

WaitOutcome ProcessObject::TryAcquire() {
    return Ended() ? WaitOutcome::Acquired : WaitOutcome::NotSignalled;
}

bool ProcessObject::IsSignalled() { return Ended(); }

bool ProcessObject::Terminate(DWORD exitCode) {
    if (pidfd_ < 0) {
        std::fflush(nullptr);
        _exit(ExitStatusFromWin32(exitCode));
    }
    std::lock_guard lock(mutex_);
    if (Ended()) {
        return platform::FailWith(ERROR_ACCESS_DENIED);
    }
    if (syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0) != 0) {
        return platform::FailWith(errno == ESRCH ? ERROR_ACCESS_DENIED : Win32FromErrno(errno));
    }
    exitCode_ = exitCode;
    return true;
}

DWORD ProcessObject::ExitCode() {
    std::lock_guard lock(mutex_);
    if (!Ended()) return STILL_ACTIVE;
    if (exitCode_) return *exitCode_;
    // A child of this process: its status, left for the caller to reap.
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info,
               WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid != 0) {
        exitCode_ = ExitCodeFromSiginfo(info.si_code, info.si_status);
        return *exitCode_;
    }
    return 0;
}

std::shared_ptr<ProcessObject> CurrentProcessObject() {
    static std::shared_ptr<ProcessObject> self = std::make_shared<ProcessObject>(getpid(), -1);
    return self;
}

int ExitStatusFromWin32(DWORD exitCode) {
    if (exitCode <= 255) return static_cast<int>(exitCode);
    return (exitCode & 0xFF) ? static_cast<int>(exitCode & 0xFF) : 255;
}

DWORD ExitCodeFromSiginfo(int code, int status) {
    if (code == CLD_EXITED) return static_cast<DWORD>(status);
    return 128 + static_cast<DWORD>(status);
}

}  // namespace platform

using platform::ProcessObject;

HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD processId) {
    if (processId == 0 || processId > 0x7FFFFFFF) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    // pidfds are close-on-exec.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0));
    if (pidfd < 0) {
        return platform::FailWith(errno == ESRCH ? ERROR_INVALID_PARAMETER
                                                 : platform::Win32FromErrno(errno));
    }
    return platform::AddHandle(
        std::make_shared<ProcessObject>(static_cast<pid_t>(processId), pidfd));
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    return object && object->Terminate(exitCode) ? TRUE : FALSE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    if (!object) return FALSE;
    if (!exitCode) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    if (!object) return FALSE;
    if (!processMask || !systemMask) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(object->Pid(), sizeof set, &set) != 0) {
        return platform::FailWith(errno == ESRCH ? ERROR_INVALID_PARAMETER
                                                 : platform::Win32FromErrno(errno));
    }
    DWORD_PTR mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= DWORD_PTR{1} << cpu;
    }
    *processMask = mask;
    *systemMask = platform::SystemMask();
    return TRUE;
}

BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR processMask) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    if (!object) return FALSE;
    if (processMask == 0 || (processMask & ~platform::SystemMask()) != 0) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (processMask & (DWORD_PTR{1} << cpu)) CPU_SET(cpu, &set);
    }
    return platform::ForEachThread(
               object->Pid(),
               [&](pid_t tid) { return sched_setaffinity(tid, sizeof set, &set) == 0; })
               ? TRUE
               : FALSE;
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    if (!object) return FALSE;
    for (const platform::PriorityClass& entry : platform::kPriorityClasses) {
        if (entry.priorityClass != priorityClass) continue;
        // The nice value is a thread's own on this platform.
        return platform::ForEachThread(object->Pid(),
                                       [&](pid_t tid) {
                                           return setpriority(PRIO_PROCESS, static_cast<id_t>(tid),
                                                              entry.nice) == 0;
                                       })
                   ? TRUE
                   : FALSE;
    }
    return platform::FailWith(ERROR_INVALID_PARAMETER);
}

DWORD GetPriorityClass(HANDLE process) {
    auto object = platform::LookupHandleAs<ProcessObject>(process);
    if (!object) return 0;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(object->Pid()));
    if (nice == -1 && errno != 0) {
        return platform::FailWith(errno == ESRCH ? ERROR_INVALID_PARAMETER
                                                 : platform::Win32FromErrno(errno));
    }
    // The class whose nice value lies nearest.
    DWORD best = NORMAL_PRIORITY_CLASS;
    int distance = 100;
    for (const platform::PriorityClass& entry : platform::kPriorityClasses) {
        if (std::abs(entry.nice - nice) < distance) {
            distance = std::abs(entry.nice - nice);
            best = entry.priorityClass;
        }
    }
    return best;
}
