// Service records in the registry, the last reported status in the state directory, and the names
// both use.
#pragma once

#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/winsvc.h"

namespace platform::services {

// Variables by which StartServiceA tells the started program which service
// it runs: "<token>:<name>", the descriptor to report readiness on, and the
// start arguments as "<length>:<bytes>" items.
inline constexpr const char* kStartVar = "TAVRO_SERVICE_START";
inline constexpr const char* kReadyFdVar = "TAVRO_SERVICE_READY_FD";
inline constexpr const char* kArgsVar = "TAVRO_SERVICE_ARGS";
// The descriptor of the life lock the program inherits.
inline constexpr const char* kLifeFdVar = "TAVRO_SERVICE_LIFE_FD";

// How long StartServiceA waits for the program's dispatcher.
inline constexpr int kStartTimeoutMs = 30000;

// The file `<state>/services/<lower-case name><suffix>`; empty (last error
// set) when the state directory is refused.
std::filesystem::path ServiceFile(const std::string& name, const char* suffix);
// The registry key of the service's record, under HKEY_LOCAL_MACHINE.
std::string ServiceKey(const std::string& name);

// The service name of an open service handle; nullopt with
// ERROR_INVALID_HANDLE for any other handle.
std::optional<std::string> ServiceName(SC_HANDLE service);

// --- Last reported status, shared through a file ---------------------------

struct StatusRecord {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    // The process that runs the service; 0 while its start is under way.
    int32_t pid = 0;
    // The process that is starting it, while `pid` is 0.
    int32_t starter = 0;
    // Matches the started program to this start.
    uint64_t token = 0;
};

// Serialises the read-modify-write of one service's status file (and the
// creation and removal of its record) across processes.
class StatusLock {
public:
    explicit StatusLock(const std::string& name);
    // Whether the file lock is held; when not, the last error says why and
    // the caller must not go on.
    [[nodiscard]] bool Held() const { return held_; }

private:
    ScopedFd fd_;
    bool held_ = false;
};

// The status file as written; a stopped status when there is none.
StatusRecord ReadRecord(const std::string& name);
// Replaces the status file in one step; false with the last error set.
[[nodiscard]] bool WriteRecord(const std::string& name, const StatusRecord& record);
// The service's status as it stands: a service whose process no longer
// holds its life lock, without reporting SERVICE_STOPPED, is stopped with
// ERROR_PROCESS_ABORTED.
StatusRecord CurrentRecord(const std::string& name);

// --- The life lock ---------------------------------------------------------

// The service's process holds a lock on `<name>.live` for as long as it
// lives (the starter takes it and hands it down through fork and exec), so
// that "running" never rests on a process id that may have been reused.
// Takes it; the descriptor, or -1 (last error ERROR_SERVICE_ALREADY_RUNNING
// when another process holds it).
[[nodiscard]] int TakeLifeLock(const std::string& name);
// Whether some process holds the service's life lock.
bool LifeLockHeld(const std::string& name);

// --- Records in the registry -------------------------------------------------

enum class Record { kMissing, kPresent, kMarkedForDelete };

Record FindRecord(const std::string& name);
// Removes the service's record and status.
void RemoveService(const std::string& name);
// A service marked for removal whose process has ended is removed now.
Record SettleRecord(const std::string& name);

// --- The control channel -----------------------------------------------------

// The address of the service's control socket: a short name derived from
// the service name, reached through the directory's descriptor when the
// state directory's path is too long for a socket address. `dir` keeps
// that descriptor open while the address is used. False (last error set)
// when the state directory is refused.
[[nodiscard]] bool ControlAddress(const std::string& name, sockaddr_un& address, ScopedFd& dir);

// Reads exactly `size` bytes before the deadline; false on end, error or
// time-out (errno ETIMEDOUT).
[[nodiscard]] bool ReadFull(int fd, void* buffer, size_t size,
                            std::chrono::steady_clock::time_point deadline);
// Sends all of `size` bytes without raising SIGPIPE.
[[nodiscard]] bool SendFull(int fd, const void* data, size_t size);

// Messages on the start pipe: a tag and a 32-bit number.
inline constexpr char kMsgPid = 'P';    // intermediate process: the service's pid
inline constexpr char kMsgExec = 'E';   // exec failed: errno
inline constexpr char kMsgFork = 'F';   // fork failed: errno
inline constexpr char kMsgReady = 'R';  // dispatcher is up
inline constexpr size_t kMsgSize = 5;

// Writes one start-pipe message (async-signal-safe).
void PutMessage(int fd, char tag, int32_t value);

// The start arguments as one variable's value, and back.
std::string EncodeArgs(DWORD argc, LPCSTR* args);
std::vector<std::string> DecodeArgs(const char* text);

}  // namespace platform::services
