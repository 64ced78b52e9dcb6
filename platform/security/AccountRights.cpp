// Account rights of the local security authority, kept in the registry.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RegKey.h"
#include "platform/base/LiveSet.h"
#include "platform/base/Posix.h"
#include "platform/winlsa.h"

namespace {

constexpr const char* kAccountsKey = "SECURITY\\Policy\\Accounts\\";
// An account's identifier: revision 1, two sub-authorities, authority 22
// (the system's users), then 1 and the user id.
constexpr BYTE kSidRevision = 1;
constexpr BYTE kSidSubAuthorities = 2;
constexpr BYTE kSidAuthority = 22;
constexpr DWORD kSidSize = 8 + 4 * kSidSubAuthorities;

// The rights and privileges the store knows, in their usual spelling.
constexpr const char* kKnownRights[] = {
    "SeServiceLogonRight",
    "SeBatchLogonRight",
    "SeInteractiveLogonRight",
    "SeNetworkLogonRight",
    "SeRemoteInteractiveLogonRight",
    "SeDenyServiceLogonRight",
    "SeDenyBatchLogonRight",
    "SeDenyInteractiveLogonRight",
    "SeDenyNetworkLogonRight",
    "SeDenyRemoteInteractiveLogonRight",
    "SeAssignPrimaryTokenPrivilege",
    "SeIncreaseQuotaPrivilege",
    "SeShutdownPrivilege",
    "SeBackupPrivilege",
    "SeRestorePrivilege",
    "SeDebugPrivilege",
};

// Policy handles given out and not yet closed.
struct Policy {
    static constexpr uint32_t kMagic = 0x4C534150;  // "LSAP"
    uint32_t magic = kMagic;
};
platform::LiveSet<Policy>& Policies() {
    static auto* policies = new platform::LiveSet<Policy>;
    return *policies;
}

bool IsPolicy(LSA_HANDLE handle) { return Policies().Contains(handle); }

// Narrow text of a counted 16-bit text; false when it holds characters
// outside ASCII, which no right name does.
bool ToNarrow(const LSA_UNICODE_STRING& text, std::string& out) {
    out.clear();
    if (text.Length % 2 != 0 || (text.Length > 0 && !text.Buffer)) return false;
    for (USHORT i = 0; i < text.Length / 2; ++i) {
        char16_t c = text.Buffer[i];
        if (c == 0 || c > 0x7F) return false;
        out += static_cast<char>(c);
    }
    return true;
}

// The usual spelling of a known right (names compare without regard to
// case), or nullptr.
const char* KnownRight(const std::string& name) {
    for (const char* right : kKnownRights) {
        if (strcasecmp(right, name.c_str()) == 0) return right;
    }
    return nullptr;
}

// "S-1-22-1-<uid>" for a well-formed identifier of the store's form, else
// an empty text.
std::string SidText(PSID sid) {
    if (!sid) return {};
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    if (bytes[0] != kSidRevision || bytes[1] != kSidSubAuthorities) return {};
    for (int i = 2; i < 7; ++i) {
        if (bytes[i] != 0) return {};
    }
    if (bytes[7] != kSidAuthority) return {};
    DWORD sub[kSidSubAuthorities];
    std::memcpy(sub, bytes + 8, sizeof sub);
    return "S-1-22-" + std::to_string(sub[0]) + "-" + std::to_string(sub[1]);
}

// Validates the policy and the account, and gives the account's key path.
NTSTATUS AccountKey(LSA_HANDLE policy, PSID account, std::string& path) {
    if (!IsPolicy(policy)) return STATUS_INVALID_HANDLE;
    std::string sid = SidText(account);
    if (sid.empty()) return STATUS_INVALID_PARAMETER;
    path = kAccountsKey + sid;
    return STATUS_SUCCESS;
}

// The rights named in `rights`, each a known right in its usual spelling.
NTSTATUS RightNames(PLSA_UNICODE_STRING rights, ULONG count, std::vector<const char*>& out) {
    if (count > 0 && !rights) return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i) {
        std::string name;
        if (!ToNarrow(rights[i], name)) return STATUS_INVALID_PARAMETER;
        const char* known = KnownRight(name);
        if (!known) return STATUS_NO_SUCH_PRIVILEGE;
        out.push_back(known);
    }
    return STATUS_SUCCESS;
}

// The account name without a "DOMAIN\" or ".\" prefix.
std::string BareAccount(const char* name) {
    const char* slash = std::strrchr(name, '\\');
    return slash ? std::string(slash + 1) : std::string(name);
}

std::string ComputerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "LOCALHOST";
    std::string name(host);
    name = name.substr(0, name.find('.'));
    return platform::AsciiUpper(name);
}

// The user id of a system user, or STATUS_NONE_MAPPED.
NTSTATUS LookupUid(const std::string& name, uid_t& uid) {
    std::optional<uid_t> found = platform::UserId(name);
    if (!found) return STATUS_NONE_MAPPED;
    uid = *found;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING systemName, PLSA_OBJECT_ATTRIBUTES /*attributes*/,
                       ACCESS_MASK /*access*/, PLSA_HANDLE policy) {
    if (!policy) return STATUS_INVALID_PARAMETER;
    *policy = nullptr;
    if (systemName && systemName->Length != 0) return STATUS_ACCESS_DENIED;
    *policy = Policies().Add(std::make_unique<Policy>());
    return STATUS_SUCCESS;
}

NTSTATUS LsaClose(LSA_HANDLE policy) {
    return Policies().Remove(policy) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS LsaEnumerateAccountRights(LSA_HANDLE policy, PSID account, PLSA_UNICODE_STRING* rights,
                                   PULONG count) {
    if (!rights || !count) return STATUS_INVALID_PARAMETER;
    *rights = nullptr;
    *count = 0;
    std::string path;
    if (NTSTATUS status = AccountKey(policy, account, path); status != STATUS_SUCCESS)
        return status;
    platform::RegKey key;
    if (key.Open(path) != ERROR_SUCCESS) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<std::string> names = key.ValueNames();
    if (names.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;

    // One block: the counted texts, then their characters (each followed
    // by a null), so that one LsaFreeMemory releases all.
    size_t chars = 0;
    for (const std::string& name : names) chars += name.size() + 1;
    size_t header = names.size() * sizeof(LSA_UNICODE_STRING);
    auto* block = static_cast<unsigned char*>(std::malloc(header + chars * sizeof(WCHAR)));
    if (!block) return STATUS_NO_MEMORY;
    auto* list = reinterpret_cast<LSA_UNICODE_STRING*>(block);
    auto* text = reinterpret_cast<WCHAR*>(block + header);
    for (size_t i = 0; i < names.size(); ++i) {
        list[i].Buffer = text;
        list[i].Length = static_cast<USHORT>(names[i].size() * sizeof(WCHAR));
        list[i].MaximumLength = static_cast<USHORT>(list[i].Length + sizeof(WCHAR));
        for (char c : names[i]) *text++ = static_cast<WCHAR>(static_cast<unsigned char>(c));
        *text++ = 0;
    }
    *rights = list;
    *count = static_cast<ULONG>(names.size());
    return STATUS_SUCCESS;
}

NTSTATUS LsaAddAccountRights(LSA_HANDLE policy, PSID account, PLSA_UNICODE_STRING rights,
                             ULONG count) {
    std::string path;
    if (NTSTATUS status = AccountKey(policy, account, path); status != STATUS_SUCCESS)
        return status;
    std::vector<const char*> names;
    if (NTSTATUS status = RightNames(rights, count, names); status != STATUS_SUCCESS) return status;
    platform::RegKey key;
    if (key.Create(path) != ERROR_SUCCESS) return STATUS_INTERNAL_DB_ERROR;
    for (const char* name : names) {
        if (key.SetDword(name, 1) != ERROR_SUCCESS) return STATUS_INTERNAL_DB_ERROR;
    }
    return STATUS_SUCCESS;
}

NTSTATUS LsaRemoveAccountRights(LSA_HANDLE policy, PSID account, BOOLEAN allRights,
                                PLSA_UNICODE_STRING rights, ULONG count) {
    std::string path;
    if (NTSTATUS status = AccountKey(policy, account, path); status != STATUS_SUCCESS)
        return status;
    std::vector<const char*> names;
    if (!allRights) {
        if (NTSTATUS status = RightNames(rights, count, names); status != STATUS_SUCCESS)
            return status;
    }
    bool empty = false;
    {
        platform::RegKey key;
        if (key.Open(path, KEY_ALL_ACCESS) != ERROR_SUCCESS) return STATUS_OBJECT_NAME_NOT_FOUND;
        for (const char* name : names) {
            LONG rc = key.DeleteValue(name);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return STATUS_INTERNAL_DB_ERROR;
        }
        empty = allRights || key.ValueNames().empty();
    }
    if (empty && platform::DeleteKeyTree(path) != ERROR_SUCCESS) return STATUS_INTERNAL_DB_ERROR;
    return STATUS_SUCCESS;
}

NTSTATUS LsaFreeMemory(LPVOID buffer) {
    std::free(buffer);
    return STATUS_SUCCESS;
}

ULONG LsaNtStatusToWinError(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS: return ERROR_SUCCESS;
        case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
        case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
        case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
        case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
        case STATUS_NO_SUCH_PRIVILEGE: return ERROR_NO_SUCH_PRIVILEGE;
        case STATUS_NONE_MAPPED: return ERROR_NONE_MAPPED;
        case STATUS_INTERNAL_DB_ERROR: return ERROR_BADDB;
        default: return ERROR_GEN_FAILURE;
    }
}

BOOL LookupAccountNameA(LPCSTR /*systemName*/, LPCSTR accountName, PSID sid, LPDWORD sidSize,
                        LPSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use) {
    if (!accountName || !sidSize || !domainSize) {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    uid_t uid = 0;
    if (NTSTATUS status = LookupUid(BareAccount(accountName), uid); status != STATUS_SUCCESS) {
        return platform::FailWith(LsaNtStatusToWinError(status));
    }
    std::string domain = ComputerName();
    DWORD domainNeeded = static_cast<DWORD>(domain.size() + 1);
    if (!sid || *sidSize < kSidSize || !referencedDomainName || *domainSize < domainNeeded) {
        *sidSize = kSidSize;
        *domainSize = domainNeeded;
        return platform::FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    BYTE* bytes = static_cast<BYTE*>(sid);
    std::memset(bytes, 0, kSidSize);
    bytes[0] = kSidRevision;
    bytes[1] = kSidSubAuthorities;
    bytes[7] = kSidAuthority;
    DWORD sub[kSidSubAuthorities] = {1, static_cast<DWORD>(uid)};
    std::memcpy(bytes + 8, sub, sizeof sub);
    *sidSize = kSidSize;
    std::memcpy(referencedDomainName, domain.c_str(), domainNeeded);
    *domainSize = domainNeeded - 1;
    if (use) *use = SidTypeUser;
    return TRUE;
}
