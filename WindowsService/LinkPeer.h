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

}  // namespace link_peer
