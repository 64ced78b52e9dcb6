// Benchmarks of kernel objects: event round trips and mutex take/release against pipes, file locks
// and condition variables.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/PeerRatio.h"
#include "platform/PlatformState.h"
#include "platform/winbase.h"

namespace {

using Clock = std::chrono::steady_clock;

// A state directory of the benchmark's own, removed at the end.
class ScratchState {
public:
    ScratchState() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavro-bench-XXXXXX").string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
        setenv(platform::kStateDirVar, dir_.c_str(), 1);
    }
    ~ScratchState() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
};

// Collects the time of each iteration and reports the median and the 99th
// percentile in microseconds beside the mean that the library gives.
class Percentiles {
public:
    explicit Percentiles(benchmark::State& state) : state_(state) { samples_.reserve(1 << 16); }
    ~Percentiles() {
        if (samples_.empty()) return;
        std::sort(samples_.begin(), samples_.end());
        auto at = [&](double q) {
            return samples_[std::min(
                samples_.size() - 1,
                static_cast<size_t>(q * static_cast<double>(samples_.size())))];
        };
        state_.counters["p50_us"] = at(0.50);
        state_.counters["p99_us"] = at(0.99);
    }
    void Start() { start_ = Clock::now(); }
    void Stop() {
        samples_.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start_).count());
    }

private:
    benchmark::State& state_;
    std::vector<double> samples_;
    Clock::time_point start_;
};

// A partner process that answers each ping with a pong until it is killed.
class Partner {
public:
    template <class Body>
    explicit Partner(Body body) : pid_(fork()) {
        if (pid_ == 0) {
            body();
            _exit(0);
        }
    }
    ~Partner() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool Started() const { return pid_ > 0; }

private:
    pid_t pid_;
};

// One iteration: set the partner's event and wait until it sets ours back.
void PingPong(benchmark::State& state, const char* pingName, const char* pongName) {
    ScratchState scratch;
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, pingName);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, pongName);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread partner([&] {
        const HANDLE both[] = {stop, ping};
        while (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            SetEvent(pong);
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    SetEvent(stop);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
    CloseHandle(stop);
}

void BM_UnnamedEventRoundTrip(benchmark::State& state) { PingPong(state, nullptr, nullptr); }

void BM_NamedEventRoundTripThreads(benchmark::State& state) {
    PingPong(state, "bench-ping", "bench-pong");
}

// The director's case: the service sets a named event in its process, the
// director's process waits for it, and back.
void BM_NamedEventRoundTripProcesses(benchmark::State& state) {
    ScratchState scratch;
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, "bench-ping");
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, "bench-pong");
    Partner partner([] {
        HANDLE childPing = CreateEventA(nullptr, FALSE, FALSE, "bench-ping");
        HANDLE childPong = CreateEventA(nullptr, FALSE, FALSE, "bench-pong");
        while (WaitForSingleObject(childPing, INFINITE) == WAIT_OBJECT_0) SetEvent(childPong);
    });
    if (!partner.Started()) state.SkipWithError("fork failed");
    Percentiles times(state);
    for (auto _ : state) {
        times.Start();
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
        times.Stop();
    }
    CloseHandle(ping);
    CloseHandle(pong);
}

// Its peer: one byte each way over two pipes between two processes.
void BM_PipeRoundTripProcesses(benchmark::State& state) {
    int there[2];
    int back[2];
    if (pipe(there) != 0 || pipe(back) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    Partner partner([&] {
        char c;
        while (read(there[0], &c, 1) == 1 && write(back[1], &c, 1) == 1) {
        }
    });
    Percentiles times(state);
    char c = 'x';
    for (auto _ : state) {
        times.Start();
        if (write(there[1], &c, 1) != 1 || read(back[0], &c, 1) != 1) state.SkipWithError("pipe");
        times.Stop();
    }
    for (int fd : {there[0], there[1], back[0], back[1]}) close(fd);
}

// An uncontended take and release of a named mutex ...
void BM_NamedMutexTakeRelease(benchmark::State& state) {
    ScratchState scratch;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "bench-mutex");
    Percentiles times(state);
    for (auto _ : state) {
        times.Start();
        WaitForSingleObject(mutex, INFINITE);
        ReleaseMutex(mutex);
        times.Stop();
    }
    CloseHandle(mutex);
}

// ... beside its peer, an exclusive lock and unlock of a file.
void BM_FileLockTakeRelease(benchmark::State& state) {
    ScratchState scratch;
    int fd = open((scratch.Dir() + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    Percentiles times(state);
    for (auto _ : state) {
        times.Start();
        flock(fd, LOCK_EX);
        flock(fd, LOCK_UN);
        times.Stop();
    }
    close(fd);
}

// The peer of the in-process round trips: a condition variable.
void BM_ConditionVariableRoundTrip(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;  // 1: partner's turn, 2: ours, -1: stop
    std::thread partner([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn != 0 && turn != 2; });
            if (turn < 0) return;
            turn = 2;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        turn = 1;
        changed.notify_all();
        changed.wait(lock, [&] { return turn == 2; });
        turn = 0;
    }
    {
        std::lock_guard lock(mutex);
        turn = -1;
    }
    changed.notify_all();
    partner.join();
}

BENCHMARK(BM_UnnamedEventRoundTrip)->UseRealTime();
BENCHMARK(BM_NamedEventRoundTripThreads)->UseRealTime();
BENCHMARK(BM_ConditionVariableRoundTrip)->UseRealTime();
BENCHMARK(BM_NamedEventRoundTripProcesses)->UseRealTime();
BENCHMARK(BM_PipeRoundTripProcesses)->UseRealTime();
BENCHMARK(BM_NamedMutexTakeRelease)->UseRealTime();
BENCHMARK(BM_FileLockTakeRelease)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return tavro::bench::RunWithRatios(
        argc, argv,
        {
            {"BM_UnnamedEventRoundTrip/real_time", "BM_ConditionVariableRoundTrip/real_time"},
            {"BM_NamedEventRoundTripThreads/real_time", "BM_ConditionVariableRoundTrip/real_time"},
            {"BM_NamedEventRoundTripProcesses/real_time", "BM_PipeRoundTripProcesses/real_time"},
            {"BM_NamedMutexTakeRelease/real_time", "BM_FileLockTakeRelease/real_time"},
        });
}
