// The director's status file and the look-up of one process by id, shared by CHostsys and
// tavrostat.
#pragma once

#include <cstdio>
#include <string>

#include "platform/wintypes.h"

namespace director_status {

// States of the status file's first word.
constexpr int kUnknown = -1;
constexpr int kDown = 0;
constexpr int kStarting = 1;
constexpr int kUp = 2;
constexpr int kShutdown = 3;

// Results of CheckPidFile.
constexpr int kPidFileUnreadable = 99;
constexpr int kPidFileOther = 1;
constexpr int kPidFileRunning = 3;

// The status file below the tree home `home`.
std::string StatusFilePath(const std::string& home);

// Opens the regular file `path` for reading; null with errno set when it
// cannot be opened or is not a regular file (a pipe or device planted under
// the name would block the open or the read).
std::FILE* OpenRegularFile(const char* path);

// Reads the next whitespace-separated word of `in`, of any length; false
// when the input ends first.
bool ReadWord(std::FILE* in, std::string& word);

// Reads the status file named by VANTRIX_HOME: one of kUnknown ... kShutdown.
// For starting, up and shutdown the second word goes to `pid` (empty when
// missing). Unless `quiet`, each failure prints its message on standard
// output.
int ReadStatusFile(bool quiet, std::string& pid);
// The same for the open status file `in`.
int ReadStatus(std::FILE* in, bool quiet, std::string& pid);

// Process `pid`'s name as /proc keeps it ("unknown" when it cannot be
// read); false when there is no such process.
bool ProcessName(DWORD pid, std::string& name);

struct Lookup {
    bool found = false;
    bool service = false;  // found as the service program
};

// Looks the process whose id is `pidText` (read as atol does) up by that
// id: found when its name contains "java", or "TavroService" (then also
// `service`), or the non-null `pattern`. A process that has ended but is
// not yet reaped by its parent (a zombie) is not found. A pattern longer than the name
// the system keeps is also tried against the executable's file name.
Lookup LookUpProcess(const char* pidText, const char* pattern);

// The first word of the file `path` (or the open `in`) as a process id:
// kPidFileUnreadable when the file cannot be read or has no word,
// kPidFileRunning when LookUpProcess finds it, else kPidFileOther.
int CheckPidFile(const char* path, const char* pattern);
int CheckPid(std::FILE* in, const char* pattern);

}  // namespace director_status
