// Child processes of a test: bounded runs, and cleanup of every descendant.
#pragma once

#include <sys/types.h>

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

}  // namespace tavro::testing
