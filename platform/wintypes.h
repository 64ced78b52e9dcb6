// Basic Win32 types and constants used across the platform layer.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using BOOL = int;
using UINT = unsigned int;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPCVOID = const void*;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using PDWORD_PTR = DWORD_PTR*;
using SIZE_T = size_t;

// Every kernel object (event, mutex, thread, process, service control
// handle ...) is reached through an opaque HANDLE.
using HANDLE = void*;
using HLOCAL = void*;
using HMODULE = void*;
using FARPROC = void (*)();

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

#define WINAPI

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAX_PATH = 260;
constexpr DWORD INFINITE = 0xFFFFFFFF;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
