// The TCP/IP byte-stream endpoint.
#pragma once

#include "jexlink/transport/JexNetIO.h"

// A TCP connection or listener over IPv4. Addresses read T/host/service;
// the host is a dotted address or a name, the service a port number or a
// name from the library's services file or the system's.
class JexTcpIO : public JexNetIO {
public:
    JexTcpIO();

    JexString strsockaddr(const char* address) override;
    int Accept(JexNetIO& peer) override;
    int Connect(const JexNetAddr& address) override;
    int CreateListener(const JexNetAddr& address) override;
    int PutDataParts(const iovec* parts, int count, bool more = false) override {
        return PutDataPartsOnHandle(parts, count, more);
    }
    int GetSome(char* p, int min, int max, int& got) override {
        return GetSomeOnHandle(p, min, max, got);
    }
    bool OwnSocket() const override { return true; }
    int Listen() override;

    // Keep-alive, a 5-second linger, and no delay for small writes.
    int set_tcp_options();
};
