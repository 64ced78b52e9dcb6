// The system's version and processor, the computer's and the user's names, and the process's
// environment variables.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/winbase.h"

namespace {

// setenv and getenv are not safe against each other; every change and read
// made through this layer holds this lock.
std::mutex g_environmentMutex;

// Copies `text` with its NUL into a caller's buffer of `size` characters.
bool Fits(const std::string& text, LPCSTR buffer, DWORD size) {
    return buffer && text.size() + 1 <= size;
}

std::string LookUpUserName(uid_t uid) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> work(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int rc = getpwuid_r(uid, &entry, work.data(), work.size(), &found);
        if (rc == ERANGE && work.size() < (1u << 20)) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc == 0 && found && found->pw_name && *found->pw_name) return found->pw_name;
        // A user without an entry in the password database goes by its number.
        return std::to_string(uid);
    }
}

// A look-up in the password database reads its files on every call, and a
// session asks for the name at each connect: the name is kept for a second
// for the effective user it was found for. A change of effective user is
// seen at once, a renamed user within that second.
std::string EffectiveUserName() {
    static std::mutex lock;
    static uid_t cachedUid = 0;
    static std::string cachedName;
    static std::chrono::steady_clock::time_point cachedAt;
    constexpr std::chrono::seconds kKept{1};
    const uid_t uid = geteuid();
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!cachedName.empty() && cachedUid == uid && now - cachedAt < kKept) return cachedName;
    }
    std::string name = LookUpUserName(uid);
    std::lock_guard<std::mutex> hold(lock);
    cachedUid = uid;
    cachedName = name;
    cachedAt = now;
    return name;
}

}  // namespace

DWORD GetVersion() {
    constexpr DWORD kMajor = 6, kMinor = 3, kBuild = 9600;
    return kMajor | kMinor << 8 | kBuild << 16;
}

void GetSystemInfo(SYSTEM_INFO* info) {
    if (!info) return;
    *info = SYSTEM_INFO{};
#if defined(__x86_64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
#elif defined(__i386__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
#elif defined(__aarch64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
#elif defined(__arm__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM;
#else
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
    const long page = sysconf(_SC_PAGESIZE);
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
    info->dwNumberOfProcessors = processors > 0 ? static_cast<DWORD>(processors) : 1;
}

// The host name up to its first dot, at most MAX_COMPUTERNAME_LENGTH
// characters as for a NetBIOS name: callers size their buffers for that.
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        platform::SetLastErrorFromErrno();
        return FALSE;
    }
    std::string name(host);
    name = name.substr(0, name.find('.')).substr(0, MAX_COMPUTERNAME_LENGTH);
    if (!Fits(name, buffer, *size)) {
        *size = static_cast<DWORD>(name.size() + 1);
        return platform::FailWith(ERROR_BUFFER_OVERFLOW);
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}

// The name of the effective user; *size counts the NUL on success too.
BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::string name = EffectiveUserName();
    if (!Fits(name, buffer, *size)) {
        *size = static_cast<DWORD>(name.size() + 1);
        return platform::FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size() + 1);
    return TRUE;
}

// Returns the length without the NUL, or the size needed with the NUL when
// the buffer is too small, or 0 with ERROR_ENVVAR_NOT_FOUND when unset.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!name || !*name) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::string value;
    {
        std::lock_guard<std::mutex> lock(g_environmentMutex);
        const char* found = std::getenv(name);
        if (!found) {
            return platform::FailWith(ERROR_ENVVAR_NOT_FOUND);
        }
        value = found;
    }
    if (!Fits(value, buffer, size)) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    // An empty value returns 0 too; the cleared last error tells it apart.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(value.size());
}

// Sets a variable, or removes it when `value` is null.
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (!name || !*name || std::strchr(name, '=')) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(g_environmentMutex);
    int rc = value ? setenv(name, value, 1) : unsetenv(name);
    if (rc != 0) {
        platform::SetLastErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}
