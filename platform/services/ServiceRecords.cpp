// Service records and status: the services database in the registry, the status file and life lock
// of each service, and the database calls.
#include "platform/services/ServiceRecords.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/base/LiveSet.h"
#include "platform/base/Posix.h"

namespace platform::services {
namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
// The longest service file name before its suffix.
constexpr size_t kMaxFileStem = 200;

// Sets or tests the write lock of byte 0 that marks a live service. An open
// file description lock: inherited through fork and exec, dropped when the
// last descriptor of the description closes, and independent of flock.
bool LockLife(int fd, int command, short& type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    if (fcntl(fd, command, &lock) != 0) return false;
    type = lock.l_type;
    return true;
}

}  // namespace

// A fixed-length hash of the name, case ignored.
static uint64_t NameHash(const std::string& name) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : AsciiLower(name)) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::filesystem::path ServiceFile(const std::string& name, const char* suffix) {
    std::filesystem::path dir = StateSubdir("services");
    if (dir.empty()) return dir;
    // Names longer than a file name may be keep a prefix and a hash.
    std::string leaf = AsciiLower(name);
    if (leaf.size() > kMaxFileStem) {
        char hash[24];
        std::snprintf(hash, sizeof hash, "~%016llx",
                      static_cast<unsigned long long>(NameHash(name)));
        leaf = leaf.substr(0, kMaxFileStem - 17) + hash;
    }
    return dir / (leaf + suffix);
}

std::string ServiceKey(const std::string& name) { return kServicesKey + name; }

StatusLock::StatusLock(const std::string& name) {
    std::filesystem::path file = ServiceFile(name, ".lock");
    if (file.empty()) return;
    fd_.Reset(OpenStateFile(file, O_RDWR));
    held_ = fd_ && RetryOnEintr([&] { return flock(fd_.Get(), LOCK_EX); }) == 0;
    if (!held_) SetLastErrorFromErrno();
}

StatusRecord ReadRecord(const std::string& name) {
    StatusRecord record;
    std::filesystem::path file = ServiceFile(name, ".status");
    if (file.empty()) return record;
    std::ifstream in(file);
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
    if (file.empty()) return false;
    std::filesystem::path temp = file;
    temp += "." + std::to_string(getpid());
    ScopedFd fd(OpenStateFile(temp, O_WRONLY | O_TRUNC));
    if (fd && WriteAll(fd.Get(), line, static_cast<size_t>(n)) &&
        rename(temp.c_str(), file.c_str()) == 0)
        return true;
    SetLastErrorFromErrno();
    unlink(temp.c_str());
    return false;
}

StatusRecord CurrentRecord(const std::string& name) {
    StatusRecord record = ReadRecord(name);
    if (record.status.dwCurrentState == SERVICE_STOPPED) return record;
    // The starter takes the lock before it writes the start, and hands it
    // to the program.
    if (LifeLockHeld(name)) return record;
    record.status.dwCurrentState = SERVICE_STOPPED;
    record.status.dwControlsAccepted = 0;
    record.status.dwCheckPoint = 0;
    record.status.dwWaitHint = 0;
    record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    return record;
}

int TakeLifeLock(const std::string& name) {
    std::filesystem::path file = ServiceFile(name, ".live");
    if (file.empty()) return -1;
    ScopedFd fd(OpenStateFile(file, O_RDWR));
    if (!fd) {
        SetLastErrorFromErrno();
        return -1;
    }
    short type = F_WRLCK;
    if (!LockLife(fd.Get(), F_OFD_SETLK, type)) {
        SetLastError(errno == EAGAIN || errno == EACCES ? ERROR_SERVICE_ALREADY_RUNNING
                                                        : Win32FromErrno(errno));
        return -1;
    }
    return fd.Release();
}

bool LifeLockHeld(const std::string& name) {
    std::filesystem::path file = ServiceFile(name, ".live");
    if (file.empty()) return false;
    ScopedFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    short type = F_WRLCK;
    return fd && LockLife(fd.Get(), F_OFD_GETLK, type) && type != F_UNLCK;
}

Record FindRecord(const std::string& name) {
    RegKey key;
    if (key.Open(ServiceKey(name)) != ERROR_SUCCESS || !key.GetString("ImagePath"))
        return Record::kMissing;
    return key.GetDword("DeleteFlag").value_or(0) ? Record::kMarkedForDelete : Record::kPresent;
}

void RemoveService(const std::string& name) {
    DeleteKeyTree(ServiceKey(name));
    std::filesystem::path status = ServiceFile(name, ".status");
    std::error_code ignored;
    if (!status.empty()) std::filesystem::remove(status, ignored);
}

Record SettleRecord(const std::string& name) {
    Record record = FindRecord(name);
    if (record == Record::kMarkedForDelete &&
        CurrentRecord(name).status.dwCurrentState == SERVICE_STOPPED) {
        RemoveService(name);
        return Record::kMissing;
    }
    return record;
}

bool ControlAddress(const std::string& name, sockaddr_un& address, ScopedFd& dir) {
    // A fixed-length name, whatever the length of the service's name.
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "c-%016llx.sock",
                  static_cast<unsigned long long>(NameHash(name)));
    std::filesystem::path services = StateSubdir("services");
    if (services.empty()) return false;
    std::string path = (services / leaf).string();
    if (path.size() >= sizeof address.sun_path) {
        dir.Reset(open(services.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir) {
            SetLastErrorFromErrno();
            return false;
        }
        path = "/proc/self/fd/" + std::to_string(dir.Get()) + "/" + leaf;
    }
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool ReadFull(int fd, void* buffer, size_t size, std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (ready < 0) return false;
        ssize_t n =
            RetryOnEintr([&] { return read(fd, static_cast<char*>(buffer) + done, size - done); });
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
        ssize_t n = RetryOnEintr([&] {
            return send(fd, static_cast<const char*>(data) + done, size - done, MSG_NOSIGNAL);
        });
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void PutMessage(int fd, char tag, int32_t value) {
    char msg[kMsgSize];
    msg[0] = tag;
    std::memcpy(msg + 1, &value, sizeof value);
    [[maybe_unused]] ssize_t n = write(fd, msg, sizeof msg);
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

}  // namespace platform::services

// --- Handles and the database calls -----------------------------------------

struct ServiceControlHandle {
    bool manager;
    std::string name;
};

namespace platform::services {
namespace {

LiveSet<ServiceControlHandle>& Handles() {
    static auto* handles = new LiveSet<ServiceControlHandle>;
    return *handles;
}

SC_HANDLE NewHandle(bool manager, const std::string& name) {
    return Handles().Add(
        std::make_unique<ServiceControlHandle>(ServiceControlHandle{manager, name}));
}

// Whether `handle` is open and of the wanted kind; sets ERROR_INVALID_HANDLE
// otherwise.
bool CheckHandle(SC_HANDLE handle, bool manager, std::string* name = nullptr) {
    bool wanted = false;
    Handles().With(handle, [&](ServiceControlHandle& open) {
        wanted = open.manager == manager;
        if (wanted && name) *name = open.name;
    });
    if (!wanted) SetLastError(ERROR_INVALID_HANDLE);
    return wanted;
}

bool ValidServiceName(const char* name) {
    if (!name || !*name || std::strlen(name) > 256) return false;
    return !std::strpbrk(name, "/\\");
}

// Whether `account` names the system account or a known user.
bool KnownAccount(const std::string& account) {
    if (AsciiEqualNoCase(account, "LocalSystem") || AsciiEqualNoCase(account, ".\\LocalSystem"))
        return true;
    const char* slash = std::strrchr(account.c_str(), '\\');
    return UserId(slash ? std::string(slash + 1) : account).has_value();
}

// Writes the record's values, the image path last: its presence is what
// makes the record a service.
LONG WriteServiceKey(const std::string& name, LPCSTR displayName, DWORD serviceType,
                     DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                     LPCSTR loadOrderGroup, LPCSTR dependencies, const std::string& account) {
    RegKey key;
    LONG rc = key.Create(ServiceKey(name));
    std::vector<std::string> depends;
    for (const char* p = dependencies; p && *p; p += std::strlen(p) + 1) depends.push_back(p);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("Type", serviceType);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("Start", startType);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("ErrorControl", errorControl);
    if (rc == ERROR_SUCCESS) rc = key.SetString("DisplayName", displayName ? displayName : name);
    if (rc == ERROR_SUCCESS) rc = key.SetString("ObjectName", account);
    if (rc == ERROR_SUCCESS && loadOrderGroup && *loadOrderGroup)
        rc = key.SetString("Group", loadOrderGroup);
    if (rc == ERROR_SUCCESS && !depends.empty()) rc = key.SetMulti("DependOnService", depends);
    if (rc == ERROR_SUCCESS) rc = key.SetString("ImagePath", binaryPathName, REG_EXPAND_SZ);
    return rc;
}

}  // namespace

std::optional<std::string> ServiceName(SC_HANDLE service) {
    std::string name;
    if (!CheckHandle(service, false, &name)) return std::nullopt;
    return name;
}

}  // namespace platform::services

using namespace platform::services;
using platform::FailWith;

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR /*databaseName*/, DWORD /*access*/) {
    if (machineName && *machineName) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    return NewHandle(true, "");
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD /*access*/, DWORD serviceType, DWORD startType, DWORD errorControl,
                         LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                         LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR /*password*/) {
    if (!CheckHandle(manager, true)) return nullptr;
    if (!ValidServiceName(serviceName)) {
        return platform::FailWith(ERROR_INVALID_NAME);
    }
    if (!binaryPathName || !*binaryPathName || (serviceType & SERVICE_WIN32_OWN_PROCESS) == 0 ||
        startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL || tagId) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::string account = serviceStartName && *serviceStartName ? serviceStartName : "LocalSystem";
    if (!KnownAccount(account)) {
        return platform::FailWith(ERROR_INVALID_SERVICE_ACCOUNT);
    }
    // Under the service's lock, so that of several processes creating one
    // service at once exactly one makes it.
    StatusLock lock(serviceName);
    if (!lock.Held()) return nullptr;
    switch (SettleRecord(serviceName)) {
        case Record::kPresent: SetLastError(ERROR_SERVICE_EXISTS); return nullptr;
        case Record::kMarkedForDelete: return platform::FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
        case Record::kMissing: break;
    }
    LONG rc = WriteServiceKey(serviceName, displayName, serviceType, startType, errorControl,
                              binaryPathName, loadOrderGroup, dependencies, account);
    if (rc != ERROR_SUCCESS) {
        RemoveService(serviceName);
        return platform::FailWith(static_cast<DWORD>(rc));
    }
    return NewHandle(false, serviceName);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD /*access*/) {
    if (!CheckHandle(manager, true)) return nullptr;
    if (!ValidServiceName(serviceName)) {
        return platform::FailWith(ERROR_INVALID_NAME);
    }
    if (SettleRecord(serviceName) == Record::kMissing) {
        return platform::FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    return NewHandle(false, serviceName);
}

BOOL DeleteService(SC_HANDLE service) {
    std::optional<std::string> name = ServiceName(service);
    if (!name) return FALSE;
    StatusLock lock(*name);
    if (!lock.Held()) return FALSE;
    switch (FindRecord(*name)) {
        case Record::kMissing: return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
        case Record::kMarkedForDelete: return FailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
        case Record::kPresent: break;
    }
    if (CurrentRecord(*name).status.dwCurrentState == SERVICE_STOPPED) {
        RemoveService(*name);
        return TRUE;
    }
    platform::RegKey key;
    LONG rc = key.Open(ServiceKey(*name), KEY_ALL_ACCESS);
    if (rc == ERROR_SUCCESS) rc = key.SetDword("DeleteFlag", 1);
    return rc == ERROR_SUCCESS ? TRUE : FailWith(static_cast<DWORD>(rc));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    return Handles().Remove(handle) ? TRUE : FailWith(ERROR_INVALID_HANDLE);
}

extern "C" BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
    std::optional<std::string> name = ServiceName(service);
    if (!name) return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION) return FailWith(ERROR_INVALID_LEVEL);
    if (FindRecord(*name) == Record::kMissing) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    auto* description = static_cast<SERVICE_DESCRIPTIONA*>(info);
    if (!description || !description->lpDescription) return TRUE;  // left as it is
    platform::RegKey key;
    LONG rc = key.Open(ServiceKey(*name), KEY_ALL_ACCESS);
    if (rc == ERROR_SUCCESS) {
        rc = *description->lpDescription ? key.SetString("Description", description->lpDescription)
                                         : key.DeleteValue("Description");
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    return rc == ERROR_SUCCESS ? TRUE : FailWith(static_cast<DWORD>(rc));
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    std::optional<std::string> name = ServiceName(service);
    if (!name) return FALSE;
    if (!status) return FailWith(ERROR_INVALID_PARAMETER);
    *status = CurrentRecord(*name).status;
    return TRUE;
}
