// Bounded waits of tests on something observable.
#pragma once

#include <chrono>
#include <thread>

namespace tavro::testing {

// How long a test waits for something that should happen, unless it says
// otherwise: long enough for a loaded machine or a sanitizer build.
inline constexpr int kWaitMs = 20000;

// Polls `condition` every 10 ms for at most `timeoutMs`; its last result.
template <class Condition>
bool WaitFor(Condition condition, int timeoutMs = kWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace tavro::testing
