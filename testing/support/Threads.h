// The threads a test started: counted against the threads that ran before, never in all.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace tavro::testing {

// The ids of the threads of this process now.
inline std::set<pid_t> ThreadIds() {
    std::set<pid_t> ids;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec))
        ids.insert(static_cast<pid_t>(std::atol(task.path().filename().c_str())));
    return ids;
}

// Taken before a test starts threads; Started() then counts the threads that
// run now and did not run then. Threads of the runtime that were there
// before (a ThreadSanitizer's background thread, a Java VM's) never count,
// however many there are.
class ThreadCensus {
public:
    ThreadCensus() {
        // A runtime may start its own threads at the first thread a process
        // creates (ThreadSanitizer does): one is started and ended first, so
        // that they are running before the count.
        std::thread([] {}).join();
        before_ = ThreadIds();
    }
    int Started() const {
        int started = 0;
        for (const pid_t id : ThreadIds()) started += before_.count(id) == 0 ? 1 : 0;
        return started;
    }

private:
    std::set<pid_t> before_;
};

}  // namespace tavro::testing
