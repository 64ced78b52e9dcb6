// Tests of unnamed events and mutexes and of the handle checks every call makes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "platform/kernel/KernelObject.h"
#include "platform/winbase.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::Handle;

TEST(Event, ResetModesAndInitialState) {
    struct Case {
        BOOL manual;
        BOOL initial;
        DWORD firstWait;
        DWORD secondWait;
    };
    const Case cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        SetLastError(ERROR_ACCESS_DENIED);
        Handle event(CreateEventA(nullptr, c.manual, c.initial, nullptr));
        ASSERT_NE(event.h, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.firstWait) << c.manual << c.initial;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.secondWait) << c.manual << c.initial;
    }
}

TEST(Event, ResetClearsManualEvent) {
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST(Event, SetWakesWaitingThread) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(Event, AutoResetReleasesOneOfTwoWaiters) {
    for (const char* name : {static_cast<const char*>(nullptr), "auto-reset"}) {
        Handle event(CreateEventA(nullptr, FALSE, FALSE, name));
        std::atomic<int> released{0};
        std::atomic<int> timedOut{0};
        auto wait = [&] {
            DWORD result = WaitForSingleObject(event, 1000);
            (result == WAIT_OBJECT_0 ? released : timedOut)++;
        };
        std::thread first(wait);
        std::thread second(wait);
        SetEvent(event);
        first.join();
        second.join();
        EXPECT_EQ(released, 1) << (name ? name : "unnamed");
        EXPECT_EQ(timedOut, 1) << (name ? name : "unnamed");
    }
}

TEST(Mutex, OwnerTakesItAgainOthersWait) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_NE(mutex.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    DWORD other = WAIT_FAILED;
    std::thread([&] { other = WaitForSingleObject(mutex, 0); }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));
    std::thread([&] { other = WaitForSingleObject(mutex, 0); }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT) << "still owned once";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(Mutex, ReleaseWakesWaiter) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    DWORD result = WAIT_FAILED;
    BOOL released = FALSE;
    std::thread waiter([&] {
        result = WaitForSingleObject(mutex, 20000);
        released = ReleaseMutex(mutex);
    });
    Sleep(20);
    ReleaseMutex(mutex);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_TRUE(released);
}

TEST(Mutex, ReleaseByOtherThreadFailsWithNotOwner) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    BOOL released = TRUE;
    DWORD error = 0;
    std::thread([&] {
        released = ReleaseMutex(mutex);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(released);
    EXPECT_EQ(error, ERROR_NOT_OWNER);
}

TEST(Mutex, OwnerThreadEndingAbandonsIt) {
    for (const char* name : {static_cast<const char*>(nullptr), "abandoned-in-process"}) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        std::thread([&] { WaitForSingleObject(mutex, 0); }).join();
        EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0) << (name ? name : "");
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "now owned by this thread";
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_TRUE(ReleaseMutex(mutex));
        CloseHandle(mutex);
    }
}

TEST(EventSource, ReadyDescriptorSetsEventUntilReset) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(platform::AttachEventSource(event, pipeFds[0], POLLIN));
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    std::thread writer([&] {
        Sleep(20);
        [[maybe_unused]] ssize_t n = write(pipeFds[1], "x", 1);
    });
    EXPECT_EQ(WaitForSingleObject(event, 20000), WAIT_OBJECT_0);
    writer.join();
    char c = 0;
    ASSERT_EQ(read(pipeFds[0], &c, 1), 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "stays set until reset";
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(platform::AttachEventSource(event, -1, 0));
    [[maybe_unused]] ssize_t n = write(pipeFds[1], "x", 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "detached";
    close(pipeFds[1]);

    // A source closed while attached is dropped, not polled again and again.
    ASSERT_TRUE(platform::AttachEventSource(event, pipeFds[0], POLLIN));
    close(pipeFds[0]);
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    EXPECT_LT(static_cast<double>(after.tv_sec - before.tv_sec) * 1e3 +
                  static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e6,
              50.0);

    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_FALSE(platform::AttachEventSource(mutex, 0, POLLIN));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The process's open descriptors, each with whether it is close-on-exec.
std::map<int, bool> OpenDescriptors() {
    std::map<int, bool> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fds[fd] = (flags & FD_CLOEXEC) != 0;
    }
    return fds;
}

// No descriptor of a kernel object may leak into a program the process runs.
TEST(Handles, EveryDescriptorIsCloseOnExec) {
    const std::map<int, bool> before = OpenDescriptors();
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    Handle named(CreateEventA(nullptr, FALSE, FALSE, "cloexec-event"));
    Handle namedMutex(CreateMutexA(nullptr, TRUE, "cloexec-mutex"));
    Handle thread(CreateThread(
        nullptr, 0, [](LPVOID arg) -> DWORD { return WaitForSingleObject(arg, 20000); },
        static_cast<HANDLE>(gate), 0, nullptr));
    Handle self(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
    ASSERT_NE(self.h, nullptr);
    std::thread waiter([&] {
        const HANDLE all[] = {named, self};
        WaitForMultipleObjects(2, all, FALSE, 20000);
    });
    // Two eventfds (event, thread), two files, a pidfd and the wait's
    // eventfd; one of them may reuse the number of the first listing. The
    // waiter's descriptor is there once its wait has begun.
    std::map<int, bool> during;
    auto added = [&] {
        int count = 0;
        for (const auto& entry : during) count += before.count(entry.first) ? 0 : 1;
        return count;
    };
    EXPECT_TRUE(tavro::testing::WaitFor([&] {
        during = OpenDescriptors();
        return added() >= 5;
    })) << added()
        << " descriptors added";
    SetEvent(named);
    waiter.join();
    SetEvent(gate);
    WaitForSingleObject(thread, 20000);

    for (const auto& [fd, closeOnExec] : during) {
        if (before.count(fd)) continue;
        EXPECT_TRUE(closeOnExec) << "descriptor " << fd;
    }
}

TEST(Handles, BadHandlesFailWithInvalidHandle) {
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    const HANDLE garbage = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7654321));

    struct Case {
        const char* what;
        std::function<BOOL()> call;
    };
    const Case cases[] = {
        {"close null", [] { return CloseHandle(nullptr); }},
        {"close twice", [&] { return CloseHandle(closed); }},
        {"close garbage", [&] { return CloseHandle(garbage); }},
        {"set closed", [&] { return SetEvent(closed); }},
        {"set null", [] { return SetEvent(nullptr); }},
        {"reset garbage", [&] { return ResetEvent(garbage); }},
        {"set a mutex", [&] { return SetEvent(mutex); }},
        {"release an event", [&] { return ReleaseMutex(event); }},
        {"release closed", [&] { return ReleaseMutex(closed); }},
        {"wait closed", [&] { return BOOL(WaitForSingleObject(closed, 0) != WAIT_FAILED); }},
        {"wait garbage", [&] { return BOOL(WaitForSingleObject(garbage, 0) != WAIT_FAILED); }},
        {"wait null", [] { return BOOL(WaitForSingleObject(nullptr, 0) != WAIT_FAILED); }},
    };
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << c.what;
    }
}

// A wait holds its own reference: closing the handle meanwhile ends neither
// the object nor the wait early. (A wait that only begins after the close
// fails on the closed handle instead.)
TEST(Handles, WaitingThreadKeepsObjectWhenHandleIsClosed) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> started{false};
    DWORD result = WAIT_FAILED;
    DWORD error = ERROR_SUCCESS;
    std::thread waiter([&] {
        started = true;
        result = WaitForSingleObject(event, 200);
        error = GetLastError();
    });
    while (!started) Sleep(1);
    Sleep(30);
    EXPECT_TRUE(CloseHandle(event));
    waiter.join();
    if (result == WAIT_FAILED) {
        EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    } else {
        EXPECT_EQ(result, WAIT_TIMEOUT);
    }
}

}  // namespace
