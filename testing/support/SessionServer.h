// A server session for tests: one loopback connection handed over as the inherited connection.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "jexlink/session/JexSession.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Sockets.h"

namespace tavro::testing {

// Listens on an ephemeral port of 127.0.0.1. Serve() accepts one connection
// on a thread of its own and runs the caller's body there on a new server
// session (suppress flag set), whose Listen adopts the connection as the
// one it inherited (JEX_TRANSPORT_TYPE "T", JEX_NET_HANDLE). A client
// reaches it through a route map holding RouteLine(...).
//
// The environment is written only by Serve(), before its thread starts, and
// names a descriptor number reserved then, onto which the accepted socket is
// moved later; so call Serve() while no other thread of the test runs, and
// Join() before the next Serve(). Every wait is bounded: a connection that
// does not come within the bound ends the thread without running the body,
// and Join() shuts the connection down when the body outlives its bound.
class SessionServer {
public:
    using Body = std::function<void(JexSession&)>;

    SessionServer() {
        int port = 0;
        listen_fd_ = ListenLoopback(port, 4);
        if (listen_fd_ >= 0) port_ = port;
    }
    SessionServer(const SessionServer&) = delete;
    SessionServer& operator=(const SessionServer&) = delete;
    ~SessionServer() {
        Join();
        if (listen_fd_ >= 0) ::close(listen_fd_);
    }

    bool Listening() const { return port_ > 0; }
    int Port() const { return port_; }
    std::string Address() const { return LoopbackTransportAddress(port_); }
    // A route map line that leads acid/node/application here.
    std::string RouteLine(const std::string& acid, const std::string& node,
                          const std::string& application) const {
        return RouteEntry(acid + "/" + node + "/" + application, Address(), 1);
    }

    // Starts the thread that serves one connection with body.
    bool Serve(Body body, std::chrono::seconds acceptBound = std::chrono::seconds(30)) {
        if (!Listening() || thread_.joinable()) return false;
        reserved_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (reserved_fd_ < 0) return false;
        ::setenv("JEX_TRANSPORT_TYPE", "T", 1);
        ::setenv("JEX_NET_HANDLE", std::to_string(reserved_fd_).c_str(), 1);
        accepted_ = false;
        std::promise<void> ended;
        done_ = ended.get_future();
        thread_ = std::thread(
            [this, body = std::move(body), acceptBound, ended = std::move(ended)]() mutable {
                Run(body, acceptBound);
                ended.set_value();
            });
        return true;
    }

    // Waits for the body; when it outlives the bound, shuts its connection
    // down so that its waits end, then waits for it. False in that case.
    bool Join(std::chrono::seconds bound = std::chrono::seconds(60)) {
        if (!thread_.joinable()) return true;
        bool inTime = done_.wait_for(bound) == std::future_status::ready;
        if (!inTime) {
            stop_ = true;
            if (accepted_) ::shutdown(reserved_fd_, SHUT_RDWR);
        }
        thread_.join();
        stop_ = false;
        return inTime;
    }

    // Whether the last Serve() got its connection.
    bool Accepted() const { return accepted_; }

private:
    void Run(Body& body, std::chrono::seconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        int fd = -1;
        while (fd < 0 && !stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        }
        if (fd < 0 || ::dup3(fd, reserved_fd_, O_CLOEXEC) < 0) {
            if (fd >= 0) ::close(fd);
            ::close(reserved_fd_);
            return;
        }
        ::close(fd);
        struct stat before {};
        ::fstat(reserved_fd_, &before);
        accepted_ = true;
        {
            JexSession session;
            session.SetSuppress(1);
            body(session);
        }
        // A body that never let the session adopt the connection leaves it
        // open here: close it, so that the client sees the end.
        struct stat after {};
        if (::fstat(reserved_fd_, &after) == 0 && after.st_ino == before.st_ino &&
            after.st_dev == before.st_dev)
            ::close(reserved_fd_);
    }

    int listen_fd_ = -1;
    int port_ = -1;
    int reserved_fd_ = -1;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> stop_{false};
    std::future<void> done_;
    std::thread thread_;
};

}  // namespace tavro::testing
