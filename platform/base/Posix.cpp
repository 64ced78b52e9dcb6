// Small helpers over system calls shared by the platform layer.
#include "platform/base/Posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/paths.h"

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

namespace {

// `dir` and `name` with one separator between them.
std::string JoinName(const std::string& dir, std::string_view name) {
    std::string out = dir;
    if (!out.empty() && out.back() != kPathSeparator) out += kPathSeparator;
    return out.append(name);
}

// The entry of `dir` that is `name` without regard to ASCII case, the first
// in byte order; empty when there is none.
std::string EntryNoCase(const std::string& dir, std::string_view name) {
    std::string best;
    DIR* listing = opendir(dir.empty() ? "." : dir.c_str());
    if (!listing) return best;
    while (const dirent* entry = readdir(listing)) {
        if (AsciiEqualNoCase(entry->d_name, name) && (best.empty() || entry->d_name < best))
            best = entry->d_name;
    }
    closedir(listing);
    return best;
}

}  // namespace

std::string ResolveNoCase(const std::string& base, std::string_view relative) {
    std::string dir = base;
    if (dir.empty() && relative.starts_with(kPathSeparator)) dir = kPathSeparator;
    {
        // A path that exists as spelt has every component as spelt: one
        // look-up instead of one per component.
        std::string whole = dir;
        std::string_view rest = relative;
        bool any = false;
        while (!rest.empty()) {
            const size_t end = std::min(rest.find(kPathSeparator), rest.size());
            const std::string_view name = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
            if (name.empty()) continue;
            whole = JoinName(whole, name);
            any = true;
        }
        struct stat info;
        if (!any) return dir;
        if (stat(whole.c_str(), &info) == 0) return whole;
    }
    while (!relative.empty()) {
        const size_t end = std::min(relative.find(kPathSeparator), relative.size());
        const std::string_view name = relative.substr(0, end);
        relative.remove_prefix(std::min(end + 1, relative.size()));
        if (name.empty()) continue;
        std::string exact = JoinName(dir, name);
        struct stat info;
        if (stat(exact.c_str(), &info) == 0) {
            dir = std::move(exact);
            continue;
        }
        const std::string entry = EntryNoCase(dir, name);
        dir = entry.empty() ? std::move(exact) : JoinName(dir, entry);
    }
    return dir;
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
