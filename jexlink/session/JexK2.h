// JexK2: the K2 remote signing protocol, its client and its server.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexProtocol.h"

class JexCrypto;

#define JEXK2_TEXTS(JEX_TEXT)                                                            \
    JEX_TEXT(0, OK, "Operation successful")                                              \
    JEX_TEXT(1, ATTRNOTINT, "Attribute \"%s\" (enum=%d) is not an integer")              \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute \"%s\" (enum=%d) is not a string")             \
    JEX_TEXT(3, ATTRREADONLY, "Attribute \"%s\" (enum=%d) is read-only")                 \
    JEX_TEXT(4, BADATTR, "Invalid attribute (enum=%2$d) specified")                      \
    JEX_TEXT(5, BADATTRVALUE, "Invalid \"%s\" (enum=%d) attribute value specified (%s)") \
    JEX_TEXT(6, BADCHECK, "Signature check failed at server %s")                         \
    JEX_TEXT(7, BADREQUEST, "Invalid request at server %s, type=%d")                     \
    JEX_TEXT(8, BADSIGN, "Signature creation failed at server %s")                       \
    JEX_TEXT(9, BADTYPE, "Invalid cryptographic method \"%s\"")                          \
    JEX_TEXT(10, CHUCKED, "K2 connection rejected by server %s")                         \
    JEX_TEXT(11, CLOVER, "K2 connection in the clover: Hop limit of %d exceeded")        \
    JEX_TEXT(12, CRYPTOFAIL, "Failed to create cryptographic method \"%s\"")             \
    JEX_TEXT(13, NODSTACID, "No destination access identifier has been specified")       \
    JEX_TEXT(14, NODSTNODE, "No destination node has been specified")                    \
    JEX_TEXT(15, NOSRCACID, "No source access identifier has been specified")            \
    JEX_TEXT(16, RECVFAIL, "RPC JexSession receive failure, server=%s")                  \
    JEX_TEXT(17, REMOTEFAIL, "Remote authentication failure at %s")                      \
    JEX_TEXT(18, SENDFAIL, "RPC JexSession send failure, server=%s")                     \
    JEX_TEXT(19, SESSIONFAIL, "Failed to create session to server %s")                   \
    JEX_TEXT(20, WRONGSTATE, "JexK2 in wrong state (%s) for operation")                  \
    JEX_TEXT(21, FAILURE, "Operation failed")

// Remote signing: a signing method whose keys are held at a K2 server has
// its messages signed and checked there, over a session of its own to the
// application "Jex_K2".
//
// Client: construct; optionally SetAttr (HOP_COUNT, HOP_LIMIT, the session's
// text attributes); Connect; Context names the method and the two parties;
// then any number of Sign and Check; Disconnect (the destructor does it
// too). Sign and Check send a copy of the message without the items the
// item mask leaves out, so the server's digest is the one a local method
// computes.
//
// Server (for a K2 server program): Listen, then Accept or Reject, then
// Server serves requests until the client's Disconnect request, then
// Disconnect. Every request gets one reply carrying the server's error.
//
// Hop rule: a client sends its hop count and hop limit; a server raises the
// count by one (16-bit) and refuses a connection whose count exceeds the
// limit, and relays both to the methods it makes, so a chain of relaying
// servers ends at the limit.
//
// Every operation returns the object's code afterwards (0 on success) and
// records its failures; most also raise them. Receives wait as the session's
// GetMsg does. One object and its session are used by one thread at a time.
// JEXK2_TRACE: "h" the connect message a server receives, "d" requests
// and replies, "s" state changes, "*" all, to standard error.
class JexK2 : public JexProtocol {
public:
    enum : int { JEXK2_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    enum Attribute : int { HOP_COUNT = 1, HOP_LIMIT = 2, STATE = 3 };
    enum State : int {
        IDLE = 1,
        ACTIVE_CLIENT = 2,
        ACTIVE_SERVER = 3,
        IDLE_CLIENT = 4,
        IDLE_SERVER = 5,
        LISTENING = 6,
        REJECTED = 7,
        ERROR = 8,
    };

    // Message types and items.
    static constexpr int kConnect = 0;
    static constexpr int kContext = 'C';
    static constexpr int kSign = 'S';
    static constexpr int kCheck = 'X';
    static constexpr int kDisconnect = 'D';
    static constexpr int kReply = 'R';
    static constexpr int kItemHopCount = 'h';
    static constexpr int kItemHopLimit = 'H';
    static constexpr int kItemVersion = 'V';
    static constexpr int kItemFirstName = 'S';
    static constexpr int kItemSecondName = 'D';
    static constexpr int kItemMethod = 'T';
    static constexpr int kItemMessage = 'N';
    static constexpr int kItemMask = 'E';
    static constexpr int kItemSignature = 's';

    static constexpr const char* kApplication = "Jex_K2";
    static constexpr const char* kVersion = "1.8 Rel";

    // Trace bits of JEXK2_TRACE.
    static constexpr uint32_t kTraceConnect = 2;  // h
    static constexpr uint32_t kTraceData = 4;     // d
    static constexpr uint32_t kTraceState = 8;    // s

    JexK2();
    ~JexK2() override;
    JexK2(const JexK2&) = delete;
    JexK2& operator=(const JexK2&) = delete;

    // Client.
    int Connect(const JexString& dst_acid, const JexString& dst_node);
    int Context(const JexString& firstName, const JexString& secondName, const JexString& method);
    int Sign(const JexNetMsg& msg, JexBuffer& signature, const JexBuffer& itemMask);
    int Check(const JexNetMsg& msg, const JexBuffer& signature, const JexBuffer& itemMask);
    int Disconnect();

    // Server.
    int Listen(const JexString& acid, const JexString& node, JexBuffer& connectData);
    int Accept(const JexBuffer& acceptData);
    int Reject(const JexString& reason);
    int Server();

    // HOP_COUNT and HOP_LIMIT (cut to 16 bits); STATE is read-only.
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    int SetAttr(Attribute attribute, int value);
    // A text attribute of the owned session (AUTHENTICATION, ENCRYPTION,
    // SRC_ACID, SRC_NODE, ...).
    int SetAttr(JexSession::Attribute attribute, const JexString& value);

    // One round trip: sends the request and reads the reply, whose error
    // becomes this object's. Never raises.
    int call_remote(const JexNetMsg& request, JexNetMsg& reply);

    static const char* StateName(int state);
    static const char* AttributeName(int attribute);

    int GetState() const { return state_; }
    uint16_t HopCount() const { return hop_count_; }
    uint16_t HopLimit() const { return hop_limit_; }
    const JexString& ServerName() const { return server_name_; }
    uint32_t TraceFlags() const { return trace_flags_; }
    JexSession& Session() { return *session_; }

private:
    void set_state(int state);
    int Fail(int code, const JexExcArgs& args, JexException* cause = nullptr);
    int WrongState();
    // Answers one request's bytes with the reply's bytes (no storage when the
    // reply cannot be encoded: SENDFAIL). The request's type, 0 for bytes
    // that do not form a message.
    int ServeRequest(const JexBuffer& in, JexBuffer& out);
    // Serves one request into the reply; the error is left on this object.
    void serve(const JexNetMsg& request, JexNetMsg& reply);
    void DropMethod();

    // Fuzzing and tests drive the server's request handling without a peer.
    friend struct JexK2TestAccess;

    JexString src_acid_;
    JexString src_node_;
    const char* routine_ = "JexK2::JexK2";
    uint16_t hop_count_ = 0;
    uint16_t hop_limit_ = 1;
    std::unique_ptr<JexSession> session_;
    JexString server_name_;
    JexString dst_acid_;
    JexString dst_node_;
    int state_ = IDLE;
    uint32_t trace_flags_ = 0;
    // The method the server signs and checks with: set by a Context request,
    // deleted by the next one and when Server returns.
    std::unique_ptr<JexCrypto> method_;
};
