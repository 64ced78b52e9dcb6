// Session benchmark: round trip of a small message and bulk transfer over a session, beside the
// bare gateway path it runs on (with zlib level 1 beside LZW), on the loopback. Bulk messages
// are a repeated phrase, real text, or mixed text, machine code and compressed bytes.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/LzwCorpus.h"
#include "bench/PeerRatio.h"
#include "jexlink/JexLinkSetUp.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexGateway.h"
#include "platform/PlatformState.h"
#include "testing/support/SessionServer.h"

namespace {

constexpr const char* kApp = "Jex_Bench";
constexpr int kBulkMessage = 64 * 1024;
constexpr int kBulkBatch = 16;

// Keys, route map and platform state of the run, in a directory of its own.
struct Environment {
    std::string dir;
    Environment() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "session-bench-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (!made) std::abort();
        dir = made;
        mkdir((dir + "/state").c_str(), 0700);
        setenv(platform::kStateDirVar, (dir + "/state").c_str(), 1);
        setenv("JEXCRYPTO_PATH", dir.c_str(), 1);
        std::ofstream(dir + "/MD5-CLI-SRV") << "bench key\n";
    }
    ~Environment() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string RouteMap(const tavro::testing::SessionServer& server) const {
        const std::string path = dir + "/route.map";
        std::ofstream(path) << server.RouteLine("srv", "snode", kApp);
        return path;
    }
};

Environment& Env() {
    static Environment env;
    return env;
}

JexBuffer Payload(int size) {
    JexBuffer b;
    b.SetLength(size);
    for (int i = 0; i < size; ++i) b.Data()[i] = static_cast<char>("session bench text "[i % 19]);
    return b;
}

// What a bulk transfer sends: one phrase repeated, which flatters a
// compressing session, or real data.
enum class Kind { kPhrase, kText, kMixed };

// The batch of bulk messages: the same phrase each time, or kBulkBatch
// different slices of the compression benchmarks' text or mixed part.
std::vector<JexBuffer> BulkBatch(Kind kind) {
    std::vector<JexBuffer> batch;
    const tavro::bench::Corpus& corpus = tavro::bench::TheCorpus();
    const tavro::bench::Bytes& part = kind == Kind::kText ? corpus.text : corpus.mixed;
    for (int i = 0; i < kBulkBatch; ++i) {
        if (kind == Kind::kPhrase) {
            batch.push_back(Payload(kBulkMessage));
            continue;
        }
        const size_t at = static_cast<size_t>(i) * kBulkMessage;
        JexBuffer b;
        b.SetLength(kBulkMessage);
        if (at + kBulkMessage <= part.size()) std::memcpy(b.Data(), part.data() + at, kBulkMessage);
        batch.push_back(std::move(b));
    }
    return batch;
}

const char* KindName(Kind kind) {
    static const char* const names[] = {"phrase", "text", "mixed"};
    return names[static_cast<int>(kind)];
}

// The echo of the server: every message back, and after each batch of bulk
// messages (those longer than 1024 bytes) one short answer.
template <typename Get, typename Put>
void Serve(Get get, Put put) {
    JexBuffer in;
    int bulk = 0;
    while (get(in) == 0) {
        if (in.Length() <= 1024) {
            if (put(in) != 0) return;
        } else if (++bulk % kBulkBatch == 0 && put(JexBuffer("done")) != 0) {
            return;
        }
    }
}

// Zlib at level 1 over one message, into `out`; false on a failure.
bool Deflate(const JexBuffer& in, JexBuffer& out) {
    uLongf size = compressBound(static_cast<uLong>(in.Length()));
    out.SetLength(static_cast<int>(size));
    if (compress2(reinterpret_cast<Bytef*>(out.Data()), &size,
                  reinterpret_cast<const Bytef*>(in.Data()), static_cast<uLong>(in.Length()),
                  1) != Z_OK)
        return false;
    out.SetLength(static_cast<int>(size));
    return true;
}

bool Inflate(const JexBuffer& in, JexBuffer& out) {
    uLongf size = 2 * kBulkMessage;
    out.SetLength(static_cast<int>(size));
    if (uncompress(reinterpret_cast<Bytef*>(out.Data()), &size,
                   reinterpret_cast<const Bytef*>(in.Data()),
                   static_cast<uLong>(in.Length())) != Z_OK)
        return false;
    out.SetLength(static_cast<int>(size));
    return true;
}

// How the bare gateway carries messages: as they are, or deflated by the
// client and inflated by the server (the peer of a session with LZW).
enum class Carry { kPlain, kZlib };

// A client of one kind over the loopback, with its server on a thread.
struct GatewayPath {
    tavro::testing::SessionServer server;
    JexGateway client;
    Carry carry;
    JexBuffer deflated;
    bool open = false;

    explicit GatewayPath(Carry how = Carry::kPlain) : carry(how) {
        Env();
        const std::string map = Env().RouteMap(server);
        server.Serve([how](JexSession& s) {
            JexGateway& g = s.Gateway();
            if (g.Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                         JexString(kApp)) != 0)
                return;
            JexBuffer raw;
            Serve(
                [&](JexBuffer& b) {
                    if (how == Carry::kPlain) return g.GetMsg(b);
                    const int rc = g.GetMsg(raw);
                    return rc != 0 ? rc : Inflate(raw, b) ? 0 : -1;
                },
                [&](const JexBuffer& b) { return g.PutMsg(b); });
            g.Disconnect();
        });
        client.SetSuppress(1);
        client.SetAttr(JexGateway::ACID, "cli");
        client.SetAttr(JexGateway::NODE, "cnode");
        client.SetAttr(JexGateway::ROUTE_MAP, map.c_str());
        open = client.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                              JexString(kApp)) == 0;
    }
    ~GatewayPath() {
        if (open) client.Disconnect();
        server.Join();
    }
    int Put(const JexBuffer& b) {
        if (carry == Carry::kPlain) return client.PutMsg(b);
        return Deflate(b, deflated) ? client.PutMsg(deflated) : -1;
    }
    int Get(JexBuffer& b) { return client.GetMsg(b); }
};

struct SessionPath {
    tavro::testing::SessionServer server;
    JexSession client;
    bool open = false;

    explicit SessionPath(int compression) {
        Env();
        const std::string map = Env().RouteMap(server);
        server.Serve([](JexSession& s) {
            s.SetAttr(JexSession::DST_NODE, "snode");
            JexBuffer data;
            if (s.Listen(kApp, "srv", data) != 0 || s.Accept(JexBuffer("")) != 0) return;
            Serve([&](JexBuffer& b) { return s.GetMsg(b, 0); },
                  [&](const JexBuffer& b) { return s.PutMsg(b, 0); });
            if (s.State() == JexSession::SN) s.Disconnect();
        });
        client.SetSuppress(1);
        client.SetAttr(JexSession::SRC_ACID, "cli");
        client.SetAttr(JexSession::SRC_NODE, "cnode");
        client.SetAttr(JexSession::ROUTE_MAP, map.c_str());
        client.SetAttr(JexSession::COMPRESSION, compression);
        JexBuffer reply;
        open = client.Connect(kApp, "srv", "snode", JexBuffer(""), reply) == 0;
    }
    ~SessionPath() {
        if (open) client.Disconnect();
        server.Join();
    }
    int Put(const JexBuffer& b) { return client.PutMsg(b, 0); }
    int Get(JexBuffer& b) { return client.GetMsg(b, 0); }
};

template <typename Path>
void RoundTrip(benchmark::State& state, Path& path) {
    if (!path.open) return state.SkipWithError("connection failed");
    const JexBuffer request = Payload(static_cast<int>(state.range(0)));
    JexBuffer answer;
    for (auto _ : state) {
        if (path.Put(request) != 0 || path.Get(answer) != 0)
            return state.SkipWithError("exchange failed");
    }
}

template <typename Path>
void Bulk(benchmark::State& state, Path& path, Kind kind) {
    if (!path.open) return state.SkipWithError("connection failed");
    const std::vector<JexBuffer> batch = BulkBatch(kind);
    JexBuffer answer;
    for (auto _ : state) {
        for (const JexBuffer& block : batch)
            if (path.Put(block) != 0) return state.SkipWithError("send failed");
        if (path.Get(answer) != 0) return state.SkipWithError("answer failed");
    }
    state.SetBytesProcessed(state.iterations() * kBulkMessage * kBulkBatch);
    state.SetLabel(KindName(kind));
}

void BM_GatewayRoundTrip(benchmark::State& state) {
    GatewayPath path;
    RoundTrip(state, path);
}
void BM_SessionRoundTrip(benchmark::State& state) {
    SessionPath path(static_cast<int>(state.range(1)));
    RoundTrip(state, path);
}
Kind BulkKind(const benchmark::State& state, int arg) {
    return static_cast<Kind>(state.range(arg));
}
void BM_GatewayBulk(benchmark::State& state) {
    GatewayPath path;
    Bulk(state, path, BulkKind(state, 0));
}
void BM_GatewayBulkZlib(benchmark::State& state) {
    GatewayPath path(Carry::kZlib);
    Bulk(state, path, BulkKind(state, 0));
}
void BM_SessionBulk(benchmark::State& state) {
    SessionPath path(static_cast<int>(state.range(0)));
    Bulk(state, path, BulkKind(state, 1));
}

// Every kind of bulk data, for the gateway paths and for each session
// compression.
void GatewayKinds(benchmark::internal::Benchmark* b) {
    for (int kind = 0; kind < 3; ++kind) b->Arg(kind);
    b->UseRealTime();
}
void SessionKinds(benchmark::internal::Benchmark* b) {
    for (int compression : {JexSession::NOCOMP, JexSession::LZW})
        for (int kind = 0; kind < 3; ++kind) b->Args({compression, kind});
    b->UseRealTime();
}

BENCHMARK(BM_GatewayRoundTrip)->Arg(64)->UseRealTime();
BENCHMARK(BM_SessionRoundTrip)
    ->Args({64, JexSession::NOCOMP})
    ->Args({64, JexSession::LZW})
    ->UseRealTime();
BENCHMARK(BM_GatewayBulk)->Apply(GatewayKinds);
BENCHMARK(BM_GatewayBulkZlib)->Apply(GatewayKinds);
BENCHMARK(BM_SessionBulk)->Apply(SessionKinds);

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    std::vector<tavro::bench::PeerPair> pairs = {
        {"BM_SessionRoundTrip/64/0/real_time", "BM_GatewayRoundTrip/64/real_time"},
        {"BM_SessionRoundTrip/64/1/real_time", "BM_GatewayRoundTrip/64/real_time"},
    };
    // The plain session beside the bare gateway, the LZW session beside the
    // gateway carrying zlib level 1, per kind of bulk data.
    for (int kind = 0; kind < 3; ++kind) {
        const std::string k = std::to_string(kind);
        pairs.push_back(
            {"BM_SessionBulk/0/" + k + "/real_time", "BM_GatewayBulk/" + k + "/real_time", 1.15});
        pairs.push_back({"BM_SessionBulk/1/" + k + "/real_time",
                         "BM_GatewayBulkZlib/" + k + "/real_time", 1.2});
    }
    return tavro::bench::RunWithRatios(argc, argv, pairs);
}
