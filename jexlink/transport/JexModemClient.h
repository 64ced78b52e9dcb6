// What the modem endpoint uses of the modem client that talks to the local modem daemon.
#pragma once

#include <memory>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

// The calls of the modem client (JexModemAPI of the modem transport, through
// its status class JexModem). Every call reports through the client's own
// code: 0 on success, otherwise a code of the client's table; a call that
// succeeds leaves the code at 0. The library's set-up installs the modem
// library's factory in its seams (JexSeams::SetModemClient); without one a
// modem endpoint cannot be built.
class JexModemClient : public JexException {
public:
    // Codes of the client that the endpoint tells apart.
    static constexpr int kLinkAbort = 43;   // data link aborted by the session entity
    static constexpr int kTerminated = 82;  // connection terminated
    static constexpr int kTimeout = 83;     // no message within the wait

    // Attributes: the texts of the calling and called address, and the
    // connect parameter set before each Connect.
    static constexpr int kCallingAddress = 9;
    static constexpr int kCalledAddress = 13;
    static constexpr int kConnectParameter = 18;

    JexModemClient(const JexTextRow* table, const char* className)
        : JexException(table, className) {}

    // The next received message; with bit 0 of flags set (flags 1), waits
    // at most `seconds` (kTimeout), otherwise without limit.
    virtual int GetMsg(JexBuffer& out, int flags, int seconds) = 0;
    // Sends the bytes as one message.
    virtual int PutMsg(JexBuffer& data, int flags) = 0;
    virtual int GetAttr(int attribute, JexString& out) = 0;
    virtual int GetAttr(int attribute, int& out) = 0;
    virtual int SetAttr(int attribute, const char* value) = 0;
    virtual int SetAttr(int attribute, int value) = 0;
    // Dials an 'M' address text (M/first.second:sub/service) at a speed
    // (0: any).
    virtual int Connect(const char* address, int speed) = 0;
    // As a started server named `name` (null: the client's own default),
    // waits for the first incoming call and accepts it.
    virtual int Listen(const char* name) = 0;
    virtual int Disconnect() = 0;

    // A new client from the factory the library's seams hold
    // (JexSeams::ModemClient; its code tells whether it was built), or null
    // when none is installed.
    static std::unique_ptr<JexModemClient> Create();
};
