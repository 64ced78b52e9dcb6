// A one-shot timer on a thread of its own, and console output serialised between threads.
#include "jexlink/core/JexAlarmClock.h"

#include <chrono>
#include <memory>

#include "jexlink/core/JexSeams.h"

#define JEX_TEXT_CLASS JexAlarmClock
const JexTextRow JexAlarmClock::kTextTable[] = JEX_TEXT_TABLE(JEXALARMCLOCK_TEXTS);
#undef JEX_TEXT_CLASS

JexAlarmClock::JexAlarmClock(Callback callback, void* argument, float seconds)
    : JexException(kTextTable, "JexAlarmClock"),
      interval_(seconds),
      argument_(argument),
      callback_(callback) {
    SetSuppress(1);
}

JexAlarmClock::~JexAlarmClock() {
    if (Running()) Cancel();
    thread_.reset();  // waits for the thread to end, before the members it uses go
}

int JexAlarmClock::Running() const {
    JexMutexLock hold(condition_);
    return running_;
}

int JexAlarmClock::Start() {
    if (Running()) {
        ExcSet(ALREADY_RUNNING);
        Raise();
        return ALREADY_RUNNING;
    }
    thread_.reset();  // a finished or cancelled run: its thread ends soon
    {
        // Running from here on, so that a Cancel that comes before the new
        // thread waits is not lost.
        JexMutexLock hold(condition_);
        running_ = 1;
        cancelled_ = false;
    }
    thread_ = std::make_unique<JexThread>(alarm_clock_task, this);
    if (!thread_->Started()) {
        {
            JexMutexLock hold(condition_);
            running_ = 0;
        }
        ExcSet(NO_THREAD);
        Raise();
        return NO_THREAD;
    }
    ExcSet(OK);
    return OK;
}

int JexAlarmClock::Cancel() {
    bool wasRunning;
    {
        JexMutexLock hold(condition_);
        wasRunning = running_ != 0;
        if (wasRunning) {
            running_ = 0;
            cancelled_ = true;
            condition_.Signal();  // wakes the timer thread, or its coming wait
        }
    }
    // The error state is set outside the condition's mutex: a handler may
    // call back into the clock.
    if (wasRunning) return ExcSet(OK);
    ExcSet(NOT_RUNNING);
    Raise();
    return NOT_RUNNING;
}

int JexAlarmClock::alarm_clock_task(JexThread* /*thread*/, void* clock) {
    static_cast<JexAlarmClock*>(clock)->Tick();
    return 0;
}

void JexAlarmClock::Tick() {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration<double>(static_cast<double>(interval_));
    bool fire = false;
    {
        JexMutexLock hold(condition_);
        // A wake-up without a cancel (a signal left from an earlier run)
        // waits again for the rest of the time.
        while (!cancelled_) {
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (condition_.TimedWait(left) == 1) {
                fire = !cancelled_;
                break;
            }
        }
    }
    if (fire && callback_) callback_(argument_);
    JexMutexLock hold(condition_);
    running_ = 0;
}

// --- Serialised console output ----------------------------------------------

namespace {

JexMutex& OutputMutex() {
    static JexMutex* mutex = new JexMutex(2);  // lives until the process ends
    return *mutex;
}

}  // namespace

void modem_say(const char* mnemonic, JexExcArgs parameters) {
    JexMutexLock hold(OutputMutex());
    JexSeams::UserMessages().say(mnemonic, parameters);
}

void modem_say(JexException& error) {
    JexMutexLock hold(OutputMutex());
    JexSeams::UserMessages().sayError(error);
}

void modem_say_nm(JexException& error) {
    JexMutexLock hold(OutputMutex());
    JexSeams::UserMessages().sayErrorNoName(error);
}
