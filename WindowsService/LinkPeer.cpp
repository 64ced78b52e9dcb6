// LinkPeer: which local process holds the other end of a link connection.
#include "WindowsService/LinkPeer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace link_peer {
namespace {

// The socket inode of the connection whose local end is `local` and whose
// remote end is `remote`; 0 when the table has no such line.
uint64_t SocketInode(const sockaddr_in& local, const sockaddr_in& remote) {
    std::FILE* table = std::fopen("/proc/net/tcp", "re");
    if (!table) return 0;
    char line[512];
    uint64_t inode = 0;
    // The header line has no address; every other line reads
    // "sl: LLLLLLLL:PPPP RRRRRRRR:PPPP st queues timer retransmits uid timeout inode".
    while (inode == 0 && std::fgets(line, sizeof line, table)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0;
        unsigned long long found = 0;
        if (std::sscanf(line, " %*u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %*u %*u %llu",
                        &localAddress, &localPort, &remoteAddress, &remotePort, &found) != 5)
            continue;
        // The kernel prints the address as the integer that holds it in
        // network order, and the port in host order.
        if (localAddress == local.sin_addr.s_addr && localPort == ntohs(local.sin_port) &&
            remoteAddress == remote.sin_addr.s_addr && remotePort == ntohs(remote.sin_port))
            inode = found;
    }
    std::fclose(table);
    return inode;
}

bool HoldsInode(pid_t pid, uint64_t inode) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (!fds) return false;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    bool held = false;
    while (!held) {
        dirent* entry = readdir(fds);
        if (!entry) break;
        if (entry->d_name[0] == '.') continue;
        char target[64];
        ssize_t length = readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        held = wanted == target;
    }
    closedir(fds);
    return held;
}

}  // namespace

bool ProcessHoldsPeerEnd(int fd, pid_t pid) {
    if (pid <= 0) return false;
    sockaddr_in local{};
    sockaddr_in remote{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return false;
    length = sizeof remote;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0 ||
        remote.sin_family != AF_INET)
        return false;
    // The peer's socket is the one whose local end is this one's remote end.
    uint64_t inode = SocketInode(remote, local);
    return inode != 0 && HoldsInode(pid, inode);
}

}  // namespace link_peer
