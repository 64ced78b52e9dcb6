// Kernel objects behind HANDLEs, the process's handle table, and what a wait needs of an object.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

// What one look at a waited object gives.
enum class WaitOutcome { NotSignalled, Acquired, Abandoned };

// A futex word a wait may sleep on, with the value it held when the object
// was last looked at: a change of the word (and a wake-up on it) means that
// the object may have become signalled. Words live in memory shared between
// processes (named objects) or in this process; all are shared futexes.
struct FutexWatch {
    const void* word;
    uint32_t expected;
    // A robust lock word: the kernel wakes one sleeper only when its owner
    // dies, so a waiter that sees the word freed passes the wake-up on.
    bool passOn = false;
};

// Base of every object a HANDLE reaches. A waitable object offers a try at
// taking it (consuming an auto-reset event, owning a mutex) and a way to
// learn that it may have changed: a descriptor that polls readable or a
// futex word that changes.
class KernelObject {
public:
    virtual ~KernelObject() = default;

    // Whether the object can be waited on (events, mutexes, threads, processes).
    virtual bool Waitable() const { return false; }
    // Called once before a wait first sleeps on the object, and once when
    // that wait ends: an object counts its sleepers so that a change wakes
    // them only when there are any.
    virtual void BeginWait() {}
    virtual void EndWait() {}
    // Adds the futex words whose change means that the object may have
    // become signalled, with their present values. Called before each look,
    // so that a change after the look ends the sleep at once.
    virtual void AddFutexWatches(std::vector<FutexWatch>& /*watches*/) {}
    // Adds the descriptors whose readiness (as their pollfd entries say)
    // means that the object may have become signalled.
    virtual void AddPollFds(std::vector<pollfd>& /*fds*/) const {}
    // Takes the object when it is signalled.
    virtual WaitOutcome TryAcquire() { return WaitOutcome::NotSignalled; }
    // Looks without taking.
    virtual bool IsSignalled() { return false; }
    // Gives back what a successful TryAcquire took (a wait for all objects
    // that could not take them all).
    virtual void Undo() {}
};

// Enters `object` into the handle table and returns its new handle. Handle
// values are never reused within a process.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);

// The object behind `handle`; for a null, closed or unknown handle nullptr
// with the last error ERROR_INVALID_HANDLE. GetCurrentProcess()'s
// pseudo-handle gives the object of this process.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// As LookupHandle, for an object of type T; a handle of another type also
// gives nullptr with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle);

// Makes the unnamed event `event` become set whenever `fd` polls ready for
// any of `events` (POLLIN, POLLOUT ...), besides SetEvent; it stays set until
// ResetEvent (or, auto-reset, until a wait takes it) and is set again while
// `fd` is still ready. `fd` -1 detaches. The caller keeps `fd` open while it
// is attached. False (ERROR_INVALID_HANDLE) for any other kind of handle.
// This is what a socket layer's event selection builds on.
bool AttachEventSource(HANDLE event, int fd, short events);

// Sets ERROR_INVALID_HANDLE as the last error.
void SetInvalidHandle();

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
    if (!object) SetInvalidHandle();
    return object;
}

}  // namespace platform
