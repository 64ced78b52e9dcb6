// Test support for kernel objects: a helper process driven line by line.
#include "testing/support/KernelTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/base/Posix.h"
#include "testing/support/ChildProcesses.h"

extern char** environ;

namespace tavro::testing {

KernelChild::KernelChild(std::optional<int> session) {
    // Everything the child needs is made before fork: only async-signal-safe
    // calls may follow it.
    std::vector<std::string> variables;
    const std::string prefix = std::string(platform::kSessionVar) + "=";
    for (char** variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, prefix.c_str(), prefix.size()) != 0)
            variables.push_back(*variable);
    }
    if (session) variables.push_back(prefix + std::to_string(*session));
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    char program[] = KERNEL_CHILD;
    char* argv[] = {program, nullptr};

    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execve(program, argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (pid_ < 0) throw std::runtime_error("fork");
}

KernelChild::~KernelChild() {
    Kill();
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
}

void KernelChild::Send(const std::string& command) {
    std::string line = command + "\n";
    [[maybe_unused]] ssize_t n = write(toChild_, line.data(), line.size());
}

std::string KernelChild::Call(const std::string& command, int timeoutMs) {
    Send(command);
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return answer;
        }
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return "timeout";
        char buffer[256];
        ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) return "eof";
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

void KernelChild::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    platform::RetryOnEintr([&] { return waitpid(pid_, nullptr, 0); });
    pid_ = -1;
}

int KernelChild::Reap(int timeoutMs) {
    if (pid_ <= 0) return -1;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pidfd, POLLIN, 0};
    bool ended = pidfd >= 0 && poll(&p, 1, timeoutMs) == 1;
    if (pidfd >= 0) close(pidfd);
    if (!ended) {
        Kill();
        return -1;
    }
    int status = 0;
    platform::RetryOnEintr([&] { return waitpid(pid_, &status, 0); });
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FreshState::FreshState() {
    // Without its own directory the test would run against the shared state
    // directory: the test fails instead (GoogleTest reports the exception).
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-state-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a fresh state directory " + pattern + ": " +
                                 std::strerror(errno));
    dir_ = pattern;
    if (const char* previous = std::getenv(platform::kStateDirVar)) previous_ = previous;
    setenv(platform::kStateDirVar, dir_.c_str(), 1);
}

FreshState::~FreshState() {
    if (previous_) {
        setenv(platform::kStateDirVar, previous_->c_str(), 1);
    } else {
        unsetenv(platform::kStateDirVar);
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool CanActAsOtherUser() { return geteuid() == 0; }

int RunInChild(const std::function<int()>& body, As as, int timeoutMs) {
    if (as == As::OtherUser && !CanActAsOtherUser()) return 77;
    std::string dir;
    if (as == As::OtherUser) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavro-other-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return -1;
        dir = pattern;
        if (chown(dir.c_str(), kOtherUid, kOtherUid) != 0) return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (as == As::OtherUser) {
            if (setgroups(0, nullptr) != 0 || setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0)
                _exit(100);
            setenv(platform::kStateDirVar, (dir + "/state").c_str(), 1);
        }
        int result = body();
        std::fflush(nullptr);
        _exit(result);
    }
    int status = pid > 0 ? tavro::testing::ChildGuard::WaitChild(pid, timeoutMs) : -1;
    if (pid > 0 && status == -1) {
        kill(pid, SIGKILL);
        tavro::testing::ChildGuard::WaitChild(pid, timeoutMs);
    }
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tavro::testing
