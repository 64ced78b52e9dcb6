// JexMailer and SmtpClient: one mail message composed and delivered to an SMTP server.
#include "jexlink/mail/JexMailer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexAlarmClock.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/core/JexVBPrintF.h"
#include "jexlink/transport/JexNetAddr.h"
#include "jexlink/transport/JexNetIO.h"

#define JEX_TEXT_CLASS JexMailer
const JexTextRow JexMailer::kTextTable[] = JEX_TEXT_TABLE(JEXMAILER_TEXTS);
#undef JEX_TEXT_CLASS

const char* const JexMailer::kModuleId = "JexMailer.cpp T2.2-EFT8 SMTP mailer";

namespace {

constexpr const char* kTraceFile = "JexMailer";
constexpr const char* kMessageFormat =
    "From: %s <%s>\r\nTo: %s\r\nReply-To: %s\r\nDate: %s\r\nSubject: %s\r\n"
    "X-JEX-Version: %s\r\nX-JEX-Module-ID: %s\r\n\r\n%s.";

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
    return name;
}

bool HasLineBreak(const JexBufferBase& text) {
    for (int i = 0; i < text.Length(); ++i)
        if (text.Data()[i] == '\r' || text.Data()[i] == '\n') return true;
    return false;
}

// A text argument that formats as itself also when empty (an argument
// without storage would show as "<Null>").
JexExcArg TextArg(const JexBufferBase& text) {
    JexExcArg arg(text);
    if (!arg.Data()) arg.SetLength(0);
    return arg;
}

JexString AsText(const JexBuffer& buffer) {
    if (!buffer.Data()) return JexString("");
    return JexString::FromBytes(buffer.Data(), buffer.Length());
}

}  // namespace

// --- JexMailer -----------------------------------------------------------------

JexMailer::JexMailer(JexBuffer source, JexBuffer name, JexBuffer recipient, JexBuffer subject)
    : JexException(kTextTable, "JexMailer"),
      source_(source),
      name_(name),
      recipient_(recipient),
      subject_(subject) {
    JexTrace trace(kTraceFile, "JexMailer()", __LINE__);
    SetSuppress(1);
}

JexMailer::~JexMailer() { JexTrace trace(kTraceFile, "~JexMailer()", __LINE__); }

void JexMailer::AddLine(const char* line) {
    JexTrace trace(kTraceFile, "AddLine()", __LINE__);
    if (line) body_ += JexBufferBase(line);
    body_ += '\n';
}

void JexMailer::EraseLines() {
    JexTrace trace(kTraceFile, "EraseLines()", __LINE__);
    body_.Free();
}

void JexMailer::Cancel() {
    JexTrace trace(kTraceFile, "Cancel()", __LINE__);
    source_.Free();
    name_.Free();
    recipient_.Free();
    subject_.Free();
    body_.Free();
}

void JexMailer::Dump() {
    JexTrace trace(kTraceFile, "Dump()", __LINE__);
    std::fprintf(stderr, "Source Address: %s\n", AsText(source_).Text());
    std::fprintf(stderr, "Senders personal Name: %s\n", AsText(name_).Text());
    std::fprintf(stderr, "Recipient Address: %s\n", AsText(recipient_).Text());
    std::fprintf(stderr, "Subject: %s\n", AsText(subject_).Text());
    std::fprintf(stderr, "Mail Message:\n%s\n", AsText(body_).Text());
    std::fflush(stderr);
}

std::string JexMailer::BodyText(const JexBuffer& body) {
    std::string text;
    const char* p = body.Data();
    const char* end = p ? p + body.Length() : p;
    while (p && p < end) {
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = lf ? lf : end;
        if (stop > p && *p == '.') text += '.';
        text.append(p, static_cast<size_t>(stop - p));
        text += "\r\n";
        p = lf ? lf + 1 : end;
    }
    return text;
}

bool JexMailer::HeadersClean(const JexString& headerSender, const JexString& envelopeSender) {
    struct Field {
        const JexBufferBase& text;
        const char* name;
    };
    const Field fields[] = {
        {recipient_, "Recipient Address"},
        {subject_, "Subject"},
        {name_, "Personal Name"},
        {headerSender, "Source Address"},
        {envelopeSender, "Contact.EmailAddr"},
    };
    for (const Field& f : fields) {
        if (!HasLineBreak(f.text)) continue;
        ExcSet(BADATTR, JexExcArgs("JexMailer::Send", f.name));
        ExcSet(SEND_FAIL, JexExcArgs("JexMailer::Send", recipient_), this);
        Raise();
        return false;
    }
    return true;
}

int JexMailer::Send() {
    JexTrace trace(kTraceFile, "Send()", __LINE__);
    ExcSet(OK);

    JexConfig config;
    int timeout = config.Value("Mail.LocalTimeout", 300);
    if (timeout <= 0) timeout = 300;
    const int debug = config.Value("Mail.Smtp.Debug", 0);
    JexString serverText(config.Value("Mail.Smtp.Server", "localhost").Text(), 0);
    const std::string host = LocalHostName();
    const JexString defaultContact = JexGetUserName() + "@" + host.c_str();
    const JexString envelopeSender(config.Value("Contact.EmailAddr", defaultContact.Text()).Text());
    const JexString source = AsText(source_);
    const JexString headerSender = *source.Text() ? source : envelopeSender;
    if (!HeadersClean(headerSender, envelopeSender)) return SEND_FAIL;

    // The client outlives the timer (declared first), and the handler is
    // removed before either ends.
    SmtpClient client;
    JexAlarmClock clock(&mailer_timeout_cb, &client, static_cast<float>(timeout));
    JexHandlerScope handler(&client, &smtp_handler, this);
    const JexExcArgs failArgs("JexMailer::Send", recipient_);
    auto failed = [&]() {
        if (client.Aborted()) {
            // The time-out ended the step: say so above what the step saw.
            client.ExcRaise(JexTransport::TIMEOUT, JexExcArgs("JexMailer::Send"), &client);
        }
        if (Code() != SEND_FAIL) ExcSet(SEND_FAIL, failArgs, &client);
        return SEND_FAIL;
    };
    if (clock.Start() != 0) {
        ExcSet(SEND_FAIL, failArgs, &clock);
        return SEND_FAIL;
    }

    client.debug = debug;
    if (client.Connect(serverText) != 0) return failed();

    const JexString heloName =
        JexStrCaseCmp(serverText.Text(), "localhost") == 0 ? serverText : JexString(host.c_str());
    if (client.SendCommand("HELO %s", JexExcArgs("HELO", heloName), "2") != 0) return failed();
    if (client.SendCommand("MAIL From:<%s>", JexExcArgs("MAIL", TextArg(envelopeSender)), "2") != 0)
        return failed();
    if (client.SendCommand("RCPT To:<%s>", JexExcArgs("RCPT", TextArg(recipient_)), "2") != 0)
        return failed();
    if (client.SendCommand("DATA", JexExcArgs("DATA"), "3") != 0) return failed();

    JexString version("T2.2-EFT8/");
    version += JexPlatform().Text();
    const std::string body = BodyText(body_);
    const JexExcArgs message("message", TextArg(name_), TextArg(headerSender), TextArg(recipient_),
                             TextArg(headerSender), JexFormatTime(), TextArg(subject_), version,
                             kModuleId,
                             TextArg(JexBufferBase(body.data(), static_cast<int>(body.size()))));
    if (client.SendCommand(kMessageFormat, message, "2") != 0) return failed();
    if (client.SendCommand("QUIT", JexExcArgs("QUIT"), "2") != 0) return failed();
    ExcSet(OK, JexExcArgs("JexMailer::Send", TextArg(recipient_)));
    return OK;
}

int smtp_handler(JexException* raised, void* context) {
    auto* mailer = static_cast<JexMailer*>(context);
    mailer->ExcSet(JexMailer::SEND_FAIL, JexExcArgs("smtp_handler", mailer->Recipient()), raised);
    mailer->Raise();
    return 0;
}

void mailer_timeout_cb(void* client) {
    JexTrace trace(kTraceFile, "mailer_timeout_cb()", __LINE__);
    std::fprintf(stderr, "There is some problem delivering mail.\n");
    std::fprintf(stderr, "Maximum amount of time to deliver has been exceeded.\n");
    std::fflush(stderr);
    if (client) static_cast<SmtpClient*>(client)->Abort();
}

// --- SmtpClient ------------------------------------------------------------------

SmtpClient::SmtpClient() = default;

SmtpClient::~SmtpClient() = default;

void SmtpClient::Abort() {
    std::lock_guard<std::mutex> hold(abort_mutex_);
    aborted_ = true;
    if (endpoint_) endpoint_->Disconnect();
}

int SmtpClient::Connect(const JexString& serverText) {
    server = serverText;
    JexFieldedString parts(serverText, ':');
    JexString service = parts.Field(1);
    if (!*service.Text()) service = "smtp";
    JexNetAddr address('/');
    address.SetType('T');
    address.SetField(1, parts.Field(0));
    address.SetField(2, service);
    if (debug) {
        JexString text;
        std::fprintf(stderr, "Connecting to %s ...\n", address.Format(text).Text());
        std::fflush(stderr);
    }

    JexNetIO* io = nullptr;
    {
        // Under the abort lock, so a time-out either finds the endpoint or
        // keeps it from connecting.
        std::lock_guard<std::mutex> hold(abort_mutex_);
        if (aborted_) return RaiseCode(CONNECTERR, JexExcArgs("SmtpClient::Connect", server));
        type_ = 'T';
        address.Format(called_);
        raiseEnd_ = 1;  // a server that hangs up is a failure, not an empty reply
        io = new_net_io(type_);
        if (!io) return UNSUPPORTED;
        AttachEndpoint();
    }
    const int result = io->Connect(address);
    if (result != 0) return result;
    JexBuffer greeting;
    return RecvMsg(greeting, "2");
}

int SmtpClient::SendCommand(const char* format, const JexExcArgs& args, const JexString& classes) {
    JexBuffer formatted;
    if (JexVBPrintF(formatted, format, args.Buffers()) < 0)
        return RaiseCode(FAILURE, JexExcArgs("SmtpClient::SendCommand", format));
    std::string text(formatted.Data() ? formatted.Data() : "",
                     static_cast<size_t>(formatted.Length()));
    text += "\r\n";
    if (debug) {
        std::fprintf(stderr, "S: ");
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    const int result = PutData(text.data(), static_cast<int>(text.size()), 0);
    if (result != 0) return result;
    JexBuffer reply;
    return RecvMsg(reply, classes);
}

bool SmtpClient::NextLine(std::string& line) {
    const size_t lf = pending_.find('\n');
    if (lf == std::string::npos) return false;
    line.assign(pending_, 0, lf);
    pending_.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

int SmtpClient::BadReply(const std::string& line) {
    const char* origin = "SmtpClient::RecvMsg()";
    ExcSet(FAILURE, JexExcArgs(origin));
    ExcSetText("SmtpClient::SERVER, Error communicating with SMTP server \"%1$s\"",
               JexExcArgs(origin, server));
    // The line is shown as an argument, never read as a template.
    const std::string shown = line.size() > 200 ? line.substr(0, 200) + "..." : line;
    ExcSetText("SmtpClient::REPLY, %1$s", JexExcArgs(origin, JexString(shown.c_str())));
    Raise();
    return FAILURE;
}

int SmtpClient::RecvMsg(JexBuffer& reply, const JexString& classes) {
    reply.SetLength(0);
    const char* accepted = classes.Text();
    std::string line;
    for (;;) {
        while (NextLine(line)) {
            if (debug) {
                std::fprintf(stderr, "R: %s\n", line.c_str());
                std::fflush(stderr);
            }
            reply += JexBufferBase(line.data(), static_cast<int>(line.size()));
            reply += '\n';
            if (line.empty() || line.size() > kMaxReplyLine ||
                !std::memchr(accepted, line[0], std::strlen(accepted)))
                return BadReply(line);
            // A blank (or nothing) after the code ends the reply.
            if (line.size() < 4 || line[3] == ' ') return OK;
        }
        if (pending_.size() > kMaxReplyLine) return BadReply(pending_);
        JexBuffer chunk;
        const int result = GetData(chunk, 0);
        if (result != 0) return result;
        pending_.append(chunk.Data(), static_cast<size_t>(chunk.Length()));
    }
}
