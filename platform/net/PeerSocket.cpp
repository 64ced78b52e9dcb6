// The local socket at the other end of a TCP connection, from the kernel's socket tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "platform/PeerSocket.h"

namespace platform {
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

// The two ends of a connection as its peer's line in the tables shows them:
// the peer's end first.
struct Wanted {
    End local;
    End remote;
    bool valid = false;
};

// Fills, for each wanted connection not found yet, the line whose local
// and remote ends are the wanted ones, from the table `path`. A peer may
// hold an IPv6 socket that talks IPv4 through mapped addresses (as a Java
// runtime does): its line is in the IPv6 table.
void FindLinesIn(const char* path, bool six, const std::vector<Wanted>& wanted,
                 std::vector<LocalPeerSocket>& found) {
    size_t left = 0;
    for (size_t i = 0; i < wanted.size(); ++i) left += wanted[i].valid && found[i].inode == 0;
    if (left == 0) return;
    std::FILE* table = std::fopen(path, "re");
    if (!table) return;
    char line[512];
    // The header line has no address; every other line reads
    // "sl: LOCAL REMOTE st queues timer retransmits uid timeout inode".
    while (left > 0 && std::fgets(line, sizeof line, table)) {
        char localText[64], remoteText[64];
        unsigned long long inode = 0;
        unsigned long owner = 0;
        if (std::sscanf(line, " %*u: %63s %63s %*X %*X:%*X %*X:%*X %*X %lu %*u %llu", localText,
                        remoteText, &owner, &inode) != 4)
            continue;
        End a{}, b{};
        if (!ParseEnd(localText, six, a) || !ParseEnd(remoteText, six, b)) continue;
        for (size_t i = 0; i < wanted.size(); ++i) {
            const Wanted& w = wanted[i];
            if (!w.valid || found[i].inode != 0 || a.address != w.local.address ||
                a.port != w.local.port || b.address != w.remote.address || b.port != w.remote.port)
                continue;
            found[i] = {inode, static_cast<uid_t>(owner)};
            --left;
        }
    }
    std::fclose(table);
}

// The peer's ends of the IPv4 TCP connection `fd`: its local end is this
// one's remote end.
Wanted WantedOf(int fd) {
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
    return {EndOf(remote), EndOf(local), true};
}

}  // namespace

std::vector<LocalPeerSocket> FindLocalPeerSockets(const std::vector<int>& fds) {
    std::vector<Wanted> wanted;
    for (int fd : fds) wanted.push_back(WantedOf(fd));
    std::vector<LocalPeerSocket> found(fds.size());
    FindLinesIn("/proc/net/tcp", false, wanted, found);
    FindLinesIn("/proc/net/tcp6", true, wanted, found);
    return found;
}

LocalPeerSocket FindLocalPeerSocket(int fd) { return FindLocalPeerSockets({fd}).front(); }

}  // namespace platform
