// Tests of the look-up of a local TCP peer's socket and its owner.
#include "platform/PeerSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "testing/support/ChildProcesses.h"

namespace {

using tavro::testing::ChildGuard;

constexpr uid_t kNobody = 65534;

// A listening socket on an ephemeral loopback port.
int Listen(sockaddr_in& address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        ADD_FAILURE() << "no listener";
    return fd;
}

// Several connections in one pass: each gets its own peer's owner, in order;
// a descriptor that is no TCP connection gets none.
TEST(PeerSocket, OwnersOfSeveralPeersInOnePass) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    ChildGuard guard;
    sockaddr_in address{};
    int listener = Listen(address);
    int own = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(own, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
        // Another user's connection, held until the test closes the pipe.
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(3);
        close(done[1]);
        char byte;
        [[maybe_unused]] ssize_t n = read(done[0], &byte, 1);
        _exit(0);
    }
    close(done[0]);
    int ownEnd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int otherEnd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(ownEnd, 0);
    ASSERT_GE(otherEnd, 0);

    std::vector<platform::LocalPeerSocket> found =
        platform::FindLocalPeerSockets({otherEnd, done[1], ownEnd});
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NE(found[0].inode, 0u);
    EXPECT_EQ(found[0].uid, kNobody);
    EXPECT_EQ(found[1].inode, 0u) << "a pipe";
    EXPECT_NE(found[2].inode, 0u);
    EXPECT_EQ(found[2].uid, 0u);
    EXPECT_EQ(platform::FindLocalPeerSocket(otherEnd).uid, kNobody);
    EXPECT_EQ(platform::FindLocalPeerSocket(listener).inode, 0u) << "no peer";

    close(done[1]);
    EXPECT_EQ(ChildGuard::WaitChild(child, tavro::testing::kWaitMs), 0);
    for (int fd : {listener, own, ownEnd, otherEnd}) close(fd);
}

}  // namespace
