// ServiceLogBuf: the stream buffer of the service log, shared by every thread
// of the program through std::clog.
#pragma once

#include <mutex>
#include <streambuf>
#include <string>

// Each thread gathers its own line; a finished line (or a flush) goes to the
// file in one write(2) under a lock. The file is opened with O_APPEND, so
// the lines of several threads, and of other processes appending to the
// same log, never mix or tear. A plain file buffer shared by threads would
// race on its pointers and could write garbage into the log.
class ServiceLogBuf : public std::streambuf {
public:
    // Writes to fd, which it closes when destroyed.
    explicit ServiceLogBuf(int fd) : fd_(fd) {}
    ~ServiceLogBuf() override;
    ServiceLogBuf(const ServiceLogBuf&) = delete;
    ServiceLogBuf& operator=(const ServiceLogBuf&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    // This thread's text not yet written.
    std::string& Pending();
    // Writes the pending text up to and including its last newline (all of
    // it when `all`).
    void WriteOut(bool all);

    int fd_;
    std::mutex writeLock_;
};
