// The thread's last error, errno mapping and the layer's message texts.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/Posix.h"
#include "platform/winbase.h"
#include "platform/winerror.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// The message of `code` with %1..%9 replaced from `inserts` (strings),
// or kept as they stand when there are none.
std::string Expand(const char* text, const char* const* inserts) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (inserts && p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            const char* value = inserts[p[1] - '1'];
            out += value ? value : "";
            ++p;
            continue;
        }
        out += *p;
    }
    return out;
}
}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

namespace platform {

DWORD Win32FromErrno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOSPC: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_INVALID_NAME;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOSYS:
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        case ESRCH: return ERROR_INVALID_PARAMETER;
        case ETIMEDOUT: return WAIT_TIMEOUT;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

DWORD SetLastErrorFromErrno() {
    DWORD code = Win32FromErrno(errno);
    SetLastError(code);
    return code;
}

const char* Win32ErrorText(DWORD code) {
    switch (code) {
#define WIN_ERROR(name, value, text) \
    case value:                      \
        return text;
#include "platform/winerror.def"
#undef WIN_ERROR
        default: return nullptr;
    }
}

}  // namespace platform

// Formats a text of the layer's own table (FORMAT_MESSAGE_FROM_SYSTEM) or a
// caller's string (FORMAT_MESSAGE_FROM_STRING). System texts end in CR LF as
// on the real platform. Inserts %1..%9 come from an argument array of
// strings; without one they are left as they stand.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/,
                     LPSTR buffer, DWORD size, va_list* arguments) {
    std::string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source) {
            return platform::FailWith(ERROR_INVALID_PARAMETER);
        }
        text = static_cast<const char*>(source);
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* found = platform::Win32ErrorText(messageId);
        if (!found) {
            return platform::FailWith(ERROR_MR_MID_NOT_FOUND);
        }
        text = std::string(found) + "\r\n";
    } else {
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    }
    const char* const* inserts = nullptr;
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
        // With ARGUMENT_ARRAY the last parameter is an array of strings.
        inserts = reinterpret_cast<const char* const*>(arguments);
    }
    text = Expand(text.c_str(), inserts);

    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* out = static_cast<char*>(std::malloc(text.size() + 1));
        if (!out) {
            return platform::FailWith(ERROR_NOT_ENOUGH_MEMORY);
        }
        std::memcpy(out, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(buffer) = out;
        return static_cast<DWORD>(text.size());
    }
    if (!buffer || text.size() + 1 > size) {
        return platform::FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
