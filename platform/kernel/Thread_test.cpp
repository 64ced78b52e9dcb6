// Tests of CreateThread, ResumeThread, thread exit codes and waits on threads.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/winbase.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::Handle;

struct RoutineState {
    HANDLE gate = nullptr;  // the routine waits for it when set
    std::atomic<bool> started{false};
    std::atomic<DWORD> threadId{0};
};

DWORD Routine(LPVOID parameter) {
    auto* run = static_cast<RoutineState*>(parameter);
    run->threadId = GetCurrentThreadId();
    run->started = true;
    if (run->gate) WaitForSingleObject(run->gate, 20000);
    return 42;
}

TEST(Thread, ExitCodeIsStillActiveUntilRoutineReturns) {
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    RoutineState run;
    run.gate = gate;
    DWORD id = 0;
    Handle thread(CreateThread(nullptr, 0, Routine, &run, 0, &id));
    ASSERT_NE(thread.h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);

    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(run.threadId, id);
}

TEST(Thread, SuspendedThreadRunsOnlyWhenResumed) {
    RoutineState run;
    DWORD id = 0;
    Handle thread(CreateThread(nullptr, 64 * 1024, Routine, &run, CREATE_SUSPENDED, &id));
    ASSERT_NE(thread.h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
    EXPECT_FALSE(run.started);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.threadId, id);
    EXPECT_EQ(ResumeThread(thread), 0u);
}

TEST(Thread, ClosingHandleLeavesThreadRunning) {
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    struct Pair {
        HANDLE gate;
        HANDLE done;
    } pair{gate, done};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* handles = static_cast<Pair*>(p);
            WaitForSingleObject(handles->gate, 20000);
            SetEvent(handles->done);
            return 0;
        },
        &pair, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(done, 20000), WAIT_OBJECT_0);
}

TEST(Thread, TerminateEndsTheHandleWithTheCode) {
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    RoutineState running;
    running.gate = gate;
    RoutineState suspended;
    Handle first(CreateThread(nullptr, 0, Routine, &running, 0, nullptr));
    Handle second(CreateThread(nullptr, 0, Routine, &suspended, CREATE_SUSPENDED, nullptr));
    while (!running.started) Sleep(1);
    for (HANDLE thread : {first.h, second.h}) {
        EXPECT_TRUE(TerminateThread(thread, 0));
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_EQ(ResumeThread(second), 1u);
    SetEvent(gate);
    Sleep(20);
    EXPECT_FALSE(suspended.started) << "a thread terminated while suspended never runs";
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeThread(first, &code));
    EXPECT_EQ(code, 0u) << "its own return does not change the code";
}

TEST(Thread, BadHandlesFail) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(event, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
