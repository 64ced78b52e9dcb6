// The NorbaNew web front end: the wizard served as a page on 127.0.0.1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "wizard/UserControl1.h"

namespace httplib {
class Server;
}

namespace wizard {

// Serves one wizard control to a browser on the loopback address. Every
// request must carry the token of the URL (then the cookie the page sets)
// and the Host "127.0.0.1:<port>"; a request with an Origin other than the
// page's own is refused too (403). The page posts its events to /event as
// a form (texts by control name, "event", "control", "index", "value"); a
// body over kMaxBody gets 413, an unknown control or event 400, and none of
// these changes the control. The control's state lives here; the page only
// shows it. Handlers run on the server's threads, one at a time.
class WizardServer {
public:
    static constexpr size_t kMaxBody = 64 * 1024;

    explicit WizardServer(UserControl1& control);
    ~WizardServer();
    WizardServer(const WizardServer&) = delete;
    WizardServer& operator=(const WizardServer&) = delete;

    // Binds 127.0.0.1:`port` (0: an ephemeral port) and starts serving;
    // false (with errno) when the port cannot be bound.
    bool Start(int port);
    int Port() const { return port_; }
    // The page's address with its token.
    std::string Url() const;
    const std::string& Token() const { return token_; }

    // Waits until the page closes after page 9, or until no request came
    // for `idle`; then stops. 0 when page 9 was reached, else 1.
    int Wait(std::chrono::milliseconds idle);
    void Stop();

    // The page's HTML for the control's present state (the focus on
    // `focus` when it names a field).
    std::string RenderPage(const std::string& focus) const;

private:
    struct Handlers;

    UserControl1& control_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::string token_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point lastRequest_;
    bool closed_ = false;
    bool finished_ = false;
    std::string focus_;
};

// The page's script and style sheet.
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace wizard
