// Benchmarks of the message transport on loopback against a plain socket pair moving the same
// bytes, and of the route map a gateway builds for each connection at two sizes.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/PeerRatio.h"
#include "bench/SocketPair.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexRouteMap.h"
#include "jexlink/transport/JexTransport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::bench::ReadAll;
using tavro::bench::WriteAll;
using tavro::testing::LocalPort;

// What the far end does with every block it reads.
enum class Peer { kAcknowledge, kEcho };

// One TCP connection between two transports on 127.0.0.1, with the far end
// served on a thread of its own until the link is taken down.
class TransportLink {
public:
    TransportLink(int block, Peer peer) : listener_(JexNetAddr("T/127.0.0.1/0", '/')) {
        listener_.SetSuppress(1);
        client_.SetSuppress(1);
        server_.SetSuppress(1);
        const std::string address =
            tavro::testing::LoopbackTransportAddress(LocalPort(listener_.Endpoint()->Handle()));
        std::thread accept([&] { listener_.Accept(server_); });
        ok_ = client_.Connect(JexNetAddr(address.c_str(), '/')) == 0;
        accept.join();
        serve_ = std::thread([this, block, peer] {
            std::string buffer(static_cast<size_t>(block), '\0');
            int got = 0;
            while (server_.GetData(buffer.data(), block, got, 0) == 0) {
                const int rc = peer == Peer::kEcho ? server_.PutData(buffer.data(), block, 0)
                                                   : server_.PutData("k", 1, 0);
                if (rc != 0) break;
            }
        });
    }
    ~TransportLink() {
        client_.Disconnect();
        serve_.join();
    }
    bool ok() const { return ok_; }
    JexTransport& client() { return client_; }

private:
    JexTransportListener listener_;
    JexTransport client_;
    JexTransport server_;
    std::thread serve_;
    bool ok_ = false;
};

// The same with plain sockets: blocking send and recv loops.
class SocketLink {
public:
    SocketLink(int block, Peer peer) {
        if (!pair_.ok()) return;
        serve_ = std::thread([this, block, peer] {
            const int fd = pair_.server();
            std::string buffer(static_cast<size_t>(block), '\0');
            while (ReadAll(fd, buffer.data(), block)) {
                const bool put =
                    peer == Peer::kEcho ? WriteAll(fd, buffer.data(), block) : WriteAll(fd, "k", 1);
                if (!put) break;
            }
        });
    }
    ~SocketLink() {
        shutdown(pair_.client(), SHUT_RDWR);
        if (serve_.joinable()) serve_.join();
    }
    bool ok() const { return pair_.ok(); }
    int client() const { return pair_.client(); }

private:
    tavro::bench::SocketPair pair_;
    std::thread serve_;
};

// Throughput: blocks of range(0) bytes one way, each acknowledged by a
// byte; range(1) is the transport's IO size (the largest single write).
void BM_TransportThroughput(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    TransportLink link(block, Peer::kAcknowledge);
    if (!link.ok()) return state.SkipWithError("no loopback connection");
    link.client().SetAttr(JexTransport::kIoSize, static_cast<int>(state.range(1)));
    const std::string data(static_cast<size_t>(block), 'd');
    char ack = 0;
    int got = 0;
    for (auto _ : state) {
        if (link.client().PutData(data.data(), block, 0) != 0 ||
            link.client().GetData(&ack, 1, got, 0) != 0)
            return state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * block);
}

void BM_PlainSocketThroughput(benchmark::State& state) {
    const int block = static_cast<int>(state.range(0));
    SocketLink link(block, Peer::kAcknowledge);
    if (!link.ok()) return state.SkipWithError("no loopback connection");
    const std::string data(static_cast<size_t>(block), 'd');
    char ack = 0;
    for (auto _ : state) {
        if (!WriteAll(link.client(), data.data(), block) || !ReadAll(link.client(), &ack, 1))
            return state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * block);
}

// Round trip: a request of range(0) bytes and an answer of the same size.
void BM_TransportRoundTrip(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    TransportLink link(size, Peer::kEcho);
    if (!link.ok()) return state.SkipWithError("no loopback connection");
    const std::string request(static_cast<size_t>(size), 'r');
    std::string answer(static_cast<size_t>(size), '\0');
    int got = 0;
    for (auto _ : state) {
        if (link.client().PutData(request.data(), size, 0) != 0 ||
            link.client().GetData(answer.data(), size, got, 0) != 0)
            return state.SkipWithError("round trip failed");
    }
    state.SetBytesProcessed(state.iterations() * size * 2);
}

void BM_PlainSocketRoundTrip(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    SocketLink link(size, Peer::kEcho);
    if (!link.ok()) return state.SkipWithError("no loopback connection");
    const std::string request(static_cast<size_t>(size), 'r');
    std::string answer(static_cast<size_t>(size), '\0');
    for (auto _ : state) {
        if (!WriteAll(link.client(), request.data(), size) ||
            !ReadAll(link.client(), answer.data(), size))
            return state.SkipWithError("round trip failed");
    }
    state.SetBytesProcessed(state.iterations() * size * 2);
}

// A route map of `entries` lines as a hub's map grows: per-customer routes
// to each node's applications, wildcard routes per domain and region,
// mixed preferences and flags, comments, and a default route at the end.
std::string HubRouteMap(int entries) {
    static const char* const kApps[] = {"Jex_Sra", "Jex_Mail", "Jex_K2", "Jex_Ping", "*"};
    static const char* const kFlags[] = {"", "", "R", "", "L", ""};
    std::string text = "# route map of the support hub\n";
    for (int i = 0; i + 1 < entries; ++i) {
        const int domain = i / 20;
        const std::string address = "T/10." + std::to_string(domain / 250 % 250) + "." +
                                    std::to_string(domain % 250) + "." +
                                    std::to_string(i % 20 + 1) + "/9293";
        std::string pattern = "cust" + std::to_string(domain);
        if (i % 10 == 9)
            pattern += "/*";
        else
            pattern += "/node" + std::to_string(i % 20) + "/" + kApps[i % 5];
        if (i % 97 == 0) text += "# customer " + std::to_string(domain) + " moved in\n";
        text += tavro::testing::RouteEntry(pattern, address, i % 7 == 0 ? -1 : i % 4 * 10,
                                           kFlags[i % 6]);
    }
    return text + tavro::testing::RouteEntry("*", "T/10.255.255.1/9293", 250);
}

// What a gateway's connection costs in its route map: the map built from
// the file of range(0) entries and one destination looked up, over keys
// whose routes lie spread through the map. The 4,000-entry map is the
// larger one's peer: the cost should grow no faster than the map.
void BM_RouteMapConnection(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    tavro::testing::TempDir dir("routemap-bench");
    const std::filesystem::path file = dir.Path() / "jex_route_map.dat";
    tavro::testing::WriteFile(file, HubRouteMap(entries));
    const JexString name(file.c_str());
    std::vector<JexFieldedString> keys;
    for (int i = 0; i < 16; ++i) {
        const int domain = (2 * i + 1) * (entries / 20) / 32;
        keys.emplace_back(
            ("cust" + std::to_string(domain) + "/node" + std::to_string(i % 9) + "/Jex_Sra")
                .c_str(),
            '/');
    }
    JexRouteEntry route;
    // The file is read once, as by the node's first connection after it changed.
    { JexRouteMap first(name); }
    size_t next = 0;
    for (auto _ : state) {
        JexRouteMap map(name);
        map.SetSuppress(1);
        if (map.GetEntry(keys[next], route) != 0) return state.SkipWithError("no route");
        next = (next + 1) % keys.size();
    }
}

BENCHMARK(BM_TransportThroughput)
    ->Args({64 << 10, 1280})
    ->Args({1 << 20, 1280})
    ->Args({1 << 20, 64 << 10})
    ->UseRealTime();
BENCHMARK(BM_PlainSocketThroughput)->Arg(64 << 10)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_TransportRoundTrip)->Arg(3000)->UseRealTime();
BENCHMARK(BM_PlainSocketRoundTrip)->Arg(3000)->UseRealTime();
BENCHMARK(BM_RouteMapConnection)->Arg(4000)->Arg(10000)->Arg(100000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    return tavro::bench::RunWithRatios(
        argc, argv,
        {
            {"BM_TransportThroughput/65536/1280/real_time",
             "BM_PlainSocketThroughput/65536/real_time"},
            {"BM_TransportThroughput/1048576/1280/real_time",
             "BM_PlainSocketThroughput/1048576/real_time", 1.2},
            {"BM_TransportThroughput/1048576/65536/real_time",
             "BM_PlainSocketThroughput/1048576/real_time"},
            {"BM_TransportRoundTrip/3000/real_time", "BM_PlainSocketRoundTrip/3000/real_time"},
            {"BM_RouteMapConnection/10000/real_time", "BM_RouteMapConnection/4000/real_time"},
            {"BM_RouteMapConnection/100000/real_time", "BM_RouteMapConnection/4000/real_time", 30},
        });
}
