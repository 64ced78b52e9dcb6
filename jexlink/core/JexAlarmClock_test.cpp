// Tests of the alarm clock and the serialised console output.
#include "jexlink/core/JexAlarmClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "jexlink/core/JexSeams.h"
#include "testing/support/ModemSayCapture.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

struct Fired {
    std::atomic<int> count{0};
    std::atomic<int64_t> at_ms{-1};
    Clock::time_point start = Clock::now();
};

void Record(void* argument) {
    auto* fired = static_cast<Fired*>(argument);
    fired->at_ms = ElapsedMs(fired->start);
    ++fired->count;
}

// Waits up to 5 s for the clock to stop running.
bool Stopped(const JexAlarmClock& clock) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (clock.Running()) {
        if (Clock::now() > deadline) return false;
        JexSleepSeconds(0.005);
    }
    return true;
}

TEST(JexAlarmClock, FiresOnceAfterTheIntervalWithItsFraction) {
    Fired fired;
    JexAlarmClock clock(Record, &fired, 0.5f);
    EXPECT_EQ(clock.Suppress(), 1);
    EXPECT_EQ(clock.Start(), 0);
    EXPECT_EQ(clock.Start(), JexAlarmClock::ALREADY_RUNNING);  // still fires once
    EXPECT_EQ(clock.Code(), JexAlarmClock::ALREADY_RUNNING);
    ASSERT_TRUE(Stopped(clock));
    EXPECT_EQ(fired.count.load(), 1);
    EXPECT_GE(fired.at_ms.load(), 490);
    EXPECT_LT(fired.at_ms.load(), 3000);
}

TEST(JexAlarmClock, CancelDuringTheWaitStopsItAndStartArmsItAgain) {
    Fired fired;
    JexAlarmClock clock(Record, &fired, 0.3f);
    ASSERT_EQ(clock.Start(), 0);
    JexSleepSeconds(0.05);
    EXPECT_EQ(clock.Cancel(), 0);
    EXPECT_EQ(clock.Cancel(), JexAlarmClock::NOT_RUNNING);
    EXPECT_STREQ(clock.FormattedText(1).Text(),
                 "JexAlarmClock::NOT_RUNNING, The alarm clock is not running");
    JexSleepSeconds(0.5);
    EXPECT_EQ(fired.count.load(), 0);

    ASSERT_EQ(clock.Start(), 0);
    ASSERT_TRUE(Stopped(clock));
    EXPECT_EQ(fired.count.load(), 1);
}

TEST(JexAlarmClock, StartedAndCancelledAThousandTimesNeverFires) {
    Fired fired;
    JexAlarmClock clock(Record, &fired, 0.2f);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(clock.Start(), 0) << i;
        ASSERT_EQ(clock.Cancel(), 0) << i;  // also before the thread waits
    }
    JexSleepSeconds(0.5);
    EXPECT_EQ(fired.count.load(), 0);
}

TEST(JexAlarmClock, DestroyingARunningClockCancelsItWithoutWaitingTheInterval) {
    Fired fired;
    const auto start = Clock::now();
    {
        JexAlarmClock clock(Record, &fired, 30.0f);
        ASSERT_EQ(clock.Start(), 0);
    }
    EXPECT_LT(ElapsedMs(start), 5000);
    EXPECT_EQ(fired.count.load(), 0);
}

TEST(JexAlarmClock, WithoutCallbackItWaitsAndEnds) {
    JexAlarmClock clock(nullptr, nullptr, 0.05f);
    ASSERT_EQ(clock.Start(), 0);
    EXPECT_TRUE(Stopped(clock));
}

TEST(JexAlarmClock, HandlerReceivesItsErrors) {
    JexAlarmClock clock(nullptr, nullptr, 1.0f);
    int seen = -1;
    JexHandlerScope scope(
        &clock,
        [](JexException* raised, void* context) {
            *static_cast<int*>(context) = raised->Code();
            return 0;
        },
        &seen);
    clock.Cancel();
    EXPECT_EQ(seen, JexAlarmClock::NOT_RUNNING);
}

// A program of the core alone prints through the plain default.
TEST(ModemSay, PrintsPlainlyWithoutTheMessagesLibrary) {
    JexAlarmClock clock(nullptr, nullptr, 1.0f);
    clock.Cancel();
    const tavro::testing::ModemSaid said = tavro::testing::CaptureModemSay("JEX::NOSUCH", clock);
    EXPECT_EQ(said.out, "JEX::NOSUCH\n");
    EXPECT_EQ(said.err,
              "--- JexAlarmClock::NOT_RUNNING, The alarm clock is not running\n"
              "The alarm clock is not running\n");
}

// Installed routines take every call, and the default comes back after.
TEST(ModemSay, PrintsThroughTheInstalledRoutines) {
    static std::string heard;
    heard.clear();
    static const JexUserMessages kRecorder = {
        [](const char* mnemonic, const JexExcArgs&) { heard += mnemonic; },
        [](JexException& error) { heard += " error " + std::to_string(error.Code()); },
        [](JexException& error) { heard += " bare " + std::to_string(error.Code()); },
    };
    const JexUserMessages* previous = JexSeams::SetUserMessages(&kRecorder);
    JexAlarmClock clock(nullptr, nullptr, 1.0f);
    clock.Cancel();
    modem_say("T::HELLO", JexExcArgs());
    modem_say(clock);
    modem_say_nm(clock);
    EXPECT_EQ(JexSeams::SetUserMessages(previous), &kRecorder);
    EXPECT_EQ(heard, "T::HELLO error 2 bare 2");
}

}  // namespace
