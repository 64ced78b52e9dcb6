// A small service over the raw service-control calls, for the layer's tests.
//   <app>            runs the dispatcher; the service accepts stop unless
//                    its start arguments include "nostop"; with "fdlimit"
//                    it may open only 16 descriptors
//   <app> nodispatch ends at once without running the dispatcher
// It appends every control it gets to "<state dir>/controls" and, when the
// dispatcher returns, writes "returned <main ended>" to
// "<state dir>/dispatcher".
#include <sys/resource.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/PlatformState.h"
#include "platform/winsvc.h"

namespace {

std::mutex g_lock;
std::condition_variable g_stop;
bool g_stopping = false;
bool g_mainEnded = false;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};

void Report(DWORD state, DWORD checkpoint, DWORD waitHint) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_status.dwCurrentState = state;
    g_status.dwCheckPoint = checkpoint;
    g_status.dwWaitHint = waitHint;
    SetServiceStatus(g_handle, &g_status);
}

void Handler(DWORD control) {
    std::ofstream(platform::StateDir() / "controls", std::ios::app) << control << "\n";
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 1, 1000);
        std::lock_guard<std::mutex> lock(g_lock);
        g_stopping = true;
        g_stop.notify_all();
        return;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    SetServiceStatus(g_handle, &g_status);
}

void ServiceMain(DWORD argc, LPSTR* argv) {
    bool stoppable = true;
    for (DWORD i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "nostop") == 0) stoppable = false;
        if (std::strcmp(argv[i], "fdlimit") == 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 16;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
        }
    }
    g_handle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    if (!g_handle) return;
    Report(SERVICE_START_PENDING, 1, 500);
    g_status.dwControlsAccepted = stoppable ? SERVICE_ACCEPT_STOP : 0;
    Report(SERVICE_RUNNING, 0, 0);
    {
        std::unique_lock<std::mutex> lock(g_lock);
        g_stop.wait(lock, [] { return g_stopping; });
    }
    Report(SERVICE_STOPPED, 0, 0);
    // Work after the last report: the dispatcher must wait for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> lock(g_lock);
    g_mainEnded = true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "nodispatch") == 0) return 3;
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    BOOL ok = StartServiceCtrlDispatcherA(table);
    DWORD error = ok ? 0 : GetLastError();
    bool ended;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ended = g_mainEnded;
    }
    std::ofstream(platform::StateDir() / "dispatcher")
        << (ok ? "returned " : "failed ") << (ok ? (ended ? 1 : 0) : error) << "\n";
    return ok ? 0 : 1;
}
