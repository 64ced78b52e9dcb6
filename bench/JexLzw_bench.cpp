// Benchmarks of the connection's LZW compression against zlib level 1 and the compress program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/LzwCorpus.h"
#include "bench/PeerRatio.h"
#include "jexlink/transport/JexLzw.h"

extern char** environ;

namespace {

using tavro::bench::Bytes;
using tavro::bench::TheCorpus;

// The session hands the codec one message at a time.
constexpr size_t kMessageSize = tavro::bench::kCorpusMessage;

const Bytes& Part(int64_t kind) {
    const tavro::bench::Corpus& c = TheCorpus();
    switch (kind) {
        case 0: return c.text;
        case 1: return c.binary;
        case 2: return c.compressed;
        default: return c.mixed;
    }
}

const char* PartName(int64_t kind) {
    static const char* const names[] = {"text", "binary", "compressed", "mixed"};
    return names[kind];
}

void Report(benchmark::State& state, size_t in, size_t out) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in));
    state.counters["ratio"] = out ? static_cast<double>(in) / static_cast<double>(out) : 0;
    state.SetLabel(PartName(state.range(0)));
}

// One connection's worth: a fresh encoder, every message of the corpus in turn.
std::vector<JexBuffer> LzwCompressAll(const Bytes& data, size_t* total) {
    JexLzwCompressor compressor;
    std::vector<JexBuffer> wire;
    JexBuffer message;
    *total = 0;
    for (size_t at = 0; at < data.size(); at += kMessageSize) {
        const size_t n = std::min(kMessageSize, data.size() - at);
        message.SetLength(static_cast<int>(n));
        std::memcpy(message.Data(), data.data() + at, n);
        wire.emplace_back();
        compressor.Compress(message, wire.back());
        *total += static_cast<size_t>(wire.back().Length());
    }
    return wire;
}

void BM_LzwCompress(benchmark::State& state) {
    const Bytes& data = Part(state.range(0));
    size_t out = 0;
    for (auto _ : state) benchmark::DoNotOptimize(LzwCompressAll(data, &out));
    Report(state, data.size(), out);
}

void BM_LzwExpand(benchmark::State& state) {
    const Bytes& data = Part(state.range(0));
    size_t out = 0;
    const std::vector<JexBuffer> wire = LzwCompressAll(data, &out);
    JexBuffer back;
    for (auto _ : state) {
        JexLzw expander;
        expander.SetSuppress(1);
        for (const JexBuffer& msg : wire) {
            if (expander.Decompress(msg, back) != 0) state.SkipWithError("LZW expansion failed");
            benchmark::DoNotOptimize(back.Data());
        }
    }
    Report(state, data.size(), out);
}

// zlib level 1 as one stream per connection, flushed at every message end so
// that each message can be expanded as it arrives, as the session needs.
std::vector<Bytes> ZlibCompressAll(const Bytes& data, size_t* total) {
    z_stream z{};
    deflateInit(&z, 1);
    std::vector<Bytes> wire;
    *total = 0;
    for (size_t at = 0; at < data.size(); at += kMessageSize) {
        const size_t n = std::min(kMessageSize, data.size() - at);
        Bytes out(deflateBound(&z, static_cast<uLong>(n)) + 16);
        z.next_in = const_cast<Bytef*>(data.data() + at);
        z.avail_in = static_cast<uInt>(n);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_SYNC_FLUSH);
        out.resize(out.size() - z.avail_out);
        *total += out.size();
        wire.push_back(std::move(out));
    }
    deflateEnd(&z);
    return wire;
}

void BM_Zlib1Compress(benchmark::State& state) {
    const Bytes& data = Part(state.range(0));
    size_t out = 0;
    for (auto _ : state) benchmark::DoNotOptimize(ZlibCompressAll(data, &out));
    Report(state, data.size(), out);
}

void BM_Zlib1Expand(benchmark::State& state) {
    const Bytes& data = Part(state.range(0));
    size_t out = 0;
    const std::vector<Bytes> wire = ZlibCompressAll(data, &out);
    Bytes back(kMessageSize + 64);
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        for (const Bytes& msg : wire) {
            z.next_in = const_cast<Bytef*>(msg.data());
            z.avail_in = static_cast<uInt>(msg.size());
            z.next_out = back.data();
            z.avail_out = static_cast<uInt>(back.size());
            if (inflate(&z, Z_SYNC_FLUSH) < 0) state.SkipWithError("zlib expansion failed");
            benchmark::DoNotOptimize(back.data());
        }
        inflateEnd(&z);
    }
    Report(state, data.size(), out);
}

// The compress program (the same code family, 16-bit codes) over the whole
// corpus as one file, started as a process per run; it cannot code messages.
std::string compress_program;

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavro-lzw-bench-XXXXXX").string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path operator/(const char* name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Runs the program with stdin and stdout on files; false when it fails or
// takes longer than a minute (it is then killed).
bool RunFilter(const std::vector<std::string>& args, const std::filesystem::path& in,
               const std::filesystem::path& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // compress exits with 2 when the output is larger than the input.
    return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2);
}

void BM_CompressProgram(benchmark::State& state, bool expand) {
    const Bytes& data = Part(state.range(0));
    ScratchDir dir;
    WriteFile(dir / "in", data);
    if (!RunFilter({compress_program, "-c"}, dir / "in", dir / "in.Z")) {
        state.SkipWithError("compress failed");
        return;
    }
    const size_t out = static_cast<size_t>(std::filesystem::file_size(dir / "in.Z"));
    for (auto _ : state) {
        const bool ok = expand
                            ? RunFilter({compress_program, "-d", "-c"}, dir / "in.Z", dir / "back")
                            : RunFilter({compress_program, "-c"}, dir / "in", dir / "again.Z");
        if (!ok) state.SkipWithError("compress failed");
    }
    Report(state, data.size(), out);
}

std::string FindOnPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return {};
}

void Kinds(benchmark::internal::Benchmark* b) {
    for (int kind = 0; kind < 4; ++kind) b->Arg(kind);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_LzwCompress)->Apply(Kinds);
BENCHMARK(BM_LzwExpand)->Apply(Kinds);
BENCHMARK(BM_Zlib1Compress)->Apply(Kinds);
BENCHMARK(BM_Zlib1Expand)->Apply(Kinds);

}  // namespace

int main(int argc, char** argv) {
    // The compress rows run only where the program is installed (Debian's ncompress).
    compress_program = FindOnPath("compress");
    if (!compress_program.empty()) {
        // The work happens in a child process: wall-clock time is what counts.
        benchmark::RegisterBenchmark("BM_CompressProgram", BM_CompressProgram, false)
            ->Apply(Kinds)
            ->UseRealTime();
        benchmark::RegisterBenchmark("BM_CompressProgramExpand", BM_CompressProgram, true)
            ->Apply(Kinds)
            ->UseRealTime();
    } else {
        std::fprintf(stderr, "compress not found on PATH: its rows are left out\n");
    }
    // The codec beside zlib level 1, per kind of data.
    std::vector<tavro::bench::PeerPair> pairs;
    for (int kind = 0; kind < 4; ++kind) {
        const std::string arg = "/" + std::to_string(kind);
        pairs.push_back({"BM_LzwCompress" + arg, "BM_Zlib1Compress" + arg});
        pairs.push_back({"BM_LzwExpand" + arg, "BM_Zlib1Expand" + arg});
    }
    return tavro::bench::RunWithRatios(argc, argv, pairs);
}
