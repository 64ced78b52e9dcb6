// JexSraCreateSrq: the client that submits one new service request to "Jex_Sra".
#pragma once

#include "jexlink/sra/JexSraClient.h"

class JexNetMsg;
class JexSession;

// Submits one new service request over a session that the caller owns and
// keeps alive longer than the request, and keeps the number the server
// gives it (SRQ_NUMBER). Lives for one submission on its caller's stack.
//
// The constructor reads the configuration ("Local.Domain", "Local.Node",
// "Remote.Domain", "Remote.Node", "Contact.EMailAddr") and the signature
// file, which ends the work-unit text, and starts the history-log record
// of the submission; the destructor writes that record. Errors and events
// of the request and of its session are only recorded (suppress flags).
//
// No wait on the server is unbounded: the session's handshake and the wait
// for the server's reply each last at most "SRA.ReplyTimeout" seconds
// (default kDefaultReplyTimeout); a silent server then gives GETMSGERR (or
// CONNECTFAIL during the handshake) with the session's TIMEOUT beneath it.
class JexSraCreateSrq : public JexSraClient {
public:
    JexSraCreateSrq(JexSession* session, const char* accessNumber, const char* subject,
                    const char* body);
    ~JexSraCreateSrq() override;

    // Runs the create exchange: 0 on success, else the code of the first
    // failure (CONNECTFAIL, CONVERSIONERR, BYTELIMITERR, PUTMSGERR,
    // GETMSGERR, PROTOCOLERR, SESSIONERR, or UNKNOWNROUTINGCODE for an
    // error reply of the server). The request's error state then holds OK,
    // or PROBSUBFAIL with the failure beneath it. Every return leaves the
    // session disconnected.
    int Create();

    static constexpr int kDefaultReplyTimeout = kSraDefaultReplyTimeout;

private:
    // The failure path: the own code set and raised, PROBSUBFAIL stacked on
    // it, the history-log record given the error, the session disconnected.
    int Fail(int code, const JexExcArgs& args, JexException* cause, const char* summary);
    // A refused session attribute: the session's error recorded as
    // SESSIONERR, then the failure path.
    int SessionRefused(const char* what);
    // Sends one message: 0, or the failure's code; the summary names what
    // was being sent.
    int SendOne(const JexNetMsg& message, const char* summary, int flags = 0);
    // The header messages, the lines of the text and the end message.
    int SendRequest();
    void ReadSignature();
    void SendConfirmationMail();
};
