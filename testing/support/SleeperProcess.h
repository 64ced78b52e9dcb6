// A child process that stands in for a service or director process in tests.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavro::testing {

// Forks a child that sleeps until it is ended: by End(), or by the
// destructor when a test fails early, so no process outlives its test.
class SleeperProcess {
public:
    SleeperProcess() {
        pid_ = fork();
        if (pid_ == 0) {
            for (;;) pause();
        }
    }
    ~SleeperProcess() { End(); }
    SleeperProcess(const SleeperProcess&) = delete;
    SleeperProcess& operator=(const SleeperProcess&) = delete;

    pid_t Pid() const { return pid_; }

    void End() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

}  // namespace tavro::testing
