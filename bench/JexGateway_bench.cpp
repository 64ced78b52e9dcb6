// Benchmarks of gateway connections on loopback (0, 1 and 2 relays) beside a plain socket pair,
// and of the same connections through minimal splicing relays.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/PeerRatio.h"
#include "bench/SocketPair.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/RouteMap.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::bench::NoDelay;
using tavro::bench::ReadAll;
using tavro::bench::WriteAll;
using tavro::testing::GatewayNode;
using tavro::testing::LoopbackRouteEntry;
using tavro::testing::RouteEntry;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

// Passes what arrives at `from` on to `to`, spliced through a pipe, until
// either side ends; then shuts both, so that the end travels on.
void SplicePass(int from, int to) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) == 0) {
        (void)::fcntl(pipe[1], F_SETPIPE_SZ, 1 << 20);
        ssize_t held = 0;
        while ((held = ::splice(from, nullptr, pipe[1], nullptr, 1 << 20, SPLICE_F_MOVE)) > 0) {
            ssize_t put = 0;
            while (held > 0 && (put = ::splice(pipe[0], nullptr, to, nullptr,
                                               static_cast<size_t>(held), SPLICE_F_MOVE)) > 0)
                held -= put;
            if (held > 0) break;  // the far side failed
        }
        ::close(pipe[0]);
        ::close(pipe[1]);
    }
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
}

// A minimal relay: takes one connection on a port of 127.0.0.1 and passes
// it, both ways, to `target`, with a blocking splice loop per direction:
// the floor a relay hop stands on.
class PlainRelay {
public:
    explicit PlainRelay(int target) {
        listener_ = tavro::testing::ListenLoopback(port_, 1);
        if (listener_ < 0) return;
        relay_ = std::thread([this, target] {
            const int near = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (near < 0) return;
            const int far = tavro::testing::ConnectLoopback(target);
            if (far >= 0) {
                NoDelay(near);
                NoDelay(far);
                std::thread back(SplicePass, far, near);
                SplicePass(near, far);
                back.join();
                ::close(far);
            }
            ::close(near);
        });
    }
    // Ends once its connection has (a relay never connected to ends at once).
    ~PlainRelay() {
        if (listener_ < 0) return;
        ::shutdown(listener_, SHUT_RDWR);
        relay_.join();
        ::close(listener_);
    }
    PlainRelay(const PlainRelay&) = delete;
    PlainRelay& operator=(const PlainRelay&) = delete;

    bool ok() const { return listener_ >= 0; }
    int Port() const { return port_; }

private:
    int port_ = 0;
    int listener_ = -1;
    std::thread relay_;
};

// Minimal relays in a row in front of port `target`; each sends its
// connection to the one made before it. Returns the port to connect to.
int RelaysBefore(int target, int relays, std::vector<std::unique_ptr<PlainRelay>>& made) {
    for (int i = 0; i < relays; ++i) {
        made.push_back(std::make_unique<PlainRelay>(target));
        if (!made.back()->ok()) return -1;
        target = made.back()->Port();
    }
    return target;
}

// Returns every block of `block` bytes that arrives at fd, until the
// connection ends.
void EchoBlocks(int fd, int block) {
    std::string buffer(static_cast<size_t>(block), '\0');
    while (ReadAll(fd, buffer.data(), block) && WriteAll(fd, buffer.data(), block)) {
    }
}

// A plain TCP connection on 127.0.0.1 whose far end returns every block:
// the floor any connection over the loopback stands on.
class SocketEcho {
public:
    explicit SocketEcho(int block) : block_(block) {
        if (!pair_.ok()) return;
        serve_ = std::thread(EchoBlocks, pair_.server(), block_);
    }
    ~SocketEcho() {
        shutdown(pair_.client(), SHUT_RDWR);
        if (serve_.joinable()) serve_.join();
    }
    bool ok() const { return pair_.ok(); }
    // Sends the block and reads it back.
    bool RoundTrip(const char* out, char* in) {
        return WriteAll(pair_.client(), out, block_) && ReadAll(pair_.client(), in, block_);
    }

private:
    int block_;
    tavro::bench::SocketPair pair_;
    std::thread serve_;
};

// The same echo behind minimal relays.
class PlainRelayedSocketEcho {
public:
    PlainRelayedSocketEcho(int block, int relays) {
        int port = 0;
        listener_ = tavro::testing::ListenLoopback(port, 1);
        if (listener_ < 0) return;
        echo_ = std::thread([this, block] {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            NoDelay(fd);
            EchoBlocks(fd, block);
            ::close(fd);
        });
        port = RelaysBefore(port, relays, relays_);
        if (port > 0) client_ = tavro::testing::ConnectLoopback(port);
        if (client_ >= 0) NoDelay(client_);
    }
    // The client's end is shut first: each relay then passes the end on, up
    // to the echo.
    ~PlainRelayedSocketEcho() {
        if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
        relays_.clear();
        if (listener_ >= 0) {
            ::shutdown(listener_, SHUT_RDWR);
            echo_.join();
            ::close(listener_);
        }
        if (client_ >= 0) ::close(client_);
    }
    bool ok() const { return client_ >= 0; }
    bool RoundTrip(const char* out, char* in, int block) {
        return WriteAll(client_, out, block) && ReadAll(client_, in, block);
    }

private:
    int listener_ = -1;
    int client_ = -1;
    std::thread echo_;
    std::vector<std::unique_ptr<PlainRelay>> relays_;
};

// A client gateway connected to an echo node through a number of relay
// nodes, each with its own route map, or through as many minimal relays.
class GatewayEcho {
public:
    explicit GatewayEcho(int relays, bool plain = false) {
        nodes_.push_back(std::make_unique<GatewayNode>("srv", "snode", Map("srv.map", "")));
        for (int i = 0; i < (plain ? 0 : relays); ++i) {
            const std::string name = "r" + std::to_string(i);
            nodes_.push_back(std::make_unique<GatewayNode>(name, "n", Map(name + ".map", "")));
        }
        for (auto& node : nodes_) ok_ = node->Start() && ok_;
        // Each relay sends the connection to the node started before it.
        for (size_t i = 1; i < nodes_.size(); ++i)
            Map("r" + std::to_string(i - 1) + ".map", RouteEntry("srv", nodes_[i - 1]->Address()));
        std::string route = RouteEntry("srv", nodes_.back()->Address());
        if (plain) {
            const int port = RelaysBefore(nodes_.front()->Port(), relays, plain_);
            ok_ = ok_ && port > 0;
            route = LoopbackRouteEntry("srv", port);
        }
        client_.SetSuppress(1);
        client_.SetAttr(JexGateway::ACID, "cli");
        client_.SetAttr(JexGateway::NODE, "cnode");
        client_.SetAttr(JexGateway::ROUTE_MAP, Map("client.map", route).c_str());
        ok_ = ok_ && client_.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                     JexString("echo")) == 0;
    }
    // The client ends before the nodes (members end in reverse order), so
    // every node thread can end.
    ~GatewayEcho() {
        if (ok_) client_.Disconnect();
    }
    bool ok() const { return ok_; }
    bool RoundTrip(const JexBuffer& out, JexBuffer& in) {
        return client_.PutMsg(out) == 0 && client_.GetMsg(in) == 0;
    }

private:
    std::string Map(const std::string& name, const std::string& lines) {
        WriteFile(dir_.Path() / name, lines);
        return (dir_.Path() / name).string();
    }

    TempDir dir_{"gwbench"};
    std::vector<std::unique_ptr<GatewayNode>> nodes_;
    std::vector<std::unique_ptr<PlainRelay>> plain_;  // after the nodes: they end first
    JexGateway client_;                               // after the nodes and relays: it ends first
    bool ok_ = true;
};

void BM_SocketRoundTrip(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    SocketEcho link(block);
    if (!link.ok()) return state.SkipWithError("no loopback connection");
    std::string out(static_cast<size_t>(block), 'q');
    std::string in(static_cast<size_t>(block), '\0');
    for (auto _ : state)
        if (!link.RoundTrip(out.data(), in.data())) return state.SkipWithError("link broke");
    state.SetBytesProcessed(state.iterations() * block * 2);
}

// range(0): block size; range(1): minimal relays between client and echo.
void BM_PlainRelayRoundTrip(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    PlainRelayedSocketEcho link(block, static_cast<int>(state.range(1)));
    if (!link.ok()) return state.SkipWithError("no relayed loopback connection");
    std::string out(static_cast<size_t>(block), 'q');
    std::string in(static_cast<size_t>(block), '\0');
    for (auto _ : state)
        if (!link.RoundTrip(out.data(), in.data(), block)) return state.SkipWithError("link broke");
    state.SetBytesProcessed(state.iterations() * block * 2);
}

// range(0): block size; range(1): relays between client and echo, gateway
// nodes or (plain) minimal relays.
void GatewayRoundTrips(benchmark::State& state, bool plain) {
    const int block = static_cast<int>(state.range(0));
    GatewayEcho link(static_cast<int>(state.range(1)), plain);
    if (!link.ok()) return state.SkipWithError("no gateway connection");
    JexBuffer out{JexBufferBase(block)};
    JexBuffer in;
    for (auto _ : state)
        if (!link.RoundTrip(out, in)) return state.SkipWithError("connection broke");
    state.SetBytesProcessed(state.iterations() * block * 2);
}
void BM_GatewayRoundTrip(benchmark::State& state) { GatewayRoundTrips(state, false); }

void BM_GatewayPlainRelayRoundTrip(benchmark::State& state) { GatewayRoundTrips(state, true); }

// A small request and its answer.
BENCHMARK(BM_SocketRoundTrip)->Arg(64)->UseRealTime();
BENCHMARK(BM_GatewayRoundTrip)->Args({64, 0})->Args({64, 1})->Args({64, 2})->UseRealTime();
// Large DATA records.
BENCHMARK(BM_SocketRoundTrip)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();
BENCHMARK(BM_GatewayRoundTrip)
    ->Args({1 << 20, 0})
    ->Args({16 << 20, 0})
    ->Args({1 << 20, 1})
    ->Args({1 << 20, 2})
    ->UseRealTime();
// The same through minimal relays: the floor under a relay hop.
BENCHMARK(BM_PlainRelayRoundTrip)->Args({1 << 20, 1})->Args({1 << 20, 2})->UseRealTime();
BENCHMARK(BM_GatewayPlainRelayRoundTrip)->Args({1 << 20, 1})->Args({1 << 20, 2})->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    const std::string one = "BM_SocketRoundTrip/1048576/real_time";
    return tavro::bench::RunWithRatios(
        argc, argv,
        {
            {"BM_GatewayRoundTrip/64/0/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/64/1/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/64/2/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/1048576/0/real_time", one, 1.3},
            {"BM_GatewayRoundTrip/16777216/0/real_time", "BM_SocketRoundTrip/16777216/real_time",
             1.3},
            {"BM_GatewayRoundTrip/1048576/1/real_time", one},
            {"BM_GatewayRoundTrip/1048576/2/real_time", one},
            {"BM_PlainRelayRoundTrip/1048576/1/real_time", one},
            {"BM_PlainRelayRoundTrip/1048576/2/real_time", one},
            // A hop's goal is set against the minimal relay's, the floor
            // of a hop; the relays beside the socket pair above show it.
            {"BM_GatewayRoundTrip/1048576/1/real_time",
             "BM_GatewayPlainRelayRoundTrip/1048576/1/real_time", 1.15},
            {"BM_GatewayRoundTrip/1048576/2/real_time",
             "BM_GatewayPlainRelayRoundTrip/1048576/2/real_time", 1.15},
        });
}
