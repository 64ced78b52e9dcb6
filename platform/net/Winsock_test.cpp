// Tests of the Windows Sockets 2 layer on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "platform/winsock2.h"
#include "testing/support/Sockets.h"

namespace {

using tavro::testing::AsSockaddr;
using tavro::testing::LoopbackAddress;

SOCKET NewTcp() { return WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0); }

// A started layer and a loopback listener on an ephemeral port.
class WinsockTest : public testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
        listener_ = NewTcp();
        ASSERT_NE(listener_, INVALID_SOCKET);
        sockaddr_in address = LoopbackAddress(0);
        ASSERT_EQ(bind(listener_, AsSockaddr(address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 5), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(platform::SocketFd(listener_), reinterpret_cast<sockaddr*>(&address),
                              &length),
                  0);
        port_ = ntohs(address.sin_port);
    }
    void TearDown() override {
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        WSACleanup();
    }

    SOCKET ConnectClient() {
        SOCKET client = NewTcp();
        sockaddr_in address = LoopbackAddress(port_);
        EXPECT_EQ(WSAConnect(client, AsSockaddr(address), sizeof address, nullptr, nullptr, nullptr,
                             nullptr),
                  0);
        return client;
    }

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
};

int SendText(SOCKET s, const std::string& text) {
    WSABUF buffer{static_cast<ULONG>(text.size()), const_cast<char*>(text.data())};
    DWORD sent = 0;
    return WSASend(s, &buffer, 1, &sent, 0, nullptr, nullptr) == 0 ? static_cast<int>(sent) : -1;
}

TEST(WinsockStartup, NegotiatesVersion) {
    struct Case {
        WORD requested;
        int result;
        WORD version;
    };
    const Case cases[] = {{MAKEWORD(2, 0), 0, MAKEWORD(2, 0)},
                          {MAKEWORD(1, 1), 0, MAKEWORD(1, 1)},
                          {MAKEWORD(2, 2), 0, MAKEWORD(2, 2)},
                          {MAKEWORD(3, 0), 0, MAKEWORD(2, 2)},
                          {MAKEWORD(0, 9), WSAVERNOTSUPPORTED, 0}};
    for (const Case& c : cases) {
        WSADATA data{};
        EXPECT_EQ(WSAStartup(c.requested, &data), c.result) << c.requested;
        if (c.result != 0) continue;
        EXPECT_EQ(data.wVersion, c.version) << c.requested;
        EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
        EXPECT_EQ(WSACleanup(), 0);
    }
}

TEST(WinsockStartup, CallsWithoutStartupFailNotInitialised) {
    EXPECT_EQ(NewTcp(), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(WinsockStartup, CountsStartups) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
    SOCKET s = NewTcp();
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(WinsockTest, ConnectRefusedGivesCode) {
    SOCKET probe = NewTcp();
    sockaddr_in address = LoopbackAddress(port_);
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    EXPECT_EQ(
        WSAConnect(probe, AsSockaddr(address), sizeof address, nullptr, nullptr, nullptr, nullptr),
        SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(probe);
}

TEST_F(WinsockTest, BindAddressInUseGivesCode) {
    SOCKET second = NewTcp();
    sockaddr_in address = LoopbackAddress(port_);
    EXPECT_EQ(bind(second, AsSockaddr(address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    closesocket(second);
}

TEST_F(WinsockTest, NotASocketGivesCode) {
    EXPECT_EQ(closesocket(SOCKET(0)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(listen(INVALID_SOCKET, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinsockTest, SendsAndReceivesAcrossBuffers) {
    SOCKET client = ConnectClient();
    SOCKET server = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(server, INVALID_SOCKET);

    char first[] = "Qim-";
    char second[] = "1234";
    WSABUF out[2] = {{4, first}, {4, second}};
    DWORD sent = 0;
    ASSERT_EQ(WSASend(client, out, 2, &sent, 0, nullptr, nullptr), 0);
    EXPECT_EQ(sent, 8u);

    char received[16] = {};
    WSABUF in{sizeof received, received};
    DWORD count = 0, flags = 0;
    ASSERT_EQ(WSARecv(server, &in, 1, &count, &flags, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(received, count), "Qim-1234");

    // An orderly close reads as zero bytes.
    ASSERT_EQ(shutdown(client, SD_BOTH), 0);
    ASSERT_EQ(WSARecv(server, &in, 1, &count, &flags, nullptr, nullptr), 0);
    EXPECT_EQ(count, 0u);

    sockaddr_in peer{};
    int length = sizeof peer;
    ASSERT_EQ(getpeername(server, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockTest, SocketsAreCloseOnExec) {
    SOCKET client = ConnectClient();
    SOCKET server = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
    for (SOCKET s : {listener_, client, server})
        EXPECT_TRUE(fcntl(platform::SocketFd(s), F_GETFD) & FD_CLOEXEC);
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockTest, SendToClosedPeerFailsWithoutSignal) {
    // The default action of SIGPIPE would end the test process.
    ASSERT_NE(std::signal(SIGPIPE, SIG_DFL), SIG_ERR);
    SOCKET client = ConnectClient();
    SOCKET server = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
    closesocket(server);
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) result = SendText(client, "x");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
}

TEST_F(WinsockTest, AcceptIsSignalledOnTheEventAndReArmed) {
    WSAEVENT event = WSACreateEvent();
    ASSERT_NE(event, WSA_INVALID_EVENT);
    ASSERT_EQ(WSAEventSelect(listener_, event, FD_ACCEPT | FD_CLOSE | FD_OOB | FD_QOS), 0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);

    for (int round = 0; round < 2; ++round) {
        SOCKET client = ConnectClient();
        ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
        WSANETWORKEVENTS events;
        ASSERT_EQ(WSAEnumNetworkEvents(listener_, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, FD_ACCEPT);
        // Enumeration resets the event; no new report until the accept.
        EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);

        SOCKET server = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
        ASSERT_NE(server, INVALID_SOCKET);
        // Accepted from an event-selected listener: non-blocking.
        char byte;
        WSABUF in{1, &byte};
        DWORD count = 0, flags = 0;
        EXPECT_EQ(WSARecv(server, &in, 1, &count, &flags, nullptr, nullptr), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        closesocket(server);
        closesocket(client);
    }
    EXPECT_TRUE(WSACloseEvent(event));
}

TEST(WinsockEvents, SelectBeforeListenReportsNothingUntilAConnection) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    SOCKET listener = NewTcp();
    sockaddr_in address = LoopbackAddress(0);
    ASSERT_EQ(bind(listener, AsSockaddr(address), sizeof address), 0);
    WSAEVENT event = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(listener, event, FD_ACCEPT | FD_CLOSE), 0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);
    ASSERT_EQ(listen(listener, 5), 0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);

    socklen_t length = sizeof address;
    getsockname(platform::SocketFd(listener), reinterpret_cast<sockaddr*>(&address), &length);
    SOCKET client = NewTcp();
    ASSERT_EQ(
        WSAConnect(client, AsSockaddr(address), sizeof address, nullptr, nullptr, nullptr, nullptr),
        0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
    closesocket(client);
    closesocket(listener);
    WSACloseEvent(event);
    WSACleanup();
}

TEST_F(WinsockTest, PeerCloseIsReportedOnce) {
    SOCKET client = ConnectClient();
    SOCKET server = WSAAccept(listener_, nullptr, nullptr, nullptr, 0);
    WSAEVENT event = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(server, event, FD_CLOSE), 0);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);
    closesocket(client);
    ASSERT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
    WSANETWORKEVENTS events;
    ASSERT_EQ(WSAEnumNetworkEvents(server, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, FD_CLOSE);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);
    closesocket(server);
    WSACloseEvent(event);
}

TEST_F(WinsockTest, WaitsOnNetworkAndKernelEventsTogether) {
    WSAEVENT network = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(listener_, network, FD_ACCEPT), 0);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WSAEVENT events[2] = {stop, network};
    SetEvent(stop);
    EXPECT_EQ(WSAWaitForMultipleEvents(2, events, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0);
    ResetEvent(stop);
    SOCKET client = ConnectClient();
    EXPECT_EQ(WSAWaitForMultipleEvents(2, events, FALSE, 5000, FALSE), WSA_WAIT_EVENT_0 + 1);
    EXPECT_EQ(WSAWaitForMultipleEvents(0, events, FALSE, 0, FALSE), WSA_WAIT_FAILED);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(client);
    CloseHandle(stop);
    WSACloseEvent(network);
}

TEST_F(WinsockTest, SelectionOfUnwatchedEventsIsRefused) {
    WSAEVENT event = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(listener_, event, FD_ACCEPT), 0);
    for (int32_t events : {FD_WRITE, FD_CONNECT, FD_ACCEPT | FD_WRITE, FD_READ | FD_CONNECT}) {
        EXPECT_EQ(WSAEventSelect(listener_, event, events), SOCKET_ERROR) << events;
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << events;
    }
    // The selection made before still reports.
    SOCKET client = ConnectClient();
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    WSANETWORKEVENTS network{};
    EXPECT_EQ(WSAEnumNetworkEvents(listener_, event, &network), 0);
    EXPECT_EQ(network.lNetworkEvents, FD_ACCEPT);
    closesocket(client);
    WSAEventSelect(listener_, nullptr, 0);
    WSACloseEvent(event);
}

TEST(WinsockErrors, MapsErrno) {
    struct Case {
        int err;
        int code;
    };
    const Case cases[] = {{EAGAIN, WSAEWOULDBLOCK},        {EINPROGRESS, WSAEWOULDBLOCK},
                          {ECONNREFUSED, WSAECONNREFUSED}, {EADDRINUSE, WSAEADDRINUSE},
                          {EPIPE, WSAECONNRESET},          {ENOTCONN, WSAENOTCONN}};
    for (const Case& c : cases) EXPECT_EQ(platform::WsaFromErrno(c.err), c.code) << c.err;
}

}  // namespace
