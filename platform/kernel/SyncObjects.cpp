// Unnamed events and mutexes, and the event and mutex calls of the layer.
#include "platform/kernel/SyncObjects.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/base/Posix.h"
#include "platform/kernel/Futex.h"
#include "platform/winbase.h"

namespace platform {
namespace {

void Raise(int fd) { WakeEventFd(fd); }

void Lower(int fd) { DrainEventFd(fd); }

}  // namespace

LocalEvent::LocalEvent(bool manualReset, bool initialState)
    : manualReset_(manualReset), fd_(NewEventFd(initialState ? 1 : 0)), state_(initialState) {}

LocalEvent::~LocalEvent() {
    if (fd_ >= 0) close(fd_);
}

void LocalEvent::AddPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({fd_, POLLIN, 0});
    std::lock_guard lock(mutex_);
    if (source_.fd >= 0) fds.push_back({source_.fd, source_.events, 0});
}

void LocalEvent::LatchSource() {
    if (state_ || source_.fd < 0) return;
    pollfd ready{source_.fd, source_.events, 0};
    if (poll(&ready, 1, 0) != 1) return;
    // A descriptor closed while attached would make every poll return at
    // once: it is dropped instead.
    if (ready.revents & POLLNVAL) {
        source_.fd = -1;
        return;
    }
    if (ready.revents & (source_.events | POLLERR | POLLHUP)) {
        state_ = true;
        Raise(fd_);
    }
}

void LocalEvent::Attach(int fd, short events) {
    std::lock_guard lock(mutex_);
    source_ = {fd, events, 0};
}

WaitOutcome LocalEvent::TryAcquire() {
    std::lock_guard lock(mutex_);
    LatchSource();
    if (!state_) return WaitOutcome::NotSignalled;
    if (!manualReset_) {
        state_ = false;
        Lower(fd_);
    }
    return WaitOutcome::Acquired;
}

bool LocalEvent::IsSignalled() {
    std::lock_guard lock(mutex_);
    LatchSource();
    return state_;
}

void LocalEvent::Undo() {
    if (!manualReset_) Set();
}

void LocalEvent::Set() {
    std::lock_guard lock(mutex_);
    if (state_) return;
    state_ = true;
    Raise(fd_);
}

void LocalEvent::Reset() {
    std::lock_guard lock(mutex_);
    if (!state_) return;
    state_ = false;
    Lower(fd_);
}

// --- Events and mutexes over shared state ------------------------------------

SharedEvent::SharedEvent(SharedEventState* state, bool manualReset)
    : state_(state), manualReset_(manualReset) {}

void SharedEvent::Init(SharedEventState& state, bool initialState) {
    state.signalled.store(initialState ? 1 : 0);
    state.sequence.store(0);
    state.sleepers.store(0);
}

WaitOutcome SharedEvent::TryAcquire() {
    if (manualReset_) return IsSignalled() ? WaitOutcome::Acquired : WaitOutcome::NotSignalled;
    uint32_t set = 1;
    return state_->signalled.compare_exchange_strong(set, 0) ? WaitOutcome::Acquired
                                                             : WaitOutcome::NotSignalled;
}

bool SharedEvent::IsSignalled() const { return state_->signalled.load() != 0; }

void SharedEvent::Undo() {
    if (!manualReset_) Set();
}

void SharedEvent::BeginWait() { state_->sleepers.fetch_add(1); }

void SharedEvent::EndWait() { state_->sleepers.fetch_sub(1); }

void SharedEvent::AddFutexWatches(std::vector<FutexWatch>& watches) const {
    watches.push_back({&state_->sequence, state_->sequence.load()});
}

void SharedEvent::Set() {
    // The order matters: a waiter counts itself before it reads the
    // sequence and looks at the state, so either it sees the state set or
    // this sees it counted and wakes it.
    state_->signalled.store(1);
    state_->sequence.fetch_add(1);
    if (state_->sleepers.load() != 0) FutexWakeAll(&state_->sequence);
}

void SharedEvent::Reset() { state_->signalled.store(0); }

bool RobustMutex::Init(SharedMutexState& state) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    int err = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (err == 0) err = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (err == 0) err = pthread_mutex_init(&state.lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
    errno = err;
    return err == 0;
}

uint32_t RobustMutex::Word() const {
    return static_cast<uint32_t>(std::atomic_ref<int>(state_->lock.__data.__lock).load());
}

bool RobustMutex::OwnedByCaller() const {
    return (Word() & FUTEX_TID_MASK) == static_cast<uint32_t>(gettid());
}

WaitOutcome RobustMutex::TryAcquire() {
    std::lock_guard lock(mutex_);
    if (OwnedByCaller()) {
        ++count_;
        return WaitOutcome::Acquired;
    }
    int err = pthread_mutex_trylock(&state_->lock);
    if (err == EOWNERDEAD) {
        pthread_mutex_consistent(&state_->lock);
        count_ = 1;
        return WaitOutcome::Abandoned;
    }
    if (err != 0) return WaitOutcome::NotSignalled;
    count_ = 1;
    return WaitOutcome::Acquired;
}

bool RobustMutex::IsSignalled() const {
    uint32_t owner = Word() & FUTEX_TID_MASK;
    return owner == 0 || owner == static_cast<uint32_t>(gettid());
}

void RobustMutex::AddFutexWatches(std::vector<FutexWatch>& watches) const {
    std::atomic_ref<int> word(state_->lock.__data.__lock);
    int value = word.load();
    // The waiters bit makes the owner's unlock, and the kernel when the
    // owner dies, wake the sleepers.
    while ((value & FUTEX_TID_MASK) != 0 && (value & FUTEX_WAITERS) == 0 &&
           !word.compare_exchange_weak(value, value | FUTEX_WAITERS)) {
    }
    if ((value & FUTEX_TID_MASK) != 0) value |= FUTEX_WAITERS;
    watches.push_back({&state_->lock.__data.__lock, static_cast<uint32_t>(value), true});
}

bool RobustMutex::Release() {
    std::lock_guard lock(mutex_);
    if (!OwnedByCaller() || count_ == 0) {
        return platform::FailWith(ERROR_NOT_OWNER);
    }
    if (--count_ > 0) return true;
    bool waiters = (Word() & FUTEX_WAITERS) != 0;
    pthread_mutex_unlock(&state_->lock);
    // The unlock wakes one sleeper; a wait for several objects may not take
    // it, so every sleeper looks again.
    if (waiters) FutexWakeAll(&state_->lock.__data.__lock);
    return true;
}

bool RobustMutex::HeldInThisProcess() const {
    uint32_t owner = Word() & FUTEX_TID_MASK;
    return owner != 0 && syscall(SYS_tgkill, getpid(), static_cast<pid_t>(owner), 0) == 0;
}

LocalMutex::LocalMutex()
    : state_(new SharedMutexState{}), valid_(RobustMutex::Init(*state_)), mutex_(state_) {}

LocalMutex::~LocalMutex() {
    // A thread that still holds it keeps it in its robust list.
    if (mutex_.HeldInThisProcess()) return;
    if (valid_) pthread_mutex_destroy(&state_->lock);
    delete state_;
}

}  // namespace platform

using platform::LocalEvent;
using platform::LocalMutex;
using platform::NamedObject;

namespace {

// The handle of a new or opened named object, with the last error Open left
// (0 or ERROR_ALREADY_EXISTS) or null. A name of another kind of object
// gives ERROR_INVALID_HANDLE, as on the real platform.
HANDLE NamedHandle(LPCSTR name, NamedObject::Kind kind, NamedObject::Disposition disposition,
                   bool initialState, bool wantEvent) {
    std::shared_ptr<NamedObject> object = NamedObject::Open(name, kind, disposition, initialState);
    if (!object) return nullptr;
    if (object->IsEvent() != wantEvent) {
        platform::SetInvalidHandle();
        return nullptr;
    }
    DWORD error = GetLastError();
    HANDLE handle = platform::AddHandle(std::move(object));
    SetLastError(error);
    return handle;
}

// Sets or resets an event of either kind.
BOOL ChangeEvent(HANDLE event, bool signalled) {
    std::shared_ptr<platform::KernelObject> object = platform::LookupHandle(event);
    if (auto local = std::dynamic_pointer_cast<LocalEvent>(object)) {
        signalled ? local->Set() : local->Reset();
        return TRUE;
    }
    auto named = std::dynamic_pointer_cast<NamedObject>(object);
    if (!named || !named->IsEvent()) {
        platform::SetInvalidHandle();
        return FALSE;
    }
    return named->SetState(signalled) ? TRUE : FALSE;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    if (name && *name) {
        return NamedHandle(
            name, manualReset ? NamedObject::Kind::ManualEvent : NamedObject::Kind::AutoEvent,
            NamedObject::Disposition::CreateOrOpen, initialState, true);
    }
    auto event = std::make_shared<LocalEvent>(manualReset != FALSE, initialState != FALSE);
    if (!event->Valid()) {
        platform::SetLastErrorFromErrno();
        return nullptr;
    }
    HANDLE handle = platform::AddHandle(std::move(event));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE OpenEventA(DWORD /*access*/, BOOL /*inherit*/, LPCSTR name) {
    if (!name || !*name) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    HANDLE handle = NamedHandle(name, NamedObject::Kind::ManualEvent,
                                NamedObject::Disposition::OpenOnly, false, true);
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
}

namespace platform {

bool AttachEventSource(HANDLE event, int fd, short events) {
    auto local = LookupHandleAs<LocalEvent>(event);
    if (!local) return false;
    local->Attach(fd, events);
    return true;
}

}  // namespace platform

BOOL SetEvent(HANDLE event) { return ChangeEvent(event, true); }

BOOL ResetEvent(HANDLE event) { return ChangeEvent(event, false); }

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCSTR name) {
    if (name && *name) {
        return NamedHandle(name, NamedObject::Kind::Mutex, NamedObject::Disposition::CreateOrOpen,
                           initialOwner, false);
    }
    auto mutex = std::make_shared<LocalMutex>();
    if (!mutex->Valid()) {
        platform::SetLastErrorFromErrno();
        return nullptr;
    }
    if (initialOwner) mutex->TryAcquire();
    HANDLE handle = platform::AddHandle(std::move(mutex));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
    std::shared_ptr<platform::KernelObject> object = platform::LookupHandle(mutex);
    if (auto local = std::dynamic_pointer_cast<LocalMutex>(object)) {
        return local->Release() ? TRUE : FALSE;
    }
    auto named = std::dynamic_pointer_cast<NamedObject>(object);
    if (!named || named->IsEvent()) {
        platform::SetInvalidHandle();
        return FALSE;
    }
    return named->Release() ? TRUE : FALSE;
}
