// The control channel of a service: ControlService on the caller's side, and in the service's
// process the dispatcher that serves it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/base/Posix.h"
#include "platform/services/ServiceRecords.h"

using platform::FailWith;
using platform::ScopedFd;

namespace platform::services {
namespace {

// How long ControlService waits for the handler's answer.
constexpr int kControlTimeoutMs = 30000;
// How long a connected client may take to send its request, and to send
// the rest of it once it has begun.
constexpr int kRequestTimeoutMs = 5000;
constexpr int kRequestRestMs = 200;
// Connections waiting for their request at once; more are refused.
constexpr size_t kMaxClients = 32;
// How long the listener rests when the process is short of descriptors.
constexpr int kShortageRestMs = 100;

}  // namespace
}  // namespace platform::services

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    using namespace platform::services;
    std::optional<std::string> name = ServiceName(service);
    if (!name) return FALSE;
    if (control > 255) return FailWith(ERROR_INVALID_PARAMETER);
    if (FindRecord(*name) == Record::kMissing) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    StatusRecord record = CurrentRecord(*name);
    if (status) *status = record.status;
    if (record.status.dwCurrentState == SERVICE_STOPPED) return FailWith(ERROR_SERVICE_NOT_ACTIVE);

    sockaddr_un address;
    ScopedFd dir;
    if (!ControlAddress(*name, address, dir)) return FALSE;
    ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return FailWith(platform::SetLastErrorFromErrno());
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return FailWith(ERROR_SERVICE_NOT_ACTIVE);
    uint32_t request = control;
    uint32_t reply[8];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlTimeoutMs);
    bool sent = SendFull(fd.Get(), &request, sizeof request);
    bool answered = sent && ReadFull(fd.Get(), reply, sizeof reply, deadline);
    if (!answered)
        return FailWith(sent && errno == ETIMEDOUT ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                   : ERROR_SERVICE_NOT_ACTIVE);
    if (status) std::memcpy(status, reply + 1, sizeof *status);
    if (reply[0] != ERROR_SUCCESS) return FailWith(reply[0]);
    return TRUE;
}

// --- The dispatcher in the service's process --------------------------------

// The one service a dispatcher runs in this process; its address is the
// status handle.
struct ServiceStatusHandle {
    std::string name;
    uint64_t token = 0;
    std::mutex lock;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    bool mainReturned = false;
    ScopedFd wake;
};

namespace platform::services {
namespace {

std::mutex g_dispatcherLock;
ServiceStatusHandle* g_dispatcher = nullptr;

// What StartServiceA passed to this process.
struct StartVariables {
    uint64_t token = 0;
    std::string name;
    ScopedFd ready;
    int life = -1;
    std::vector<std::string> args;
};

// Reads and clears the start's variables (the service's own children are
// not started services); false when this process was not started as a
// service.
bool TakeStartVariables(StartVariables& start) {
    const char* value = std::getenv(kStartVar);
    const char* colon = value ? std::strchr(value, ':') : nullptr;
    if (!colon) return false;
    start.token = std::strtoull(value, nullptr, 10);
    start.name = colon + 1;
    const char* ready = std::getenv(kReadyFdVar);
    const char* life = std::getenv(kLifeFdVar);
    start.ready.Reset(ready ? std::atoi(ready) : -1);
    start.life = life ? std::atoi(life) : -1;
    start.args = DecodeArgs(std::getenv(kArgsVar));
    for (const char* variable : {kStartVar, kReadyFdVar, kArgsVar, kLifeFdVar}) unsetenv(variable);
    // The life lock stays with this process, not with the programs it runs.
    if (start.life >= 0) fcntl(start.life, F_SETFD, FD_CLOEXEC);
    return true;
}

// Records this process as the one that runs the start `start` names;
// false when the status file names another start or another process.
bool ClaimStart(const StartVariables& start) {
    StatusLock lock(start.name);
    if (!lock.Held()) return false;
    StatusRecord record = ReadRecord(start.name);
    if (record.token != start.token || record.status.dwCurrentState != SERVICE_START_PENDING ||
        (record.pid != 0 && record.pid != getpid()))
        return false;
    record.pid = static_cast<int32_t>(getpid());
    return WriteRecord(start.name, record);
}

// The table's entry for `name`; a table of one entry serves any name.
const SERVICE_TABLE_ENTRYA* FindEntry(const SERVICE_TABLE_ENTRYA* table, const std::string& name) {
    const SERVICE_TABLE_ENTRYA* entry = nullptr;
    size_t entries = 0;
    for (const SERVICE_TABLE_ENTRYA* e = table; e && e->lpServiceName; ++e, ++entries) {
        if (AsciiEqualNoCase(e->lpServiceName, name)) entry = e;
    }
    if (!entry && entries == 1) entry = table;
    return entry && entry->lpServiceProc ? entry : nullptr;
}

// Binds and listens on the service's control socket, 0600; the listening
// descriptor (non-blocking), or -1 with the last error set.
int OpenControlChannel(const std::string& name) {
    sockaddr_un address;
    ScopedFd dir;
    if (!ControlAddress(name, address, dir)) return -1;
    ScopedFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        SetLastErrorFromErrno();
        return -1;
    }
    // A socket left by a process that died holding the life lock, which
    // this start now holds.
    unlink(address.sun_path);
    if (bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        chmod(address.sun_path, 0600) != 0 || listen(listener.Get(), 16) != 0) {
        SetLastErrorFromErrno();
        return -1;
    }
    return listener.Release();
}

void RemoveControlChannel(const std::string& name) {
    sockaddr_un address;
    ScopedFd dir;
    if (ControlAddress(name, address, dir)) unlink(address.sun_path);
}

// Only the service's own user and root may control it.
bool PeerMayControl(int client) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == geteuid() || peer.uid == 0;
}

// Why a control cannot be handed to the service in its present status, or
// ERROR_SUCCESS.
DWORD Refusal(const SERVICE_STATUS& status, bool hasHandler, DWORD control) {
    if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (control == SERVICE_CONTROL_INTERROGATE)
        return hasHandler ? ERROR_SUCCESS : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (!hasHandler || status.dwCurrentState == SERVICE_START_PENDING ||
        status.dwCurrentState == SERVICE_STOP_PENDING)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    DWORD needed = 0;
    if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (control == SERVICE_CONTROL_SHUTDOWN) needed = SERVICE_ACCEPT_SHUTDOWN;
    if (needed && !(status.dwControlsAccepted & needed)) return ERROR_INVALID_SERVICE_CONTROL;
    return ERROR_SUCCESS;
}

// Takes the request of a client that has begun to send it, runs the
// handler on this thread and answers with the result and the status
// reported by then.
void ServeRequest(ServiceStatusHandle& service, int client) {
    uint32_t control = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestRestMs);
    if (!ReadFull(client, &control, sizeof control, deadline)) return;
    LPHANDLER_FUNCTION handler;
    DWORD refusal;
    {
        std::lock_guard<std::mutex> lock(service.lock);
        handler = service.handler;
        refusal = Refusal(service.status, handler != nullptr, control);
    }
    if (refusal == ERROR_SUCCESS) handler(control);
    uint32_t reply[8];
    reply[0] = refusal;
    {
        std::lock_guard<std::mutex> lock(service.lock);
        std::memcpy(reply + 1, &service.status, sizeof service.status);
    }
    [[maybe_unused]] bool sent = SendFull(client, reply, sizeof reply);
}

// A connection waiting for its request.
struct Client {
    ScopedFd fd;
    std::chrono::steady_clock::time_point deadline;
};

// Accepts what connections are waiting, as many as there is room for
// (`accepted` tells whether any came); the errno when the process is short
// of descriptors or memory to take the next, which then stays waiting, or 0.
int AcceptClients(int listener, std::vector<Client>& clients, bool& accepted) {
    for (;;) {
        ScopedFd client(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!client)
            return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM ? errno
                                                                                             : 0;
        accepted = true;
        if (clients.size() >= kMaxClients || !PeerMayControl(client.Get())) continue;
        clients.push_back({std::move(client), std::chrono::steady_clock::now() +
                                                  std::chrono::milliseconds(kRequestTimeoutMs)});
    }
}

// Serves control requests until the service's entry point returns: any
// connection whose request has come is served, whatever the others do; one
// that sends nothing in time is dropped.
void ServeControls(ServiceStatusHandle& service, int listener) {
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    // While the process is short of descriptors, waiting connections would
    // keep the listener readable: it rests until then instead of spinning,
    // and says so on standard error once per shortage.
    auto listenerRests = std::chrono::steady_clock::time_point::min();
    bool shortage = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(service.lock);
            if (service.mainReturned) return;
        }
        auto now = std::chrono::steady_clock::now();
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [&](const Client& c) { return c.deadline <= now; }),
                      clients.end());
        int timeout = -1;
        const bool resting = now < listenerRests;
        if (resting)
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(listenerRests - now).count());
        // poll skips a negative descriptor.
        fds.assign({{resting ? -1 : listener, POLLIN, 0}, {service.wake.Get(), POLLIN, 0}});
        for (const Client& client : clients) {
            fds.push_back({client.fd.Get(), POLLIN, 0});
            auto left = std::chrono::ceil<std::chrono::milliseconds>(client.deadline - now);
            timeout = timeout < 0 ? static_cast<int>(left.count())
                                  : std::min(timeout, static_cast<int>(left.count()));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) DrainEventFd(service.wake.Get());
        std::vector<Client> waiting;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (fds[i + 2].revents == 0) {
                waiting.push_back(std::move(clients[i]));
                continue;
            }
            if (fds[i + 2].revents & POLLIN) ServeRequest(service, clients[i].fd.Get());
        }
        clients = std::move(waiting);
        if (!(fds[0].revents & POLLIN)) continue;
        bool accepted = false;
        const int shortOf = AcceptClients(listener, clients, accepted);
        if (accepted && shortage) {
            std::fprintf(stderr, "StartServiceCtrlDispatcher: accepting again\n");
            shortage = false;
        }
        if (shortOf == 0) continue;
        if (!shortage)
            std::fprintf(stderr, "StartServiceCtrlDispatcher: accept: %s; retrying every %d ms\n",
                         std::strerror(shortOf), kShortageRestMs);
        shortage = true;
        listenerRests =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kShortageRestMs);
    }
}

// An entry point that returned without reporting the end has stopped.
void ReportEnd(ServiceStatusHandle& service) {
    SERVICE_STATUS stopped;
    {
        std::lock_guard<std::mutex> lock(service.lock);
        if (service.status.dwCurrentState == SERVICE_STOPPED) return;
        stopped = service.status;
    }
    stopped.dwCurrentState = SERVICE_STOPPED;
    stopped.dwControlsAccepted = 0;
    stopped.dwCheckPoint = 0;
    stopped.dwWaitHint = 0;
    if (stopped.dwWin32ExitCode == ERROR_SUCCESS) stopped.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    SetServiceStatus(&service, &stopped);
}

}  // namespace
}  // namespace platform::services

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    using namespace platform::services;
    StartVariables start;
    if (!TakeStartVariables(start) || !ClaimStart(start))
        return FailWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const SERVICE_TABLE_ENTRYA* entry = FindEntry(serviceTable, start.name);
    if (!entry) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);

    ScopedFd listener(OpenControlChannel(start.name));
    ServiceStatusHandle service;
    service.name = start.name;
    service.token = start.token;
    service.wake.Reset(platform::NewEventFd());
    if (!listener || !service.wake) {
        if (listener) RemoveControlChannel(start.name);
        return FailWith(service.wake ? GetLastError() : platform::SetLastErrorFromErrno());
    }
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        g_dispatcher = &service;
    }

    // The entry point gets the started service's name and the start
    // arguments.
    std::vector<std::string> args = start.args;
    args.insert(args.begin(), start.name);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    LPSERVICE_MAIN_FUNCTIONA serviceMain = entry->lpServiceProc;
    std::thread mainThread([&] {
        serviceMain(static_cast<DWORD>(args.size()), argv.data());
        std::lock_guard<std::mutex> lock(service.lock);
        service.mainReturned = true;
        platform::WakeEventFd(service.wake.Get());
    });
    if (start.ready) {
        PutMessage(start.ready.Get(), kMsgReady, 0);
        start.ready.Reset();
    }

    ServeControls(service, listener.Get());
    mainThread.join();
    listener.Reset();
    RemoveControlChannel(start.name);
    ReportEnd(service);
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        g_dispatcher = nullptr;
    }
    if (FindRecord(start.name) == Record::kMarkedForDelete) RemoveService(start.name);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
    using namespace platform::services;
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    if (!g_dispatcher || !serviceName ||
        !platform::AsciiEqualNoCase(serviceName, g_dispatcher->name)) {
        return platform::FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    if (!handler) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> serviceLock(g_dispatcher->lock);
    g_dispatcher->handler = handler;
    return g_dispatcher;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    using namespace platform::services;
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        if (!handle || handle != g_dispatcher) return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!status || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED)
        return FailWith(ERROR_INVALID_DATA);
    {
        std::lock_guard<std::mutex> lock(handle->lock);
        handle->status = *status;
    }
    bool written = false;
    {
        StatusLock lock(handle->name);
        if (lock.Held()) {
            StatusRecord record = ReadRecord(handle->name);
            record.status = *status;
            record.pid = static_cast<int32_t>(getpid());
            record.token = handle->token;
            written = WriteRecord(handle->name, record);
        }
    }
    platform::WakeEventFd(handle->wake.Get());
    return written ? TRUE : FALSE;
}
