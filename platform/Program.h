// The running program: its own file, and the process exit status for a Win32 exit code.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace platform {

// The absolute path of the running program's file, however long; empty
// (last error set) when it cannot be known.
std::string ModuleFileName();

// The process exit status (0 to 255) for a Win32 exit code: codes above 255
// keep their low byte, or become 255 when that is 0, so that a failure
// never reads as success.
int ExitStatusFromWin32(DWORD exitCode);

}  // namespace platform
