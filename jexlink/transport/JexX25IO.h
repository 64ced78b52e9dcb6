// The X.25 endpoint: it prepares a call and checks incoming calls, but the platform carries no data
// for it.
#pragma once

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexWirpelIO.h"

// The endpoint of address type 'X' (X/class.dte:sub/service). Connect
// prepares what a call needs (DTE class, called DTE, subaddress, call user
// data) and then reports UNSUPPORTED, as do Accept, CreateListener, Listen
// and both reads: this platform has no X.25 stack.
class JexX25IO : public JexWirpelIO {
public:
    JexX25IO();

    // The DTE check of an incoming call.
    int accept_call() override;
    // Placeholder address texts (X// called, X//* calling).
    int get_socknames(char* a, int& alen, char* b, int& blen) override;
    JexString strsockaddr(const char* address) override;
    int Accept(JexNetIO& peer) override;
    int Connect(const JexNetAddr& address) override;
    int CreateListener(const JexNetAddr& address) override;
    int Listen() override;

    int Calling() const { return callingCall_; }
    const JexString& DteClass() const { return dteClass_; }
    const JexString& CalledDte() const { return calledDte_; }
    const JexString& Subaddress() const { return subaddress_; }
    const JexBuffer& CallUserData() const { return callUserData_; }

private:
    int callingCall_ = 0;
    JexString dteClass_;
    JexString calledDte_;
    JexString subaddress_;
    JexBuffer callUserData_;
};
