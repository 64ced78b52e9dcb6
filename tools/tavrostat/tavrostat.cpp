// tavrostat: tells from the status file and the running processes whether the director runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Hostsys/DirectorStatus.h"
#include "platform/Program.h"

namespace {

namespace status = director_status;

// Exit statuses of the report.
constexpr int kNotRunning = 1;
constexpr int kRunning = 3;
constexpr int kStartingUp = 5;
constexpr int kShuttingDown = 7;
constexpr int kProcessGone = 9;
constexpr int kUndetermined = 99;

bool IsActive(int state) { return state >= status::kStarting && state <= status::kShutdown; }

int Report(bool quiet) {
    std::string pid;
    const int state = status::ReadStatusFile(quiet, pid);
    if (state == status::kDown) {
        if (!quiet) std::printf("The Director process is NOT running.\n");
        return kNotRunning;
    }
    if (!IsActive(state) || pid.empty()) {
        if (!quiet) std::printf("The status of the Director process could not be determined\n");
        return kUndetermined;
    }
    if (!quiet) std::printf("Checking for TAVRO director with PID %s\n", pid.c_str());
    if (!status::LookUpProcess(pid.c_str(), nullptr).found) {
        if (!quiet)
            std::printf(
                "The Director's status file indicates it is running, but the process ID\n"
                "was not found, so the Director process is NOT running.\n");
        return kProcessGone;
    }
    struct Outcome {
        const char* message;
        int exit;
    };
    static constexpr Outcome kOutcomes[] = {
        {"The Director process is starting up.\n", kStartingUp},
        {"The Director process is running.\n", kRunning},
        {"The Director process is shutting down.\n", kShuttingDown},
    };
    const Outcome& outcome = kOutcomes[state - status::kStarting];
    if (!quiet) std::fputs(outcome.message, stdout);
    return outcome.exit;
}

// The director's process id as the exit status (mapped so that an id above
// 255 never reads as 0) and on standard output; 0 when it does not run.
int PidQuery() {
    std::string pid;
    const int state = status::ReadStatusFile(false, pid);
    if (!IsActive(state) || pid.empty()) return 0;
    if (!status::LookUpProcess(pid.c_str(), nullptr).found) return 0;
    const auto id = static_cast<DWORD>(std::strtol(pid.c_str(), nullptr, 10));
    std::printf("%lu\n", static_cast<unsigned long>(id));
    return platform::ExitStatusFromWin32(id);
}

// 3 when the director runs inside the service program, else 1.
int ServiceCheck() {
    std::string pid;
    if (status::ReadStatusFile(false, pid) != status::kUp || pid.empty()) return kNotRunning;
    const status::Lookup process = status::LookUpProcess(pid.c_str(), nullptr);
    return process.found && process.service ? kRunning : kNotRunning;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (!std::strcmp(mode, "pid")) return PidQuery();
    if (!std::strcmp(mode, "silent")) return Report(true);
    if (!std::strcmp(mode, "-f") && argc >= 5 && !std::strcmp(argv[3], "-m"))
        return status::CheckPidFile(argv[2], argv[4]);
    if (!std::strcmp(mode, "-tavro")) return ServiceCheck();
    return Report(false);
}
