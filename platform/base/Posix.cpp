// Small helpers over system calls shared by the platform layer.
#include "platform/base/Posix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <vector>

namespace platform {

int NewEventFd(unsigned initial) { return eventfd(initial, EFD_CLOEXEC | EFD_NONBLOCK); }

void WakeEventFd(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = RetryOnEintr([&] { return write(fd, &one, sizeof one); });
}

void DrainEventFd(int fd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = RetryOnEintr([&] { return read(fd, &value, sizeof value); });
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool AsciiEqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string LocalTime(const char* format) {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[128] = "";
    strftime(text, sizeof text, format, &local);
    return text;
}

std::optional<uid_t> UserId(const std::string& name) {
    if (name.empty()) return std::nullopt;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return found->pw_uid;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = RetryOnEintr([&] { return write(fd, p, size); });
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int OpenOwnFile(const char* path, int flags, mode_t mode) {
    mode &= 0777;
    const int fd =
        RetryOnEintr([&] { return ::open(path, flags | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode); });
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
        (info.st_mode & 0777 & ~mode) != 0)
        fchmod(fd, info.st_mode & mode);
    return fd;
}

FILE* AppendOwnFile(const char* path, mode_t mode, bool read) {
    const int fd = OpenOwnFile(path, (read ? O_RDWR : O_WRONLY) | O_APPEND, mode);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, read ? "a+" : "a");
    if (!stream) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

bool WritableByOthers(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace platform
