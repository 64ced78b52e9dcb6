// Test support for the platform layer: scoped handles, a helper process driven line by line, fresh
// state directories and children run as another user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/winbase.h"

namespace tavro::testing {

// Closes a handle at the end of a test.
struct Handle {
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h) CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator HANDLE() const { return h; }
    HANDLE h;
};

// A KernelChild process with pipes to its standard input and output. The
// destructor kills and reaps it, so a failing test leaves nothing behind.
class KernelChild {
public:
    // Starts the child in `session` (the TAVRO_SESSION value; none inherits
    // this process's).
    explicit KernelChild(std::optional<int> session = std::nullopt);
    KernelChild(const KernelChild&) = delete;
    KernelChild& operator=(const KernelChild&) = delete;
    ~KernelChild();

    // Sends one command line and returns the answer line, or "timeout" when
    // none came within `timeoutMs`.
    std::string Call(const std::string& command, int timeoutMs = 10000);
    // Sends a line without waiting for an answer.
    void Send(const std::string& command);
    // Kills the child and reaps it.
    void Kill();
    // Waits (bounded) for the child to end by itself and reaps it; the exit
    // status, or -1.
    int Reap(int timeoutMs = 10000);

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
};

// A fresh private state directory for one test: the state directory
// variable names it while the object lives; then the previous value comes
// back and the directory goes with everything in it. Throws
// std::runtime_error, the variable untouched, when no directory can be made.
class FreshState {
public:
    FreshState();
    ~FreshState();
    FreshState(const FreshState&) = delete;
    FreshState& operator=(const FreshState&) = delete;

    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
    std::optional<std::string> previous_;
};

// A user id that no account uses, for the tests of what another local user
// can and cannot do.
constexpr uid_t kOtherUid = 61234;

// Who runs the body of RunInChild.
enum class As { ThisUser, OtherUser };

// Runs `body` in a forked child and returns its exit status (its result
// when it returns), or -1 when it crashed or outlived `timeoutMs` (it is
// then killed). As::OtherUser runs it as kOtherUid (this process must be
// root; otherwise the status is 77, "skipped"), with a fresh state directory
// of that user's own, removed afterwards.
int RunInChild(const std::function<int()>& body, As as = As::ThisUser, int timeoutMs = 20000);

// Whether this process may act as another user (RunInChild with As::OtherUser).
bool CanActAsOtherUser();

}  // namespace tavro::testing
