// A K2 signing server for tests: serves K2 clients on an ephemeral loopback port.
//
// Usage: k2server_testapp ACID NODE [CONNECTIONS [FIRST_RECORD_SECONDS]]
// Prints "port N" on standard output, then serves CONNECTIONS (default 1)
// clients one after the other: each connection whose caller has spoken is
// adopted as the inherited connection of a new JexK2 server (Listen,
// Accept, Server, Disconnect). Callers wait side by side for their turn, so
// one that connects and says nothing is closed after FIRST_RECORD_SECONDS
// (default 5) without holding up the others, and so is one that says
// nothing after its gateway CONNECT (the session's own bound on the first
// record); neither is counted. Signing methods find their keys along
// JEXCRYPTO_PATH. Exit status 0 when every client ended with its
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
// A day: the bound in milliseconds stays well inside an int.
constexpr int kMaxFirstRecordSeconds = 86400;

// Serve's result for a caller that fell silent after its gateway CONNECT.
constexpr int kSilent = 2;

int Serve(int fd, const char* acid, const char* node, int firstRecordSeconds) {
    setenv("JEX_TRANSPORT_TYPE", "T", 1);
    setenv("JEX_NET_HANDLE", std::to_string(fd).c_str(), 1);
    JexK2 k2;
    k2.SetSuppress(1);
    k2.Session().Gateway().SetFirstRecordTimeout(firstRecordSeconds);
    JexBuffer connectData;
    int rc = k2.Listen(acid, node, connectData);
    if (rc != 0 && k2.Session().Code() == JexSession::TIMEOUT &&
        k2.Session().State() == JexSession::SCIW)
        return kSilent;
    if (rc == 0) rc = k2.Accept(JexBuffer());
    if (rc == 0) rc = k2.Server();
    if (rc != 0) std::fprintf(stderr, "%s\n", k2.Describe(1).Text());
    k2.Disconnect();
    return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s ACID NODE [CONNECTIONS [FIRST_RECORD_SECONDS]]\n", argv[0]);
        return 2;
    }
    const int connections = argc >= 4 ? std::atoi(argv[3]) : 1;
    const long bound =
        argc == 5 ? std::strtol(argv[4], nullptr, 10) : JexGateway::kDefaultFirstRecordTimeout;
    if (bound <= 0 || bound > kMaxFirstRecordSeconds) {
        std::fprintf(stderr, "%s: FIRST_RECORD_SECONDS must be 1 to %d\n", argv[0],
                     kMaxFirstRecordSeconds);
        return 2;
    }
    const int firstRecordSeconds = static_cast<int>(bound);
    int port = 0;
    const int listener = tavro::testing::ListenLoopback(port, SOMAXCONN);
    if (listener < 0) {
        std::perror("listen");
        return 2;
    }
    std::printf("port %d\n", port);
    std::fflush(stdout);

    int status = 0;
    tavro::testing::FirstBytesAcceptor callers(listener, kMaxPending, firstRecordSeconds * 1000);
    for (int i = 0; i < connections;) {
        const int fd = callers.Next(30000);
        if (fd < 0) return 3;
        const int served = Serve(fd, argv[1], argv[2], firstRecordSeconds);
        ::close(fd);  // when the session left it open
        if (served == kSilent) continue;
        if (served != 0) status = 1;
        ++i;
    }
    return status;
}
