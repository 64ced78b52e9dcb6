// Benchmark of one service request round trip (the create client against the test server host, an
// MD5-signed session on the loopback) beside a bare gateway exchange of the same messages.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/PeerRatio.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraCreateSrq.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexNetIO.h"
#include "platform/PlatformState.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SraPeer.h"

namespace {

namespace fs = std::filesystem;
using namespace tavro::testing;

constexpr const char* kKey = "bench road secret\n";
// How long after a write the library keeps no answer read from the file.
constexpr std::chrono::seconds kQuietTime(2);

std::string Slurp(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Put(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

// Installed files are older than the run, as on a node: their modification
// time is set an hour back. Their change time cannot be: the set-up waits
// out the quiet time once instead.
void Age(const fs::path& file) {
    timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};
    clock_gettime(CLOCK_REALTIME, &times[1]);
    times[1].tv_sec -= 3600;
    utimensat(AT_FDCWD, file.c_str(), times, 0);
}

void PutInstalled(const fs::path& file, const std::string& text) {
    Put(file, text);
    Age(file);
}

JexBuffer Encoded(const JexNetMsg& msg) {
    JexBuffer wire;
    (void)msg.Encode(wire);
    return wire;
}

JexBuffer BufferOf(const std::string& bytes) {
    return JexBuffer(JexBufferBase(bytes.data(), static_cast<int>(bytes.size())));
}

// One submission of the create client; its result.
int Submit() {
    JexSession session;
    JexSraCreateSrq request(&session, "acc-77", "Subject line", "Disk full");
    request.SetAttr(JexSra::SRQ_OS_INFO, "Linux");
    request.SetAttr(JexSra::SRQ_HARDWARE_INFO, "Server");
    request.SetAttr(JexSra::SRQ_SOFTWARE_INFO, "2.2");
    return request.Create();
}

// CPU seconds (user and system) of a process, from /proc.
double ProcessCpu(pid_t pid) {
    std::istringstream in(Slurp("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    // The command name (field 2) holds no blank here: the host program's.
    for (int i = 1; i < 14 && in >> field;) ++i;
    unsigned long long user = 0;
    unsigned long long system = 0;
    in >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The messages of one request as the server receives them: recorded once
// from the create client against a scripted peer.
struct Exchange {
    std::string connect;
    std::vector<std::string> messages;
    std::string accept;
    std::string reply;
    bool ok = false;
};

Exchange Record() {
    Exchange exchange;
    SraPeer peer;
    SraClientSetup setup(peer);
    if (!peer.Listening() || !setup.Ok() || !peer.Serve(SraPeerRow())) return exchange;
    const int result = Submit();
    if (!peer.Join() || result != 0) return exchange;
    exchange.connect = peer.Record().connect;
    exchange.messages = peer.Record().messages;
    auto bytes = [](const JexBuffer& b) { return std::string(b.Data(), b.Length()); };
    exchange.accept = bytes(Encoded(JexNetMsg(kSraAccept)));
    JexNetMsg reply;
    JexSraBuildSuccess(JexString("SR-1"), reply);
    exchange.reply = bytes(Encoded(reply));
    exchange.ok = !exchange.messages.empty();
    return exchange;
}

// The peer: a bare gateway server on a thread of this process that reads the
// request's messages, answers the connect with the accept and the end with
// the reply, as the server host does over its session.
class BareServer {
public:
    BareServer(const Exchange& exchange, std::string routeMap)
        : exchange_(exchange), routeMap_(std::move(routeMap)) {
        listener_ = std::make_unique<JexGatewayListener>("*", JexNetAddr("T/127.0.0.1/0", '/'));
        listener_->SetSuppress(1);
        if (!listener_->Listening()) return;
        sockaddr_in in{};
        socklen_t size = sizeof in;
        getsockname(listener_->Listener()->Endpoint()->Handle(), reinterpret_cast<sockaddr*>(&in),
                    &size);
        port_ = ntohs(in.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~BareServer() {
        stopping_ = true;
        if (listener_) listener_->Listener()->Disconnect();
        if (acceptor_.joinable()) acceptor_.join();
        Reap(true);
    }
    int Port() const { return port_; }

private:
    struct Connection {
        std::unique_ptr<JexGateway> gateway;
        std::unique_ptr<JexThread> thread;
        std::atomic<bool> done{false};
    };

    static void Completed(JexThread*, JexGateway* g, int result, void* self) {
        auto* server = static_cast<BareServer*>(self);
        if (result == 0) server->Answer(*g);
    }

    void Answer(JexGateway& g) {
        const std::string end(1, static_cast<char>(kSraEnd));
        JexBuffer in;
        bool connected = false;
        for (;;) {
            const int rc = g.GetMsg(in);
            if (rc == JexGateway::SHUTDOWN) {
                g.Disconnect();
                break;
            }
            if (rc != 0) break;
            if (!connected) {
                connected = true;
                if (g.PutMsg(BufferOf(exchange_.accept)) != 0) break;
            } else if (in.Length() == 1 && in.Data()[0] == kSraEnd) {
                if (g.PutMsg(BufferOf(exchange_.reply)) != 0) break;
            }
        }
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto& c : connections_)
            if (c->gateway.get() == &g) c->done = true;
    }

    // Joins the connection threads that have ended (all of them when `all`).
    void Reap(bool all) {
        std::vector<std::unique_ptr<Connection>> ended;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (all || (*it)->done) {
                    ended.push_back(std::move(*it));
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : ended)
            if (c->thread) c->thread->Join();
    }

    void AcceptLoop() {
        while (!stopping_) {
            auto c = std::make_unique<Connection>();
            c->gateway = std::make_unique<JexGateway>();
            c->gateway->SetSuppress(1);
            c->gateway->SetAttr(JexGateway::ACID, "srv");
            c->gateway->SetAttr(JexGateway::NODE, "snode");
            c->gateway->SetAttr(JexGateway::ROUTE_MAP, routeMap_.c_str());
            c->gateway->systemId = "srv/snode";
            Connection* raw = c.get();
            {
                std::lock_guard<std::mutex> hold(mutex_);
                connections_.push_back(std::move(c));
            }
            JexThread* thread = nullptr;
            if (listener_->Accept(*raw->gateway, &Completed, this, thread) != 0) {
                raw->done = true;
                Reap(false);
                if (stopping_) break;
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(mutex_);
                raw->thread.reset(thread);
            }
            Reap(false);
        }
    }

    const Exchange& exchange_;
    std::string routeMap_;
    std::unique_ptr<JexGatewayListener> listener_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int port_ = -1;
};

// Where the installation trees lie: on the memory file system when there is
// one. The server makes and deletes a work file in its current directory
// for every request; on an ext4 file system without a journal (as on this
// machine's root) each new inode is searched for past the inodes freed in
// the last minute in its group, which every program that churns files
// there makes slower, so a run's figures would measure its neighbours.
fs::path RoadBase() {
    std::error_code failed;
    if (!std::getenv("TMPDIR") && fs::is_directory("/dev/shm", failed) &&
        ::access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return fs::temp_directory_path();
}

// Two installation trees and two registries, as on two machines: this
// process is the client; the test server host runs in a child process with
// the platform state of its own, serving one connection after the other.
struct Road {
    fs::path dir;
    pid_t host = -1;
    Exchange exchange;
    std::unique_ptr<BareServer> bare;
    fs::path bareMap;
    bool ok = false;

    Road() {
        std::string pattern = (RoadBase() / "sra-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir = pattern;
        // Both sides keep their history logs, as an installed node does.
        for (const char* sub : {"state", "client/data", "client/logs", "client/keys", "server/data",
                                "server/logs", "server/Keys", "server/out", "server-state"})
            fs::create_directories(dir / sub);
        chmod((dir / "state").c_str(), 0700);
        chmod((dir / "server-state").c_str(), 0700);
        setenv(platform::kStateDirVar, (dir / "state").c_str(), 1);
        exchange = Record();

        const fs::path client = dir / "client";
        ok = exchange.ok && WriteInstallPath(client.string()) &&
             WriteText(JexConfig::kApplications, "Local.Domain", "cli") &&
             WriteText(JexConfig::kApplications, "Local.Node", "cnode") &&
             WriteText(JexConfig::kApplications, "Remote.Domain", "srv") &&
             WriteText(JexConfig::kApplications, "Remote.Node", "snode") &&
             WriteText(JexConfig::kApplications, "SRA.ReplyTimeout", "30");
        PutInstalled(client / "keys" / "MD5-CLI-SRV", kKey);
        setenv("JEXCRYPTO_PATH", (client / "keys").c_str(), 1);
        const fs::path server = dir / "server";
        PutInstalled(server / "data" / "jex_route_map.dat", "");
        PutInstalled(server / "data" / "jex_remote_auth.dat", "allow cli * * * * * * road\n");
        PutInstalled(server / "data" / "jex_obligation_map.dat", "");
        PutInstalled(server / "Keys" / "MD5-CLI-SRV", kKey);
        for (const fs::path& keys : {client / "keys", server / "Keys"}) Age(keys);
        ok = ok && StartHost() && StartBare();
        // Every file a request reads was written just now; on an installed
        // node they are older than the quiet time within which the process
        // keeps no answer read from a file (its change time cannot be set
        // back), so that time is waited out once before measuring.
        if (ok) std::this_thread::sleep_for(kQuietTime + std::chrono::milliseconds(200));
    }

    bool StartBare() {
        const fs::path serverMap = dir / "bare-server.map";
        Put(serverMap, "");
        bare = std::make_unique<BareServer>(exchange, serverMap.string());
        if (bare->Port() < 0) return false;
        bareMap = dir / "bare.map";
        Put(bareMap, LoopbackRouteEntry("srv", bare->Port()));
        return true;
    }

    ~Road() {
        bare.reset();
        if (host > 0) {
            kill(host, SIGTERM);
            waitpid(host, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    bool StartHost() {
        const std::string out = (dir / "host.out").string();
        const std::string install = (dir / "server").string();
        const std::string outDir = (dir / "server" / "out").string();
        const std::string state = (dir / "server-state").string();
        host = fork();
        if (host == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) _exit(127);
            setenv(platform::kStateDirVar, state.c_str(), 1);
            unsetenv("JEXCRYPTO_PATH");
            execl(SRASERVER_PROGRAM, SRASERVER_PROGRAM, install.c_str(), outDir.c_str(), "0",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (host < 0) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string text = Slurp(out);
            if (text.rfind("port ", 0) == 0 && text.find('\n') != std::string::npos) {
                const std::string port = text.substr(5, text.find('\n') - 5);
                PutInstalled(dir / "client" / "data" / "jex_route_map.dat",
                             RouteEntry("srv/snode/Jex_Sra", LoopbackTransportAddress(port), 1));
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

Road& TheRoad() {
    static Road road;
    return road;
}

void BM_SraCreateRequest(benchmark::State& state) {
    Road& road = TheRoad();
    if (!road.ok) return state.SkipWithError("no server host");
    const double cpuBefore = OwnCpu() + ProcessCpu(road.host);
    for (auto _ : state) {
        if (Submit() != 0) return state.SkipWithError("the request failed");
    }
    // The host's CPU is counted in clock ticks: over many requests it is
    // fine enough.
    const double cpu = OwnCpu() + ProcessCpu(road.host) - cpuBefore;
    state.counters["cpu_us"] = benchmark::Counter(cpu * 1e6, benchmark::Counter::kAvgIterations);
}

void BM_BareGatewayExchange(benchmark::State& state) {
    Road& road = TheRoad();
    if (!road.ok) return state.SkipWithError("no recorded exchange or no listener");
    const std::string map = road.bareMap.string();
    const double cpuBefore = OwnCpu();
    JexBuffer in;
    for (auto _ : state) {
        JexGateway client;
        client.SetSuppress(1);
        client.SetAttr(JexGateway::ACID, "cli");
        client.SetAttr(JexGateway::NODE, "cnode");
        client.SetAttr(JexGateway::ROUTE_MAP, map.c_str());
        bool ok = client.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                 JexString(kSraApplication)) == 0 &&
                  client.PutMsg(BufferOf(road.exchange.connect)) == 0 && client.GetMsg(in) == 0;
        for (const std::string& m : road.exchange.messages)
            ok = ok && client.PutMsg(BufferOf(m)) == 0;
        ok = ok && client.GetMsg(in) == 0 && client.Disconnect() == 0;
        if (!ok) return state.SkipWithError("the exchange failed");
    }
    state.counters["cpu_us"] =
        benchmark::Counter((OwnCpu() - cpuBefore) * 1e6, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_BareGatewayExchange)->UseRealTime();
BENCHMARK(BM_SraCreateRequest)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    signal(SIGPIPE, SIG_IGN);
    return tavro::bench::RunWithRatios(
        argc, argv, {{"BM_SraCreateRequest/real_time", "BM_BareGatewayExchange/real_time"}});
}
