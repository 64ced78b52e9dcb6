// Benchmarks of event wake-up round trips (unnamed and named events) against a condition variable.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "platform/PlatformState.h"
#include "platform/winbase.h"

namespace {

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

private:
    std::string dir_;
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

// The director's case: a named event wakes its waiter through a file watch.
void BM_NamedEventRoundTrip(benchmark::State& state) {
    PingPong(state, "bench-ping", "bench-pong");
}

// The peer: the same round trip over a condition variable.
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
BENCHMARK(BM_NamedEventRoundTrip)->UseRealTime();
BENCHMARK(BM_ConditionVariableRoundTrip)->UseRealTime();

}  // namespace
