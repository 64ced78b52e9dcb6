// LinkPeer: which local process holds the other end of a link connection.
#include "WindowsService/LinkPeer.h"

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "platform/PeerSocket.h"

namespace link_peer {
namespace {

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
    const uint64_t inode = platform::FindLocalPeerSocket(fd).inode;
    return inode != 0 && HoldsInode(pid, inode);
}

bool PeerIsOwnUser(int fd) {
    const platform::LocalPeerSocket peer = platform::FindLocalPeerSocket(fd);
    return peer.inode != 0 && (peer.uid == geteuid() || peer.uid == 0);
}

}  // namespace link_peer
