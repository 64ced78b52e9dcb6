// Benchmarks of net-message encoding and decoding against memcpy, the formatter against snprintf,
// the last-occurrence search against std::string, and a switched-off trace record against none.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/PeerRatio.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexVBPrintF.h"

namespace {

// A message of `items` items of `size` bytes each, as the protocols send them.
JexNetMsg MakeMessage(int items, int size) {
    JexNetMsg msg('S');
    for (int i = 0; i < items; ++i) {
        msg[i + 1].SetLength(size);
        std::memset(msg[i + 1].Data(), 'a' + i % 26, static_cast<size_t>(size));
    }
    return msg;
}

void SetBytes(benchmark::State& state, int64_t per_iteration) {
    state.SetBytesProcessed(state.iterations() * per_iteration);
}

void BM_NetMsgEncode(benchmark::State& state) {
    const JexNetMsg msg =
        MakeMessage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    JexBuffer out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(msg.Encode(out));
        benchmark::DoNotOptimize(out.Data());
    }
    SetBytes(state, out.Length());
}

void BM_NetMsgDecode(benchmark::State& state) {
    const JexBuffer wire =
        MakeMessage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))).Encode();
    JexNetMsg msg;
    for (auto _ : state) {
        msg.Decode(wire);
        benchmark::DoNotOptimize(msg[1].Data());
    }
    SetBytes(state, wire.Length());
}

// The peer: copying the same bytes, once, into storage that already exists.
void BM_MemcpySameBytes(benchmark::State& state) {
    const JexBuffer wire =
        MakeMessage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))).Encode();
    std::vector<char> to(static_cast<size_t>(wire.Length()));
    for (auto _ : state) {
        std::memcpy(to.data(), wire.Data(), to.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    SetBytes(state, wire.Length());
}

void MessageSizes(benchmark::internal::Benchmark* b) {
    b->Args({4, 16})->Args({8, 256})->Args({4, 64 * 1024})->Args({1, 1024 * 1024});
}

BENCHMARK(BM_NetMsgEncode)->Apply(MessageSizes);
BENCHMARK(BM_NetMsgDecode)->Apply(MessageSizes);
BENCHMARK(BM_MemcpySameBytes)->Apply(MessageSizes);

constexpr char kTemplate[] =
    "Your submission of %1$d bytes exceeds the size limit of %2$d bytes (%3$s)";

void BM_JexVBPrintF(benchmark::State& state) {
    JexBuffer args[kJexVBPrintFArgs];
    args[1].SetLong(123456);
    args[2].SetLong(65536);
    args[3] = JexBuffer("JexSraServer::NewSrq()");
    JexBuffer out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(JexVBPrintF(out, kTemplate, args));
    }
}

void BM_Snprintf(benchmark::State& state) {
    char out[1024];
    const int a = 123456, b = 65536;
    const char* text = "JexSraServer::NewSrq()";
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(out, sizeof out, kTemplate, a, b, text));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_JexVBPrintF);
BENCHMARK(BM_Snprintf);

// The last occurrence of a long needle in a text made of its repeats: a
// search that retries forward from every match costs the square.
void BM_FindLast(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const JexString text(std::string(2 * n, 'a').c_str());
    const std::string needle(n, 'a');
    for (auto _ : state) benchmark::DoNotOptimize(text.FindLast(needle.c_str()));
}

void BM_StdStringRfind(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const std::string text(2 * n, 'a');
    const std::string needle(n, 'a');
    for (auto _ : state) benchmark::DoNotOptimize(text.rfind(needle));
}

BENCHMARK(BM_FindLast)->Arg(100)->Arg(10000);
BENCHMARK(BM_StdStringRfind)->Arg(100)->Arg(10000);

// A trace record with JEX_TRACE unset, against a call that does nothing.
[[gnu::noinline]] int Traced(int v) {
    JexTrace trace("JexCore_bench.cpp", "Traced()", __LINE__);
    return v + 1;
}

[[gnu::noinline]] int Untraced(int v) {
    benchmark::ClobberMemory();
    return v + 1;
}

void BM_TraceOff(benchmark::State& state) {
    unsetenv("JEX_TRACE");
    int v = 0;
    for (auto _ : state) benchmark::DoNotOptimize(v = Traced(v));
}

void BM_NoTrace(benchmark::State& state) {
    int v = 0;
    for (auto _ : state) benchmark::DoNotOptimize(v = Untraced(v));
}

BENCHMARK(BM_TraceOff);
BENCHMARK(BM_NoTrace);

}  // namespace

int main(int argc, char** argv) {
    std::vector<tavro::bench::PeerPair> pairs;
    for (const char* size : {"4/16", "8/256", "4/65536", "1/1048576"}) {
        const std::string copy = std::string("BM_MemcpySameBytes/") + size;
        pairs.push_back({std::string("BM_NetMsgEncode/") + size, copy});
        pairs.push_back({std::string("BM_NetMsgDecode/") + size, copy});
    }
    pairs.push_back({"BM_JexVBPrintF", "BM_Snprintf"});
    for (const char* n : {"100", "10000"})
        pairs.push_back({std::string("BM_FindLast/") + n, std::string("BM_StdStringRfind/") + n});
    pairs.push_back({"BM_TraceOff", "BM_NoTrace"});
    return tavro::bench::RunWithRatios(argc, argv, pairs);
}
