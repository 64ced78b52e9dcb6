// Events and mutexes: unnamed ones inside the process, named ones shared through files.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/KernelObject.h"
#include "platform/wintypes.h"

namespace platform {

// An unnamed event. Its eventfd holds 1 while the event is set, so a wait
// polls it.
class LocalEvent : public KernelObject {
public:
    LocalEvent(bool manualReset, bool initialState);
    ~LocalEvent() override;

    bool Waitable() const override { return true; }
    int PollFd() const override { return fd_; }
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;
    void Undo() override;

    void Set();
    void Reset();

private:
    const bool manualReset_;
    const int fd_;
    std::mutex mutex_;
    bool state_ = false;
};

// An unnamed mutex, owned recursively by one thread. Its eventfd holds 1
// while nobody owns it.
class LocalMutex : public KernelObject {
public:
    LocalMutex();
    ~LocalMutex() override;

    bool Waitable() const override { return true; }
    int PollFd() const override { return fd_; }
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;
    void Undo() override { Release(); }

    // False (ERROR_NOT_OWNER) when the calling thread does not own it.
    bool Release();

private:
    const int fd_;
    std::mutex mutex_;
    pid_t owner_ = 0;
    unsigned count_ = 0;
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
    // Mutex ownership inside this process (the file lock is the process's).
    std::mutex mutex_;
    pid_t owner_ = 0;
    unsigned count_ = 0;
};

}  // namespace platform
