// The session end point: attributes, states, wire messages, handshake, establishment and data.
#include "jexlink/session/JexSession.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>

#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/rand128.h"
#include "jexlink/transport/JexCompressionBase.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexLzw.h"
#include "jexlink/transport/JexNetAddr.h"
#include "jexlink/transport/JexTransport.h"

#define JEX_TEXT_CLASS JexSession
const JexTextRow JexSession::kTextTable[] = JEX_TEXT_TABLE(JEXSESSION_TEXTS);
#undef JEX_TEXT_CLASS

const JexCodeName JexSession::kAuthenticationNames[] = {
    {0, "NOAUTH"}, {1, "MD5"}, {2, "PASSWORD"}, {3, "RSA_MD2"}, {4, "RSA_MD5"}, {-1, "UNKNOWN"},
};
const JexCodeName JexSession::kCompressionNames[] = {
    {0, "NOCOMP"},
    {1, "LZW"},
    {2, "LZW_DYN"},
    {-1, "UNKNOWN"},
};
const JexCodeName JexSession::kEncryptionNames[] = {
    {0, "NOENCRYPT"}, {1, "DES"}, {2, "DES_RSA"}, {3, "RC4"}, {-1, "UNKNOWN"},
};
const JexCodeName JexSession::kParadigmNames[] = {
    {0, "INTERACTIVE"},
    {1, "BATCH"},
    {-1, "UNKNOWN"},
};
// Numbers 7, 8, 9 and 16 have no row: they are reported as "Unknown attribute".
const JexCodeName JexSession::kAttributeNames[] = {
    {1, "APPLICATION"},    {2, "ASYMMETRIC"},         {3, "AUTHENTICATION"},
    {4, "CLIENT_VERSION"}, {5, "COMPRESSION"},        {6, "CRC"},
    {10, "DST_ACID"},      {11, "DST_NODE"},          {13, "DST_USER"},
    {14, "ENCRYPTION"},    {15, "LANGUAGE"},          {17, "PARADIGM"},
    {18, "PATH"},          {19, "PRIORITY"},          {20, "RAISE_TIMEOUT"},
    {21, "READ_TIMEOUT"},  {22, "ROUTE_MAP"},         {23, "SERVER_VERSION"},
    {24, "SRC_ACID"},      {25, "SRC_NODE"},          {27, "SRC_USER"},
    {28, "STATE"},         {-1, "Unknown attribute"},
};

namespace {

// Switches of the last constructed session; shared by all sessions of the
// process, so they are atomics.
std::atomic<int> trace_flags{0};
std::atomic<int> test_flags{0};
// Messages received before the forced corruption starts.
std::atomic<long> forced_corrupt{0};

const char* const kStateNames[] = {
    "*Invalid State*",
    "AUTHFAIL1",
    "AUTHFAIL2",
    "AUTHFAIL3",
    "CCI1",
    "CCI2",
    "CTS",
    "DATAWAIT",
    "DONE",
    "ERROR",
    "IDLE",
    "REJECTED",
    "RUN",
    "SCI1",
    "SCI2",
    "SCI3",
    "SCIW",
    "SI",
    "SN",
    "STC",
    "SYNWAIT",
};

// The reflected CRC-32 table of the message CRC, and the CRC-16 table that
// the module keeps beside it.
const JexCrcTable& Crc32Table() {
    static const JexCrcTable table(JexCrc::kCrc32Polynomial);
    return table;
}
[[maybe_unused]] const JexCrcTable crc16_table(JexCrc::kCrc16Polynomial);

struct CrstartField {
    int item;
    const char* label;
};
// The items every start message must carry, in the order they are checked.
const CrstartField kCrstartFields[] = {
    {JexSession::kItemApplication, "CRSTART_msg[::Application]"},
    {JexSession::kItemAsymmetric, "CRSTART_msg[::Asymmetric]"},
    {JexSession::kItemAuthMethod, "CRSTART_msg[::AuthMethod]"},
    {JexSession::kItemChallenge, "CRSTART_msg[::Challenge]"},
    {JexSession::kItemCompression, "CRSTART_msg[::Compression]"},
    {JexSession::kItemData, "CRSTART_msg[::Data]"},
    {JexSession::kItemDate, "CRSTART_msg[::Date]"},
    {JexSession::kItemDstAcid, "CRSTART_msg[::DestAcId]"},
    {JexSession::kItemDstNode, "CRSTART_msg[::DestNode]"},
    {JexSession::kItemEncryption, "CRSTART_msg[::EncryptMethod]"},
    {JexSession::kItemLanguage, "CRSTART_msg[::Language]"},
    {JexSession::kItemPriority, "CRSTART_msg[::Priority]"},
    {JexSession::kItemSignature, "CRSTART_msg[::Signature]"},
    {JexSession::kItemSrcAcid, "CRSTART_msg[::SourceAcId]"},
    {JexSession::kItemSrcNode, "CRSTART_msg[::SourceNode]"},
    {JexSession::kItemSrcUser, "CRSTART_msg[::SourceUser]"},
    {JexSession::kItemVersion, "CRSTART_msg[::Version]"},
};

constexpr const char* kAuthRejText = "Monkey dust found whilst authenticating you";
constexpr const char* kFailText = "Monkey dust found in YOUR options";

bool Present(const JexBuffer& item) { return item.Data() != nullptr; }

// Sets an item to n bytes; the item is present even when n is 0.
void SetItem(JexBuffer& item, const void* bytes, int n) {
    item.Free();
    item.SetLength(n);
    if (n > 0) std::memcpy(item.Data(), bytes, static_cast<size_t>(n));
}
void SetItem(JexBuffer& item, const char* text) {
    SetItem(item, text, static_cast<int>(std::strlen(text)));
}
void SetItem(JexBuffer& item, const JexString& text) { SetItem(item, text.Text()); }
void SetItem(JexBuffer& item, const JexBuffer& bytes) {
    SetItem(item, bytes.Data(), bytes.Length());
}
void SetByte(JexBuffer& item, int value) {
    const char byte = static_cast<char>(value & 0xFF);
    SetItem(item, &byte, 1);
}

// An item read as text: its bytes up to the first NUL.
JexString ItemText(const JexBuffer& item) {
    return JexString::FromBytes(item.Data(), item.Length());
}

int FirstByte(const JexBuffer& item) {
    return item.Length() > 0 ? static_cast<unsigned char>(item.Data()[0]) : 0;
}

bool SameBytes(const JexBuffer& a, const JexBuffer& b) {
    return a.Length() == b.Length() &&
           (a.Length() == 0 ||
            std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.Length())) == 0);
}

// "%d\n" of a rejected integer value, as the attribute errors show it.
JexString IntValueText(int value) {
    char text[24];
    std::snprintf(text, sizeof text, "%d\n", value);
    return JexString(text);
}

JexString CtimeText() {
    const time_t now = std::time(nullptr);
    char text[64] = {0};
    if (!ctime_r(&now, text)) return JexString("");
    return JexString(text);
}

// The list of signing names of one side: each name, followed by "-" and the
// side's first node when node authentication is on (then joined with ':').
JexFieldedString SigningNames(JexFieldedString names, int node_auth, JexFieldedString& nodes) {
    if (!node_auth) return names;
    JexFieldedString out(':');
    const JexString node = nodes.Field(0);
    for (int i = 0; i < names.Count(); ++i) out[i] = names.Field(i) + "-" + node;
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Object, attributes, states.

JexSession::JexSession()
    : JexProtocol(kTextTable, "JexSession"),
      gateway_(new JexGateway),
      stats_("JexSession", JexNetStats::DisplaySwitch) {
    // Trace and test switches: read by every constructor; the last wins.
    int flags = 0;
    for (const char* p = std::getenv("JEXSESSION_TRACE"); p && *p; ++p) {
        switch (*p) {
            case 'D':
            case 'd': flags |= kTraceData; break;
            case 'E':
            case 'e': flags |= kTraceE; break;
            case 'H':
            case 'h': flags |= kTraceHandshake; break;
            case 'P':
            case 'p': flags |= kTraceDump; break;
            case 'S':
            case 's': flags |= kTraceState; break;
            default: break;
        }
    }
    trace_flags = flags;
    int tests = 0;
    if (const char* p = std::getenv("JEXSESSION_TEST")) {
        std::fputs("\n\n*** WARNING *** JEXSESSION_TEST flags have been enabled\n\n", stderr);
        std::fflush(stderr);
        for (; *p; ++p) {
            switch (*p) {
                case '1': tests |= kTestAuth1; break;
                case '2': tests |= kTestAuth2; break;
                case '3': tests |= kTestAuth3; break;
                case 'P':
                case 'p':
                    tests |= kTestCorrupt;
                    if (const char* v = std::getenv("JEXSESSION_FORCED_CORRUPT"))
                        forced_corrupt = std::atol(v);
                    break;
                default: break;
            }
        }
    }
    test_flags = tests;

    gateway_handler_ = new JexExcHandlerRecord;
    PushHandler(*gateway_handler_, gateway_, raise_wrapped, this);

    JexPlatform platform = JexLibraryPlatform();
    const JexString node = platform.Field(1);
    src_nodes_.Parse(node);
    dst_nodes_.Parse(node);

    if (const char* lang = std::getenv("LANG")) language_ = lang;

    client_version_.Parse(local_version_text());
    server_version_ = client_version_;
}

JexSession::~JexSession() {
    QueueDrain();
    DeleteCrypto();
    delete compressor_;
    delete expander_;
    PopHandler(*gateway_handler_);
    delete gateway_handler_;
    delete gateway_;
}

int JexSession::TraceFlags() { return trace_flags; }
int JexSession::TestFlags() { return test_flags; }

JexString JexSession::local_version_text() const {
    JexFieldedString version(' ');
    if (const char* env = std::getenv("JEXSESSION_VERSION")) {
        version[0] = env;
        version[1] = "(from environment variable)";
    } else {
        version[0] = "3.14";
        version[1] = "Exp";
    }
    return version.Text();
}

void JexSession::ResetPeerVersion(JexFieldedString& version) {
    version.Clear();
    version[0] = "0.0";
    version[1] = "(unknown)";
}

JexString JexSession::state_name(int state) {
    const int n = static_cast<int>(sizeof kStateNames / sizeof kStateNames[0]);
    return JexString(kStateNames[state > 0 && state < n ? state : 0], 1);
}

const char* JexSession::msg_name(int type) {
    switch (type) {
        case kCrStart: return "CRSTART";
        case kCrAck: return "CRACK";
        case kCrInfo: return "CRINFO";
        case kCrAccept: return "CRACCEPT";
        case kCrReject: return "CRREJECT";
        case kCrAuthRej: return "CRAUTHREJ";
        case kCrFail: return "CRFAIL";
        case kCrBadKey: return "CRBADKEY";
        case kData: return "DATA";
        case kDataSyn: return "DATASYN";
        case kDataAck: return "DATAACK";
        case kShutdown: return "SHUTDOWN";
        default: return "*Invalid Message*";
    }
}

const char* JexSession::attribute_name(int attribute) {
    return jex_code_text(kAttributeNames, attribute);
}

void JexSession::Begin(const char* operation) {
    operation_ = operation;
    raised_ = false;
}

int JexSession::Fail(int code, const JexExcArgs& args, JexException* cause) {
    raised_ = true;
    ExcRaise(code, args, cause);
    return code;
}

int JexSession::RaiseRecorded() {
    const int code = Code();
    if (!raised_) {
        raised_ = true;
        Raise();
    }
    return code;
}

int JexSession::WrongState() { return Fail(WRONGSTATE, JexExcArgs(operation_)); }

int JexSession::AttrFail(int code, int attribute, const JexExcArg& value) {
    return Fail(code, JexExcArgs(operation_, attribute_name(attribute), attribute, value));
}

int JexSession::SetList(JexFieldedString& list, const char* text) {
    list.Parse(text ? text : "");
    return OK;
}

int JexSession::SetNamedCode(Attribute attribute, int& field, const JexCodeName* table, int code) {
    for (const JexCodeName* row = table; row->code != -1; ++row) {
        if (row->code != code) continue;
        field = code;
        return OK;
    }
    return AttrFail(BADATTRVALUE, attribute, IntValueText(code));
}

int JexSession::SetNamedText(Attribute attribute, int& field, const JexCodeName* table,
                             const char* name) {
    const int code = jex_text_code(table, name ? name : "");
    if (code == -1) return AttrFail(BADATTRVALUE, attribute, name ? name : "");
    field = code;
    return OK;
}

int JexSession::GetAttr(Attribute attribute, int& value) {
    Begin("JexSession::GetAttr(Attribute,int&)");
    ExcSet(OK);
    switch (attribute) {
        case ASYMMETRIC: value = asymmetric_; return OK;
        case AUTHENTICATION: value = authentication_; return OK;
        case COMPRESSION: value = compression_; return OK;
        case CRC: value = crc_; return OK;
        case ENCRYPTION: value = encryption_; return OK;
        case NODE_AUTH: value = node_auth_; return OK;
        case PARADIGM: value = paradigm_; return OK;
        case PRIORITY: value = priority_; return OK;
        case RAISE_TIMEOUT: value = raise_timeout_; return OK;
        case READ_TIMEOUT: value = read_timeout_; return OK;
        case STATE: value = state_; return OK;
        case APPLICATION:
        case CLIENT_VERSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_ACID:
        case DST_NODE:
        case DST_USER:
        case LANGUAGE:
        case PATH:
        case ROUTE_MAP:
        case SERVER_VERSION:
        case SRC_ACID:
        case SRC_NODE:
        case SRC_USER: return AttrFail(ATTRNOTINT, attribute);
        default: return AttrFail(BADATTR, attribute);
    }
}

int JexSession::GetAttr(Attribute attribute, JexString& value) {
    Begin("JexSession::GetAttr(Attribute,value&)");
    ExcSet(OK);
    switch (attribute) {
        case APPLICATION: value = application_; return OK;
        case AUTHENTICATION:
            value = jex_code_text(kAuthenticationNames, authentication_);
            return OK;
        case CLIENT_VERSION: value = client_version_.Text(); return OK;
        case COMPRESSION: value = jex_code_text(kCompressionNames, compression_); return OK;
        case CRYPTO_PATH: value = crypto_path_; return OK;
        case CRYPTO_SRC_ACID: value = crypto_src_acid_; return OK;
        case CRYPTO_SRC_NODE: value = crypto_src_node_; return OK;
        case DST_ACID: value = dst_acids_.Text(); return OK;
        case DST_NODE: value = dst_nodes_.Text(); return OK;
        case DST_USER: value = dst_user_; return OK;
        case ENCRYPTION: value = jex_code_text(kEncryptionNames, encryption_); return OK;
        case LANGUAGE: value = language_; return OK;
        case PARADIGM: value = jex_code_text(kParadigmNames, paradigm_); return OK;
        case SERVER_VERSION: value = server_version_.Text(); return OK;
        case SRC_ACID: value = src_acids_.Text(); return OK;
        case SRC_NODE: value = src_nodes_.Text(); return OK;
        case SRC_USER: value = src_user_; return OK;
        case STATE: value = state_name(state_); return OK;
        case PATH: return gateway_->GetAttr(JexGateway::PATH, value) != 0 ? GATEWAYERR : OK;
        case ROUTE_MAP:
            return gateway_->GetAttr(JexGateway::ROUTE_MAP, value) != 0 ? GATEWAYERR : OK;
        case ASYMMETRIC:
        case CRC:
        case PRIORITY:
        case RAISE_TIMEOUT:
        case READ_TIMEOUT: return AttrFail(ATTRNOTSTRING, attribute);
        default: return AttrFail(BADATTR, attribute);  // NODE_AUTH among them
    }
}

int JexSession::SetAttr(Attribute attribute, int value) {
    Begin("JexSession::SetAttr(Attribute, int)");
    ExcSet(OK);
    switch (attribute) {
        case ASYMMETRIC:
        case AUTHENTICATION:
        case ENCRYPTION:
        case NODE_AUTH:
        case PARADIGM:
        case PRIORITY:
            if (state_ != IDLE) return WrongState();
            break;
        default: break;
    }
    switch (attribute) {
        case ASYMMETRIC: asymmetric_ = value != 0; return OK;
        case AUTHENTICATION:
            return SetNamedCode(attribute, authentication_, kAuthenticationNames, value);
        case COMPRESSION: {
            const int rc = SetNamedCode(attribute, compression_, kCompressionNames, value);
            if (rc == OK) current_compression_ = compression_;
            return rc;
        }
        case CRC: crc_ = value != 0; return OK;
        case ENCRYPTION: return SetNamedCode(attribute, encryption_, kEncryptionNames, value);
        case NODE_AUTH: node_auth_ = value != 0; return OK;
        case PARADIGM: return SetNamedCode(attribute, paradigm_, kParadigmNames, value);
        case PRIORITY:
            if (value < 0 || value > 255)
                return AttrFail(BADATTRVALUE, attribute, IntValueText(value));
            priority_ = value;
            return OK;
        case RAISE_TIMEOUT: raise_timeout_ = value != 0; return OK;
        case READ_TIMEOUT: read_timeout_ = value; return OK;
        case STATE: return AttrFail(ATTRREADONLY, attribute, IntValueText(value));
        case APPLICATION:
        case CLIENT_VERSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_ACID:
        case DST_NODE:
        case DST_USER:
        case LANGUAGE:
        case PATH:
        case ROUTE_MAP:
        case SERVER_VERSION:
        case SRC_ACID:
        case SRC_NODE:
        case SRC_USER: return AttrFail(ATTRNOTINT, attribute, IntValueText(value));
        default: return AttrFail(BADATTR, attribute, IntValueText(value));
    }
}

int JexSession::SetAttr(Attribute attribute, const char* value) {
    Begin("JexSession::SetAttr(Attribute, const char *)");
    ExcSet(OK);
    const char* text = value ? value : "";
    switch (attribute) {
        case AUTHENTICATION:
        case COMPRESSION:
        case CRYPTO_PATH:
        case CRYPTO_SRC_ACID:
        case CRYPTO_SRC_NODE:
        case DST_NODE:
        case ENCRYPTION:
        case PARADIGM:
        case ROUTE_MAP:
        case SRC_ACID:
        case SRC_NODE:
            if (state_ != IDLE) return WrongState();
            break;
        case LANGUAGE:
            if (state_ != IDLE && state_ != STC) return WrongState();
            break;
        default: break;
    }
    switch (attribute) {
        case AUTHENTICATION:
            return SetNamedText(attribute, authentication_, kAuthenticationNames, text);
        case COMPRESSION: {
            const int rc = SetNamedText(attribute, compression_, kCompressionNames, text);
            if (rc == OK) current_compression_ = compression_;
            return rc;
        }
        case ENCRYPTION: return SetNamedText(attribute, encryption_, kEncryptionNames, text);
        case PARADIGM: return SetNamedText(attribute, paradigm_, kParadigmNames, text);
        case CRYPTO_PATH: crypto_path_ = text; return OK;
        case CRYPTO_SRC_ACID: crypto_src_acid_ = text; return OK;
        case CRYPTO_SRC_NODE: crypto_src_node_ = text; return OK;
        case DST_NODE: return SetList(dst_nodes_, text);
        case SRC_ACID: return SetList(src_acids_, text);
        case SRC_NODE: return SetList(src_nodes_, text);
        case LANGUAGE: language_ = text; return OK;
        case ROUTE_MAP:
            return gateway_->SetAttr(JexGateway::ROUTE_MAP, JexString(text)) != 0 ? GATEWAYERR : OK;
        case APPLICATION:
        case CLIENT_VERSION:
        case DST_ACID:
        case DST_USER:
        case PATH:
        case SERVER_VERSION:
        case SRC_USER:
        case STATE: return AttrFail(ATTRREADONLY, attribute, text);
        case ASYMMETRIC:
        case CRC:
        case NODE_AUTH:
        case PRIORITY:
        case RAISE_TIMEOUT:
        case READ_TIMEOUT: return AttrFail(ATTRNOTSTRING, attribute, text);
        default: return AttrFail(BADATTR, attribute, text);
    }
}

void JexSession::set_state(int state) {
    if (trace_flags & kTraceState) {
        std::fprintf(stderr, "\nJexSession State Transition: %s - %s => %s\n", operation_,
                     state_name(state_).Text(), state_name(state).Text());
        std::fflush(stderr);
    }
    state_ = state;
}

JexCrypto* JexSession::CryptoMethod(int i) const {
    return i >= 0 && i < crypto_count_ ? crypto_[i] : nullptr;
}

void JexSession::DeleteCrypto() {
    for (int i = 0; i < crypto_count_; ++i) delete crypto_[i];
    delete[] crypto_;
    crypto_ = nullptr;
    crypto_count_ = 0;
}

void JexSession::QueueAppend(JexNetMsg* msg) {
    auto* node = new QueueNode{msg, nullptr};
    if (queue_tail_)
        queue_tail_->next = node;
    else
        queue_head_ = node;
    queue_tail_ = node;
}

JexNetMsg* JexSession::QueueRemove() {
    if (!queue_head_) {
        std::fputs("Remove() on empty queue\n", stderr);
        std::abort();
    }
    QueueNode* node = queue_head_;
    queue_head_ = node->next;
    if (!queue_head_) queue_tail_ = nullptr;
    JexNetMsg* msg = node->msg;
    delete node;
    return msg;
}

void JexSession::QueueDrain() {
    while (queue_head_) delete QueueRemove();
}

int JexSession::raise_wrapped(JexException* raised, void* context) {
    auto* session = static_cast<JexSession*>(context);
    if (session->quiet_gateway_) return 0;
    const int code = raised->Code() == JexGateway::TIMEOUT ? TIMEOUT : GATEWAYERR;
    session->ExcSet(code, JexExcArgs(session->operation_), raised);
    session->raised_ = true;
    return session->Raise();
}

// ---------------------------------------------------------------------------
// Wire messages and codec.

uint32_t JexSession::msg_crc(const JexNetMsg& msg) {
    JexCrc crc(Crc32Table(), 0xFFFFFFFFu);
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        if (i == kItemCrc) continue;
        const JexBuffer& item = msg[i];
        if (Present(item) && item.Length() > 0) crc.Update(item.Data(), item.Length());
    }
    return crc.Value();
}

void JexSession::trace_msg(std::ostream& out, const JexNetMsg& msg, const char* verb) {
    const int flag = msg.Type() == kData ? kTraceData : kTraceHandshake;
    if (trace_flags & flag) trace_line(out, msg, verb);
}

void JexSession::trace_line(std::ostream& out, const JexNetMsg& msg, const char* verb) {
    const int flags = trace_flags;
    char line[512];
    std::snprintf(line, sizeof line, "\n%s: %s, %s %s\n", operation_, state_name(state_).Text(),
                  verb, msg_name(msg.Type()));
    out << line;
    if (flags & kTraceDump) msg.Dump(out);
    out.flush();
}

int JexSession::send_msg(JexNetMsg& msg) {
    if (crc_) {
        msg[kItemCrc].SetLong(static_cast<int32_t>(msg_crc(msg)));
    } else {
        msg[kItemCrc].Free();
    }
    trace_msg(std::cerr, msg, "Sending");
    JexBuffer bytes;
    if (msg.Encode(bytes) != JexNetMsg::kEncoded)
        return Fail(FAILURE, JexExcArgs(operation_));  // an item too large to frame
    if (gateway_->PutMsg(bytes, 0) != 0) return GATEWAYERR;
    return OK;
}

int JexSession::recv_msg(JexNetMsg& msg) { return recv_wait(msg, 0); }

int JexSession::recv_bounded(JexNetMsg& msg) { return recv_wait(msg, BoundSeconds()); }

int JexSession::recv_wait(JexNetMsg& msg, int wait) {
    JexBuffer bytes;
    const int rc = gateway_->GetMsg(bytes, wait);
    if (rc == JexGateway::SHUTDOWN) {
        drop_gateway();
        return Fail(PROTOCOL, JexExcArgs(operation_));
    }
    if (rc == JexGateway::TIMEOUT) {
        if (Code() != TIMEOUT) Fail(TIMEOUT, JexExcArgs(operation_), gateway_);
        return TIMEOUT;
    }
    if (rc != 0) return GATEWAYERR;
    msg.Decode(bytes);
    if (msg.Corrupt()) return Fail(CORRUPTMSG, JexExcArgs(operation_));
    trace_msg(std::cerr, msg, "Received");
    const JexBuffer& crc = msg[kItemCrc];
    if (crc_ && Present(crc) && static_cast<uint32_t>(crc.GetLong()) != msg_crc(msg))
        return Fail(CRCFAIL, JexExcArgs(operation_));
    if (test_flags & kTestCorrupt) {
        if (forced_corrupt.fetch_sub(1) <= 0) {
            std::fputs("\n*** WARNING *** Changing JexSession message type to zero\n\n", stderr);
            std::fflush(stderr);
            msg.Type(0);
        }
    }
    return OK;
}

JexCrypto* JexSession::sign_msg(JexNetMsg& msg) {
    if (crypto_count_ == 0) return nullptr;
    JexNetMsg block;
    msg[kItemScratch].SetLong(0);
    JexCrypto* last = nullptr;
    for (int i = 0; i < crypto_count_; ++i) {
        last = crypto_[i];
        JexBuffer signature;
        const int rc = last->Sign(msg, signature);
        SetItem(block[i], signature);
        if (rc != 0) break;
        SetItem(msg[kItemScratch], signature);
    }
    JexBuffer encoded;
    if (block.Encode(encoded) == JexNetMsg::kEncoded) SetItem(msg[kItemSignature], encoded);
    msg[kItemScratch].Free();
    return last;
}

JexCrypto* JexSession::check_msg(JexNetMsg& msg) {
    if (crypto_count_ == 0) return nullptr;
    msg[kItemScratch].SetLong(0);
    JexNetMsg block;
    if (Present(msg[kItemSignature])) {
        block.Decode(msg[kItemSignature]);
        if (block.Corrupt()) {
            // A signature block that does not decode authenticates nobody.
            msg[kItemScratch].Free();
            crypto_[0]->ExcSet(JexCrypto::AUTHFAIL, JexExcArgs(operation_));
            return crypto_[0];
        }
    }
    JexCrypto* last = nullptr;
    for (int i = 0; i < crypto_count_; ++i) {
        last = crypto_[i];
        if (last->Check(msg, block[i]) != 0) break;
        SetItem(msg[kItemScratch], block[i]);
    }
    msg[kItemScratch].Free();
    return last;
}

void JexSession::make_key_block(JexBuffer& block) {
    block.Free();
    block.SetLength(kKeyBlockSize);
    std::memset(block.Data(), 0, kKeyBlockSize);
}

int JexSession::check_key_block(const JexBuffer& block) {
    if (block.Length() == kKeyBlockSize && block.Data()[kKeyBlockSize - 1] == 0) return OK;
    ExcSet(EKEYMISMATCH, JexExcArgs(operation_));
    send_fail();
    return EKEYMISMATCH;
}

int JexSession::send_authrej() {
    JexNetMsg msg(kCrAuthRej);
    SetItem(msg[kItemData], kAuthRejText);
    SetItem(msg[kItemDate], JexFormatTime());
    return send_notice(msg);
}

int JexSession::send_notice(JexNetMsg& msg) {
    // Telling the peer of a failure must not replace the failure itself.
    const bool quiet = quiet_gateway_;
    quiet_gateway_ = true;
    const int rc = send_msg(msg);
    quiet_gateway_ = quiet;
    return rc;
}

int JexSession::send_fail() {
    JexNetMsg msg(kCrFail);
    SetItem(msg[kItemData], kFailText);
    SetItem(msg[kItemDate], JexFormatTime());
    LoadException(msg);
    SetItem(msg[kItemVersion], local_version_text());
    return send_notice(msg);
}

int JexSession::send_dataack(const JexNetMsg& datasyn) {
    JexNetMsg msg(kDataAck);
    SetItem(msg[kItemSequence], datasyn[kItemSequence]);
    return send_msg(msg);
}

void JexSession::build_crstart(JexNetMsg& msg, const JexString& date, const JexBuffer& challenge) {
    msg.Clear();
    msg.Type(kCrStart);
    SetItem(msg[kItemApplication], application_);
    SetByte(msg[kItemAsymmetric], asymmetric_ ? 1 : 0);
    SetItem(msg[kItemAuthMethod], jex_code_text(kAuthenticationNames, authentication_));
    SetItem(msg[kItemCompression], jex_code_text(kCompressionNames, compression_));
    SetItem(msg[kItemDate], date);
    SetItem(msg[kItemDstAcid], dst_acids_.Text());
    SetItem(msg[kItemDstNode], dst_nodes_.Text());
    SetItem(msg[kItemEncryption], jex_code_text(kEncryptionNames, encryption_));
    SetItem(msg[kItemLanguage], language_);
    if (node_auth_) msg[kItemNodeAuth].SetLong(1);
    SetByte(msg[kItemPriority], priority_);
    SetItem(msg[kItemSrcAcid], src_acids_.Text());
    SetItem(msg[kItemSrcNode], src_nodes_.Text());
    SetItem(msg[kItemSrcUser], src_user_);
    SetItem(msg[kItemVersion], client_version_.Text());
    make_key_block(msg[kItemData]);
    SetItem(msg[kItemChallenge], challenge);
}

// ---------------------------------------------------------------------------
// Set-up of the signing methods, compression and encryption.

int JexSession::crypto_status(int crypto_code) {
    if (crypto_code == 0) return OK;
    if (crypto_code == JexCrypto::AUTHFAIL || crypto_code == JexCrypto::FAILURE) return AUTHFAIL;
    return CRYPTOKEYERR;
}

int JexSession::setup_auth(JexFieldedString& local_names, JexFieldedString& remote_names) {
    DeleteCrypto();
    const int total = local_names.Count() * remote_names.Count();
    if (total == 0) {
        // Nobody to sign for or to check: nothing can be authenticated.
        ExcSet(AUTHFAIL, JexExcArgs(operation_));
        return AUTHFAIL;
    }
    crypto_ = new JexCrypto*[static_cast<size_t>(total)]();
    JexCrypto* last = nullptr;
    int rc = 0;
    for (int i = 0; i < local_names.Count() && rc == 0; ++i) {
        for (int j = 0; j < remote_names.Count() && rc == 0; ++j) {
            const JexString local = local_names.Field(i);
            const JexString remote = remote_names.Field(j);
            switch (authentication_) {
                case NOAUTH: last = new JexNullCrypto(local, remote, 1); break;
                case MD5: last = new JexMd5Crypto(local, remote, 1); break;
                case PASSWORD: last = new JexPasswordCrypto(local, remote, 1); break;
                default:
                    ExcSet(UNSUPPORTED,
                           JexExcArgs("JexSession::setup_auth", "authentication",
                                      jex_code_text(kAuthenticationNames, authentication_)));
                    return UNSUPPORTED;
            }
            crypto_[crypto_count_++] = last;
            rc = last->SetAttr(JexCrypto::K2_SRC_ACID, crypto_src_acid_);
            if (rc == 0) rc = last->SetAttr(JexCrypto::K2_SRC_NODE, crypto_src_node_);
            if (rc == 0 && crypto_path_.Text()[0] != 0)
                rc = last->SetAttr(JexCrypto::PATH, crypto_path_);
            if (rc == 0) rc = last->Init();
            if (rc == 0) {
                last->MaskItem(kItemSignature);
                last->MaskItem(kItemCrc);
            }
        }
    }
    const int status = crypto_status(last->Code());
    if (status != 0) ExcSet(status, JexExcArgs(operation_), last);
    return status;
}

int JexSession::setup_compress(int code) {
    delete compressor_;
    compressor_ = nullptr;
    switch (code) {
        case NOCOMP: compressor_ = new JexCompressor; break;
        case LZW: compressor_ = new JexLzwCompressor; break;
        default:
            compressor_ = new JexCompressor;
            compressor_->SetSuppress(1);
            ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_compress", "compression",
                                           jex_code_text(kCompressionNames, code)));
            compression_ = NOCOMP;
            return UNSUPPORTED;
    }
    compressor_->SetSuppress(1);
    compression_ = code;
    return OK;
}

int JexSession::setup_expand(int code) {
    delete expander_;
    expander_ = nullptr;
    switch (code) {
        case NOCOMP: expander_ = new JexExpander; break;
        case LZW: expander_ = new JexLzw; break;
        default:
            expander_ = new JexExpander;
            expander_->SetSuppress(1);
            ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_expand", "compression",
                                           jex_code_text(kCompressionNames, code)));
            current_compression_ = NOCOMP;
            return UNSUPPORTED;
    }
    expander_->SetSuppress(1);
    current_compression_ = code;
    return OK;
}

int JexSession::setup_encrypt(const JexString&, const JexString&) {
    if (encryption_ == NOENCRYPT) return OK;
    ExcSet(UNSUPPORTED, JexExcArgs("JexSession::setup_encrypt", "encryption",
                                   jex_code_text(kEncryptionNames, encryption_)));
    return UNSUPPORTED;
}

// ---------------------------------------------------------------------------
// Handshake.

int JexSession::fail_protocol(const char* label) {
    drop_gateway();
    return Fail(PROTOCOL, JexExcArgs(operation_, label ? JexExcArg(label) : JexExcArg()));
}

int JexSession::unload_peer_error(const JexNetMsg& msg, const char* label) {
    const int code = UnloadException(msg, label);
    if (code > 0) return code;
    // A peer's failure that carries no error of ours (or none at all) is
    // still a failure: the carried error, if any, becomes the cause.
    if (code < 0) return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_), this);
    JexProtocol carried(kTextTable, "JexSession");
    carried.SetSuppress(1);
    if (Present(msg[kItemCause])) {
        JexNetMsg cause;
        cause.Decode(msg[kItemCause]);
        if (!cause.Corrupt() && carried.UnloadException(cause, label) != 0)
            return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_), &carried);
    }
    return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_));
}

void JexSession::adopt_reply_identity(const JexNetMsg& reply) {
    if (Present(reply[kItemDstUser])) dst_user_ = ItemText(reply[kItemDstUser]);
    if (Present(reply[kItemVersion])) server_version_.Parse(ItemText(reply[kItemVersion]));
}

int JexSession::client_handshake(const JexBuffer& connect_data, JexBuffer& accept_data) {
    server_version_.Clear();
    JexBuffer challenge;
    if (authentication_ == NOAUTH || authentication_ == PASSWORD)
        SetByte(challenge, 0);
    else
        jex_random_fill(challenge, kChallengeSize, challenge_source_ ? challenge_source_ : rand128);
    JexNetMsg start;
    build_crstart(start, JexFormatTime(), challenge);
    JexCrypto* method = sign_msg(start);
    int rc = send_msg(start);
    if (rc != 0) return rc;
    set_state(CCI1);
    if (!method || method->Code() != 0) {
        set_state(ERROR);
        ExcSet(AUTHFAIL, JexExcArgs(operation_), CryptoMethod(0));
        send_authrej();
        return AUTHFAIL;
    }

    JexNetMsg ack;
    rc = recv_bounded(ack);
    if (rc != 0) return rc;
    adopt_reply_identity(ack);
    switch (ack.Type()) {
        case kCrFail:
            set_state(ERROR);
            return unload_peer_error(ack, "JexSession::client_handshake/server error");
        case kCrAuthRej: set_state(AUTHFAIL1); return ExcSet(AUTHFAIL, JexExcArgs(operation_));
        case kCrBadKey: set_state(ERROR); return ExcSet(EKEYMISMATCH, JexExcArgs(operation_));
        case kCrAck: break;
        default: return fail_protocol();
    }
    if (jex_versions_differ(client_version_.Field(0), server_version_.Field(0))) {
        set_state(ERROR);
        ExcSet(BADVERSION, JexExcArgs(operation_, client_version_.Text(), server_version_.Text()));
        send_fail();
        return BADVERSION;
    }
    bool authenticated = SameBytes(ack[kItemResponse], challenge);
    if (authenticated) {
        JexCrypto* checked = check_msg(ack);
        authenticated = checked && checked->Code() == 0;
    }
    if (check_key_block(ack[kItemData]) != 0) return EKEYMISMATCH;
    set_state(CCI2);
    if (!authenticated || (test_flags & kTestAuth2)) {
        set_state(AUTHFAIL2);
        JexCrypto* first = CryptoMethod(0);
        ExcSet(AUTHFAIL, JexExcArgs(operation_), first && first->Code() != 0 ? first : nullptr);
        send_authrej();
        return AUTHFAIL;
    }

    JexNetMsg info(kCrInfo);
    SetItem(info[kItemData], connect_data);
    SetItem(info[kItemDate], JexFormatTime());
    SetItem(info[kItemResponse], ack[kItemChallenge]);
    method = sign_msg(info);
    if (!method || method->Code() != 0) {
        ExcSet(AUTHFAIL, JexExcArgs(operation_), method);
        send_authrej();
        return AUTHFAIL;
    }
    rc = send_msg(info);
    if (rc != 0) return rc;
    set_state(CTS);

    JexNetMsg decision;
    rc = recv_bounded(decision);
    if (rc != 0) return rc;
    accept_data = decision[kItemData];
    if (Present(decision[kItemLanguage])) language_ = ItemText(decision[kItemLanguage]);
    switch (decision.Type()) {
        case kCrAccept: set_state(RUN); return ExcSet(OK, JexExcArgs(operation_));
        case kCrReject: set_state(REJECTED); return ExcSet(REJECT, JexExcArgs(operation_));
        case kCrAuthRej: set_state(AUTHFAIL3); return ExcSet(AUTHFAIL, JexExcArgs(operation_));
        default: return fail_protocol();
    }
}

int JexSession::server_handshake(JexBuffer& connect_data) {
    set_state(SCIW);
    client_version_.Clear();
    JexNetMsg start;
    int rc = recv_bounded(start);
    if (rc != 0) return rc;
    if (start.Type() != kCrStart) return fail_protocol();
    for (const CrstartField& field : kCrstartFields) {
        if (!Present(start[field.item])) return fail_protocol(field.label);
    }

    application_ = ItemText(start[kItemApplication]);
    authentication_ = jex_text_code(kAuthenticationNames, ItemText(start[kItemAuthMethod]).Text());
    compression_ = jex_text_code(kCompressionNames, ItemText(start[kItemCompression]).Text());
    current_compression_ = compression_;
    dst_acids_.Parse(ItemText(start[kItemDstAcid]));
    dst_nodes_.Parse(ItemText(start[kItemDstNode]));
    encryption_ = jex_text_code(kEncryptionNames, ItemText(start[kItemEncryption]).Text());
    language_ = ItemText(start[kItemLanguage]);
    node_auth_ = start[kItemNodeAuth].GetLong() != 0;
    priority_ = FirstByte(start[kItemPriority]);
    src_acids_.Parse(ItemText(start[kItemSrcAcid]));
    src_nodes_.Parse(ItemText(start[kItemSrcNode]));
    src_user_ = ItemText(start[kItemSrcUser]);
    client_version_.Parse(ItemText(start[kItemVersion]));

    set_state(SCI1);
    if (jex_versions_differ(client_version_.Field(0), server_version_.Field(0))) {
        ExcSet(BADVERSION, JexExcArgs(operation_, client_version_.Text(), server_version_.Text()));
        send_fail();
        return BADVERSION;
    }
    rc = setup_compress(compression_);
    if (rc == 0) rc = setup_expand(current_compression_);
    if (rc != 0) {
        send_fail();
        return rc;
    }
    JexFieldedString local_acid(',');
    local_acid[0] = dst_acids_.Field(0);
    JexFieldedString local_names = SigningNames(local_acid, node_auth_, dst_nodes_);
    JexFieldedString remote_names = SigningNames(src_acids_, node_auth_, src_nodes_);
    rc = setup_auth(local_names, remote_names);
    if (rc == 0) rc = setup_encrypt(dst_acids_.Field(0), src_acids_.Field(0));
    if (rc != 0) {
        send_authrej();
        return rc;
    }
    JexCrypto* checked = check_msg(start);
    if (!checked || checked->Code() != 0 || (test_flags & kTestAuth1)) {
        send_authrej();
        set_state(AUTHFAIL1);
        return ExcSet(AUTHFAIL, JexExcArgs(operation_));
    }
    if (check_key_block(start[kItemData]) != 0) return EKEYMISMATCH;

    JexNetMsg ack(kCrAck);
    SetItem(ack[kItemDate], CtimeText());
    SetItem(ack[kItemApplication], application_);
    SetByte(ack[kItemAsymmetric], asymmetric_ ? 1 : 0);
    SetItem(ack[kItemAuthMethod], jex_code_text(kAuthenticationNames, authentication_));
    SetItem(ack[kItemResponse], start[kItemChallenge]);
    SetItem(ack[kItemDstUser], dst_user_);
    SetItem(ack[kItemVersion], server_version_.Text());
    make_key_block(ack[kItemData]);
    JexBuffer challenge;
    if (authentication_ == NOAUTH || authentication_ == PASSWORD)
        SetByte(challenge, 0);
    else
        jex_random_fill(challenge, kChallengeSize, challenge_source_ ? challenge_source_ : rand128);
    SetItem(ack[kItemChallenge], challenge);
    sign_msg(ack);  // a failure shows on the client as an authentication failure
    if (asymmetric_ && FirstByte(start[kItemAsymmetric]) != 0) {
        ExcSet(BADSYMMETRY, JexExcArgs(operation_));
        ack.Type(kCrFail);
        LoadException(ack);
        rc = send_notice(ack);
        return rc != 0 ? rc : BADSYMMETRY;
    }
    rc = send_msg(ack);
    if (rc != 0) return rc;
    set_state(SCI2);

    JexNetMsg info;
    rc = recv_bounded(info);
    if (rc != 0) return rc;
    switch (info.Type()) {
        case kCrFail:
            set_state(ERROR);
            return unload_peer_error(info, "JexSession::server_handshake/recv CRFAIL");
        case kCrAuthRej:
            set_state(AUTHFAIL2);
            return ExcSet(AUTHFAIL, JexExcArgs("JexSession::server_handshake/recv CRAUTHREJ"));
        case kCrInfo: break;
        default: return fail_protocol();
    }
    bool authenticated = SameBytes(info[kItemResponse], challenge);
    if (authenticated) {
        JexCrypto* method = check_msg(info);
        authenticated = method && method->Code() == 0;
    }
    set_state(SCI3);
    if (!authenticated || (test_flags & kTestAuth3)) {
        ExcSet(AUTHFAIL, JexExcArgs(operation_));
        send_authrej();
        set_state(AUTHFAIL3);
        return AUTHFAIL;
    }
    set_state(STC);
    connect_data = info[kItemData];
    return OK;
}

// ---------------------------------------------------------------------------
// Establishment.

int JexSession::gateway_disconnect() {
    gateway_->SetReadTimeout(BoundSeconds());
    const int rc = gateway_->Disconnect();
    gateway_->SetReadTimeout(0);
    return rc;
}

void JexSession::drop_gateway() {
    const int state = gateway_->State();
    if (state != JexGateway::RUN && state != JexGateway::FINISH) return;
    quiet_gateway_ = true;
    gateway_disconnect();
    quiet_gateway_ = false;
}

int JexSession::Connect(const char* application, const char* dst_acids, const char* dst_nodes,
                        const JexBuffer& connect_data, JexBuffer& reply_data) {
    Begin("JexSession::Connect");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    if (src_acids_.Count() == 0 || src_acids_.Field(0).Text()[0] == 0)
        return Fail(NOSRCACID, JexExcArgs(operation_));
    if (crypto_src_acid_.Text()[0] == 0) crypto_src_acid_ = src_acids_.Text();
    if (crypto_src_node_.Text()[0] == 0) crypto_src_node_ = src_nodes_.Text();
    application_ = application ? application : "";
    dst_acids_.Parse(dst_acids ? dst_acids : "");
    dst_nodes_.Parse(dst_nodes ? dst_nodes : "");
    ResetPeerVersion(server_version_);

    int rc = setup_compress(compression_);
    if (rc == 0) rc = setup_expand(current_compression_);
    if (rc == 0) {
        JexFieldedString remote_acid(',');
        remote_acid[0] = dst_acids_.Field(0);
        JexFieldedString local_names = SigningNames(src_acids_, node_auth_, src_nodes_);
        JexFieldedString remote_names = SigningNames(remote_acid, node_auth_, dst_nodes_);
        rc = setup_auth(local_names, remote_names);
    }
    if (rc == 0) rc = setup_encrypt(src_acids_.Field(0), dst_acids_.Field(0));
    if (rc != 0) return RaiseRecorded();

    src_user_ = JexGetUserName();
    stats_.caller = src_acids_.Text() + "/" + src_nodes_.Text() + ":" + src_user_;
    stats_.callee = dst_acids_.Text() + "/" + dst_nodes_.Text() + "/" + application_;

    if (gateway_->SetAttr(JexGateway::ACID, src_acids_.Text()) != 0) return GATEWAYERR;
    if (gateway_->SetAttr(JexGateway::NODE, src_nodes_.Text()) != 0) return GATEWAYERR;
    // The gateway's CONNECT exchange waits for the far end as the handshake
    // does: at most READ_TIMEOUT seconds (TIMEOUT past it).
    gateway_->SetReadTimeout(BoundSeconds());
    const int connected = opener_ ? opener_(*gateway_, opener_context_)
                                  : gateway_->Connect(dst_acids_, dst_nodes_, application_);
    gateway_->SetReadTimeout(0);
    if (connected != 0) {
        if (Code() == TIMEOUT) return TIMEOUT;
        // The far end hung up before it answered: say so below the error.
        for (JexException* cause = Cause(); cause; cause = cause->Cause()) {
            if (cause->ClassName().Compare("JexTransport") == 0 &&
                cause->Code() == JexTransport::END) {
                ExcSetText("The connection was closed by the peer", JexExcArgs(operation_));
                break;
            }
        }
        return GATEWAYERR;
    }

    rc = client_handshake(connect_data, reply_data);
    if (rc != 0) return RaiseRecorded();
    stats_.callee =
        dst_acids_.Text() + "/" + dst_nodes_.Text() + ":" + dst_user_ + "/" + application_;
    return OK;
}

int JexSession::Listen(const char* application, const char* acids, JexBuffer& connect_data) {
    Begin("JexSession::Listen");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    application_ = application ? application : "";
    dst_acids_.Parse(acids ? acids : "");
    if (crypto_src_acid_.Text()[0] == 0) crypto_src_acid_ = dst_acids_.Text();
    if (crypto_src_node_.Text()[0] == 0) crypto_src_node_ = dst_nodes_.Text();
    ResetPeerVersion(client_version_);
    dst_user_ = JexGetUserName();
    stats_.caller = "";
    stats_.callee =
        dst_acids_.Text() + "/" + dst_nodes_.Text() + ":" + dst_user_ + "/" + application_;

    const int status = opener_ ? opener_(*gateway_, opener_context_)
                               : gateway_->Listen(dst_acids_, dst_nodes_, application_);
    if (status == JexGateway::FORWARDED || status == JexGateway::REDIRECTED) {
        raised_ = false;
        return Fail(NOTFORME, JexExcArgs(operation_), gateway_);
    }
    if (status != 0) {
        if (Code() != GATEWAYERR) {
            raised_ = false;
            return Fail(GATEWAYERR, JexExcArgs(operation_), gateway_);
        }
        return RaiseRecorded();
    }
    const int rc = server_handshake(connect_data);
    if (rc != 0) return RaiseRecorded();
    stats_.caller = src_acids_.Text() + "/" + src_nodes_.Text() + ":" + src_user_;
    return OK;
}

int JexSession::send_control(int type, const JexBuffer& data) {
    JexNetMsg msg(type);
    SetItem(msg[kItemLanguage], language_);
    SetItem(msg[kItemCompression], jex_code_text(kCompressionNames, compression_));
    SetItem(msg[kItemData], data);
    return send_msg(msg);
}

int JexSession::Accept(const JexBuffer& accept_data) {
    Begin("JexSession::Accept");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = send_control(kCrAccept, accept_data);
    if (rc != 0) return rc;
    if (gateway_->send_learn() != 0) return GATEWAYERR;
    set_state(RUN);
    return OK;
}

int JexSession::Reject(const JexBuffer& reject_data) {
    Begin("JexSession::Reject");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = send_control(kCrReject, reject_data);
    if (rc != 0) return rc;
    set_state(REJECTED);
    return OK;
}

int JexSession::Disconnect() {
    Begin("JexSession::Disconnect");
    if (state_ != RUN && state_ != DATAWAIT && state_ != SN) return WrongState();
    ExcSet(OK);
    JexNetMsg shutdown(kShutdown);
    int rc = send_msg(shutdown);
    if (rc != 0) return rc;
    if (state_ == SN) {
        set_state(IDLE);
        return gateway_disconnect() != 0 ? GATEWAYERR : OK;
    }
    set_state(SI);
    for (;;) {
        JexNetMsg msg;
        rc = recv_bounded(msg);
        if (rc != 0) return rc;
        switch (msg.Type()) {
            case kData:
            case kDataAck:
            case kDataSyn: continue;
            case kShutdown:
                if (gateway_disconnect() != 0) return GATEWAYERR;
                set_state(IDLE);
                return OK;
            default: return fail_protocol();
        }
    }
}

// ---------------------------------------------------------------------------
// Data transfer.

int JexSession::PutMsg(const JexBuffer& data, int flags) {
    Begin("JexSession::PutMsg");
    if (state_ != RUN && state_ != DATAWAIT) return WrongState();
    ExcSet(OK);
    const bool synchronous = (flags & kSynchronous) != 0;
    JexNetMsg msg(synchronous ? kDataSyn : kData);
    if (synchronous) {
        ++sync_counter_;
        SetByte(msg[kItemSequence], sync_counter_);
    }
    JexBuffer& item = msg[kItemData];
    if (compressor_ ? compressor_->Compress(data, item) != 0 : (item = data, false))
        return Fail(FAILURE, JexExcArgs(operation_), compressor_);
    if (!Present(item)) item.SetLength(0);
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(data.Length()));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    int rc = send_msg(msg);
    if (rc != 0) return rc;
    if (!synchronous) return OK;

    set_state(SYNWAIT);
    for (;;) {
        auto reply = std::make_unique<JexNetMsg>();
        rc = recv_msg(*reply);
        if (rc != 0) return rc;
        switch (reply->Type()) {
            case kData:
            case kDataSyn:
                if (trace_flags & kTraceData) trace_line(std::cerr, *reply, "Queuing");
                QueueAppend(reply.release());
                continue;
            case kDataAck:
                if (FirstByte((*reply)[kItemSequence]) == (sync_counter_ & 0xFF) &&
                    (*reply)[kItemSequence].Length() >= 1) {
                    set_state(RUN);
                    return OK;
                }
                continue;
            case kShutdown: set_state(SN); return ExcSet(SHUT, JexExcArgs(operation_));
            default: return fail_protocol();
        }
    }
}

int JexSession::GetMsg(JexBuffer& data, int) {
    Begin("JexSession::GetMsg");
    if (state_ != RUN) return WrongState();
    ExcSet(OK);
    data.SetLength(0);
    for (;;) {
        std::unique_ptr<JexNetMsg> msg;
        if (!queue_head_) {
            set_state(DATAWAIT);
            msg = std::make_unique<JexNetMsg>();
            const int rc = recv_msg(*msg);
            if (rc != 0) return rc;
        } else {
            msg.reset(QueueRemove());
            if (trace_flags & kTraceData) trace_line(std::cerr, *msg, "Dequeued");
        }
        switch (msg->Type()) {
            case kData: break;
            case kDataSyn: send_dataack(*msg); break;
            case kDataAck: continue;
            case kShutdown: set_state(SN); return ExcSet(SHUT, JexExcArgs(operation_));
            default: return fail_protocol();
        }
        const JexBuffer packed = (*msg)[kItemData];
        const int rc = expander_ ? expander_->Expand(packed, data) : (data = packed, 0);
        if (rc != 0 || data.Length() > kMaxDataLength) {
            data.SetLength(0);
            return Fail(DECOMPFAIL, JexExcArgs(operation_));
        }
        set_state(RUN);
        stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(data.Length()));
        stats_.Increment(JexNetStats::kMessagesReceived, 1);
        return OK;
    }
}
