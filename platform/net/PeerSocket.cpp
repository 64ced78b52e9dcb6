// The local socket at the other end of a TCP connection, from the kernel's socket tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

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

// The line of the connection whose local end is `local` and whose remote
// end is `remote`, in the table `path`; inode 0 when it has no such line.
// A peer may hold an IPv6 socket that talks IPv4 through mapped addresses
// (as a Java runtime does): its line is in the IPv6 table.
LocalPeerSocket SocketLineIn(const char* path, bool six, const End& local, const End& remote) {
    LocalPeerSocket result;
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

LocalPeerSocket FindSocket(const sockaddr_in& local, const sockaddr_in& remote) {
    LocalPeerSocket found = SocketLineIn("/proc/net/tcp", false, EndOf(local), EndOf(remote));
    if (found.inode == 0) found = SocketLineIn("/proc/net/tcp6", true, EndOf(local), EndOf(remote));
    return found;
}

}  // namespace

LocalPeerSocket FindLocalPeerSocket(int fd) {
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

}  // namespace platform
