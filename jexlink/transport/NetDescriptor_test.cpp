// Tests of the endpoint descriptor: waits that a Close from another thread ends, and safe closing.
#include "jexlink/transport/NetDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// Two links for a splice: bytes written to srcPeer arrive at `from`; what
// is written to `to` arrives at dstPeer. Over TCP on 127.0.0.1 or a local
// stream socket pair.
struct SpliceLinks {
    enum class Kind { kTcp, kLocal };
    NetDescriptor from;
    NetDescriptor to;
    int srcPeer = -1;
    int dstPeer = -1;

    explicit SpliceLinks(Kind kind) {
        int a[2] = {-1, -1};
        int b[2] = {-1, -1};
        if (kind == Kind::kLocal) {
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a), 0);
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b), 0);
        } else {
            TcpPair(a);
            TcpPair(b);
        }
        EXPECT_TRUE(from.Adopt(a[0]));
        srcPeer = a[1];
        EXPECT_TRUE(to.Adopt(b[0]));
        dstPeer = b[1];
    }
    ~SpliceLinks() {
        for (int fd : {srcPeer, dstPeer})
            if (fd >= 0) close(fd);
    }

    static void TcpPair(int fds[2]) {
        int port = 0;
        const int listener = tavro::testing::ListenLoopback(port, 1);
        ASSERT_GE(listener, 0);
        fds[0] = tavro::testing::ConnectLoopback(port);
        fds[1] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
    }
};

constexpr SpliceLinks::Kind kSpliceKinds[] = {SpliceLinks::Kind::kTcp, SpliceLinks::Kind::kLocal};
using Stop = NetDescriptor::SpliceResult::Stop;

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) ^ (i >> 11));
    return s;
}

bool SendAll(int fd, const std::string& bytes) {
    for (size_t put = 0; put < bytes.size();) {
        const ssize_t w = send(fd, bytes.data() + put, bytes.size() - put, MSG_NOSIGNAL);
        if (w <= 0) return false;
        put += static_cast<size_t>(w);
    }
    return true;
}

std::string ReceiveExactly(int fd, size_t n) {
    std::string got(n, '\0');
    size_t have = 0;
    while (have < n) {
        const ssize_t r = recv(fd, got.data() + have, n - have, 0);
        if (r <= 0) break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}

// Exactly the n bytes asked for arrive, in order, whatever their count, and
// what follows them stays unread at the source for the next step.
TEST(NetDescriptorSplice, MovesExactlyTheBytesAskedForOverEveryKindOfLink) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        for (size_t n : {size_t{1}, size_t{70000}, size_t{3} << 20}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + "/" + std::to_string(n));
            SpliceLinks links(kind);
            const std::string body = Pattern(n, static_cast<int>(n));
            const std::string next = "next!";
            auto writer =
                std::async(std::launch::async, [&] { return SendAll(links.srcPeer, body + next); });
            auto reader =
                std::async(std::launch::async, [&] { return ReceiveExactly(links.dstPeer, n); });
            const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, n);
            EXPECT_EQ(r.stop, Stop::kDone);
            EXPECT_EQ(r.taken, n);
            EXPECT_EQ(r.given, n);
            ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(reader.get() == body);
            ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(writer.get());
            std::string rest(next.size(), '\0');
            size_t have = 0;
            while (have < rest.size()) {
                const long got = links.from.Read(rest.data() + have, rest.size() - have);
                if (got <= 0) break;
                have += static_cast<size_t>(got);
            }
            EXPECT_EQ(rest, next);
            // Nothing more reached the far side.
            char extra = 0;
            EXPECT_EQ(recv(links.dstPeer, &extra, 1, MSG_DONTWAIT), -1);
        }
    }
}

bool NonBlocking(const NetDescriptor& d) { return (fcntl(d.Fd(), F_GETFL) & O_NONBLOCK) != 0; }

// The two directions of a relay splice on the same sockets at once: a
// socket is non-blocking while any splice uses it (a splice that blocked in
// the call would not see Close) and blocks again, as it did before, once
// the last one has ended.
TEST(NetDescriptorSplice, ASocketBlocksAgainWhenTheLastSpliceOnItEnds) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        ASSERT_FALSE(NonBlocking(links.from));
        ASSERT_FALSE(NonBlocking(links.to));
        // The other direction: from dstPeer through `to` into `from`, waiting
        // for its first byte.
        auto back =
            std::async(std::launch::async, [&] { return links.to.SpliceTo(links.from, 3); });
        EXPECT_EQ(back.wait_for(50ms), std::future_status::timeout);
        ASSERT_TRUE(SendAll(links.srcPeer, "abc"));
        const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, 3);
        EXPECT_EQ(r.stop, Stop::kDone);
        EXPECT_EQ(ReceiveExactly(links.dstPeer, 3), "abc");
        // The other direction still runs on both.
        EXPECT_TRUE(NonBlocking(links.from));
        EXPECT_TRUE(NonBlocking(links.to));
        ASSERT_TRUE(SendAll(links.dstPeer, "xyz"));
        ASSERT_EQ(back.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(back.get().stop, Stop::kDone);
        EXPECT_EQ(ReceiveExactly(links.srcPeer, 3), "xyz");
        EXPECT_FALSE(NonBlocking(links.from));
        EXPECT_FALSE(NonBlocking(links.to));
        // A descriptor that was non-blocking before stays so.
        fcntl(links.from.Fd(), F_SETFL, fcntl(links.from.Fd(), F_GETFL) | O_NONBLOCK);
        ASSERT_TRUE(SendAll(links.srcPeer, "d"));
        EXPECT_EQ(links.from.SpliceTo(links.to, 1).stop, Stop::kDone);
        EXPECT_TRUE(NonBlocking(links.from));
        EXPECT_FALSE(NonBlocking(links.to));
    }
}

bool SigpipeBlocked() {
    sigset_t mask;
    sigemptyset(&mask);
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 1;
}

// A relay direction keeps its two sockets set up from one splice to the next:
// they stay non-blocking and SIGPIPE stays held back on its thread while the
// hold lives, a far side that went away is still a write error, and the end
// of the hold gives back the blocking mode and the signal mask, leaving no
// signal pending; a descriptor closed meanwhile is not touched again.
TEST(NetDescriptorSplice, AHoldKeepsBothSetUpBetweenSplicesAndGivesBackTheModes) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        ASSERT_FALSE(SigpipeBlocked());
        {
            const NetDescriptor::SpliceReady ready(links.from, links.to);
            EXPECT_TRUE(NonBlocking(links.from));
            EXPECT_TRUE(NonBlocking(links.to));
            EXPECT_TRUE(SigpipeBlocked());
            for (const char* text : {"first", "second record"}) {
                const std::string record = text;
                ASSERT_TRUE(SendAll(links.srcPeer, record));
                EXPECT_EQ(links.from.SpliceTo(links.to, record.size()).stop, Stop::kDone);
                EXPECT_EQ(ReceiveExactly(links.dstPeer, record.size()), record);
                EXPECT_TRUE(NonBlocking(links.from));
                EXPECT_TRUE(NonBlocking(links.to));
                EXPECT_TRUE(SigpipeBlocked());
            }
            close(links.dstPeer);
            links.dstPeer = -1;
            const size_t n = size_t{4} << 20;
            auto feeder = std::async(std::launch::async,
                                     [&] { return SendAll(links.srcPeer, Pattern(n, 5)); });
            const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, n);
            EXPECT_EQ(r.stop, Stop::kWriteFailed);
            EXPECT_TRUE(r.err == EPIPE || r.err == ECONNRESET) << r.err;
            shutdown(links.srcPeer, SHUT_RDWR);
            ASSERT_EQ(feeder.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(SigpipeBlocked());
        }
        EXPECT_FALSE(NonBlocking(links.from));
        EXPECT_FALSE(NonBlocking(links.to));
        EXPECT_FALSE(SigpipeBlocked());
        sigset_t pending;
        sigemptyset(&pending);
        ASSERT_EQ(sigpending(&pending), 0);
        EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

        // Closed under the hold: the number, given to a new descriptor, keeps
        // the new one's mode.
        SpliceLinks again(kind);
        std::optional<NetDescriptor::SpliceReady> held;
        held.emplace(again.from, again.to);
        const int number = again.to.Fd();
        again.to.Close();
        const int reused = fcntl(again.dstPeer, F_DUPFD_CLOEXEC, number);
        ASSERT_EQ(reused, number);
        fcntl(reused, F_SETFL, fcntl(reused, F_GETFL) | O_NONBLOCK);
        held.reset();
        EXPECT_NE(fcntl(reused, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_FALSE(NonBlocking(again.from));
        close(reused);
    }
}

int OpenPipes() {
    int pipes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code failed;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), failed);
        if (!failed && target.string().rfind("pipe:", 0) == 0) ++pipes;
    }
    return pipes;
}

// Splices given a hold pass through the one pipe it keeps: records that
// follow each other arrive whole and in order, each after the last, and
// none of a splice that failed midway reaches the next one. Waiting for the
// next bytes keeps the pipe while they come and gives it back once the near
// side stays silent or is closed.
TEST(NetDescriptorSplice, AHoldKeepsItsPipeWhileRecordsComeAndGivesItBackWhenIdle) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        const int before = OpenPipes();
        NetDescriptor::SpliceReady ready(links.from, links.to);
        EXPECT_FALSE(ready.HoldsPipe());
        for (size_t n : {size_t{5}, size_t{3} << 20, size_t{70000}}) {
            SCOPED_TRACE(n);
            const std::string record = Pattern(n, static_cast<int>(n));
            auto writer =
                std::async(std::launch::async, [&] { return SendAll(links.srcPeer, record); });
            auto reader =
                std::async(std::launch::async, [&] { return ReceiveExactly(links.dstPeer, n); });
            const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, n, &ready);
            EXPECT_EQ(r.stop, Stop::kDone);
            EXPECT_EQ(r.given, n);
            ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(reader.get() == record);
            ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(writer.get());
            EXPECT_TRUE(ready.HoldsPipe());
            EXPECT_EQ(OpenPipes(), before + 2);
        }
        // Bytes waiting keep it; a silent near side does not.
        ASSERT_TRUE(SendAll(links.srcPeer, "n"));
        ready.ReleasePipeWhenIdle(10000);
        EXPECT_TRUE(ready.HoldsPipe());
        EXPECT_EQ(links.from.SpliceTo(links.to, 1, &ready).stop, Stop::kDone);
        EXPECT_EQ(ReceiveExactly(links.dstPeer, 1), "n");
        ready.ReleasePipeWhenIdle(20);
        EXPECT_FALSE(ready.HoldsPipe());
        EXPECT_EQ(OpenPipes(), before);
        // A splice made with it again takes a new one.
        ASSERT_TRUE(SendAll(links.srcPeer, "again"));
        EXPECT_EQ(links.from.SpliceTo(links.to, 5, &ready).stop, Stop::kDone);
        EXPECT_EQ(ReceiveExactly(links.dstPeer, 5), "again");
        EXPECT_TRUE(ready.HoldsPipe());
        // A near side closed from another thread ends the wait at once.
        auto waiting =
            std::async(std::launch::async, [&] { ready.ReleasePipeWhenIdle(60 * 60 * 1000); });
        EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
        links.from.Close();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(ready.HoldsPipe());
    }
}

// A splice through a hold's pipe that fails midway leaves bytes in it: the
// pipe goes with them, so the next record starts clean.
TEST(NetDescriptorSplice, AHoldsPipeGoesWithAFailedSplice) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        const int before = OpenPipes();
        NetDescriptor::SpliceReady ready(links.from, links.to);
        ASSERT_TRUE(SendAll(links.srcPeer, "first"));
        ASSERT_EQ(links.from.SpliceTo(links.to, 5, &ready).stop, Stop::kDone);
        EXPECT_TRUE(ready.HoldsPipe());
        close(links.dstPeer);
        links.dstPeer = -1;
        const size_t n = size_t{4} << 20;
        auto feeder =
            std::async(std::launch::async, [&] { return SendAll(links.srcPeer, Pattern(n, 9)); });
        const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, n, &ready);
        EXPECT_EQ(r.stop, Stop::kWriteFailed);
        EXPECT_FALSE(ready.HoldsPipe());
        EXPECT_EQ(OpenPipes(), before);
        links.from.Close();
        shutdown(links.srcPeer, SHUT_RDWR);
        ASSERT_EQ(feeder.wait_for(10s), std::future_status::ready);
    }
}

TEST(NetDescriptorSplice, ANearSideThatEndsMidwayIsTheEndOfDataAfterWhatCame) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        ASSERT_TRUE(SendAll(links.srcPeer, Pattern(1000, 7)));
        close(links.srcPeer);
        links.srcPeer = -1;
        const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, 5000);
        EXPECT_EQ(r.stop, Stop::kReadEnd);
        EXPECT_EQ(r.taken, 1000u);
    }
}

// splice cannot be told MSG_NOSIGNAL: a far side that went away must still
// be a write error, never a SIGPIPE that ends the process.
TEST(NetDescriptorSplice, AFarSideThatClosedIsAWriteErrorNotASignal) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        SpliceLinks links(kind);
        close(links.dstPeer);
        links.dstPeer = -1;
        const size_t n = size_t{4} << 20;
        auto feeder =
            std::async(std::launch::async, [&] { return SendAll(links.srcPeer, Pattern(n, 3)); });
        const NetDescriptor::SpliceResult r = links.from.SpliceTo(links.to, n);
        EXPECT_EQ(r.stop, Stop::kWriteFailed);
        EXPECT_TRUE(r.err == EPIPE || r.err == ECONNRESET) << r.err;
        links.from.Close();
        shutdown(links.srcPeer, SHUT_RDWR);
        ASSERT_EQ(feeder.wait_for(10s), std::future_status::ready);
        // Nothing is left pending for the thread either.
        sigset_t pending;
        sigemptyset(&pending);
        ASSERT_EQ(sigpending(&pending), 0);
        EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    }
}

// A splice waiting for a silent near side, or for a far side that stopped
// reading, ends at once when that side is closed from another thread.
TEST(NetDescriptorSplice, CloseEndsAWaitOnEitherSide) {
    for (SpliceLinks::Kind kind : kSpliceKinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        {
            SpliceLinks silent(kind);
            auto waiting = std::async(std::launch::async,
                                      [&] { return silent.from.SpliceTo(silent.to, 100); });
            EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
            silent.from.Close();
            ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
            const NetDescriptor::SpliceResult r = waiting.get();
            EXPECT_EQ(r.stop, Stop::kReadEnd);
            EXPECT_EQ(r.taken, 0u);
        }
        SpliceLinks stalled(kind);
        std::atomic<bool> stop{false};
        auto feeder = std::async(std::launch::async, [&] {
            const std::string block(1 << 16, 'f');
            while (!stop && SendAll(stalled.srcPeer, block)) {
            }
        });
        const size_t n = size_t{1} << 30;
        auto waiting =
            std::async(std::launch::async, [&] { return stalled.from.SpliceTo(stalled.to, n); });
        EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
        stalled.to.Close();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        const NetDescriptor::SpliceResult r = waiting.get();
        EXPECT_EQ(r.stop, Stop::kWriteFailed);
        EXPECT_EQ(r.err, EBADF);
        EXPECT_GT(r.given, 0u);
        EXPECT_LT(r.taken, n);
        stop = true;
        stalled.from.Close();  // the feeder's sends fail once the near end is gone
        shutdown(stalled.srcPeer, SHUT_RDWR);
        ASSERT_EQ(feeder.wait_for(10s), std::future_status::ready);
    }
}

}  // namespace
