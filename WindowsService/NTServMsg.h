// The service program's event-log message table.
#pragma once

#include <cstddef>

#include "platform/winevt.h"

// Message ids of the table; %1 is the service name where an entry passes one.
constexpr DWORD EVMSG_INSTALLED = 100;
constexpr DWORD EVMSG_REMOVED = 101;
constexpr DWORD EVMSG_NOTREMOVED = 102;
constexpr DWORD EVMSG_CTRLHANDLERNOTINSTALLED = 103;
constexpr DWORD EVMSG_FAILEDINIT = 104;
constexpr DWORD EVMSG_STARTED = 105;
constexpr DWORD EVMSG_BADREQUEST = 106;
constexpr DWORD EVMSG_DEBUG = 107;
constexpr DWORD EVMSG_STOPPED = 108;

// The table (language 1033), made this program's message table by the
// service object, so that events of its source carry these texts.
extern const platform::MessageTableEntry kNTServMessages[];
extern const size_t kNTServMessageCount;
