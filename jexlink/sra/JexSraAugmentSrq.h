// JexSraAugmentSrq: the client that adds text to an existing service request at "Jex_Sra".
#pragma once

#include "jexlink/sra/JexSraClient.h"

class JexNetMsg;
class JexSession;

// Adds text to the service request that SRQ_NUMBER names, line by line,
// over a session that the caller owns and keeps alive longer than the
// request; on success it can mail a copy of the text to SRQ_CC_ADDRESS.
// Lives for one augmentation on its caller's stack.
//
// The constructor reads "Local.Domain", "Local.Node", "Remote.Domain" and
// "Remote.Node" and starts the history-log record; the destructor writes
// it. Errors and events of the request and its session are only recorded
// (suppress flags). No wait on the server lasts longer than the setting
// "SRA.ReplyTimeout" (seconds, 300 by default).
class JexSraAugmentSrq : public JexSraClient {
public:
    JexSraAugmentSrq(JexSession* session, const char* number, const char* subject,
                     const char* text);
    ~JexSraAugmentSrq() override;

    // Runs the augment exchange once: 0 on success (the error state OK),
    // else ACCESSFAIL (the server refused the connection; the session is
    // left as it is), CONNECTFAIL, CONVERSIONERR, BYTELIMITERR, PUTMSGERR,
    // GETMSGERR, PROBAUGFAIL (the server's failure reply), PROTOCOLERR or
    // SESSIONERR (the session refused an attribute). After a failure the
    // error state is PROBAUGFAIL with what the failure brings beneath it.
    // Every other return leaves the session disconnected.
    int Augment();

private:
    enum class Disconnect { kNever, kBeforeRecord, kAfterRecord };
    // The end of every failure, after its own code (if any) was raised:
    // PROBAUGFAIL, with the request's error beneath it when stack is set;
    // the error that the carrier brings (if any) hung beneath that; the
    // history-log record given the error; the session disconnected where
    // the failure says; the status returned.
    int Fail(int status, bool stack, const JexNetMsg* carrier, Disconnect disconnect);
};
