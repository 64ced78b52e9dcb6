// The modem byte-stream endpoint over the modem client.
#pragma once

#include <deque>
#include <memory>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/transport/JexModemClient.h"
#include "jexlink/transport/JexNetIO.h"

// The endpoint of address type 'M'. It has no handle of its own: it cuts
// outgoing bytes into messages of at most the IO size for the modem client,
// and reassembles received messages into exactly the byte counts its
// callers ask for, keeping the rest for the next read. Only the dialling
// side (Connect) and a started server's answering side (Listen) exist.
// The client's failures are recorded on the client (its suppress flag is
// set) and reported by the endpoint with the client as the cause.
class JexModemIO : public JexNetIO {
public:
    JexModemIO();
    ~JexModemIO() override;

    JexString strsockaddr(const char* address) override;
    int Accept(JexNetIO& peer) override;
    int Connect(const JexNetAddr& address) override;
    int CreateListener(const JexNetAddr& address) override;
    int Disconnect() override;
    int GetData(char* p, int n, int& got, int wait) override;
    int GetData(JexBuffer& b, const int n) override;
    int Listen() override;
    int PutData(const char* p, int n, int ignored) override;

    JexModemClient* Client() const { return client_; }
    // Bytes received and not yet read.
    int PendingBytes() const;

private:
    // The client failed to build: CONNECTERR with the client as cause.
    int Unusable();
    // Raises code with a location and the client as cause.
    int FailClient(int code, const char* location, const char* text = nullptr);
    bool ClientOk() const { return client_ && client_->Code() == 0; }

    JexModemClient* client_ = nullptr;
    std::deque<std::unique_ptr<JexBuffer>> pending_;
    bool usable_ = false;
};
