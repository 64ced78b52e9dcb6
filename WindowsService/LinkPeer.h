// LinkPeer: which local process holds the other end of a link connection.
#pragma once

#include <sys/types.h>

namespace link_peer {

// True when process `pid` holds, among its open descriptors, the socket at
// the other end of the TCP connection `fd` (both ends on this host). The
// connection is looked up in the kernel's table of IPv4 TCP sockets and
// the process's descriptors are read from /proc; a process of another user,
// one that has ended, or a peer on another host gives false.
bool ProcessHoldsPeerEnd(int fd, pid_t pid);

// The credentials of a local TCP peer, as SO_PEERCRED gives them on a local
// socket: true when the socket at the other end of `fd` is on this host and
// belongs to this process's effective user (the user that the service and
// the director it starts run as) or to root. A peer on another host, or one
// whose socket has gone, gives false.
bool PeerIsOwnUser(int fd);

}  // namespace link_peer
