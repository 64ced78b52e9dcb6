// Child processes of a test: bounded runs, and cleanup of every descendant.
#include "testing/support/ChildProcesses.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tavro::testing {

ChildGuard::ChildGuard() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

ChildGuard::~ChildGuard() {
    // Orphans are reparented to us one after another; a few rounds catch
    // the ones that appear while we kill.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<pid_t> children = Children();
        if (children.empty() || std::chrono::steady_clock::now() >= deadline) break;
        for (pid_t child : children) kill(child, SIGKILL);
        for (pid_t child : children) WaitChild(child, 2000);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::vector<pid_t> ChildGuard::Children() {
    std::vector<pid_t> children;
    const pid_t self = getpid();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // "pid (comm) state ppid ...": the command may hold blanks and ')'.
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == self) children.push_back(std::stoi(name));
    }
    return children;
}

int ChildGuard::WaitChild(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// Whether a thread of process `pid` sleeps in a system call that `matches`
// (its number) with `count` as its second argument.
template <class Matches>
bool SleepsInCall(pid_t pid, Matches matches, unsigned count) {
    std::error_code ec;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        // "<number> <argument 1> <argument 2> ..." while the thread is in a
        // call; "running" otherwise.
        std::ifstream in(task.path() / "syscall");
        long number = -1;
        std::string first, second;
        if (!(in >> number >> first >> second)) continue;
        if (matches(number) && std::strtoul(second.c_str(), nullptr, 16) == count) return true;
    }
    return false;
}

}  // namespace

bool SleepsInPoll(pid_t pid, unsigned descriptors) {
    // poll and ppoll take the descriptor count second.
    return SleepsInCall(
        pid,
        [](long number) {
#ifdef SYS_poll
            if (number == SYS_poll) return true;
#endif
            return number == SYS_ppoll;
        },
        descriptors);
}

bool SleepsOnFutexes(pid_t pid, unsigned words) {
    // futex_waitv takes the word count second.
    return SleepsInCall(
        pid, [](long number) { return number == SYS_futex_waitv; }, words);
}

namespace {

// Runs `argv` with `input` on its standard input; standard error goes to
// `err` when `separate`, else into `out` with standard output.
ChildStreams Run(const std::vector<std::string>& argv, const std::string& input, int timeoutMs,
                 bool separate) {
    ChildStreams result;
    int in[2], out[2], err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) return result;
    if (pipe2(out, O_CLOEXEC) != 0 || (separate && pipe2(err, O_CLOEXEC) != 0)) {
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(separate ? err[1] : out[1], 2);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (separate) close(err[1]);
    if (pid < 0) {
        for (int fd : {in[1], out[0], err[0]})
            if (fd >= 0) close(fd);
        return result;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t ignored = write(in[1], input.data(), input.size());
        (void)ignored;
    }
    close(in[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || (streams[0].fd < 0 && streams[1].fd < 0)) break;
        int ready = poll(streams, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || !(streams[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
                continue;
            }
            close(streams[i].fd);
            streams[i].fd = -1;
        }
    }
    for (const pollfd& stream : streams)
        if (stream.fd >= 0) close(stream.fd);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    int status = ChildGuard::WaitChild(pid, static_cast<int>(std::max<int64_t>(left, 0)));
    if (status == -1) {
        kill(pid, SIGKILL);
        ChildGuard::WaitChild(pid, 5000);
        return result;
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input,
                     int timeoutMs) {
    ChildStreams run = Run(argv, input, timeoutMs, false);
    return {run.exitStatus, std::move(run.out)};
}

ChildStreams RunChildStreams(const std::vector<std::string>& argv, const std::string& input,
                             int timeoutMs) {
    return Run(argv, input, timeoutMs, true);
}

PipedChild::PipedChild(std::vector<std::string> argv, const std::function<bool()>& prepare) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || (prepare && !prepare())) _exit(127);
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
}

PipedChild::~PipedChild() {
    CloseInput();
    if (pid_ > 0 && Wait() < 0) {
        ::kill(pid_, SIGKILL);
        Wait();
    }
    if (stdout_ >= 0) ::close(stdout_);
}

void PipedChild::CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

std::string PipedChild::ReadLine(int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{stdout_, POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 1) return line;
        char c;
        if (::read(stdout_, &c, 1) != 1 || c == '\n') return line;
        line += c;
    }
}

int PipedChild::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    const int status = ChildGuard::WaitChild(pid_, timeoutMs);
    if (status >= 0) pid_ = -1;
    return status;
}

}  // namespace tavro::testing
