// Events and mutexes: unnamed ones inside the process, named ones shared through files.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/kernel/KernelObject.h"
#include "platform/wintypes.h"

namespace platform {

// Which thread of this process owns a mutex, and how many times. A mutex
// whose owner thread has ended is taken over as abandoned. The caller
// guards it with its own lock.
class MutexOwnership {
public:
    // A try of the calling thread: Acquired when it owns the mutex (again),
    // Abandoned when it took over from an owner thread that ended holding
    // it, NotSignalled when another thread owns it; nothing when no thread
    // of this process owns it, and the caller may take it (Take).
    std::optional<WaitOutcome> TryTake();
    // Makes the calling thread the owner, once.
    void Take();
    // Whether the calling thread could take it now, as far as this process knows.
    bool Available() const;
    // Whether no thread of this process owns it.
    bool Free() const { return owner_ == 0; }
    // False (ERROR_NOT_OWNER) when the calling thread does not own it;
    // `freed` tells whether this was its last hold.
    bool Release(bool& freed);

private:
    pid_t owner_ = 0;
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

// An unnamed mutex, owned recursively by one thread. Its eventfd holds 1
// while nobody owns it. A mutex whose owner thread has ended is taken over
// as abandoned.
class LocalMutex : public KernelObject {
public:
    LocalMutex();
    ~LocalMutex() override;

    bool Valid() const { return fd_ >= 0; }
    bool Waitable() const override { return true; }
    void AddPollFds(std::vector<pollfd>& fds) const override;
    void PrepareWait(WaitContext& context) override;
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;
    void Undo() override { Release(); }

    // False (ERROR_NOT_OWNER) when the calling thread does not own it.
    bool Release();

private:
    const int fd_;
    std::mutex mutex_;
    MutexOwnership ownership_;
};

// A named event or mutex, shared by every process that opens the same name
// in the same name space. Its state lives in a small file under the
// platform state directory (see NamedObject.cpp); all handles of one
// process to one name share one NamedObject.
class NamedObject : public KernelObject {
public:
    enum class Kind : char { ManualEvent = 'M', AutoEvent = 'A', Mutex = 'X' };
    enum class Disposition { CreateOrOpen, OpenOnly };

    // Opens the object `name` of the caller's session (a "Global\" prefix
    // names the shared name space, "Local\" the session's own), creating it
    // as `kind` when missing and `disposition` allows. Returns nullptr with
    // the last error set, or the object with the last error 0 (created) or
    // ERROR_ALREADY_EXISTS. `initialState` sets a new event / makes the
    // caller own a new mutex.
    static std::shared_ptr<NamedObject> Open(const std::string& name, Kind kind,
                                             Disposition disposition, bool initialState);

    NamedObject(std::string path, int fd, Kind kind);
    ~NamedObject() override;

    bool Waitable() const override { return true; }
    void PrepareWait(WaitContext& context) override;
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
    WaitOutcome TakeEvent(bool consume);
    WaitOutcome TakeMutex();

    const std::string path_;
    const int fd_;
    const Kind kind_;
    // Guards the file's state among this process's threads, and the
    // mutex ownership inside this process (the file lock is the process's).
    std::mutex mutex_;
    MutexOwnership ownership_;
};

// Whether thread `tid` of this process still runs.
bool ThreadAlive(pid_t tid);

// How often a wait on a mutex owned by another thread of this process looks
// whether that thread has ended (a thread's end gives no notification).
constexpr int kOwnerRecheckMs = 50;

}  // namespace platform
