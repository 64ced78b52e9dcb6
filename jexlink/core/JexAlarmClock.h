// A one-shot timer on a thread of its own, and console output serialised between threads.
#pragma once

#include <memory>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexThread.h"

#define JEXALARMCLOCK_TEXTS(JEX_TEXT)                                  \
    JEX_TEXT(0, OK, "Working OK")                                      \
    JEX_TEXT(1, ALREADY_RUNNING, "The alarm clock is already ticking") \
    JEX_TEXT(2, NOT_RUNNING, "The alarm clock is not running")         \
    JEX_TEXT(3, NO_THREAD, "The alarm clock could not start its timer thread")

// Once started, waits the interval on its own thread and then calls the
// callback with the stored argument, unless it is cancelled first. It can be
// started again after it fired or was cancelled. Its errors are only
// recorded (the suppress flag is set) unless a handler is registered.
class JexAlarmClock : public JexException {
public:
    enum : int { JEXALARMCLOCK_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    using Callback = void (*)(void* argument);

    JexAlarmClock(Callback callback, void* argument, float seconds);
    // Cancels a running clock and waits for its thread to end.
    ~JexAlarmClock() override;

    // 0, or ALREADY_RUNNING (1) while it runs, or NO_THREAD (3).
    int Start();
    // 0, or NOT_RUNNING (2) when it was not running.
    int Cancel();

    int Running() const;

private:
    static int alarm_clock_task(JexThread* thread, void* clock);
    void Tick();

    int running_ = 0;  // from Start until it fired or was cancelled
    bool cancelled_ = false;
    float interval_;
    std::unique_ptr<JexThread> thread_;
    mutable JexCondition condition_;  // its mutex guards the two flags
    void* argument_;
    Callback callback_;
};

// The user-message routines (JexSeams::UserMessages: the message catalog's
// once the library is set up), each print under one process-wide mutex
// so that messages from several threads do not interleave.
void modem_say(const char* mnemonic, JexExcArgs parameters);
void modem_say(JexException& error);
void modem_say_nm(JexException& error);
