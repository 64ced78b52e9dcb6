// An SMTP server of Debian's (python3-aiosmtpd) for the mail tests, and the messages it kept.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace tavro::testing {

// One message the server accepted.
struct SinkMail {
    std::string from;                     // envelope sender
    std::vector<std::string> recipients;  // envelope recipients
    std::string data;                     // headers and body, CR LF line ends
};

// Starts the server on a free port of 127.0.0.1 and stops it when the object
// ends (its standard input closes; the process is killed if it lingers).
// It ends by itself after `lifetimeSeconds` in any case.
class SmtpSink {
public:
    explicit SmtpSink(int lifetimeSeconds = 300);
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    // 0 when the server did not start.
    int Port() const { return port_; }
    // "127.0.0.1:<port>", as Mail.Smtp.Server takes it.
    std::string Address() const;
    // The messages kept so far, in the order they arrived.
    std::vector<SinkMail> Mails() const;
    // Waits until at least n messages are kept; false on time-out.
    bool WaitForMails(size_t n, int timeoutMs = kWaitMs) const;

private:
    size_t Count() const;

    TempDir dir_{"smtpsink"};
    pid_t pid_ = -1;
    int input_ = -1;  // the server's standard input
    int port_ = 0;
};

}  // namespace tavro::testing
