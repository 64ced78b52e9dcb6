// The NorbaNew web front end: requests, their checks, the events and the page.
#include "wizard/WizardServer.h"

#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>

#include "wizard/AnswersFile.h"
#include "wizard/FormDecoder.h"
#include "wizard/WizardLayout.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

constexpr char kCookie[] = "norbanew_token";
constexpr size_t kMaxFields = 64;

std::string RandomToken() {
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) std::abort();  // no randomness: no safe token
        got += static_cast<size_t>(n);
    }
    std::string hex;
    char pair[3];
    for (unsigned char b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", b);
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A caption with its access key ("&Next"): the key letter underlined.
std::string CaptionHtml(std::string_view caption, char& key) {
    std::string out;
    key = 0;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            key = caption[i + 1];
            out += "<u>" + Escape(caption.substr(i + 1, 1)) + "</u>";
            ++i;
            continue;
        }
        out += Escape(caption.substr(i, 1));
    }
    return out;
}

void Secure(httplib::Response& res) {
    res.set_header("Content-Security-Policy", "default-src 'self'");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    Secure(res);
    res.set_content(why + "\n", "text/plain");
}

// The answer to an event: the page then shown, the focus and the message
// boxes in order.
std::string EffectsJson(int page, const Effects& effects) {
    std::string json = "{\"page\":" + std::to_string(page) +
                       ",\"focus\":" + JsonString(effects.focus) + ",\"messages\":[";
    for (size_t i = 0; i < effects.messages.size(); ++i) {
        const MessageBox& box = effects.messages[i];
        json += std::string(i ? "," : "") +
                "{\"title\":" + JsonString(box.title.empty() ? kProgramTitle : box.title) +
                ",\"text\":" + JsonString(box.text) + "}";
    }
    return json + "]}";
}

bool IsTextControl(const std::string& name) {
    const auto& names = UserControl1::TextControls();
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

// The HTTP code of the page: its routes and its parser, which the listener
// hands each request.
class WizardServer::Http final : public httplib::Server {
public:
    using httplib::Server::process_request;
};

WizardServer::WizardServer(UserControl1& control, PageBounds bounds)
    : control_(control), bounds_(bounds), http_(std::make_unique<Http>()), token_(RandomToken()) {}

WizardServer::~WizardServer() { Stop(); }

std::string WizardServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port()) + "/?token=" + token_;
}

void WizardServer::ShowOnNextLoad(std::vector<MessageBox> boxes) {
    std::lock_guard lock(mutex_);
    startupBoxes_ = std::move(boxes);
}

bool WizardServer::Start(int port) {
    AddRoutes();
    listener_ = std::make_unique<PageListener>(
        bounds_, [this](httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
                        const std::function<void()>& headArrived) {
            return http_->process_request(stream, closeConnection, connectionClosed,
                                          [&](httplib::Request&) { headArrived(); });
        });
    if (!listener_->Start(port)) return false;
    std::lock_guard lock(mutex_);
    lastRequest_ = std::chrono::steady_clock::now();
    return true;
}

// The token (of the URL, or the page's cookie), the Host and any Origin.
bool WizardServer::Admitted(const httplib::Request& req) {
    const std::string self = "127.0.0.1:" + std::to_string(Port());
    bool tokenOk = req.get_param_value("token") == token_;
    if (!tokenOk && req.has_header("Cookie")) {
        std::string cookies = req.get_header_value("Cookie");
        tokenOk = cookies.find(std::string(kCookie) + "=" + token_) != std::string::npos;
    }
    return tokenOk && req.get_header_value("Host") == self &&
           (!req.has_header("Origin") || req.get_header_value("Origin") == "http://" + self);
}

void WizardServer::AddRoutes() {
    Http& http = *http_;
    http.set_payload_max_length(kMaxBody);
    // What the answers announce of the listener's own keep-alive bounds.
    http.set_keep_alive_max_count(bounds_.requestsPerConnection);
    http.set_keep_alive_timeout(std::max<time_t>(
        1, std::chrono::duration_cast<std::chrono::seconds>(bounds_.request).count()));
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!Admitted(req)) {
            Refuse(res, 403, "Forbidden");
            return httplib::Server::HandlerResponse::Handled;
        }
        std::lock_guard lock(mutex_);
        lastRequest_ = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.Get("/", [this](const httplib::Request&, httplib::Response& res) { ServePage(res); });
    http.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
        Secure(res);
        res.set_content(kPageScript, "text/javascript; charset=utf-8");
    });
    http.Get("/app.css", [](const httplib::Request&, httplib::Response& res) {
        Secure(res);
        res.set_content(kPageStyle, "text/css; charset=utf-8");
    });
    http.Post("/event", [this](const httplib::Request& req, httplib::Response& res) {
        ServeEvent(req, res);
    });
}

void WizardServer::ServePage(httplib::Response& res) {
    Secure(res);
    res.set_header("Set-Cookie",
                   std::string(kCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
    std::lock_guard lock(mutex_);
    res.set_content(RenderPage(focus_), "text/html; charset=utf-8");
    focus_.clear();
    startupBoxes_.clear();
}

Effects WizardServer::ChecksBeforePress(std::string_view button) {
    Effects effects{{}, {}, control_.Page()};
    const PageLayout* layout = FindPage(control_.Page());
    if (!layout || button != layout->forward) return effects;
    int skippedDepth = 0;
    for (const LayoutItem& item : layout->items) {
        using K = LayoutItem::Kind;
        if (item.kind == K::kFrameBegin &&
            (skippedDepth > 0 || !control_.Visible(item.name) || !control_.Enabled(item.name))) {
            ++skippedDepth;
        } else if (item.kind == K::kFrameEnd && skippedDepth > 0) {
            --skippedDepth;
        } else if (item.kind == K::kText && skippedDepth == 0) {
            effects = control_.LeaveField(item.name);
            if (!effects.messages.empty()) return effects;
        }
    }
    return effects;
}

void WizardServer::ServeEvent(const httplib::Request& req, httplib::Response& res) {
    std::optional<FormFields> fields = DecodeForm(req.body, kMaxFields, kMaxFieldText);
    if (!fields) return Refuse(res, 400, "Malformed form");
    std::string event, target, index, value;
    std::vector<std::pair<std::string, std::string>> texts;
    for (auto& [name, text] : *fields) {
        if (name == "event") {
            event = text;
        } else if (name == "control") {
            target = text;
        } else if (name == "index") {
            index = text;
        } else if (name == "value") {
            value = text;
        } else if (IsTextControl(name)) {
            texts.emplace_back(name, text);
        } else {
            return Refuse(res, 400, "Unknown control");
        }
    }
    std::lock_guard lock(mutex_);
    // Every part is checked before anything changes.
    const auto& buttons = UserControl1::Buttons();
    const auto& groups = UserControl1::OptionGroups();
    int optionIndex = -1;
    if (event == "click") {
        if (std::find(buttons.begin(), buttons.end(), target) == buttons.end())
            return Refuse(res, 400, "Unknown control");
    } else if (event == "leave") {
        if (!IsTextControl(target)) return Refuse(res, 400, "Unknown control");
    } else if (event == "option") {
        auto group = groups.find(target);
        if (group == groups.end() || index.size() != 1 ||
            std::find(group->second.begin(), group->second.end(), index[0] - '0') ==
                group->second.end())
            return Refuse(res, 400, "Unknown control");
        optionIndex = index[0] - '0';
    } else if (event == "check") {
        if (value != "0" && value != "1") return Refuse(res, 400, "Bad value");
    } else if (event != "close") {
        return Refuse(res, 400, "Unknown event");
    }
    for (const auto& [name, text] : texts) {
        if (!IsUtf8(text)) return Refuse(res, 400, "Text is not UTF-8");
    }
    for (const auto& [name, text] : texts) control_.SetText(name, text);

    Effects effects{{}, {}, control_.Page()};
    bool refused = false;
    if (event == "click") {
        effects = ChecksBeforePress(target);
        refused = !effects.messages.empty();
        if (!refused) effects = control_.Click(target);
    }
    if (event == "leave") effects = control_.LeaveField(target);
    if (event == "option") effects = control_.OptionClick(target, optionIndex);
    if (event == "check") control_.SetChecked(value == "1");
    if (event == "close" && control_.Page() == 9) closed_ = true;
    if (control_.Page() == 9) finished_ = true;
    focus_ = effects.focus;
    Secure(res);
    res.set_content(EffectsJson(control_.Page(), effects), "application/json");
    if (refused) res.status = 422;
    changed_.notify_all();
}

int WizardServer::Wait(std::chrono::milliseconds idle) {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        auto deadline = lastRequest_ + idle;
        if (std::chrono::steady_clock::now() >= deadline) break;
        changed_.wait_until(lock, deadline);
    }
    bool finished = finished_;
    lock.unlock();
    Stop();
    return finished ? 0 : 1;
}

void WizardServer::Stop() {
    if (listener_) listener_->Stop();
}

std::string WizardServer::RenderPage(const std::string& focus) const {
    const PageLayout* layout = FindPage(control_.Page());
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>NorbaNew</title><link rel=\"stylesheet\" href=\"/app.css\">"
        "<script src=\"/app.js\" defer></script></head><body>\n";
    if (!layout) return html + "</body></html>\n";
    html += "<form id=\"wizard\" data-page=\"" + std::to_string(layout->page) +
            "\" autocomplete=\"off\"><fieldset class=\"page\" id=\"" + Escape(layout->frame) +
            "\"><legend>" + Escape(layout->caption) + "</legend>\n";
    // Frames hidden by the control are left out with what they hold.
    int hiddenDepth = 0;
    for (const LayoutItem& item : layout->items) {
        using K = LayoutItem::Kind;
        if (hiddenDepth > 0) {
            if (item.kind == K::kFrameBegin) ++hiddenDepth;
            if (item.kind == K::kFrameEnd) --hiddenDepth;
            continue;
        }
        const std::string name = Escape(item.name);
        const std::string autofocus = focus == item.name ? " autofocus" : "";
        switch (item.kind) {
            case K::kFrameBegin:
                if (!control_.Visible(item.name)) {
                    hiddenDepth = 1;
                    break;
                }
                html += "<fieldset id=\"" + name + "\"" +
                        (control_.Enabled(item.name) ? "" : " disabled") + "><legend>" +
                        Escape(item.caption) + "</legend>\n";
                break;
            case K::kFrameEnd: html += "</fieldset>\n"; break;
            case K::kText:
            case K::kList: {
                html += "<div class=\"field\"><label for=\"" + name + "\">" + Escape(item.caption) +
                        "</label><input type=\"text\" id=\"" + name + "\" name=\"" + name +
                        "\" data-text value=\"" + Escape(control_.Text(item.name)) + "\"" +
                        autofocus;
                if (item.kind == K::kList) html += " list=\"" + name + "-choices\"";
                html += ">";
                if (item.kind == K::kList) {
                    html += "<datalist id=\"" + name + "-choices\">";
                    for (const char* choice : ListChoices(item.name))
                        html += "<option value=\"" + Escape(choice) + "\">";
                    html += "</datalist>";
                }
                html += "</div>\n";
                break;
            }
            case K::kLabel:
                html += "<div class=\"field\"><span class=\"label\">" + Escape(item.caption) +
                        "</span><output id=\"" + name + "\">" + Escape(control_.Text(item.name)) +
                        "</output></div>\n";
                break;
            case K::kOption: {
                std::string id = name + "-" + std::to_string(item.index);
                if (!control_.Visible(std::string(item.name) + "(" + std::to_string(item.index) +
                                      ")"))
                    break;
                html += "<div class=\"option\"><input type=\"radio\" id=\"" + id + "\" name=\"" +
                        name + "\" data-group=\"" + name + "\" data-index=\"" +
                        std::to_string(item.index) + "\"" +
                        (control_.Option(item.name) == item.index ? " checked" : "") +
                        "><label for=\"" + id + "\">" + Escape(item.caption) + "</label></div>\n";
                break;
            }
            case K::kCheck:
                html += "<div class=\"option\"><input type=\"checkbox\" id=\"" + name +
                        "\" data-check" + (control_.Checked() ? " checked" : "") +
                        "><label for=\"" + name + "\">" + Escape(item.caption) + "</label></div>\n";
                break;
            case K::kNote: html += "<p class=\"note\">" + Escape(item.caption) + "</p>\n"; break;
            case K::kButton: {
                char key = 0;
                std::string caption = CaptionHtml(control_.Text(item.name), key);
                html += "<button type=\"button\" id=\"" + name + "\" data-button";
                if (key) html += " accesskey=\"" + Escape(std::string(1, key)) + "\"";
                html += ">" + caption + "</button>\n";
                break;
            }
        }
    }
    html += "</fieldset></form>\n";
    if (!startupBoxes_.empty()) {
        html += "<div id=\"startup\" hidden>";
        for (const MessageBox& box : startupBoxes_)
            html += "<p data-title=\"" + Escape(box.title.empty() ? kProgramTitle : box.title) +
                    "\">" + Escape(box.text) + "</p>";
        html += "</div>\n";
    }
    html +=
        "<dialog id=\"box\"><h2 id=\"box-title\"></h2>"
        "<p id=\"box-text\"></p><button type=\"button\" id=\"box-ok\">OK</button></dialog>\n"
        "</body></html>\n";
    return html;
}

}  // namespace wizard
