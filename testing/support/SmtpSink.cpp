// An SMTP server of Debian's (python3-aiosmtpd) for the mail tests, and the messages it kept.
#include "testing/support/SmtpSink.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "testing/support/ChildProcesses.h"

namespace tavro::testing {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Reads one line from fd within the time limit; empty on time-out or end.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return "";
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0) return "";
        if (c == '\n') return line;
        line += c;
    }
}

}  // namespace

SmtpSink::SmtpSink(int lifetimeSeconds) {
    if (dir_.Path().empty()) return;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    const std::string dir = dir_.Path().string();
    const std::string lifetime = std::to_string(lifetimeSeconds);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(kPython, kPython, SMTP_SINK_SCRIPT, dir.c_str(), lifetime.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    if (pid_ > 0) {
        const std::string line = ReadLine(out[0], kWaitMs);
        port_ = std::atoi(line.c_str());
    }
    close(out[0]);
}

SmtpSink::~SmtpSink() {
    if (input_ >= 0) close(input_);
    if (pid_ <= 0) return;
    if (ChildGuard::WaitChild(pid_, 5000) == -1) {
        kill(pid_, SIGKILL);
        ChildGuard::WaitChild(pid_, 5000);
    }
}

std::string SmtpSink::Address() const { return "127.0.0.1:" + std::to_string(port_); }

size_t SmtpSink::Count() const {
    size_t n = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path(), ec))
        if (entry.path().extension() == ".done") ++n;
    return n;
}

std::vector<SinkMail> SmtpSink::Mails() const {
    std::vector<SinkMail> mails;
    for (size_t i = 1;; ++i) {
        char stem[16];
        std::snprintf(stem, sizeof stem, "%04zu", i);
        const auto base = dir_.Path() / stem;
        if (!std::filesystem::exists(base.string() + ".done")) return mails;
        SinkMail mail;
        mail.from = ReadFile(base.string() + ".from");
        std::istringstream rcpt(ReadFile(base.string() + ".rcpt"));
        for (std::string r; std::getline(rcpt, r);) mail.recipients.push_back(r);
        mail.data = ReadFile(base.string() + ".data");
        mails.push_back(mail);
    }
}

bool SmtpSink::WaitForMails(size_t n, int timeoutMs) const {
    return WaitFor([&] { return Count() >= n; }, timeoutMs);
}

}  // namespace tavro::testing
