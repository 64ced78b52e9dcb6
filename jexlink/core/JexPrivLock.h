// The process-wide file lock: one recursive mutex around the library's shared files.
#pragma once

#include <sys/types.h>

#include <cstdio>

// Holds the process-wide file lock from construction to destruction. The
// lock is recursive: a holder may construct another one without blocking
// itself. It serialises the threads of one process, not processes.
class JexPrivLock {
public:
    // Sets the process-wide privileged flag to the truth value of the
    // argument while held (it has no further effect on this platform).
    explicit JexPrivLock(int privileged = 0);
    ~JexPrivLock();
    JexPrivLock(const JexPrivLock&) = delete;
    JexPrivLock& operator=(const JexPrivLock&) = delete;

    // Creates the mutex on the first call in the process; later calls do
    // nothing. JexThreadInit calls it before any other library code runs.
    static void Initialize();
    static void Reinitialize();

    // The standard fopen and fclose, under the lock. A mode that writes
    // ("w", "a") creates the file with kWrittenFileMode at most, whatever
    // the umask, narrows an existing file of this user to it, and refuses a
    // symbolic link in the file's place (ELOOP).
    static constexpr mode_t kWrittenFileMode = 0640;
    static FILE* fopen(const char* path, const char* mode, int privileged = 0);
    static int fclose(FILE* stream, int privileged = 0);

    // The privileged flag (meaningful only while the lock is held).
    static int Privileged();

    // Takes the exclusive advisory lock of an open shared file (flock), the
    // one that keeps appenders of other processes and threads apart, waiting
    // at most `waitMs` for another holder; true when taken. Closing the file
    // releases it.
    static bool LockFile(int fd, int waitMs);
};
