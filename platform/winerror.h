// Win32 result codes, the thread's last error, and their texts.
#pragma once

#include "platform/wintypes.h"

#define WIN_ERROR(name, code, text) constexpr DWORD name = code;
#include "platform/winerror.def"
#undef WIN_ERROR

DWORD GetLastError();
void SetLastError(DWORD code);

namespace platform {

// Win32 code for a C library errno value.
DWORD Win32FromErrno(int err);

// Sets the last error from errno and returns the Win32 code.
DWORD SetLastErrorFromErrno();

// Text of a code from the layer's table, or nullptr for an unknown code.
const char* Win32ErrorText(DWORD code);

}  // namespace platform
