// Benchmarks of gateway connections on loopback (0, 1 and 2 relays) beside a plain socket pair.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
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
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/RouteMap.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::bench::ReadAll;
using tavro::bench::WriteAll;
using tavro::testing::GatewayNode;
using tavro::testing::RouteEntry;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

// A plain TCP connection on 127.0.0.1 whose far end returns every block:
// the floor any connection over the loopback stands on.
class SocketEcho {
public:
    explicit SocketEcho(int block) : block_(block) {
        if (!pair_.ok()) return;
        serve_ = std::thread([this] {
            std::string buffer(static_cast<size_t>(block_), '\0');
            while (ReadAll(pair_.server(), buffer.data(), block_) &&
                   WriteAll(pair_.server(), buffer.data(), block_)) {
            }
        });
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

// A client gateway connected to an echo node through a number of relay
// nodes, each with its own route map.
class GatewayEcho {
public:
    explicit GatewayEcho(int relays) {
        nodes_.push_back(std::make_unique<GatewayNode>("srv", "snode", Map("srv.map", "")));
        for (int i = 0; i < relays; ++i) {
            const std::string name = "r" + std::to_string(i);
            nodes_.push_back(std::make_unique<GatewayNode>(name, "n", Map(name + ".map", "")));
        }
        for (auto& node : nodes_) ok_ = node->Start() && ok_;
        // Each relay sends the connection to the node started before it.
        for (size_t i = 1; i < nodes_.size(); ++i)
            Map("r" + std::to_string(i - 1) + ".map", RouteEntry("srv", nodes_[i - 1]->Address()));
        client_.SetSuppress(1);
        client_.SetAttr(JexGateway::ACID, "cli");
        client_.SetAttr(JexGateway::NODE, "cnode");
        client_.SetAttr(JexGateway::ROUTE_MAP,
                        Map("client.map", RouteEntry("srv", nodes_.back()->Address())).c_str());
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
    JexGateway client_;  // after the nodes: it ends first
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

// range(0): block size; range(1): relays between client and echo.
void BM_GatewayRoundTrip(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    GatewayEcho link(static_cast<int>(state.range(1)));
    if (!link.ok()) return state.SkipWithError("no gateway connection");
    JexBuffer out{JexBufferBase(block)};
    JexBuffer in;
    for (auto _ : state)
        if (!link.RoundTrip(out, in)) return state.SkipWithError("connection broke");
    state.SetBytesProcessed(state.iterations() * block * 2);
}

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

}  // namespace

int main(int argc, char** argv) {
    const std::string one = "BM_SocketRoundTrip/1048576/real_time";
    return tavro::bench::RunWithRatios(
        argc, argv,
        {
            {"BM_GatewayRoundTrip/64/0/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/64/1/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/64/2/real_time", "BM_SocketRoundTrip/64/real_time"},
            {"BM_GatewayRoundTrip/1048576/0/real_time", one},
            {"BM_GatewayRoundTrip/16777216/0/real_time", "BM_SocketRoundTrip/16777216/real_time"},
            {"BM_GatewayRoundTrip/1048576/1/real_time", one},
            {"BM_GatewayRoundTrip/1048576/2/real_time", one},
        });
}
