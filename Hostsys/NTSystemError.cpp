// CNTSystemError: a Win32 error code with the system's message text for it.
#include "Hostsys/NTSystemError.h"

#include "Hostsys/Revision.h"
#include "platform/winbase.h"

const char* const CNTSystemError::s_pRevisionCpp =
    TAVRO_REVISION("Hostsys/NTSystemError.cpp", "1.5");
const char* const CNTSystemError::s_pRevisionH = NTSYSTEMERROR_H_REVISION;

namespace {

// The system message of `code`, or false when there is none.
bool FormatSystemMessage(DWORD code, std::string& text, DWORD& length) {
    char* buffer = nullptr;
    length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer),
        0, nullptr);
    if (length == 0 || !buffer) {
        length = 0;
        return false;
    }
    text.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

}  // namespace

CNTSystemError::CNTSystemError() { CommonCon(0); }

CNTSystemError::CNTSystemError(DWORD code) { CommonCon(code); }

CNTSystemError::CNTSystemError(const char* id, DWORD code) {
    CommonCon(code);
    if (id) m_id = id;
}

CNTSystemError::~CNTSystemError() = default;

void CNTSystemError::CommonCon(DWORD code) {
    m_message.clear();
    m_id.reset();
    m_error = code == 0 ? GetLastError() : code;
    if (FormatSystemMessage(m_error, m_message, m_messageLength)) return;
    // No text for the code: keep the code, and carry the text of the
    // formatter's own failure instead.
    FormatSystemMessage(GetLastError(), m_message, m_messageLength);
}

std::string CNTSystemError::GetMsgString() const {
    return m_message + " ID:" + (m_id ? *m_id : std::string("None"));
}

std::string LastErrorText() { return CNTSystemError().GetMsgString(); }
