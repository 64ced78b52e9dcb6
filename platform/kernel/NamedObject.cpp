// Named events and mutexes shared across processes through files of the state directory.
//
// Each name is one file, <state>/objects/<name space>/o-<escaped name>, of
// four bytes:
//   0  the kind: 'M' manual-reset event, 'A' auto-reset event, 'X' mutex;
//   1  events: '1' while set; mutexes: '1' while owned, so that a new owner
//      finding it still '1' learns that the last owner died holding it;
//   2  mutexes: the byte an owner keeps write-locked (an open file
//      description lock, which the kernel drops when the owner dies);
//   3  written after a release, to wake the waiters.
// Events change byte 1 under a lock of that byte. Waiters watch the file
// with inotify: every change of state writes it.
//
// Lifetime: every process that has the name open holds a shared flock on
// the file. Whoever closes the last copy (its exclusive flock succeeds)
// removes the file, so a name ends with its last handle, as on the real
// platform, and a file left by processes that died is found stale (no
// holder) and replaced. A new file is written in full and then linked under
// its name, so an opener never sees half a file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/PlatformState.h"
#include "platform/kernel/SyncObjects.h"
#include "platform/winbase.h"

namespace platform {
namespace {

constexpr off_t kStateByte = 1;
constexpr off_t kOwnerByte = 2;
constexpr off_t kNotifyByte = 3;
constexpr size_t kFileSize = 4;
constexpr size_t kMaxEscaped = 200;

std::mutex g_openMutex;
std::map<std::string, std::weak_ptr<NamedObject>>& OpenObjects() {
    static auto* objects = new std::map<std::string, std::weak_ptr<NamedObject>>;
    return *objects;
}

// A file name for an object name: letters, digits, '.', '_' and '-' stay,
// every other byte becomes %XX. Very long names keep a prefix and a hash of
// the whole name.
std::string Escape(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (out.size() <= kMaxEscaped) return out;
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char tail[24];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    return out.substr(0, kMaxEscaped - 17) + tail;
}

// The file of `name` in the caller's name space, or "" with the last error set.
std::string ObjectPath(const std::string& name) {
    if (name.size() > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return "";
    }
    std::string space = "Session" + std::to_string(SessionId());
    std::string local = name;
    if (name.rfind("Global\\", 0) == 0) {
        space = "Global";
        local = name.substr(7);
    } else if (name.rfind("Local\\", 0) == 0) {
        local = name.substr(6);
    }
    std::filesystem::path dir = StateSubdir("objects") / space;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        SetLastError(Win32FromErrno(error.value()));
        return "";
    }
    return (dir / ("o-" + Escape(local))).string();
}

bool LockByte(int fd, off_t offset, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (!(wait && errno == EINTR)) return false;
    }
    return true;
}

bool Locked(int fd, off_t offset) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

char ReadByte(int fd, off_t offset) {
    char c = 0;
    return pread(fd, &c, 1, offset) == 1 ? c : 0;
}

bool WriteByte(int fd, off_t offset, char c) { return pwrite(fd, &c, 1, offset) == 1; }

// Whether `fd` is still the file named `path` (not removed or replaced).
bool SameFile(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fd, &open) == 0 && stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Creates the file of a new object with the caller's shared flock (and, for
// a mutex created owned, the owner lock) already held. Returns the
// descriptor, -2 when another process linked the name first, or -1 with the
// last error set.
int CreateFile(const std::string& path, NamedObject::Kind kind, bool initialState) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary = std::filesystem::path(path).parent_path() /
                                  ("t-" + std::to_string(getpid()) + "-" +
                                   std::to_string(gettid()) + "-" + std::to_string(counter++));
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return -1;
    }
    const char content[kFileSize] = {static_cast<char>(kind), initialState ? '1' : '0', '0', '0'};
    bool ready = pwrite(fd, content, kFileSize, 0) == static_cast<ssize_t>(kFileSize) &&
                 flock(fd, LOCK_SH) == 0 &&
                 (kind != NamedObject::Kind::Mutex || !initialState ||
                  LockByte(fd, kOwnerByte, F_WRLCK, false));
    int linked = ready ? link(temporary.c_str(), path.c_str()) : -1;
    int err = errno;
    unlink(temporary.c_str());
    if (ready && linked == 0) return fd;
    close(fd);
    if (ready && err == EEXIST) return -2;
    SetLastError(Win32FromErrno(err));
    return -1;
}

}  // namespace

std::shared_ptr<NamedObject> NamedObject::Open(const std::string& name, Kind kind,
                                               Disposition disposition, bool initialState) {
    const std::string path = ObjectPath(name);
    if (path.empty()) return nullptr;
    std::lock_guard openLock(g_openMutex);
    auto known = OpenObjects().find(path);
    if (known != OpenObjects().end()) {
        if (std::shared_ptr<NamedObject> open = known->second.lock()) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return open;
        }
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) {
            SetLastErrorFromErrno();
            return nullptr;
        }
        if (fd < 0) {
            if (disposition == Disposition::OpenOnly) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return nullptr;
            }
            fd = CreateFile(path, kind, initialState);
            if (fd == -1) return nullptr;
            if (fd == -2) continue;
            auto object = std::make_shared<NamedObject>(path, fd, kind);
            if (kind == Kind::Mutex && initialState) object->ownership_.Take();
            OpenObjects()[path] = object;
            SetLastError(ERROR_SUCCESS);
            return object;
        }
        // No holder at all: left by processes that died. Remove it and start over.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (SameFile(fd, path)) unlink(path.c_str());
            close(fd);
            continue;
        }
        // Waits only while a last holder is removing the file.
        while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        if (!SameFile(fd, path)) {
            close(fd);
            continue;
        }
        Kind found = static_cast<Kind>(ReadByte(fd, 0));
        if (found != Kind::ManualEvent && found != Kind::AutoEvent && found != Kind::Mutex) {
            close(fd);
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        auto object = std::make_shared<NamedObject>(path, fd, found);
        OpenObjects()[path] = object;
        SetLastError(ERROR_ALREADY_EXISTS);
        return object;
    }
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
}

NamedObject::NamedObject(std::string path, int fd, Kind kind)
    : path_(std::move(path)), fd_(fd), kind_(kind) {}

NamedObject::~NamedObject() {
    // An owned mutex stays marked as owned: the next owner is told it was abandoned.
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0 && SameFile(fd_, path_)) unlink(path_.c_str());
    close(fd_);
    std::lock_guard openLock(g_openMutex);
    auto found = OpenObjects().find(path_);
    if (found != OpenObjects().end() && found->second.expired()) OpenObjects().erase(found);
}

void NamedObject::PrepareWait(WaitContext& context) {
    if (IsEvent()) {
        context.WatchFile(path_, IN_MODIFY);
        return;
    }
    context.WatchFile(path_, IN_MODIFY | IN_CLOSE_WRITE);
    // A dying owner process closes its file, which wakes the waiters; the
    // re-check finds an owner thread of this process that has ended, or a
    // close not seen (a descriptor kept alive by a forked child).
    context.RecheckWithin(kOwnerRecheckMs);
}

WaitOutcome NamedObject::TryAcquire() { return IsEvent() ? TakeEvent(true) : TakeMutex(); }

bool NamedObject::IsSignalled() {
    if (IsEvent()) return TakeEvent(false) == WaitOutcome::Acquired;
    std::lock_guard lock(mutex_);
    if (!ownership_.Available()) return false;
    // Owned by no thread of this process: free unless another process holds it.
    return !ownership_.Free() || !Locked(fd_, kOwnerByte);
}

void NamedObject::Undo() {
    if (kind_ == Kind::AutoEvent) SetState(true);
    if (kind_ == Kind::Mutex) Release();
}

WaitOutcome NamedObject::TakeEvent(bool consume) {
    // The byte lock keeps other processes out; threads of this process share
    // the descriptor and hence its lock, so they take turns on mutex_.
    std::lock_guard lock(mutex_);
    if (!LockByte(fd_, kStateByte, F_WRLCK, true)) return WaitOutcome::NotSignalled;
    bool set = ReadByte(fd_, kStateByte) == '1';
    if (set && consume && kind_ == Kind::AutoEvent) WriteByte(fd_, kStateByte, '0');
    LockByte(fd_, kStateByte, F_UNLCK, false);
    return set ? WaitOutcome::Acquired : WaitOutcome::NotSignalled;
}

WaitOutcome NamedObject::TakeMutex() {
    std::lock_guard lock(mutex_);
    // Taken over from an owner thread that ended, this process keeps the file lock.
    if (std::optional<WaitOutcome> outcome = ownership_.TryTake()) return *outcome;
    if (!LockByte(fd_, kOwnerByte, F_WRLCK, false)) return WaitOutcome::NotSignalled;
    bool abandoned = ReadByte(fd_, kStateByte) == '1';
    WriteByte(fd_, kStateByte, '1');
    ownership_.Take();
    return abandoned ? WaitOutcome::Abandoned : WaitOutcome::Acquired;
}

bool NamedObject::SetState(bool signalled) {
    std::lock_guard lock(mutex_);
    if (!LockByte(fd_, kStateByte, F_WRLCK, true)) {
        SetLastErrorFromErrno();
        return false;
    }
    bool written = WriteByte(fd_, kStateByte, signalled ? '1' : '0');
    int err = errno;
    LockByte(fd_, kStateByte, F_UNLCK, false);
    if (!written) SetLastError(Win32FromErrno(err));
    return written;
}

bool NamedObject::Release() {
    std::lock_guard lock(mutex_);
    bool freed = false;
    if (!ownership_.Release(freed)) return false;
    if (!freed) return true;
    WriteByte(fd_, kStateByte, '0');
    LockByte(fd_, kOwnerByte, F_UNLCK, false);
    // After the unlock, so that a waiter woken by it finds the mutex free.
    WriteByte(fd_, kNotifyByte, 'r');
    return true;
}

}  // namespace platform
