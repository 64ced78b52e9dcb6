// The local socket at the other end of a TCP connection, as the kernel's socket tables show it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace platform {

// One socket of the kernel's TCP tables: its inode and the user that owns it.
struct LocalPeerSocket {
    uint64_t inode = 0;  // 0: no such socket on this host
    uid_t uid = 0;
};

// The socket at the other end of the IPv4 TCP connection `fd`, when both
// ends are on this host (looked up in /proc/net/tcp, then in /proc/net/tcp6
// for a peer that talks IPv4 through mapped addresses); inode 0 for a peer
// on another host, one whose socket has gone, or a descriptor that is no
// IPv4 TCP connection.
LocalPeerSocket FindLocalPeerSocket(int fd);
// The same for several connections, in one pass over the tables (which are
// long on a busy host: a pass can take tens of milliseconds); one entry per
// descriptor, in order.
std::vector<LocalPeerSocket> FindLocalPeerSockets(const std::vector<int>& fds);

}  // namespace platform
