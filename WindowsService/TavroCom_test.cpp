// Tests of the socket link on loopback, against peers written on POSIX sockets.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Hostsys/DSEnv.h"
#include "WindowsService/TavroCom.h"
#include "testing/support/InstallTree.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

// Reaches the link's private limits for the tests.
class TavroComTest {
public:
    static void SetAnswerDeadline(DWORD ms) { TavroCom::s_dwAnswerDeadlineMs = ms; }
    static DWORD AnswerDeadline() { return TavroCom::s_dwAnswerDeadlineMs; }
};

namespace {

using tavro::testing::ConnectLoopback;
using tavro::testing::WaitFor;

// A POSIX listener on 127.0.0.1 at an ephemeral port.
struct PeerListener {
    int fd = -1;
    int port = 0;
    PeerListener() { fd = tavro::testing::ListenLoopback(port, 5); }
    ~PeerListener() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// A free port for a link listener (the link listens on its port plus one).
int FreePort() { return tavro::testing::ClosedLoopbackPort(); }

// Reads what arrives within `ms` milliseconds.
std::string ReadFor(int fd, int ms) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) return text;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return text;
        char buffer[64];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Reads the service's hello, "Qim-<its pid>": what arrives until that much
// has come, the connection closes or the tests' bound passes.
std::string ReadHello(int fd) {
    const size_t length = ("Qim-" + std::to_string(GetCurrentProcessId())).size();
    std::string text;
    auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(tavro::testing::kWaitMs);
    while (text.size() < length) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        char buffer[64];
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, length - text.size()), 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// A ping period of the test's own, -PingWaitMs in the private file of a
// tree of its own, for as long as it lives: the probe and the stop then
// wait ten such periods for their answer instead of ten of 300 ms.
class ShortPingPeriod {
public:
    explicit ShortPingPeriod(DWORD ms) {
        const std::filesystem::path home = tmp_.Path() / "vantrix";
        tavro::testing::InstallTree(home).Directories({tavro::testing::kDataDir});
        env_.GetVantrixHome((home / "bin/TavroService").c_str());
        set_ = env_.OpenEnvFile() && env_.AddEnvVar(DSEnv::pKDSPingTimer, std::to_string(ms));
        TavroCom::s_pEnv = &env_;
    }
    ~ShortPingPeriod() { TavroCom::s_pEnv = nullptr; }
    bool Set() const { return set_; }

private:
    tavro::testing::TempDir tmp_;
    DSEnv env_;
    bool set_ = false;
};

TavroCom* LoopbackLink(TavroCom& link, int port) {
    link.SetHostName("127.0.0.1");
    link.SetPort(port);
    return &link;
}

TEST(TavroComExchange, ProbeSucceedsWhenAnyProgramAnswers) {
    enum class Peer { AnswersAByte, ClosesWithoutAnswer };
    for (Peer behaviour : {Peer::AnswersAByte, Peer::ClosesWithoutAnswer}) {
        PeerListener peer;
        char seen = 0;
        std::thread director([&] {
            int fd = accept(peer.fd, nullptr, nullptr);
            recv(fd, &seen, 1, 0);
            if (behaviour == Peer::AnswersAByte) send(fd, &seen, 1, MSG_NOSIGNAL);
            close(fd);
        });
        TavroCom link;
        EXPECT_TRUE(LoopbackLink(link, peer.port)->Probe());
        director.join();
        EXPECT_EQ(seen, 9);
    }
}

TEST(TavroComExchange, SilentPeerEndsProbeAndStopWithinTheirBound) {
    // Ten ping periods of 50 ms; the program's test keeps the real 3 s.
    ShortPingPeriod ping(50);
    ASSERT_TRUE(ping.Set());
    // Accepts (the kernel does, through the backlog) and never answers.
    PeerListener peer;
    HANDLE shutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TavroCom link(shutdownEvent);
    LoopbackLink(link, peer.port);
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "probe");
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(stop ? link.SendStop() : link.Probe());
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(450));
        EXPECT_LT(waited, std::chrono::seconds(3));
    }
    EXPECT_EQ(WaitForSingleObject(shutdownEvent, 0), WAIT_OBJECT_0);
    CloseHandle(shutdownEvent);
}

TEST(TavroComExchange, ProbeFailsWhenNothingListens) {
    TavroCom link;
    EXPECT_FALSE(LoopbackLink(link, FreePort())->Probe());
}

TEST(TavroComExchange, SendStopSendsSevenAndSetsTheShutdownEvent) {
    HANDLE shutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PeerListener peer;
    char seen = 0;
    std::thread director([&] {
        int fd = accept(peer.fd, nullptr, nullptr);
        recv(fd, &seen, 1, 0);
        send(fd, &seen, 1, MSG_NOSIGNAL);
        close(fd);
    });
    TavroCom link(shutdownEvent);
    EXPECT_TRUE(LoopbackLink(link, peer.port)->SendStop());
    director.join();
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(WaitForSingleObject(shutdownEvent, 0), WAIT_OBJECT_0);
}

TEST(TavroComExchange, StopWithoutDirectorStillSetsTheShutdownEvent) {
    HANDLE shutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TavroCom link(shutdownEvent);
    EXPECT_FALSE(LoopbackLink(link, FreePort())->SendStop());
    EXPECT_EQ(WaitForSingleObject(shutdownEvent, 0), WAIT_OBJECT_0);
}

TEST(TavroComExchange, RepeatedProbesReuseOneObject) {
    PeerListener peer;
    std::thread director([&] {
        for (int i = 0; i < 3; ++i) {
            int fd = accept(peer.fd, nullptr, nullptr);
            char byte;
            recv(fd, &byte, 1, 0);
            send(fd, &byte, 1, MSG_NOSIGNAL);
            close(fd);
        }
    });
    TavroCom link;
    LoopbackLink(link, peer.port);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(link.Probe()) << i;
    director.join();
    EXPECT_EQ(link.Socket().GetSocket(), INVALID_SOCKET);
}

// A link listener on a free port, with its own shutdown event.
class TavroComListenerTest : public testing::Test {
protected:
    void SetUp() override {
        // The pid a test before this one took stays for the process's life.
        TavroCom::s_dwDirectorPid = 0;
        ResetEvent(TavroCom::PidArrivedEvent());
        shutdown_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        listener_ = std::make_unique<TavroCom>(shutdown_);
        port_ = FreePort();
        LoopbackLink(*listener_, port_ - 1);
        ASSERT_TRUE(listener_->StartListener());
    }
    void TearDown() override {
        SetEvent(shutdown_);
        listener_.reset();
        if (director_ >= 0) close(director_);
        TavroComTest::SetAnswerDeadline(deadline_);
    }

    // Sends `answer` on the director's end.
    void Answer(const std::string& answer) {
        send(director_, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    // Waits until the service has read everything the director's end sent,
    // or has taken a pid; false when neither happened within the bound.
    bool AnswersReadOrPidTaken() {
        return WaitFor([&] {
            return TavroCom::s_dwDirectorPid != 0 || tavro::testing::PeerReadAll(director_);
        });
    }
    // Sends a ten-byte answer and a non-digit after it, which the service
    // reads on its next try, and waits until both are read (or a pid was
    // taken): the answer has then been dealt with in full.
    bool AnswerDealtWith(const std::string& tenBytes) {
        Answer(tenBytes + "-");
        return AnswersReadOrPidTaken();
    }

    const DWORD deadline_ = TavroComTest::AnswerDeadline();  // a test may shorten it
    HANDLE shutdown_ = nullptr;
    std::unique_ptr<TavroCom> listener_;
    int port_ = 0;
    int director_ = -1;
};

// The test process holds the director's end of the link, so its own pid
// is the one the link accepts.
std::string OwnPid() { return std::to_string(getpid()); }

TEST_F(TavroComListenerTest, HelloNamesTheShutdownEventAndLearnsTheDirectorPid) {
    director_ = ConnectLoopback(port_);
    ASSERT_GE(director_, 0);
    std::string expected = "Qim-" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(ReadHello(director_), expected);
    std::string answer = OwnPid() + "\r\n";
    send(director_, answer.data(), answer.size(), MSG_NOSIGNAL);
    ASSERT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
}

TEST_F(TavroComListenerTest, ZeroAnswerIsRetried) {
    director_ = ConnectLoopback(port_);
    ASSERT_FALSE(ReadHello(director_).empty());
    Answer("0");
    // Read, and taken as no answer: the pid that follows comes in a read of
    // its own.
    ASSERT_TRUE(AnswersReadOrPidTaken());
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), 0u);
    Answer(OwnPid());
    ASSERT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
}

TEST_F(TavroComListenerTest, PidFromAnIpv6SocketOnAMappedAddressIsAccepted) {
    // A Java runtime talks IPv4 through an IPv6 socket.
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr), 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        GTEST_SKIP() << "no IPv6 sockets here";
    }
    director_ = fd;
    ASSERT_FALSE(ReadHello(director_).empty());
    std::string answer = OwnPid();
    send(director_, answer.data(), answer.size(), MSG_NOSIGNAL);
    ASSERT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
}

TEST_F(TavroComListenerTest, PidOfAProcessWithoutTheConnectionIsIgnored) {
    // A process of this user that does not hold the connection: a child
    // that only sleeps, and the parent of this test.
    pid_t sleeper = fork();
    if (sleeper == 0) {
        close(director_);
        pause();
        _exit(0);
    }
    ASSERT_GT(sleeper, 0);
    director_ = ConnectLoopback(port_);
    ASSERT_FALSE(ReadHello(director_).empty());
    for (pid_t foreign : {sleeper, getppid()}) {
        char answer[16];
        std::snprintf(answer, sizeof answer, "%010d", static_cast<int>(foreign));
        ASSERT_TRUE(AnswerDealtWith(answer)) << foreign;
        EXPECT_NE(WaitForSingleObject(TavroCom::PidArrivedEvent(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), 0u) << foreign;
    }
    std::string own = OwnPid();
    send(director_, own.data(), own.size(), MSG_NOSIGNAL);
    EXPECT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST_F(TavroComListenerTest, SilentConnectionIsClosedAtItsDeadline) {
    TavroComTest::SetAnswerDeadline(1500);
    const auto start = std::chrono::steady_clock::now();
    director_ = ConnectLoopback(port_);
    ASSERT_GE(director_, 0);
    EXPECT_EQ(ReadHello(director_).rfind("Qim-", 0), 0u);
    // Never answered: the service closes its end once the deadline passes.
    pollfd p{director_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, tavro::testing::kWaitMs), 1);
    char byte;
    EXPECT_EQ(recv(director_, &byte, 1, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WaitFor([] { return basesocket::ConnectionsServed() == 0; }));
}

TEST_F(TavroComListenerTest, ConnectionsBeyondTheBoundAreClosedAtOnce) {
    std::vector<int> peers;
    for (int i = 0; i < basesocket::kMaxConnections; ++i) peers.push_back(ConnectLoopback(port_));
    EXPECT_TRUE(
        WaitFor([] { return basesocket::ConnectionsServed() == basesocket::kMaxConnections; }));
    int extra = ConnectLoopback(port_);
    ASSERT_GE(extra, 0);
    pollfd p{extra, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, tavro::testing::kWaitMs), 1);
    char byte;
    EXPECT_EQ(recv(extra, &byte, 1, 0), 0);  // closed without a hello
    close(extra);
    for (int fd : peers) close(fd);
}

// Connections that never say their hello give their slots back after the
// grace: a full set of them does not keep the director out.
TEST_F(TavroComListenerTest, SilentConnectionsDoNotStopTheDirectorsHello) {
    basesocket::SetHelloGrace(2000);
    std::vector<int> silent;
    for (int i = 0; i < basesocket::kMaxConnections; ++i) silent.push_back(ConnectLoopback(port_));
    EXPECT_TRUE(
        WaitFor([] { return basesocket::ConnectionsServed() == basesocket::kMaxConnections; }));
    // The last of them has had its grace: none keeps its slot.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    director_ = ConnectLoopback(port_);
    ASSERT_GE(director_, 0);
    EXPECT_EQ(ReadHello(director_).rfind("Qim-", 0), 0u);
    Answer(OwnPid());
    EXPECT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
    for (int fd : silent) close(fd);
}

// A program of another user is closed before it is greeted.
TEST_F(TavroComListenerTest, ConnectionOfAnotherUserIsClosedAtOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const int fd = ConnectLoopback(port_);
        if (fd < 0) _exit(3);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) _exit(4);
        char byte;
        _exit(recv(fd, &byte, 1, 0) == 0 ? 0 : 5);  // closed, not greeted
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_TRUE(WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(basesocket::SlotsHeld(), 0);
}

TEST_F(TavroComListenerTest, OverlongNumberIsNoPid) {
    director_ = ConnectLoopback(port_);
    ASSERT_FALSE(ReadHello(director_).empty());
    // Ten digits beyond a process id, one of them this process's id plus
    // 2^32 (a number cut to 32 bits would name this process).
    const std::string answers[] = {"9999999999", std::to_string((1ull << 32) + getpid())};
    for (const std::string& answer : answers) {
        ASSERT_EQ(answer.size(), 10u);
        ASSERT_TRUE(AnswerDealtWith(answer)) << answer;
        EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), 0u) << answer;
    }
    // The connection still takes the director's pid.
    Answer(OwnPid());
    ASSERT_EQ(WaitForSingleObject(TavroCom::PidArrivedEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(TavroCom::s_dwDirectorPid.load(), static_cast<DWORD>(getpid()));
}

TEST_F(TavroComListenerTest, StoppingServiceSendsStopByteOncePerPingPeriod) {
    // Accepted before the stop: the connection thread waits its ping period.
    const auto connecting = std::chrono::steady_clock::now();
    director_ = ConnectLoopback(port_);
    ASSERT_GE(director_, 0);
    Sleep(100);  // well inside the 300 ms before the hello
    SetEvent(shutdown_);
    // The connection's wait began after `connecting`: a stop set within the
    // ping period of that comes before the hello.
    const bool beforeHello =
        std::chrono::steady_clock::now() - connecting < std::chrono::milliseconds(250);
    std::string received = ReadFor(director_, 1000);
    if (!beforeHello && received.rfind("Qim-", 0) == 0)
        GTEST_SKIP() << "the machine was too slow to stop within the ping period";
    // 300 ms ping period: a few stop bytes in a second, never the hello.
    ASSERT_FALSE(received.empty());
    EXPECT_LE(received.size(), 5u);
    EXPECT_EQ(received.find_first_not_of('\x07'), std::string::npos) << received;
}

TEST_F(TavroComListenerTest, ShutdownClosesTheListeningSocket) {
    SetEvent(shutdown_);
    EXPECT_TRUE(WaitFor([&] { return !listener_->Socket().ServerRunning(); }));
    EXPECT_EQ(ConnectLoopback(port_), -1);
}

TEST_F(TavroComListenerTest, DirectorStartedEndsTheServerThread) {
    SetEvent(basesocket::DirectorStartedEvent());
    EXPECT_TRUE(WaitFor([&] { return !listener_->Socket().ServerRunning(); }));
}

TEST(basesocketResolve, TakesDottedAddressesAndLooksNamesUp) {
    struct Case {
        const char* host;
        bool ok;
    };
    const Case cases[] = {{"127.0.0.1", true},
                          {"localhost", true},
                          {"", false},
                          {tavro::testing::kUnresolvableHost, false}};
    basesocket s;
    for (const Case& c : cases) {
        EXPECT_EQ(s.Resolve(c.host, 9292), c.ok) << c.host;
        if (!c.ok) continue;
        EXPECT_EQ(s.GetAddress().sin_addr.s_addr, htonl(INADDR_LOOPBACK)) << c.host;
        EXPECT_EQ(ntohs(s.GetAddress().sin_port), 9292);
    }
}

TEST(basesocketResolve, HostNameWithDotsIsLookedUp) {
    // A dotted name of this host as the resolver knows it, if it knows one.
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string dotted;
    if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
        if (found->ai_canonname && std::strchr(found->ai_canonname, '.'))
            dotted = found->ai_canonname;
        freeaddrinfo(found);
    }
    if (dotted.empty()) GTEST_SKIP() << "the resolver knows no dotted name of this host";
    basesocket s;
    EXPECT_TRUE(s.Resolve(dotted.c_str(), 9292)) << dotted;
}

TEST(basesocketErrors, ErrorTextAcceptsOnlySuccessAndWouldBlock) {
    struct Case {
        int code;
        bool ok;
    };
    const Case cases[] = {{0, true},
                          {WSAEWOULDBLOCK, true},
                          {WSAECONNREFUSED, false},
                          {WSAECONNRESET, false},
                          {WSANOTINITIALISED, false}};
    basesocket s;
    for (const Case& c : cases) {
        WSASetLastError(c.code);
        EXPECT_EQ(s.ErrorText(), c.ok) << c.code;
    }
}

TEST(basesocketErrors, NotInitialisedStartsWinsockAgain) {
    basesocket s;
    ASSERT_TRUE(s.CreateSocket());
    WSACleanup();  // the layer now refuses every call
    EXPECT_EQ(WSAEventSelect(s.GetSocket(), nullptr, 0), SOCKET_ERROR);
    EXPECT_FALSE(s.ErrorText());
    EXPECT_EQ(s.GetSocket(), INVALID_SOCKET);
    EXPECT_TRUE(s.CreateSocket());
}

TEST(basesocketServer, PeerTextIsDottedAddressAndPort) {
    PeerListener peer;
    basesocket s;
    ASSERT_TRUE(s.CreateSocket());
    ASSERT_TRUE(s.Resolve("127.0.0.1", peer.port));
    ASSERT_TRUE(s.Connect(s.GetAddress(), "127.0.0.1"));
    EXPECT_STREQ(s.GetPeer(), ("127.0.0.1 " + std::to_string(peer.port)).c_str());
}

DWORD WINAPI CloseAtOnce(LPVOID connection) {
    static_cast<basesocket*>(connection)->Close();
    return 0;
}

TEST(basesocketServer, BindsAgainRightAfterAStop) {
    int port = FreePort();
    for (int round = 0; round < 2; ++round) {
        HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        basesocket server;
        ASSERT_TRUE(server.CreateSocket());
        ASSERT_TRUE(server.Resolve("127.0.0.1", port));
        // The server closes its connection first, leaving it in TIME_WAIT.
        ASSERT_TRUE(server.ServerSetup(stop, CloseAtOnce)) << "round " << round;
        int client = ConnectLoopback(port);
        ASSERT_GE(client, 0);
        EXPECT_EQ(ReadFor(client, 2000), "");
        close(client);
        SetEvent(stop);
        EXPECT_TRUE(WaitFor([&] { return !server.ServerRunning(); }));
        CloseHandle(stop);
    }
}

}  // namespace
