// The wizard's real host: the platform's registry and profile calls, files, clock, host facts,
// launcher.
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/base/Posix.h"
#include "platform/paths.h"
#include "platform/winbase.h"
#include "platform/winreg.h"
#include "wizard/WizardHost.h"

namespace wizard {
namespace {

using platform::RetryOnEintr;
using platform::ScopedFd;

constexpr mode_t kFileMode = 0644;
constexpr int kLaunchWaitMs = 5000;
constexpr DWORD kProfileBufferSize = 255;

HKEY RootKey(uint32_t root) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(root)); }

// A readable regular file, opened; invalid (errno set) otherwise.
ScopedFd OpenRegular(const std::string& path) {
    ScopedFd fd(RetryOnEintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return fd;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EISDIR;
        return ScopedFd();
    }
    return fd;
}

DWORD CodeForErrno(int err) {
    if (err == ELOOP || err == EISDIR) return ERROR_ACCESS_DENIED;
    return platform::Win32FromErrno(err);
}

}  // namespace

std::string ResolveNoCase(const std::string& root, const std::string& relative) {
    std::string path = root;
    size_t from = 0;
    while (from <= relative.size()) {
        size_t to = relative.find(platform::kPathSeparator, from);
        if (to == std::string::npos) to = relative.size();
        std::string part = relative.substr(from, to - from);
        from = to + 1;
        if (part.empty()) continue;
        if (!path.empty() && path.back() != platform::kPathSeparator)
            path += platform::kPathSeparator;
        std::string dir = path.empty() ? "." : path;
        struct stat info {};
        if (lstat((path + part).c_str(), &info) == 0) {
            path += part;
            continue;
        }
        std::string best;
        if (DIR* stream = opendir(dir.c_str())) {
            while (dirent* entry = readdir(stream)) {
                std::string name = entry->d_name;
                if (platform::AsciiEqualNoCase(name, part) && (best.empty() || name < best))
                    best = name;
            }
            closedir(stream);
        }
        path += best.empty() ? part : best;
    }
    return path;
}

std::string DomainFromResolvConf(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::string search;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        std::string value;
        if (!(words >> word >> value)) continue;
        if (word == "domain") return value;
        if (word == "search" && search.empty()) search = value;
    }
    return search;
}

LONG SystemWizardHost::QueryValue(uint32_t root, const std::string& subKey, const std::string& name,
                                  DWORD capacity, DWORD& type, std::string& data) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(RootKey(root), subKey.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return rc;
    data.assign(capacity, ' ');
    DWORD size = capacity;
    rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                          &size);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) data.resize(size);
    return rc;
}

LONG SystemWizardHost::SetStringValue(uint32_t root, const std::string& subKey,
                                      const std::string& name, const std::string& text) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(RootKey(root), subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
    return rc;
}

bool SystemWizardHost::FileExists(const std::string& root, const std::string& relative) {
    return OpenRegular(ResolveNoCase(root, relative)).Valid();
}

std::optional<std::string> SystemWizardHost::ReadFile(const std::string& root,
                                                      const std::string& relative, size_t limit) {
    ScopedFd fd = OpenRegular(ResolveNoCase(root, relative));
    if (!fd) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < limit) {
        size_t want = std::min(sizeof chunk, limit - bytes.size());
        ssize_t n = RetryOnEintr([&] { return read(fd.Get(), chunk, want); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
}

DWORD SystemWizardHost::WriteFile(const std::string& root, const std::string& relative,
                                  const std::string& bytes) {
    std::string path = ResolveNoCase(root, relative);
    ScopedFd fd(RetryOnEintr([&] {
        return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kFileMode);
    }));
    if (!fd) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : CodeForErrno(errno);
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
    if (!platform::WriteAll(fd.Get(), bytes.data(), bytes.size())) return CodeForErrno(errno);
    if (RetryOnEintr([&] { return close(fd.Release()); }) != 0) return CodeForErrno(errno);
    return ERROR_SUCCESS;
}

std::string SystemWizardHost::ProfileString(const std::string& root, const std::string& relative,
                                            const std::string& section, const std::string& key) {
    char buffer[kProfileBufferSize] = "";
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer,
                                       ResolveNoCase(root, relative).c_str());
    return std::string(buffer, n);
}

DWORD SystemWizardHost::WriteProfileString(const std::string& root, const std::string& relative,
                                           const std::string& section, const std::string& key,
                                           const std::string& value) {
    if (WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(),
                                   ResolveNoCase(root, relative).c_str()))
        return ERROR_SUCCESS;
    return GetLastError();
}

std::tm SystemWizardHost::LocalNow() {
    time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::optional<std::string> SystemWizardHost::HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || !*name) return std::nullopt;
    std::string host = name;
    return host.substr(0, host.find('.'));
}

std::optional<std::string> SystemWizardHost::DnsDomain() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0 && *name) {
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
            std::string canonical = found && found->ai_canonname ? found->ai_canonname : "";
            freeaddrinfo(found);
            size_t dot = canonical.find('.');
            if (dot != std::string::npos && dot + 1 < canonical.size())
                return canonical.substr(dot + 1);
        }
    }
    ScopedFd fd = OpenRegular("/etc/resolv.conf");
    std::string text;
    char chunk[4096];
    ssize_t n = 0;
    while (fd && text.size() < 65536 &&
           (n = RetryOnEintr([&] { return read(fd.Get(), chunk, sizeof chunk); })) > 0)
        text.append(chunk, static_cast<size_t>(n));
    std::string domain = DomainFromResolvConf(text);
    if (domain.empty()) return std::nullopt;
    return domain;
}

DWORD SystemWizardHost::Launch(const std::string& root, const std::string& relative,
                               const std::vector<std::string>& arguments) {
    std::string path = ResolveNoCase(root, relative);
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through the pipe; a successful
    // one closes it. The child between them ends at once, so the program
    // is nobody's child here and leaves no zombie.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return CodeForErrno(errno);
    ScopedFd readEnd(pipeFds[0]);
    ScopedFd writeEnd(pipeFds[1]);
    pid_t child = fork();
    if (child < 0) return CodeForErrno(errno);
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        // Descriptors the host left inheritable (a listener, a client
        // connection) stay with the host.
        constexpr unsigned kCloseRangeCloexec = 1u << 2;
        syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec);
        execv(path.c_str(), argv.data());
        int err = errno;
        [[maybe_unused]] ssize_t n = write(pipeFds[1], &err, sizeof err);
        _exit(127);
    }
    writeEnd.Reset();
    int status = 0;
    RetryOnEintr([&] { return waitpid(child, &status, 0); });
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ERROR_GEN_FAILURE;
    pollfd wait{readEnd.Get(), POLLIN, 0};
    if (RetryOnEintr([&] { return poll(&wait, 1, kLaunchWaitMs); }) <= 0) return ERROR_SUCCESS;
    int err = 0;
    ssize_t n = RetryOnEintr([&] { return read(readEnd.Get(), &err, sizeof err); });
    if (n == static_cast<ssize_t>(sizeof err)) return CodeForErrno(err);
    return ERROR_SUCCESS;
}

}  // namespace wizard
