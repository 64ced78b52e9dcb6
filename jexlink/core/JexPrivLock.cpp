// The process-wide file lock: one recursive mutex around the library's shared files.
#include "jexlink/core/JexPrivLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "platform/base/Posix.h"

namespace {

std::atomic<JexMutex*> processMutex{nullptr};
std::atomic<bool> initialised{false};
std::atomic<int> privilegedFlag{0};

// Creates the mutex once; it lives until the process ends.
JexMutex& ProcessMutex() {
    static std::mutex creation;
    JexMutex* mutex = processMutex.load(std::memory_order_acquire);
    if (mutex) return *mutex;
    std::lock_guard hold(creation);
    mutex = processMutex.load(std::memory_order_relaxed);
    if (!mutex) {
        mutex = new JexMutex(2);
        processMutex.store(mutex, std::memory_order_release);
    }
    return *mutex;
}

}  // namespace

JexPrivLock::JexPrivLock(int privileged) {
    JexTrace trace("JexPrivLock", "JexPrivLock()", __LINE__);
    ProcessMutex().Lock();
    privilegedFlag = privileged != 0;
}

JexPrivLock::~JexPrivLock() {
    JexTrace trace("JexPrivLock", "~JexPrivLock()", __LINE__);
    privilegedFlag = 0;
    ProcessMutex().Unlock();
}

void JexPrivLock::Initialize() {
    JexTrace trace("JexPrivLock", "Initialize()", __LINE__);
    if (initialised.exchange(true)) return;
    ProcessMutex();
    privilegedFlag = 0;
}

void JexPrivLock::Reinitialize() {
    JexTrace trace("JexPrivLock", "Reinitialize()", __LINE__);
    JexMutex& mutex = ProcessMutex();
    JexMutexLock hold(mutex);
    initialised = false;
    Initialize();
}

FILE* JexPrivLock::fopen(const char* path, const char* mode, int privileged) {
    JexTrace trace("JexPrivLock", "fopen()", __LINE__);
    JexPrivLock hold(privileged);
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    if (!std::strchr(mode, 'a') && !std::strchr(mode, 'w')) return std::fopen(path, mode);
    // A file written here (a log, a map appended to) is made 0640 at most
    // whatever the umask, and never through a link planted in its place.
    const bool update = std::strchr(mode, '+') != nullptr;
    const int flags = (update ? O_RDWR : O_WRONLY) | (std::strchr(mode, 'a') ? O_APPEND : O_TRUNC);
    const int fd = platform::OpenOwnFile(path, flags, kWrittenFileMode);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (!stream) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

int JexPrivLock::fclose(FILE* stream, int privileged) {
    JexTrace trace("JexPrivLock", "fclose()", __LINE__);
    JexPrivLock hold(privileged);
    if (!stream) {
        errno = EINVAL;
        return EOF;
    }
    return std::fclose(stream);
}

int JexPrivLock::Privileged() { return privilegedFlag; }

bool JexPrivLock::LockFile(int fd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
