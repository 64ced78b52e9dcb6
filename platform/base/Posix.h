// Small helpers over system calls shared by the platform layer: scoped descriptors, EINTR retries,
// eventfd wake-ups, ASCII case folding and Win32 failure returns.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/winerror.h"

namespace platform {

// Calls `call` again while it fails with EINTR; returns its last result.
template <class Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

// Owns one descriptor and closes it at the end of its scope.
class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.Release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    // Gives up ownership without closing.
    [[nodiscard]] int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A non-blocking, close-on-exec eventfd holding `initial`, or -1.
[[nodiscard]] int NewEventFd(unsigned initial = 0);
// Adds one to an eventfd, making it poll readable.
void WakeEventFd(int fd);
// Reads an eventfd back to zero.
void DrainEventFd(int fd);

// ASCII lower case of `text`; other bytes stay as they are.
std::string AsciiLower(std::string_view text);
// ASCII upper case of `text`; other bytes stay as they are.
std::string AsciiUpper(std::string_view text);
// Whether `a` and `b` are equal when ASCII case is ignored.
bool AsciiEqualNoCase(std::string_view a, std::string_view b);

// `base` followed by the names of `relative`, separated by kPathSeparator
// ("" for `base` is the current directory, without a prefix, or the root when
// `relative` begins with a separator). A name whose
// exact spelling does not exist is matched to an existing entry without
// regard to ASCII case (the first in byte order), since one directory is not
// spelt alike everywhere ("Jre" and "jre", "Keys" and "keys"); a name that
// matches nothing stays as it is.
std::string ResolveNoCase(const std::string& base, std::string_view relative);

// The local time now in the strftime `format` (at most 127 characters).
std::string LocalTime(const char* format);

// Opens `path` for writing, creating it with at most the permission bits of
// `mode` whatever the umask, close-on-exec, and never through a symbolic
// link (ELOOP); `flags` adds to O_CREAT | O_CLOEXEC | O_NOFOLLOW. An
// existing file of this user with bits beyond `mode` is narrowed to them.
// A descriptor, or -1 with errno set.
[[nodiscard]] int OpenOwnFile(const char* path, int flags, mode_t mode);
// OpenOwnFile for appending as a stdio stream ("a", or "a+" with `read`);
// null with errno set.
[[nodiscard]] FILE* AppendOwnFile(const char* path, mode_t mode, bool read = false);
// Whether the file open on `fd` can be written by users other than its
// owner (group or others may write it).
bool WritableByOthers(int fd);

// The user id of the account `name` in the system's user database.
std::optional<uid_t> UserId(const std::string& name);

// What FailWith returns: the failure value of the caller's return type
// (FALSE, false, nullptr, 0).
struct FailureValue {
    template <class T>
    constexpr operator T() const {
        return T{};
    }
};

// Sets `code` as the last error and gives the failure value, for the usual
// "fail with this code" return of a call: `return FailWith(ERROR_...);`.
inline FailureValue FailWith(DWORD code) {
    ::SetLastError(code);
    return {};
}

// Writes all of `size` bytes to `fd`, retrying short writes and EINTR.
[[nodiscard]] bool WriteAll(int fd, const void* data, size_t size);

}  // namespace platform
