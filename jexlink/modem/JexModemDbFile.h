// The locked file of a modem database (lines or servers), read and rewritten in fixed-size records.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexResourceLock.h"

// One operation's hold on a database file: the process-wide privilege lock,
// the named resource lock and, once opened, an exclusive flock on the file
// itself, all held until the object ends. The flock is what keeps other
// processes out (a modem daemon takes the same flock on the same path); it
// is waited for at most LockWaitMs().
//
// The file is read through the descriptor in whole records of a fixed size,
// buffered, and a record is rewritten in place with one write at its offset.
// Only regular files are opened, never through a symbolic link. A file
// made here is made exclusively and given kFileMode whatever the umask, so
// that no other user can open it to take its lock; a file or folder found
// open to other users is reported once per process on standard error.
class JexModemDbFile {
public:
    static constexpr int kLockWaitMs = 10000;
    static constexpr mode_t kFileMode = 0660;

    // The bound on the wait for the flock (kLockWaitMs unless a test set a
    // shorter one); SetLockWaitMs returns the bound it replaced.
    static int LockWaitMs();
    static int SetLockWaitMs(int ms);

    enum class Opened {
        kOk,
        kOpenFailed,    // open or not a regular file; Error() holds errno
        kStreamFailed,  // no stream could be attached; Error() holds errno
        kLockFailed,    // the flock was not had in time; Error() holds errno
    };
    enum class Read {
        kRecord,  // a whole record
        kEnd,     // no more bytes
        kShort,   // fewer bytes than a record: the file is damaged
        kFailed,  // the read itself failed; Error() holds errno
    };

    JexModemDbFile(const char* resourceName, size_t recordSize);
    ~JexModemDbFile();
    JexModemDbFile(const JexModemDbFile&) = delete;
    JexModemDbFile& operator=(const JexModemDbFile&) = delete;

    // Opens with `flags` (O_RDONLY or O_RDWR, with O_CREAT to make a
    // missing file), attaches a stream ("r" or "r+") and takes the flock
    // within `lockWaitMs` (negative: LockWaitMs()).
    Opened Open(const char* path, int flags, int lockWaitMs = -1);
    // The resource lock, to carry a lock failure as cause.
    JexResourceLock& ResourceLock() { return resource_; }
    int Error() const { return error_; }

    // The number of the first record that is not whole (the file's length is
    // not a multiple of the record size), else 0. Valid after Open.
    int32_t ShortRecordNumber() const;

    // Reads the next record into `record` (recordSize bytes).
    Read Next(std::string& record);
    // Hands the text (the first textLength bytes, cut at a NUL) of every
    // record that is not removed (first byte not a blank) to `visit`, which
    // returns true to stop at that record. kRecord when stopped, else how
    // the reading ended: kEnd, kShort or kFailed.
    template <typename Visit>
    Read ScanLive(size_t textLength, Visit visit);
    // How the last read ended.
    Read LastRead() const { return lastRead_; }
    // Number (from 1) of the record last read.
    int32_t RecordNumber() const { return number_; }
    // Reading starts again at the first record.
    void Rewind();

    // Writes `bytes` (recordSize of them) over the record last read, or at
    // the end of the file when nothing was read since the end was reached.
    // False, with Error() set, unless every byte was written.
    bool RewriteLast(const char* bytes);
    bool Append(const char* bytes);

    void Close();

private:
    Read Fill(std::string& record);
    bool WriteAt(off_t offset, const char* bytes);

    JexPrivLock privilege_;
    JexResourceLock resource_;
    size_t recordSize_;
    int fd_ = -1;
    FILE* stream_ = nullptr;
    int error_ = 0;
    off_t size_ = 0;
    off_t next_ = 0;  // offset of the next record to hand out
    int32_t number_ = 0;
    Read lastRead_ = Read::kEnd;
    std::vector<char> buffer_;
    off_t bufferOffset_ = 0;
    size_t bufferUsed_ = 0;
};

// Reads the fields of one record the way a scan splits them at white space,
// but never past the record's text (up to its first NUL) and never a word
// wider than its column: a record that does not fit is not read at all.
class JexModemRecordScanner {
public:
    JexModemRecordScanner(const char* text, size_t length);

    // The next word of 1 to maxWidth bytes.
    bool Word(size_t maxWidth, std::string& out);
    // The next word as a decimal number (optional sign) of at most maxWidth
    // characters.
    bool Decimal(size_t maxWidth, int32_t& out);
    // The next word as hexadecimal digits, at most maxWidth of them.
    bool Hex(size_t maxWidth, int32_t& out);
    // After the white space that follows, the rest up to maxWidth bytes
    // (possibly none).
    void Rest(size_t maxWidth, std::string& out);

private:
    void SkipSpace();

    const char* text_;
    size_t length_;
    size_t at_ = 0;
};

// One match of a search: the record's text and its lower-cased copy.
struct JexModemMatch {
    std::string key;
    std::string text;
};

// Stores the texts of the matches in `list`, sorted by key in the order the
// searches' exchange sort has always given (the entry at i swapped with
// every later one whose key is smaller), equal keys included, which is not
// a stable sort's: in O(n log n), where the exchange took O(n^2).
void JexModemSortInto(std::vector<JexModemMatch>& matches, JexFieldedString& list);

// A record's text: its first `length` bytes, cut at a NUL.
std::string JexModemRecordText(const std::string& record, size_t length);
// The first word of a text (white space before it skipped), or empty.
std::string JexModemFirstWord(const std::string& text);
// The text lower-cased as JexString does it.
std::string JexModemLower(const std::string& text);

// The texts that database values may not hold.
bool JexModemHasControl(const char* text);
bool JexModemHasSpace(const char* text);

template <typename Visit>
JexModemDbFile::Read JexModemDbFile::ScanLive(size_t textLength, Visit visit) {
    std::string bytes;
    for (;;) {
        const Read read = Next(bytes);
        if (read != Read::kRecord) return read;
        if (bytes[0] == ' ') continue;
        if (visit(JexModemRecordText(bytes, textLength))) return Read::kRecord;
    }
}

// The check each GetAttr and SetAttr of a database (lines or servers) makes
// first: OK when `attribute` of `rows` may be accessed so, otherwise the
// fault's code, set on `db` and raised. Only an unknown number is named in
// the error, after `label`.
template <class Db>
int JexModemDbAttrCheck(Db& db, std::span<const JexAttrRow> rows, int attribute, JexAttrKind kind,
                        JexAttrAccess access, const char* label) {
    static constexpr JexAttrCodes kCodes{Db::BADATTR, Db::ATTRNOTINT, Db::ATTRNOTSTRING,
                                         Db::ATTRREADONLY};
    const int code = JexAttrCheck(rows, attribute, kind, access, kCodes);
    if (code == Db::OK) return Db::OK;
    db.ExcSet(code, code == Db::BADATTR ? JexExcArgs(label, attribute) : JexExcArgs());
    db.Raise();
    return code;
}
