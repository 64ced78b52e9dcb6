// A K2 signing server for tests: serves K2 clients on an ephemeral loopback port.
//
// Usage: k2server_testapp ACID NODE [CONNECTIONS]
// Prints "port N" on standard output, then serves CONNECTIONS (default 1)
// clients one after the other: each connection whose caller has spoken is
// adopted as the inherited connection of a new JexK2 server (Listen,
// Accept, Server, Disconnect). Callers wait side by side for their turn, so
// one that connects and says nothing is closed after 5 seconds without
// holding up the others (and is not counted). Signing methods find their
// keys along JEXCRYPTO_PATH. Exit status 0 when every client ended with its
// Disconnect request, 1 when a K2 operation failed (its description on
// standard error), 2 on bad usage or a socket failure, 3 when nothing
// happened for 30 seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/session/JexK2.h"
#include "testing/support/FirstBytesAcceptor.h"
#include "testing/support/Sockets.h"

namespace {

constexpr int kMaxPending = 64;
constexpr int kFirstBytesMs = 5000;

int Serve(int fd, const char* acid, const char* node) {
    setenv("JEX_TRANSPORT_TYPE", "T", 1);
    setenv("JEX_NET_HANDLE", std::to_string(fd).c_str(), 1);
    JexK2 k2;
    k2.SetSuppress(1);
    JexBuffer connect_data;
    int rc = k2.Listen(acid, node, connect_data);
    if (rc == 0) rc = k2.Accept(JexBuffer());
    if (rc == 0) rc = k2.Server();
    if (rc != 0) std::fprintf(stderr, "%s\n", k2.Describe(1).Text());
    k2.Disconnect();
    return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s ACID NODE [CONNECTIONS]\n", argv[0]);
        return 2;
    }
    const int connections = argc == 4 ? std::atoi(argv[3]) : 1;
    int port = 0;
    const int listener = tavro::testing::ListenLoopback(port, SOMAXCONN);
    if (listener < 0) {
        std::perror("listen");
        return 2;
    }
    std::printf("port %d\n", port);
    std::fflush(stdout);

    int status = 0;
    tavro::testing::FirstBytesAcceptor callers(listener, kMaxPending, kFirstBytesMs);
    for (int i = 0; i < connections; ++i) {
        const int fd = callers.Next(30000);
        if (fd < 0) return 3;
        if (Serve(fd, argv[1], argv[2]) != 0) status = 1;
        ::close(fd);  // when the session left it open
    }
    return status;
}
