// Where the platform layer keeps its state and which session a process is in.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

// Environment variable naming the state directory (registry database,
// named objects, service records and control sockets, event log).
inline constexpr const char* kStateDirVar = "TAVRO_PLATFORM_DIR";
// Environment variable holding the session number; processes started by the
// service-manager stand-in (and their children) carry "0".
inline constexpr const char* kSessionVar = "TAVRO_SESSION";

// Where the state directory is: the variable's value when set and not
// empty, else $XDG_RUNTIME_DIR/tavro-platform when that is set, else
// /var/lib/tavro-platform for root and /var/tmp/tavro-platform-<uid> for
// anyone else.
std::filesystem::path StateDirPath();
// The same as text, for a caller that only compares it (the registry, on
// every read): no path is built.
std::string StateDirText();

// The state directory, created (0700) on first use. It must belong to the
// effective user, be a directory (not a link) and give the group and others
// no access; otherwise it is refused: an empty path, the last error
// ERROR_ACCESS_DENIED, and one line on standard error saying why.
std::filesystem::path StateDir();

// A subdirectory of the state directory, created (0700) on first use; an
// empty path with the last error set when the state directory is refused
// or the subdirectory cannot be made.
std::filesystem::path StateSubdir(const std::string& name);

// Creates (or opens) a file of the state directory for writing, 0600
// whatever the umask, close-on-exec, never through a link. `flags` adds to
// O_CREAT | O_CLOEXEC | O_NOFOLLOW. A descriptor, or -1 with errno set.
[[nodiscard]] int OpenStateFile(const std::filesystem::path& path, int flags);

// Session of this process: 0 for services, 1 otherwise.
int SessionId();

}  // namespace platform
