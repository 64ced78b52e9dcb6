// The event log: event sources, reported events and program message tables.
#pragma once

#include <filesystem>

#include "platform/winerror.h"
#include "platform/wintypes.h"

// Events are appended to one file in the platform state directory
// ("eventlog/Application.log"), one line per event:
//   <local time YYYY-MM-DD hh:mm:ss> TAB <source> TAB <type> TAB <id> TAB <text>
// where <type> is "Error", "Warning", "Information", "Audit Success" or
// "Audit Failure" and <text> is the message with its inserts, line ends
// turned into blanks. Each event also goes to syslog.
//
// The text comes from the message table of the source's message file
// ("EventMessageFile" under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>).
// A program carries its table in its own code and makes it known with
// platform::RegisterMessageTable; when the message file is not the
// reporting program, or the table has no such id, the line says so and
// lists the inserts.

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

using PSID = void*;

// Only the local machine's log is available (`serverName` null or empty).
HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

namespace platform {

// One message of a program's message table: %1 .. %9 stand for the
// insertion strings.
struct MessageTableEntry {
    DWORD id;
    const char* text;
};

// Makes `entries` (static storage, `count` rows) this program's message
// table. A later call replaces the table.
void RegisterMessageTable(const MessageTableEntry* entries, size_t count);

// The file the events are appended to.
std::filesystem::path EventLogFile();

}  // namespace platform
