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

// Handles.
BOOL CloseHandle(HANDLE handle);

// Events. A named event is shared by every process of the same session
// (a "Global\" prefix shares it across sessions).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Mutexes. A named mutex is held across processes and freed when its
// holder dies.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Waits over any mix of events, mutexes, threads and processes.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Threads.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD GetCurrentThreadId();

// Processes. A process handle stays valid (and waitable) after the
// process has ended.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

// Process settings. The affinity mask applies to every thread of the
// process; the priority class maps idle and normal onto nice values.
BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask);
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR processMask);
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD GetPriorityClass(HANDLE process);

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
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);
