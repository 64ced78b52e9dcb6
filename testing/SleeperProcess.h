// A child process that stands in for a service or director process in tests.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// Forks a child that sleeps until it is ended: by End(), or by the
// destructor when a test fails early, so no process outlives its test.
class SleeperProcess {
public:
    SleeperProcess() {
        m_pid = fork();
        if (m_pid == 0) {
            for (;;) pause();
        }
    }
    ~SleeperProcess() { End(); }
    SleeperProcess(const SleeperProcess&) = delete;
    SleeperProcess& operator=(const SleeperProcess&) = delete;

    pid_t pid() const { return m_pid; }

    void End() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid;
};
