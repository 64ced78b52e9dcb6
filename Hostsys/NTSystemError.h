// CNTSystemError: a Win32 error code with the system's message text for it.
#pragma once

#include <optional>
#include <string>

#include "Hostsys/Revision.h"
#include "platform/wintypes.h"

#define NTSYSTEMERROR_H_REVISION TAVRO_REVISION("Hostsys/NTSystemError.h", "1.3")

// Captures a Win32 error code and its system message at construction, so
// that a failure can be logged in one line (GetMsgString) or thrown. Build
// it right after the failing call: the default and code-0 constructors take
// the thread's last error.
class CNTSystemError : public tavro::Revisions<CNTSystemError> {
public:
    // The calling thread's last error.
    CNTSystemError();
    // `code`; 0 means the thread's last error.
    explicit CNTSystemError(DWORD code);
    // As above, with a text naming the failing operation (null for none).
    CNTSystemError(const char* id, DWORD code);
    virtual ~CNTSystemError();

    DWORD GetError() const { return m_error; }
    // The two severity bits of a status code: 0 success, 1 informational,
    // 2 warning, 3 error.
    DWORD GetSeverity() const { return m_error >> 30; }
    // "<system message> ID:<id>", the id being "None" when there is none. The
    // message keeps its own line end.
    std::string GetMsgString() const;
    // The system message alone; empty when none could be formatted.
    const std::string& GetMessage() const { return m_message; }
    DWORD GetMessageLength() const { return m_messageLength; }

    // "<source revision> <header revision>".
    static const char* const s_pRevisionCpp;
    static const char* const s_pRevisionH;

protected:
    void CommonCon(DWORD code);

private:
    std::string m_message;
    DWORD m_messageLength = 0;
    std::optional<std::string> m_id;
    DWORD m_error = 0;
};

// The text of the thread's last error, for log lines.
std::string LastErrorText();
