// What a test sees of its TCP sockets on the loopback: ports, and what the other end has read.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tavro::testing {

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
