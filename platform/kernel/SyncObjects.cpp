// Unnamed events and mutexes, and the event and mutex calls of the layer.
#include "platform/kernel/SyncObjects.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/winbase.h"

namespace platform {
namespace {

int NewEventFd(unsigned initial) { return eventfd(initial, EFD_CLOEXEC | EFD_NONBLOCK); }

void Raise(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

void Lower(int fd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd, &value, sizeof value);
}

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

LocalMutex::LocalMutex() : fd_(NewEventFd(1)) {}

LocalMutex::~LocalMutex() {
    if (fd_ >= 0) close(fd_);
}

void LocalMutex::AddPollFds(std::vector<pollfd>& fds) const { fds.push_back({fd_, POLLIN, 0}); }

void LocalMutex::PrepareWait(WaitContext& context) { context.RecheckWithin(kOwnerRecheckMs); }

WaitOutcome LocalMutex::TryAcquire() {
    std::lock_guard lock(mutex_);
    if (std::optional<WaitOutcome> outcome = ownership_.TryTake()) return *outcome;
    Lower(fd_);
    ownership_.Take();
    return WaitOutcome::Acquired;
}

bool LocalMutex::IsSignalled() {
    std::lock_guard lock(mutex_);
    return ownership_.Available();
}

bool LocalMutex::Release() {
    std::lock_guard lock(mutex_);
    bool freed = false;
    if (!ownership_.Release(freed)) return false;
    if (freed) Raise(fd_);
    return true;
}

std::optional<WaitOutcome> MutexOwnership::TryTake() {
    if (owner_ == 0) return std::nullopt;
    if (owner_ == gettid()) {
        ++count_;
        return WaitOutcome::Acquired;
    }
    if (ThreadAlive(owner_)) return WaitOutcome::NotSignalled;
    Take();
    return WaitOutcome::Abandoned;
}

void MutexOwnership::Take() {
    owner_ = gettid();
    count_ = 1;
}

bool MutexOwnership::Available() const {
    return owner_ == 0 || owner_ == gettid() || !ThreadAlive(owner_);
}

bool MutexOwnership::Release(bool& freed) {
    if (owner_ == 0 || owner_ != gettid()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    freed = --count_ == 0;
    if (freed) owner_ = 0;
    return true;
}

bool ThreadAlive(pid_t tid) { return syscall(SYS_tgkill, getpid(), tid, 0) == 0 || errno != ESRCH; }

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
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
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
