// The Wirpel network endpoint: its addresses are recognised, but the platform carries no data for
// it.
#pragma once

#include "jexlink/transport/JexNetIO.h"

// The endpoint of address type 'D'. This platform has no Wirpel stack:
// Connect, CreateListener and both reads report UNSUPPORTED (14) and leave
// the object usable and destructible. Listen, PutData and Disconnect are
// the base endpoint's.
class JexWirpelIO : public JexNetIO {
public:
    JexWirpelIO();

    JexString strsockaddr(const char* address) override;
    int Connect(const JexNetAddr& address) override;
    int CreateListener(const JexNetAddr& address) override;
    int GetData(char* p, int n, int& got, int wait) override;
    int GetData(JexBuffer& b, const int n) override;

protected:
    // Raises UNSUPPORTED with the operation's name and returns it.
    int Unsupported(const char* location);
};
