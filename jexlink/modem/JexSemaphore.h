// JexSemaphore: a counting semaphore with an untimed and a timed wait.
#pragma once

#include "jexlink/core/JexThread.h"

// A counting semaphore on the library's condition: Post adds one and
// signals; a wait takes one, waiting for a Post while the count is 0. A
// Post made while nobody waits is kept in the count (and in the condition's
// remembered signal), so it is never lost.
//
// The caller of Wait and TimedWait holds the semaphore's own lock (the
// JexMutex it derives from through JexCondition) and still holds it when
// the call returns; a waiter releases it while it sleeps. Post may be
// called with or without it. The count has a mutex of its own.
class JexSemaphore : public JexCondition {
public:
    explicit JexSemaphore(int initial);
    ~JexSemaphore() override;

    void Post();
    // Waits without limit for the count to be above 0 and takes one.
    void Wait();
    // The same within `seconds`, counted to one deadline however often the
    // waiter wakes: 0 when one was taken, 1 when the time ran out (at once
    // for 0 or less seconds with a count of 0).
    int TimedWait(double seconds);
    // Adds one and wakes every waiter; not finished, and says so on
    // standard error.
    void Broadcast();

private:
    // Takes one when the count is above 0.
    bool TryTake();

    int count_;
    JexMutex countLock_;
};
