// LSAPrivs: the service account's right to log on as a service.
#include "WindowsService/LSAPrivs.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Hostsys/Env.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "platform/base/Posix.h"

const char* const LSAPrivs::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/LSAPrivs.cpp", "1.4");
const char* const LSAPrivs::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/LSAPrivs.h", "1.3");

namespace {

constexpr WCHAR kServiceLogonRight[] = u"SeServiceLogonRight";
constexpr size_t kSidStart = 128;
constexpr size_t kDomainStart = 16;

void WriteError(DWORD code) {
    std::cerr << CNTSystemError(code).GetMsgString() << std::endl;
    SetLastError(code);
}

// Turns off echo and line editing on a terminal for the life of the object.
class QuietConsole {
public:
    QuietConsole() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
        termios quiet = m_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        m_active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;
    ~QuietConsole() {
        if (m_active) tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_saved);
    }

private:
    termios m_saved{};
    bool m_active = false;
};

void Star() {
    std::fputc('*', stdout);
    std::fflush(stdout);
}

enum class Entry { kLine, kEnded, kNone };

// Reads one entry into `out` (at most kPasswordKept characters kept, the
// rest of the line read and dropped). kEnded: input ended after some
// characters; kNone: input ended before any.
Entry ReadEntry(char* out) {
    size_t kept = 0;
    bool typed = false;
    for (;;) {
        char c;
        ssize_t n = platform::RetryOnEintr([&] { return read(STDIN_FILENO, &c, 1); });
        if (n <= 0) {
            out[kept] = '\0';
            return typed ? Entry::kEnded : Entry::kNone;
        }
        typed = true;
        Star();
        if (c == '\n' || c == '\r') break;
        if (kept < LSAPrivs::kPasswordKept) out[kept++] = c;
    }
    out[kept] = '\0';
    return Entry::kLine;
}

}  // namespace

LSAPrivs::LSAPrivs(const std::string& rightFile) : m_rightFile(rightFile) {}

LSAPrivs::~LSAPrivs() {
    if (m_policy) LsaClose(m_policy);
    FreeSid();
}

void LSAPrivs::FreeSid() {
    std::free(m_sid);
    m_sid = nullptr;
}

void LSAPrivs::ReportStatus(NTSTATUS status) { WriteError(LsaNtStatusToWinError(status)); }

bool LSAPrivs::SetLogonRight(const char* account) {
    std::snprintf(m_account, sizeof m_account, "%s", account ? account : "");
    m_recordAccount = m_account;
    m_status = OpenPolicy(POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES);
    if (m_status != STATUS_SUCCESS) {
        ReportStatus(m_status);
        return false;
    }
    if (GetSid()) {
        m_status = SetRight(kServiceLogonRight);
        if (m_status != STATUS_SUCCESS)
            ReportStatus(m_status);
        else
            m_result = 0;
    } else {
        WriteError(GetLastError());
    }
    LsaClose(m_policy);
    m_policy = nullptr;
    FreeSid();
    return true;
}

NTSTATUS LSAPrivs::OpenPolicy(ACCESS_MASK access) {
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_UNICODE_STRING server{};
    PLSA_UNICODE_STRING system = nullptr;
    if (!m_serverName.empty()) {
        InitLsaString(server, m_serverName.c_str());
        system = &server;
    }
    return LsaOpenPolicy(system, &attributes, access, &m_policy);
}

bool LSAPrivs::GetSid() {
    FreeSid();
    DWORD sidSize = kSidStart;
    DWORD domainSize = kDomainStart;
    m_sid = std::malloc(sidSize);
    char* domain = static_cast<char*>(std::malloc(domainSize));
    bool found = false;
    if (!m_sid) {
        std::cerr << "NULL m_pSid" << std::endl;
    } else if (!domain) {
        std::cerr << "NULL ReferencedDomain" << std::endl;
    } else {
        SID_NAME_USE use;
        found = LookupAccountNameA(nullptr, m_account, m_sid, &sidSize, domain, &domainSize,
                                   &use) != FALSE;
        if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            void* sid = std::realloc(m_sid, sidSize);
            if (sid) m_sid = sid;
            char* grown = sid ? static_cast<char*>(std::realloc(domain, domainSize)) : nullptr;
            if (grown) domain = grown;
            if (!sid)
                std::cerr << "NULL m_pSid" << std::endl;
            else if (!grown)
                std::cerr << "NULL ReferencedDomain" << std::endl;
            else
                found = LookupAccountNameA(nullptr, m_account, m_sid, &sidSize, domain, &domainSize,
                                           &use) != FALSE;
        }
        if (!found && GetLastError() != ERROR_SUCCESS) {
            WriteError(GetLastError());
            std::cerr << "LookupAccountName failed" << std::endl;
        }
    }
    std::free(domain);
    if (!found) FreeSid();
    return found;
}

NTSTATUS LSAPrivs::SetRight(const WCHAR* right) {
    LSA_UNICODE_STRING text;
    InitLsaString(text, right);
    bool held = HasRight(text);
    if (!m_bGrant) return LsaRemoveAccountRights(m_policy, m_sid, FALSE, &text, 1);

    NTSTATUS status = LsaAddAccountRights(m_policy, m_sid, &text, 1);
    if (status != STATUS_SUCCESS) return status;
    Env record(m_rightFile);
    if (record.Open(false)) {
        if (record.AddEnvVar("Priv", held ? "Leave" : "Remove") &&
            !record.AddEnvVar("Acc", m_recordAccount))
            std::cerr << " Failed Account information " << std::endl;
        record.Close();
    }
    return status;
}

bool LSAPrivs::HasRight(const LSA_UNICODE_STRING& right) {
    PLSA_UNICODE_STRING rights = nullptr;
    ULONG count = 0;
    NTSTATUS status = LsaEnumerateAccountRights(m_policy, m_sid, &rights, &count);
    if (status != STATUS_SUCCESS) {
        ReportStatus(status);
        return false;
    }
    bool held = false;
    for (ULONG i = 0; i < count && !held; ++i) {
        held = rights[i].Length == right.Length &&
               std::memcmp(rights[i].Buffer, right.Buffer, right.Length) == 0;
    }
    LsaFreeMemory(rights);
    return held;
}

void LSAPrivs::InitLsaString(LSA_UNICODE_STRING& out, const WCHAR* text) {
    size_t chars = 0;
    while (text && text[chars]) ++chars;
    out.Buffer = const_cast<PWSTR>(text);
    out.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    out.MaximumLength = static_cast<USHORT>(out.Length + sizeof(WCHAR));
}

char* LSAPrivs::PromptPassword() {
    char* first = static_cast<char*>(std::calloc(kPasswordSize, 1));
    char second[kPasswordSize];
    if (!first) return nullptr;
    QuietConsole quiet;
    for (;;) {
        std::fputs("password? ", stdout);
        std::fflush(stdout);
        Entry entry = ReadEntry(first);
        std::fputs("\n Verify password: ", stdout);
        std::fflush(stdout);
        Entry verify = entry == Entry::kLine ? ReadEntry(second) : Entry::kNone;
        bool given = entry != Entry::kNone && verify != Entry::kNone;
        bool same = given && std::strcmp(first, second) == 0;
        explicit_bzero(second, sizeof second);
        if (same) break;
        if (given) std::fputs("\n passwords don't match try again\n", stdout);
        // Input that has ended cannot bring a matching pair.
        if (!given || verify == Entry::kEnded) {
            std::fputs("\n", stdout);
            std::fflush(stdout);
            explicit_bzero(first, kPasswordSize);
            std::free(first);
            return nullptr;
        }
    }
    std::fputs("\npasswords match\n", stdout);
    std::fflush(stdout);
    return first;
}
