// The registry: keys under predefined roots, with typed values.
//
// One store for the machine: the SQLite database "registry.db" in the
// platform state directory (platform::StateDir()), opened by each process on
// its first registry call and shared with every other process. Key and value
// names ignore letter case and keep the case they were created with; a
// subkey path separates its keys with backslashes. Values keep their type
// and bytes exactly as set (a text is stored with a NUL only when the caller
// counts it). Subkeys enumerate in name order without regard to case, values
// in the order they were first set. A closed or unknown handle gives
// ERROR_INVALID_HANDLE, a handle whose key was deleted ERROR_KEY_DELETED.
#pragma once

#include "platform/winerror.h"
#include "platform/wintypes.h"

struct RegistryKey;
using HKEY = RegistryKey*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// Predefined root keys.
inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000));
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001));
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002));
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003));
// The current hardware profile: the same key as
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Hardware Profiles\Current.
inline const HKEY HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000005));

// Access rights (accepted, not enforced).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;

// Every call returns a Win32 code (ERROR_SUCCESS on success) and leaves the
// last error alone.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                     LPDWORD disposition);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
// Flags of RegGetValueA: any type, and the data as stored (no expansion).
constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
constexpr DWORD RRF_NOEXPAND = 0x10000000;
// This layer's own flag of RegGetValueA: the value is found only when the
// name as stored equals valueName exactly, letter case included (the
// registry otherwise ignores case), for readers that compare names exactly.
constexpr DWORD kRrfExactName = 0x00100000;
// A value of a subkey of `key` (null or empty: of `key` itself), found and
// read in one call with the rules of RegQueryValueExA. Only the flags
// RRF_RT_ANY | RRF_NOEXPAND, with or without kRrfExactName, are taken;
// others give ERROR_INVALID_PARAMETER. A missing subkey or value (or, with
// kRrfExactName, one stored under another letter case) gives
// ERROR_FILE_NOT_FOUND.
LONG RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR valueName, DWORD flags, LPDWORD type, LPVOID data,
                  LPDWORD dataSize);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR keyClass, LPDWORD classSize, FILETIME* lastWriteTime);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize);
// Counts and longest lengths (in bytes, without the NUL) of a key's subkey
// names, value names and value data, and its last write time. Keys carry no
// class and no security descriptor here: both lengths are 0.
LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classSize, LPDWORD reserved,
                      LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                      LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                      FILETIME* lastWriteTime);
LONG RegFlushKey(HKEY key);
LONG RegCloseKey(HKEY key);
