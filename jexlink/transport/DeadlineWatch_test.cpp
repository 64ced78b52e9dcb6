// Tests of the process's deadline watch: actions at their deadlines, disarming, and waiting out a
// running action.
#include "jexlink/transport/DeadlineWatch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using jexnet::DeadlineWatch;
using namespace std::chrono_literals;

struct Counter {
    std::atomic<int> runs{0};
    static void Count(void* self) { ++static_cast<Counter*>(self)->runs; }
};

// Waits (bounded) until `done` holds.
template <class Done>
bool Eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(DeadlineWatch, RunsEachActionOnceAtItsDeadline) {
    std::vector<Counter> counters(20);
    std::vector<uint64_t> tickets;
    for (size_t i = 0; i < counters.size(); ++i)
        tickets.push_back(DeadlineWatch::Arm(&Counter::Count, &counters[i], (i % 5) * 2ms));
    for (uint64_t t : tickets) EXPECT_NE(t, 0u);
    for (Counter& c : counters) EXPECT_TRUE(Eventually([&] { return c.runs == 1; }));
    // Disarming after the action ran says so and changes nothing.
    for (uint64_t t : tickets) EXPECT_FALSE(DeadlineWatch::Disarm(t));
    std::this_thread::sleep_for(20ms);
    for (Counter& c : counters) EXPECT_EQ(c.runs, 1);
}

TEST(DeadlineWatch, DisarmedTicketsNeverRun) {
    Counter early;
    Counter late;
    const uint64_t lateTicket = DeadlineWatch::Arm(&Counter::Count, &late, 1h);
    // A test held up past the early deadline before it disarms has seen
    // the action run: it tries again with a longer deadline.
    std::chrono::milliseconds deadline = 30ms;
    for (;;) {
        const auto armed = std::chrono::steady_clock::now();
        const uint64_t earlyTicket = DeadlineWatch::Arm(&Counter::Count, &early, deadline);
        const bool disarmed = DeadlineWatch::Disarm(earlyTicket);
        if (!disarmed && std::chrono::steady_clock::now() - armed >= deadline && deadline < 10s) {
            early.runs = 0;
            deadline *= 4;
            continue;
        }
        EXPECT_TRUE(disarmed);
        EXPECT_FALSE(DeadlineWatch::Disarm(earlyTicket));  // once only
        break;
    }
    std::this_thread::sleep_for(2 * deadline);
    EXPECT_EQ(early.runs, 0);
    // The watch waits for the late deadline; disarming it while it waits,
    // then arming another, finds the watch well.
    EXPECT_TRUE(DeadlineWatch::Disarm(lateTicket));
    Counter next;
    DeadlineWatch::Arm(&Counter::Count, &next, 1ms);
    EXPECT_TRUE(Eventually([&] { return next.runs == 1; }));
    EXPECT_EQ(late.runs, 0);
    EXPECT_FALSE(DeadlineWatch::Disarm(0));
}

// A later deadline armed while the watch sleeps until an earlier one does
// not wake it; the action still runs once the watch has woken for the
// earlier one, whether that one was disarmed or not.
TEST(DeadlineWatch, ALaterDeadlineRunsAfterAnEarlierOne) {
    Counter disarmed;
    Counter first;
    Counter later;
    const uint64_t stale = DeadlineWatch::Arm(&Counter::Count, &disarmed, 40ms);
    EXPECT_TRUE(DeadlineWatch::Disarm(stale) || disarmed.runs == 1);
    DeadlineWatch::Arm(&Counter::Count, &first, 60ms);
    DeadlineWatch::Arm(&Counter::Count, &later, 80ms);
    EXPECT_TRUE(Eventually([&] { return first.runs == 1 && later.runs == 1; }));
}

// Disarming while the action runs waits until it has returned, so the
// caller may then destroy what the action uses.
TEST(DeadlineWatch, DisarmWaitsForARunningAction) {
    struct Slow {
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
        static void Run(void* self) {
            auto* slow = static_cast<Slow*>(self);
            slow->started = true;
            std::this_thread::sleep_for(100ms);
            slow->finished = true;
        }
    } slow;
    const uint64_t ticket = DeadlineWatch::Arm(&Slow::Run, &slow, 0ms);
    ASSERT_TRUE(Eventually([&] { return slow.started.load(); }));
    EXPECT_FALSE(DeadlineWatch::Disarm(ticket));
    EXPECT_TRUE(slow.finished);
}

// A child after fork() has no watch thread of its parent's: it starts its own.
TEST(DeadlineWatch, AChildAfterForkGetsAWatchOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads started after a fork";
#endif
    // The parent's watch has run an action, so its thread is past its start
    // when the fork comes: a sanitizer's runtime holds a lock of its own
    // while a thread starts, and a child forked then could start none.
    Counter before;
    DeadlineWatch::Arm(&Counter::Count, &before, 1ms);
    ASSERT_TRUE(Eventually([&] { return before.runs == 1; }));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Counter c;
        DeadlineWatch::Arm(&Counter::Count, &c, 1ms);
        _exit(Eventually([&] { return c.runs == 1; }) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
