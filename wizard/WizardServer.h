// The NorbaNew web front end: the wizard served as a page on 127.0.0.1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wizard/PageListener.h"
#include "wizard/UserControl1.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace wizard {

// Serves one wizard control to a browser on the loopback address. Every
// request must carry the token of the URL (then the cookie the page sets)
// and the Host "127.0.0.1:<port>"; a request with an Origin other than the
// page's own is refused too (403). The page posts its events to /event as
// a form (texts by control name, "event", "control", "index", "value"); a
// body over kMaxBody gets 413, an unknown control or event 400, and none of
// these changes the control. A press of a page's forward button first runs
// the leave checks of the page's fields (those of its shown, enabled
// frames), as the page does when the press leaves a field: the first field
// that fails refuses the press with 422 and the check's messages and focus,
// and nothing is stored. The control's state lives here; the page only
// shows it. Handlers run on the listener's threads, one at a time; the
// listener holds connections within `bounds`.
class WizardServer {
public:
    static constexpr size_t kMaxBody = 64 * 1024;

    explicit WizardServer(UserControl1& control, PageBounds bounds = {});
    ~WizardServer();
    WizardServer(const WizardServer&) = delete;
    WizardServer& operator=(const WizardServer&) = delete;

    // Binds 127.0.0.1:`port` (0: an ephemeral port) and starts serving;
    // false (with errno) when the port cannot be bound.
    bool Start(int port);
    int Port() const { return listener_ ? listener_->Port() : 0; }
    // The page's address with its token.
    std::string Url() const;
    const std::string& Token() const { return token_; }
    // Message boxes the next load of the page shows before anything else
    // (the start-up's), once.
    void ShowOnNextLoad(std::vector<MessageBox> boxes);

    // Waits until the page closes after page 9, or until no request came
    // for `idle`; then stops. 0 when page 9 was reached, else 1.
    int Wait(std::chrono::milliseconds idle);
    void Stop();

    // The page's HTML for the control's present state (the focus on
    // `focus` when it names a field), with the boxes of ShowOnNextLoad
    // while they wait.
    std::string RenderPage(const std::string& focus) const;

private:
    class Http;

    bool Admitted(const httplib::Request& req);
    void AddRoutes();
    void ServePage(httplib::Response& res);
    void ServeEvent(const httplib::Request& req, httplib::Response& res);
    // The leave checks a press of `button` depends on: no messages when
    // the press may go on.
    Effects ChecksBeforePress(std::string_view button);

    UserControl1& control_;
    const PageBounds bounds_;
    std::unique_ptr<Http> http_;
    std::unique_ptr<PageListener> listener_;
    std::string token_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point lastRequest_;
    bool closed_ = false;
    bool finished_ = false;
    std::string focus_;
    std::vector<MessageBox> startupBoxes_;
};

// The page's script and style sheet.
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace wizard
