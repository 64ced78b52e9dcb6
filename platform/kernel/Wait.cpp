// WaitForSingleObject, WaitForMultipleObjects and Sleep over the objects' descriptors and futexes.
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/kernel/Futex.h"
#include "platform/kernel/KernelObject.h"
#include "platform/winbase.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait over descriptors and futexes looks again when no thread
// can be started to sleep on the futexes (resources exhausted).
constexpr int kNoWatcherRecheckMs = 10;

// Tries to take every object of a wait for all. Either all are taken, and
// the result is WAIT_OBJECT_0 (or WAIT_ABANDONED_0 plus the index of the
// first abandoned mutex), or none is.
bool TryAcquireAll(const std::vector<std::shared_ptr<KernelObject>>& objects, DWORD& result) {
    for (const auto& object : objects) {
        if (!object->IsSignalled()) return false;
    }
    result = WAIT_OBJECT_0;
    for (size_t i = 0; i < objects.size(); ++i) {
        WaitOutcome outcome = objects[i]->TryAcquire();
        if (outcome == WaitOutcome::NotSignalled) {
            while (i > 0) objects[--i]->Undo();
            return false;
        }
        if (outcome == WaitOutcome::Abandoned && result == WAIT_OBJECT_0) {
            result = WAIT_ABANDONED_0 + static_cast<DWORD>(i);
        }
    }
    return true;
}

bool TryAcquireAny(const std::vector<std::shared_ptr<KernelObject>>& objects, DWORD& result) {
    for (size_t i = 0; i < objects.size(); ++i) {
        WaitOutcome outcome = objects[i]->TryAcquire();
        if (outcome == WaitOutcome::NotSignalled) continue;
        result = (outcome == WaitOutcome::Abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) +
                 static_cast<DWORD>(i);
        return true;
    }
    return false;
}

bool TryAcquire(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                DWORD& result) {
    return waitAll ? TryAcquireAll(objects, result) : TryAcquireAny(objects, result);
}

// Counts the waiting thread as a sleeper of every object for as long as
// the wait lasts.
class Sleepers {
public:
    explicit Sleepers(const std::vector<std::shared_ptr<KernelObject>>& objects)
        : objects_(objects) {
        for (const auto& object : objects_) object->BeginWait();
    }
    ~Sleepers() {
        for (const auto& object : objects_) object->EndWait();
    }
    Sleepers(const Sleepers&) = delete;
    Sleepers& operator=(const Sleepers&) = delete;

private:
    const std::vector<std::shared_ptr<KernelObject>>& objects_;
};

// A wake-up the kernel gave this thread alone (a robust lock freed by its
// owner's death) goes on to the other sleepers when this thread saw the
// word change and the lock is free: this wait may not take it.
void PassOnWakeUps(const std::vector<FutexWatch>& watches) {
    for (const FutexWatch& watch : watches) {
        if (!watch.passOn) continue;
        auto value = static_cast<uint32_t>(
            std::atomic_ref<const int>(*static_cast<const int*>(watch.word)).load());
        if (value != watch.expected && (value & FUTEX_TID_MASK) == 0) FutexWakeAll(watch.word);
    }
}

timespec MonotonicDeadline(Clock::time_point deadline) {
    auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    return {static_cast<time_t>(since.count() / 1000000000),
            static_cast<long>(since.count() % 1000000000)};
}

// A thread that sleeps on futex words for a waiting thread whose wait also
// polls descriptors, and wakes the poll through an eventfd. Each waiting
// thread gets one on its first such wait and keeps it for the next ones.
class FutexWatcher {
public:
    // The calling thread's watcher, made when missing; nullptr when no
    // thread can be made (the wait then looks again every few ms).
    static FutexWatcher* OfThisThread() {
        thread_local std::unique_ptr<FutexWatcher, Ender> own;
        // A child after fork() has the memory but not the thread.
        if (own && own->pid_ != getpid()) static_cast<void>(own.release());
        if (!own) {
            auto made = std::unique_ptr<FutexWatcher, Ender>(new FutexWatcher);
            if (made->Started()) own = std::move(made);
        }
        return own.get();
    }

    int WokenFd() const { return woken_.Get(); }

    // Sleeps on `watches` until Stop, or until one of them changes.
    void Start(const std::vector<FutexWatch>& watches) {
        {
            std::lock_guard lock(mutex_);
            watches_ = watches;
            std::atomic_ref<uint32_t>(stop_).store(0);
            pending_ = true;
        }
        changed_.notify_all();
    }

    // Ends the sleep and waits until the watcher has let go of the words.
    void Stop() {
        std::atomic_ref<uint32_t>(stop_).store(1);
        FutexWakePrivate(&stop_);
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !pending_ && !busy_; });
        }
        DrainEventFd(woken_.Get());
    }

private:
    struct Ender {
        void operator()(FutexWatcher* watcher) const {
            {
                std::lock_guard lock(watcher->mutex_);
                watcher->quit_ = true;
            }
            watcher->changed_.notify_all();
            pthread_join(watcher->thread_, nullptr);
            delete watcher;
        }
    };

    FutexWatcher() : woken_(NewEventFd()) {
        started_ = woken_ && pthread_create(&thread_, nullptr, &FutexWatcher::Main, this) == 0;
    }
    bool Started() const { return started_; }

    static void* Main(void* self) {
        static_cast<FutexWatcher*>(self)->Run();
        return nullptr;
    }

    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return quit_ || pending_; });
            if (quit_) return;
            std::vector<FutexWatch> watches = watches_;
            pending_ = false;
            busy_ = true;
            lock.unlock();
            FutexWaitAny(watches, &stop_, nullptr);
            WakeEventFd(woken_.Get());
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    const pid_t pid_ = getpid();
    ScopedFd woken_;
    pthread_t thread_{};
    bool started_ = false;
    uint32_t stop_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<FutexWatch> watches_;
    bool pending_ = false;
    bool busy_ = false;
    bool quit_ = false;
};

// Sleeps until a descriptor of `fds` is ready, a word of `watches` changes
// or `timeoutMs` (-1: none) passes. With both kinds, the thread's futex
// watcher sleeps on the words while this thread polls. False with the last
// error set on failure.
bool SleepOn(std::vector<pollfd>& fds, const std::vector<FutexWatch>& watches, int timeoutMs,
             Clock::time_point deadline) {
    if (watches.empty()) {
        if (poll(fds.data(), fds.size(), timeoutMs) >= 0 || errno == EINTR) return true;
        SetLastErrorFromErrno();
        return false;
    }
    if (fds.empty()) {
        timespec until = MonotonicDeadline(deadline);
        int err = FutexWaitAny(watches, nullptr, timeoutMs < 0 ? nullptr : &until);
        if (err == 0 || err == ETIMEDOUT) return true;
        return platform::FailWith(Win32FromErrno(err));
    }
    FutexWatcher* watcher = FutexWatcher::OfThisThread();
    if (watcher) {
        watcher->Start(watches);
        fds.push_back({watcher->WokenFd(), POLLIN, 0});
    } else if (timeoutMs < 0 || timeoutMs > kNoWatcherRecheckMs) {
        timeoutMs = kNoWatcherRecheckMs;
    }
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    int err = errno;
    if (watcher) watcher->Stop();
    if (ready >= 0 || err == EINTR) return true;
    return platform::FailWith(Win32FromErrno(err));
}

DWORD Wait(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
           DWORD milliseconds) {
    // The common case first: an object already signalled needs no preparation.
    DWORD result = WAIT_TIMEOUT;
    if (TryAcquire(objects, waitAll, result)) return result;
    if (milliseconds == 0) return WAIT_TIMEOUT;

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    Sleepers sleepers(objects);
    std::vector<pollfd> fds;
    std::vector<FutexWatch> watches;
    for (;;) {
        watches.clear();
        for (const auto& object : objects) object->AddFutexWatches(watches);
        if (TryAcquire(objects, waitAll, result)) return result;
        int timeout = -1;
        if (milliseconds != INFINITE) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return WAIT_TIMEOUT;
            timeout = static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        // Only objects not yet signalled are polled: a signalled one (a set
        // manual-reset event while a wait for all goes on) would otherwise
        // make poll return at once, again and again. An object that turned
        // signalled since the try above is taken by trying again (a wait for
        // any), never left out of the poll unnoticed.
        fds.clear();
        bool turnedSignalled = false;
        for (const auto& object : objects) {
            if (object->IsSignalled()) {
                turnedSignalled = true;
                continue;
            }
            object->AddPollFds(fds);
        }
        if (turnedSignalled && !waitAll) continue;
        if (!SleepOn(fds, watches, timeout, deadline)) return WAIT_FAILED;
        PassOnWakeUps(watches);
    }
}

}  // namespace

}  // namespace platform

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<platform::KernelObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<platform::KernelObject> object = platform::LookupHandle(handles[i]);
        if (!object || !object->Waitable()) {
            platform::SetInvalidHandle();
            return WAIT_FAILED;
        }
        // A wait for all cannot take one object twice.
        if (waitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return platform::Wait(objects, waitAll, milliseconds);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    platform::RetryOnEintr([&] { return nanosleep(&left, &left); });
}
