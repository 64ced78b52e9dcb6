// The route map database: next hops by destination pattern, loaded from the route map file.
#include "jexlink/transport/JexRouteMap.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "jexlink/core/JexFileStamp.h"
#include "jexlink/core/JexFileWatch.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexWildcardMatch.h"
#include "jexlink/transport/JexNetAddr.h"
#include "jexlink/transport/JexQSort.h"

#define JEX_TEXT_CLASS JexRouteMap
const JexTextRow JexRouteMap::kTextTable[] = JEX_TEXT_TABLE(JEXROUTEMAP_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

enum TraceBit : int { kTraceHits = 1, kTraceSearch = 2, kTraceErrors = 4 };

// Process-wide; every construction adds the letters of JEXROUTEMAP_TRACE.
std::atomic<int> traceWord{0};

void ReadTraceSwitch() {
    const char* value = std::getenv("JEXROUTEMAP_TRACE");
    int bits = 0;
    for (const char* c = value ? value : ""; *c; ++c) {
        if (*c == 'R' || *c == 'r') bits |= kTraceHits;
        if (*c == 'S' || *c == 's') bits |= kTraceSearch;
        if (*c == 'E' || *c == 'e') bits |= kTraceErrors;
    }
    traceWord.fetch_or(bits);
}

bool Tracing(int bit) { return (traceWord.load() & bit) != 0; }

}  // namespace

// A snapshot's entries, and their patterns one after the other (each ended by
// a NUL) for the look-up's walk, which then reads little memory.
struct JexRouteMap::SharedEntries {
    std::vector<JexRouteMapEntry> entries;
    std::string patterns;
    std::vector<size_t> starts;
};

namespace {

// The entries of the route map files read last (a few files, each with
// what identified it then), in lookup order. A gateway builds a map for
// every connection; while the file stays the same (same file, size and
// times) the next map shares these entries instead of reading, parsing and
// sorting it again, so that a connection costs no more than its look-up. A
// file changed within its clock's resolution of the read could keep its
// times and size, so only a file unchanged for a while before the read is
// kept.
struct Snapshot {
    std::string name;
    JexFileStamp file;
    uint64_t version;  // of the file watch when the file was read; 0 when not watched
    bool settled;      // the file had not been written lately: its stamp can be trusted
    std::shared_ptr<const JexRouteMap::SharedEntries> entries;
};
std::mutex snapshot_lock;
std::vector<Snapshot> snapshots;  // the newest last
constexpr size_t kMaxSnapshots = 8;
constexpr std::chrono::seconds kSettled(2);
// The entries kept in all snapshots together: the oldest go first to make
// room, and a map larger than this is read for each use (the table's own
// bound is far larger).
constexpr size_t kMaxSnapshotEntries = size_t{1} << 20;

std::vector<Snapshot>::iterator SnapshotOf(const char* name) {
    for (auto at = snapshots.begin(); at != snapshots.end(); ++at)
        if (at->name == name) return at;
    return snapshots.end();
}

// False when the file's last line has no newline: an appended line would
// run on from it and spoil both entries.
bool StartsOnANewLine(FILE* file) {
    if (std::fseek(file, -1, SEEK_END) != 0) return true;  // empty
    const int last = std::getc(file);
    std::fseek(file, 0, SEEK_END);
    return last == '\n' || last == EOF;
}

// True when each of the first three '/'-separated fields of `pattern` that
// is not empty matches the key's field (domain, node, application) either
// way (`part` holds each field in turn). Walked in place: a look-up
// examines every entry before its hit.
bool Matches(const char* pattern, const std::string (&wanted)[3], std::string& part) {
    const char* field = pattern ? pattern : "";
    if (!*field) return true;
    for (int i = 0; i < 3; ++i) {
        const char* slash = std::strchr(field, '/');
        const size_t length = slash ? static_cast<size_t>(slash - field) : std::strlen(field);
        if (length > 0) {
            part.assign(field, length);
            if (!JexWildcardMatchEither(part.c_str(), wanted[i].c_str())) return false;
        }
        if (!slash) return true;
        field = slash + 1;
    }
    return true;
}

// Route map files are opened without handing their descriptor to children.
constexpr const char* kReadMode = "re";
// Appends read the last byte too (see StartsOnANewLine).
constexpr const char* kAppendMode = "a+e";
constexpr int kPrivileged = 1;
// How long an append waits for another appender's lock before it goes ahead.
constexpr int kAppendLockWaitMs = 5000;

}  // namespace

JexRouteMap::JexRouteMap(const JexString& file_name)
    : JexException(kTextTable, "JexRouteMap"), file_name_(file_name) {
    file_name_.SetCaseSensitive(file_name.CaseSensitive());
    ReadTraceSwitch();

    try {
        table_.reserve(static_cast<size_t>(capacity_));
    } catch (const std::bad_alloc&) {
        JexErrno cause(ENOMEM, "malloc");
        ExcSet(LOADFAIL, JexExcArgs("JexRouteMap"), &cause);
        return;
    }

    // Taken before the file is read: a change while it is read moves it.
    const uint64_t version = JexFileWatch::Process().Version({file_name_.Text()});
    if (version != 0 && TakeSnapshot(version, nullptr)) {
        loaded_ = 1;
        return;
    }

    file_ = JexPrivLock::fopen(file_name_.Text(), kReadMode, kPrivileged);
    if (!file_) {
        savedErrno_ = errno;
        JexErrno cause(savedErrno_, "fopen");
        ExcSet(OPENFAIL, JexExcArgs("JexRouteMap::JexRouteMap", file_name_), &cause);
        TraceError();
        return;
    }

    struct stat opened {};
    const bool identified = ::fstat(fileno(file_), &opened) == 0 && S_ISREG(opened.st_mode);
    const bool taken = identified && TakeSnapshot(version, &opened);
    if (!taken && !ReadEntries()) return;
    const int closed = JexPrivLock::fclose(file_, kPrivileged);
    file_ = nullptr;
    if (closed == -1) {
        JexErrno cause(errno, "fclose");
        ExcSet(CLOSEFAIL, JexExcArgs("JexRouteMap::JexRouteMap", file_name_), &cause);
    }
    if (!taken) Sort();
    loaded_ = 1;
    if (!taken && identified) KeepSnapshot(version, opened);
}

bool JexRouteMap::ReadEntries() {
    std::string line;
    bool tooLong = false;
    while (JexRouteMapEntry::ReadLine(file_, line, &tooLong)) {
        // An overlong line is dropped whole rather than read in pieces.
        if (tooLong) continue;
        JexRouteMapEntry parsed;
        if (!parsed.ParseLine(line)) continue;
        if (!Room()) {
            JexErrno cause(errno, "realloc");
            ExcSet(LOADFAIL, JexExcArgs("JexRouteMap::JexRouteMap"), &cause);
            ClearTable();
            JexPrivLock::fclose(file_, kPrivileged);
            file_ = nullptr;
            return false;
        }
        Append(parsed);
    }
    // A stream that fails (a directory, an I/O error) did not reach its end.
    if (std::ferror(file_)) {
        JexErrno cause(errno, "read");
        ExcSet(LOADFAIL, JexExcArgs("JexRouteMap::JexRouteMap"), &cause);
        ClearTable();
        JexPrivLock::fclose(file_, kPrivileged);
        file_ = nullptr;
        TraceError();
        return false;
    }
    return true;
}

bool JexRouteMap::TakeSnapshot(uint64_t version, const struct stat* file) {
    std::shared_ptr<const SharedEntries> entries;
    {
        std::lock_guard<std::mutex> hold(snapshot_lock);
        const auto kept = SnapshotOf(file_name_.Text());
        if (kept == snapshots.end()) return false;
        const bool same = file ? kept->settled && kept->file == JexFileStamp::Of(*file)
                               : version != 0 && kept->version == version;
        if (!same) return false;
        // An event of some other watched file moved the version: the next
        // map needs no look at the file until this one changes.
        if (file) kept->version = version;
        entries = kept->entries;
    }
    count_ = static_cast<int>(entries->entries.size());
    // The table of pointers waits for a change of this map (OwnTable).
    shared_ = std::move(entries);
    sorted_ = 1;
    cursor_ = 0;
    return true;
}

void JexRouteMap::KeepSnapshot(uint64_t version, const struct stat& file) {
    if (static_cast<size_t>(count_) > kMaxSnapshotEntries) return;
    const JexFileStamp stamp = JexFileStamp::Of(file);
    const bool settled = !stamp.WrittenWithin(kSettled);
    if (version == 0 && !settled) return;
    std::shared_ptr<const SharedEntries> entries;
    try {
        auto sorted = std::make_shared<SharedEntries>();
        sorted->entries.reserve(static_cast<size_t>(count_));
        sorted->starts.reserve(static_cast<size_t>(count_));
        for (int i = 0; i < count_; ++i) {
            sorted->entries.push_back(*table_[i]);
            sorted->starts.push_back(sorted->patterns.size());
            const char* pattern = table_[i]->pattern.Text();
            sorted->patterns.append(pattern, std::strlen(pattern) + 1);
        }
        entries = std::move(sorted);
    } catch (const std::bad_alloc&) {
        return;
    }
    Snapshot made{file_name_.Text(), stamp, version, settled, std::move(entries)};
    std::lock_guard<std::mutex> hold(snapshot_lock);
    if (const auto old = SnapshotOf(file_name_.Text()); old != snapshots.end())
        snapshots.erase(old);
    else if (snapshots.size() == kMaxSnapshots)
        snapshots.erase(snapshots.begin());
    size_t kept = static_cast<size_t>(count_);
    for (const Snapshot& other : snapshots) kept += other.entries->entries.size();
    while (kept > kMaxSnapshotEntries && !snapshots.empty()) {
        kept -= snapshots.front().entries->entries.size();
        snapshots.erase(snapshots.begin());
    }
    snapshots.push_back(std::move(made));
}

JexRouteMap::~JexRouteMap() = default;

void JexRouteMap::ClearTable() {
    table_.clear();
    store_.clear();
    shared_.reset();
    count_ = 0;
    cursor_ = 0;
}

bool JexRouteMap::OwnTable() {
    if (!shared_ || static_cast<int>(table_.size()) == count_) return true;
    try {
        table_.reserve(static_cast<size_t>(count_) + 1);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    capacity_ = std::max(capacity_, static_cast<int>(table_.capacity()));
    for (const JexRouteMapEntry& entry : shared_->entries) table_.push_back(&entry);
    return true;
}

const JexRouteMapEntry& JexRouteMap::At(int index) const {
    return static_cast<int>(table_.size()) == count_ ? *table_[static_cast<size_t>(index)]
                                                     : shared_->entries[static_cast<size_t>(index)];
}

const char* JexRouteMap::PatternAt(int index) const {
    return static_cast<int>(table_.size()) == count_
               ? table_[static_cast<size_t>(index)]->pattern.Text()
               : shared_->patterns.data() + shared_->starts[static_cast<size_t>(index)];
}

bool JexRouteMap::Room() {
    if (!OwnTable()) return false;
    if (count_ < capacity_) return true;
    if (capacity_ > (1 << 28)) {
        errno = ENOMEM;
        return false;
    }
    const int doubled = 2 * capacity_;
    try {
        table_.reserve(static_cast<size_t>(doubled));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    capacity_ = doubled;
    return true;
}

void JexRouteMap::Append(const JexRouteMapEntry& entry) {
    table_.push_back(&store_.emplace_back(entry));
    ++count_;
}

int JexRouteMap::CompareEntries(const void* a, const void* b) {
    return JexRouteMapEntry::Compare(**static_cast<const JexRouteMapEntry* const*>(a),
                                     **static_cast<const JexRouteMapEntry* const*>(b));
}

void JexRouteMap::Sort() {
    if (count_ > 1 && OwnTable())
        JexQSort(table_.data(), static_cast<size_t>(count_), sizeof(JexRouteMapEntry*),
                 CompareEntries);
    sorted_ = 1;
    cursor_ = 0;
}

void JexRouteMap::TraceError() {
    if (!Tracing(kTraceErrors)) return;
    std::fprintf(stderr, "%s\n", Describe(1).Text());
}

int JexRouteMap::Unloaded(const char* operation) {
    JexErrno cause(savedErrno_, "fopen");
    ExcRaise(OPENFAIL, JexExcArgs(operation, file_name_), &cause);
    return OPENFAIL;
}

int JexRouteMap::GetEntry(const JexFieldedString& key, JexRouteEntry& result) {
    const JexString keyText = key.Text();
    result.pattern.Parse("");
    result.address.Parse("");
    result.preference = JexRouteEntry::kNoPreference;
    result.flags = "";
    if (!loaded_) return Unloaded("JexRouteMap::GetEntry");
    if (!sorted_) Sort();

    JexFieldedString parts(key);
    std::string wanted[3];
    for (int i = 0; i < 3; ++i) {
        wanted[i] = parts[i].Text();
        for (char& c : wanted[i])
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }

    std::string part;
    while (cursor_ < count_) {
        const int index = cursor_++;
        if (Tracing(kTraceSearch)) {
            std::fprintf(stderr, "JexRouteMap::GetEntry: Searching for <%s>\n    Checking:\t",
                         keyText.Text());
            PrintEntry(index, stderr);
        }
        if (!Matches(PatternAt(index), wanted, part)) continue;
        const JexRouteMapEntry& entry = At(index);

        result.pattern.Parse(entry.pattern);
        result.address.Parse(entry.address);
        result.preference = entry.preference;
        result.flags = entry.flags;
        result.flags.SetCaseSensitive(entry.flags.CaseSensitive());
        if (Tracing(kTraceHits)) {
            std::fprintf(stderr, "JexRouteMap::GetEntry: Retrieved <%s>:\n", keyText.Text());
            PrintEntry(index, stderr);
        }
        ExcSet(OK, JexExcArgs("JexRouteMap::GetEntry"));
        return OK;
    }

    if (Tracing(kTraceHits))
        std::fprintf(stderr, "JexRouteMap::GetEntry: Could not find <%s>\n", keyText.Text());
    ExcSet(NOENTRY, JexExcArgs("JexRouteMap::GetEntry", keyText));
    TraceError();
    return NOENTRY;
}

int JexRouteMap::Rewind() {
    cursor_ = 0;
    return OK;
}

int JexRouteMap::AddEntry(const JexRouteEntry& entry, const JexString& comment) {
    if (!loaded_) return Unloaded("JexRouteMap::AddEntry");

    JexString address;
    entry.address.Format(address);
    JexRouteMapEntry added(entry.pattern.Text().Text(), address.Text(), entry.preference,
                           entry.flags.Text());
    for (int i = 0; i < count_; ++i)
        if (At(i).SameAs(added)) return OK;

    // What the file cannot hold as one line of this entry is refused, and so
    // is any append beyond the map's share.
    if (!added.Storable() || appended_ >= kMaxAppends) {
        JexErrno cause(added.Storable() ? EFBIG : EINVAL, "JexRouteMap::AddEntry");
        ExcSet(WRITEFAIL, JexExcArgs("JexRouteMap::AddEntry", file_name_), &cause);
        TraceError();
        return WRITEFAIL;
    }

    file_ = JexPrivLock::fopen(file_name_.Text(), kAppendMode, kPrivileged);
    if (!file_) {
        JexErrno cause(errno, "fopen");
        ExcSet(OPENFAIL, JexExcArgs("JexRouteMap::AddEntry", file_name_), &cause);
        TraceError();
        return OPENFAIL;
    }
    // Room for the whole line, so that it reaches the file in one write.
    std::setvbuf(file_, nullptr, _IOFBF, 4 * JexRouteMapEntry::kMaxLine);
    if (!Room()) {
        JexErrno cause(errno, "realloc");
        ExcSet(WRITEFAIL, JexExcArgs("JexRouteMap::AddEntry", file_name_), &cause);
        JexPrivLock::fclose(file_, kPrivileged);
        file_ = nullptr;
        TraceError();
        return WRITEFAIL;
    }
    Append(added);
    sorted_ = 0;
    ++appended_;

    JexString stamp;
    JexFormatTime(stamp);
    std::string note = stamp.Text();
    if (comment.Text()[0]) {
        note += " - ";
        note += comment.Text();
    }
    std::string line = added.FormatLine(note);
    // The look at the last byte and the append are one step for every
    // appender of the file: otherwise another's append, read half-written,
    // would look like a line without its newline.
    JexPrivLock::LockFile(fileno(file_), kAppendLockWaitMs);
    if (!StartsOnANewLine(file_)) line.insert(0, 1, '\n');
    if (std::fputs(line.c_str(), file_) == EOF || std::fflush(file_) == EOF) {
        JexErrno cause(errno, "fprintf/fflush");
        ExcSet(WRITEFAIL, JexExcArgs("JexRouteMap::AddEntry", file_name_), &cause);
        JexPrivLock::fclose(file_, kPrivileged);
        file_ = nullptr;
        TraceError();
        return WRITEFAIL;
    }
    const int closed = JexPrivLock::fclose(file_, kPrivileged);
    file_ = nullptr;
    if (closed == -1) {
        JexErrno cause(errno, "fclose");
        ExcSet(CLOSEFAIL, JexExcArgs("JexRouteMap::AddEntry", file_name_), &cause);
        TraceError();
        Raise();
        return CLOSEFAIL;
    }
    return OK;
}

int JexRouteMap::Dump(FILE* out) {
    if (!loaded_) return Unloaded("JexRouteMap::Dump");
    if (!sorted_) Sort();
    for (int i = 0; i < count_; ++i) PrintEntry(i, out);
    ExcSet(OK, JexExcArgs("JexRouteMap::Dump"));
    return OK;
}

int JexRouteMap::PrintEntry(int index, FILE* out) {
    if (index < 0 || index >= count_) return -1;
    const JexRouteMapEntry& e = At(index);
    return std::fprintf(out, "%s\t%s\t%d\t%s\n", e.pattern.Text(), e.address.Text(), e.preference,
                        e.flags.Text());
}
