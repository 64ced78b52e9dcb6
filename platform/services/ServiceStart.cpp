// StartServiceA: runs a service's program as a detached process and follows its start until the
// dispatcher reports.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/base/Posix.h"
#include "platform/services/ServiceRecords.h"

extern char** environ;

namespace platform::services {
namespace {

// The image path of a service that may be started, or nullopt with the
// last error set.
std::optional<std::string> StartableImagePath(const std::string& name) {
    RegKey key;
    if (key.Open(ServiceKey(name)) != ERROR_SUCCESS || !key.GetString("ImagePath")) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return std::nullopt;
    }
    if (key.GetDword("DeleteFlag").value_or(0)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return std::nullopt;
    }
    if (key.GetDword("Start").value_or(SERVICE_DEMAND_START) == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return std::nullopt;
    }
    return *key.GetString("ImagePath");
}

// The program and its arguments from an image path: the program may stand
// in double quotes; the arguments are separated by blanks.
std::vector<std::string> SplitImagePath(const std::string& path) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == ' ') ++i;
        if (i >= path.size()) break;
        std::string word;
        if (path[i] == '"') {
            size_t end = path.find('"', i + 1);
            if (end == std::string::npos) end = path.size();
            word = path.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            size_t end = path.find(' ', i);
            if (end == std::string::npos) end = path.size();
            word = path.substr(i, end - i);
            i = end;
        }
        words.push_back(word);
    }
    return words;
}

uint64_t NewToken() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^ static_cast<uint64_t>(getpid());
}

// Everything the new process needs, made before the fork: after it only
// async-signal-safe calls are made.
struct Launch {
    std::vector<std::string> words;
    std::vector<std::string> envText;
    std::vector<char*> argv;
    std::vector<char*> envp;
    ScopedFd output;
    ScopedFd input;
    ScopedFd readyRead;
    ScopedFd readyWrite;
    ScopedFd life;
};

// The caller's environment for the program, with the session and the
// start's variables of its own.
std::vector<std::string> StartEnvironment(uint64_t token, const std::string& name, int readyFd,
                                          int lifeFd, DWORD argc, LPCSTR* args) {
    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (key == kSessionVar || key == kStartVar || key == kReadyFdVar || key == kArgsVar ||
            key == kLifeFdVar)
            continue;
        envText.push_back(entry);
    }
    envText.push_back(std::string(kSessionVar) + "=0");
    envText.push_back(std::string(kStartVar) + "=" + std::to_string(token) + ":" + name);
    envText.push_back(std::string(kReadyFdVar) + "=" + std::to_string(readyFd));
    envText.push_back(std::string(kLifeFdVar) + "=" + std::to_string(lifeFd));
    envText.push_back(std::string(kArgsVar) + "=" + EncodeArgs(argc, args));
    return envText;
}

// Opens the start pipe and the program's output; false with the last error set.
bool PrepareLaunch(Launch& launch, const std::string& name) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    launch.readyRead.Reset(pipeFds[0]);
    launch.readyWrite.Reset(pipeFds[1]);
    std::filesystem::path out = ServiceFile(name, ".out");
    if (out.empty()) return false;
    launch.output.Reset(OpenStateFile(out, O_WRONLY | O_APPEND));
    launch.input.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return true;
}

// Takes the service's life lock and records the start; false with the
// last error set (ERROR_SERVICE_ALREADY_RUNNING while another process holds
// the lock).
bool BeginStart(Launch& launch, const std::string& name, uint64_t token) {
    launch.life.Reset(TakeLifeLock(name));
    if (!launch.life) return false;
    StatusLock lock(name);
    if (!lock.Held()) return false;
    StatusRecord starting;
    starting.status.dwCurrentState = SERVICE_START_PENDING;
    starting.status.dwWaitHint = kStartTimeoutMs;
    starting.starter = static_cast<int32_t>(getpid());
    starting.token = token;
    return WriteRecord(name, starting);
}

// In the new process: default signal handling, the standard descriptors,
// the inherited start pipe and life lock, then the program.
[[noreturn]] void RunProgram(Launch& launch) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int readyFd = launch.readyWrite.Get();
    fcntl(readyFd, F_SETFD, 0);  // the dispatcher reports on it
    fcntl(launch.life.Get(), F_SETFD, 0);
    if (chdir("/") != 0) _exit(127);
    if (launch.input) dup2(launch.input.Get(), 0);
    if (launch.output) {
        dup2(launch.output.Get(), 1);
        dup2(launch.output.Get(), 2);
    }
    execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    PutMessage(readyFd, kMsgExec, errno);
    _exit(127);
}

// Starts the program detached (its own session, re-parented by a second
// fork); the intermediate process reports the program's pid on the start
// pipe. False with the last error set when the fork fails.
bool Spawn(Launch& launch) {
    pid_t child = fork();
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            PutMessage(launch.readyWrite.Get(), grandchild > 0 ? kMsgPid : kMsgFork,
                       grandchild > 0 ? grandchild : errno);
            _exit(0);
        }
        RunProgram(launch);
    }
    int forkErrno = errno;
    // The program holds the life lock and the write end from here on.
    launch.readyWrite.Reset();
    launch.output.Reset();
    launch.input.Reset();
    launch.life.Reset();
    if (child < 0) {
        return platform::FailWith(Win32FromErrno(forkErrno));
    }
    RetryOnEintr([&] { return waitpid(child, nullptr, 0); });
    return true;
}

// Follows the start until the dispatcher reports, the program fails, or
// the time is up; records the program's pid on the way. ERROR_SUCCESS or
// why the start failed.
DWORD FollowStart(const Launch& launch, const std::string& name, uint64_t token) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    for (;;) {
        char msg[kMsgSize];
        if (!ReadFull(launch.readyRead.Get(), msg, sizeof msg, deadline))
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        int32_t value = 0;
        std::memcpy(&value, msg + 1, sizeof value);
        switch (msg[0]) {
            case kMsgPid: {
                StatusLock lock(name);
                if (!lock.Held()) return GetLastError();
                StatusRecord record = ReadRecord(name);
                if (record.token != token || record.pid != 0) continue;
                record.pid = value;
                if (!WriteRecord(name, record)) return GetLastError();
                continue;
            }
            case kMsgReady: return ERROR_SUCCESS;
            case kMsgExec:
            case kMsgFork: return Win32FromErrno(value);
            default: return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
    }
}

// Ends a start that failed: the program, if it runs, is killed and the
// service is stopped with `code`.
BOOL FailStart(const std::string& name, uint64_t token, DWORD code) {
    StatusLock lock(name);
    StatusRecord record = ReadRecord(name);
    if (record.token == token) {
        if (record.pid > 0 && LifeLockHeld(name)) kill(record.pid, SIGKILL);
        record.status.dwCurrentState = SERVICE_STOPPED;
        record.status.dwControlsAccepted = 0;
        record.status.dwCheckPoint = 0;
        record.status.dwWaitHint = 0;
        record.status.dwWin32ExitCode = code;
        // Should this write fail too, the released life lock still tells
        // every reader that the service is stopped.
        [[maybe_unused]] bool written = lock.Held() && WriteRecord(name, record);
    }
    return FailWith(code);
}

}  // namespace
}  // namespace platform::services

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* args) {
    using namespace platform::services;
    std::optional<std::string> name = ServiceName(service);
    if (!name) return FALSE;
    std::optional<std::string> imagePath = StartableImagePath(*name);
    if (!imagePath) return FALSE;

    Launch launch;
    launch.words = SplitImagePath(*imagePath);
    if (launch.words.empty()) return platform::FailWith(ERROR_FILE_NOT_FOUND);
    if (!PrepareLaunch(launch, *name)) return FALSE;
    const uint64_t token = NewToken();
    if (!BeginStart(launch, *name, token)) return FALSE;
    launch.envText =
        StartEnvironment(token, *name, launch.readyWrite.Get(), launch.life.Get(), argc, args);
    for (std::string& entry : launch.envText) launch.envp.push_back(entry.data());
    launch.envp.push_back(nullptr);
    for (std::string& word : launch.words) launch.argv.push_back(word.data());
    launch.argv.push_back(nullptr);

    if (!Spawn(launch)) return FailStart(*name, token, GetLastError());
    DWORD result = FollowStart(launch, *name, token);
    if (result != ERROR_SUCCESS) return FailStart(*name, token, result);
    return TRUE;
}
