// Named events and mutexes shared across processes through mapped files of the state directory.
//
// Each name is one file, <state>/objects/<name space>/o-<escaped name>,
// mapped shared by every process that has the name open. It holds the kind
// ('M' manual-reset event, 'A' auto-reset event, 'X' mutex) and the shared
// state: for an event, its state word and the sequence word its waiters
// sleep on (a futex); for a mutex, a robust process-shared lock, which the
// kernel frees and marks when its owner thread ends or its owner process
// dies. Waiting needs no watch and no periodic look: a change wakes the
// sleepers on the futex.
//
// Lifetime: every process that has the name open holds a shared flock on
// the file. Whoever closes the last copy (its exclusive flock succeeds)
// removes the file, so a name ends with its last handle, as on the real
// platform, and a file left by processes that died is found stale (no
// holder) and replaced. A new file is written in full and then linked under
// its name, so an opener never sees half a file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/PlatformState.h"
#include "platform/base/Posix.h"
#include "platform/kernel/SyncObjects.h"
#include "platform/winbase.h"

namespace platform {
namespace {

constexpr size_t kMaxEscaped = 200;
constexpr char kVersion = 2;

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
    std::filesystem::path dir = StateSubdir("objects/" + space);
    if (dir.empty()) return "";
    return (dir / ("o-" + Escape(local))).string();
}

}  // namespace

// The mapped file of a named object.
struct NamedObject::Shared {
    char kind;
    char version;
    SharedEventState event;
    SharedMutexState mutex;
};

namespace {

constexpr size_t kFileSize = 4096;
static_assert(sizeof(NamedObject::Shared) <= kFileSize);

// Whether `fd` is still the file named `path` (not removed or replaced).
bool SameFile(int fd, const std::string& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fd, &open) == 0 && stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

NamedObject::Shared* Map(int fd) {
    void* address = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<NamedObject::Shared*>(address);
}

void Unmap(NamedObject::Shared* shared) { munmap(shared, kFileSize); }

// A new object's file, written in full under a temporary name.
struct NewFile {
    ScopedFd fd;
    NamedObject::Shared* shared = nullptr;
};

// Creates the file of a new object with the caller's shared flock (and, for
// a mutex created owned, the lock) already held, and links it under its
// name. Returns the file; an empty one with `raced` when another process
// linked the name first, or with the last error set.
NewFile CreateFile(const std::string& path, NamedObject::Kind kind, bool initialState,
                   bool& raced) {
    static std::atomic<unsigned> counter{0};
    raced = false;
    const std::string temporary = std::filesystem::path(path).parent_path() /
                                  ("t-" + std::to_string(getpid()) + "-" +
                                   std::to_string(gettid()) + "-" + std::to_string(counter++));
    NewFile file;
    file.fd.Reset(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.fd) {
        SetLastErrorFromErrno();
        return {};
    }
    int err = 0;
    if (ftruncate(file.fd.Get(), kFileSize) != 0 || !(file.shared = Map(file.fd.Get()))) {
        err = errno;
    } else {
        file.shared->kind = static_cast<char>(kind);
        file.shared->version = kVersion;
        SharedEvent::Init(file.shared->event, initialState && kind != NamedObject::Kind::Mutex);
        if (!RobustMutex::Init(file.shared->mutex)) err = errno;
    }
    if (!err && RetryOnEintr([&] { return flock(file.fd.Get(), LOCK_SH); }) != 0) err = errno;
    if (!err && kind == NamedObject::Kind::Mutex && initialState &&
        pthread_mutex_trylock(&file.shared->mutex.lock) != 0)
        err = EAGAIN;
    if (!err && link(temporary.c_str(), path.c_str()) != 0) err = errno;
    unlink(temporary.c_str());
    if (!err) return file;
    if (file.shared) {
        if (kind == NamedObject::Kind::Mutex && initialState)
            pthread_mutex_unlock(&file.shared->mutex.lock);
        Unmap(file.shared);
    }
    raced = err == EEXIST;
    SetLastError(Win32FromErrno(err));
    return {};
}

// Maps an existing object's file; nullptr with the last error set when it
// is not a named object's file.
NamedObject::Shared* MapExisting(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(kFileSize)) {
        return platform::FailWith(ERROR_INVALID_HANDLE);
    }
    NamedObject::Shared* shared = Map(fd);
    if (!shared) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    auto kind = static_cast<NamedObject::Kind>(shared->kind);
    if (shared->version != kVersion ||
        (kind != NamedObject::Kind::ManualEvent && kind != NamedObject::Kind::AutoEvent &&
         kind != NamedObject::Kind::Mutex)) {
        Unmap(shared);
        return platform::FailWith(ERROR_INVALID_HANDLE);
    }
    return shared;
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
        ScopedFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (!fd && errno != ENOENT) {
            SetLastErrorFromErrno();
            return nullptr;
        }
        if (!fd) {
            if (disposition == Disposition::OpenOnly) {
                return platform::FailWith(ERROR_FILE_NOT_FOUND);
            }
            bool raced = false;
            NewFile file = CreateFile(path, kind, initialState, raced);
            if (raced) continue;
            if (!file.fd) return nullptr;
            auto object = std::make_shared<NamedObject>(path, file.fd.Release(), file.shared, kind,
                                                        kind == Kind::Mutex && initialState);
            OpenObjects()[path] = object;
            SetLastError(ERROR_SUCCESS);
            return object;
        }
        // No holder at all: left by processes that died. Remove it and start over.
        if (flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
            if (SameFile(fd.Get(), path)) unlink(path.c_str());
            continue;
        }
        // Waits only while a last holder is removing the file.
        RetryOnEintr([&] { return flock(fd.Get(), LOCK_SH); });
        if (!SameFile(fd.Get(), path)) continue;
        Shared* shared = MapExisting(fd.Get());
        if (!shared) return nullptr;
        auto object = std::make_shared<NamedObject>(path, fd.Release(), shared,
                                                    static_cast<Kind>(shared->kind), false);
        OpenObjects()[path] = object;
        SetLastError(ERROR_ALREADY_EXISTS);
        return object;
    }
    return platform::FailWith(ERROR_GEN_FAILURE);
}

NamedObject::NamedObject(std::string path, int fd, Shared* shared, Kind kind, bool ownedByCaller)
    : path_(std::move(path)),
      fd_(fd),
      shared_(shared),
      kind_(kind),
      event_(&shared->event, kind == Kind::ManualEvent),
      mutex_(&shared->mutex) {
    if (ownedByCaller) mutex_.TryAcquire();
}

NamedObject::~NamedObject() {
    // An owned mutex stays owned: its owner thread's end abandons it. Its
    // mapping stays too, since that thread's robust list points into it.
    bool held = kind_ == Kind::Mutex && mutex_.HeldInThisProcess();
    if (!held && flock(fd_, LOCK_EX | LOCK_NB) == 0 && SameFile(fd_, path_)) unlink(path_.c_str());
    if (!held) {
        Unmap(shared_);
        close(fd_);
    }
    std::lock_guard openLock(g_openMutex);
    auto found = OpenObjects().find(path_);
    if (found != OpenObjects().end() && found->second.expired()) OpenObjects().erase(found);
}

void NamedObject::BeginWait() {
    if (IsEvent()) event_.BeginWait();
}

void NamedObject::EndWait() {
    if (IsEvent()) event_.EndWait();
}

void NamedObject::AddFutexWatches(std::vector<FutexWatch>& watches) {
    if (IsEvent()) {
        event_.AddFutexWatches(watches);
    } else {
        mutex_.AddFutexWatches(watches);
    }
}

WaitOutcome NamedObject::TryAcquire() {
    return IsEvent() ? event_.TryAcquire() : mutex_.TryAcquire();
}

bool NamedObject::IsSignalled() { return IsEvent() ? event_.IsSignalled() : mutex_.IsSignalled(); }

void NamedObject::Undo() {
    if (IsEvent()) {
        event_.Undo();
    } else {
        mutex_.Release();
    }
}

bool NamedObject::SetState(bool signalled) {
    signalled ? event_.Set() : event_.Reset();
    return true;
}

bool NamedObject::Release() { return mutex_.Release(); }

}  // namespace platform
