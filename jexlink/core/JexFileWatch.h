// JexFileWatch: tells, with one read of one descriptor, whether any of the
// files an answer was read from may have changed since.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The process's watch over files that answers are read from (inotify). Each
// file is watched itself (a write through any of its names) and by its name
// in every directory of its path (the file, or a directory on the way,
// created, removed or replaced by a rename). Version() gives a number that
// changes whenever such an event has come in since it was last given; the
// number is taken before a file is read, so that an answer kept with it is
// reused only while nothing has happened to its files. Where a path cannot
// be watched (inotify unavailable, a relative path, a symbolic link or "."
// and ".." on the way, too many watches) Version() gives 0 and the caller
// examines the files itself. Thread-safe; a forked child starts afresh.
class JexFileWatch {
public:
    // The watch of this process.
    static JexFileWatch& Process();

    // The version under which `paths` are watched now: any event on one of
    // them (or a lost event) since gives another. 0 when one of them cannot
    // be watched.
    uint64_t Version(const std::vector<std::string>& paths);

    // The paths it keeps now, watched or not. At most kMaxPaths: the names
    // looked up can come from peers, so a new path beyond that starts the
    // watch afresh (with a new version) instead of growing it.
    size_t PathCount();
    static constexpr size_t kMaxPaths = 1024;

    JexFileWatch();
    ~JexFileWatch();
    JexFileWatch(const JexFileWatch&) = delete;
    JexFileWatch& operator=(const JexFileWatch&) = delete;

private:
    // Reads the events that came in; on one that matters, forgets every
    // watch (they are made again on the next call) and moves the version.
    void Drain();
    void Forget();
    bool Watch(const std::string& path);
    bool WatchName(const std::string& directory, const std::string& name);

    static void BeforeFork();
    static void AfterForkInParent();
    static void AfterForkInChild();

    std::mutex mutex_;
    int fd_ = -1;
    bool unavailable_ = false;
    uint64_t version_ = 1;
    std::unordered_set<std::string> watched_;
    std::unordered_set<std::string> unwatchable_;
    // Per watch descriptor: the names in the directory that matter ("" for
    // every name, and for the events of the file or directory itself).
    std::unordered_map<int, std::unordered_set<std::string>> interest_;
    // The watch descriptor of each directory watched for names in it.
    std::unordered_map<std::string, int> directories_;
};
