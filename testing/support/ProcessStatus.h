// What this process's status shows of its own resources: resident memory, threads, descriptors.
#pragma once

#include <dirent.h>

#include <cstring>
#include <fstream>
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

}  // namespace tavro::testing
