// The session end point: its object, value tables, states and queue of early messages.
#include "jexlink/session/JexSession.h"

#include <cstdio>
#include <cstdlib>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexCompressionBase.h"
#include "jexlink/transport/JexGateway.h"

using jexsession::forcedCorrupt;
using jexsession::testFlags;
using jexsession::trace_flags;

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

namespace {

const JexCodeName kStateNames[] = {
    JEXSESSION_STATES(JEXSESSION_STATE_NAME){-1, "*Invalid State*"},
};

}  // namespace

JexSession::JexSession()
    : JexProtocol(kTextTable, "JexSession"),
      gateway_(std::in_place),
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
                        forcedCorrupt = std::atol(v);
                    break;
                default: break;
            }
        }
    }
    testFlags = tests;

    gatewayHandler_ = std::make_unique<JexExcHandlerRecord>();
    PushHandler(*gatewayHandler_, &*gateway_, raise_wrapped, this);

    const char* node = JexLibraryPlatform().FieldText(1);
    srcNodes_.Parse(node);
    dstNodes_.Parse(node);

    if (const char* lang = std::getenv("LANG")) language_ = lang;

    clientVersion_.Parse(LocalVersionText());
    serverVersion_ = clientVersion_;
}

JexSession::~JexSession() {
    QueueDrain();
    DeleteCrypto();
    compressor_.reset();
    expander_.reset();
    // The gateway's handler goes before the gateway.
    PopHandler(*gatewayHandler_);
    gatewayHandler_.reset();
    gateway_.reset();
}

int JexSession::TraceFlags() { return trace_flags; }
int JexSession::TestFlags() { return testFlags; }

JexString JexSession::LocalVersionText() const {
    // The version and its origin, blank-separated.
    const char* env = std::getenv("JEXSESSION_VERSION");
    JexString version(env ? env : "3.14");
    version += env ? " (from environment variable)" : " Exp";
    return version;
}

void JexSession::ResetPeerVersion(JexFieldedString& version) {
    version.Clear();
    version[0] = "0.0";
    version[1] = "(unknown)";
}

JexString JexSession::state_name(int state) {
    return JexString(jex_code_text(kStateNames, state), 1);
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

void JexSession::set_state(int state) {
    if (trace_flags & kTraceState) {
        std::fprintf(stderr, "\nJexSession State Transition: %s - %s => %s\n", operation_,
                     state_name(state_).Text(), state_name(state).Text());
        std::fflush(stderr);
    }
    state_ = state;
}

JexCrypto* JexSession::CryptoMethod(int i) const {
    return i >= 0 && i < cryptoCount_ ? crypto_[i] : nullptr;
}

void JexSession::DeleteCrypto() {
    for (int i = 0; i < cryptoCount_; ++i) delete crypto_[i];
    delete[] crypto_;
    crypto_ = nullptr;
    cryptoCount_ = 0;
}

void JexSession::QueueAppend(JexNetMsg* msg) {
    auto* node = new QueueNode{msg, nullptr};
    if (queueTail_)
        queueTail_->next = node;
    else
        queueHead_ = node;
    queueTail_ = node;
}

JexNetMsg* JexSession::QueueRemove() {
    if (!queueHead_) {
        std::fputs("Remove() on empty queue\n", stderr);
        std::abort();
    }
    QueueNode* node = queueHead_;
    queueHead_ = node->next;
    if (!queueHead_) queueTail_ = nullptr;
    JexNetMsg* msg = node->msg;
    delete node;
    return msg;
}

void JexSession::QueueDrain() {
    while (queueHead_) delete QueueRemove();
}

int JexSession::raise_wrapped(JexException* raised, void* context) {
    auto* session = static_cast<JexSession*>(context);
    if (session->quietGateway_) return 0;
    const int code = raised->Code() == JexGateway::TIMEOUT ? TIMEOUT : GATEWAYERR;
    session->ExcSet(code, JexExcArgs(session->operation_), raised);
    session->raised_ = true;
    return session->Raise();
}
