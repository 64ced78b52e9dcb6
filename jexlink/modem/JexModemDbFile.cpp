// The locked file of a modem database (lines or servers), read and rewritten in fixed-size records.
#include "jexlink/modem/JexModemDbFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "jexlink/core/JexString.h"

namespace {

// Records read from the file at once.
constexpr size_t kBufferRecords = 256;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::atomic<int>& LockWait() {
    static std::atomic<int> ms{JexModemDbFile::kLockWaitMs};
    return ms;
}

// Whether this is the first report of `what` for `path` in this process.
bool FirstReport(const std::string& path, char what) {
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard<std::mutex> hold(mutex);
    return reported.insert(what + path).second;
}

// Any other user who can open the file can hold its lock (a read-only
// open suffices for flock); one who can write the folder can put another
// file in its place.
void WarnIfOpenToOthers(const char* path, const struct stat& file) {
    if ((file.st_mode & S_IRWXO) != 0 && FirstReport(path, 'f'))
        std::fprintf(stderr,
                     "Warning: modem database %s is open to other users (mode %04o): any of "
                     "them can hold its lock; it should be mode 0660\n",
                     path, static_cast<unsigned>(file.st_mode & 07777));
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    struct stat info {};
    if (stat(folder.empty() ? "." : folder.c_str(), &info) == 0 && (info.st_mode & S_IWOTH) != 0 &&
        FirstReport(path, 'd'))
        std::fprintf(stderr,
                     "Warning: the folder of modem database %s is writable by other users "
                     "(mode %04o): any of them can replace the file\n",
                     path, static_cast<unsigned>(info.st_mode & 07777));
}

}  // namespace

JexModemDbFile::JexModemDbFile(const char* resourceName, size_t recordSize)
    : privilege_(1), resource_(resourceName), recordSize_(recordSize) {}

JexModemDbFile::~JexModemDbFile() { Close(); }

int JexModemDbFile::LockWaitMs() { return LockWait().load(); }

int JexModemDbFile::SetLockWaitMs(int ms) { return LockWait().exchange(std::max(ms, 0)); }

JexModemDbFile::Opened JexModemDbFile::Open(const char* path, int flags, int lockWaitMs) {
    if (lockWaitMs < 0) lockWaitMs = LockWaitMs();
    // Non-blocking, so that a FIFO planted in the file's place cannot hold
    // the open; anything but a regular file is refused below.
    const int plain = (flags & ~O_CREAT) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool created = false;
    fd_ = ::open(path, plain);
    if (fd_ < 0 && errno == ENOENT && (flags & O_CREAT)) {
        // Made only here and only new (O_EXCL follows no link planted in
        // the meantime); another process that made it first is joined.
        fd_ = ::open(path, plain | O_CREAT | O_EXCL, kFileMode);
        created = fd_ >= 0;
        if (fd_ < 0 && errno == EEXIST) fd_ = ::open(path, plain);
    }
    if (fd_ < 0) {
        error_ = errno;
        return Opened::kOpenFailed;
    }
    struct stat info {};
    const bool examined = fstat(fd_, &info) == 0;
    // The mode the umask narrowed or widened is set again on the new file.
    const bool moded = !created || fchmod(fd_, kFileMode) == 0;
    if (!examined || !S_ISREG(info.st_mode) || !moded) {
        error_ = !examined || !moded ? errno : EINVAL;
        ::close(fd_);
        fd_ = -1;
        return Opened::kOpenFailed;
    }
    if (!created) WarnIfOpenToOthers(path, info);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    stream_ = fdopen(fd_, (flags & O_ACCMODE) == O_RDONLY ? "r" : "r+");
    if (!stream_) {
        error_ = errno;
        ::close(fd_);
        fd_ = -1;
        return Opened::kStreamFailed;
    }
    if (!JexPrivLock::LockFile(fd_, lockWaitMs)) {
        error_ = errno ? errno : EWOULDBLOCK;
        Close();
        return Opened::kLockFailed;
    }
    // The length is read under the lock: no writer that keeps to it can
    // change it until the close.
    if (fstat(fd_, &info) != 0) {
        error_ = errno;
        Close();
        return Opened::kOpenFailed;
    }
    size_ = info.st_size;
    return Opened::kOk;
}

int32_t JexModemDbFile::ShortRecordNumber() const {
    const off_t size = static_cast<off_t>(recordSize_);
    if (size_ % size == 0) return 0;
    return static_cast<int32_t>(std::min<off_t>(size_ / size + 1, INT32_MAX));
}

JexModemDbFile::Read JexModemDbFile::Next(std::string& record) {
    lastRead_ = Fill(record);
    return lastRead_;
}

JexModemDbFile::Read JexModemDbFile::Fill(std::string& record) {
    if (next_ < bufferOffset_ ||
        next_ + static_cast<off_t>(recordSize_) > bufferOffset_ + static_cast<off_t>(bufferUsed_)) {
        buffer_.resize(recordSize_ * kBufferRecords);
        bufferOffset_ = next_;
        bufferUsed_ = 0;
        while (bufferUsed_ < buffer_.size()) {
            const ssize_t n = pread(fd_, buffer_.data() + bufferUsed_, buffer_.size() - bufferUsed_,
                                    bufferOffset_ + static_cast<off_t>(bufferUsed_));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error_ = errno;
                return Read::kFailed;
            }
            if (n == 0) break;
            bufferUsed_ += static_cast<size_t>(n);
        }
    }
    const size_t at = static_cast<size_t>(next_ - bufferOffset_);
    const size_t have = bufferUsed_ > at ? bufferUsed_ - at : 0;
    if (have == 0) return Read::kEnd;
    ++number_;
    if (have < recordSize_) return Read::kShort;
    record.assign(buffer_.data() + at, recordSize_);
    next_ += static_cast<off_t>(recordSize_);
    return Read::kRecord;
}

void JexModemDbFile::Rewind() {
    next_ = 0;
    number_ = 0;
}

bool JexModemDbFile::RewriteLast(const char* bytes) {
    return WriteAt(next_ - static_cast<off_t>(recordSize_), bytes);
}

bool JexModemDbFile::Append(const char* bytes) { return WriteAt(size_, bytes); }

bool JexModemDbFile::WriteAt(off_t offset, const char* bytes) {
    size_t done = 0;
    while (done < recordSize_) {
        const ssize_t n =
            pwrite(fd_, bytes + done, recordSize_ - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    size_ = std::max(size_, offset + static_cast<off_t>(recordSize_));
    // Keep the buffered copy true to the file.
    const off_t end = bufferOffset_ + static_cast<off_t>(bufferUsed_);
    if (offset >= bufferOffset_ && offset + static_cast<off_t>(recordSize_) <= end)
        std::memcpy(buffer_.data() + (offset - bufferOffset_), bytes, recordSize_);
    else
        bufferUsed_ = 0;
    return true;
}

void JexModemDbFile::Close() {
    // Closing the stream closes the descriptor and with it the flock.
    if (stream_) {
        std::fclose(stream_);
    } else if (fd_ >= 0) {
        ::close(fd_);
    }
    stream_ = nullptr;
    fd_ = -1;
}

JexModemRecordScanner::JexModemRecordScanner(const char* text, size_t length)
    : text_(text), length_(length) {
    const void* nul = std::memchr(text, 0, length);
    if (nul) length_ = static_cast<size_t>(static_cast<const char*>(nul) - text);
}

void JexModemRecordScanner::SkipSpace() {
    while (at_ < length_ && IsSpace(text_[at_])) ++at_;
}

bool JexModemRecordScanner::Word(size_t maxWidth, std::string& out) {
    SkipSpace();
    const size_t start = at_;
    while (at_ < length_ && !IsSpace(text_[at_])) ++at_;
    const size_t n = at_ - start;
    if (n == 0 || n > maxWidth) return false;
    out.assign(text_ + start, n);
    return true;
}

bool JexModemRecordScanner::Decimal(size_t maxWidth, int32_t& out) {
    std::string word;
    if (!Word(maxWidth, word)) return false;
    size_t i = word[0] == '-' || word[0] == '+' ? 1 : 0;
    if (i == word.size()) return false;
    int64_t value = 0;
    for (; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
        value = value * 10 + (word[i] - '0');
        if (value > INT32_MAX) return false;
    }
    out = static_cast<int32_t>(word[0] == '-' ? -value : value);
    return true;
}

bool JexModemRecordScanner::Hex(size_t maxWidth, int32_t& out) {
    std::string word;
    if (!Word(std::min<size_t>(maxWidth, 8), word)) return false;
    uint32_t value = 0;
    for (char c : word) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit =
            c <= '9' ? c - '0' : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    out = static_cast<int32_t>(value);
    return true;
}

void JexModemRecordScanner::Rest(size_t maxWidth, std::string& out) {
    SkipSpace();
    out.assign(text_ + at_, std::min(maxWidth, length_ - at_));
    at_ += out.size();
}

bool JexModemHasControl(const char* text) {
    for (const char* p = text; p && *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool JexModemHasSpace(const char* text) {
    for (const char* p = text; p && *p; ++p)
        if (IsSpace(*p)) return true;
    return false;
}

std::string JexModemRecordText(const std::string& record, size_t length) {
    const size_t n = std::min(record.size(), length);
    const void* nul = std::memchr(record.data(), 0, n);
    return record.substr(
        0, nul ? static_cast<size_t>(static_cast<const char*>(nul) - record.data()) : n);
}

std::string JexModemFirstWord(const std::string& text) {
    JexModemRecordScanner scan(text.data(), text.size());
    std::string word;
    scan.Word(text.size(), word);
    return word;
}

std::string JexModemLower(const std::string& text) {
    JexString lowered(text.c_str());
    lowered.ToLower();
    return lowered.Text();
}

namespace {

// Counts per position (a Fenwick tree): sums before a position, and the
// position of the k-th set one.
class PositionCounts {
public:
    PositionCounts(size_t size, int initial) : tree_(size + 1, 0) {
        for (size_t i = 1; i <= size; ++i) {
            tree_[i] += initial;
            if (const size_t up = i + (i & (~i + 1)); up <= size) tree_[up] += tree_[i];
        }
    }
    void Add(size_t at, int delta) {
        for (size_t i = at + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += delta;
    }
    int Before(size_t end) const {
        int sum = 0;
        for (size_t i = end; i > 0; i -= i & (~i + 1)) sum += tree_[i];
        return sum;
    }
    // The position of the set one that has k set ones before it.
    size_t Nth(int k) const {
        size_t at = 0;
        size_t step = 1;
        while (step * 2 < tree_.size()) step *= 2;
        for (; step > 0; step /= 2)
            if (at + step < tree_.size() && tree_[at + step] <= k) {
                at += step;
                k -= tree_[at];
            }
        return at;
    }

private:
    std::vector<int> tree_;
};

// The order in which the exchange sort (the entry at i swapped with every
// later one whose key is smaller) leaves the entries of one key, at the
// ascending positions `ties`; `smaller` counts the entries of smaller keys
// by position. That sort moves an entry of this key only while it heads
// what is left among the entries of this key and smaller ones: it then
// goes behind the run of this key's entries that follows it, for each
// smaller entry met. So each smaller entry after the first tie turns the
// ties seen so far by one, as a queue whose head goes to its back.
// Replayed as insertions into a ring (O(g log g)), not turn by turn.
std::vector<size_t> TieOrder(const std::vector<size_t>& ties, const PositionCounts& smaller,
                             size_t total) {
    const size_t count = ties.size();
    std::vector<size_t> insertAt(count);
    size_t head = 0;  // index of the queue's head in the ring
    for (size_t j = 0; j < count; ++j) {
        // A new tie joins at the back: just before the head in the ring.
        insertAt[j] = head;
        if (j > 0) ++head;
        const size_t end = j + 1 < count ? ties[j + 1] : total;
        const auto turns = static_cast<size_t>(smaller.Before(end) - smaller.Before(ties[j] + 1));
        head = (head + turns) % (j + 1);
    }
    // The ring's final slots, the last insertion first.
    PositionCounts free(count, 1);
    std::vector<size_t> ring(count);
    for (size_t j = count; j-- > 0;) {
        const size_t slot = free.Nth(static_cast<int>(insertAt[j]));
        free.Add(slot, -1);
        ring[slot] = ties[j];
    }
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = ring[(head + i) % count];
    return order;
}

}  // namespace

void JexModemSortInto(std::vector<JexModemMatch>& matches, JexFieldedString& list) {
    const size_t total = matches.size();
    std::vector<size_t> byKey(total);
    for (size_t i = 0; i < total; ++i) byKey[i] = i;
    std::stable_sort(byKey.begin(), byKey.end(),
                     [&](size_t a, size_t b) { return matches[a].key < matches[b].key; });
    list.Clear();
    list.Grow(static_cast<int>(total));
    PositionCounts smaller(total, 0);
    int out = 0;
    for (size_t first = 0; first < total;) {
        size_t last = first + 1;
        while (last < total && matches[byKey[last]].key == matches[byKey[first]].key) ++last;
        const std::vector<size_t> ties(byKey.begin() + static_cast<std::ptrdiff_t>(first),
                                       byKey.begin() + static_cast<std::ptrdiff_t>(last));
        for (const size_t at : ties.size() > 1 ? TieOrder(ties, smaller, total) : ties)
            list[out++] = matches[at].text.c_str();
        for (const size_t at : ties) smaller.Add(at, 1);
        first = last;
    }
}
