// Scoped entry, checkpoint and exit trace lines, switched on by JEX_TRACE.
#pragma once

#include <atomic>
#include <memory>

#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"

namespace jex_trace_internal {
// The switches of JEX_TRACE: 0 until read, else kRead with the bits below.
constexpr int kRead = 1;
constexpr int kOn = 2;
constexpr int kLowLevel = 4;
constexpr int kFullPath = 8;
extern std::atomic<int> switches;
int ReadSwitches();
}  // namespace jex_trace_internal

// A record that a method creates on entry. When tracing is on it prints an
// entry line, the checkpoints asked for and an exit line when it ends, each
// with the thread id, the thread's nesting depth, the file and the method,
// on standard error. JEX_TRACE is read at the first construction in the
// process: "1", "T", "t", "Y", "y" switch tracing on, "F", "f" off, "L",
// "l" let low-level records print too, "M", "m" keep full file paths; later
// letters override earlier ones. With tracing off a record costs the test
// of two flags.
class JexTrace {
public:
    JexTrace(const char* file, const char* method, int line, int lowLevel = 0) : line_(line) {
        using namespace jex_trace_internal;
        int on = switches.load(std::memory_order_acquire);
        if (!on) on = ReadSwitches();
        if (!(on & kOn) || (lowLevel && !(on & kLowLevel))) return;
        Begin(file, method);
    }
    ~JexTrace() {
        if (names_) End();
    }
    JexTrace(const JexTrace&) = delete;
    JexTrace& operator=(const JexTrace&) = delete;

    void Ckpt(int line, const char* text);
    // A checkpoint at the record's own line.
    void Ckpt(const char* text) { Ckpt(line_, text); }

    bool Prints() const { return names_ != nullptr; }

private:
    void Begin(const char* file, const char* method);
    void End();

    struct Names {
        JexString file;
        JexString method;
    };

    int line_;
    int threadId_ = 0;
    // The file and method, kept only by a record that prints.
    std::unique_ptr<Names> names_;
};

// The short file name of a path: the last component up to its first dot.
// Separators are "]", ">", ":", "/" and "\\".
JexString JexTraceShortName(const char* path);
