// Windows Sockets 2 over POSIX sockets, with network events on kernel events.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/winsock2.h"

namespace {

std::atomic<int> g_startups{0};

int Fail(int code) {
    WSASetLastError(code);
    return SOCKET_ERROR;
}

int FailFromErrno() { return Fail(platform::WsaFromErrno(errno)); }

// False (with WSANOTINITIALISED set) while no start-up is outstanding.
bool Started() {
    if (g_startups.load() > 0) return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

// False (with WSAENOTSOCK set) unless `s` names an open socket.
bool IsSocket(SOCKET s) {
    struct stat st;
    if (platform::SocketFd(s) >= 0 && fstat(platform::SocketFd(s), &st) == 0 &&
        S_ISSOCK(st.st_mode))
        return true;
    WSASetLastError(WSAENOTSOCK);
    return false;
}

bool Usable(SOCKET s) { return Started() && IsSocket(s); }

// The network-event watch of one socket chosen by WSAEventSelect: a thread
// that polls the socket for the events still enabled and sets the event.
class Selection {
public:
    Selection(int fd, HANDLE event, int32_t mask)
        : fd_(fd), event_(event), mask_(mask), enabled_(mask) {
        wake_ = platform::NewEventFd();
        if (wake_ >= 0) watcher_ = std::thread([this] { Watch(); });
    }
    ~Selection() {
        if (wake_ < 0) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        Poke();
        watcher_.join();
        close(wake_);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    bool Watching() const { return wake_ >= 0; }

    // Lets the watcher look at the socket again (state change, re-enable).
    void Poke() { platform::WakeEventFd(wake_); }

    void Enable(int32_t bits) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            enabled_ |= bits & mask_ & ~FD_CLOSE;
        }
        Poke();
    }

    // Takes the recorded events and resets `event`, as one step against the
    // watcher, so that no report falls between the two.
    int32_t Take(HANDLE event) {
        std::lock_guard<std::mutex> lock(mutex_);
        int32_t pending = pending_;
        pending_ = 0;
        if (event) ResetEvent(event);
        return pending;
    }

private:
    void Watch() {
        for (;;) {
            short want = 0;
            bool listening = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
                int accepting = 0;
                socklen_t length = sizeof accepting;
                listening = getsockopt(fd_, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 &&
                            accepting;
                sockaddr_storage peer;
                socklen_t peerLength = sizeof peer;
                bool connected =
                    getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
                if (listening) {
                    if (enabled_ & FD_ACCEPT) want |= POLLIN;
                } else if (connected) {
                    if (enabled_ & FD_READ) want |= POLLIN;
                    if (enabled_ & FD_OOB) want |= POLLPRI;
                    if (enabled_ & FD_CLOSE) want |= POLLRDHUP;
                }
            }
            pollfd fds[2] = {{want ? fd_ : -1, want, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) platform::DrainEventFd(wake_);
            short got = fds[0].revents;
            if (!got) continue;
            int32_t bits = 0;
            if (listening) {
                if (got & POLLIN) bits |= FD_ACCEPT;
            } else {
                if (got & POLLIN) bits |= FD_READ;
                if (got & POLLPRI) bits |= FD_OOB;
                if (got & (POLLRDHUP | POLLHUP | POLLERR)) bits |= FD_CLOSE;
            }
            Report(bits);
        }
    }

    void Report(int32_t bits) {
        std::lock_guard<std::mutex> lock(mutex_);
        bits &= enabled_;
        if (!bits) {
            // The socket is ready for something not asked for; stop looking
            // at it until a call enables an event again.
            enabled_ = 0;
            return;
        }
        pending_ |= bits;
        enabled_ &= ~bits;
        SetEvent(event_);
    }

    const int fd_;
    const HANDLE event_;
    const int32_t mask_;
    int wake_ = -1;
    std::mutex mutex_;
    int32_t enabled_;
    int32_t pending_ = 0;
    bool stop_ = false;
    std::thread watcher_;
};

std::mutex g_selectionsMutex;
std::map<int, std::shared_ptr<Selection>>& Selections() {
    static auto* selections = new std::map<int, std::shared_ptr<Selection>>;
    return *selections;
}

std::shared_ptr<Selection> FindSelection(int fd) {
    std::lock_guard<std::mutex> lock(g_selectionsMutex);
    auto it = Selections().find(fd);
    return it == Selections().end() ? nullptr : it->second;
}

// Ends the watch of `fd`, if any; the watcher is joined outside the lock.
void CancelSelection(int fd) {
    std::shared_ptr<Selection> ended;
    {
        std::lock_guard<std::mutex> lock(g_selectionsMutex);
        auto it = Selections().find(fd);
        if (it == Selections().end()) return;
        ended = std::move(it->second);
        Selections().erase(it);
    }
}

void PokeSelection(int fd) {
    if (auto selection = FindSelection(fd)) selection->Poke();
}

void EnableSelection(int fd, int32_t bits) {
    if (auto selection = FindSelection(fd)) selection->Enable(bits);
}

std::vector<iovec> Vectors(LPWSABUF buffers, DWORD count) {
    std::vector<iovec> vectors(count);
    for (DWORD i = 0; i < count; ++i) vectors[i] = {buffers[i].buf, buffers[i].len};
    return vectors;
}

}  // namespace

namespace platform {

int WsaFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE:
        case ENFILE: return WSAEMFILE;
        case EAGAIN:
        case EINPROGRESS: return WSAEWOULDBLOCK;
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE: return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        default: return WSAEINVAL;
    }
}

}  // namespace platform

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (!data) return WSAEFAULT;
    BYTE major = LOBYTE(versionRequested);
    BYTE minor = HIBYTE(versionRequested);
    if (major == 0) return WSAVERNOTSUPPORTED;
    bool aboveHighest = major > 2 || (major == 2 && minor > 2);
    data->wVersion = aboveHighest ? MAKEWORD(2, 2) : versionRequested;
    data->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(data->szDescription, "Tavro sockets over POSIX");
    std::strcpy(data->szSystemStatus, "Running");
    ++g_startups;
    return 0;
}

int WSACleanup() {
    int count = g_startups.load();
    while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) return Fail(WSANOTINITIALISED);
    return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int code) { SetLastError(static_cast<DWORD>(code)); }

SOCKET WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP /*group*/,
                  DWORD /*flags*/) {
    if (!Started()) return INVALID_SOCKET;
    if (info) {
        Fail(WSAEINVAL);
        return INVALID_SOCKET;
    }
    int fd = socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailFromErrno();
        return INVALID_SOCKET;
    }
    return SOCKET(fd);
}

int closesocket(SOCKET s) {
    if (!Usable(s)) return SOCKET_ERROR;
    CancelSelection(platform::SocketFd(s));
    if (close(platform::SocketFd(s)) != 0) return FailFromErrno();
    return 0;
}

int shutdown(SOCKET s, int how) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
    if (::shutdown(platform::SocketFd(s), how) != 0) return FailFromErrno();
    return 0;
}

int bind(SOCKET s, const sockaddr* name, int nameLength) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!name || nameLength <= 0) return Fail(WSAEFAULT);
    if (::bind(platform::SocketFd(s), name, static_cast<socklen_t>(nameLength)) != 0)
        return FailFromErrno();
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (::listen(platform::SocketFd(s), backlog) != 0) return FailFromErrno();
    PokeSelection(platform::SocketFd(s));
    return 0;
}

int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!value || valueLength < 0) return Fail(WSAEFAULT);
    if (::setsockopt(platform::SocketFd(s), level, option, value,
                     static_cast<socklen_t>(valueLength)) != 0)
        return FailFromErrno();
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* nameLength) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!name || !nameLength || *nameLength < 0) return Fail(WSAEFAULT);
    socklen_t length = static_cast<socklen_t>(*nameLength);
    if (::getpeername(platform::SocketFd(s), name, &length) != 0) return FailFromErrno();
    *nameLength = static_cast<int>(length);
    return 0;
}

int WSAConnect(SOCKET s, const sockaddr* name, int nameLength, LPWSABUF callerData,
               LPWSABUF calleeData, LPQOS socketQos, LPQOS groupQos) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!name || nameLength <= 0) return Fail(WSAEFAULT);
    if ((callerData && callerData->len) || socketQos || groupQos) return Fail(WSAEOPNOTSUPP);
    if (calleeData) calleeData->len = 0;
    if (connect(platform::SocketFd(s), name, static_cast<socklen_t>(nameLength)) != 0) {
        int err = errno;
        PokeSelection(platform::SocketFd(s));
        return Fail(platform::WsaFromErrno(err));
    }
    PokeSelection(platform::SocketFd(s));
    return 0;
}

SOCKET WSAAccept(SOCKET s, sockaddr* address, int* addressLength, LPCONDITIONPROC condition,
                 DWORD_PTR /*callbackData*/) {
    if (!Usable(s)) return INVALID_SOCKET;
    if (condition) {
        Fail(WSAEOPNOTSUPP);
        return INVALID_SOCKET;
    }
    if (address && (!addressLength || *addressLength < 0)) {
        Fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    int listener = platform::SocketFd(s);
    int flags = SOCK_CLOEXEC;
    if (fcntl(listener, F_GETFL) & O_NONBLOCK) flags |= SOCK_NONBLOCK;
    socklen_t length = addressLength ? static_cast<socklen_t>(*addressLength) : 0;
    int fd = accept4(listener, address, address ? &length : nullptr, flags);
    int err = errno;
    EnableSelection(listener, FD_ACCEPT);
    if (fd < 0) {
        Fail(platform::WsaFromErrno(err));
        return INVALID_SOCKET;
    }
    if (address) *addressLength = static_cast<int>(length);
    return SOCKET(fd);
}

int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!buffers || !bytesSent) return Fail(WSAEFAULT);
    if (overlapped || completion) return Fail(WSAEOPNOTSUPP);
    std::vector<iovec> vectors = Vectors(buffers, bufferCount);
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = vectors.size();
    ssize_t sent = platform::RetryOnEintr([&] {
        return sendmsg(platform::SocketFd(s), &message, static_cast<int>(flags) | MSG_NOSIGNAL);
    });
    if (sent < 0) return FailFromErrno();
    *bytesSent = static_cast<DWORD>(sent);
    return 0;
}

int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!buffers || !bytesReceived || !flags) return Fail(WSAEFAULT);
    if (overlapped || completion) return Fail(WSAEOPNOTSUPP);
    std::vector<iovec> vectors = Vectors(buffers, bufferCount);
    msghdr message{};
    message.msg_iov = vectors.data();
    message.msg_iovlen = vectors.size();
    ssize_t received = platform::RetryOnEintr(
        [&] { return recvmsg(platform::SocketFd(s), &message, static_cast<int>(*flags)); });
    int err = errno;
    EnableSelection(platform::SocketFd(s), FD_READ | FD_OOB);
    if (received < 0) return Fail(platform::WsaFromErrno(err));
    *bytesReceived = static_cast<DWORD>(received);
    *flags = 0;
    return 0;
}

WSAEVENT WSACreateEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

BOOL WSACloseEvent(WSAEVENT event) { return CloseHandle(event); }

BOOL WSASetEvent(WSAEVENT event) { return SetEvent(event); }

BOOL WSAResetEvent(WSAEVENT event) { return ResetEvent(event); }

int WSAEventSelect(SOCKET s, WSAEVENT event, int32_t networkEvents) {
    if (!Usable(s)) return SOCKET_ERROR;
    // Writability and the end of a connect are not watched: refused rather
    // than accepted and never reported.
    if (networkEvents & (FD_WRITE | FD_CONNECT)) return Fail(WSAEINVAL);
    int fd = platform::SocketFd(s);
    CancelSelection(fd);
    if (!networkEvents) return 0;
    if (!event) return Fail(WSAEINVAL);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailFromErrno();
    auto selection = std::make_shared<Selection>(fd, event, networkEvents);
    if (!selection->Watching()) return FailFromErrno();
    std::lock_guard<std::mutex> lock(g_selectionsMutex);
    Selections()[fd] = std::move(selection);
    return 0;
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents) {
    if (!Usable(s)) return SOCKET_ERROR;
    if (!networkEvents) return Fail(WSAEFAULT);
    std::memset(networkEvents, 0, sizeof *networkEvents);
    if (auto selection = FindSelection(platform::SocketFd(s)))
        networkEvents->lNetworkEvents = selection->Take(event);
    else if (event)
        ResetEvent(event);
    return 0;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeout,
                               BOOL /*alertable*/) {
    if (!count || count > WSA_MAXIMUM_WAIT_EVENTS || !events) {
        WSASetLastError(WSAEINVAL);
        return WSA_WAIT_FAILED;
    }
    return WaitForMultipleObjects(count, events, waitAll, timeout);
}
