// Tests of the counting semaphore: its edge cases, the one deadline of a timed wait, and no lost
// post.
#include "jexlink/modem/JexSemaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "testing/support/Wait.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A timed wait as the callers make it: with the semaphore's lock held.
int LockedTimedWait(JexSemaphore& semaphore, double seconds) {
    JexMutexLock hold(semaphore);
    return semaphore.TimedWait(seconds);
}

// Runs an untimed Wait on a thread of its own; if it has not returned when
// the test is done with it, posts until it does, so no thread is left.
class Waiter {
public:
    explicit Waiter(JexSemaphore& semaphore) : semaphore_(semaphore) {
        thread_ = std::thread([this] {
            JexMutexLock hold(semaphore_);
            semaphore_.Wait();
            done_ = true;
        });
    }
    ~Waiter() {
        while (!done_) {
            semaphore_.Post();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        thread_.join();
    }
    bool Done() const { return done_; }

private:
    JexSemaphore& semaphore_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(JexSemaphore, TimedWaitWithACountTakesOneAtOnce) {
    JexSemaphore semaphore(2);
    const auto start = Clock::now();
    EXPECT_EQ(LockedTimedWait(semaphore, 30), 0);
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(LockedTimedWait(semaphore, 0), 0);  // the second one
    EXPECT_EQ(LockedTimedWait(semaphore, 0), 1);  // none left
}

TEST(JexSemaphore, TimedWaitOfNoTimeWithoutCountGivesUpAtOnce) {
    for (double seconds : {0.0, -1.0, -0.0001, 0.0004}) {
        SCOPED_TRACE(seconds);
        JexSemaphore semaphore(0);
        const auto start = Clock::now();
        EXPECT_EQ(LockedTimedWait(semaphore, seconds), 1);
        EXPECT_LT(SecondsSince(start), 0.5);
    }
}

TEST(JexSemaphore, PostBeforeWaitIsNotLost) {
    JexSemaphore semaphore(0);
    semaphore.Post();
    Waiter waiter(semaphore);
    EXPECT_TRUE(tavro::testing::WaitFor([&] { return waiter.Done(); }, 5000));
}

TEST(JexSemaphore, TwoPostsReleaseTwoWaits) {
    JexSemaphore semaphore(0);
    Waiter first(semaphore);
    Waiter second(semaphore);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(first.Done() || second.Done());
    semaphore.Post();
    semaphore.Post();
    EXPECT_TRUE(tavro::testing::WaitFor([&] { return first.Done() && second.Done(); }, 5000));
}

// A waiter woken by a post that another thread takes first waits only for
// the rest of its period.
TEST(JexSemaphore, TimedWaitKeepsOneDeadlineWhenAWakeUpFindsTheCountTaken) {
    JexSemaphore semaphore(0);
    std::atomic<double> elapsed{0};
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        const auto start = Clock::now();
        result = LockedTimedWait(semaphore, 2.0);
        elapsed = SecondsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    {
        // Post and take it again while holding the lock, so the waiter
        // wakes to find the count at 0.
        JexMutexLock hold(semaphore);
        semaphore.Post();
        semaphore.Wait();
    }
    waiter.join();
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsed, 1.99);
    EXPECT_LT(elapsed, 2.9);  // not the 3 s of a second full period
}

TEST(JexSemaphore, FourPostersAndOneWaiterLoseNoPost) {
    constexpr int kPosters = 4;
    constexpr int kPostsEach = 100000;
    JexSemaphore semaphore(0);
    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int i = 0; i < kPosters; ++i)
        posters.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int n = 0; n < kPostsEach; ++n) semaphore.Post();
        });
    int taken = 0;
    int timeouts = 0;
    {
        JexMutexLock hold(semaphore);
        go = true;
        // Each wait is bounded, so a lost post ends the loop instead of
        // hanging it.
        while (taken < kPosters * kPostsEach && timeouts == 0) {
            if (semaphore.TimedWait(20) == 0)
                ++taken;
            else
                ++timeouts;
        }
    }
    for (std::thread& poster : posters) poster.join();
    EXPECT_EQ(taken, kPosters * kPostsEach);
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(LockedTimedWait(semaphore, 0), 1);  // and none extra
}

TEST(JexSemaphore, BroadcastAddsOneAndSaysItIsNotFinished) {
    JexSemaphore semaphore(0);
    testing::internal::CaptureStderr();
    semaphore.Broadcast();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "*** Used JexSemaphore::Broadcast() which isn't finished!!!\n");
    EXPECT_EQ(LockedTimedWait(semaphore, 0), 0);
    EXPECT_EQ(LockedTimedWait(semaphore, 0), 1);
}

}  // namespace
