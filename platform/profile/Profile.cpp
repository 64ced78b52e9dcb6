// Private-profile (INI) files: GetPrivateProfileStringA and WritePrivateProfileStringA.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Posix.h"
#include "platform/winbase.h"

namespace {

using platform::AsciiEqualNoCase;
using platform::RetryOnEintr;
using platform::ScopedFd;

constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
constexpr mode_t kNewFileMode = 0644;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// One line of the file: [begin, end) is its text without the line end,
// `next` where the following line starts.
struct Line {
    size_t begin;
    size_t end;
    size_t next;
};

std::vector<Line> SplitLines(const std::string& bytes) {
    std::vector<Line> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t lf = bytes.find('\n', at);
        size_t next = lf == std::string::npos ? bytes.size() : lf + 1;
        size_t end = lf == std::string::npos ? bytes.size() : lf;
        while (end > at && bytes[end - 1] == '\r') --end;
        lines.push_back({at, end, next});
        at = next;
    }
    return lines;
}

// The section named by a "[name]" line, if the line is one.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    line.remove_prefix(1);
    size_t close = line.find(']');
    if (close != std::string_view::npos) line = line.substr(0, close);
    return Trim(line);
}

// The key and value of a "key=value" line, if the line is one.
bool KeyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    key = Trim(line.substr(0, equals));
    value = Trim(line.substr(equals + 1));
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Where a key stands in the file: the index of its section's header line
// (or none) and of the key's line (or none).
struct Place {
    std::optional<size_t> section;
    std::optional<size_t> key;
    size_t sectionEnd = 0;  // index one past the section's last line
};

Place Find(const std::string& bytes, const std::vector<Line>& lines, std::string_view section,
           std::string_view key) {
    Place place;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view text(bytes.data() + lines[i].begin, lines[i].end - lines[i].begin);
        if (auto name = SectionName(text)) {
            if (place.section) break;
            if (AsciiEqualNoCase(*name, section)) place.section = i;
            continue;
        }
        if (!place.section) continue;
        place.sectionEnd = i + 1;
        std::string_view lineKey;
        std::string_view lineValue;
        if (!place.key && KeyLine(text, lineKey, lineValue) && AsciiEqualNoCase(lineKey, key))
            place.key = i;
    }
    if (place.section && place.sectionEnd == 0) place.sectionEnd = *place.section + 1;
    return place;
}

// Reads the whole file without following a link; errno is set on failure.
std::optional<std::string> ReadWhole(const char* path) {
    ScopedFd fd(RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!fd) return std::nullopt;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0) return std::nullopt;
    if (!S_ISREG(info.st_mode)) {
        errno = EISDIR;
        return std::nullopt;
    }
    std::string bytes;
    char chunk[65536];
    for (;;) {
        ssize_t n = RetryOnEintr([&] { return read(fd.Get(), chunk, sizeof chunk); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileSize) {
            errno = EFBIG;
            return std::nullopt;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
}

DWORD CodeForErrno(int err) {
    if (err == ELOOP || err == EISDIR) return ERROR_ACCESS_DENIED;
    if (err == EFBIG) return ERROR_INVALID_DATA;
    return platform::Win32FromErrno(err);
}

DWORD CopyOut(std::string_view text, LPSTR buffer, DWORD size) {
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    SetLastError(n < text.size() ? ERROR_MORE_DATA : ERROR_SUCCESS);
    return static_cast<DWORD>(n);
}

DWORD CopyDefault(LPCSTR defaultValue, LPSTR buffer, DWORD size, DWORD code) {
    std::string_view text = defaultValue ? defaultValue : "";
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    DWORD n = CopyOut(text, buffer, size);
    if (GetLastError() == ERROR_SUCCESS) SetLastError(code);
    return n;
}

bool BreaksLine(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// Writes `bytes` to a new file beside `path` and renames it over `path`,
// so a failure leaves the old file as it was.
bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode) {
    std::string temp = path + ".XXXXXX";
    ScopedFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return false;
    bool ok =
        fchmod(fd.Get(), mode) == 0 && platform::WriteAll(fd.Get(), bytes.data(), bytes.size());
    int err = errno;
    if (ok && RetryOnEintr([&] { return close(fd.Release()); }) != 0) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = err;
    }
    return ok;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size, LPCSTR fileName) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!section || !key || !fileName)
        return CopyDefault(defaultValue, buffer, size, ERROR_INVALID_PARAMETER);
    std::optional<std::string> bytes = ReadWhole(fileName);
    if (!bytes) return CopyDefault(defaultValue, buffer, size, CodeForErrno(errno));
    std::vector<Line> lines = SplitLines(*bytes);
    Place place = Find(*bytes, lines, Trim(section), Trim(key));
    if (!place.key) return CopyDefault(defaultValue, buffer, size, ERROR_FILE_NOT_FOUND);
    const Line& line = lines[*place.key];
    std::string_view lineKey;
    std::string_view value;
    KeyLine(std::string_view(bytes->data() + line.begin, line.end - line.begin), lineKey, value);
    return CopyOut(Unquote(value), buffer, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    if (!section || !key || !value || !fileName || !*fileName)
        return platform::FailWith(ERROR_INVALID_PARAMETER);
    std::string_view sectionName = Trim(section);
    std::string_view keyName = Trim(key);
    if (keyName.empty() || BreaksLine(sectionName) ||
        sectionName.find(']') != std::string_view::npos || BreaksLine(keyName) ||
        keyName.find('=') != std::string_view::npos || keyName.front() == '[' || BreaksLine(value))
        return platform::FailWith(ERROR_INVALID_PARAMETER);

    mode_t mode = kNewFileMode;
    std::string bytes;
    if (std::optional<std::string> old = ReadWhole(fileName)) {
        bytes = std::move(*old);
        struct stat info {};
        if (lstat(fileName, &info) == 0) mode = info.st_mode & 07777;
    } else if (errno != ENOENT) {
        return platform::FailWith(CodeForErrno(errno));
    }

    // New lines take the file's own line end; a new file gets CR LF.
    std::string eol = "\r\n";
    if (size_t lf = bytes.find('\n'); lf != std::string::npos)
        eol = lf > 0 && bytes[lf - 1] == '\r' ? "\r\n" : "\n";
    std::string entry = std::string(keyName) + "=" + value;

    std::vector<Line> lines = SplitLines(bytes);
    Place place = Find(bytes, lines, sectionName, keyName);
    if (place.key) {
        const Line& line = lines[*place.key];
        bytes.replace(line.begin, line.end - line.begin, entry);
    } else if (place.section) {
        // After the section's last line that is not blank.
        size_t last = place.sectionEnd - 1;
        while (last > *place.section && Trim(std::string_view(bytes.data() + lines[last].begin,
                                                              lines[last].end - lines[last].begin))
                                            .empty())
            --last;
        const Line& line = lines[last];
        bool ended = line.next > line.begin && bytes[line.next - 1] == '\n';
        bytes.insert(line.next, ended ? entry + eol : eol + entry);
    } else {
        if (!bytes.empty() && bytes.back() != '\n') bytes += eol;
        bytes += "[" + std::string(sectionName) + "]" + eol + entry + eol;
    }
    if (!ReplaceFile(fileName, bytes, mode))
        return platform::FailWith(errno == ENOENT ? ERROR_PATH_NOT_FOUND : CodeForErrno(errno));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
