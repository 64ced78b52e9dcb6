// One socket descriptor of a byte-stream endpoint, closable from another thread.
#include "jexlink/transport/NetDescriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace jexnet {

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

long NetDescriptor::Read(char* p, size_t n, bool wait_first) {
    Use use(*this);
    if (use.fd < 0) return Closing() ? kIoClosed : (errno = EBADF, kIoFailed);
    if (wait_first) {
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

}  // namespace jexnet
