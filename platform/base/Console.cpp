// Console control handlers over POSIX signals.
#include <signal.h>

#include <atomic>
#include <mutex>

#include "platform/base/Posix.h"
#include "platform/wincon.h"
#include "platform/winerror.h"

namespace {

constexpr int kMaxRoutines = 16;

struct Signal {
    int number;
    DWORD event;
    struct sigaction previous;
    bool installed;
};

std::mutex g_lock;  // guards changes of the list and the installation
std::atomic<PHANDLER_ROUTINE> g_routines[kMaxRoutines];
std::atomic<bool> g_ignoreCtrlC{false};
Signal g_signals[] = {{SIGINT, CTRL_C_EVENT, {}, false}, {SIGHUP, CTRL_CLOSE_EVENT, {}, false}};

void PassOn(Signal& signal, int number, siginfo_t* info, void* context) {
    const struct sigaction& previous = signal.previous;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(number, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN) return;
    if (previous.sa_handler != SIG_DFL) {
        previous.sa_handler(number);
        return;
    }
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    sigaction(number, &deflt, nullptr);
    raise(number);
}

void OnSignal(int number, siginfo_t* info, void* context) {
    for (Signal& signal : g_signals) {
        if (signal.number != number) continue;
        if (signal.event == CTRL_C_EVENT && g_ignoreCtrlC.load()) return;
        for (int i = kMaxRoutines - 1; i >= 0; --i) {
            PHANDLER_ROUTINE routine = g_routines[i].load();
            if (routine && routine(signal.event)) return;
        }
        PassOn(signal, number, info, context);
        return;
    }
}

void InstallHandlers() {
    for (Signal& signal : g_signals) {
        if (signal.installed) continue;
        struct sigaction action {};
        action.sa_sigaction = OnSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal.number, &action, &signal.previous) == 0) signal.installed = true;
    }
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    std::lock_guard guard(g_lock);
    if (!routine) {
        g_ignoreCtrlC = add != FALSE;
        if (add) InstallHandlers();
        return TRUE;
    }
    int free = -1;
    for (int i = 0; i < kMaxRoutines; ++i) {
        PHANDLER_ROUTINE current = g_routines[i].load();
        if (current == routine) {
            if (!add) g_routines[i] = nullptr;
            return TRUE;
        }
        if (!current && free < 0) free = i;
    }
    if (!add) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    if (free < 0) {
        return platform::FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    g_routines[free] = routine;
    InstallHandlers();
    return TRUE;
}
