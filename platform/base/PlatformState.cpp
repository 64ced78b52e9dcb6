// Platform state directory: where it is, that it is private, and the session number.
#include "platform/PlatformState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>

#include "platform/base/Posix.h"
#include "platform/winerror.h"

namespace platform {
namespace {

// Makes `path` a directory 0700 unless it exists; then checks that it is
// a private directory of the effective user. False with the last error set
// (and, for a refusal, a line on standard error).
bool EnsurePrivateDir(const std::filesystem::path& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastErrorFromErrno();
        return false;
    }
    ScopedFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    const char* why = nullptr;
    if (!dir || fstat(dir.Get(), &info) != 0) {
        if (errno != ELOOP && errno != ENOTDIR) {
            SetLastErrorFromErrno();
            return false;
        }
        why = "it is a link or not a directory";
    } else if (info.st_uid != geteuid()) {
        why = "it belongs to another user";
    } else if ((info.st_mode & 077) != 0) {
        why = "the group or others have access to it";
    }
    if (!why) return true;
    // Said once per process and directory, however often it is asked for.
    static std::mutex saidLock;
    static auto* said = new std::set<std::string>;
    std::lock_guard lock(saidLock);
    SetLastError(ERROR_ACCESS_DENIED);
    if (!said->insert(path.string()).second) return false;
    std::fprintf(stderr,
                 "Platform state directory %s refused: %s (it must be a directory of user %u with "
                 "mode 0700)\n",
                 path.c_str(), why, static_cast<unsigned>(geteuid()));
    return platform::FailWith(ERROR_ACCESS_DENIED);
}

}  // namespace

std::string StateDirText() {
    const char* dir = std::getenv(kStateDirVar);
    if (dir && *dir) return dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return (std::filesystem::path(runtime) / "tavro-platform").native();
    const uid_t uid = geteuid();
    if (uid == 0) return "/var/lib/tavro-platform";
    return "/var/tmp/tavro-platform-" + std::to_string(uid);
}

std::filesystem::path StateDirPath() { return StateDirText(); }

std::filesystem::path StateDir() {
    std::filesystem::path path = StateDirPath();
    // The parents of a directory named by the variable are the caller's to
    // make; only the state directory itself is made private.
    std::error_code ignored;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
    if (!EnsurePrivateDir(path)) return {};
    return path;
}

std::filesystem::path StateSubdir(const std::string& name) {
    std::filesystem::path state = StateDir();
    if (state.empty()) return {};
    std::filesystem::path path = state;
    for (const std::filesystem::path& part : std::filesystem::path(name)) {
        path /= part;
        if (!EnsurePrivateDir(path)) return {};
    }
    return path;
}

int OpenStateFile(const std::filesystem::path& path, int flags) {
    int fd = RetryOnEintr(
        [&] { return open(path.c_str(), flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); });
    // A file made by an older version, or under another umask, is made
    // private too; one its owner made read-only stays so.
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && (info.st_mode & 077) != 0)
        fchmod(fd, info.st_mode & 0700);
    return fd;
}

int SessionId() {
    const char* session = std::getenv(kSessionVar);
    return (session && session[0] == '0' && session[1] == '\0') ? 0 : 1;
}

}  // namespace platform
