// One socket descriptor of a byte-stream endpoint, closable from another thread.
#include "jexlink/transport/NetDescriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

namespace jexnet {

namespace {

// The pipe a splice passes its bytes through: large enough that a burst of
// the sender goes on in few calls. Its pages are the sockets' own (nothing
// is copied into it). It is closed when the splice ends, or kept by the
// splice's hold.
constexpr int kSplicePipeSize = 1 << 20;

// Makes a pipe for splices into fds; false when none can be had.
bool OpenSplicePipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds[0] = fds[1] = -1;
        return false;
    }
    // A larger pipe is a wish: the default one works too, in more calls.
    (void)::fcntl(fds[1], F_SETPIPE_SZ, kSplicePipeSize);
    return true;
}

void CloseSplicePipe(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

// Both ends of a pipe made for one splice, closed with the object.
struct SplicePipe {
    int fds[2] = {-1, -1};
    SplicePipe() { (void)OpenSplicePipe(fds); }
    ~SplicePipe() { CloseSplicePipe(fds); }
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;
};

// Keeps the SIGPIPE of a splice to a closed peer from ending the process:
// unlike send, splice cannot be asked for MSG_NOSIGNAL. The signal is held
// back on this thread while a hold lives and taken before the outermost one
// ends, unless one was pending already; the failed call reports EPIPE all
// the same. Holds nest: only the outermost changes the thread's mask.
struct SigpipeState {
    int depth = 0;
    bool held = false;
    bool wasPending = false;
    sigset_t pipe;
    sigset_t old;
};
thread_local SigpipeState t_sigpipe;

void HoldSigpipe() {
    SigpipeState& s = t_sigpipe;
    if (s.depth++ > 0) return;
    sigemptyset(&s.pipe);
    sigaddset(&s.pipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    s.wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    s.held = pthread_sigmask(SIG_BLOCK, &s.pipe, &s.old) == 0;
}

void ReleaseSigpipe() {
    SigpipeState& s = t_sigpipe;
    if (--s.depth > 0 || !s.held) return;
    s.held = false;
    const int saved = errno;
    sigset_t pending;
    sigemptyset(&pending);
    if (!s.wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{};
        while (sigtimedwait(&s.pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &s.old, nullptr);
    errno = saved;
}

class SigpipeHeld {
public:
    SigpipeHeld() { HoldSigpipe(); }
    ~SigpipeHeld() { ReleaseSigpipe(); }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;
};

}  // namespace

NetDescriptor::NetDescriptor() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NetDescriptor::~NetDescriptor() {
    Close();
    std::lock_guard<std::mutex> lock(mutex_);
    // The owner destroys the endpoint only once no step runs any more.
    if (deferredFd_ >= 0) ::close(deferredFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

int NetDescriptor::Fd() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_;
}

bool NetDescriptor::Closing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

bool NetDescriptor::Adopt(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (fd_ >= 0 && fd_ != fd) {
        if (users_ > 0 && deferredFd_ < 0)
            deferredFd_ = fd_;
        else
            ::close(fd_);
    }
    fd_ = fd;
    return true;
}

void NetDescriptor::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_) {
        closing_ = true;
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
        }
    }
    if (fd_ < 0) return;
    if (users_ == 0) {
        ::close(fd_);
    } else if (deferredFd_ < 0) {
        deferredFd_ = fd_;
    } else {
        ::close(fd_);  // not the one in use: only one descriptor is ever in use
    }
    fd_ = -1;
}

NetDescriptor::Use::Use(NetDescriptor& d) : fd(-1), owner_(d) {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    ++owner_.users_;
    if (!owner_.closing_) fd = owner_.fd_;
}

NetDescriptor::Use::~Use() {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    if (--owner_.users_ == 0 && owner_.deferredFd_ >= 0) {
        ::close(owner_.deferredFd_);
        owner_.deferredFd_ = -1;
    }
}

long NetDescriptor::Wait(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            wait = static_cast<int>(std::max<int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                std::chrono::steady_clock::now())
                       .count()));
        }
        const int n = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kIoFailed;
        if (n == 0) {
            errno = ETIMEDOUT;
            return kIoFailed;
        }
        if (fds[1].revents != 0) return kIoClosed;
        if (fds[0].revents & POLLNVAL) {
            errno = EBADF;
            return kIoFailed;
        }
        // Readiness, hang-up and errors all let the call itself report.
        if (fds[0].revents != 0) return 0;
    }
}

long NetDescriptor::Accept(sockaddr* address, socklen_t* length) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    for (;;) {
        const long waited = Wait(use.fd, POLLIN);
        if (waited != 0) return waited;
        socklen_t size = length ? *length : 0;
        const int fd =
            ::accept4(use.fd, address, length ? &size : nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            if (shortage_.exchange(false))
                std::fprintf(stderr, "NetDescriptor::Accept: accepting again\n");
            // The connection's own steps wait with poll; the descriptor
            // blocks again so that a program that inherits it can use it plainly.
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            if (length) *length = size;
            return fd;
        }
        // Another waiter took the connection, or it went away before accept.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            continue;
        if (!OutOfResources(errno)) return kIoFailed;
        // Out of descriptors or memory: the pending connection stays queued
        // and the listener stays readable, so trying again at once would
        // spin. Wait a little (a Close still ends the wait at once) while
        // the connections already open go on and give some back.
        if (!shortage_.exchange(true)) {
            std::fprintf(stderr, "NetDescriptor::Accept: accept: %s; retrying every %d ms\n",
                         std::strerror(errno), kShortageRetryMs);
        }
        if (Pause(kShortageRetryMs) != 0) return kIoClosed;
    }
}

bool NetDescriptor::OutOfResources(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

long NetDescriptor::Pause(int ms) {
    pollfd wake{wakeFd_, POLLIN, 0};
    const int n = ::poll(&wake, wakeFd_ >= 0 ? 1 : 0, ms);
    if (n > 0) return kIoClosed;
    return Closing() ? kIoClosed : 0;
}

long NetDescriptor::Connect(const sockaddr* address, socklen_t length, int timeoutMs) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    const int flags = ::fcntl(use.fd, F_GETFL);
    ::fcntl(use.fd, F_SETFL, flags | O_NONBLOCK);
    long result = 0;
    if (::connect(use.fd, address, length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            result = kIoFailed;
        } else {
            result = Wait(use.fd, POLLOUT, timeoutMs);
            int err = 0;
            socklen_t size = sizeof err;
            if (result == 0 && ::getsockopt(use.fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
                err = errno;
            if (result == 0 && err != 0) {
                errno = err;
                result = kIoFailed;
            }
        }
    }
    const int saved = errno;
    ::fcntl(use.fd, F_SETFL, flags & ~O_NONBLOCK);
    errno = saved;
    return result;
}

long NetDescriptor::Read(char* p, size_t n, bool waitFirst) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    if (waitFirst) {
        const long waited = Wait(use.fd, POLLIN);
        if (waited != 0) return waited;
    }
    // Try first, wait only when nothing is there: one call per read when
    // data flows.
    for (;;) {
        const ssize_t got = ::recv(use.fd, p, n, MSG_DONTWAIT);
        if (got >= 0) return got;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kIoFailed;
        const long waited = Wait(use.fd, POLLIN);
        if (waited != 0) return waited;
    }
}

long NetDescriptor::Write(const char* p, size_t n, bool more) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    // MSG_NOSIGNAL: a closed peer is an error here, never a signal.
    const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    for (;;) {
        const ssize_t put = ::send(use.fd, p, n, flags);
        if (put > 0 || (put == 0 && n == 0)) return put;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kIoFailed;
        const long waited = Wait(use.fd, POLLOUT);
        if (waited != 0) return waited;
    }
}

long NetDescriptor::WriteVector(const iovec* pieces, int count, bool more) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    size_t n = 0;
    for (int i = 0; i < count; ++i) n += pieces[i].iov_len;
    const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    for (;;) {
        const ssize_t put = ::sendmsg(use.fd, &message, flags);
        if (put > 0 || (put == 0 && n == 0)) return put;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kIoFailed;
        const long waited = Wait(use.fd, POLLOUT);
        if (waited != 0) return waited;
    }
}

void NetDescriptor::SpliceBeginLocked(int fd) {
    if (splices_++ > 0) return;
    const int flags = ::fcntl(fd, F_GETFL);
    const bool made =
        flags >= 0 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    nonBlockingFd_ = made ? fd : -1;
}

void NetDescriptor::SpliceEndLocked() {
    if (--splices_ > 0 || nonBlockingFd_ < 0) return;
    const int made = nonBlockingFd_;
    nonBlockingFd_ = -1;
    // Only the descriptor made non-blocking, while it is still held: once
    // closed its number may name another file.
    if (fd_ < 0 || fd_ != made) return;
    const int saved = errno;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    errno = saved;
}

void NetDescriptor::SpliceBegin(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    SpliceBeginLocked(fd);
}

void NetDescriptor::SpliceEnd() {
    std::lock_guard<std::mutex> lock(mutex_);
    SpliceEndLocked();
}

NetDescriptor::Splicing::Splicing(NetDescriptor& d, int fd) : owner_(d) { owner_.SpliceBegin(fd); }

NetDescriptor::Splicing::~Splicing() { owner_.SpliceEnd(); }

bool NetDescriptor::HoldSpliceMode() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || closing_) return false;
    SpliceBeginLocked(fd_);
    return true;
}

NetDescriptor::SpliceReady::SpliceReady(NetDescriptor& from, NetDescriptor& to)
    : from_(from), to_(to) {
    HoldSigpipe();
    fromHeld_ = from_.HoldSpliceMode();
    toHeld_ = to_.HoldSpliceMode();
}

NetDescriptor::SpliceReady::~SpliceReady() {
    ClosePipe();
    if (toHeld_) to_.SpliceEnd();
    if (fromHeld_) from_.SpliceEnd();
    ReleaseSigpipe();
}

bool NetDescriptor::SpliceReady::OpenPipe() { return HoldsPipe() || OpenSplicePipe(pipe_); }

void NetDescriptor::SpliceReady::ClosePipe() { CloseSplicePipe(pipe_); }

void NetDescriptor::SpliceReady::ReleasePipeWhenIdle(int idleMs) {
    if (!HoldsPipe()) return;
    Use use(from_);
    const int saved = errno;
    if (use.fd < 0 || from_.Wait(use.fd, POLLIN, idleMs) != 0) ClosePipe();
    errno = saved;
}

NetDescriptor::SpliceResult NetDescriptor::SpliceTo(NetDescriptor& to, size_t n,
                                                    SpliceReady* ready) {
    if (ready && (&ready->from_ != this || &ready->to_ != &to)) ready = nullptr;
    const SpliceResult result = SpliceThrough(to, n, ready);
    // A splice that stopped early may leave bytes in the pipe: they must
    // not reach the next record.
    if (ready && result.stop != SpliceResult::Stop::kDone) ready->ClosePipe();
    return result;
}

NetDescriptor::SpliceResult NetDescriptor::SpliceThrough(NetDescriptor& to, size_t n,
                                                         SpliceReady* ready) {
    using Stop = SpliceResult::Stop;
    SpliceResult result;
    if (n == 0) return result;
    Use from(*this);
    Use into(to);
    if (from.fd < 0) {
        result.stop = Closing() ? Stop::kReadEnd : Stop::kReadFailed;
        result.err = EBADF;
        return result;
    }
    if (into.fd < 0) {
        result.stop = Stop::kWriteFailed;
        result.err = EBADF;
        return result;
    }
    std::optional<SplicePipe> own;
    if (!ready) own.emplace();
    if (ready ? !ready->OpenPipe() : own->fds[0] < 0) {
        result.stop = Stop::kUnsupported;
        return result;
    }
    const int(&pipe)[2] = ready ? ready->pipe_ : own->fds;
    // The sockets must not block inside the calls (a blocked splice would
    // not see Close); their other steps never block whatever the mode. They
    // block again once the last splice on them ends, as a program that
    // inherits them expects.
    const Splicing reading(*this, from.fd);
    const Splicing writing(to, into.fd);
    constexpr unsigned kFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
    const SigpipeHeld quiet;
    while (result.given < n) {
        bool moved = false;
        if (result.taken < n) {
            const ssize_t r =
                ::splice(from.fd, nullptr, pipe[1], nullptr, n - result.taken, kFlags);
            if (r > 0) {
                result.taken += static_cast<size_t>(r);
                moved = true;
            } else if (r == 0) {
                result.stop = Stop::kReadEnd;
                return result;
            } else if (errno == EINVAL && result.taken == 0) {
                result.stop = Stop::kUnsupported;
                return result;
            } else if (errno != EAGAIN && errno != EINTR) {
                // EAGAIN: nothing there yet, or the pipe is full.
                result.stop = Stop::kReadFailed;
                result.err = errno;
                return result;
            }
        }
        if (result.taken > result.given) {
            const ssize_t w =
                ::splice(pipe[0], nullptr, into.fd, nullptr, result.taken - result.given, kFlags);
            if (w > 0) {
                result.given += static_cast<size_t>(w);
                moved = true;
            } else if (w == 0 || (errno != EAGAIN && errno != EINTR)) {
                result.stop = Stop::kWriteFailed;
                result.err = w == 0 ? EIO : errno;
                return result;
            }
        }
        if (moved) continue;
        // Bytes in the pipe wait for the far side first (a full pipe also
        // refuses more reading); an empty pipe waits for the near side.
        if (result.taken > result.given) {
            const long waited = to.Wait(into.fd, POLLOUT);
            if (waited == 0) continue;
            result.stop = Stop::kWriteFailed;
            result.err = waited == kIoClosed ? EBADF : errno;
            return result;
        }
        const long waited = Wait(from.fd, POLLIN);
        if (waited == 0) continue;
        result.stop = waited == kIoClosed ? Stop::kReadEnd : Stop::kReadFailed;
        result.err = waited == kIoClosed ? 0 : errno;
        return result;
    }
    return result;
}

}  // namespace jexnet
