// JexFileStamp: what tells whether a file read before has changed since.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>

// The state of a file an answer was read from: device, inode, size and the
// modification and change times in nanoseconds; all zero when it is absent.
// Two equal stamps of the same path mean the file was neither written nor
// replaced between them, unless a write fell in the same tick of the file
// system's clock as the one before it: an answer read from a file written
// lately (WrittenWithin) is not to be trusted for long.
struct JexFileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified = 0;
    int64_t changed = 0;

    bool operator==(const JexFileStamp&) const = default;

    // The stamp of the file at `path` (a link is followed); absent when it
    // cannot be examined.
    static JexFileStamp Of(const std::string& path);
    // The stamp of a file already examined (stat, fstat).
    static JexFileStamp Of(const struct stat& file);

    // Whether the file was written, or changed otherwise, within `quiet`
    // before now. The change time counts too: it moves with every write and
    // cannot be set back as the modification time can.
    bool WrittenWithin(std::chrono::nanoseconds quiet) const;
};
