// Account rights of the local security authority, and account look-up.
#pragma once

#include "platform/winerror.h"
#include "platform/wintypes.h"

// Accounts are the system's users (getpwnam). An account's identifier is
// S-1-22-1-<uid>. The rights granted to an account are kept in the registry
// under HKEY_LOCAL_MACHINE\SECURITY\Policy\Accounts\<identifier>, one
// REG_DWORD value per right; an account left without rights loses its key.

using NTSTATUS = int32_t;
using ACCESS_MASK = DWORD;
using USHORT = uint16_t;
using BOOLEAN = uint8_t;
using PULONG = ULONG*;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PSID = void*;
using LSA_HANDLE = void*;
using PLSA_HANDLE = LSA_HANDLE*;

// Counted text of 16-bit characters; the lengths are in bytes.
struct LSA_UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PLSA_UNICODE_STRING = LSA_UNICODE_STRING*;

struct LSA_OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PLSA_UNICODE_STRING ObjectName;
    ULONG Attributes;
    LPVOID SecurityDescriptor;
    LPVOID SecurityQualityOfService;
};
using PLSA_OBJECT_ATTRIBUTES = LSA_OBJECT_ATTRIBUTES*;

enum SID_NAME_USE { SidTypeUser = 1 };
using PSID_NAME_USE = SID_NAME_USE*;

// Status codes.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_NO_SUCH_PRIVILEGE = static_cast<NTSTATUS>(0xC0000060);
constexpr NTSTATUS STATUS_NONE_MAPPED = static_cast<NTSTATUS>(0xC0000073);
constexpr NTSTATUS STATUS_INTERNAL_DB_ERROR = static_cast<NTSTATUS>(0xC0000158);

// Policy access rights (accepted, not enforced).
constexpr ACCESS_MASK POLICY_VIEW_LOCAL_INFORMATION = 0x0001;
constexpr ACCESS_MASK POLICY_CREATE_ACCOUNT = 0x0010;
constexpr ACCESS_MASK POLICY_LOOKUP_NAMES = 0x0800;
constexpr ACCESS_MASK POLICY_ALL_ACCESS = 0x000F0FFF;

// Only the local system's policy is available (`systemName` null or empty).
NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING systemName, PLSA_OBJECT_ATTRIBUTES attributes,
                       ACCESS_MASK access, PLSA_HANDLE policy);
NTSTATUS LsaClose(LSA_HANDLE policy);
// The rights of the account, in one block the caller frees with
// LsaFreeMemory. An account without rights gives
// STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS LsaEnumerateAccountRights(LSA_HANDLE policy, PSID account, PLSA_UNICODE_STRING* rights,
                                   PULONG count);
NTSTATUS LsaAddAccountRights(LSA_HANDLE policy, PSID account, PLSA_UNICODE_STRING rights,
                             ULONG count);
NTSTATUS LsaRemoveAccountRights(LSA_HANDLE policy, PSID account, BOOLEAN allRights,
                                PLSA_UNICODE_STRING rights, ULONG count);
NTSTATUS LsaFreeMemory(LPVOID buffer);
ULONG LsaNtStatusToWinError(NTSTATUS status);

// Identifier and domain of a user of the local system. When a buffer is
// too small, fails with ERROR_INSUFFICIENT_BUFFER and sets both sizes to
// what is needed (the domain's including its terminating null). An
// account name may carry a "DOMAIN\" or ".\" prefix.
BOOL LookupAccountNameA(LPCSTR systemName, LPCSTR accountName, PSID sid, LPDWORD sidSize,
                        LPSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use);
