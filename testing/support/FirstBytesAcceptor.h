// Accepting for servers that serve one connection at a time: a caller is served once it speaks.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace tavro::testing {

// Hands a one-at-a-time server its connections in the order their callers
// send their first bytes, so that a caller that connects and says nothing
// never stands in front of the others. Accepted connections wait side by
// side, at most `maxPending` of them (a caller beyond that is closed at
// once), each at most `firstBytesMs` for its first byte (then it is
// closed). Running out of descriptors or memory is waited out (100 ms at a
// time), reported once on standard error per shortage.
class FirstBytesAcceptor {
public:
    FirstBytesAcceptor(int listener, int maxPending, int firstBytesMs)
        : listener_(listener), maxPending_(maxPending), firstBytesMs_(firstBytesMs) {}
    FirstBytesAcceptor(const FirstBytesAcceptor&) = delete;
    FirstBytesAcceptor& operator=(const FirstBytesAcceptor&) = delete;
    ~FirstBytesAcceptor() {
        for (const Pending& p : pending_) ::close(p.fd);
    }

    // The next connection whose caller has sent something (or closed: the
    // server then reads the end), blocking; -1 when nothing at all happened
    // for idleMs (no caller came, none spoke) or the listener failed.
    int Next(int idleMs) {
        auto idleUntil = Clock::now() + std::chrono::milliseconds(idleMs);
        for (;;) {
            const auto now = Clock::now();
            DropExpired(now);
            std::vector<pollfd> fds;
            fds.push_back({listener_, POLLIN, 0});
            for (const Pending& p : pending_) fds.push_back({p.fd, POLLIN, 0});
            auto wakeAt = idleUntil;
            for (const Pending& p : pending_)
                if (p.deadline < wakeAt) wakeAt = p.deadline;
            if (now >= idleUntil) return -1;
            const auto waitMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1;
            const int n = ::poll(fds.data(), fds.size(), static_cast<int>(waitMs));
            if (n < 0 && errno != EINTR) return -1;
            if (n <= 0) continue;
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const int fd = pending_[i - 1].fd;
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i - 1));
                return fd;
            }
            if (fds[0].revents & (POLLERR | POLLNVAL)) return -1;
            if (fds[0].revents == 0) continue;
            if (!AcceptOne()) return -1;
            idleUntil = Clock::now() + std::chrono::milliseconds(idleMs);
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int fd;
        Clock::time_point deadline;
    };

    void DropExpired(Clock::time_point now) {
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            ::close(it->fd);
            it = pending_.erase(it);
        }
    }

    // False when the listener failed for good.
    bool AcceptOne() {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return true;
            if (errno != EMFILE && errno != ENFILE && errno != ENOMEM && errno != ENOBUFS)
                return false;
            if (!shortage_) std::perror("accept (retrying every 100 ms)");
            shortage_ = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return true;
        }
        shortage_ = false;
        if (static_cast<int>(pending_.size()) >= maxPending_) {
            ::close(fd);
            return true;
        }
        pending_.push_back({fd, Clock::now() + std::chrono::milliseconds(firstBytesMs_)});
        return true;
    }

    int listener_;
    int maxPending_;
    int firstBytesMs_;
    bool shortage_ = false;
    std::vector<Pending> pending_;
};

}  // namespace tavro::testing
