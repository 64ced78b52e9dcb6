// Service control: the services database in the registry, service start,
// control requests over a local socket, and the service-side dispatcher.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/winsvc.h"

extern char** environ;

namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// Variables by which StartServiceA tells the started program which service
// it runs: "<token>:<name>", the descriptor to report readiness on, and the
// start arguments as "<length>:<bytes>" items.
constexpr const char* kStartVar = "TAVRO_SERVICE_START";
constexpr const char* kReadyFdVar = "TAVRO_SERVICE_READY_FD";
constexpr const char* kArgsVar = "TAVRO_SERVICE_ARGS";

// How long StartServiceA waits for the program's dispatcher, and
// ControlService for the handler's answer.
constexpr int kStartTimeoutMs = 30000;
constexpr int kControlTimeoutMs = 30000;
// How long the dispatcher waits for a connected client's request.
constexpr int kRequestTimeoutMs = 5000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::filesystem::path ServiceFile(const std::string& name, const char* suffix) {
    return platform::StateSubdir("services") / (Lower(name) + suffix);
}

std::string ServiceKey(const std::string& name) { return kServicesKey + name; }

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// --- Last reported status, shared through a file --------------------------

struct StatusRecord {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    // The process that runs the service; 0 while its start is under way.
    int32_t pid = 0;
    // The process that is starting it, while `pid` is 0.
    int32_t starter = 0;
    // Matches the started program to this start.
    uint64_t token = 0;
};

// Serialises the read-modify-write of one service's status file across
// processes.
class StatusLock {
public:
    explicit StatusLock(const std::string& name) {
        m_fd = open(ServiceFile(name, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd >= 0) flock(m_fd, LOCK_EX);
    }
    StatusLock(const StatusLock&) = delete;
    StatusLock& operator=(const StatusLock&) = delete;
    ~StatusLock() {
        if (m_fd >= 0) close(m_fd);
    }

private:
    int m_fd = -1;
};

StatusRecord ReadRecord(const std::string& name) {
    StatusRecord record;
    std::ifstream in(ServiceFile(name, ".status"));
    SERVICE_STATUS& s = record.status;
    unsigned long long token = 0;
    if (!(in >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
          s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint >> record.pid >>
          record.starter >> token))
        return StatusRecord{};
    record.token = token;
    return record;
}

bool WriteRecord(const std::string& name, const StatusRecord& record) {
    const SERVICE_STATUS& s = record.status;
    char line[256];
    int n = std::snprintf(line, sizeof line, "%u %u %u %u %u %u %u %d %d %llu\n", s.dwServiceType,
                          s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                          s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, record.pid,
                          record.starter, static_cast<unsigned long long>(record.token));
    std::filesystem::path file = ServiceFile(name, ".status");
    std::filesystem::path temp = file;
    temp += "." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, line, static_cast<size_t>(n)) == n;
    close(fd);
    if (ok && rename(temp.c_str(), file.c_str()) == 0) return true;
    unlink(temp.c_str());
    return false;
}

// A process that has ended but not been reaped yet counts as gone.
bool Alive(int32_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

// The service's status as it stands: a service whose process has gone
// without reporting SERVICE_STOPPED is stopped, with ERROR_PROCESS_ABORTED.
StatusRecord CurrentRecord(const std::string& name) {
    StatusRecord record = ReadRecord(name);
    if (record.status.dwCurrentState == SERVICE_STOPPED) return record;
    bool gone = record.pid ? !Alive(record.pid) : !Alive(record.starter);
    if (gone) {
        record.status.dwCurrentState = SERVICE_STOPPED;
        record.status.dwControlsAccepted = 0;
        record.status.dwCheckPoint = 0;
        record.status.dwWaitHint = 0;
        record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    }
    return record;
}

// --- Records in the registry ----------------------------------------------

enum class Record { kMissing, kPresent, kMarkedForDelete };

Record FindRecord(const std::string& name) {
    platform::RegKey key;
    if (key.Open(ServiceKey(name)) != ERROR_SUCCESS || !key.GetString("ImagePath"))
        return Record::kMissing;
    return key.GetDword("DeleteFlag").value_or(0) ? Record::kMarkedForDelete : Record::kPresent;
}

// Removes the service's record and status.
void RemoveService(const std::string& name) {
    platform::DeleteKeyTree(ServiceKey(name));
    std::error_code ignored;
    std::filesystem::remove(ServiceFile(name, ".status"), ignored);
}

// A service marked for removal whose process has ended is removed now.
Record SettleRecord(const std::string& name) {
    Record record = FindRecord(name);
    if (record == Record::kMarkedForDelete &&
        CurrentRecord(name).status.dwCurrentState == SERVICE_STOPPED) {
        RemoveService(name);
        return Record::kMissing;
    }
    return record;
}

// --- Handles ----------------------------------------------------------------

std::mutex g_handleLock;
std::vector<ServiceControlHandle*> g_handles;

}  // namespace

struct ServiceControlHandle {
    bool manager;
    std::string name;
};

namespace {

SC_HANDLE NewHandle(bool manager, const std::string& name) {
    auto* handle = new ServiceControlHandle{manager, name};
    std::lock_guard<std::mutex> lock(g_handleLock);
    g_handles.push_back(handle);
    return handle;
}

// The handle when it is open and of the wanted kind; sets
// ERROR_INVALID_HANDLE otherwise.
ServiceControlHandle* Checked(SC_HANDLE handle, bool manager) {
    std::lock_guard<std::mutex> lock(g_handleLock);
    if (!handle || std::find(g_handles.begin(), g_handles.end(), handle) == g_handles.end() ||
        handle->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

bool ValidServiceName(const char* name) {
    if (!name || !*name || std::strlen(name) > 256) return false;
    return !std::strpbrk(name, "/\\");
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

std::string EncodeArgs(DWORD argc, LPCSTR* args) {
    std::string out;
    for (DWORD i = 0; args && i < argc; ++i) {
        std::string arg = args[i] ? args[i] : "";
        out += std::to_string(arg.size()) + ":" + arg;
    }
    return out;
}

std::vector<std::string> DecodeArgs(const char* text) {
    std::vector<std::string> args;
    std::string in = text ? text : "";
    size_t i = 0;
    while (i < in.size()) {
        size_t colon = in.find(':', i);
        if (colon == std::string::npos) break;
        size_t length = std::strtoul(in.substr(i, colon - i).c_str(), nullptr, 10);
        if (length > in.size() - colon - 1) break;
        args.push_back(in.substr(colon + 1, length));
        i = colon + 1 + length;
    }
    return args;
}

// Messages on the start pipe: a tag and a 32-bit number.
constexpr char kMsgPid = 'P';    // intermediate process: the service's pid
constexpr char kMsgExec = 'E';   // exec failed: errno
constexpr char kMsgFork = 'F';   // fork failed: errno
constexpr char kMsgReady = 'R';  // dispatcher is up
constexpr size_t kMsgSize = 5;

void PutMessage(int fd, char tag, int32_t value) {
    char msg[kMsgSize];
    msg[0] = tag;
    std::memcpy(msg + 1, &value, sizeof value);
    ssize_t ignored = write(fd, msg, sizeof msg);
    (void)ignored;
}

int MillisLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Reads exactly `size` bytes before the deadline; false on end, error or
// time-out (errno ETIMEDOUT).
bool ReadFull(int fd, void* buffer, size_t size, std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, MillisLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (ready < 0) return false;
        ssize_t n = read(fd, static_cast<char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EPIPE;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SendFull(int fd, const void* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(fd, static_cast<const char*>(data) + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SocketAddress(const std::string& name, sockaddr_un& address) {
    std::string path = ServiceFile(name, ".sock").string();
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Ends a start that failed: the service is stopped with `code`.
BOOL FailStart(const std::string& name, uint64_t token, DWORD code) {
    {
        StatusLock lock(name);
        StatusRecord record = ReadRecord(name);
        if (record.token == token) {
            if (Alive(record.pid)) kill(record.pid, SIGKILL);
            record.status.dwCurrentState = SERVICE_STOPPED;
            record.status.dwControlsAccepted = 0;
            record.status.dwCheckPoint = 0;
            record.status.dwWaitHint = 0;
            record.status.dwWin32ExitCode = code;
            WriteRecord(name, record);
        }
    }
    SetLastError(code);
    return FALSE;
}

uint64_t NewToken() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^ static_cast<uint64_t>(getpid());
}

}  // namespace

// --- The services database ----------------------------------------------

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR /*databaseName*/, DWORD /*access*/) {
    if (machineName && *machineName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return NewHandle(true, "");
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD /*access*/, DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                         LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR /*password*/) {
    if (!Checked(manager, true)) return nullptr;
    if (!ValidServiceName(serviceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!binaryPathName || !*binaryPathName || (serviceType & SERVICE_WIN32_OWN_PROCESS) == 0 ||
        startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL || tagId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string account = serviceStartName && *serviceStartName ? serviceStartName : "LocalSystem";
    if (!SameName(account, "LocalSystem") && !SameName(account, ".\\LocalSystem")) {
        const char* slash = std::strrchr(account.c_str(), '\\');
        std::string bare = slash ? std::string(slash + 1) : account;
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwnam_r(bare.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
            SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
            return nullptr;
        }
    }
    switch (SettleRecord(serviceName)) {
        case Record::kPresent: SetLastError(ERROR_SERVICE_EXISTS); return nullptr;
        case Record::kMarkedForDelete:
            SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return nullptr;
        case Record::kMissing: break;
    }

    platform::RegKey key;
    LONG rc = key.Create(ServiceKey(serviceName));
    std::vector<std::string> depends;
    for (const char* p = dependencies; p && *p; p += std::strlen(p) + 1) depends.push_back(p);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("Type", serviceType);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("Start", startType);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("ErrorControl", errorControl);
    if (rc == ERROR_SUCCESS)
        rc = key.SetString("DisplayName", displayName ? displayName : serviceName);
    if (rc == ERROR_SUCCESS) rc = key.SetString("ObjectName", account);
    if (rc == ERROR_SUCCESS && loadOrderGroup && *loadOrderGroup)
        rc = key.SetString("Group", loadOrderGroup);
    if (rc == ERROR_SUCCESS && !depends.empty()) rc = key.SetMulti("DependOnService", depends);
    // The image path last: its presence is what makes the record a service.
    if (rc == ERROR_SUCCESS) rc = key.SetString("ImagePath", binaryPathName, REG_EXPAND_SZ);
    if (rc != ERROR_SUCCESS) {
        key.Close();
        RemoveService(serviceName);
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    return NewHandle(false, serviceName);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD /*access*/) {
    if (!Checked(manager, true)) return nullptr;
    if (!ValidServiceName(serviceName)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (SettleRecord(serviceName) == Record::kMissing) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewHandle(false, serviceName);
}

BOOL DeleteService(SC_HANDLE service) {
    ServiceControlHandle* handle = Checked(service, false);
    if (!handle) return FALSE;
    switch (FindRecord(handle->name)) {
        case Record::kMissing: return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        case Record::kMarkedForDelete: return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        case Record::kPresent: break;
    }
    if (CurrentRecord(handle->name).status.dwCurrentState == SERVICE_STOPPED) {
        RemoveService(handle->name);
        return TRUE;
    }
    platform::RegKey key;
    LONG rc = key.Open(ServiceKey(handle->name), KEY_ALL_ACCESS);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("DeleteFlag", 1);
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = std::find(g_handles.begin(), g_handles.end(), handle);
    if (!handle || it == g_handles.end()) return Fail(ERROR_INVALID_HANDLE);
    delete *it;
    g_handles.erase(it);
    return TRUE;
}

extern "C" BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
    ServiceControlHandle* handle = Checked(service, false);
    if (!handle) return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION) return Fail(ERROR_INVALID_LEVEL);
    if (FindRecord(handle->name) == Record::kMissing) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    auto* description = static_cast<SERVICE_DESCRIPTIONA*>(info);
    if (!description || !description->lpDescription) return TRUE;  // left as it is
    platform::RegKey key;
    LONG rc = key.Open(ServiceKey(handle->name), KEY_ALL_ACCESS);
    if (rc == ERROR_SUCCESS) {
        rc = *description->lpDescription ? key.SetString("Description", description->lpDescription)
                                         : key.DeleteValue("Description");
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

// --- Starting, controlling and querying ------------------------------------

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* args) {
    ServiceControlHandle* handle = Checked(service, false);
    if (!handle) return FALSE;
    const std::string name = handle->name;
    std::string imagePath;
    {
        platform::RegKey key;
        if (key.Open(ServiceKey(name)) != ERROR_SUCCESS || !key.GetString("ImagePath"))
            return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        if (key.GetDword("DeleteFlag").value_or(0)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        if (key.GetDword("Start").value_or(SERVICE_DEMAND_START) == SERVICE_DISABLED)
            return Fail(ERROR_SERVICE_DISABLED);
        imagePath = *key.GetString("ImagePath");
    }
    std::vector<std::string> words = SplitImagePath(imagePath);
    if (words.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    sockaddr_un address;
    if (!SocketAddress(name, address)) return Fail(ERROR_INVALID_NAME);

    // Everything the new process needs is prepared before the fork: after it
    // only async-signal-safe calls are made.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return Fail(platform::SetLastErrorFromErrno());
    const uint64_t token = NewToken();
    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (key == platform::kSessionVar || key == kStartVar || key == kReadyFdVar ||
            key == kArgsVar)
            continue;
        envText.push_back(entry);
    }
    envText.push_back(std::string(platform::kSessionVar) + "=0");
    envText.push_back(std::string(kStartVar) + "=" + std::to_string(token) + ":" + name);
    envText.push_back(std::string(kReadyFdVar) + "=" + std::to_string(pipeFds[1]));
    envText.push_back(std::string(kArgsVar) + "=" + EncodeArgs(argc, args));
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::filesystem::path outPath = ServiceFile(name, ".out");
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);

    {
        StatusLock lock(name);
        StatusRecord record = CurrentRecord(name);
        if (record.status.dwCurrentState != SERVICE_STOPPED) {
            for (int fd : {pipeFds[0], pipeFds[1], outFd, nullFd})
                if (fd >= 0) close(fd);
            return Fail(ERROR_SERVICE_ALREADY_RUNNING);
        }
        StatusRecord starting;
        starting.status.dwCurrentState = SERVICE_START_PENDING;
        starting.status.dwWaitHint = kStartTimeoutMs;
        starting.starter = static_cast<int32_t>(getpid());
        starting.token = token;
        WriteRecord(name, starting);
    }

    const int readyFd = pipeFds[1];
    pid_t child = fork();
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) {
            PutMessage(readyFd, grandchild > 0 ? kMsgPid : kMsgFork,
                       grandchild > 0 ? grandchild : errno);
            _exit(0);
        }
        // A service starts with default signal handling, whatever its
        // starter had ignored or blocked.
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        fcntl(readyFd, F_SETFD, 0);  // the dispatcher reports on it
        if (chdir("/") != 0) _exit(127);
        if (nullFd >= 0) dup2(nullFd, 0);
        if (outFd >= 0) {
            dup2(outFd, 1);
            dup2(outFd, 2);
        }
        execve(argv[0], argv.data(), envp.data());
        PutMessage(readyFd, kMsgExec, errno);
        _exit(127);
    }
    int forkErrno = errno;
    close(pipeFds[1]);
    for (int fd : {outFd, nullFd})
        if (fd >= 0) close(fd);
    if (child < 0) {
        close(pipeFds[0]);
        return FailStart(name, token, platform::Win32FromErrno(forkErrno));
    }
    int childStatus = 0;
    while (waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }

    // Follow the start until the dispatcher reports, the program fails, or
    // the time is up.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    DWORD result = ERROR_SERVICE_REQUEST_TIMEOUT;
    for (;;) {
        char msg[kMsgSize];
        if (!ReadFull(pipeFds[0], msg, sizeof msg, deadline)) break;
        int32_t value = 0;
        std::memcpy(&value, msg + 1, sizeof value);
        if (msg[0] == kMsgPid) {
            StatusLock lock(name);
            StatusRecord record = ReadRecord(name);
            if (record.token == token && record.pid == 0) {
                record.pid = value;
                WriteRecord(name, record);
            }
            continue;
        }
        if (msg[0] == kMsgReady) {
            result = ERROR_SUCCESS;
        } else if (msg[0] == kMsgExec || msg[0] == kMsgFork) {
            result = platform::Win32FromErrno(value);
        }
        break;
    }
    close(pipeFds[0]);
    if (result != ERROR_SUCCESS) return FailStart(name, token, result);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    ServiceControlHandle* handle = Checked(service, false);
    if (!handle) return FALSE;
    if (!status) return Fail(ERROR_INVALID_PARAMETER);
    *status = CurrentRecord(handle->name).status;
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    ServiceControlHandle* handle = Checked(service, false);
    if (!handle) return FALSE;
    if (control > 255) return Fail(ERROR_INVALID_PARAMETER);
    if (FindRecord(handle->name) == Record::kMissing) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    StatusRecord record = CurrentRecord(handle->name);
    if (status) *status = record.status;
    if (record.status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);

    sockaddr_un address;
    if (!SocketAddress(handle->name, address)) return Fail(ERROR_INVALID_NAME);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(platform::SetLastErrorFromErrno());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    uint32_t request = control;
    uint32_t reply[8];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kControlTimeoutMs);
    bool sent = SendFull(fd, &request, sizeof request);
    bool answered = sent && ReadFull(fd, reply, sizeof reply, deadline);
    int readErrno = errno;
    close(fd);
    if (!answered)
        return Fail(sent && readErrno == ETIMEDOUT ? ERROR_SERVICE_REQUEST_TIMEOUT
                                                   : ERROR_SERVICE_NOT_ACTIVE);
    if (status) std::memcpy(status, reply + 1, sizeof *status);
    if (reply[0] != ERROR_SUCCESS) return Fail(reply[0]);
    return TRUE;
}

// --- The dispatcher in the service's process --------------------------------

// The one service a dispatcher runs in this process; its address is the
// status handle.
struct ServiceStatusHandle {
    std::string name;
    uint64_t token = 0;
    std::mutex lock;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    bool mainReturned = false;
    int wakeFd = -1;
};

namespace {

std::mutex g_dispatcherLock;
ServiceStatusHandle* g_dispatcher = nullptr;

void Wake(ServiceStatusHandle* service) {
    uint64_t one = 1;
    ssize_t ignored = write(service->wakeFd, &one, sizeof one);
    (void)ignored;
}

// Why a control cannot be handed to the service in its present status, or
// ERROR_SUCCESS.
DWORD Refusal(const SERVICE_STATUS& status, bool hasHandler, DWORD control) {
    if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (control == SERVICE_CONTROL_INTERROGATE)
        return hasHandler ? ERROR_SUCCESS : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (!hasHandler || status.dwCurrentState == SERVICE_START_PENDING ||
        status.dwCurrentState == SERVICE_STOP_PENDING)
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    DWORD needed = 0;
    if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (control == SERVICE_CONTROL_SHUTDOWN) needed = SERVICE_ACCEPT_SHUTDOWN;
    if (needed && !(status.dwControlsAccepted & needed)) return ERROR_INVALID_SERVICE_CONTROL;
    return ERROR_SUCCESS;
}

// Takes one request from a connected client, runs the handler on this
// thread and answers with the result and the status reported by then.
void ServeRequest(ServiceStatusHandle* service, int client) {
    uint32_t control = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    if (!ReadFull(client, &control, sizeof control, deadline)) return;
    LPHANDLER_FUNCTION handler;
    DWORD refusal;
    {
        std::lock_guard<std::mutex> lock(service->lock);
        handler = service->handler;
        refusal = Refusal(service->status, handler != nullptr, control);
    }
    if (refusal == ERROR_SUCCESS) handler(control);
    uint32_t reply[8];
    reply[0] = refusal;
    {
        std::lock_guard<std::mutex> lock(service->lock);
        std::memcpy(reply + 1, &service->status, sizeof service->status);
    }
    SendFull(client, reply, sizeof reply);
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    const char* start = std::getenv(kStartVar);
    const char* colon = start ? std::strchr(start, ':') : nullptr;
    if (!colon) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const uint64_t token = std::strtoull(start, nullptr, 10);
    const std::string name = colon + 1;
    const int readyFd = std::atoi(std::getenv(kReadyFdVar) ? std::getenv(kReadyFdVar) : "-1");
    std::vector<std::string> args = DecodeArgs(std::getenv(kArgsVar));
    {
        StatusLock lock(name);
        StatusRecord record = ReadRecord(name);
        if (record.token != token || record.status.dwCurrentState != SERVICE_START_PENDING ||
            (record.pid != 0 && record.pid != getpid()))
            return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        record.pid = static_cast<int32_t>(getpid());
        WriteRecord(name, record);
    }
    // The service's own children are not started services.
    unsetenv(kStartVar);
    unsetenv(kReadyFdVar);
    unsetenv(kArgsVar);

    const SERVICE_TABLE_ENTRYA* entry = nullptr;
    size_t entries = 0;
    for (const SERVICE_TABLE_ENTRYA* e = serviceTable; e && e->lpServiceName; ++e, ++entries) {
        if (SameName(e->lpServiceName, name)) entry = e;
    }
    if (!entry && entries == 1) entry = serviceTable;
    if (!entry || !entry->lpServiceProc) {
        if (readyFd >= 0) close(readyFd);
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    }

    sockaddr_un address;
    int listener = -1;
    if (SocketAddress(name, address)) {
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        unlink(address.sun_path);
        if (listener >= 0 &&
            (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
             listen(listener, 8) != 0)) {
            close(listener);
            listener = -1;
        }
    }
    ServiceStatusHandle service;
    service.name = name;
    service.token = token;
    service.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener < 0 || service.wakeFd < 0) {
        DWORD code = platform::SetLastErrorFromErrno();
        if (listener >= 0) close(listener);
        if (service.wakeFd >= 0) close(service.wakeFd);
        if (readyFd >= 0) close(readyFd);
        return Fail(code);
    }
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        g_dispatcher = &service;
    }

    // The entry point gets the started service's name and the start
    // arguments.
    args.insert(args.begin(), name);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    LPSERVICE_MAIN_FUNCTIONA serviceMain = entry->lpServiceProc;
    std::thread mainThread([&] {
        serviceMain(static_cast<DWORD>(args.size()), argv.data());
        std::lock_guard<std::mutex> lock(service.lock);
        service.mainReturned = true;
        Wake(&service);
    });
    if (readyFd >= 0) {
        PutMessage(readyFd, kMsgReady, 0);
        close(readyFd);
    }

    for (;;) {
        {
            std::lock_guard<std::mutex> lock(service.lock);
            if (service.mainReturned) break;
        }
        pollfd fds[2] = {{listener, POLLIN, 0}, {service.wakeFd, POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = read(service.wakeFd, &count, sizeof count);
            (void)ignored;
        }
        if (fds[0].revents & POLLIN) {
            int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ServeRequest(&service, client);
                close(client);
            }
        }
    }
    mainThread.join();
    close(listener);
    unlink(address.sun_path);

    // An entry point that returned without reporting the end has stopped.
    bool reported;
    {
        std::lock_guard<std::mutex> lock(service.lock);
        reported = service.status.dwCurrentState == SERVICE_STOPPED;
    }
    if (!reported) {
        SERVICE_STATUS stopped = service.status;
        stopped.dwCurrentState = SERVICE_STOPPED;
        stopped.dwControlsAccepted = 0;
        stopped.dwCheckPoint = 0;
        stopped.dwWaitHint = 0;
        if (stopped.dwWin32ExitCode == ERROR_SUCCESS)
            stopped.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
        SetServiceStatus(&service, &stopped);
    }
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        g_dispatcher = nullptr;
    }
    close(service.wakeFd);
    if (FindRecord(name) == Record::kMarkedForDelete) RemoveService(name);
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    if (!g_dispatcher || !serviceName || !SameName(serviceName, g_dispatcher->name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!handler) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> serviceLock(g_dispatcher->lock);
    g_dispatcher->handler = handler;
    return g_dispatcher;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        if (!handle || handle != g_dispatcher) return Fail(ERROR_INVALID_HANDLE);
    }
    if (!status || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED)
        return Fail(ERROR_INVALID_DATA);
    {
        std::lock_guard<std::mutex> lock(handle->lock);
        handle->status = *status;
    }
    bool written;
    {
        StatusLock lock(handle->name);
        StatusRecord record = ReadRecord(handle->name);
        record.status = *status;
        record.pid = static_cast<int32_t>(getpid());
        record.token = handle->token;
        written = WriteRecord(handle->name, record);
    }
    Wake(handle);
    return written ? TRUE : Fail(platform::SetLastErrorFromErrno());
}
