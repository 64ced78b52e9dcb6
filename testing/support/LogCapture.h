// Collects what is written to the standard log stream, for tests of log lines.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace tavro::testing {

// Sends std::clog into a string while it lives.
class LogCapture {
public:
    LogCapture() : old_(std::clog.rdbuf(text_.rdbuf())) {}
    ~LogCapture() { std::clog.rdbuf(old_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* old_;
};

}  // namespace tavro::testing
