// Threads: CreateThread (started or suspended), ResumeThread, exit codes and waitable thread
// handles.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/base/Posix.h"
#include "platform/kernel/KernelObject.h"
#include "platform/winbase.h"

namespace platform {
namespace {

// A thread started by CreateThread. Its eventfd turns readable when the
// thread's routine has returned.
class ThreadObject : public KernelObject {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
        : start_(start),
          parameter_(parameter),
          doneFd_(NewEventFd()),
          suspendCount_(suspended ? 1 : 0) {}
    ~ThreadObject() override {
        if (doneFd_ >= 0) close(doneFd_);
    }

    bool Waitable() const override { return true; }
    void AddPollFds(std::vector<pollfd>& fds) const override {
        fds.push_back({doneFd_, POLLIN, 0});
    }
    WaitOutcome TryAcquire() override {
        return IsSignalled() ? WaitOutcome::Acquired : WaitOutcome::NotSignalled;
    }
    bool IsSignalled() override {
        std::lock_guard lock(mutex_);
        return done_;
    }

    int DoneFd() const { return doneFd_; }

    // Body of the new thread; `self` keeps the object alive until the end.
    static void* Main(void* argument) {
        std::shared_ptr<ThreadObject> self(
            std::move(*static_cast<std::shared_ptr<ThreadObject>*>(argument)));
        delete static_cast<std::shared_ptr<ThreadObject>*>(argument);
        {
            std::unique_lock lock(self->mutex_);
            self->threadId_ = static_cast<DWORD>(gettid());
            self->changed_.notify_all();
            self->changed_.wait(lock, [&] { return self->suspendCount_ == 0 || self->done_; });
            // Terminated while suspended: the routine never runs.
            if (self->done_) return nullptr;
        }
        self->End(self->start_(self->parameter_));
        return nullptr;
    }

    // Records the exit code, unless the thread has already ended (or been
    // terminated), and wakes the waiters.
    void End(DWORD code) {
        std::lock_guard lock(mutex_);
        if (done_) return;
        exitCode_ = code;
        done_ = true;
        changed_.notify_all();
        WakeEventFd(doneFd_);
    }

    DWORD WaitForThreadId() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return threadId_ != 0; });
        return threadId_;
    }

    DWORD Resume() {
        std::lock_guard lock(mutex_);
        DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) changed_.notify_all();
        return previous;
    }

    DWORD ExitCode() {
        std::lock_guard lock(mutex_);
        return done_ ? exitCode_ : STILL_ACTIVE;
    }

private:
    const LPTHREAD_START_ROUTINE start_;
    const LPVOID parameter_;
    const int doneFd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    DWORD suspendCount_;
    DWORD threadId_ = 0;
    bool done_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
};

}  // namespace
}  // namespace platform

using platform::ThreadObject;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    if (!start) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    auto object =
        std::make_shared<ThreadObject>(start, parameter, (creationFlags & CREATE_SUSPENDED) != 0);
    if (object->DoneFd() < 0) {
        platform::SetLastErrorFromErrno();
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize > 0) {
        pthread_attr_setstacksize(&attributes, std::max<SIZE_T>(stackSize, PTHREAD_STACK_MIN));
    }
    auto* argument = new std::shared_ptr<ThreadObject>(object);
    pthread_t thread;
    int err = pthread_create(&thread, &attributes, &ThreadObject::Main, argument);
    pthread_attr_destroy(&attributes);
    if (err != 0) {
        delete argument;
        return platform::FailWith(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY
                                                : platform::Win32FromErrno(err));
    }
    DWORD id = object->WaitForThreadId();
    if (threadId) *threadId = id;
    return platform::AddHandle(std::move(object));
}

DWORD ResumeThread(HANDLE thread) {
    auto object = platform::LookupHandleAs<ThreadObject>(thread);
    return object ? object->Resume() : static_cast<DWORD>(-1);
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    auto object = platform::LookupHandleAs<ThreadObject>(thread);
    if (!object) return FALSE;
    object->End(exitCode);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = platform::LookupHandleAs<ThreadObject>(thread);
    if (!object) return FALSE;
    if (!exitCode) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }
