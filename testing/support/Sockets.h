// What a test sees of its TCP sockets on the loopback: ports, and what the other end has read.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tavro::testing {

// A TCP listener on an ephemeral port of 127.0.0.1 (close-on-exec), its
// port in `port`; -1 when it fails. The caller closes it.
inline int ListenLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(at.sin_port);
    return fd;
}

// A blocking TCP connection to `port` on 127.0.0.1 (close-on-exec); -1 when
// it fails. The caller closes it.
inline int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    ::close(fd);
    return -1;
}

// The local port of an IPv4 socket; -1 when it has none.
inline int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    return ntohs(address.sin_port);
}

// The bytes in the receive queue of the IPv4 TCP socket from `localPort` to
// `remotePort` on this host, as the kernel's socket table shows them; -1
// when there is no such socket.
inline long UnreadBytes(int localPort, int remotePort) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    auto port = [](const std::string& address) {
        size_t colon = address.find(':');
        return colon == std::string::npos ? -1 : std::stoi(address.substr(colon + 1), nullptr, 16);
    };
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (port(local) != localPort || port(remote) != remotePort) continue;
        size_t colon = queues.find(':');
        return colon == std::string::npos ? -1 : std::stol(queues.substr(colon + 1), nullptr, 16);
    }
    return -1;
}

// Whether everything sent on the loopback TCP socket `fd` has reached the
// other end and been read there: how a test sees a peer in this process or
// another take an answer in, without waiting a fixed time.
inline bool PeerReadAll(int fd) {
    int unacknowledged = -1;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged != 0) return false;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    return UnreadBytes(ntohs(peer.sin_port), LocalPort(fd)) == 0;
}

}  // namespace tavro::testing
