// What a process's status shows of its resources: resident memory, threads, descriptors,
// processor time; and how its log reports a shortage of descriptors.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tavro::testing {

// A number field of /proc/self/status ("VmRSS:" and "VmHWM:" in KiB,
// "Threads:"); -1 when it is not there.
inline long StatusField(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

// Starts the peak resident size ("VmHWM:") afresh from the current one;
// false when the system does not let it.
inline bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// The descriptors this process has open; -1 when they cannot be listed.
inline int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the one listing them
}

// The processor time process `pid` has used so far (user and system), in
// clock ticks; -1 when it cannot be read.
inline long CpuTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces: the fields follow its last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long utime = -1, stime = -1;
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) utime = std::stol(field);
        if (i == 13) stime = std::stol(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// Whether a program's log (its standard error) reports each shortage of
// descriptors once, not at every try: no line with "retrying" follows
// another before a line with "accepting again" ends that shortage.
inline bool EachShortageReportedOnce(const std::string& log) {
    bool shortage = false;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("retrying") != std::string::npos) {
            if (shortage) return false;
            shortage = true;
        } else if (line.find("accepting again") != std::string::npos) {
            shortage = false;
        }
    }
    return true;
}

}  // namespace tavro::testing
