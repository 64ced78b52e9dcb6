// Console control handlers.
#pragma once

#include "platform/wintypes.h"

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);

// Adds (`add` TRUE) or removes a routine that is offered the process's
// console events in turn; one that answers TRUE ends the
// event's handling, and when none does the event takes its usual course.
// Interrupt (SIGINT) arrives as CTRL_C_EVENT and hang-up (SIGHUP) as
// CTRL_CLOSE_EVENT; termination requests (SIGTERM) are left alone so that a
// process can always be stopped. The routines run in signal context and must
// only do what is safe there. A null routine with `add` TRUE ignores Ctrl+C.
// Adding a routine that is already in the list keeps one entry.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);
