// Scoped entry, checkpoint and exit trace lines, switched on by JEX_TRACE.
#include "jexlink/core/JexTrace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace jex_trace_internal {

std::atomic<int> switches{0};

int ReadSwitches() {
    static std::once_flag once;
    std::call_once(once, [] {
        int value = kRead;
        const char* text = std::getenv("JEX_TRACE");
        for (const char* c = text ? text : ""; *c; ++c) {
            if (std::strchr("1TtYy", *c)) value |= kOn;
            if (*c == 'F' || *c == 'f') value &= ~kOn;
            if (*c == 'L' || *c == 'l') value |= kLowLevel;
            if (*c == 'M' || *c == 'm') value |= kFullPath;
        }
        switches.store(value, std::memory_order_release);
    });
    return switches.load(std::memory_order_acquire);
}

}  // namespace jex_trace_internal

namespace {

// Nesting depth of the calling thread's printing records.
thread_local int depth = 0;

}  // namespace

void JexTrace::Begin(const char* file, const char* method) {
    using namespace jex_trace_internal;
    names_ = std::make_unique<Names>();
    threadId_ = JexThreadId();
    names_->file = (switches.load() & kFullPath) ? JexString(file) : JexTraceShortName(file);
    names_->method = method;
    ++depth;
    std::fprintf(stderr, "%2.2x.%3.3d Entry %s\\%s\\%d\n", static_cast<unsigned>(threadId_), depth,
                 names_->file.Text(), names_->method.Text(), line_);
}

void JexTrace::Ckpt(int line, const char* text) {
    if (!names_) return;
    std::fprintf(stderr, "%2.2x.%3.3d  Ckpt %s\\%s\\%d: %s\n", static_cast<unsigned>(threadId_),
                 depth, names_->file.Text(), names_->method.Text(), line, text ? text : "");
}

void JexTrace::End() {
    std::fprintf(stderr, "%2.2x.%3.3d  Exit %s\\%s\n", static_cast<unsigned>(threadId_), depth,
                 names_->file.Text(), names_->method.Text());
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
