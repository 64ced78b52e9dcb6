// A child process that stands in for a service or director process in tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

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
    // A sleeper under the process name `name` (the name the system keeps,
    // at most 15 characters, as a Java VM renames its process). Returns
    // once the name is set.
    explicit SleeperProcess(const std::string& name) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_NAME, name.c_str());
            close(ready[1]);
            for (;;) pause();
        }
        AwaitChild(ready);
    }
    // Runs `program` with one argument (a program that sleeps, such as
    // sleep(1)); returns once the program runs.
    SleeperProcess(const std::string& program, const std::string& argument) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        AwaitChild(ready);
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
    // Waits until the child has closed its copy of the pipe's write end:
    // after renaming itself, at a successful exec, or by dying.
    void AwaitChild(int ready[2]) {
        close(ready[1]);
        char byte;
        while (read(ready[0], &byte, 1) > 0) {
        }
        close(ready[0]);
    }

    pid_t pid_ = -1;
};

}  // namespace tavro::testing
