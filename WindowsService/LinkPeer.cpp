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

// One end of a connection as the kernel's tables print it: the address as
// the integer that holds it in network order, the port in host order.
struct End {
    uint32_t address;
    unsigned port;
};

End EndOf(const sockaddr_in& address) { return {address.sin_addr.s_addr, ntohs(address.sin_port)}; }

// Reads "AAAAAAAA:PPPP" (IPv4) or, with `six`, "W0W1W2W3:PPPP" where the
// IPv6 address must be an IPv4-mapped one; false for anything else.
bool ParseEnd(const char* text, bool six, End& end) {
    if (!six) return std::sscanf(text, "%8X:%4X", &end.address, &end.port) == 2;
    unsigned words[4];
    if (std::sscanf(text, "%8X%8X%8X%8X:%4X", &words[0], &words[1], &words[2], &words[3],
                    &end.port) != 5)
        return false;
    end.address = words[3];
    return words[0] == 0 && words[1] == 0 && words[2] == htonl(0x0000FFFFu);
}

// What the kernel's table says of one socket: its inode and its owner.
struct SocketLine {
    uint64_t inode = 0;
    uid_t uid = 0;
};

// The line of the connection whose local end is `local` and whose remote
// end is `remote`, in the table `path`; inode 0 when it has no such line.
// A peer may hold an IPv6 socket that talks IPv4 through mapped addresses
// (as a Java runtime does): its line is in the IPv6 table.
SocketLine SocketLineIn(const char* path, bool six, const End& local, const End& remote) {
    SocketLine result;
    std::FILE* table = std::fopen(path, "re");
    if (!table) return result;
    char line[512];
    // The header line has no address; every other line reads
    // "sl: LOCAL REMOTE st queues timer retransmits uid timeout inode".
    while (result.inode == 0 && std::fgets(line, sizeof line, table)) {
        char localText[64], remoteText[64];
        unsigned long long found = 0;
        unsigned long owner = 0;
        if (std::sscanf(line, " %*u: %63s %63s %*X %*X:%*X %*X:%*X %*X %lu %*u %llu", localText,
                        remoteText, &owner, &found) != 4)
            continue;
        End a{}, b{};
        if (!ParseEnd(localText, six, a) || !ParseEnd(remoteText, six, b)) continue;
        if (a.address == local.address && a.port == local.port && b.address == remote.address &&
            b.port == remote.port)
            result = {found, static_cast<uid_t>(owner)};
    }
    std::fclose(table);
    return result;
}

SocketLine FindSocket(const sockaddr_in& local, const sockaddr_in& remote) {
    SocketLine found = SocketLineIn("/proc/net/tcp", false, EndOf(local), EndOf(remote));
    if (found.inode == 0) found = SocketLineIn("/proc/net/tcp6", true, EndOf(local), EndOf(remote));
    return found;
}

// The line of the socket at the other end of the TCP connection `fd`, when
// both ends are on this host; inode 0 otherwise.
SocketLine PeerSocket(int fd) {
    sockaddr_in local{};
    sockaddr_in remote{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return {};
    length = sizeof remote;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0 ||
        remote.sin_family != AF_INET)
        return {};
    // The peer's socket is the one whose local end is this one's remote end.
    return FindSocket(remote, local);
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
    const uint64_t inode = PeerSocket(fd).inode;
    return inode != 0 && HoldsInode(pid, inode);
}

bool PeerIsOwnUser(int fd) {
    const SocketLine peer = PeerSocket(fd);
    return peer.inode != 0 && (peer.uid == geteuid() || peer.uid == 0);
}

}  // namespace link_peer
