// Tests of the endpoint descriptor: waits that a Close from another thread ends, and safe closing.
#include "jexlink/transport/NetDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "testing/support/Sockets.h"

namespace {

using namespace std::chrono_literals;
using jexnet::kIoClosed;
using jexnet::kIoFailed;
using jexnet::NetDescriptor;

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    int fds[2] = {-1, -1};
};

TEST(NetDescriptor, CloseFromAnotherThreadEndsEveryKindOfWait) {
    struct Case {
        const char* name;
        long (*step)(NetDescriptor&);
    } cases[] = {
        {"read",
         [](NetDescriptor& d) {
             char c;
             return d.Read(&c, 1);
         }},
        {"write",
         [](NetDescriptor& d) {
             static char block[1 << 16];
             long r = 0;
             while (r >= 0) r = d.Write(block, sizeof block);  // until the peer's buffer fills
             return r;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        NetDescriptor d;
        ASSERT_TRUE(d.Adopt(pair.fds[0]));
        auto waiting = std::async(std::launch::async, [&] { return c.step(d); });
        EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
        d.Close();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), kIoClosed);
        EXPECT_EQ(d.Fd(), -1);
        EXPECT_TRUE(d.Closing());
        // The descriptor was closed once the step ended: the peer sees the end.
        char c2;
        EXPECT_EQ(recv(pair.fds[1], &c2, 1, MSG_DONTWAIT), c.name[0] == 'r' ? 0 : 1);
        close(pair.fds[1]);
    }
}

TEST(NetDescriptor, CloseRacingWithBusyStepsNeverLosesOrReusesTheDescriptor) {
    // Data flows both ways while another thread closes at a varying moment:
    // every step ends, and the peer always sees the end.
    for (int round = 0; round < 200; ++round) {
        Pair pair;
        NetDescriptor d;
        ASSERT_TRUE(d.Adopt(pair.fds[0]));
        auto feeder = std::async(std::launch::async, [&] {
            char block[512] = {};
            while (send(pair.fds[1], block, sizeof block, MSG_NOSIGNAL) > 0) {
            }
        });
        auto busy = std::async(std::launch::async, [&] {
            char block[256];
            long r = 0;
            for (int i = 0; r >= 0; ++i)
                r = i % 2 ? d.Read(block, sizeof block) : d.Write(block, sizeof block);
            return r;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 7 % 300));
        d.Close();
        ASSERT_EQ(busy.wait_for(10s), std::future_status::ready);
        const long last = busy.get();
        EXPECT_TRUE(last == kIoClosed || last == kIoFailed) << last;
        shutdown(pair.fds[1], SHUT_RDWR);  // ends the feeder once our end is gone
        ASSERT_EQ(feeder.wait_for(10s), std::future_status::ready);
        close(pair.fds[1]);
    }
}

TEST(NetDescriptor, AcceptEndsOnClose) {
    const int fd = tavro::testing::ListenLoopbackOn(0, 1);
    ASSERT_GE(fd, 0);
    NetDescriptor d;
    ASSERT_TRUE(d.Adopt(fd));
    auto waiting = std::async(std::launch::async, [&] { return d.Accept(nullptr, nullptr); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    d.Close();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), kIoClosed);
}

TEST(NetDescriptor, StepsAfterCloseAndWithoutADescriptor) {
    NetDescriptor none;
    char c = 0;
    EXPECT_EQ(none.Read(&c, 1), kIoFailed);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(none.Write(&c, 1), kIoFailed);
    none.Close();
    none.Close();  // any number of times
    EXPECT_EQ(none.Read(&c, 1), kIoClosed);

    // A descriptor adopted after Close is closed, not kept.
    Pair pair;
    EXPECT_FALSE(none.Adopt(pair.fds[0]));
    EXPECT_EQ(fcntl(pair.fds[0], F_GETFD), -1);
    close(pair.fds[1]);
}

TEST(NetDescriptor, WritingToAClosedPeerIsAnErrorNotASignal) {
    Pair pair;
    NetDescriptor d;
    ASSERT_TRUE(d.Adopt(pair.fds[0]));
    close(pair.fds[1]);
    char block[1024] = {};
    EXPECT_EQ(d.Write(block, sizeof block), kIoFailed);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(d.Read(block, sizeof block), 0);  // the end of data
}

}  // namespace
