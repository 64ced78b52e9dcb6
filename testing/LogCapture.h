// Collects what is written to the standard log stream, for tests of log lines.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace testing_support {

// Sends std::clog into a string while it lives.
class LogCapture {
public:
    LogCapture() : m_old(std::clog.rdbuf(m_text.rdbuf())) {}
    ~LogCapture() { std::clog.rdbuf(m_old); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const { return m_text.str(); }

private:
    std::ostringstream m_text;
    std::streambuf* m_old;
};

}  // namespace testing_support
