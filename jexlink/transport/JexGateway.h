// The gateway beneath every session: attributes, limits, states, transports, records and trace.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "jexlink/transport/JexNetStats.h"
#include "jexlink/transport/JexProtocol.h"
#include "jexlink/transport/JexRouteEntry.h"
#include "jexlink/transport/JexTransport.h"

class JexRouteMap;

#define JEXGATEWAY_TEXTS(JEX_TEXT)                                                               \
    JEX_TEXT(0, OK, "Operation successful")                                                      \
    JEX_TEXT(1, APPLNOTFOUND, "Application mapping not found")                                   \
    JEX_TEXT(2, ATTRNOTINT, "Attribute \"%s\" (enum=%d) is not an integer")                      \
    JEX_TEXT(3, ATTRNOTSTRING, "Attribute \"%s\" (enum=%d) is not a string")                     \
    JEX_TEXT(4, ATTRREADONLY, "Attribute \"%s\" (enum=%d) is read-only")                         \
    JEX_TEXT(5, BADATTR, "Invalid attribute (enum=%2$d) specified")                              \
    JEX_TEXT(6, BADATTRVALUE, "Invalid \"%s\" (enum=%d) attribute value specified (%s)")         \
    JEX_TEXT(7, BADNAME, "Unknown or invalid host/node/system name")                             \
    JEX_TEXT(8, BADVERSION,                                                                      \
             "Peer is running incompatible protocol version: Client = %s, Server = %s")          \
    JEX_TEXT(9, CORRUPTMSG, "Corrupted input message from JexTransport")                         \
    JEX_TEXT(10, FORWARDED,                                                                      \
             "JexGateway connection forwarded to \"%s\"\n\tTarget=%s/%s/%s\n\twhoami=%s/%s/%s")  \
    JEX_TEXT(11, INCONSTATE, "Inconsistent internal state - submit an SPR")                      \
    JEX_TEXT(12, MSG2BIG, "Incoming %ld-byte message too big, insufficient dynamic memory")      \
    JEX_TEXT(13, NOPATH,                                                                         \
             "No successful path found to remote server\n\tfor \"%s\"\n\twhoami=%s/%s/%s")       \
    JEX_TEXT(14, NOROUTEMAP, "No route map is available")                                        \
    JEX_TEXT(15, NOROUTEMAPENTRY, "Entry \"%s\" not found in route map\n\twhoami=%s/%s/%s")      \
    JEX_TEXT(16, PROTOCOL, "JexGateway protocol error")                                          \
    JEX_TEXT(17, REDIRECTED,                                                                     \
             "JexGateway connection redirected to \"%s\"\n\tTarget=%s/%s/%s\n\twhoami=%s/%s/%s") \
    JEX_TEXT(18, REJECTED, "JexGateway connection rejected by remote system")                    \
    JEX_TEXT(19, REMOTEFAIL, "Remote gateway failure at \"%s\"")                                 \
    JEX_TEXT(20, SHUTDOWN, "Peer has shutdown connection")                                       \
    JEX_TEXT(21, SYSERR, "Operating system error")                                               \
    JEX_TEXT(22, TIMEOUT, "Operation timed out")                                                 \
    JEX_TEXT(23, TRANSPORTERR, "Transport error: caller = %s, callee = %s")                      \
    JEX_TEXT(24, TULIPS, "Connection in the tulips: Max redirects exceeded")                     \
    JEX_TEXT(25, UNSUPPORTED, "Operation currently unsupported")                                 \
    JEX_TEXT(26, WEEDS, "Connection in the weeds: Max hops exceeded")                            \
    JEX_TEXT(27, WRONGSTATE, "JexGateway in wrong state for operation")                          \
    JEX_TEXT(28, FAILURE, "Operation failed")

// The layer beneath a session. A gateway has two sides, each holding at most
// one transport: side 0 the incoming connection, side 1 the outgoing one. An
// end gateway talks through one side; a gateway in the middle of a path
// relays records between both. Everything it sends or receives is a gateway
// record: a net message whose type is a record letter and whose items,
// addressed by one character, carry the record's fields, each written in a
// stream frame.
//
// A gateway serves one connection and one thread at a time, except while it
// relays: then its two transfer threads share it under the relay lock, and
// each side's writes go one record at a time under that side's send lock.
class JexGateway : public JexProtocol {
public:
    enum : int { JEXGATEWAY_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    enum Attribute : int {
        ACID = 1,
        APPLICATION = 2,
        DST_ACID = 3,
        DST_NODE = 4,
        DST_PLATFORM = 5,
        HOP_COUNT = 6,
        LEARNING = 7,
        MAX_HOP_COUNT = 8,
        MAX_REDIRECT_COUNT = 9,
        NODE = 10,
        PATH = 11,
        PLATFORM_ID = 12,
        PRIORITY = 13,
        RAISE_TIMEOUT = 14,
        READ_TIMEOUT = 15,
        REDIRECT_COUNT = 16,
        ROUTE_MAP = 17,
        SRC_ACID = 18,
        SRC_NODE = 19,
        SRC_PLATFORM = 20,
        STATE = 21,
        SYSTEM_ID = 22,
        VERSION = 23,
    };

    enum State : int {
        CONN = 3,
        CONNMSG = 4,
        CONNREPLY = 5,
        CONNWAIT = 6,
        DONE = 7,
        ERROR = 8,
        FINDPATH = 9,
        FINISH = 10,
        GATEWAY = 11,
        GCONN = 13,
        GCONNWAIT = 14,
        IDLE = 18,
        LISTEN = 19,
        LWAIT = 20,
        RUN = 22,
    };

    // Record letters.
    static constexpr int kConnect = 'C';
    static constexpr int kData = 'D';
    static constexpr int kFinish = 'F';
    static constexpr int kHit = 'H';
    static constexpr int kReject = 'J';
    static constexpr int kLearn = 'L';
    static constexpr int kProgress = 'P';
    static constexpr int kQuery = 'Q';
    static constexpr int kResponse = 'R';
    static constexpr int kNetFail = 'f';
    static constexpr int kRedirect = 'r';

    // Trace bits (JEXGATEWAY_TRACE letters).
    static constexpr int kTraceConnect = 1;     // 'C'
    static constexpr int kTraceData = 2;        // 'D'
    static constexpr int kTraceHandshake = 4;   // 'H'
    static constexpr int kTracePacket = 8;      // 'P'
    static constexpr int kTraceState = 16;      // 'S'
    static constexpr int kTraceTransport = 32;  // 'T'

    // The service name stored in learned back-route addresses.
    static constexpr const char* kLearnedService = "jex_nsd";

    JexGateway();
    ~JexGateway() override;
    JexGateway(const JexGateway&) = delete;
    JexGateway& operator=(const JexGateway&) = delete;

    int GetAttr(Attribute attribute, int& value);
    int GetAttr(Attribute attribute, JexString& value);
    int SetAttr(Attribute attribute, const JexString& value);

    // Opens the path to application at the destination through the route
    // map: CONNECT, then the answers of the gateway at the other end until
    // its HIT (0, state RUN) or a failure (its code, raised). The owner sets
    // ACID and NODE first.
    int Connect(const JexFieldedString& dstAcidList, const JexFieldedString& dstNodeList,
                const JexString& applicationName);
    // Adopts the connection this program inherited (JEX_NET_HANDLE) as
    // side 0 and answers its CONNECT: 0 when it was accepted here (state
    // RUN), FORWARDED or REDIRECTED when it was passed on, else a code.
    int Listen(const JexFieldedString& acidList, const JexFieldedString& nodeList,
               const JexString& applicationName);
    // The payload of the next DATA record (0). SHUTDOWN (20, nothing set)
    // when the peer sent FINISH; other failures set, raise and return their
    // code. wait: seconds this read may take, 0 for the gateway's read
    // time-out (SetReadTimeout); past it, TIMEOUT and the connection is
    // dropped.
    int GetMsg(JexBuffer& msg, int wait = 0);
    // GetMsg of a payload that is an encoded net message, decoded into msg:
    // its first item keeps the storage its bytes were read into.
    int GetMsg(JexNetMsg& msg, int wait = 0);
    // Sends msg as one DATA record; wait is unused (a write never waits on
    // the peer's reading beyond the socket's buffers).
    int PutMsg(const JexBuffer& msg, int wait = 0);
    // PutMsg of the bytes of count pieces one after the other (at most
    // kJexFramePieces), sent without joining them. With `more`, the caller
    // sends another message at once: this one may wait in the connection to
    // go out with the next one sent without it (the bytes are the same).
    int PutMsg(const JexBuffer* const* pieces, int count, int wait = 0, bool more = false);
    // Ends the connection with the FINISH exchange: 0 with state DONE.
    int Disconnect();
    // On the end that accepted the connection: learns the way back to the
    // caller and sends LEARN along the path. Elsewhere WRONGSTATE, set only.
    int send_learn();
    // Seconds a GetMsg (and the wait for a FINISH in Disconnect) waits for
    // the peer when it is not given its own; 0 (the start value) waits
    // without limit. Negative values count as 0.
    void SetReadTimeout(int seconds);
    // Seconds the answering side waits for a caller's first record (its
    // CONNECT) before it drops the connection; the read time-out bounds it
    // too when it is shorter. 0 leaves the read time-out alone to bound it.
    static constexpr int kDefaultFirstRecordTimeout = 5;
    void SetFirstRecordTimeout(int seconds);
    int FirstRecordTimeout() const { return firstRecordTimeout; }
    // Seconds a relay may pass no record in either direction before it ends
    // both legs; 0 (the start value) sets no limit, since a session may
    // rest long between its messages. Either leg closing or failing ends
    // both at once whatever the limit.
    void SetRelayIdleLimit(int seconds);

    // The answering side of a connection on side 0, which its caller has set
    // up (state LWAIT): waitStatus 0 when the connection stands, else 23.
    // 0 when the connection was accepted here (state RUN), else the code the
    // handshake ended with.
    int incoming_handshake(int waitStatus);
    // 0 when all fifteen CONNECT items hold data, else PROTOCOL.
    static int check_connect(const JexNetMsg& record);
    // Sets (not raises) the error for a destination without a usable route
    // entry: NOPATH, NOROUTEMAP or NOROUTEMAPENTRY by the route map's state
    // and whether an entry was tried.
    int path_failure(int tried, const JexFieldedString& key);
    // The CONNECT record for the leg just opened on side 1.
    JexNetMsg ConnectRequest();
    // Connect's CONN step: reads the far gateway's answer and moves to RUN,
    // CONN, CONNWAIT (a redirect, its leg opened with `legStatus`) or
    // ERROR; OK, or PROTOCOL when the answer is not one (already raised).
    int TakeConnectReply(JexNetMsg& reply, int& legStatus);

    int State() const { return state_; }
    void set_state(int state);
    static JexString state_name(int state);
    JexString state_name() const { return state_name(state_); }
    static const char* msg_name(int type);
    static const char* attribute_name(int attribute);
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();

    // The process-wide trace bits.
    static int TraceFlags();
    // Adds the bits of the letters of a trace switch text; returns the bits
    // the text names.
    static int AddTraceLetters(const char* letters);

    // Record exchange on one side. Both set their error without raising it
    // and return its code: 23 transport error (set by the transport
    // handler), 28 a record that cannot be encoded or framed (nothing is
    // sent), 9 a corrupt record, 16 a record without the items its kind
    // needs, 12 a frame above the limit.
    int send_record(int side, const JexNetMsg& record);
    // lead: when given, a raw DATA record's payload is read as an encoded
    // net message (JexNetMsg::DecodeTaking): its lead goes there and the
    // rest into the record's DATA item. Left without storage otherwise.
    int recv_record(int side, JexNetMsg& record, JexBuffer* lead = nullptr);
    // recv_record in two steps: the frame head, with the body's first byte
    // left unread in first (0 for an empty body); then the rest of the record.
    int RecvHead(int side, int& length, char& first);
    int RecvRest(int side, JexNetMsg& record, int length, char first, JexBuffer* lead = nullptr);
    // send_record of a DATA record carrying payload, written without a copy
    // of the payload; record is that record when the caller has one (trace).
    int SendData(int side, const JexBuffer& payload, const JexNetMsg* record = nullptr);
    // SendData of a payload made of count pieces, none of them copied.
    int SendData(int side, const JexBuffer* const* pieces, int count,
                 const JexNetMsg* record = nullptr, bool more = false);

    // 0 when the record carries every item its kind needs, else PROTOCOL.
    // Records of other letters (which a relay passes on) need nothing.
    static int CheckRecord(const JexNetMsg& record);
    // An answer to CONNECT: 't', 'h', 'a', 'P', 'r', '/', 'y' and 'V' hold
    // data ('a' may be empty in a REJECT).
    static int check_reply(const JexNetMsg& record);
    void dump_reply(const JexNetMsg& record);
    // Fills record as the NETFAIL of the failing leg's transport.
    void make_netfail(JexNetMsg& record, JexTransport* failed);
    void trace_record(const JexNetMsg& record, const char* direction);

    // Route learning: always 0; the route map keeps its own errors.
    int learn_back_routes(int side, const JexString& author);
    int learn_redirect_routes(const JexString& author);

    // The relay between side 0 and side 1; 0 or a direction's code.
    int relay();

    // Turns a transport's error into this gateway's TRANSPORTERR.
    static int transport_handler(JexException* raised, void* context);
    static int inconsistency_handler(JexException* raised, void* context);

    // Gives side a transport (the gateway owns it) with the transport handler.
    void AttachTransport(int side, JexTransport* transport);
    // Unregisters the handler and deletes the transport of side.
    void ReleaseTransport(int side);
    JexTransport* Transport(int side) const { return transports_[side & 1].get(); }
    // Who makes the transport of an outgoing leg for a route's address, in
    // place of a connection of the address's type (a link in memory for the
    // session fuzz target). It returns a connected transport that the
    // gateway then owns, or null for a leg that failed. No opener (the
    // default): the system's connection.
    using LegOpener = JexTransport* (*)(const JexNetAddr& address, void* context);
    void SetLegOpener(LegOpener open, void* context) {
        legOpener_ = open;
        legOpenerContext_ = context;
    }

    JexNetStats& Stats() { return stats_; }
    const char* Label() const { return label_.load(); }

    // Fields that the connection exchanges fill.
    JexString application{"", 1};
    JexFieldedString dstAcids{','};
    JexFieldedString dstNodes{','};
    uint16_t hop_count = 0;
    int acceptedHere = 0;
    uint16_t maxHops = 7;
    uint16_t maxRedirects = 5;
    JexFieldedString ownAcids{','};
    JexFieldedString ownNodes{','};
    JexFieldedString version{' '};
    JexFieldedString path{'\n'};
    JexString platform;
    uint16_t priority = 10;
    int raiseTimeout = 0;
    int readTimeout = 0;
    int firstRecordTimeout = kDefaultFirstRecordTimeout;
    int relayIdleLimit = 0;
    uint16_t redirectCount = 0;
    std::unique_ptr<JexRouteMap> routeMap;
    JexRouteEntry routeEntry;
    JexString routeMapFile;
    JexFieldedString srcAcids{','};
    JexFieldedString srcNodes{','};
    JexString systemId;
    int activeSide = 0;
    JexFieldedString peerVersion{' '};
    int redirected = 0;

protected:
    // Stores the name of the public operation in progress.
    void SetLabel(const char* label) { label_ = label; }
    // Sets (not raises) code with the label as argument 0.
    int SetError(int code, const JexExcArgs& args, JexException* cause = nullptr);
    int AttrFail(int code, int attribute, const JexString* value);
    // A frame that failed on t: TRANSPORTERR, set here unless the
    // transport handler already set it.
    int TransportFailed(JexTransport& t);
    // Gives side a new transport connected to address: 0 (OK set with the
    // label), or TRANSPORTERR with the transport's error kept on the gateway.
    int OpenLeg(int side, const JexNetAddr& address);
    // recv_record bounded by seconds (0: no bound). Past the bound the side's
    // connection is closed and TIMEOUT set.
    int RecvRecordWithin(int side, JexNetMsg& record, int seconds, JexBuffer* lead = nullptr);
    // Loads the current error into record in place of any loaded before.
    void LoadError(JexNetMsg& record);
    // Raises the current error and returns its code.
    int RaiseCurrent();

    // Written by both transfer threads of a relay (with the same text).
    std::atomic<const char*> label_{"JexGateway::JexGateway"};
    JexExcHandlerRecord ownHandler_;
    int relayFailed_ = 0;
    JexMutex relayLock_{2};
    JexMutex sendLock_[2] = {JexMutex(2), JexMutex(2)};
    int state_ = IDLE;
    JexNetStats stats_;
    std::unique_ptr<JexTransport> transports_[2];
    std::unique_ptr<JexExcHandlerRecord> handlers_[2];
    // Each side's frames are read through its reader (by one thread).
    JexFrameReader readers_[2];
    // The storage GetMsg's next payload is read into: the caller's previous
    // buffer, kept unless it is far larger than what arrives.
    JexBuffer receiveSpare_;

private:
    // GetMsg's loop: the next DATA payload into msg, with its lead apart
    // when lead is given (recv_record).
    int GetData(JexBuffer& msg, JexBuffer* lead, int wait);
    LegOpener legOpener_ = nullptr;
    void* legOpenerContext_ = nullptr;
    struct Handshake;
    // Releases both sides' transports; returns code.
    int ReleaseLegs(int code);
    int HandshakeListen(Handshake& h);
    void HandshakeConnmsg(Handshake& h);
    void HandshakeConnreply(Handshake& h);
    void HandshakeGconnwait(Handshake& h);
    int HandshakeGconn(Handshake& h);
    void NextRoute(Handshake& h);
    // Seconds the wait for a caller's CONNECT may take (0: no bound).
    int FirstRecordWait() const;
    // Waits until the next gateway's answer starts to arrive on side 1 (0),
    // the caller closes side 0 (TRANSPORTERR), or seconds pass (TIMEOUT,
    // side 1 closed); 0 seconds: no bound.
    int AwaitOnward(int seconds);
    // Reads the next gateway's answer into h.onward, marking the side that failed.
    void RecvOnward(Handshake& h);
    void SendAnswer(Handshake& h, int type);
    JexExcArgs RouteArgs(const Handshake& h);

    struct RelayWatch;
    struct TransferBlock;
    static int transfer(JexThread* thread, void* block);
    static int TransferRecords(TransferBlock& block);
    // How PassData ended.
    enum PassResult : int { kPassed = 0, kPassFromFailed = 1, kPassToFailed = 2 };
    // Passes on a raw DATA record of a length-byte body whose head was read
    // on block's from side: head first, then the body as it arrives, moved
    // from socket to socket inside the system where both links are sockets,
    // else piece by piece through the direction's piece buffer. When the from side
    // fails after the head went out, the to side is ended too: the far end
    // holds part of a record, and nothing may follow it.
    PassResult PassData(TransferBlock& block, int length);
    // Ends the relay's legs from any thread: waiting reads and writes on
    // both sides return at once.
    void EndLegs();
    // Ends one leg of the relay from any thread.
    void EndLeg(int side);
    // Milliseconds a relay may go on once a leg failed: time for the
    // failure report to reach the far end and for the peers to close.
    static constexpr int kRelaySettleMs = 10000;
    // true for the first failure of a relay: its direction reports it.
    bool ClaimReport();
    // Starts the settle time of the relay, once.
    void settle(RelayWatch& watch);
    // After a write to the far side failed: reads and drops what the near
    // side sends until it ends; true when some failure was reported meanwhile.
    bool DrainAfterSendFailure(TransferBlock& block);
    // Waits while both directions run; past the relay idle limit (when one
    // is set) without a record either way, or past the settle time once a
    // leg failed, ends both legs.
    void WatchIdle(RelayWatch& watch, int started);
    // Reports a failed leg once per relay: sends NETFAIL on reportSide,
    // then ends the failed leg.
    // report false: only ends the report side's leg (it holds part of a
    // record, so no report could be read there).
    void LegFailure(TransferBlock& block, const char* text, int failedSide, int reportSide,
                    bool report = true);

    friend class JexGatewayListener;
};

// 1 when some field of a and some field of b, both lower-cased, match with
// either taken as a "*" pattern for the other.
int jex_lists_match(const JexFieldedString& a, const JexFieldedString& b);

// A gateway that listens at an address and accepts connections onto fresh
// gateways, each of which runs its incoming handshake on a thread of its own.
class JexGatewayListener : public JexGateway {
public:
    // Called on the connection thread once the handshake has ended.
    using Completion = void (*)(JexThread* thread, JexGateway* gateway, int result, void* userData);

    // Listens at address (its service field is set to the application when
    // the address has none). Failures are recorded: Listening() tells.
    JexGatewayListener(const JexString& application, const JexNetAddr& address);
    ~JexGatewayListener() override;

    bool Listening() const { return listener_ && listener_->Listening(); }

    // A listener's failure that nobody takes is reported on standard error
    // and returned to the caller: it never ends the process.
    int DefaultHandler(JexException* raised, void* context) override;
    JexTransportListener* Listener() const { return listener_; }

    // Accepts one connection onto g (which must be IDLE) and starts its
    // handshake on a new thread, returned in thread (the caller owns and
    // joins it). 0, WRONGSTATE or TRANSPORTERR. Once the callback returns
    // the connection is over: the thread releases g's transports at once,
    // so a finished connection holds no descriptor while it waits to be
    // joined. With MaxConnections() connections running, a new caller is
    // sent a REJECT carrying this listener's error and closed at once:
    // FAILURE (set, not raised), thread null, g left IDLE.
    int Accept(JexGateway& g, Completion callback, void* userData, JexThread*& thread);

    // The cap on connections whose threads run at once.
    static constexpr int kDefaultMaxConnections = 256;
    void SetMaxConnections(int count) { maxConnections_ = count > 0 ? count : 1; }
    int MaxConnections() const { return maxConnections_; }
    // Connections accepted whose threads have not ended.
    int Running() const { return running_.load(); }

private:
    struct AcceptBlock {
        JexGatewayListener* listener;
        JexGateway* gateway;
        Completion callback;
        void* userData;
    };
    static int connection_thread(JexThread* thread, void* block);
    // Sends the caller on g's side 0 a REJECT with this listener's error
    // for a node at its cap, and closes the connection.
    void refuse(JexGateway& g);

    JexTransportListener* listener_ = nullptr;
    int maxConnections_ = kDefaultMaxConnections;
    std::atomic<int> running_{0};
};
