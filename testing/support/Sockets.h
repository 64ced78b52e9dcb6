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

// A host name that the resolver refuses before it asks a name server: its
// first label is longer than the 63 bytes a DNS label can hold, so a look-up
// of it fails at once and sends nothing (a name like no-such-host.invalid
// is asked of the configured name server first).
inline constexpr const char kUnresolvableHost[] =
    "no-such-host-with-a-label-longer-than-sixty-three-bytes-cannot-be-asked.invalid";

// The IPv4 address of `port` on 127.0.0.1 (0: any free port when bound).
inline sockaddr_in LoopbackAddress(int port = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// The same as the generic address the socket calls take.
inline const sockaddr* AsSockaddr(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

// The transport address ("T/127.0.0.1/<port>") of `port` on the loopback.
inline std::string LoopbackTransportAddress(const std::string& port) {
    return "T/127.0.0.1/" + port;
}
inline std::string LoopbackTransportAddress(int port) {
    return LoopbackTransportAddress(std::to_string(port));
}

// The local port of an IPv4 socket; -1 when it has none.
inline int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    return ntohs(address.sin_port);
}

// A TCP listener on `port` of 127.0.0.1 (0: an ephemeral one; close-on-exec),
// with `backlog` waiting connections at the most; -1 when it fails. With
// `reuse` a fixed port is taken again at once after an earlier run. The
// caller closes it.
inline int ListenLoopbackOn(int port, int backlog = 16, bool reuse = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in at = LoopbackAddress(port);
    if (::bind(fd, AsSockaddr(at), sizeof at) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A TCP listener on an ephemeral port of 127.0.0.1 (close-on-exec), its
// port in `port`; -1 when it fails. The caller closes it.
inline int ListenLoopback(int& port, int backlog = 16) {
    const int fd = ListenLoopbackOn(0, backlog);
    if (fd < 0) return -1;
    port = LocalPort(fd);
    if (port > 0) return fd;
    ::close(fd);
    return -1;
}

// A blocking TCP connection to `port` on 127.0.0.1 (close-on-exec); -1 when
// it fails. The caller closes it.
inline int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in to = LoopbackAddress(port);
    if (::connect(fd, AsSockaddr(to), sizeof to) == 0) return fd;
    ::close(fd);
    return -1;
}

// A port of 127.0.0.1 that was free a moment ago and that nobody listens
// on: bound once and let go. -1 when none could be bound.
inline int ClosedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in at = LoopbackAddress();
    const int port = ::bind(fd, AsSockaddr(at), sizeof at) == 0 ? LocalPort(fd) : -1;
    ::close(fd);
    return port;
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
