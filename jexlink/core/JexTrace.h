// Scoped entry, checkpoint and exit trace lines, switched on by JEX_TRACE.
#pragma once

#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"

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
    JexTrace(const char* file, const char* method, int line, int low_level = 0);
    ~JexTrace();
    JexTrace(const JexTrace&) = delete;
    JexTrace& operator=(const JexTrace&) = delete;

    void Ckpt(int line, const char* text);
    // A checkpoint at the record's own line.
    void Ckpt(const char* text) { Ckpt(line_, text); }

    bool Prints() const { return prints_; }

private:
    void Begin(const char* file, const char* method);

    int line_;
    bool prints_ = false;
    int thread_id_ = 0;
    JexString file_;
    JexString method_;
};

// The short file name of a path: the last component up to its first dot.
// Separators are "]", ">", ":", "/" and "\\".
JexString JexTraceShortName(const char* path);
