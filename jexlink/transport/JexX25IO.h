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

    int Calling() const { return calling_call_; }
    const JexString& DteClass() const { return dte_class_; }
    const JexString& CalledDte() const { return called_dte_; }
    const JexString& Subaddress() const { return subaddress_; }
    const JexBuffer& CallUserData() const { return call_user_data_; }

private:
    int calling_call_ = 0;
    JexString dte_class_;
    JexString called_dte_;
    JexString subaddress_;
    JexBuffer call_user_data_;
};
