// Scoped entry, checkpoint and exit trace lines, switched on by JEX_TRACE.
#include "jexlink/core/JexTrace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Switches {
    bool on = false;
    bool low_level = false;
    bool full_path = false;
};

std::atomic<bool> switches_read{false};
Switches switches;

void ReadSwitches() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* value = std::getenv("JEX_TRACE");
        for (const char* c = value ? value : ""; *c; ++c) {
            if (std::strchr("1TtYy", *c)) switches.on = true;
            if (*c == 'F' || *c == 'f') switches.on = false;
            if (*c == 'L' || *c == 'l') switches.low_level = true;
            if (*c == 'M' || *c == 'm') switches.full_path = true;
        }
        switches_read.store(true, std::memory_order_release);
    });
}

// Nesting depth of the calling thread's printing records.
thread_local int depth = 0;

}  // namespace

JexTrace::JexTrace(const char* file, const char* method, int line, int low_level) : line_(line) {
    if (!switches_read.load(std::memory_order_acquire)) ReadSwitches();
    if (!switches.on || (low_level && !switches.low_level)) return;
    Begin(file, method);
}

void JexTrace::Begin(const char* file, const char* method) {
    prints_ = true;
    thread_id_ = JexThreadId();
    file_ = switches.full_path ? JexString(file) : JexTraceShortName(file);
    method_ = method;
    ++depth;
    std::fprintf(stderr, "%2.2x.%3.3d Entry %s\\%s\\%d\n", static_cast<unsigned>(thread_id_), depth,
                 file_.Text(), method_.Text(), line_);
}

void JexTrace::Ckpt(int line, const char* text) {
    if (!prints_) return;
    std::fprintf(stderr, "%2.2x.%3.3d  Ckpt %s\\%s\\%d: %s\n", static_cast<unsigned>(thread_id_),
                 depth, file_.Text(), method_.Text(), line, text ? text : "");
}

JexTrace::~JexTrace() {
    if (!prints_) return;
    std::fprintf(stderr, "%2.2x.%3.3d  Exit %s\\%s\n", static_cast<unsigned>(thread_id_), depth,
                 file_.Text(), method_.Text());
    --depth;
}

JexString JexTraceShortName(const char* path) {
    if (!path) return JexString("");
    const int length = static_cast<int>(std::strlen(path));
    int start = 0;
    int end = length;  // one past the name's last character
    for (int i = length - 1; i >= 0; --i) {
        const char c = path[i];
        if (c == '.') end = i;
        if (std::strchr("]>:/\\", c)) {
            start = i + 1;
            break;
        }
    }
    if (end - start < 1) return JexString(path);
    return JexString::FromBytes(path + start, end - start);
}
