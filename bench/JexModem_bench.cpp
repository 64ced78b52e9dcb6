// Benchmarks of the modem transport: the frame codec beside a plain copy, the commbox beside a bare
// datagram socket pair, and a modem connection through the fake daemon beside two commbox round
// trips (a message there passes four boxes); each ratio to its peer is printed at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/PeerRatio.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/modem/JexIpc.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/modem/JexTp2Frame.h"
#include "platform/PlatformState.h"
#include "testing/support/FakeModemDaemon.h"
#include "testing/support/JexConfigTestSupport.h"

namespace {

// A small data message, a typical one, and one near the commbox limit.
void Sizes(benchmark::internal::Benchmark* b) {
    for (int size : {64, 1280, 60 * 1024}) b->Arg(size);
}

// The messages' bytes: the machine's licence texts, read once, each
// call a slice at another place (text of a kind where they are missing).
const std::string& LicenceText() {
    static const std::string text = [] {
        std::string all;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator("/usr/share/common-licenses", ec)) {
            std::ifstream in(entry.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (all.size() >= 4 * static_cast<size_t>(JexIpc::kMaxMessage)) break;
        }
        for (unsigned i = 0; all.size() < 2 * static_cast<size_t>(JexIpc::kMaxMessage); ++i)
            all += "line " + std::to_string(i) + " of the service log, nothing to report\n";
        return all;
    }();
    return text;
}

std::string Pattern(int size) {
    static size_t next = 0;
    const std::string& text = LicenceText();
    const size_t length = static_cast<size_t>(size);
    std::string out;
    while (out.size() < length) {
        next = (next + 7919) % text.size();
        out += text.substr(next, length - out.size());
    }
    return out;
}

// --- Frame codec --------------------------------------------------------------

void BM_Tp2FrameDataEncodeDecode(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const std::string data = Pattern(size);
    JexTp2Frame frame;
    frame.SetFrameCode(JexTp2Frame::kDT);
    frame.SetAttr(JexTp2Frame::DST_REF, 0x1234);
    frame.SetAttr(JexTp2Frame::TPDU_NR, 1);
    frame.UserData() = JexBuffer(data.data(), size);
    JexTp2Frame back;
    for (auto _ : state) {
        const JexBuffer wire = frame;
        back = wire;
        benchmark::DoNotOptimize(back.UserData().Data());
    }
    if (back.Code() != 0 || back.UserData().Length() != size) state.SkipWithError("round trip");
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_Tp2FrameDataEncodeDecode)->Apply(Sizes);

// The least any codec does: the bytes copied into a new buffer for the
// wire and into another on the way back in.
void BM_PlainCopy(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const std::string data = Pattern(size);
    for (auto _ : state) {
        const std::vector<char> wire(data.begin(), data.end());
        const std::vector<char> back(wire);
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_PlainCopy)->Apply(Sizes);

// --- Round trips ------------------------------------------------------------

// Where the peer runs: a thread of this process or a child process.
enum class Peer { kThread, kProcess };

// Runs `echo` on a thread or in a forked child until it returns; the child
// is killed if it has not ended a few seconds after the end was asked for.
class PeerRunner {
public:
    template <class Echo>
    PeerRunner(Peer peer, Echo echo) : peer_(peer) {
        if (peer == Peer::kThread) {
            thread_ = std::thread(echo);
            return;
        }
        child_ = fork();
        if (child_ == 0) {
            echo();
            _exit(0);
        }
    }
    ~PeerRunner() {
        if (thread_.joinable()) thread_.join();
        if (child_ <= 0) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(child_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(child_, SIGKILL);
                waitpid(child_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    bool Started() const { return peer_ == Peer::kThread || child_ > 0; }

private:
    Peer peer_;
    std::thread thread_;
    pid_t child_ = -1;
};

// `rounds` messages to the peer, each with its echo back, through two
// commboxes: each side reads its own listen box and writes to the other's.
// An empty message ends the peer.
void CommboxRoundTrip(benchmark::State& state, Peer where, int rounds = 1) {
    const int size = static_cast<int>(state.range(0));
    JexIpc mine;
    JexIpc theirs;
    JexIpc toTheirs(theirs.Name().Text());
    JexIpc toMine(mine.Name().Text());
    if (mine.Code() || theirs.Code() || toTheirs.Code() || toMine.Code()) {
        state.SkipWithError("commbox");
        return;
    }
    PeerRunner peer(where, [&] {
        JexBuffer message;
        while (theirs.GetMsg(message, 1, 30) == 0 && message.Length() > 0)
            if (toMine.PutMsg(message, 0) != 0) break;
    });
    const std::string data = Pattern(size);
    const JexBuffer out(data.data(), size);
    JexBuffer in;
    bool failed = false;
    for (auto _ : state) {
        for (int round = 0; round < rounds && !failed; ++round)
            failed =
                toTheirs.PutMsg(out, 0) != 0 || mine.GetMsg(in, 1, 30) != 0 || in.Length() != size;
        if (failed) {
            state.SkipWithError("round trip");
            break;
        }
    }
    toTheirs.PutMsg(JexBuffer(), 0);
    state.SetBytesProcessed(state.iterations() * size * 2 * rounds);
}

// The same over a bare datagram socket pair.
void SocketPairRoundTrip(benchmark::State& state, Peer where) {
    const int size = static_cast<int>(state.range(0));
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    {
        PeerRunner peer(where, [&] {
            std::vector<char> buffer(JexIpc::kMaxMessage);
            for (;;) {
                const ssize_t got = recv(fds[1], buffer.data(), buffer.size(), 0);
                if (got <= 0) break;
                if (send(fds[1], buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL) != got)
                    break;
            }
        });
        const std::string data = Pattern(size);
        std::vector<char> in(JexIpc::kMaxMessage);
        for (auto _ : state) {
            if (send(fds[0], data.data(), data.size(), MSG_NOSIGNAL) != size ||
                recv(fds[0], in.data(), in.size(), 0) != size) {
                state.SkipWithError("round trip");
                break;
            }
        }
        send(fds[0], "", 0, MSG_NOSIGNAL);
    }
    close(fds[0]);
    close(fds[1]);
    state.SetBytesProcessed(state.iterations() * size * 2);
}

// A PutMsg and its echo's GetMsg on a modem connection: the frames go
// through the fake daemon (in a thread) to a server in a thread that echoes
// them, so each message passes four commboxes and two receivers.
void BM_ModemConnectionThreads(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const std::filesystem::path dir = std::getenv(platform::kStateDirVar);
    using tavro::testing::WriteText;
    if (!WriteText(JexConfig::kGlobalParameters, "File.Modem.VLDB", (dir / "lines.dat").string()) ||
        !WriteText(JexConfig::kGlobalParameters, "File.Modem.VSDB",
                   (dir / "servers.dat").string())) {
        state.SkipWithError("settings");
        return;
    }
    tavro::testing::FakeModemDaemon daemon;
    if (!daemon.Start()) {
        state.SkipWithError("daemon");
        return;
    }
    JexModemAPI server;
    std::thread echo([&] {
        if (server.Listen("bench") != 0) return;
        JexBuffer message;
        while (server.GetMsg(message, 1, 30) == 0)
            if (server.PutMsg(message, 0) != 0) break;
    });
    JexModemAPI client;
    // Until the server has registered, the daemon refuses the call; a
    // refused Connect leaves the object unconnected for the next one.
    for (int i = 0; i < 500 && client.Connect("M/pots.bench/bench", 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (client.Gender() != 1) {
        state.SkipWithError("connect");
    } else {
        const std::string data = Pattern(size);
        JexBuffer out(data.data(), size);
        JexBuffer in;
        for (auto _ : state) {
            if (client.PutMsg(out, 0) != 0 || client.GetMsg(in, 1, 30) != 0 ||
                in.Length() != size) {
                state.SkipWithError("round trip");
                break;
            }
        }
        state.SetBytesProcessed(state.iterations() * size * 2);
    }
    client.Disconnect();
    echo.join();
}
BENCHMARK(BM_ModemConnectionThreads)->Apply(Sizes)->UseRealTime();

void BM_CommboxThreads(benchmark::State& state) { CommboxRoundTrip(state, Peer::kThread); }
// The modem connection's peer: a message passes four commboxes there.
void BM_TwoCommboxRoundTripsThreads(benchmark::State& state) {
    CommboxRoundTrip(state, Peer::kThread, 2);
}
void BM_CommboxProcesses(benchmark::State& state) { CommboxRoundTrip(state, Peer::kProcess); }
void BM_SocketPairThreads(benchmark::State& state) { SocketPairRoundTrip(state, Peer::kThread); }
void BM_SocketPairProcesses(benchmark::State& state) { SocketPairRoundTrip(state, Peer::kProcess); }
BENCHMARK(BM_TwoCommboxRoundTripsThreads)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_CommboxThreads)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_SocketPairThreads)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_CommboxProcesses)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_SocketPairProcesses)->Apply(Sizes)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    // The boxes live in a platform state directory of this run's own.
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 2;
    setenv(platform::kStateDirVar, pattern.c_str(), 1);
    std::vector<tavro::bench::PeerPair> pairs;
    for (const char* size : {"64", "1280", "61440"}) {
        const auto name = [&](const char* bench) {
            return std::string(bench) + "/" + size + "/real_time";
        };
        pairs.push_back(
            {name("BM_ModemConnectionThreads"), name("BM_TwoCommboxRoundTripsThreads")});
        pairs.push_back({name("BM_CommboxThreads"), name("BM_SocketPairThreads")});
        pairs.push_back({name("BM_CommboxProcesses"), name("BM_SocketPairProcesses")});
        pairs.push_back({name("BM_Tp2FrameDataEncodeDecode"), name("BM_PlainCopy")});
    }
    const int status = tavro::bench::RunWithRatios(argc, argv, pairs);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return status;
}
