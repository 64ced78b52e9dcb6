// Events and mutexes: unnamed ones inside the process, named ones shared through files.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/kernel/KernelObject.h"
#include "platform/wintypes.h"

namespace platform {

// The state of an event as it lives in memory shared between processes.
struct SharedEventState {
    std::atomic<uint32_t> signalled;
    // Changed by every SetEvent: sleepers wait on it.
    std::atomic<uint32_t> sequence;
    // Threads sleeping on `sequence`, so that SetEvent wakes only when needed.
    std::atomic<uint32_t> sleepers;
};

// An event over shared state: set and reset by any process, waited on
// through a futex on its sequence word.
class SharedEvent {
public:
    SharedEvent(SharedEventState* state, bool manualReset);
    // Gives `state` its first value.
    static void Init(SharedEventState& state, bool initialState);

    WaitOutcome TryAcquire();
    bool IsSignalled() const;
    void Undo();
    void BeginWait();
    void EndWait();
    void AddFutexWatches(std::vector<FutexWatch>& watches) const;
    void Set();
    void Reset();

private:
    SharedEventState* const state_;
    const bool manualReset_;
};

// The state of a mutex as it lives in memory shared between processes: a
// robust, process-shared lock. The kernel frees it when its owner thread
// ends, or its owner process dies, and the next taker learns of it.
struct SharedMutexState {
    pthread_mutex_t lock;
};

// A mutex owned recursively by one thread, over shared state: the shared
// lock is held once, the recursion counted here. A thread that ends holding
// it leaves it abandoned, in this process and in every other.
class RobustMutex {
public:
    explicit RobustMutex(SharedMutexState* state) : state_(state) {}
    // Gives `state` its first value, free; false (errno set) on failure.
    [[nodiscard]] static bool Init(SharedMutexState& state);

    WaitOutcome TryAcquire();
    bool IsSignalled() const;
    void AddFutexWatches(std::vector<FutexWatch>& watches) const;
    // False (ERROR_NOT_OWNER) when the calling thread does not own it.
    bool Release();
    // Whether a live thread of this process holds the lock: its memory must
    // then outlive every handle, since the thread's robust list points to it.
    bool HeldInThisProcess() const;

private:
    uint32_t Word() const;
    bool OwnedByCaller() const;

    SharedMutexState* const state_;
    // Guards the recursion count among the threads of this process.
    mutable std::mutex mutex_;
    // Holds of the owning thread; valid while the lock names the caller.
    unsigned count_ = 0;
};

// An unnamed event. Its eventfd holds 1 while the event is set, so a wait
// polls it. An attached source descriptor (see AttachEventSource) sets the
// event whenever it polls ready.
class LocalEvent : public KernelObject {
public:
    LocalEvent(bool manualReset, bool initialState);
    ~LocalEvent() override;

    bool Valid() const { return fd_ >= 0; }
    bool Waitable() const override { return true; }
    void AddPollFds(std::vector<pollfd>& fds) const override;
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;
    void Undo() override;

    void Set();
    void Reset();
    void Attach(int fd, short events);

private:
    // Sets the event when the source is ready; the caller holds mutex_.
    void LatchSource();

    const bool manualReset_;
    const int fd_;
    mutable std::mutex mutex_;
    bool state_ = false;
    pollfd source_{-1, 0, 0};
};

// An unnamed mutex, owned recursively by one thread: a robust mutex in
// memory of this process.
class LocalMutex : public KernelObject {
public:
    LocalMutex();
    ~LocalMutex() override;

    bool Valid() const { return valid_; }
    bool Waitable() const override { return true; }
    void AddFutexWatches(std::vector<FutexWatch>& watches) override {
        mutex_.AddFutexWatches(watches);
    }
    WaitOutcome TryAcquire() override { return mutex_.TryAcquire(); }
    bool IsSignalled() override { return mutex_.IsSignalled(); }
    void Undo() override { Release(); }

    // False (ERROR_NOT_OWNER) when the calling thread does not own it.
    bool Release() { return mutex_.Release(); }

private:
    SharedMutexState* const state_;
    const bool valid_;
    RobustMutex mutex_;
};

// A named event or mutex, shared by every process that opens the same name
// in the same name space. Its state lives in a small shared mapping of a
// file under the platform state directory (see NamedObject.cpp); all
// handles of one process to one name share one NamedObject.
class NamedObject : public KernelObject {
public:
    enum class Kind : char { ManualEvent = 'M', AutoEvent = 'A', Mutex = 'X' };
    enum class Disposition { CreateOrOpen, OpenOnly };
    struct Shared;

    // Opens the object `name` of the caller's session (a "Global\\" prefix
    // names the shared name space, "Local\\" the session's own), creating it
    // as `kind` when missing and `disposition` allows. Returns nullptr with
    // the last error set, or the object with the last error 0 (created) or
    // ERROR_ALREADY_EXISTS. `initialState` sets a new event / makes the
    // caller own a new mutex.
    static std::shared_ptr<NamedObject> Open(const std::string& name, Kind kind,
                                             Disposition disposition, bool initialState);

    NamedObject(std::string path, int fd, Shared* shared, Kind kind, bool ownedByCaller);
    ~NamedObject() override;

    bool Waitable() const override { return true; }
    void BeginWait() override;
    void EndWait() override;
    void AddFutexWatches(std::vector<FutexWatch>& watches) override;
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;
    void Undo() override;

    Kind GetKind() const { return kind_; }
    bool IsEvent() const { return kind_ != Kind::Mutex; }
    // Events: set or clear the shared state.
    bool SetState(bool signalled);
    // Mutexes: false (ERROR_NOT_OWNER) when the calling thread does not own it.
    bool Release();

private:
    const std::string path_;
    const int fd_;
    Shared* const shared_;
    const Kind kind_;
    SharedEvent event_;
    RobustMutex mutex_;
};

}  // namespace platform
