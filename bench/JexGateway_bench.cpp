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
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::GatewayNode;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

// A plain TCP connection on 127.0.0.1 whose far end returns every block:
// the floor any connection over the loopback stands on.
class SocketEcho {
public:
    explicit SocketEcho(int block) : block_(block) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof in;
        bind(listener, reinterpret_cast<sockaddr*>(&in), sizeof in);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&in), &size);
        client_ = socket(AF_INET, SOCK_STREAM, 0);
        ok_ = connect(client_, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
        server_ = accept(listener, nullptr, nullptr);
        close(listener);
        const int on = 1;
        for (int fd : {client_, server_}) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        serve_ = std::thread([this] {
            std::string buffer(static_cast<size_t>(block_), '\0');
            while (Exchange(server_, buffer.data(), buffer.data())) {
            }
        });
    }
    ~SocketEcho() {
        shutdown(client_, SHUT_RDWR);
        serve_.join();
        close(client_);
        close(server_);
    }
    bool ok() const { return ok_; }
    // Sends the block and reads it back.
    bool RoundTrip(const char* out, char* in) {
        return SendAll(client_, out) && ReadAll(client_, in);
    }

private:
    bool Exchange(int fd, char* in, const char* out) { return ReadAll(fd, in) && SendAll(fd, out); }
    bool ReadAll(int fd, char* p) {
        for (int got = 0; got < block_;) {
            const ssize_t r = recv(fd, p + got, static_cast<size_t>(block_ - got), 0);
            if (r <= 0) return false;
            got += static_cast<int>(r);
        }
        return true;
    }
    bool SendAll(int fd, const char* p) {
        for (int done = 0; done < block_;) {
            const ssize_t w = send(fd, p + done, static_cast<size_t>(block_ - done), MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += static_cast<int>(w);
        }
        return true;
    }

    int block_;
    int client_ = -1;
    int server_ = -1;
    std::thread serve_;
    bool ok_ = false;
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
            Map("r" + std::to_string(i - 1) + ".map", "srv\t" + nodes_[i - 1]->Address() + "\n");
        client_.SetSuppress(1);
        client_.SetAttr(JexGateway::ACID, "cli");
        client_.SetAttr(JexGateway::NODE, "cnode");
        client_.SetAttr(JexGateway::ROUTE_MAP,
                        Map("client.map", "srv\t" + nodes_.back()->Address() + "\n").c_str());
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
