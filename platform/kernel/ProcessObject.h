// The object behind a process handle.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>

#include "platform/Program.h"
#include "platform/kernel/KernelObject.h"
#include "platform/wintypes.h"

namespace platform {

// A process reached through a pidfd: waitable (signalled once the process
// has ended), terminable, and the target of process settings. The object of
// the calling process (behind GetCurrentProcess()) has no pidfd and is never
// signalled.
class ProcessObject : public KernelObject {
public:
    // Takes ownership of `pidfd` (-1 for the calling process).
    ProcessObject(pid_t pid, int pidfd);
    ~ProcessObject() override;

    bool Waitable() const override { return true; }
    void AddPollFds(std::vector<pollfd>& fds) const override {
        if (pidfd_ >= 0) fds.push_back({pidfd_, POLLIN, 0});
    }
    WaitOutcome TryAcquire() override;
    bool IsSignalled() override;

    // The calling process's own object answers for the process it is in,
    // also in a child made by fork().
    pid_t Pid() const { return pidfd_ < 0 ? getpid() : pid_; }
    // Sends SIGKILL and remembers `exitCode` as the process's exit code.
    bool Terminate(DWORD exitCode);
    // STILL_ACTIVE while running; then the code TerminateProcess asked for,
    // the status of a child of this process, or 0 when unknown.
    DWORD ExitCode();

private:
    bool Ended() const;

    const pid_t pid_;
    const int pidfd_;
    std::mutex mutex_;
    std::optional<DWORD> exitCode_;
};

// The object of the calling process.
std::shared_ptr<ProcessObject> CurrentProcessObject();

// The Win32 exit code for a status of waitid(): the exit status, or 128 plus
// the signal that ended the process.
DWORD ExitCodeFromSiginfo(int code, int status);

}  // namespace platform
