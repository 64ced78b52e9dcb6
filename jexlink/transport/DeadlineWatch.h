// One thread per process that runs an action when its deadline passes, unless it is disarmed first.
#pragma once

#include <chrono>
#include <cstdint>

namespace jexnet {

// Bounds many waits of the process with one thread between them, where an
// alarm clock would start a thread for each wait. The thread starts with the
// first Arm and lives as long as the process (a child after fork() starts
// its own). Actions run on that thread, one after the other, so each should
// be short (closing a transport, say). Thread-safe.
class DeadlineWatch {
public:
    using Action = void (*)(void* argument);

    // Runs action(argument) once `after` has passed, unless the returned
    // ticket is disarmed before. 0 when the watch thread cannot start.
    static uint64_t Arm(Action action, void* argument, std::chrono::steady_clock::duration after);
    // Disarms a ticket. True when its action never ran and now never will;
    // false when it ran, after waiting until a running action has returned
    // (so the argument may be destroyed once this returns).
    static bool Disarm(uint64_t ticket);
};

}  // namespace jexnet
