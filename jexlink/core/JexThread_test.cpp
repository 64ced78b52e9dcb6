// Tests of threads, recursive mutexes, conditions and sleeping.
#include "jexlink/core/JexThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Waits up to 5 s for a condition that another thread makes true.
template <typename Predicate>
bool Eventually(Predicate predicate) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        JexSleepSeconds(0.002);
    }
    return true;
}

TEST(JexThread, RunsStartFunctionWithObjectAndArgument) {
    struct Seen {
        JexThread* thread = nullptr;
        int id = 0;
    } seen;
    int result = 0;
    {
        JexThread thread(
            [](JexThread* self, void* argument) {
                auto* s = static_cast<Seen*>(argument);
                s->thread = self;
                s->id = JexThreadId();
                return 42;
            },
            &seen);
        ASSERT_TRUE(thread.Started());
        EXPECT_EQ(thread.Join(), 0);
        EXPECT_EQ(thread.Join(), 0);  // a second join returns at once
        EXPECT_EQ(seen.thread, &thread);
        EXPECT_EQ(seen.id, thread.Id());
        EXPECT_NE(thread.Id(), JexThreadId());
        result = thread.ExitCode();
    }
    EXPECT_EQ(result, 42);
}

TEST(JexThread, DestructorWaitsForTheThread) {
    std::atomic<bool> finished{false};
    {
        JexThread thread(
            [](JexThread*, void* argument) {
                JexSleepSeconds(0.1);
                static_cast<std::atomic<bool>*>(argument)->store(true);
                return 0;
            },
            &finished);
    }
    EXPECT_TRUE(finished.load());
}

TEST(JexThread, FourArgumentFormLowersPriority) {
    JexThread thread([](JexThread*, void*) { return 7; }, nullptr, -1, 0);
    thread.Join();
    EXPECT_EQ(thread.GetPriority(), -1);
    EXPECT_EQ(thread.ExitCode(), 7);
}

TEST(JexThread, AlertMakesExitCodeZero) {
    std::atomic<bool> release{false};
    JexThread thread(
        [](JexThread*, void* argument) {
            auto* r = static_cast<std::atomic<bool>*>(argument);
            while (!r->load()) JexSleepSeconds(0.001);
            return 5;
        },
        &release);
    EXPECT_EQ(thread.ExitCode(), -1);  // still running
    EXPECT_EQ(thread.Alert(), 1);
    release = true;
    thread.Join();
    EXPECT_EQ(thread.ExitCode(), 0);
}

TEST(JexMutex, IsRecursiveAndExcludesOtherThreads) {
    JexMutex mutex;
    EXPECT_EQ(mutex.Lock(), 0);
    EXPECT_EQ(mutex.TryLock(), 1);  // the owner again
    std::atomic<int> other{-1};
    struct Probe {
        JexMutex* mutex;
        std::atomic<int>* result;
    } probe{&mutex, &other};
    auto try_from_other = [&] {
        JexThread thread(
            [](JexThread*, void* argument) {
                auto* p = static_cast<Probe*>(argument);
                const int got = p->mutex->TryLock();
                if (got) p->mutex->Unlock();
                p->result->store(got);
                return 0;
            },
            &probe);
        thread.Join();
    };
    try_from_other();
    EXPECT_EQ(other.load(), 0);
    mutex.Unlock();
    try_from_other();
    EXPECT_EQ(other.load(), 0);  // still held once
    mutex.Unlock();
    try_from_other();
    EXPECT_EQ(other.load(), 1);
}

TEST(JexMutex, OwnerThreadEndingHoldingItGivesAbandoned) {
    JexMutex mutex;
    {
        JexThread thread(
            [](JexThread*, void* argument) {
                static_cast<JexMutex*>(argument)->Lock();
                return 0;  // ends holding it
            },
            &mutex);
    }
    EXPECT_EQ(mutex.Lock(), kJexMutexAbandoned);
    mutex.Unlock();
    EXPECT_EQ(mutex.Lock(), 0);
    mutex.Unlock();
}

TEST(JexGlobalLock, SerialisesThreads) {
    static int counter = 0;
    counter = 0;
    auto body = [](JexThread*, void*) {
        for (int i = 0; i < 10000; ++i) {
            JexGlobalLock hold;
            counter = counter + 1;
        }
        return 0;
    };
    { JexThread a(body, nullptr), b(body, nullptr), c(body, nullptr); }
    EXPECT_EQ(counter, 30000);
}

// --- Conditions -------------------------------------------------------------

struct Waiter {
    JexCondition* condition;
    double seconds;  // < 0: Wait without limit
    std::atomic<int> result{-1};
    std::atomic<bool> entered{false};
};

int WaitBody(JexThread*, void* argument) {
    auto* w = static_cast<Waiter*>(argument);
    JexMutexLock hold(w->condition);
    w->entered = true;
    if (w->seconds < 0) {
        w->condition->Wait();
        w->result = 0;
    } else {
        w->result = w->condition->TimedWait(w->seconds);
    }
    return 0;
}

TEST(JexCondition, SignalBeforeTheWaitIsNotLost) {
    JexCondition condition;
    condition.Signal();
    JexMutexLock hold(condition);
    const auto start = Clock::now();
    EXPECT_EQ(condition.TimedWait(5.0), 0);
    EXPECT_LT(ElapsedMs(start), 1000);
    // The signal was used up by that wait.
    EXPECT_EQ(condition.TimedWait(0.05), 1);
}

TEST(JexCondition, SignalWakesOneWaiter) {
    JexCondition condition;
    Waiter a{&condition, 1.5}, b{&condition, 0.5};
    JexThread ta(WaitBody, &a);
    ASSERT_TRUE(Eventually([&] { return a.entered.load(); }));
    JexThread tb(WaitBody, &b);
    ASSERT_TRUE(Eventually([&] { return b.entered.load(); }));
    JexSleepSeconds(0.05);  // both are waiting
    condition.Signal();
    ta.Join();
    tb.Join();
    // One was released by the signal, the other timed out.
    EXPECT_EQ(a.result + b.result, 1);
}

TEST(JexCondition, BroadcastWakesCurrentWaitersAndNoLaterOne) {
    JexCondition condition;
    std::vector<std::unique_ptr<Waiter>> waiters;
    std::vector<std::unique_ptr<JexThread>> threads;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::make_unique<Waiter>());
        waiters.back()->condition = &condition;
        waiters.back()->seconds = 10.0;
        threads.push_back(std::make_unique<JexThread>(WaitBody, waiters.back().get()));
        ASSERT_TRUE(Eventually([&] { return waiters.back()->entered.load(); }));
    }
    JexSleepSeconds(0.05);
    const auto start = Clock::now();
    condition.Broadcast();
    threads.clear();  // joins all four
    EXPECT_LT(ElapsedMs(start), 5000);
    for (auto& w : waiters) EXPECT_EQ(w->result.load(), 0);

    // Nothing is left behind for a later waiter.
    JexMutexLock hold(condition);
    EXPECT_EQ(condition.TimedWait(0.1), 1);
}

TEST(JexCondition, BroadcastWithNoWaiterLeavesNoSignal) {
    JexCondition condition;
    condition.Broadcast();
    JexMutexLock hold(condition);
    EXPECT_EQ(condition.TimedWait(0.05), 1);
}

TEST(JexCondition, BroadcastAfterSignalReleasesEveryWaiterOnce) {
    JexCondition condition;
    Waiter a{&condition, 5.0}, b{&condition, 5.0};
    JexThread ta(WaitBody, &a);
    JexThread tb(WaitBody, &b);
    ASSERT_TRUE(Eventually([&] { return a.entered.load() && b.entered.load(); }));
    JexSleepSeconds(0.05);
    condition.Signal();
    condition.Broadcast();
    ta.Join();
    tb.Join();
    EXPECT_EQ(a.result.load(), 0);
    EXPECT_EQ(b.result.load(), 0);
    JexMutexLock hold(condition);
    EXPECT_EQ(condition.TimedWait(0.05), 1);  // no stray release
}

TEST(JexCondition, TimedWaitLimits) {
    JexCondition condition;
    JexMutexLock hold(condition);
    struct Case {
        double seconds;
        int64_t min_ms, max_ms;
    } cases[] = {
        // At once: well below a second, with room for a loaded machine.
        {0.0, 0, 500},      // returns at once
        {0.0004, 0, 500},   // below one millisecond
        {-3.0, 0, 500},     // negative
        {0.12, 110, 2000},  // waits
    };
    for (const Case& c : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(condition.TimedWait(c.seconds), 1) << c.seconds;
        const int64_t elapsed = ElapsedMs(start);
        EXPECT_GE(elapsed, c.min_ms) << c.seconds;
        EXPECT_LE(elapsed, c.max_ms) << c.seconds;
    }
}

TEST(JexCondition, WaitReturnsWithTheMutexHeld) {
    JexCondition condition;
    Waiter w{&condition, -1.0};
    JexThread thread(WaitBody, &w);
    ASSERT_TRUE(Eventually([&] { return w.entered.load(); }));
    // The waiter gave the mutex up while it waits.
    ASSERT_TRUE(Eventually([&] {
        if (!condition.TryLock()) return false;
        condition.Unlock();
        return true;
    }));
    condition.Lock();
    condition.Signal();
    JexSleepSeconds(0.05);
    EXPECT_EQ(w.result.load(), -1);  // it needs the mutex back to return
    condition.Unlock();
    thread.Join();
    EXPECT_EQ(w.result.load(), 0);
}

TEST(JexSleepSeconds, WholeMilliseconds) {
    auto start = Clock::now();
    JexSleepSeconds(0.0004);
    EXPECT_LT(ElapsedMs(start), 500);  // no second, with room for a loaded machine
    start = Clock::now();
    JexSleepSeconds(0.2015);
    EXPECT_GE(ElapsedMs(start), 201);
    JexSleep();
}

// --- Trace and failures -----------------------------------------------------

class JexThreadTrace : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The switch is read once at load, so each case runs in a fresh process
// (threadsafe death tests re-run the program) with the variable set.
void CreateThreadAndMutex() {
    {
        JexMutex mutex;
        JexThread thread([](JexThread*, void*) { return 0; }, nullptr);
    }
    std::fflush(stderr);
    std::_Exit(0);
}

TEST_F(JexThreadTrace, SwitchSelectsLines) {
    struct Case {
        const char* value;
        const char* pattern;
    } cases[] = {
        {"t",
         "^JexThread::JexThread\\(\\): Created thread [0-9]+ \\(0x[^)]*\\)\n"
         "JexThread::~JexThread\\(\\): Deleting thread [0-9]+ \\(0x[^)]*\\)\n$"},
        {"*",
         "JexMutex::JexMutex\\(\\): Created mutex \\(0x.*Created thread.*Deleting thread"
         ".*JexMutex::~JexMutex\\(\\): Deleting mutex"},
        {"x", "^$"},
    };
    for (const Case& c : cases) {
        setenv("JEXTHREAD_TRACE", c.value, 1);
        EXPECT_EXIT(CreateThreadAndMutex(), testing::ExitedWithCode(0), c.pattern) << c.value;
    }
    unsetenv("JEXTHREAD_TRACE");
}

TEST(JexThreadFailure, PrintsSiteAndErrorAndAborts) {
    EXPECT_DEATH(JexThreadFailure("JexMutex::Unlock: ReleaseMutex failure", 1),
                 "JexMutex::Unlock: ReleaseMutex failure \\(exception 0xEACEBAD1, error 1\\)");
}

TEST(JexThreadFailure, UnlockOfAMutexNotHeldAborts) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the misuse itself before the library sees it";
#endif
    JexMutex mutex;
    EXPECT_DEATH(mutex.Unlock(), "JexMutex::Unlock: ReleaseMutex failure");
}

}  // namespace
