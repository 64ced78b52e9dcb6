// Kernel objects, waits, threads, processes and process settings.
#pragma once

#include <cstdarg>

#include "platform/winerror.h"
#include "platform/wintypes.h"

// Access rights. The layer grants every right it is asked for; they are
// kept so that call sites read as on the real platform.
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_SET_INFORMATION = 0x0200;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFF;

// Waits.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Threads and processes.
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;

// FormatMessageA.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x0400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x0800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x00FF;
constexpr DWORD LANG_NEUTRAL = 0;
constexpr DWORD SUBLANG_DEFAULT = 1;
constexpr DWORD MAKELANGID(DWORD primary, DWORD sub) { return (sub << 10) | primary; }

// Handles. Every kernel object is reference-counted: it ends with its last
// handle (and the last wait on it). A null, closed or unknown handle gives
// FALSE or WAIT_FAILED with ERROR_INVALID_HANDLE; closing the
// GetCurrentProcess() pseudo-handle does nothing.
BOOL CloseHandle(HANDLE handle);

// Names of events and mutexes are case-sensitive and live in one name space
// per session (platform::SessionId()): "Local\" or no prefix names the
// caller's session, "Global\" the name space shared by all sessions. A name
// ends when its last handle in any process is closed. Creating an existing
// name gives a handle to it with ERROR_ALREADY_EXISTS (its kind and state
// stay; the manual-reset, initial-state and initial-owner arguments are
// ignored), a new one sets the last error to 0; a name taken by an object of
// the other kind gives null with ERROR_INVALID_HANDLE; a name longer than
// MAX_PATH gives ERROR_FILENAME_EXCED_RANGE.

// Events. OpenEventA of a missing name gives null with ERROR_FILE_NOT_FOUND.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Mutexes, owned recursively by one thread. A named mutex is held across
// processes. When its owner thread or process ends holding it, the next
// wait that takes it returns WAIT_ABANDONED_0 (plus the index). Releasing a
// mutex the calling thread does not own gives ERROR_NOT_OWNER.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Waits over any mix of events, mutexes, threads and processes (at most
// MAXIMUM_WAIT_OBJECTS). Without waitAll the lowest signalled index wins;
// with it, every object is taken at once or none. The waiting thread sleeps
// in poll(): no busy loop. ERROR_INVALID_PARAMETER for no handle, too many,
// or one object twice in a wait for all.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Threads.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
// Marks the thread as ended with `exitCode`: waits on its handle return and
// GetExitCodeThread gives the code. A thread cannot be stopped safely from
// outside on this platform, so the thread itself runs on until it returns
// or the process ends; its own later return does not change the code.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();

// Processes. A process handle is a pidfd: it stays valid (and, signalled,
// waitable) after the process has ended. OpenProcess of a missing process
// gives null with ERROR_INVALID_PARAMETER. GetExitCodeProcess gives
// STILL_ACTIVE while the process runs; then the code TerminateProcess asked
// for through this handle, the exit status of a child of this process (left
// for its parent to reap; 128 plus the signal for a child killed by one),
// or 0 when the status cannot be known. TerminateProcess of an ended
// process gives ERROR_ACCESS_DENIED; of GetCurrentProcess() it ends this
// process (an exit code above 255 never becomes status 0).
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

// Process settings. The affinity mask covers processors 0 to 63 and applies
// to every thread of the process; a mask with no processor, or with one
// outside the system mask, gives ERROR_INVALID_PARAMETER. The priority
// classes map onto nice values of every thread (idle 19, below normal 10,
// normal 0, above normal -5, high -10); raising it again needs the right to
// (ERROR_ACCESS_DENIED otherwise).
BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask);
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR processMask);
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD GetPriorityClass(HANDLE process);

// The system's version and processor. GetVersion gives the major version in
// the low byte, the minor version in the next and the build number in the
// high word, whose top bit is clear on the NT family: this layer is NT 6.3,
// the version that the registry's CurrentVersion holds too. GetSystemInfo
// names the processor architecture of the machine.
constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr WORD PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;
struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    DWORD dwNumberOfProcessors;
};
DWORD GetVersion();
void GetSystemInfo(SYSTEM_INFO* info);

// Names and environment. A null module names the program itself; the
// computer name is at most MAX_COMPUTERNAME_LENGTH characters.
constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
BOOL GetUserNameA(LPSTR buffer, LPDWORD size);
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

// Dynamic libraries.
HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);

// Message texts of the layer's codes.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

// The system directory: "System32" under the platform state directory,
// created on first use. Returns the length without the terminator, or the
// size needed (terminator included) when `size` is too small; 0 on failure.
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);

// Private-profile (INI) files, in the Win32 manner: section and key names
// ignore ASCII letter case; a value is trimmed of blanks and loses one pair
// of enclosing quotes; lines may end in CR LF or LF. A missing file,
// section or key gives the default (trailing blanks dropped), last error
// ERROR_FILE_NOT_FOUND. The result is cut to size - 1 bytes and always
// terminated; the count copied is returned. A write replaces the key's
// line, else adds the key after the last line of its section, else appends
// the section; it creates the file (0644), keeps every other byte and the
// file's line ends, replaces the file in one rename and never follows a
// link in its place. Null section, key or value (the Win32 listing and
// deleting forms) and names or values that would break a line give
// ERROR_INVALID_PARAMETER. Files over 16 MiB are refused (ERROR_INVALID_DATA).
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size, LPCSTR fileName);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName);
