// Env: reader and writer of the tree's private environment files.
#include "Hostsys/Env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Hostsys/Revision.h"
#include "platform/base/Posix.h"
#include "platform/winerror.h"

const char* const Env::s_pRevisionCpp = TAVRO_REVISION("Hostsys/Env.cpp", "1.9");
const char* const Env::s_pRevisionH = ENV_H_REVISION;

namespace {

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Buffered forward reader over a descriptor from a given offset.
class Reader {
public:
    static constexpr int kEnd = -1;
    static constexpr int kError = -2;

    Reader(int fd, int64_t offset) : m_fd(fd), m_pos(offset) {}

    int Peek() {
        if (m_next == m_size && !Fill()) return m_error ? kError : kEnd;
        return static_cast<unsigned char>(m_buffer[m_next]);
    }
    void Skip() {
        ++m_next;
        ++m_pos;
    }
    int64_t Pos() const { return m_pos; }

    // Reads exactly `count` bytes; false at a short read or an error.
    bool Read(size_t count, std::string& out) {
        out.clear();
        while (out.size() < count) {
            if (m_next == m_size && !Fill()) return false;
            size_t take = std::min(count - out.size(), m_size - m_next);
            out.append(m_buffer + m_next, take);
            m_next += take;
            m_pos += static_cast<int64_t>(take);
        }
        return true;
    }

private:
    bool Fill() {
        ssize_t n =
            platform::RetryOnEintr([&] { return ::pread(m_fd, m_buffer, sizeof m_buffer, m_pos); });
        if (n < 0) {
            m_error = true;
            platform::SetLastErrorFromErrno();
            return false;
        }
        m_next = 0;
        m_size = static_cast<size_t>(n);
        return n > 0;
    }

    int m_fd;
    int64_t m_pos;
    char m_buffer[4096];
    size_t m_next = 0;
    size_t m_size = 0;
    bool m_error = false;
};

bool RegularFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Copies what `from` holds from its start to `to`, which is left at its end.
bool CopyAll(int from, int to) {
    char buffer[8192];
    for (;;) {
        const ssize_t n =
            platform::RetryOnEintr([&] { return ::read(from, buffer, sizeof buffer); });
        if (n < 0) return false;
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = platform::RetryOnEintr(
                [&] { return ::write(to, buffer + done, static_cast<size_t>(n - done)); });
            if (w <= 0) return false;
            done += w;
        }
    }
}

}  // namespace

Env::Env() = default;

Env::Env(const std::string& name) : m_fileName(name) {}

Env::Env(const Env& other)
    : m_fileName(other.m_fileName),
      m_fail(other.m_fail),
      m_scanEnded(other.m_scanEnded),
      m_lastStart(other.m_lastStart),
      m_lastText(other.m_lastText),
      m_lastLength(other.m_lastLength),
      m_lastDigits(other.m_lastDigits) {}

Env& Env::operator=(const Env& other) {
    if (this == &other) return *this;
    Close();
    m_fileName = other.m_fileName;
    m_fail = other.m_fail;
    m_scanEnded = other.m_scanEnded;
    m_lastStart = other.m_lastStart;
    m_lastText = other.m_lastText;
    m_lastLength = other.m_lastLength;
    m_lastDigits = other.m_lastDigits;
    return *this;
}

Env::~Env() { Close(); }

void Env::File(const std::string& name) { m_fileName = name; }

bool Env::Open(bool read) {
    if (m_fd >= 0) {
        m_fail = true;
        return true;
    }
    // A link planted in the file's place is refused. A file made afresh is
    // made whole under a temporary name (0600, whatever the umask) and then
    // renamed into place, so it never writes through a link or into a file
    // someone else holds open; it is also readable, so that what was just
    // written can be read back through the same object.
    m_fd = read ? ::open(m_fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : CreateAfresh();
    if (m_fd < 0) {
        platform::SetLastErrorFromErrno();
        m_fail = true;
        return false;
    }
    m_fail = false;
    return true;
}

int Env::CreateAfresh() const {
    std::string temporary = m_fileName + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fchmod(fd, 0600) != 0 || ::rename(temporary.c_str(), m_fileName.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool Env::OpenWrite() {
    if (m_fd >= 0) return true;
    const int current = ::open(m_fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (current < 0) {
        // Only a file that is not there is made; a link in its place is refused.
        if (errno != ENOENT) {
            platform::SetLastErrorFromErrno();
            m_fail = true;
            return false;
        }
        return Open(false);
    }
    // The edits go to a private copy (0600, whatever the umask) that Close
    // renames into place: a reader never meets a half-edited file, and a file
    // another user made readable, or holds open, is replaced, not written.
    std::string temporary = m_fileName + ".XXXXXX";
    const int fd = RegularFile(current) ? ::mkostemp(temporary.data(), O_CLOEXEC) : -1;
    const bool copied = fd >= 0 && ::fchmod(fd, 0600) == 0 && CopyAll(current, fd);
    const int error = RegularFile(current) ? errno : EINVAL;
    ::close(current);
    if (!copied) {
        if (fd >= 0) {
            ::unlink(temporary.c_str());
            ::close(fd);
        }
        errno = error;
        platform::SetLastErrorFromErrno();
        m_fail = true;
        return false;
    }
    m_fd = fd;
    m_pending = temporary;
    m_fail = false;
    return true;
}

void Env::Close() {
    if (m_fd < 0) return;
    if (!m_pending.empty()) {
        if (::rename(m_pending.c_str(), m_fileName.c_str()) != 0) {
            platform::SetLastErrorFromErrno();
            m_fail = true;
            ::unlink(m_pending.c_str());
        }
        m_pending.clear();
    }
    ::close(m_fd);
    m_fd = -1;
}

bool Env::OpenIfClosed() { return m_fd >= 0 || Open(true); }

bool Env::IsValidName(const std::string& name) {
    if (name.empty()) return false;
    if (IsDigit(name[0]) || IsSpace(name[0])) return false;
    return name.find_first_of("=\n") == std::string::npos;
}

Env::Scan Env::Search(const std::string& name) {
    m_lastStart = 0;
    m_lastLength = 0;
    m_lastDigits = 0;
    Reader in(m_fd, 0);
    std::string text;
    for (;;) {
        int c;
        while (IsSpace(c = in.Peek())) in.Skip();
        if (c == Reader::kEnd) return Scan::kEnd;
        if (c == Reader::kError || !IsDigit(c)) return Scan::kStopped;
        int64_t start = in.Pos();
        int32_t length = 0;
        int digits = 0;
        while (IsDigit(c = in.Peek())) {
            if (length <= kMaxRecordText) length = length * 10 + (c - '0');
            ++digits;
            in.Skip();
        }
        if (c == Reader::kError || length > kMaxRecordText) return Scan::kStopped;
        // A record cut short by the end of the file is bad data, not the
        // end: writing after it would make the new record part of it.
        if (!in.Read(static_cast<size_t>(length), text)) return Scan::kStopped;
        // The name is the text before the first "="; a text without one has
        // an empty name.
        size_t equals = text.find('=');
        if ((equals == std::string::npos ? std::string() : text.substr(0, equals)) == name) {
            m_lastStart = start;
            m_lastLength = length;
            m_lastDigits = digits;
            m_lastText = std::move(text);
            return Scan::kFound;
        }
    }
}

bool Env::Find(const std::string& name) {
    m_lastText.clear();
    m_scanEnded = false;
    if (!OpenIfClosed()) return false;
    m_fail = false;
    Scan result = Search(name);
    if (result == Scan::kFound) return true;
    m_lastText.clear();
    m_scanEnded = result == Scan::kEnd;
    if (result == Scan::kStopped) m_lastStart = 0;
    return false;
}

// True when the whole file scans to its end; only then can a record
// written at the end be found again.
bool Env::ReachesEnd() {
    int64_t start = m_lastStart;
    int32_t length = m_lastLength;
    int digits = m_lastDigits;
    std::string text = m_lastText;
    // No record's name contains "=", so the scan runs to the end or to bad data.
    bool ended = Search("=") == Scan::kEnd;
    m_lastStart = start;
    m_lastLength = length;
    m_lastDigits = digits;
    m_lastText = std::move(text);
    return ended;
}

const std::string& Env::ReadEnvVar(const std::string& name) {
    Find(name);
    return m_lastText;
}

bool Env::WriteAt(int64_t offset, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = platform::RetryOnEintr([&] {
            return ::pwrite(m_fd, bytes.data() + done, bytes.size() - done,
                            offset + static_cast<int64_t>(done));
        });
        if (n <= 0) {
            platform::SetLastErrorFromErrno();
            m_fail = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes a record after the last byte of the file. When the file does not
// end in white space, a line feed goes first: the digits of an empty
// record standing last would otherwise run into the new length.
bool Env::WriteAtEnd(const std::string& bytes, int64_t* offset) {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) {
        platform::SetLastErrorFromErrno();
        m_fail = true;
        return false;
    }
    *offset = st.st_size;
    if (st.st_size > 0) {
        Reader in(m_fd, st.st_size - 1);
        int last = in.Peek();
        if (last == Reader::kError) {
            m_fail = true;
            return false;
        }
        if (!IsSpace(last)) {
            *offset = st.st_size + 1;
            return WriteAt(st.st_size, "\n" + bytes);
        }
    }
    return WriteAt(st.st_size, bytes);
}

// The length as the file spells it: the same number of digits as the
// record being replaced (a file may carry leading zeros), so that the
// bytes after it stay where they are.
std::string Env::LengthDigits(int32_t length, int width) const {
    std::string digits = std::to_string(length);
    if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

// Overwrites the last found record's text with blanks; its digits and every
// byte after it stay as they are.
bool Env::BlankLastRecord() {
    return WriteAt(m_lastStart, LengthDigits(m_lastLength, m_lastDigits) +
                                    std::string(static_cast<size_t>(m_lastLength), ' '));
}

// Blanks the records of `name` that a hand-edited file may hold before
// `before`, so that none of them shadows the record that stands there.
bool Env::BlankShadows(const std::string& name, int64_t before) {
    // Each round must find a record further on: one that stays found after
    // its blanking (a name that a blanked record also has) ends the search.
    int64_t blanked = -1;
    while (Find(name) && m_lastStart < before && m_lastStart > blanked) {
        blanked = m_lastStart;
        if (!BlankLastRecord()) return false;
    }
    return true;
}

bool Env::DeleteEnvVar(const std::string& name) {
    // The empty name would find blanked records, which are already deleted.
    if (!IsValidName(name)) return false;
    if (!OpenIfClosed()) return false;
    if (!Find(name)) return false;
    if (!BlankLastRecord()) return false;
    // A later record of the same name would come back into sight.
    if (!BlankShadows(name, INT64_MAX)) return false;
    m_lastText.clear();
    return Good();
}

bool Env::AppendEnvVar(const std::string& name, const std::string& text) {
    if (!IsValidName(name)) return false;
    if (!OpenIfClosed()) return false;
    if (!Find(name)) return false;
    size_t equals = m_lastText.find('=');
    std::string oldValue = equals == std::string::npos ? "" : m_lastText.substr(equals + 1);
    std::string newText = name + "=" + oldValue + text;
    if (newText.size() > static_cast<size_t>(kMaxRecordText)) return false;
    if (!ReachesEnd()) return false;
    // The new record is written before the old one is blanked, so a failed
    // write leaves the old value readable instead of losing it.
    int64_t oldStart = m_lastStart;
    int64_t newStart = 0;
    if (!WriteAtEnd(std::to_string(newText.size()) + newText + "\n", &newStart)) return false;
    m_lastStart = oldStart;
    if (!BlankLastRecord()) return false;
    if (!BlankShadows(name, newStart)) return false;
    m_lastStart = newStart;
    m_lastLength = static_cast<int32_t>(newText.size());
    m_lastDigits = static_cast<int>(std::to_string(m_lastLength).size());
    m_lastText = std::move(newText);
    return Good();
}

bool Env::AddEnvVar(const std::string& name, const std::string& value) {
    if (!IsValidName(name)) return false;
    std::string newText = name + "=" + value;
    if (newText.size() > static_cast<size_t>(kMaxRecordText)) return false;
    if (!OpenIfClosed()) return false;
    int32_t newLength = static_cast<int32_t>(newText.size());
    std::string digits = std::to_string(newLength);

    if (Find(name)) {
        if (newLength == m_lastLength) {
            if (!WriteAt(m_lastStart, LengthDigits(newLength, m_lastDigits) + newText))
                return false;
        } else if (newLength < m_lastLength) {
            // A shorter record is rewritten in place and padded with blanks
            // to the old record's size; the reader skips the blanks.
            std::string record = digits + newText + "\n";
            size_t oldSize = static_cast<size_t>(m_lastDigits + m_lastLength);
            if (record.size() < oldSize) record.append(oldSize - record.size(), ' ');
            if (!WriteAt(m_lastStart, record)) return false;
            m_lastDigits = static_cast<int>(digits.size());
        } else {
            if (!ReachesEnd()) return false;
            int64_t newStart = 0;
            if (!WriteAtEnd(digits + newText + "\n", &newStart)) return false;
            if (!BlankLastRecord()) return false;
            if (!BlankShadows(name, newStart)) return false;
            m_lastStart = newStart;
            m_lastDigits = static_cast<int>(digits.size());
        }
        m_lastLength = newLength;
        m_lastText = std::move(newText);
        return Good();
    }
    // Only a scan that reached the end of the file may add at the end;
    // after bad data the new record would be lost behind it.
    if (!m_scanEnded) return false;
    int64_t newStart = 0;
    if (!WriteAtEnd(digits + newText + "\n", &newStart)) return false;
    m_lastStart = newStart;
    m_lastLength = newLength;
    m_lastDigits = static_cast<int>(digits.size());
    m_lastText = std::move(newText);
    return Good();
}
