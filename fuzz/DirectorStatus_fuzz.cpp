// Fuzz target: the director's status file and a pid file, read from arbitrary bytes.
//
// Reaches: the director's status file and a pid file of any bytes up to 64 KiB: every status, the
// pid field, the pid match.
// Cannot reach: the processes the pid names (the name given never runs), files that change while
// read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Hostsys/DirectorStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1 << 16) return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* in = fmemopen(bytes.data(), bytes.size(), "r");
    if (!in) return 0;
    std::string pid = "stale";
    const int status = director_status::ReadStatus(in, true, pid);
    if (status < director_status::kUnknown || status > director_status::kShutdown) std::abort();
    if (status < director_status::kStarting && !pid.empty()) std::abort();
    if (pid.find_first_of(" \t\n\r\v\f") != std::string::npos) std::abort();
    std::rewind(in);
    const int match = director_status::CheckPid(in, "fuzz-target-name-longer-than-15");
    if (match != director_status::kPidFileUnreadable && match != director_status::kPidFileOther &&
        match != director_status::kPidFileRunning)
        std::abort();
    std::fclose(in);
    return 0;
}
