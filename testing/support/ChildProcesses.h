// Child processes of a test: bounded runs, and cleanup of every descendant.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "testing/support/Wait.h"

namespace tavro::testing {

// Makes this process the reaper of its orphaned descendants (so a detached
// service started by the test stays reachable) and, on destruction, kills
// every child still alive and reaps it, within a bounded time.
class ChildGuard {
public:
    ChildGuard();
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    ~ChildGuard();

    // Waits up to `timeoutMs` for child `pid` to end; its wait status, or -1
    // on time-out.
    static int WaitChild(pid_t pid, int timeoutMs);
    // The ids of this process's children.
    static std::vector<pid_t> Children();
};

// Whether a thread of process `pid` sleeps in poll on exactly `descriptors`
// descriptors. This is how a test sees another process blocked in a
// platform wait over descriptors (process handles, unnamed events), which
// that process cannot report while it waits. Reading another process's
// system call takes the right to trace it: its parent, or root, has it.
bool SleepsInPoll(pid_t pid, unsigned descriptors);
// Whether a thread of process `pid` sleeps in a platform wait on exactly
// `words` futex words and no descriptor (named events, mutexes alone).
bool SleepsOnFutexes(pid_t pid, unsigned words);

struct ChildResult {
    int exitStatus = -1;  // -1: killed on time-out or by a signal
    std::string output;   // standard output and standard error
};

// Runs `argv` with `input` on its standard input and returns its exit
// status and output; a child that outlives `timeoutMs` is killed.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input = {},
                     int timeoutMs = 20000);

struct ChildStreams {
    int exitStatus = -1;  // -1: killed on time-out or by a signal
    std::string out;      // standard output
    std::string err;      // standard error
};

// As RunChild, with standard output and standard error kept apart.
ChildStreams RunChildStreams(const std::vector<std::string>& argv, const std::string& input = {},
                             int timeoutMs = 20000);

// A peer process of a test: its standard input is a pipe that keeps it
// going until the test closes it, its standard output a pipe the test reads
// a line at a time. `prepare`, when given, runs in the child before the
// program starts and makes only async-signal-safe calls (a descriptor
// limit, where standard error goes); false ends the child with status 127.
// The object's end closes both pipes, waits for the child up to kWaitMs and
// kills it if it did not end.
class PipedChild {
public:
    explicit PipedChild(std::vector<std::string> argv,
                        const std::function<bool()>& prepare = nullptr);
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;
    ~PipedChild();

    // -1 when it could not be started, or once it was waited for.
    pid_t Pid() const { return pid_; }
    void CloseInput();
    // The next line of its output without the line feed; what came of it
    // when the output ended or no line feed came within `timeoutMs`.
    std::string ReadLine(int timeoutMs = kWaitMs);
    // Its wait status once it ended; -1 when it did not within `timeoutMs`.
    int Wait(int timeoutMs = kWaitMs);

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

}  // namespace tavro::testing
