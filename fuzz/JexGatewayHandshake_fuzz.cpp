// Fuzz target: a caller's byte stream answered by a gateway's handshake and message exchange.
//
// The bytes are what a calling end sends on an inherited connection: frames
// holding a CONNECT and whatever follows. The gateway under test listens on
// it with a route map that relays one destination (to an address that
// cannot be reached) and redirects another, so every branch of the route
// decision is open; an accepted connection is read until it ends.
//
// Reaches: a gateway's answering handshake: CONNECT checks, accepting, relaying (the leg fails),
// redirecting and forwarding by the route map, PROGRESS, HIT and REJECT answers, and the message
// exchange after it.
// Cannot reach: a relay that connects (the relayed address is unreachable), the calling side's
// handshake, inputs above 64 KiB (the socket buffer).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ScratchDir.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/transport/JexGateway.h"

namespace {

// The route map file, written once per process.
const std::string& RouteMap() {
    static const std::string path = [] {
        const std::string file = fuzz_support::MakeScratchDir("jexgw-fuzz") + "/route.map";
        if (FILE* f = std::fopen(file.c_str(), "w")) {
            std::fputs(
                "far\tZ/nowhere\t1\n"
                "far/*/app\tT/127.0.0.1/1\t2\tXL\n"
                "redir\tT/127.0.0.1/1\t1\tF\n"
                "back\tT/127.0.0.1/1\t1\tR\n",
                f);
            std::fclose(f);
        }
        return file;
    }();
    return path;
}

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The local-pipe endpoint ('L') the gateway listens on comes from the
    // library's seams, filled once.
    [[maybe_unused]] static const bool setUp = [] {
        JexLinkSetUp();
        return true;
    }();
    if (size > 65536) return 0;  // more than the socket buffer holds at once
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    int buffer = 1 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    for (size_t done = 0; done < size;) {
        const ssize_t w = ::send(pair[0], data + done, size - done, MSG_NOSIGNAL);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    ::shutdown(pair[0], SHUT_WR);

    ::setenv("JEX_TRANSPORT_TYPE", "L", 1);
    ::setenv("JEX_NET_HANDLE", std::to_string(pair[1]).c_str(), 1);
    {
        QuietGateway g;
        g.SetAttr(JexGateway::ROUTE_MAP, RouteMap().c_str());
        const int rc = g.Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','), "*");
        if (rc == 0) {
            JexBuffer b;
            for (int records = 0; records < 64 && g.GetMsg(b) == 0; ++records) {
            }
            if (g.State() == JexGateway::FINISH) g.Disconnect();
        } else if (g.State() == JexGateway::RUN) {
            std::abort();  // only an accepted connection runs
        }
    }
    ::close(pair[0]);
    // The gateway closed its side once it adopted it; nothing has opened a
    // descriptor since, so one still open is the one it refused.
    if (::fcntl(pair[1], F_GETFD) != -1) ::close(pair[1]);
    return 0;
}
