// The session end point: attributes, states, wire messages, handshake, establishment and data.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexCodeTable.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexNetStats.h"
#include "jexlink/transport/JexProtocol.h"

class JexCompressor;
class JexCrypto;
class JexExpander;

// Row 11 stands before row 10, as in every copy of this table; lookups go
// by code.
#define JEXSESSION_TEXTS(JEX_TEXT)                                                       \
    JEX_TEXT(0, OK, "Operation successful")                                              \
    JEX_TEXT(1, ATTRNOTINT, "Attribute \"%s\" (enum=%d) is not an integer")              \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute \"%s\" (enum=%d) is not a string")             \
    JEX_TEXT(3, ATTRREADONLY, "Attribute \"%s\" (enum=%d) is read-only")                 \
    JEX_TEXT(4, AUTHFAIL, "Authentication failure")                                      \
    JEX_TEXT(5, BADATTR, "Invalid attribute (enum=%2$d) specified")                      \
    JEX_TEXT(6, BADATTRVALUE, "Invalid \"%s\" (enum=%d) attribute value specified (%s)") \
    JEX_TEXT(7, BADSYMMETRY, "Connection is not asymmetric")                             \
    JEX_TEXT(8, BADVERSION, "Incompatible protocol versions: Client = %s, Server = %s")  \
    JEX_TEXT(9, CORRUPTMSG, "Corrupted input message from JexGateway")                   \
    JEX_TEXT(11, CRYPTOKEYERR, "Error retrieving/using cryptographic key")               \
    JEX_TEXT(10, CRCFAIL, "CRC failure")                                                 \
    JEX_TEXT(12, DECOMPFAIL, "Decompression failure - corrupted data")                   \
    JEX_TEXT(13, EKEYMISMATCH, "Encryption key mismatch")                                \
    JEX_TEXT(14, GATEWAYERR, "JexGateway error")                                         \
    /* 15 is an unused number. */                                                        \
    JEX_TEXT(16, NODSTACID, "No destination access identifier has been specified")       \
    JEX_TEXT(17, NOSRCACID, "No source access identifier has been specified")            \
    JEX_TEXT(18, NOTFORME, "Incoming connection is not for this application")            \
    JEX_TEXT(19, PROTOCOL, "JexSession protocol error")                                  \
    JEX_TEXT(20, REJECT, "JexSession rejected by remote system")                         \
    JEX_TEXT(21, SHUT, "Peer has shutdown connection")                                   \
    JEX_TEXT(22, TIMEOUT, "Operation timed out")                                         \
    JEX_TEXT(23, UNKNOWNPEERERR, "Unknown peer error")                                   \
    JEX_TEXT(24, UNSUPPORTED, "Unsupported %s option: %s")                               \
    JEX_TEXT(25, WRONGPARADIGM, "Operation not supported for this paradigm")             \
    JEX_TEXT(26, WRONGSTATE, "JexSession in wrong state for operation")                  \
    JEX_TEXT(27, FAILURE, "Operation failed")

// The session states, by number; their names are what state_name gives.
#define JEXSESSION_STATES(JEX_STATE) \
    JEX_STATE(1, AUTHFAIL1)          \
    JEX_STATE(2, AUTHFAIL2)          \
    JEX_STATE(3, AUTHFAIL3)          \
    JEX_STATE(4, CCI1)               \
    JEX_STATE(5, CCI2)               \
    JEX_STATE(6, CTS)                \
    JEX_STATE(7, DATAWAIT)           \
    JEX_STATE(8, DONE)               \
    JEX_STATE(9, ERROR)              \
    JEX_STATE(10, IDLE)              \
    JEX_STATE(11, REJECTED)          \
    JEX_STATE(12, RUN)               \
    JEX_STATE(13, SCI1)              \
    JEX_STATE(14, SCI2)              \
    JEX_STATE(15, SCI3)              \
    JEX_STATE(16, SCIW)              \
    JEX_STATE(17, SI)                \
    JEX_STATE(18, SN)                \
    JEX_STATE(19, STC)               \
    JEX_STATE(20, SYNWAIT)
#define JEXSESSION_STATE_CODE(code, name) name = (code),
#define JEXSESSION_STATE_NAME(code, name) {(code), #name},

// A conversation with a named application on a remote node, over the
// gateway that the session owns. The client sets its attributes while
// IDLE, calls Connect (which runs the handshake: versions, signing
// methods, compression, challenges and chained signatures), exchanges
// encoded net messages with PutMsg and GetMsg, and ends with Disconnect.
// The server calls Listen (which adopts the inherited connection through
// its gateway and checks the client's start), answers with Accept or
// Reject, and then does the same.
//
// Every operation returns 0 or a code of the table above and records its
// failures on the session; most are also raised (offered to the handlers),
// so a caller that wants codes rather than the default handler's exit sets
// the suppress flag or registers a handler. A gateway failure reaches the
// session as GATEWAYERR with the gateway's error as cause.
//
// Waiting: the gateway's CONNECT exchange, the handshake's receives,
// Disconnect's wait for the peer's SHUTDOWN and the gateway's closing
// exchange are each bounded by READ_TIMEOUT seconds (a peer silent for longer gives TIMEOUT and the
// connection is dropped; 0 or less waits without limit); GetMsg and a
// synchronous PutMsg wait for the peer without a limit. Listen waits for
// the caller's CONNECT and then for its start message each at most the
// gateway's first-record bound (Gateway().SetFirstRecordTimeout, 5 seconds
// by default) when that is shorter.
//
// A session serves one connection: its gateway cannot go back to idle,
// so Connect or Listen on a session whose gateway has been used
// (connected, listened, or disconnected) gives WRONGSTATE. Use a new
// session for a new connection.
//
// One session is used by one thread at a time; several sessions may run on
// several threads at once.
class JexSession : public JexProtocol {
public:
    enum : int { JEXSESSION_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    enum Attribute : int {
        APPLICATION = 1,
        ASYMMETRIC = 2,
        AUTHENTICATION = 3,
        CLIENT_VERSION = 4,
        COMPRESSION = 5,
        CRC = 6,
        CRYPTO_PATH = 7,
        CRYPTO_SRC_ACID = 8,
        CRYPTO_SRC_NODE = 9,
        DST_ACID = 10,
        DST_NODE = 11,
        // 12 is an unused number.
        DST_USER = 13,
        ENCRYPTION = 14,
        LANGUAGE = 15,
        NODE_AUTH = 16,
        PARADIGM = 17,
        PATH = 18,
        PRIORITY = 19,
        RAISE_TIMEOUT = 20,
        READ_TIMEOUT = 21,
        ROUTE_MAP = 22,
        SERVER_VERSION = 23,
        SRC_ACID = 24,
        SRC_NODE = 25,
        // 26 is an unused number.
        SRC_USER = 27,
        STATE = 28,
    };

    enum State : int { JEXSESSION_STATES(JEXSESSION_STATE_CODE) };

    // Method codes of the value tables.
    enum Authentication : int { NOAUTH = 0, MD5 = 1, PASSWORD = 2, RSA_MD2 = 3, RSA_MD5 = 4 };
    enum Compression : int { NOCOMP = 0, LZW = 1, LZW_DYN = 2 };
    enum Encryption : int { NOENCRYPT = 0, DES = 1, DES_RSA = 2, RC4 = 3 };
    enum Paradigm : int { INTERACTIVE = 0, BATCH = 1 };

    static const JexCodeName kAuthenticationNames[];
    static const JexCodeName kCompressionNames[];
    static const JexCodeName kEncryptionNames[];
    static const JexCodeName kParadigmNames[];
    static const JexAttrRow kAttributes[];

    // Message types (the net message's type byte).
    static constexpr int kCrStart = 'S';
    static constexpr int kCrAck = 'K';
    static constexpr int kCrInfo = 'I';
    static constexpr int kCrAccept = 'A';
    static constexpr int kCrReject = 'R';
    static constexpr int kCrAuthRej = 'X';
    static constexpr int kCrFail = 'F';
    static constexpr int kCrBadKey = 'e';
    static constexpr int kData = 'D';
    static constexpr int kDataSyn = 's';
    static constexpr int kDataAck = 'k';
    static constexpr int kShutdown = 'H';

    // Items.
    static constexpr int kItemApplication = 'A';
    static constexpr int kItemAsymmetric = 'Y';
    static constexpr int kItemAuthMethod = 'a';
    static constexpr int kItemChallenge = 'C';
    static constexpr int kItemCompression = 'c';
    static constexpr int kItemData = 'D';
    static constexpr int kItemDate = 't';
    static constexpr int kItemDstAcid = 'T';
    static constexpr int kItemDstNode = 'N';
    static constexpr int kItemEncryption = 'e';
    static constexpr int kItemLanguage = 'L';
    static constexpr int kItemPriority = 'P';
    static constexpr int kItemSignature = 's';
    static constexpr int kItemSrcAcid = 'S';
    static constexpr int kItemSrcNode = 'n';
    static constexpr int kItemSrcUser = 'u';
    static constexpr int kItemVersion = 'V';
    static constexpr int kItemDstUser = 'U';
    static constexpr int kItemResponse = 'R';
    static constexpr int kItemNodeAuth = 'o';
    static constexpr int kItemSequence = 'M';
    static constexpr int kItemCrc = 'r';
    static constexpr int kItemScratch = 7;

    static constexpr int kKeyBlockSize = 64;
    static constexpr int kChallengeSize = 32;
    // Bit 0 of PutMsg's flags: wait for the peer's acknowledgement.
    static constexpr int kSynchronous = 1;
    // Bit 1 of PutMsg's flags: the caller sends another message at once, so
    // this one may wait in the connection to go out with the next one sent
    // without the bit (the bytes are the same). Ignored with bit 0.
    static constexpr int kMoreFollows = 2;
    // The largest data a received message may expand to.
    static constexpr int kMaxDataLength = 64 << 20;

    // Trace letters of JEXSESSION_TRACE and test letters of JEXSESSION_TEST.
    static constexpr int kTraceData = 1;       // D
    static constexpr int kTraceE = 2;          // E
    static constexpr int kTraceHandshake = 4;  // H
    static constexpr int kTraceDump = 8;       // P
    static constexpr int kTraceState = 16;     // S
    static constexpr int kTestAuth1 = 1;       // '1': server fails the CRSTART
    static constexpr int kTestAuth2 = 2;       // '2': client fails the CRACK
    static constexpr int kTestAuth3 = 4;       // '3': server fails the CRINFO
    static constexpr int kTestCorrupt = 8;     // 'P': forced corruption

    JexSession();
    ~JexSession() override;
    JexSession(const JexSession&) = delete;
    JexSession& operator=(const JexSession&) = delete;

    int GetAttr(Attribute attribute, int& value);
    int GetAttr(Attribute attribute, JexString& value);
    int SetAttr(Attribute attribute, int value);
    int SetAttr(Attribute attribute, const char* value);
    // The same by attribute number (numbers without an attribute give BADATTR).
    int GetAttr(int attribute, int& value) {
        return GetAttr(static_cast<Attribute>(attribute), value);
    }
    int GetAttr(int attribute, JexString& value) {
        return GetAttr(static_cast<Attribute>(attribute), value);
    }
    int SetAttr(int attribute, int value) {
        return SetAttr(static_cast<Attribute>(attribute), value);
    }
    int SetAttr(int attribute, const char* value) {
        return SetAttr(static_cast<Attribute>(attribute), value);
    }

    // Client: opens a session with the application at the destination (','
    // lists of access ids and nodes). REJECT (20) when the server rejected
    // it, with its reject data in replyData; else replyData holds the
    // server's accept data.
    int Connect(const char* application, const char* dstAcids, const char* dstNodes,
                const JexBuffer& connectData, JexBuffer& replyData);
    // Server: waits for one session for the application through the
    // gateway's Listen and checks the client's start; on success the state
    // is STC and connectData holds the client's connect data.
    int Listen(const char* application, const char* acids, JexBuffer& connectData);
    int Accept(const JexBuffer& acceptData);
    int Reject(const JexBuffer& rejectData);
    int Disconnect();

    // Sends data (bit 0 of flags: synchronously). Allowed in RUN, DATAWAIT.
    int PutMsg(const JexBuffer& data, int flags);
    // Delivers the next data; queued data first. Allowed in RUN.
    int GetMsg(JexBuffer& data, int flags);

    int State() const { return state_; }
    JexString StateName() const { return state_name(state_); }
    static JexString state_name(int state);
    static const char* msg_name(int type);
    static const char* attribute_name(int attribute);
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();

    // The gateway beneath the session (for its attributes and for tests that
    // hand it a connection).
    JexGateway& Gateway() { return *gateway_; }
    JexNetStats& Stats() { return stats_; }
    const char* Operation() const { return operation_; }

    // Test seam: how Connect and Listen open the gateway's path. Unset, they
    // call the gateway's Connect (route map, network) and Listen (the
    // inherited connection); a test or fuzz target sets a function that
    // gives the gateway a link of its own (in memory) and leaves it in RUN.
    // It returns 0 or a gateway code, raised on the gateway as its own
    // Connect and Listen do.
    using PathOpener = int (*)(JexGateway& gateway, void* context);
    void SetPathOpener(PathOpener open, void* context) {
        opener_ = open;
        openerContext_ = context;
    }
    // Test seam: the source of the handshake's challenges, 16 bytes a call
    // (rand128 unless set), so that a recorded handshake replays byte for
    // byte.
    using ChallengeSource = void* (*)(void* out);
    void SetChallengeSource(ChallengeSource source) { challengeSource_ = source; }

    // The process-wide trace and test flags (read by every constructor).
    static int TraceFlags();
    static int TestFlags();

    // Wire messages and codec. A message's CRC: the reflected CRC-32 register
    // (start 0xFFFFFFFF, no final inversion) over the bytes of every present
    // item but 114, in item order.
    static uint32_t msg_crc(const JexNetMsg& msg);
    // msg_crc with data as the message's data item.
    static uint32_t msg_crc(const JexNetMsg& msg, const JexBuffer& data);
    // With `more`, the message may wait in the connection to go out with the
    // next record sent (the bytes are the same).
    int send_msg(JexNetMsg& msg, bool more = false);
    // send_msg of msg with data as its data item (present, empty when it has
    // no storage), which is handed to the gateway without a copy.
    int send_msg(JexNetMsg& msg, const JexBuffer& data, bool more = false);
    int recv_msg(JexNetMsg& msg);
    JexCrypto* sign_msg(JexNetMsg& msg);
    JexCrypto* check_msg(JexNetMsg& msg);
    static void make_key_block(JexBuffer& block);
    int check_key_block(const JexBuffer& block);
    int send_authrej();
    int send_fail();
    int send_dataack(const JexNetMsg& datasyn);
    void trace_msg(std::ostream& out, const JexNetMsg& msg, const char* verb);
    void set_state(int state);

    // The client's start message with the given date and challenge (the
    // handshake passes the time and fresh random bytes).
    void BuildCrstart(JexNetMsg& msg, const JexString& date, const JexBuffer& challenge);

    // Handshake and set-up.
    int client_handshake(const JexBuffer& connectData, JexBuffer& acceptData);
    int server_handshake(JexBuffer& connectData);
    int setup_auth(JexFieldedString& localNames, JexFieldedString& remoteNames);
    int setup_compress(int code);
    int setup_expand(int code);
    int setup_encrypt(const JexString& localAcid, const JexString& remoteAcid);
    static int crypto_status(int cryptoCode);
    int CryptoCount() const { return cryptoCount_; }
    JexCrypto* CryptoMethod(int i) const;

    // The gateway handler: the gateway's error becomes the session's
    // GATEWAYERR (TIMEOUT when a bounded wait of the session ran out).
    static int raise_wrapped(JexException* raised, void* context);

private:
    struct QueueNode {
        JexNetMsg* msg;
        QueueNode* next;
    };

    // Stores the operation's name and clears the raised mark.
    void Begin(const char* operation);
    int WrongState();
    // Records and raises; returns the code.
    int Fail(int code, const JexExcArgs& args, JexException* cause = nullptr);
    // Raises the recorded error unless the operation already raised one;
    // returns the recorded code.
    int RaiseRecorded();
    int AttrFail(int code, int attribute, const JexExcArg& value = JexExcArg());
    // 0, or the failure of reading or setting `attribute` as a `kind`; the
    // value shown in the failure is made only when there is one.
    int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access,
                  const char* value = nullptr);
    int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access, int value);
    int SetList(JexFieldedString& list, const char* text);
    int SetNamedCode(Attribute attribute, int& field, const JexCodeName* table, int code);
    int SetNamedText(Attribute attribute, int& field, const JexCodeName* table, const char* name);
    void ResetPeerVersion(JexFieldedString& version);
    void QueueAppend(JexNetMsg* msg);
    JexNetMsg* QueueRemove();
    void QueueDrain();
    void DeleteCrypto();
    // A receive whose wait is bounded by READ_TIMEOUT: TIMEOUT when it runs out.
    int RecvBounded(JexNetMsg& msg);
    // The receive of recv_msg, waiting at most `wait` seconds (0: no limit).
    int RecvWait(JexNetMsg& msg, int wait);
    // The gateway's Disconnect, its wait for the peer bounded by READ_TIMEOUT.
    int GatewayDisconnect();
    // Closes the gateway path; its failures are not reported.
    void DropGateway();
    int BoundSeconds() const { return readTimeout_ > 0 ? readTimeout_ : 0; }
    int FailProtocol(const char* label = nullptr);
    // The peer's error carried by a CRFAIL, as the session's error.
    int UnloadPeerError(const JexNetMsg& msg, const char* label);
    void AdoptReplyIdentity(const JexNetMsg& reply);
    int SendControl(int type, const JexBuffer& data);
    // Sends a failure notice (CRFAIL, CRAUTHREJ); a gateway failure on the
    // way is returned but leaves the session's error as it is.
    int SendNotice(JexNetMsg& msg);
    // A trace line (and the dump under letter P) whatever the message's type.
    void TraceLine(std::ostream& out, const JexNetMsg& msg, const char* verb);
    JexString LocalVersionText() const;

    // Fields, in the order of the session's data model.
    JexString application_;
    int asymmetric_ = 0;
    int authentication_ = MD5;
    JexCrypto** crypto_ = nullptr;
    JexFieldedString clientVersion_{' '};
    int compression_ = LZW;
    std::unique_ptr<JexCompressor> compressor_;
    int crc_ = 1;
    JexString cryptoPath_;
    JexString cryptoSrcAcid_;
    JexString cryptoSrcNode_;
    const char* operation_ = "JexSession::JexSession";
    QueueNode* queueHead_ = nullptr;
    QueueNode* queueTail_ = nullptr;
    JexFieldedString dstAcids_{','};
    JexFieldedString dstNodes_{','};
    JexString dstUser_;
    int encryption_ = NOENCRYPT;
    std::unique_ptr<JexExpander> expander_;
    // The expander (when any) passes data through as it is: the data item
    // is handed over without it. Likewise for the compressor.
    bool plainExpander_ = true;
    bool plainCompressor_ = true;
    int currentCompression_ = LZW;
    // Inside the session rather than from the heap: made with it, ended
    // first by its destructor.
    std::optional<JexGateway> gateway_;
    std::unique_ptr<JexExcHandlerRecord> gatewayHandler_;
    JexString language_;
    int syncCounter_ = 0;
    int cryptoCount_ = 0;
    int nodeAuth_ = 0;
    int paradigm_ = INTERACTIVE;
    int priority_ = 128;
    int raiseTimeout_ = 0;
    int readTimeout_ = 65535;
    JexFieldedString serverVersion_{' '};
    JexFieldedString srcAcids_{','};
    JexFieldedString srcNodes_{','};
    JexString srcUser_;
    int state_ = IDLE;
    JexNetStats stats_;

    // The data message PutMsg sends and the two parts of its wire form
    // around the data, and the message GetMsg reads into: kept from message
    // to message, so that a message in either direction allocates nothing.
    // Each message is made by the first PutMsg or GetMsg that needs it.
    std::optional<JexNetMsg> dataOut_;
    JexBuffer dataHead_;
    JexBuffer dataTail_;
    std::optional<JexNetMsg> dataIn_;

    PathOpener opener_ = nullptr;
    void* openerContext_ = nullptr;
    ChallengeSource challengeSource_ = nullptr;

    // Set while the session drops the gateway: its failures are not reported.
    bool quietGateway_ = false;
    // Set once the operation in progress has raised its error.
    bool raised_ = false;
};
