// JexFileWatch: tells, with one read of one descriptor, whether any of the
// files an answer was read from may have changed since.
#include "jexlink/core/JexFileWatch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Events of a directory on the way to a file (names made, removed or
// renamed in it, and its own) or of a watched directory. Writes to the
// files in it are not asked for: a watched file has its own watch, and the
// writes of every other file (a busy temporary directory) would only be
// read and passed over.
constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR |
                                      IN_DONT_FOLLOW;
// Events of a watched file, whichever of its names it was written through.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW;

// File systems whose files other machines change without an event here.
bool Remote(const std::string& directory) {
    struct statfs about {};
    if (::statfs(directory.c_str(), &about) != 0) return true;
    switch (static_cast<unsigned long>(about.f_type)) {
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x65735546UL:  // FUSE
        case 0x01021997UL:  // 9P
        case 0x00C36400UL:  // Ceph
        case 0x5346414FUL:  // AFS
            return true;
        default: return false;
    }
}

}  // namespace

JexFileWatch& JexFileWatch::Process() {
    // Never destroyed: caches of other static objects use it until exit.
    static JexFileWatch* watch = [] {
        auto* made = new JexFileWatch;
        ::pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
        return made;
    }();
    return *watch;
}

JexFileWatch::JexFileWatch() = default;

JexFileWatch::~JexFileWatch() {
    if (fd_ >= 0) ::close(fd_);
}

// The child of a fork shares the descriptor with its parent: reading it
// would take the parent's events. It makes a watch of its own instead.
void JexFileWatch::BeforeFork() { Process().mutex_.lock(); }
void JexFileWatch::AfterForkInParent() { Process().mutex_.unlock(); }
void JexFileWatch::AfterForkInChild() {
    JexFileWatch& watch = Process();
    if (watch.fd_ >= 0) ::close(watch.fd_);
    watch.fd_ = -1;
    watch.interest_.clear();
    watch.directories_.clear();
    watch.watched_.clear();
    watch.unwatchable_.clear();
    ++watch.version_;
    watch.mutex_.unlock();
}

uint64_t JexFileWatch::Version(const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (unavailable_) return 0;
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            unavailable_ = true;
            return 0;
        }
    }
    Drain();
    if (unavailable_) return 0;
    bool all = true;
    for (const std::string& path : paths) {
        if (watched_.count(path) != 0) continue;
        if (watched_.size() + unwatchable_.size() >= kMaxPaths) {
            Forget();
            ++version_;
        }
        if (unwatchable_.count(path) != 0 || !Watch(path)) {
            // Tried again after an event (a link on the way replaced, say).
            unwatchable_.insert(path);
            all = false;
            continue;
        }
        watched_.insert(path);
    }
    return all ? version_ : 0;
}

size_t JexFileWatch::PathCount() {
    std::lock_guard<std::mutex> hold(mutex_);
    return watched_.size() + unwatchable_.size();
}

void JexFileWatch::Drain() {
    alignas(inotify_event) char buffer[4096];
    bool moved = false;
    // A file written or changed in place is still the file its watch is on;
    // any other event (a name made, removed or renamed, a watch ended) may
    // have put another file or directory under a watched path, so every
    // watch is made again. Making a watch of a directory costs in proportion
    // to the names the kernel holds for it: a busy /tmp makes that dear.
    bool stale = false;
    constexpr uint32_t kInPlace = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_ISDIR;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) break;
        if (got <= 0) {
            // The descriptor fails: the callers examine their files.
            unavailable_ = true;
            moved = stale = true;
            break;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                moved = stale = true;
                continue;
            }
            const auto found = interest_.find(event.wd);
            if (found == interest_.end()) continue;  // a watch already given up
            const auto& names = found->second;
            if (event.len == 0 || names.count("") != 0 ||
                names.count(std::string(name, ::strnlen(name, event.len))) != 0) {
                moved = true;
                if (event.len != 0 || (event.mask & ~kInPlace) != 0) stale = true;
            }
        }
    }
    if (stale) Forget();
    if (moved) ++version_;
}

void JexFileWatch::Forget() {
    for (const auto& [wd, names] : interest_) ::inotify_rm_watch(fd_, wd);
    interest_.clear();
    directories_.clear();
    watched_.clear();
    unwatchable_.clear();
}

bool JexFileWatch::WatchName(const std::string& directory, const std::string& name) {
    // Paths share their first directories: each is watched once.
    auto known = directories_.find(directory);
    if (known == directories_.end()) {
        const int wd = ::inotify_add_watch(fd_, directory.c_str(), kDirectoryEvents);
        if (wd < 0) return false;
        known = directories_.emplace(directory, wd).first;
    }
    interest_[known->second].insert(name);
    return true;
}

bool JexFileWatch::Watch(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    std::vector<std::string> names;
    for (size_t at = 0; at < path.size();) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at) names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (names.empty()) return false;
    for (const std::string& name : names)
        if (name == "." || name == "..") return false;
    if (Remote("/")) return false;
    std::string directory = "/";
    for (size_t i = 0; i < names.size(); ++i) {
        // The name is watched before it is examined: a change after that
        // comes in as an event.
        if (!WatchName(directory, names[i])) return false;
        const std::string next = (i == 0 ? "/" : directory + "/") + names[i];
        struct stat about {};
        if (::lstat(next.c_str(), &about) != 0)
            return errno == ENOENT || errno == ENOTDIR;  // its appearing is an event
        if (S_ISLNK(about.st_mode)) return false;
        if (i + 1 == names.size()) {
            const bool isDirectory = S_ISDIR(about.st_mode);
            if (isDirectory && Remote(next)) return false;
            const int wd = ::inotify_add_watch(fd_, next.c_str(),
                                               isDirectory ? kDirectoryEvents : kFileEvents);
            if (wd < 0) return false;
            interest_[wd].insert("");
            return true;
        }
        if (!S_ISDIR(about.st_mode)) return true;  // the path cannot exist until this changes
        if (Remote(next)) return false;
        directory = next;
    }
    return true;
}
