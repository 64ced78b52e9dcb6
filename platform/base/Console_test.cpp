// Tests of the console control handlers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "platform/wincon.h"
#include "platform/winerror.h"

namespace {

std::atomic<int> g_lastEvent{-1};

BOOL Keep(DWORD event) {
    g_lastEvent = static_cast<int>(event);
    return TRUE;
}

BOOL PassOn(DWORD) { return FALSE; }

// Runs `body` in a child process; the child's wait status.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(ConsoleCtrlHandler, AnsweredEventsKeepTheProcessAlive) {
    struct Case {
        int signal;
        DWORD event;
    } cases[] = {{SIGINT, CTRL_C_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT}};
    for (const Case& c : cases) {
        int status = InChild([&] {
            SetConsoleCtrlHandler(Keep, TRUE);
            raise(c.signal);
            _exit(g_lastEvent == static_cast<int>(c.event) ? 0 : 3);
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.signal;
    }
}

TEST(ConsoleCtrlHandler, UnansweredEventTakesItsUsualCourse) {
    int status = InChild([] {
        SetConsoleCtrlHandler(PassOn, TRUE);
        raise(SIGINT);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
}

TEST(ConsoleCtrlHandler, RemovedRoutineIsNoLongerAsked) {
    int status = InChild([] {
        SetConsoleCtrlHandler(Keep, TRUE);
        SetConsoleCtrlHandler(Keep, TRUE);  // one entry
        SetConsoleCtrlHandler(Keep, FALSE);
        raise(SIGINT);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
}

TEST(ConsoleCtrlHandler, RemovingAnUnknownRoutineFails) {
    EXPECT_FALSE(SetConsoleCtrlHandler(PassOn, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
