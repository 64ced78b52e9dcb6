// Host and service names of the TCP endpoint: resolution both ways, and the library's services
// file.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "jexlink/core/JexFileStamp.h"
#include "jexlink/core/JexFileWatch.h"

namespace jexnet {

// A number with C base detection (decimal, 0x hexadecimal, leading 0 octal);
// no digits give 0; values beyond 32 bits are clamped.
int32_t ParseNumber(const char* text);

// The IPv4 address of a host: the dotted form first, then the resolver
// (getaddrinfo, safe to call from several threads). False when not found.
bool ResolveHost(const char* host, in_addr* address);

// The host's name for an address through the resolver; "" when it has none.
std::string HostNameOf(in_addr address);

// This machine's name; "" when the system cannot tell.
std::string LocalHostName();

// The TCP port of a service name: the services file at `servicesFile`
// first (when not empty), then the system's services database. 0 when the
// name is unknown.
int ServicePort(const char* name, const std::string& servicesFile);
// The name of a TCP port, looked up the same way; "" when it has none.
std::string ServiceName(int port, const std::string& servicesFile);

// Lookups in the text of a services file (lines of name, port/protocol and
// aliases; '#' starts a comment). Only "tcp" entries count. 0 or "" when
// the text has no entry.
int FindServicePort(const std::string& text, const char* name);
std::string FindServiceName(const std::string& text, int port);

// The library's own services file, consulted before the system's; "" when
// the library has none.
std::string LibraryServicesFile();

// Answers of look-ups that read files (the hosts and services databases),
// kept per process so that a connection does not parse them again. An
// answer is reused only while it is younger than `ttl` (a name server may
// answer too) and its source files have not changed: where the process
// watches them (JexFileWatch), while no event has come in for them since
// the answer was found; otherwise while each has the device, inode, size and
// change times it had when the answer was found and none had been written
// within `quiet` before it was found (a write in the same tick of the file
// system's clock keeps the times). Thread-safe; holds at most `capacity`
// answers.
template <class Answer>
class SourceStampedCache {
public:
    using Clock = std::chrono::steady_clock;

    // Without a `watch` every source is stamped.
    explicit SourceStampedCache(Clock::duration ttl = std::chrono::seconds(2),
                                std::chrono::nanoseconds quiet = std::chrono::seconds(2),
                                size_t capacity = 256,
                                JexFileWatch* watch = &JexFileWatch::Process())
        : ttl_(ttl), quiet_(quiet), capacity_(capacity), watch_(watch) {}

    // The answer for `key`: the kept one while it is valid for `sources`,
    // otherwise what `look` gives (kept for the next call when it may be,
    // and when `keep`, if given, allows it).
    Answer Find(const std::string& key, const std::vector<std::string>& sources,
                const std::function<Answer()>& look,
                const std::function<bool(const Answer&)>& keep = {}) {
        // Taken before the files are read: a change while they are read
        // moves it.
        const uint64_t version = watch_ ? watch_->Version(sources) : 0;
        std::vector<JexFileStamp> stamps;
        if (version == 0) {
            stamps.reserve(sources.size());
            for (const std::string& source : sources) stamps.push_back(JexFileStamp::Of(source));
        }
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            auto at = entries_.find(key);
            if (at != entries_.end() && at->second.version == version &&
                at->second.stamps == stamps && now - at->second.found < ttl_)
                return at->second.answer;
        }
        Answer answer = look();
        for (const JexFileStamp& stamp : stamps)
            if (stamp.WrittenWithin(quiet_)) return answer;
        if (keep && !keep(answer)) return answer;
        std::lock_guard<std::mutex> hold(mutex_);
        if (entries_.size() >= capacity_) entries_.clear();
        entries_[key] = Entry{answer, std::move(stamps), version, now};
        return answer;
    }

private:
    struct Entry {
        Answer answer;
        std::vector<JexFileStamp> stamps;  // none when watched
        uint64_t version;                  // 0 when not watched
        Clock::time_point found;
    };

    const Clock::duration ttl_;
    const std::chrono::nanoseconds quiet_;
    const size_t capacity_;
    JexFileWatch* const watch_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace jexnet
