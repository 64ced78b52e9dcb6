// Tests of process handles, and of the affinity and priority of a whole process.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/kernel/ProcessObject.h"
#include "platform/winbase.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::Handle;
using tavro::testing::KernelChild;

std::vector<pid_t> Threads(pid_t pid) {
    std::vector<pid_t> tids;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        tids.push_back(std::stoi(entry.path().filename().string()));
    }
    return tids;
}

DWORD_PTR ThreadMask(pid_t tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof set, &set) != 0) return 0;
    DWORD_PTR mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= DWORD_PTR{1} << cpu;
    }
    return mask;
}

DWORD Sleeper(LPVOID gate) { return WaitForSingleObject(gate, 20000); }

TEST(Process, ChildExitCodeAndWait) {
    KernelChild child;
    Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                               static_cast<DWORD>(child.Pid())));
    ASSERT_NE(process.h, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(process, 20), WAIT_TIMEOUT);
    child.Send("exit 7");
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(child.Reap(), 7) << "left for its parent to reap";
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "handle outlives the process";
}

TEST(Process, TerminateGivesRequestedExitCode) {
    KernelChild child;
    Handle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.Pid())));
    ASSERT_NE(process.h, nullptr);
    EXPECT_TRUE(TerminateProcess(process, 9));
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_FALSE(TerminateProcess(process, 1)) << "already ended";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Process, OpenOfMissingProcessFailsWithInvalidParameter) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    for (DWORD pid : {static_cast<DWORD>(gone), 0u}) {
        SetLastError(0);
        EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, pid), nullptr) << pid;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
    }
}

TEST(Process, CurrentProcessPseudoHandle) {
    HANDLE self = GetCurrentProcess();
    EXPECT_EQ(self, reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(self, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(self, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(self));
    EXPECT_TRUE(GetExitCodeProcess(self, &code)) << "closing it changes nothing";
}

TEST(Process, ExitCodeOfOwnTerminationReachesParent) {
    struct Case {
        DWORD code;
        int status;
    };
    const Case cases[] = {{0, 0}, {9, 9}, {255, 255}, {256, 255}, {259, 3}, {0xC0000005, 5}};
    for (const Case& c : cases) {
        EXPECT_EQ(platform::ExitStatusFromWin32(c.code), c.status) << c.code;
    }
    pid_t child = fork();
    if (child == 0) TerminateProcess(GetCurrentProcess(), 512);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

TEST(Process, BadHandlesFail) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD code = 0;
    DWORD_PTR mask = 0;
    DWORD_PTR system = 0;
    SetLastError(0);
    EXPECT_FALSE(TerminateProcess(event, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeProcess(nullptr, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(GetProcessAffinityMask(event, &mask, &system));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetPriorityClass(event), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Affinity, AppliesToEveryThreadOfTheProcess) {
    DWORD_PTR mask = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mask, &system));
    EXPECT_NE(system, 0u);
    EXPECT_EQ(mask & ~system, 0u);
    if (std::popcount(mask) < 2) GTEST_SKIP() << "needs two processors";
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<HANDLE> threads;
    for (int i = 0; i < 3; ++i)
        threads.push_back(CreateThread(nullptr, 0, Sleeper, gate, 0, nullptr));

    const DWORD_PTR highest = DWORD_PTR{1} << (std::bit_width(mask) - 1);
    ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), highest));
    DWORD_PTR now = 0;
    EXPECT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &now, &system));
    EXPECT_EQ(now, highest);
    std::vector<pid_t> tids = Threads(getpid());
    EXPECT_GE(tids.size(), 4u);
    for (pid_t tid : tids) EXPECT_EQ(ThreadMask(tid), highest) << tid;

    SetEvent(gate);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, 20000);
        CloseHandle(thread);
    }
    EXPECT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), mask));
}

TEST(Affinity, AppliesToEveryThreadOfAnotherProcess) {
    DWORD_PTR mask = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mask, &system));
    if (std::popcount(mask) < 2) GTEST_SKIP() << "needs two processors";
    KernelChild child;
    ASSERT_EQ(child.Call("threads 3"), "ok");
    Handle process(OpenProcess(PROCESS_SET_INFORMATION, FALSE, static_cast<DWORD>(child.Pid())));
    const DWORD_PTR lowest = mask & -mask;
    ASSERT_TRUE(SetProcessAffinityMask(process, lowest));
    std::vector<pid_t> tids = Threads(child.Pid());
    EXPECT_EQ(tids.size(), 4u);
    for (pid_t tid : tids) EXPECT_EQ(ThreadMask(tid), lowest) << tid;
}

TEST(Affinity, MaskWithoutUsableProcessorFails) {
    DWORD_PTR mask = 0;
    DWORD_PTR system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mask, &system));
    for (DWORD_PTR bad : {DWORD_PTR{0}, ~system}) {
        if (bad == 0 && system == ~DWORD_PTR{0}) continue;
        SetLastError(0);
        EXPECT_FALSE(SetProcessAffinityMask(GetCurrentProcess(), bad)) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << bad;
    }
    DWORD_PTR now = 0;
    EXPECT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &now, &system));
    EXPECT_EQ(now, mask) << "unchanged";
}

TEST(Priority, IdleAndNormalApplyToEveryThread) {
    Handle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle thread(CreateThread(nullptr, 0, Sleeper, gate, 0, nullptr));
    struct Case {
        DWORD priorityClass;
        int nice;
    };
    for (Case c : {Case{IDLE_PRIORITY_CLASS, 19}, Case{NORMAL_PRIORITY_CLASS, 0}}) {
        if (!SetPriorityClass(GetCurrentProcess(), c.priorityClass)) {
            // Raising the priority again needs the right to do so.
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
            continue;
        }
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), c.priorityClass);
        for (pid_t tid : Threads(getpid())) {
            EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), c.nice) << tid;
        }
    }
    SetEvent(gate);
    WaitForSingleObject(thread, 20000);
}

TEST(Priority, UnknownClassFails) {
    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
