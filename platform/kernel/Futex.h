// Shared futexes: waking the sleepers on a word and sleeping on several words at once.
#pragma once

#include <time.h>

#include <cstdint>
#include <vector>

#include "platform/kernel/KernelObject.h"

namespace platform {

// Wakes every thread of any process sleeping on the shared futex `word`.
void FutexWakeAll(const void* word);

// Sleeps until a word of `watches` is woken or no longer holds its expected
// value, or `deadline` (CLOCK_MONOTONIC; nullptr: none) passes. `stop`, when
// given, is a private word of this process that ends the sleep the same way
// (expected 0). Returns 0 after a wake-up or a change, ETIMEDOUT, or the
// errno of a failure. At most 128 words.
int FutexWaitAny(const std::vector<FutexWatch>& watches, const uint32_t* stop,
                 const timespec* deadline);

// Wakes the thread sleeping in FutexWaitAny with `stop`.
void FutexWakePrivate(const uint32_t* stop);

}  // namespace platform
