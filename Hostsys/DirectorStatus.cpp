// The director's status file and the look-up of one process by id in /proc.
#include "Hostsys/DirectorStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace director_status {

namespace {

constexpr const char* kStatusFile = "/specific/tavro/data/tavro.stat";
constexpr size_t kKeptNameLength = 15;  // what /proc/<pid>/comm holds

// atol of a word, kept to the range of process ids: 0 for anything else.
DWORD ProcessId(const char* text) {
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (errno != 0 || value <= 0 || value > INT32_MAX) return 0;
    return static_cast<DWORD>(value);
}

// The file name of process `pid`'s executable, empty when unknown.
std::string ExecutableName(DWORD pid) {
    std::vector<char> target(4096);
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size()) return {};
    std::string path(target.data(), static_cast<size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path.substr(path.rfind(platform::kPathSeparator) + 1);
}

// Whether process `pid` has ended and waits only to be reaped: state Z
// (zombie) or X (dead) in /proc/<pid>/stat. The state follows the last ')'
// of the line, since the name before it may hold any character. A line
// that cannot be read tells nothing (the caller's look-up decides).
bool Ended(DWORD pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) return false;
    const size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= line.size()) return false;
    const char state = line[nameEnd + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace

std::FILE* OpenRegularFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0) {
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    } else if (std::FILE* file = fdopen(fd, "r")) {
        return file;
    } else {
        error = errno;
    }
    close(fd);
    errno = error;
    return nullptr;
}

std::string StatusFilePath(const std::string& home) { return home + kStatusFile; }

bool ReadWord(std::FILE* in, std::string& word) {
    word.clear();
    int c;
    do {
        c = std::fgetc(in);
    } while (c != EOF && std::isspace(c));
    for (; c != EOF && !std::isspace(c); c = std::fgetc(in)) word += static_cast<char>(c);
    return !word.empty();
}

int ReadStatusFile(bool quiet, std::string& pid) {
    pid.clear();
    const char* home = std::getenv("VANTRIX_HOME");
    if (!home || !*home) {
        if (!quiet) std::printf("The VANTRIX_HOME environment variable is not set.\n");
        return kUnknown;
    }
    const std::string path = StatusFilePath(home);
    std::FILE* in = OpenRegularFile(path.c_str());
    if (!in) {
        if (!quiet) std::printf("The TAVRO status file, %s could not be opened\n", path.c_str());
        return kUnknown;
    }
    const int status = ReadStatus(in, quiet, pid);
    std::fclose(in);
    return status;
}

int ReadStatus(std::FILE* in, bool quiet, std::string& pid) {
    pid.clear();
    std::string word;
    if (!ReadWord(in, word)) {
        if (!quiet) std::printf("Could not read status from TAVRO status file.\n");
        return kUnknown;
    }
    int status = kUnknown;
    if (word == "SYSTEM_DOWN" || word == "SYSTEM_ERROR") status = kDown;
    if (word == "SYSTEM_STARTING") status = kStarting;
    if (word == "SYSTEM_UP") status = kUp;
    if (word == "SYSTEM_SHUTDOWN") status = kShutdown;
    if (status < kStarting) return status;
    if (!ReadWord(in, pid) && !quiet) std::printf("Could not read PID from TAVRO status file.\n");
    return status;
}

bool ProcessName(DWORD pid, std::string& name) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream comm(dir + "/comm");
    if (comm && std::getline(comm, name)) return true;
    if (access(dir.c_str(), F_OK) != 0) return false;
    name = "unknown";
    return true;
}

Lookup LookUpProcess(const char* pidText, const char* pattern) {
    Lookup result;
    const DWORD pid = ProcessId(pidText);
    std::string name;
    if (pid == 0 || !ProcessName(pid, name) || Ended(pid)) return result;
    if (name.find("java") != std::string::npos) {
        result.found = true;
    } else if (name.find("TavroService") != std::string::npos) {
        result.found = result.service = true;
    } else if (pattern) {
        result.found = name.find(pattern) != std::string::npos ||
                       (std::strlen(pattern) > kKeptNameLength &&
                        ExecutableName(pid).find(pattern) != std::string::npos);
    }
    return result;
}

int CheckPidFile(const char* path, const char* pattern) {
    std::FILE* in = OpenRegularFile(path);
    if (!in) return kPidFileUnreadable;
    const int result = CheckPid(in, pattern);
    std::fclose(in);
    return result;
}

int CheckPid(std::FILE* in, const char* pattern) {
    std::string word;
    if (!ReadWord(in, word)) return kPidFileUnreadable;
    return LookUpProcess(word.c_str(), pattern).found ? kPidFileRunning : kPidFileOther;
}

}  // namespace director_status
