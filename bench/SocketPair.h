// The plain peer the benchmarks measure against: a connected pair of TCP
// sockets on 127.0.0.1, and whole-block reads and writes on them.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testing/support/Sockets.h"

namespace tavro::bench {

// Turns Nagle's delay off on a TCP socket.
inline void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Two ends of one TCP connection on 127.0.0.1, Nagle's delay off on both;
// both close with the object. ok() is false when any step failed.
class SocketPair {
public:
    SocketPair() {
        int port = 0;
        const int listener = testing::ListenLoopback(port, 1);
        if (listener < 0) return;
        client_ = testing::ConnectLoopback(port);
        if (client_ >= 0) server_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
        for (int fd : {client_, server_})
            if (fd >= 0) NoDelay(fd);
    }
    ~SocketPair() {
        for (int fd : {client_, server_})
            if (fd >= 0) ::close(fd);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    bool ok() const { return client_ >= 0 && server_ >= 0; }
    int client() const { return client_; }
    int server() const { return server_; }

private:
    int client_ = -1;
    int server_ = -1;
};

// Reads exactly `n` bytes; false at the end of the stream or on an error.
inline bool ReadAll(int fd, char* p, int n) {
    for (int got = 0; got < n;) {
        const ssize_t r = ::recv(fd, p + got, static_cast<size_t>(n - got), 0);
        if (r <= 0) return false;
        got += static_cast<int>(r);
    }
    return true;
}

// Writes all `n` bytes; false when the connection fails.
inline bool WriteAll(int fd, const char* p, int n) {
    for (int put = 0; put < n;) {
        const ssize_t w = ::send(fd, p + put, static_cast<size_t>(n - put), MSG_NOSIGNAL);
        if (w <= 0) return false;
        put += static_cast<int>(w);
    }
    return true;
}

}  // namespace tavro::bench
