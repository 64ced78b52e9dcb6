// LSAPrivs: the service account's right to log on as a service.
#pragma once

#include <string>

#include "platform/winlsa.h"

// Grants the right "SeServiceLogonRight" to the account the service is
// installed to run under, records in the tree's right file (NTRight,
// through Env) whether the grant added it ("Priv" "Remove") or the account
// held it already ("Leave"), with the account ("Acc"), and removes it again
// on request. Also owns the console prompt for the account's password.
// Messages go to standard error. One object serves one operation.
class LSAPrivs {
public:
    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

    enum class Mode { kGrant, kRemove };

    static constexpr size_t kAccountSize = 256;
    static constexpr size_t kPasswordSize = 256;
    // Characters kept of a password entry.
    static constexpr size_t kPasswordKept = 253;

    // `rightFile`: the record file (tree home followed by the right file's
    // key name).
    explicit LSAPrivs(const std::string& rightFile);
    LSAPrivs(const LSAPrivs&) = delete;
    LSAPrivs& operator=(const LSAPrivs&) = delete;
    virtual ~LSAPrivs();

    void SetMode(Mode mode) { m_bGrant = mode == Mode::kGrant; }

    // Grants or removes the logon right by the mode; false only when the
    // policy cannot be opened.
    bool SetLogonRight(const char* account);

    // Asks twice for the password without echo, writing "*" per key, until
    // both entries match. The caller owns the 256-byte result (free()).
    // Null when input ends before two matching entries were read.
    char* PromptPassword();

    bool GetSid();
    NTSTATUS OpenPolicy(ACCESS_MASK access);
    NTSTATUS SetRight(const WCHAR* right);
    bool HasRight(const LSA_UNICODE_STRING& right);
    static void InitLsaString(LSA_UNICODE_STRING& out, const WCHAR* text);

    NTSTATUS LastStatus() const { return m_status; }

private:
    // Writes the text of the Win32 code of `status` to standard error and
    // leaves that code as the thread's last error.
    void ReportStatus(NTSTATUS status);
    void FreeSid();

    LSA_HANDLE m_policy = nullptr;
    std::u16string m_serverName;
    char m_account[kAccountSize] = {};
    std::string m_recordAccount;
    void* m_sid = nullptr;
    NTSTATUS m_status = STATUS_SUCCESS;
    int m_result = 1;
    bool m_bGrant = true;
    std::string m_rightFile;
};
