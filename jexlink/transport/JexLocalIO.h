// The local named-pipe byte-stream endpoint.
#pragma once

#include <string>

#include "jexlink/transport/JexNetIO.h"

// A connection between two programs of this machine through a named pipe
// (address L/name). On this platform a pipe is a local stream socket in a
// private directory of the platform state: the listener creates one
// instance per Accept and removes it again once a client took it, so
// between two Accepts a client's Connect fails. Pipe names are case-blind
// and must be 1 to 80 letters, digits, '.', '_' or '-' (not starting with
// '.'), since they become file names.
class JexLocalIO : public JexNetIO {
public:
    static constexpr int kMaxPipePath = 512;
    static constexpr int kMaxPipeName = 80;

    JexLocalIO();

    int get_socknames(char* a, int& alen, char* b, int& blen) override;
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
    // Fills the called buffer with the pipe path of the address.
    virtual void set_pipe_name(const JexNetAddr& address);

    // The file name of a pipe name: lower case; "" when the name is invalid.
    static std::string PipeFileName(const char* name);

private:
    // The pipe name held in the called buffer.
    std::string PipeName() const;
};
