// ServiceLogBuf: whole lines per write, one pending line per thread.
#include "WindowsService/ServiceLogBuf.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

// A thread that never ends its line cannot grow its pending text without
// bound.
constexpr size_t kMostPending = 64 * 1024;

// This thread's pending text of each log buffer (one buffer in a program;
// more, one after the other, in tests).
thread_local std::map<const ServiceLogBuf*, std::string> pendingText;

}  // namespace

ServiceLogBuf::~ServiceLogBuf() {
    sync();
    pendingText.erase(this);
    if (fd_ >= 0) ::close(fd_);
}

std::string& ServiceLogBuf::Pending() { return pendingText[this]; }

ServiceLogBuf::int_type ServiceLogBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize ServiceLogBuf::xsputn(const char* s, std::streamsize n) {
    if (n <= 0) return 0;
    std::string& pending = Pending();
    pending.append(s, static_cast<size_t>(n));
    if (std::memchr(s, '\n', static_cast<size_t>(n)) != nullptr)
        WriteOut(false);
    else if (pending.size() >= kMostPending)
        WriteOut(true);
    return n;
}

int ServiceLogBuf::sync() {
    WriteOut(true);
    return 0;
}

void ServiceLogBuf::WriteOut(bool all) {
    std::string& pending = Pending();
    const size_t end = all ? pending.size() : pending.rfind('\n') + 1;
    if (end == 0) return;
    {
        std::lock_guard<std::mutex> hold(writeLock_);
        size_t done = 0;
        while (fd_ >= 0 && done < end) {
            const ssize_t wrote = ::write(fd_, pending.data() + done, end - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) break;  // a log that cannot be written loses the text
            done += static_cast<size_t>(wrote);
        }
    }
    pending.erase(0, end);
}
