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

// The state directory, created on first use. Defaults to
// /var/tmp/tavro-platform-<uid> when the variable is unset or empty.
std::filesystem::path StateDir();

// A subdirectory of the state directory, created on first use.
std::filesystem::path StateSubdir(const std::string& name);

// Session of this process: 0 for services, 1 otherwise.
int SessionId();

}  // namespace platform
