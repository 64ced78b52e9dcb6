// The route map database: next hops by destination pattern, loaded from the route map file.
#pragma once

#include <cstdint>

#include <sys/stat.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexRouteEntry.h"
#include "jexlink/transport/JexRouteMapEntry.h"

#define JEXROUTEMAP_TEXTS(JEX_TEXT)                                \
    JEX_TEXT(0, OK, "Operation successful")                        \
    JEX_TEXT(1, CLOSEFAIL, "Route map database close failure: %s") \
    JEX_TEXT(2, LOADFAIL, "Route map database load failure")       \
    JEX_TEXT(3, NOENTRY, "Destination entry not found: %s")        \
    JEX_TEXT(4, OPENFAIL, "Route map database open failure: %s")   \
    JEX_TEXT(5, WRITEFAIL, "Route map database write failure: %s") \
    JEX_TEXT(6, FAILURE, "Operation failed")

// The route map that a gateway consults for the next hop of a connection.
// The whole file (see JexRouteMapEntry for its lines) is read when the map
// is built and kept sorted so that the most specific, most preferred entry
// comes first; GetEntry hands out the entries that match a key one at a
// time, so a caller that fails on one route can ask for the next. Learned
// routes are appended to the table and to the end of the file.
//
// Every operation returns its code and keeps it as the map's error state.
// The constructor only records its failures; later failures of the map's
// own state (use of a map that did not load, a failed close after an
// append) are also raised, so owners set the suppress flag or a handler.
// Environment: JEXROUTEMAP_TRACE letters E (describe errors), R (hits and
// misses), S (every entry examined), on standard error.
//
// A map is used by one thread at a time. The file may be shared between
// processes: every append is one whole line.
class JexRouteMap : public JexException {
public:
    enum : int { JEXROUTEMAP_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Lines one map appends at most in its life. A gateway builds a map for
    // each connection, so this bounds what one peer's LEARN can add.
    static constexpr int kMaxAppends = 64;

    explicit JexRouteMap(const JexString& file_name);
    ~JexRouteMap() override;
    JexRouteMap(const JexRouteMap&) = delete;
    JexRouteMap& operator=(const JexRouteMap&) = delete;

    // The next entry, at or after the cursor, whose pattern matches the key
    // (ACID, node, application; missing parts count as empty): 0 with the
    // entry in result, NOENTRY, or OPENFAIL when the map did not load.
    int GetEntry(const JexFieldedString& key, JexRouteEntry& result);
    // The next GetEntry starts again from the best entry; returns 0.
    int Rewind();
    // Adds the entry to the table and appends its line, with the time and
    // the comment, to the file: 0 (also for an entry the table already
    // holds), OPENFAIL, WRITEFAIL (also for an entry whose line would not
    // read back as the same entry, and beyond kMaxAppends) or CLOSEFAIL.
    int AddEntry(const JexRouteEntry& entry, const JexString& comment);
    // Prints every entry in lookup order: 0, or OPENFAIL when not loaded.
    int Dump(FILE* out);
    // Prints one entry as "pattern\taddress\tpreference\tflags\n"; the
    // result of fprintf, or -1 for an index outside the table.
    int PrintEntry(int index, FILE* out);

    int Loaded() const { return loaded_; }
    int Count() const { return count_; }

    // The lookup order, for JexQSort over the table's entry pointers.
    static int CompareEntries(const void* a, const void* b);

    // The entries of a kept snapshot, in lookup order (defined with the map).
    struct SharedEntries;

private:
    // The entries of the last map read from the same, unchanged file, shared
    // with it and already in lookup order: true when they were taken. Unchanged means: no event of
    // the process's file watch since (`version`, 0 when the file is not watched), or else the same
    // stamp as the opened `file` (none when the file is not open); a snapshot found unchanged by
    // its stamp then counts from `version`.
    bool TakeSnapshot(uint64_t version, const struct stat* file);
    // Keeps this map's entries for the next map of the file.
    void KeepSnapshot(uint64_t version, const struct stat& file);
    // Reads and parses the open file into the table: false (the file closed,
    // the failure set) when it could not be read whole.
    bool ReadEntries();
    // Makes the table of entry pointers that a map taken from a snapshot
    // leaves unmade until it changes: false, errno set, without memory.
    bool OwnTable();
    // The entry at `index` of the table, in lookup order once sorted.
    const JexRouteMapEntry& At(int index) const;
    const char* PatternAt(int index) const;
    // Room for one more entry (the capacity doubled when the table is full):
    // false, errno set, when there is none.
    bool Room();
    void Append(const JexRouteMapEntry& entry);
    void Sort();
    void TraceError();
    void ClearTable();
    int Unloaded(const char* operation);

    int cursor_ = 0;
    // The entries, owned by the store (a deque: its elements never move) or
    // by a snapshot shared with other maps of the file (read only, in
    // lookup order); the table points at them in file order until sorted,
    // and is made for a shared snapshot only once the map changes.
    std::deque<JexRouteMapEntry> store_;
    std::shared_ptr<const SharedEntries> shared_;
    std::vector<const JexRouteMapEntry*> table_;
    JexString file_name_;
    int savedErrno_ = 0;
    int loaded_ = 0;
    FILE* file_ = nullptr;
    int capacity_ = 128;
    int count_ = 0;
    int sorted_ = 0;
    int appended_ = 0;
};
