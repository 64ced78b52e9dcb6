// The message transport: the connection object above every byte-stream endpoint, and its listener.
#pragma once

#include <sys/uio.h>
#include <span>

#include <memory>
#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexNetAddr.h"
#include "jexlink/transport/JexNetStats.h"
#include "jexlink/transport/NetDescriptor.h"

class JexNetIO;

#define JEXTRANSPORT_TEXTS(JEX_TEXT)                                         \
    JEX_TEXT(0, OK, "Operation successful")                                  \
    JEX_TEXT(1, ATTRNOTINT, "Attribute \"%s\" (enum=%d) is not an integer")  \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute \"%s\" (enum=%d) is not a string") \
    JEX_TEXT(3, ATTRREADONLY, "Attribute \"%s\" (enum=%d) cannot be set")    \
    JEX_TEXT(4, BADATTR, "Invalid attribute specified")                      \
    JEX_TEXT(5, BADATTRVALUE, "Invalid attribute value specified")           \
    JEX_TEXT(6, BADNAME, "Unknown or invalid host/node/system name: %s")     \
    JEX_TEXT(7, CONNECTERR, "Unable to connect to %s")                       \
    JEX_TEXT(8, END, "End of data")                                          \
    JEX_TEXT(9, FAILURE, "Operation failed")                                 \
    JEX_TEXT(10, MODEMERR, "Modem error")                                    \
    JEX_TEXT(11, SYSERR, "Operating system error")                           \
    JEX_TEXT(12, TIMEOUT, "Operation timed out")                             \
    JEX_TEXT(13, UNKNOWN, "Unknown transport")                               \
    JEX_TEXT(14, UNSUPPORTED, "Operation currently unsupported")

// The connection object that the layers above hold. It reads the type
// letter of the peer's address, creates the byte-stream endpoint for it,
// relays the endpoint's errors to its own handlers, forwards reads and
// writes (dumped on standard error under JEXTRANSPORT_TRACE letter 'd'),
// keeps numbered attributes and hands out the connection's statistics. It
// adds no framing: the bytes a caller writes are the bytes on the link.
//
// A transport serves one connection and belongs to one thread at a time;
// only Disconnect may come from another thread (it ends a waiting read).
// Unlike other library objects, a transport whose error nobody takes does
// not end the process: the error is reported and its code returned.
class JexTransport : public JexException {
public:
    enum : int { JEXTRANSPORT_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Attribute numbers.
    enum Attribute : int {
        kSetting1 = 1,  // stored and copied only
        kCalled = 2,    // text of the called side's address
        kCalling = 3,   // text of the calling side's address
        kIoSize = 4,    // largest single read and write
        kSetting5 = 5,  // stored and copied only
        kType = 6,      // the address type letter
        kRaiseEnd = 7,  // 1: the end of data is raised as END
        kSetting8 = 8,  // stored and copied only
        kTimeout = 9,   // seconds a modem read with wait mode 1 waits
    };

    // Trace flags (JEXTRANSPORT_TRACE letters 'p', 'h', 'd').
    static constexpr int kTraceP = 1;
    static constexpr int kTraceCalls = 2;
    static constexpr int kTraceDump = 4;

    JexTransport();
    ~JexTransport() override;

    // A failure that no handler takes is written to standard error and left
    // to the caller, who has its code: a transport never ends the process
    // (a closed peer, a busy port or an unknown address type is the
    // caller's to handle).
    int DefaultHandler(JexException* raised, void* context) override;

    // Creates the endpoint for the address's type and connects it.
    // UNSUPPORTED (14) when no endpoint exists for the type (UNKNOWN is raised).
    int Connect(const JexNetAddr& address);
    // Bounds the connection set-up of the next Connect over TCP to `seconds`
    // (0, the default: the system's own retries bound it); past them the
    // connect fails as one that timed out.
    void SetConnectTimeout(int seconds) { connectTimeout_ = seconds > 0 ? seconds : 0; }
    // Adopts the connection this program inherited (JEX_TRANSPORT_TYPE names
    // the type, JEX_NET_HANDLE the descriptor).
    int Listen();
    // Ends the connection; 0 when there is none. Safe from another thread
    // while this transport's owner waits in a read.
    int Disconnect();

    // Reads exactly n bytes (fewer only at the end of data: END).
    int GetData(char* p, int n, int& got, int wait);
    // One read of at most the IO size into b.
    int GetData(JexBuffer& b, int n);
    // Writes n bytes.
    int PutData(const char* p, int n, int ignored);
    // Writes the head's bytes, then the body's, as one message: the bytes
    // on the link are those of one PutData of both together. With `more`,
    // the last bytes may wait for the next write to leave with it (a relay
    // sends a DATA record's head so, its body following at once).
    int PutDataParts(const char* head, int headN, const char* body, int bodyN, bool more = false);
    // Writes the parts' bytes in order as one message, likewise; `more` as
    // for JexNetIO::PutDataParts.
    int PutDataParts(const iovec* parts, int count, bool more = false);
    // Reads at least min and at most max bytes (fewer only at the end of
    // data: END); got holds the count.
    int GetSome(char* p, int min, int max, int& got);

    // How a Pass ended.
    enum class PassEnd {
        kPassed,       // all n bytes went on
        kUnsupported,  // nothing was taken: read and write them instead
        kReadFailed,   // this transport's read failed (raised on it)
        kWriteFailed,  // the write to `to` failed (raised on it)
    };
    // Moves the next n bytes read from this connection to `to` inside the
    // system, without reading them into the program: the bytes on both
    // links are those of GetData and PutData of them. Only where both
    // endpoints are sockets of their own and neither dumps its bytes;
    // otherwise kUnsupported with nothing taken. taken holds the bytes read
    // from this connection (after a failed write, the rest of the n bytes
    // is still to be read). With `ready` (from ReadyToPass for the two), the
    // bytes pass through the pipe it keeps from one Pass to the next.
    PassEnd Pass(JexTransport& to, int n, int& taken,
                 jexnet::NetDescriptor::SpliceReady* ready = nullptr);
    // What keeps two connections set up for Pass between them (see
    // JexNetIO::ReadyToPass): each Pass in its life spends no calls on the
    // set-up. Ended on the thread that made it, before either connection.
    using PassReadiness = std::unique_ptr<jexnet::NetDescriptor::SpliceReady>;
    PassReadiness ReadyToPass(JexTransport& to);

    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    int GetAttr(int attribute, int& value);
    int GetAttr(int attribute, JexString& value);
    int SetAttr(int attribute, int value);
    int SetAttr(int attribute, const char* value);

    // The connection's statistics: the endpoint's for level 1 or less. A
    // transport without an endpoint gives a new object named "Unknown
    // Transport" that the caller owns, and raises UNKNOWN.
    JexNetStats* Stats(int level = 1);

    // The endpoint, or null.
    JexNetIO* Endpoint() const { return endpoint_.get(); }
    int TraceFlags() const { return trace_; }

protected:
    // Records and raises an error; returns its code whatever the handlers did.
    int RaiseCode(int code, const JexExcArgs& args, JexException* cause = nullptr) {
        ExcRaise(code, args, cause);
        return code;
    }
    // Creates the endpoint of a type letter (from the letter's factory in
    // JexSeams) into the endpoint field (a previous endpoint is unlinked and
    // deleted). UNKNOWN raised and null for a letter without an endpoint.
    JexNetIO* new_net_io(int type);
    // Registers the relay handler on the endpoint and copies the settings.
    void AttachEndpoint();
    // Copies the six integer settings into an endpoint.
    void CopySettingsTo(JexNetIO& io) const;
    // Unlinks the relay and hands the endpoint (or null) to the caller.
    std::unique_ptr<JexNetIO> DetachEndpoint();

    // The relay handler: the endpoint's error becomes this transport's.
    static int netio_handler(JexException* raised, void* context);

    int setting1_ = 0;
    JexString called_;
    JexString calling_;
    int ioSize_ = 1280;
    int setting5_ = 0;
    int type_ = '?';
    int raiseEnd_ = 0;
    int setting8_ = 0;
    int setting9_ = 0;
    int connectTimeout_ = 0;
    std::unique_ptr<JexExcHandlerRecord> relay_;
    std::unique_ptr<JexNetIO> endpoint_;
    int trace_ = 0;

private:
    int AttrFail(int code, const char* label, int attribute);
    // 0, or the failure of reading `attribute` as a `kind`.
    int AttrCheck(int attribute, JexAttrKind kind, const char* label);
    // 0, or the failure of setting `attribute`: unknown or read-only.
    int SetCheck(int attribute, const char* label);
    void Dump(const char* header, const char* p, int n) const;

    friend class JexNetIO;
    friend class JexTransportListener;
};

// A transport whose endpoint listens; Accept gives connected transports.
// A listener never ends the process: its endpoint's failures (a busy port,
// a failed accept, an address without an endpoint) are recorded on the
// listener and on the accepting transport and returned as codes.
class JexTransportListener : public JexTransport {
public:
    explicit JexTransportListener(const JexNetAddr& address);
    ~JexTransportListener() override;

    // True when the listener's endpoint stands (construction succeeded).
    bool Listening() const { return endpoint_ != nullptr; }

    // Waits for one connection and hands it to t as t's endpoint.
    int Accept(JexTransport& t);
};
