// JexMailer and SmtpClient: one mail message composed and delivered to an SMTP server.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexTransport.h"

#define JEXMAILER_TEXTS(JEX_TEXT)                               \
    JEX_TEXT(0, OK, "Mail successfully delivered to <%s>")      \
    JEX_TEXT(1, BADATTR, "Attribute '%s' contains a bad value") \
    JEX_TEXT(2, SEND_FAIL, "Unable to send message to <%s>")

// One mail message: source address, the sender's personal name, one
// recipient, a subject and body lines, delivered by Send in one blocking
// SMTP conversation with the server of "Mail.Smtp.Server". The envelope
// sender is always "Contact.EmailAddr"; the From and Reply-To address is
// the source address, or that contact address when the source is empty.
//
// Errors are only recorded (the suppress flag is set): after Send the
// caller reads the result and the mailer's code. Every failure, of the
// connection, a read or write, a reply of the wrong class, a header text
// with a line break, or the delivery time-out ("Mail.LocalTimeout"
// seconds for the whole conversation), leaves SEND_FAIL with the
// recipient, caused by what went wrong. The process never ends here.
class JexMailer : public JexException {
public:
    enum : int { JEXMAILER_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    // The module identification carried in every message.
    static const char* const kModuleId;

    JexMailer(JexBuffer source, JexBuffer name, JexBuffer recipient, JexBuffer subject);
    ~JexMailer() override;

    // 0 when the server accepted the message, else SEND_FAIL (2).
    int Send();
    // Appends the line and one LF to the body.
    void AddLine(const char* line);
    void EraseLines();
    // Frees all five texts.
    void Cancel();
    void Dump();

    const JexBuffer& Recipient() const { return recipient_; }
    const JexBuffer& Body() const { return body_; }

    // The message text after the DATA command, up to the closing ".": the
    // body lines each ended by CR LF, a line that begins with "." given one
    // more in front.
    static std::string BodyText(const JexBuffer& body);

private:
    // True when none of the header texts holds a CR or LF; otherwise the
    // error is recorded.
    bool HeadersClean(const JexString& headerSender, const JexString& envelopeSender);

    JexBuffer source_;
    JexBuffer name_;
    JexBuffer recipient_;
    JexBuffer subject_;
    JexBuffer body_;
};

// The SMTP conversation over a TCP transport, for one delivery. Replies are
// read line by line: a reply line split across reads is joined, and what
// arrives after the end of one reply is kept for the next. A reply line
// whose first character is not among the accepted classes, an empty reply
// line and one longer than kMaxReplyLine are failures (FAILURE, with the
// server and the offending line as causes). The end of the connection is
// raised as END. Abort, from any thread, ends a waiting connect, read or
// write at once.
class SmtpClient : public JexTransport {
public:
    static constexpr int kMaxReplyLine = 4096;

    SmtpClient();
    ~SmtpClient() override;

    // Connects to "host[:service]" (service "smtp" when none) and reads the
    // greeting, which must be of class "2". 0, or the failing step's code.
    int Connect(const JexString& server);
    // Formats the command with arguments 1..9, sends it with CR LF and reads
    // the reply. 0, or the failing step's code.
    int SendCommand(const char* format, const JexExcArgs& args, const JexString& classes);
    // Reads one whole reply and checks every line's class. 0, FAILURE, or
    // the read's code.
    int RecvMsg(JexBuffer& reply, const JexString& classes);
    // Ends the conversation from another thread; the call under way fails.
    void Abort();
    bool Aborted() const { return aborted_.load(); }

    int debug = 0;
    JexString server;

private:
    // Takes the next complete line (without CR LF) from the bytes read.
    bool NextLine(std::string& line);
    int BadReply(const std::string& line);

    std::string pending_;  // bytes read but not yet taken as lines
    std::mutex abort_mutex_;
    std::atomic<bool> aborted_{false};
};

// The handler Send registers on its client: the client's error becomes the
// mailer's SEND_FAIL cause. Takes every error (returns 0).
int smtp_handler(JexException* raised, void* context);
// The delivery timer's callback: reports the time-out on standard error and
// aborts the client passed as argument.
void mailer_timeout_cb(void* client);
