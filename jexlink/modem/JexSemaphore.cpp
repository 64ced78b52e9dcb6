// JexSemaphore: a counting semaphore with an untimed and a timed wait.
#include "jexlink/modem/JexSemaphore.h"

#include <chrono>
#include <cstdio>

JexSemaphore::JexSemaphore(int initial) : count_(initial) {}

JexSemaphore::~JexSemaphore() = default;

bool JexSemaphore::TryTake() {
    JexMutexLock hold(countLock_);
    if (count_ <= 0) return false;
    --count_;
    return true;
}

void JexSemaphore::Post() {
    {
        JexMutexLock hold(countLock_);
        ++count_;
    }
    JexCondition::Signal();
}

void JexSemaphore::Wait() {
    while (!TryTake()) JexCondition::Wait();
}

int JexSemaphore::TimedWait(double seconds) {
    using Clock = std::chrono::steady_clock;
    // A wake-up that finds the count taken by another waits only for the
    // time left, never the whole period again.
    // Beyond about 30 years the wait is as good as unbounded; the clamp
    // keeps the deadline inside the clock's range (NaN counts as 0).
    constexpr double kLongest = 1e9;
    const double bounded = seconds > 0 ? (seconds < kLongest ? seconds : kLongest) : 0;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(bounded));
    for (;;) {
        if (TryTake()) return 0;
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (JexCondition::TimedWait(left) == 1) return 1;
    }
}

void JexSemaphore::Broadcast() {
    {
        JexMutexLock hold(countLock_);
        ++count_;
    }
    JexCondition::Broadcast();
    std::fprintf(stderr, "*** Used JexSemaphore::Broadcast() which isn't finished!!!\n");
}
