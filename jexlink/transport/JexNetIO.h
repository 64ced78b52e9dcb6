// The byte-stream endpoint base beneath every transport: reads, writes, accepts, connects,
// adoption.
#pragma once

#include <sys/uio.h>

#include <memory>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexNetAddr.h"
#include "jexlink/transport/JexNetStats.h"
#include "jexlink/transport/JexTransport.h"
#include "jexlink/transport/NetDescriptor.h"

// One connected or listening handle that moves raw bytes, with no notion of
// message boundaries. It is itself a transport (the owning transport copies
// its settings into it, and it keeps the live address texts), and it reports
// failures by raising on itself, where the owner's relay handler takes them.
// Subclasses give the address text form and what their link needs to
// connect and listen.
//
// One thread at a time uses an endpoint, except that Disconnect may come
// from another thread: it ends a waiting accept, connect, read or write at
// once, and the handle is closed only when nothing uses it any more.
class JexNetIO : public JexTransport {
public:
    static constexpr int kAddressSize = 516;

    JexNetIO();
    ~JexNetIO() override;

    virtual int accept_call();
    // Local and peer names of the handle into the two buffers.
    virtual int get_socknames(char* a, int& alen, char* b, int& blen);
    // The address text of a buffer in this endpoint's form.
    virtual JexString strsockaddr(const char* address) = 0;
    // Completes a connection that a subclass accepted into peer.
    virtual int Accept(JexNetIO& peer);
    // Completes a connection that a subclass made.
    virtual int Connect(const JexNetAddr& address);
    virtual int CreateListener(const JexNetAddr& address);
    virtual int Disconnect();
    // Reads exactly n bytes; END when the peer closed first (got holds what came).
    virtual int GetData(char* p, int n, int& got, int wait);
    // One read of at most the IO size; END when the peer closed.
    virtual int GetData(JexBuffer& b, const int n);
    // Adopts the descriptor named by JEX_NET_HANDLE.
    virtual int Listen();
    // Writes n bytes in chunks of at most the IO size; one message.
    virtual int PutData(const char* p, int n, int ignored);
    // Writes the parts' bytes in order as one message, the same bytes as
    // PutData of them joined. Here they are joined and given to PutData; an
    // endpoint on a socket of its own writes them without a copy. With
    // `more`, the caller sends more at once: the bytes may wait in the
    // socket to go out with the next write made without it.
    virtual int PutDataParts(const iovec* parts, int count, bool more = false);
    // Reads at least min and at most max bytes; END when the peer closed
    // first (got holds what came). Here exactly min bytes through GetData;
    // an endpoint on a socket of its own reads what is there, up to max.
    virtual int GetSome(char* p, int min, int max, int& got);

    // Moves the next n bytes read from this endpoint to `to` without
    // reading them into the program (JexTransport::Pass): spliced when both
    // endpoints are sockets of their own, else kUnsupported. With `ready`
    // (from ReadyToPass for the two), through the pipe it keeps.
    PassEnd PassTo(JexNetIO& to, int n, int& taken,
                   jexnet::NetDescriptor::SpliceReady* ready = nullptr);
    // Keeps this endpoint and `to` set up for PassTo between them while the
    // result lives (ended on the thread that asked); null where PassTo
    // cannot splice.
    std::unique_ptr<jexnet::NetDescriptor::SpliceReady> ReadyToPass(JexNetIO& to);

    // Applies a transport's settings to this endpoint.
    void CopySettings(const JexTransport& from);

    int Handle() const { return handle_.Fd(); }
    int Closing() const { return handle_.Closing() ? 1 : 0; }
    JexNetStats& Statistics() { return stats_; }
    const char* CalledBuffer() const { return calledBuffer_; }
    const char* CallingBuffer() const { return callingBuffer_; }

protected:
    // Reads at least min and at most max bytes into p from the handle, each
    // read waiting for the link first when waitFirst is set.
    int ReadRange(char* p, int min, int max, int& got, bool waitFirst);
    // Writes the bytes of the parts in order to the handle, in chunks of at
    // most the IO size, as many chunks per system call as it takes.
    int PutParts(const iovec* parts, int count, bool more = false);
    // PutDataParts and GetSome of an endpoint that reads and writes its
    // handle with the base's GetData and PutData. Each read of GetSome waits
    // for the link first: a reader that expects nothing yet (the next
    // record) spends no call on finding that out.
    int PutDataPartsOnHandle(const iovec* parts, int count, bool more) {
        return PutParts(parts, count, more);
    }
    int GetSomeOnHandle(char* p, int min, int max, int& got);
    // True for an endpoint whose handle is a stream socket of its own.
    virtual bool OwnSocket() const { return false; }
    // Raises code on this endpoint with a location, an optional text and a
    // cause; returns the code.
    int Fail(int code, const char* location, const char* text = nullptr,
             JexException* cause = nullptr);
    // Fail with a socket error (errno) from the named call as the cause.
    int FailWsa(int code, const char* location, const char* call, int err,
                const char* text = nullptr);
    // Fail with a Win32 error (errno) from the named call as the cause.
    int FailWin32(int code, const char* location, const char* call, int err,
                  const char* text = nullptr);
    // END: returned, and raised first only when attribute 7 is on.
    int EndOfData(const char* location);
    // The texts of both buffers into the address texts and the statistics.
    void TakeTexts();
    // Another endpoint's handle and calling buffer, for a subclass's Accept.
    static jexnet::NetDescriptor& HandleOf(JexNetIO& io) { return io.handle_; }
    static char* CallingBufferOf(JexNetIO& io) { return io.callingBuffer_; }

    jexnet::NetDescriptor handle_;
    char calledBuffer_[kAddressSize] = {};
    char callingBuffer_[kAddressSize] = {};
    int calledLength_ = kAddressSize;
    int callingLength_ = kAddressSize;
    // Set by a subclass's Connect that has just named the called buffer:
    // Connect then names the peer again only when its address differs.
    bool calledNamed_ = false;
    JexNetStats stats_;
};
