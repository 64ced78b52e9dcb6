// JexK2: the K2 remote signing protocol, its client and its server.
#include "jexlink/session/JexK2.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/session/JexCrypto.h"

#define JEX_TEXT_CLASS JexK2
const JexTextRow JexK2::kTextTable[] = JEX_TEXT_TABLE(JEXK2_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

JexString Env(const char* name) {
    const char* value = std::getenv(name);
    return JexString(value ? value : "", 1);
}

// A C integer literal (decimal, 0x hexadecimal, 0 octal); false for
// anything else, so a bad setting keeps the default.
bool ParseIntLiteral(const char* text, long& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

uint32_t TraceFlagsFrom(const char* letters) {
    uint32_t flags = 0;
    for (const char* c = letters ? letters : ""; *c; ++c) {
        switch (std::tolower(static_cast<unsigned char>(*c))) {
            case 'h': flags |= JexK2::kTraceConnect; break;
            case 'd': flags |= JexK2::kTraceData; break;
            case 's': flags |= JexK2::kTraceState; break;
            case '*': flags = 0xffffffffu; break;
            default: break;
        }
    }
    return flags;
}

// The text an item carries, up to its first NUL.
JexString ItemText(const JexBuffer& item) {
    if (!item.Data() || item.Length() <= 0) return JexString("", 1);
    return JexString::FromBytes(item.Data(), item.Length());
}

// A copy of the message without the items whose bit is set in the mask
// (bit i: byte i / 8, least significant bit first).
JexNetMsg Unmasked(const JexNetMsg& msg, const JexBuffer& mask) {
    JexNetMsg copy;
    copy.Type(msg.Type());
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        if (!msg[i].Data()) continue;
        const int byte = i / 8;
        const bool masked =
            byte < mask.Length() && (static_cast<unsigned char>(mask.Data()[byte]) >> (i % 8)) & 1;
        if (!masked) copy[i] = msg[i];
    }
    return copy;
}

uint16_t ShortItem(const JexBuffer& item) { return static_cast<uint16_t>(item.GetShort()); }

constexpr JexAttrRow kAttributes[] = {
    {JexK2::HOP_COUNT, "HOP_COUNT", JexAttrKind::kInt, false},
    {JexK2::HOP_LIMIT, "HOP_LIMIT", JexAttrKind::kInt, false},
    {JexK2::STATE, "STATE", JexAttrKind::kInt, true},
};
constexpr const char* kUnknownAttribute = "Unknown attribute";

}  // namespace

const char* JexK2::StateName(int state) {
    switch (state) {
        case IDLE: return "IDLE";
        case ACTIVE_CLIENT: return "ACTIVE_CLIENT";
        case ACTIVE_SERVER: return "ACTIVE_SERVER";
        case IDLE_CLIENT: return "IDLE_CLIENT";
        case IDLE_SERVER: return "IDLE_SERVER";
        case LISTENING: return "LISTENING";
        case REJECTED: return "REJECTED";
        case ERROR: return "ERROR";
        default: return "*Invalid State*";
    }
}

const char* JexK2::AttributeName(int attribute) {
    return JexAttrName(kAttributes, attribute, kUnknownAttribute);
}

std::span<const JexAttrRow> JexK2::AttributeRows() { return kAttributes; }

JexK2::JexK2()
    : JexProtocol(kTextTable, "JexK2"),
      src_acid_(Env("JEXK2_SRC_ACID")),
      src_node_(Env("JEXK2_SRC_NODE")),
      session_(std::make_unique<JexSession>()),
      server_name_("", 1),
      dst_acid_(Env("JEXK2_DST_ACID")),
      dst_node_(Env("JEXK2_DST_NODE")) {
    session_->SetSuppress(1);
    session_->SetAttr(JexSession::NODE_AUTH, 1);
    long limit = 0;
    if (ParseIntLiteral(std::getenv("JEXK2_HOP_LIMIT"), limit))
        hop_limit_ = static_cast<uint16_t>(limit);
    trace_flags_ = TraceFlagsFrom(std::getenv("JEXK2_TRACE"));
}

JexK2::~JexK2() {
    Disconnect();
    DropMethod();
    session_.reset();
}

void JexK2::set_state(int state) {
    if (trace_flags_ & kTraceState) {
        std::fprintf(stderr, "\nJexK2 State Transition: %s (%p) - %s => %s\n", routine_,
                     static_cast<void*>(this), StateName(state_), StateName(state));
        std::fflush(stderr);
    }
    state_ = state;
}

int JexK2::Fail(int code, const JexExcArgs& args, JexException* cause) {
    ExcSet(code, args, cause);
    Raise();
    return code;
}

int JexK2::WrongState() { return Fail(WRONGSTATE, JexExcArgs(routine_, StateName(state_))); }

int JexK2::SetAttr(Attribute attribute, int value) {
    routine_ = "JexK2::SetAttr";
    static constexpr JexAttrCodes kCodes{BADATTR, ATTRNOTINT, ATTRNOTSTRING, ATTRREADONLY};
    const int code =
        JexAttrCheck(kAttributes, attribute, JexAttrKind::kInt, JexAttrAccess::kSet, kCodes);
    if (code != OK)
        return Fail(code, JexAttrFailure(kAttributes, kUnknownAttribute,
                                         "JexK2::SetAttr(Attribute, int)", attribute, value));
    if (attribute == HOP_COUNT)
        hop_count_ = static_cast<uint16_t>(value);
    else
        hop_limit_ = static_cast<uint16_t>(value);
    return ExcSet(OK);
}

int JexK2::SetAttr(JexSession::Attribute attribute, const JexString& value) {
    routine_ = "JexK2::SetAttr";
    if (session_->SetAttr(attribute, value.Text()) == 0) return ExcSet(OK);
    return Fail(SESSIONFAIL, JexExcArgs(routine_), session_.get());
}

int JexK2::Connect(const JexString& dst_acid, const JexString& dst_node) {
    routine_ = "JexK2::Connect";
    if (state_ != IDLE) return WrongState();

    JexNetMsg connect(kConnect);
    connect[kItemHopCount].SetShort(static_cast<int16_t>(hop_count_));
    connect[kItemHopLimit].SetShort(static_cast<int16_t>(hop_limit_));
    connect[kItemVersion] = JexBuffer(kVersion);
    dst_acid_ = dst_acid;
    dst_node_ = dst_node;
    server_name_ = dst_acid_;
    server_name_ += "/";
    server_name_ += dst_node_;
    server_name_ += "/";
    server_name_ += kApplication;
    session_->GetAttr(JexSession::SRC_ACID, src_acid_);
    session_->GetAttr(JexSession::SRC_NODE, src_node_);

    JexBuffer replyData;
    const int rc = session_->Connect(kApplication, dst_acid_.Text(), dst_node_.Text(),
                                     connect.Encode(), replyData);
    if (rc == 0) {
        set_state(IDLE_CLIENT);
        return ExcSet(OK, JexExcArgs(routine_));
    }
    set_state(ERROR);
    if (session_->Code() == JexSession::REJECT) {
        // The server's own reason, with its causes, as it sent it; a refusal
        // that carries no error still refuses.
        JexNetMsg reply;
        reply.Decode(replyData);
        if (UnloadException(reply, routine_) == OK)
            ExcSet(CHUCKED, JexExcArgs(routine_, server_name_));
    } else {
        ExcSet(SESSIONFAIL, JexExcArgs(routine_, server_name_), session_.get());
    }
    Raise();
    return Code();
}

int JexK2::Context(const JexString& firstName, const JexString& secondName,
                   const JexString& method) {
    routine_ = "JexK2::Context";
    if (state_ != IDLE_CLIENT && state_ != ACTIVE_CLIENT) return WrongState();
    set_state(ACTIVE_CLIENT);
    JexNetMsg request(kContext);
    request[kItemFirstName] = JexBuffer(firstName);
    request[kItemSecondName] = JexBuffer(secondName);
    request[kItemMethod] = JexBuffer(method);
    JexNetMsg reply;
    return call_remote(request, reply);
}

int JexK2::Sign(const JexNetMsg& msg, JexBuffer& signature, const JexBuffer& itemMask) {
    routine_ = "JexK2::Sign";
    if (state_ != ACTIVE_CLIENT) return WrongState();
    JexNetMsg request(kSign);
    if (Unmasked(msg, itemMask).Encode(request[kItemMessage]) != JexNetMsg::kEncoded)
        return Fail(SENDFAIL, JexExcArgs(routine_, server_name_));
    request[kItemMask] = itemMask;
    JexNetMsg reply;
    call_remote(request, reply);
    signature = reply[kItemSignature];
    if (Code() != OK) Raise();
    return Code();
}

int JexK2::Check(const JexNetMsg& msg, const JexBuffer& signature, const JexBuffer& itemMask) {
    routine_ = "JexK2::Check";
    if (state_ != ACTIVE_CLIENT) return WrongState();
    JexNetMsg request(kCheck);
    if (Unmasked(msg, itemMask).Encode(request[kItemMessage]) != JexNetMsg::kEncoded)
        return Fail(SENDFAIL, JexExcArgs(routine_, server_name_));
    request[kItemSignature] = signature;
    request[kItemMask] = itemMask;
    JexNetMsg reply;
    call_remote(request, reply);
    if (Code() != OK) Raise();
    return Code();
}

int JexK2::Disconnect() {
    routine_ = "JexK2::Disconnect";
    ExcSet(OK, JexExcArgs(routine_));
    if (state_ == ACTIVE_CLIENT) {
        JexNetMsg request(kDisconnect);
        JexNetMsg reply;
        if (call_remote(request, reply) != OK) Raise();
    }
    if (state_ == ACTIVE_CLIENT || state_ == ACTIVE_SERVER || state_ == IDLE_CLIENT ||
        state_ == IDLE_SERVER)
        session_->Disconnect();
    set_state(IDLE);
    return Code();
}

int JexK2::call_remote(const JexNetMsg& request, JexNetMsg& reply) {
    const std::string label = std::string(routine_) + "/call_remote";
    reply.Clear();
    if (trace_flags_ & kTraceData) {
        std::fprintf(stderr, "\n%s/call_remote (%p): Sending:\n", routine_,
                     static_cast<const void*>(this));
        request.Dump(stderr);
        std::fflush(stderr);
    }
    JexBuffer out;
    if (request.Encode(out) != JexNetMsg::kEncoded)
        return ExcSet(SENDFAIL, JexExcArgs(routine_, server_name_));
    if (session_->PutMsg(out, 0) != 0)
        return ExcSet(SENDFAIL, JexExcArgs(routine_, server_name_), session_.get());
    JexBuffer in;
    if (session_->GetMsg(in, 0) != 0)
        return ExcSet(RECVFAIL, JexExcArgs(routine_, server_name_), session_.get());
    reply.Decode(in);
    if (trace_flags_ & kTraceData) {
        std::fprintf(stderr, "\n%s/call_remote (%p): Received:\n", routine_,
                     static_cast<const void*>(this));
        reply.Dump(stderr);
        std::fflush(stderr);
    }
    // A reply that does not parse is no answer: nothing in it is believed.
    if (reply.Corrupt()) return ExcSet(RECVFAIL, JexExcArgs(routine_, server_name_));
    return UnloadException(reply, label.c_str());
}

int JexK2::Listen(const JexString& acid, const JexString& node, JexBuffer& connectData) {
    routine_ = "JexK2::Listen";
    if (state_ != IDLE) return WrongState();
    ExcSet(OK, JexExcArgs(routine_));
    set_state(LISTENING);
    dst_acid_ = acid;
    if (node.Text()[0] == '\0') {
        session_->GetAttr(JexSession::DST_NODE, dst_node_);
    } else {
        dst_node_ = node;
        session_->SetAttr(JexSession::DST_NODE, node.Text());
    }
    server_name_ = dst_acid_;
    server_name_ += "/";
    server_name_ += dst_node_;
    server_name_ += "/";
    server_name_ += kApplication;

    if (session_->Listen(kApplication, acid.Text(), connectData) != 0)
        return Fail(SESSIONFAIL, JexExcArgs(routine_, server_name_), session_.get());
    session_->GetAttr(JexSession::SRC_ACID, src_acid_);
    session_->GetAttr(JexSession::SRC_NODE, src_node_);

    JexNetMsg connect;
    connect.Decode(connectData);
    if (trace_flags_ & kTraceConnect) {
        std::fprintf(stderr, "JexK2::Listen(): Contents of connect message:\n");
        connect.Dump(stderr);
        std::fflush(stderr);
    }
    hop_count_ = static_cast<uint16_t>(ShortItem(connect[kItemHopCount]) + 1);
    hop_limit_ = ShortItem(connect[kItemHopLimit]);
    if (hop_count_ > hop_limit_) {
        ExcSet(CHUCKED, JexExcArgs(routine_, server_name_));
        ExcSetViaClone(CLOVER, JexExcArgs(routine_, static_cast<int>(hop_limit_)));
        Raise();
    }
    if (Code() != OK) {
        JexNetMsg refusal(kConnect);
        LoadException(refusal);
        JexBuffer data;
        if (refusal.Encode(data) == JexNetMsg::kEncoded) session_->Reject(data);
    }
    return Code();
}

int JexK2::Accept(const JexBuffer& acceptData) {
    routine_ = "JexK2::Accept";
    if (state_ != LISTENING) return WrongState();
    if (session_->Accept(acceptData) != 0)
        return Fail(SESSIONFAIL, JexExcArgs(routine_, server_name_), session_.get());
    set_state(IDLE_SERVER);
    return ExcSet(OK, JexExcArgs(routine_));
}

int JexK2::Reject(const JexString& reason) {
    routine_ = "JexK2::Reject";
    if (state_ != LISTENING) return WrongState();
    ExcSet(CHUCKED, JexExcArgs(routine_, server_name_));
    ExcSetText(reason.Text(), JexExcArgs(routine_));
    JexNetMsg refusal(kReply);
    LoadException(refusal);
    JexBuffer data;
    if (refusal.Encode(data) != JexNetMsg::kEncoded || session_->Reject(data) != 0)
        return Fail(SESSIONFAIL, JexExcArgs(routine_, server_name_), session_.get());
    set_state(REJECTED);
    return ExcSet(OK, JexExcArgs(routine_));
}

int JexK2::Server() {
    routine_ = "JexK2::Server";
    if (state_ != IDLE_SERVER) return WrongState();
    int type = 0;
    while (type != kDisconnect) {
        JexBuffer in;
        if (session_->GetMsg(in, 0) != 0) {
            ExcSet(RECVFAIL, JexExcArgs(routine_, server_name_), session_.get());
            break;
        }
        JexBuffer out;
        type = ServeRequest(in, out);
        if (!out.Data()) break;
        if (session_->PutMsg(out, 0) != 0) {
            ExcSet(SENDFAIL, JexExcArgs(routine_, server_name_), session_.get());
            break;
        }
    }
    DropMethod();
    return Code();
}

void JexK2::DropMethod() { method_.reset(); }

int JexK2::ServeRequest(const JexBuffer& in, JexBuffer& out) {
    JexNetMsg request;
    request.Decode(in);
    if (trace_flags_ & kTraceData) {
        std::fprintf(stderr, "\n%s (%p): Received:\n", routine_, static_cast<void*>(this));
        request.Dump(stderr);
        std::fflush(stderr);
    }
    JexNetMsg reply(kReply);
    ExcSet(OK, JexExcArgs(routine_));
    // A request that does not parse is answered, never acted on.
    const int type = request.Corrupt() ? 0 : request.Type();
    if (request.Corrupt())
        ExcSet(BADREQUEST, JexExcArgs(routine_, server_name_, request.Type()));
    else
        serve(request, reply);

    LoadException(reply);
    if (trace_flags_ & kTraceData) {
        std::fprintf(stderr, "\n%s (%p): Sending:\n", routine_, static_cast<void*>(this));
        reply.Dump(stderr);
        std::fflush(stderr);
    }
    if (reply.Encode(out) != JexNetMsg::kEncoded) {
        out.Free();
        ExcSet(SENDFAIL, JexExcArgs(routine_, server_name_));
    }
    return type;
}

void JexK2::serve(const JexNetMsg& request, JexNetMsg& reply) {
    switch (request.Type()) {
        case kContext: {
            DropMethod();
            const JexString name = ItemText(request[kItemMethod]);
            method_.reset(JexCrypto::Create(name.Text(), ItemText(request[kItemFirstName]),
                                            ItemText(request[kItemSecondName]), 1));
            if (!method_) {
                ExcSet(BADTYPE, JexExcArgs(routine_, name));
                return;
            }
            // The method relays as this server, with the raised hop count.
            const bool failed = method_->SetAttr(JexCrypto::K2_HOP_COUNT, hop_count_) != 0 ||
                                method_->SetAttr(JexCrypto::K2_HOP_LIMIT, hop_limit_) != 0 ||
                                method_->SetAttr(JexCrypto::K2_SRC_ACID, dst_acid_) != 0 ||
                                method_->SetAttr(JexCrypto::K2_SRC_NODE, dst_node_) != 0 ||
                                method_->Init() != 0;
            if (failed) ExcSet(CRYPTOFAIL, JexExcArgs(routine_, name), method_.get());
            set_state(ACTIVE_SERVER);
            return;
        }
        case kDisconnect: set_state(IDLE_SERVER); return;
        case kSign:
        case kCheck: break;
        default: ExcSet(BADREQUEST, JexExcArgs(routine_, server_name_, request.Type())); return;
    }

    if (state_ != ACTIVE_SERVER || !method_) {
        ExcSet(WRONGSTATE, JexExcArgs(routine_, StateName(state_)));
        return;
    }
    JexNetMsg msg;
    msg.Decode(request[kItemMessage]);
    if (request.Type() == kSign) {
        // A message that does not parse is not signed.
        if (msg.Corrupt() || method_->Sign(msg, reply[kItemSignature]) != 0) {
            if (msg.Corrupt()) reply[kItemSignature].Free();
            ExcSet(BADSIGN, JexExcArgs(routine_, server_name_),
                   msg.Corrupt() ? nullptr : method_.get());
        }
        return;
    }
    if (msg.Corrupt() || method_->Check(msg, request[kItemSignature]) != 0)
        ExcSet(BADCHECK, JexExcArgs(routine_, server_name_),
               msg.Corrupt() ? nullptr : method_.get());
}
