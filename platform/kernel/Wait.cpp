// WaitForSingleObject, WaitForMultipleObjects and Sleep over the objects' poll descriptors.
#include <sched.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/kernel/KernelObject.h"
#include "platform/winbase.h"

namespace platform {
namespace {

// How often a wait looks again when a named object's file cannot be watched.
constexpr int kUnwatchedRecheckMs = 5;

using Clock = std::chrono::steady_clock;

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

DWORD Wait(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
           DWORD milliseconds) {
    WaitContext context;
    for (const auto& object : objects) object->PrepareWait(context);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::vector<pollfd> fds;
    for (;;) {
        DWORD result = WAIT_TIMEOUT;
        if (waitAll ? TryAcquireAll(objects, result) : TryAcquireAny(objects, result)) {
            return result;
        }
        int timeout = -1;
        if (milliseconds != INFINITE) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return WAIT_TIMEOUT;
            timeout = static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
        }
        if (context.RecheckMs() >= 0 && (timeout < 0 || context.RecheckMs() < timeout)) {
            timeout = context.RecheckMs();
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
        if (context.NotifyFd() >= 0) fds.push_back({context.NotifyFd(), POLLIN, 0});
        if (fds.empty()) continue;
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            SetLastErrorFromErrno();
            return WAIT_FAILED;
        }
        context.Drain();
    }
}

}  // namespace

WaitContext::~WaitContext() {
    if (notifyFd_ >= 0) close(notifyFd_);
}

void WaitContext::WatchFile(const std::string& path, uint32_t mask) {
    if (notifyFd_ < 0 && !notifyFailed_) {
        notifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        notifyFailed_ = notifyFd_ < 0;
    }
    if (notifyFd_ < 0 || inotify_add_watch(notifyFd_, path.c_str(), mask) < 0) {
        RecheckWithin(kUnwatchedRecheckMs);
    }
}

void WaitContext::RecheckWithin(int ms) {
    if (recheckMs_ < 0 || ms < recheckMs_) recheckMs_ = ms;
}

void WaitContext::Drain() {
    if (notifyFd_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    while (read(notifyFd_, buffer, sizeof buffer) > 0) {
    }
}

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
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
