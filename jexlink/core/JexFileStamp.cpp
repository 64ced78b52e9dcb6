// JexFileStamp: what tells whether a file read before has changed since.
#include "jexlink/core/JexFileStamp.h"

#include <ctime>

namespace {

int64_t Nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

}  // namespace

JexFileStamp JexFileStamp::Of(const std::string& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0) return {};
    return Of(file);
}

JexFileStamp JexFileStamp::Of(const struct stat& file) {
    JexFileStamp stamp;
    stamp.exists = true;
    stamp.device = file.st_dev;
    stamp.inode = file.st_ino;
    stamp.size = file.st_size;
    stamp.modified = Nanoseconds(file.st_mtim);
    stamp.changed = Nanoseconds(file.st_ctim);
    return stamp;
}

bool JexFileStamp::WrittenWithin(std::chrono::nanoseconds quiet) const {
    if (!exists) return false;
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const int64_t since = Nanoseconds(wall) - quiet.count();
    return modified > since || changed > since;
}
