// Tests of WaitForSingleObject / WaitForMultipleObjects over mixed objects, and Sleep.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "platform/winbase.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::Handle;
using tavro::testing::KernelChild;

HANDLE ManualEvent(BOOL set) { return CreateEventA(nullptr, TRUE, set, nullptr); }
HANDLE AutoEvent(BOOL set) { return CreateEventA(nullptr, FALSE, set, nullptr); }

TEST(Wait, LowestSignalledIndexFirst) {
    Handle a(ManualEvent(FALSE));
    Handle b(AutoEvent(TRUE));
    Handle c(ManualEvent(TRUE));
    const HANDLE all[] = {a, b, c};
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2) << "b was consumed";
}

TEST(Wait, WaitAllTakesEveryObjectOrNone) {
    Handle manual(ManualEvent(TRUE));
    Handle automatic(AutoEvent(TRUE));
    Handle missing(ManualEvent(FALSE));
    const HANDLE three[] = {automatic, manual, missing};
    EXPECT_EQ(WaitForMultipleObjects(3, three, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "not consumed by a failed wait";
    SetEvent(automatic);

    std::thread setter([&] {
        Sleep(30);
        SetEvent(missing);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, three, TRUE, 20000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "consumed by the wait for all";
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
}

TEST(Wait, WaitAllOverMutexAndThread) {
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    Handle gate(ManualEvent(FALSE));
    Handle thread(CreateThread(
        nullptr, 0, [](LPVOID arg) -> DWORD { return WaitForSingleObject(arg, 20000); },
        static_cast<HANDLE>(gate), 0, nullptr));
    const HANDLE both[] = {mutex, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex)) << "the wait for all took the mutex";
}

TEST(Wait, BadArgumentsFail) {
    Handle event(ManualEvent(TRUE));
    HANDLE closed = ManualEvent(TRUE);
    CloseHandle(closed);
    struct Case {
        const char* what;
        std::vector<HANDLE> handles;
        BOOL waitAll;
        DWORD error;
    };
    const Case cases[] = {
        {"closed handle in the array", {event, closed}, FALSE, ERROR_INVALID_HANDLE},
        {"null handle in the array", {event, nullptr}, FALSE, ERROR_INVALID_HANDLE},
        {"no handle", {}, FALSE, ERROR_INVALID_PARAMETER},
        {"too many handles", std::vector<HANDLE>(MAXIMUM_WAIT_OBJECTS + 1, event), FALSE,
         ERROR_INVALID_PARAMETER},
        {"one object twice in a wait for all", {event, event}, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(c.handles.size()), c.handles.data(),
                                         c.waitAll, 0),
                  WAIT_FAILED)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    const HANDLE twice[] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0) << "fine for any";
}

TEST(Wait, TimeoutIsHonoured) {
    Handle event(ManualEvent(FALSE));
    for (DWORD ms : {0u, 1u, 60u}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(event, ms), WAIT_TIMEOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
}

// The waiting thread sleeps in the kernel: a wait of 300 ms over every kind
// of object costs a small fraction of that in processor time.
TEST(Wait, DoesNotSpinTheProcessor) {
    KernelChild child;
    ASSERT_EQ(child.Call("event named 1 0"), "1 0");
    Handle named(OpenEventA(SYNCHRONIZE, FALSE, "named"));
    ASSERT_EQ(child.Call("mutex busy 1"), "1 0");
    Handle mutex(CreateMutexA(nullptr, FALSE, "busy"));
    Handle event(ManualEvent(FALSE));
    Handle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child.Pid())));
    const HANDLE all[] = {event, named, mutex, process};
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    EXPECT_EQ(WaitForMultipleObjects(4, all, FALSE, 300), WAIT_TIMEOUT);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    double cpuMs = static_cast<double>(after.tv_sec - before.tv_sec) * 1e3 +
                   static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpuMs, 60.0);
}

// A wait over a named event and a descriptor, in this process and then in a
// child made by fork(), which has no copy of this thread's helpers.
TEST(Wait, NamedAndPolledObjectsTogetherAlsoAfterFork) {
    Handle named(CreateEventA(nullptr, TRUE, FALSE, "mixed"));
    Handle local(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const HANDLE both[] = {local, named};
    auto waits = [&] {
        if (WaitForMultipleObjects(2, both, FALSE, 30) != WAIT_TIMEOUT) return 1;
        std::thread setter([&] { SetEvent(named); });
        DWORD woken = WaitForMultipleObjects(2, both, FALSE, 20000);
        setter.join();
        ResetEvent(named);
        return woken == WAIT_OBJECT_0 + 1 ? 0 : 2;
    };
    ASSERT_EQ(waits(), 0);
    EXPECT_EQ(tavro::testing::RunInChild(waits), 0);
}

TEST(Sleep, SleepsAtLeastTheTime) {
    auto start = std::chrono::steady_clock::now();
    Sleep(40);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

}  // namespace
