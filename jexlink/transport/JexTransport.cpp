// The message transport: the connection object above every byte-stream endpoint, and its listener.
#include "jexlink/transport/JexTransport.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "jexlink/core/JexSeams.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/NetNames.h"

#define JEX_TEXT_CLASS JexTransport
const JexTextRow JexTransport::kTextTable[] = JEX_TEXT_TABLE(JEXTRANSPORT_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kGetInt = "JexTransport::GetAttr(Attribute, int &)";
constexpr const char* kGetText = "JexTransport::GetAttr(Attribute, JexString &)";
constexpr const char* kSetInt = "JexTransport::SetAttr(Attribute, int)";
constexpr const char* kSetText = "JexTransport::SetAttr(Attribute, char *)";
constexpr const char* kReceived = "\nJexTransport::GetData: Received %d byte(s):\n";
constexpr const char* kSending = "\nJexTransport::PutData: Sending %d byte(s):\n";

using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexTransport::kSetting1, "SETTING1", K::kInt, false},
    {JexTransport::kCalled, "CALLED", K::kText, true},
    {JexTransport::kCalling, "CALLING", K::kText, true},
    {JexTransport::kIoSize, "IOSIZE", K::kInt, false},
    {JexTransport::kSetting5, "SETTING5", K::kInt, false},
    {JexTransport::kType, "TYPE", K::kInt, true},
    {JexTransport::kRaiseEnd, "RAISEEND", K::kInt, false},
    {JexTransport::kSetting8, "SETTING8", K::kInt, false},
    {JexTransport::kTimeout, "TIMEOUT", K::kInt, false},
};

}  // namespace

JexTransport::JexTransport()
    : JexException(kTextTable, "JexTransport"), called_("?//"), calling_("?//") {
    if (const char* letters = std::getenv("JEXTRANSPORT_TRACE")) {
        for (const char* c = letters; *c; ++c) {
            switch (std::tolower(static_cast<unsigned char>(*c))) {
                case 'd': trace_ |= kTraceDump; break;
                case 'h': trace_ |= kTraceCalls; break;
                case 'p': trace_ |= kTraceP; break;
                default: break;
            }
        }
    }
    if (const char* size = std::getenv("JEXTRANSPORT_IO_SIZE")) {
        const int32_t n = jexnet::ParseNumber(size);
        if (n > 0) ioSize_ = n;
    }
}

int JexTransport::DefaultHandler(JexException* raised, void*) {
    std::fprintf(stderr, "%s\n", raised->Describe(1).Text());
    std::fflush(stderr);
    return 1;
}

JexTransport::~JexTransport() {
    if (std::unique_ptr<JexNetIO> io = DetachEndpoint()) io->Disconnect();
}

std::unique_ptr<JexNetIO> JexTransport::DetachEndpoint() {
    if (relay_) {
        PopHandler(*relay_);
        relay_.reset();
    }
    return std::unique_ptr<JexNetIO>(endpoint_.release());
}

int JexTransport::netio_handler(JexException* raised, void* context) {
    auto* transport = static_cast<JexTransport*>(context);
    transport->ExcSet(raised->Code(), raised->Args(), raised->Cause());
    transport->Raise();
    return 0;
}

JexNetIO* JexTransport::new_net_io(int type) {
    // The letter's endpoint comes from the factory the library's set-up
    // installed (JexLinkSetUp), or one a test put in its place.
    const JexSeams::EndpointFactory factory = JexSeams::Endpoint(type);
    std::unique_ptr<JexNetIO> io = factory ? factory() : nullptr;
    if (!io) {
        ExcRaise(UNKNOWN, JexExcArgs("JexTransport::new_net_io"));
        return nullptr;
    }
    // A transport serves one connection: a second Connect replaces the first.
    if (std::unique_ptr<JexNetIO> old = DetachEndpoint()) old->Disconnect();
    endpoint_ = std::move(io);
    return endpoint_.get();
}

void JexTransport::CopySettingsTo(JexNetIO& io) const { io.CopySettings(*this); }

void JexTransport::AttachEndpoint() {
    relay_ = std::make_unique<JexExcHandlerRecord>();
    PushHandler(*relay_, endpoint_.get(), &JexTransport::netio_handler, this);
    CopySettingsTo(*endpoint_);
}

int JexTransport::Connect(const JexNetAddr& address) {
    type_ = address.GetType();
    address.Format(called_);
    if (!new_net_io(type_)) return UNSUPPORTED;
    endpoint_->Statistics().callee = called_;
    AttachEndpoint();
    return endpoint_->Connect(address);
}

int JexTransport::Listen() {
    const char* env = std::getenv("JEX_TRANSPORT_TYPE");
    const char letter = (env && *env) ? *env : 'U';  // "Unknown"
    type_ = static_cast<unsigned char>(letter);
    const char text[4] = {letter, '/', '/', 0};
    called_ = text;
    calling_ = text;
    if (!new_net_io(type_)) return UNSUPPORTED;
    AttachEndpoint();
    return endpoint_->Listen();
}

int JexTransport::Disconnect() { return endpoint_ ? endpoint_->Disconnect() : 0; }

std::span<const JexAttrRow> JexTransport::AttributeRows() { return kAttributes; }

void JexTransport::Dump(const char* header, const char* p, int n) const {
    std::fprintf(stderr, header, n);
    if (n > 0 && p) JexBufferBase(p, n).Dump(stderr);
    std::fflush(stderr);
}

int JexTransport::GetData(char* p, int n, int& got, int wait) {
    if (!endpoint_) {
        got = 0;
        return RaiseCode(UNKNOWN, JexExcArgs("JexTransport::GetData"));
    }
    const int result = endpoint_->GetData(p, n, got, wait);
    if (trace_ & kTraceDump) Dump(kReceived, p, got);
    return result;
}

int JexTransport::GetData(JexBuffer& b, int n) {
    if (!endpoint_) return RaiseCode(UNKNOWN, JexExcArgs("JexTransport::GetData"));
    const int result = endpoint_->GetData(b, n);
    if (trace_ & kTraceDump) Dump(kReceived, b.Data(), b.Length());
    return result;
}

int JexTransport::PutData(const char* p, int n, int ignored) {
    if (trace_ & kTraceDump) Dump(kSending, p, n);
    if (!endpoint_) return RaiseCode(UNKNOWN, JexExcArgs("JexTransport::PutData"));
    return endpoint_->PutData(p, n, ignored);
}

int JexTransport::PutDataParts(const char* head, int headN, const char* body, int bodyN,
                               bool more) {
    const iovec parts[2] = {{const_cast<char*>(head), static_cast<size_t>(headN > 0 ? headN : 0)},
                            {const_cast<char*>(body), static_cast<size_t>(bodyN > 0 ? bodyN : 0)}};
    return PutDataParts(parts, 2, more);
}

int JexTransport::PutDataParts(const iovec* parts, int count, bool more) {
    if (trace_ & kTraceDump) {
        // One dump of the bytes, as a PutData of them together shows them.
        JexBuffer joined;
        joined.SetLength(0);
        for (int i = 0; i < count; ++i)
            joined += JexBuffer(parts[i].iov_base, static_cast<int>(parts[i].iov_len));
        Dump(kSending, joined.Data(), joined.Length());
    }
    if (!endpoint_) return RaiseCode(UNKNOWN, JexExcArgs("JexTransport::PutData"));
    return endpoint_->PutDataParts(parts, count, more);
}

int JexTransport::GetSome(char* p, int min, int max, int& got) {
    if (!endpoint_) {
        got = 0;
        return RaiseCode(UNKNOWN, JexExcArgs("JexTransport::GetData"));
    }
    const int result = endpoint_->GetSome(p, min, max, got);
    if (trace_ & kTraceDump) Dump(kReceived, p, got);
    return result;
}

JexTransport::PassEnd JexTransport::Pass(JexTransport& to, int n, int& taken,
                                         jexnet::NetDescriptor::SpliceReady* ready) {
    taken = 0;
    if (!endpoint_ || !to.endpoint_ || ((trace_ | to.trace_) & kTraceDump))
        return PassEnd::kUnsupported;
    return endpoint_->PassTo(*to.endpoint_, n, taken, ready);
}

JexTransport::PassReadiness JexTransport::ReadyToPass(JexTransport& to) {
    if (!endpoint_ || !to.endpoint_) return nullptr;
    return endpoint_->ReadyToPass(*to.endpoint_);
}

int JexTransport::AttrFail(int code, const char* label, int attribute) {
    // The texts of an unknown attribute and of a bad value name neither.
    if (code == BADATTR || code == BADATTRVALUE) return RaiseCode(code, JexExcArgs(label));
    return RaiseCode(code, JexAttrFailure(kAttributes, "?", label, attribute));
}

int JexTransport::AttrCheck(int attribute, JexAttrKind kind, const char* label) {
    static constexpr JexAttrCodes kCodes{BADATTR, ATTRNOTINT, ATTRNOTSTRING, ATTRREADONLY};
    const int code = JexAttrCheck(kAttributes, attribute, kind, JexAttrAccess::kGet, kCodes);
    return code == OK ? OK : AttrFail(code, label, attribute);
}

int JexTransport::SetCheck(int attribute, const char* label) {
    // Setting a read-only attribute is refused whatever the kind of the
    // value; every other one is an integer, a text giving its digits.
    static constexpr JexAttrCodes kCodes{BADATTR, ATTRNOTINT, ATTRNOTSTRING, ATTRREADONLY};
    const int code =
        JexAttrCheck(kAttributes, attribute, K::kInt, JexAttrAccess::kSetReadOnlyFirst, kCodes);
    return code == OK ? OK : AttrFail(code, label, attribute);
}

int JexTransport::GetAttr(int attribute, int& value) {
    if (endpoint_) return endpoint_->GetAttr(attribute, value);
    if (const int rc = AttrCheck(attribute, K::kInt, kGetInt); rc != OK) return rc;
    switch (attribute) {
        case kSetting1: value = setting1_; break;
        case kIoSize: value = ioSize_; break;
        case kSetting5: value = setting5_; break;
        case kType: value = type_; break;
        case kRaiseEnd: value = raiseEnd_; break;
        case kSetting8: value = setting8_; break;
        case kTimeout: value = setting9_; break;
        default: break;
    }
    return OK;
}

int JexTransport::GetAttr(int attribute, JexString& value) {
    if (endpoint_) return endpoint_->GetAttr(attribute, value);
    if (const int rc = AttrCheck(attribute, K::kText, kGetText); rc != OK) return rc;
    value = attribute == kCalled ? called_ : calling_;
    ExcSet(OK);
    return OK;
}

int JexTransport::SetAttr(int attribute, int value) {
    if (endpoint_) return endpoint_->SetAttr(attribute, value);
    if (const int rc = SetCheck(attribute, kSetInt); rc != OK) return rc;
    switch (attribute) {
        case kSetting1: setting1_ = value != 0; return OK;
        case kIoSize:
            // A size of 0 could move no data: refused like a negative one.
            if (value <= 0) return AttrFail(BADATTRVALUE, kSetInt, attribute);
            ioSize_ = value;
            return OK;
        case kSetting5: setting5_ = value; return OK;
        case kRaiseEnd: raiseEnd_ = value != 0; return OK;
        case kSetting8: setting8_ = value != 0; return OK;
        case kTimeout:
            if (value < 0) return AttrFail(BADATTRVALUE, kSetInt, attribute);
            setting9_ = value;
            return OK;
        default: return OK;
    }
}

int JexTransport::SetAttr(int attribute, const char* value) {
    if (endpoint_) return endpoint_->SetAttr(attribute, value);
    if (const int rc = SetCheck(attribute, kSetText); rc != OK) return rc;
    // Every attribute that can be set is an integer, given here as its digits.
    return SetAttr(attribute, static_cast<int>(jexnet::ParseNumber(value)));
}

JexNetStats* JexTransport::Stats(int level) {
    if (!endpoint_) {
        auto* stats = new JexNetStats("Unknown Transport", this, &JexNetStats::DisplaySwitch);
        ExcRaise(UNKNOWN, JexExcArgs("JexTransport::Stats"));
        return stats;
    }
    if (level <= 1 || !endpoint_->endpoint_) return &endpoint_->Statistics();
    return endpoint_->Stats(level - 1);
}

JexTransportListener::JexTransportListener(const JexNetAddr& address) {
    // Nobody can have registered a handler yet: failures here are recorded
    // on the listener (callers test Listening() and the code), never raised.
    const int savedSuppress = Suppress();
    SetSuppress(1);
    type_ = address.GetType();
    if (new_net_io(type_)) {
        endpoint_->SetSuppress(1);
        CopySettingsTo(*endpoint_);
        if (endpoint_->CreateListener(address) != 0) {
            ExcSet(endpoint_->Code(), endpoint_->Args(), endpoint_->Cause());
            endpoint_.reset();
        } else {
            address.Format(called_);
        }
    }
    SetSuppress(savedSuppress);
}

JexTransportListener::~JexTransportListener() = default;

int JexTransportListener::Accept(JexTransport& t) {
    if (!endpoint_) {
        t.ExcRaise(UNSUPPORTED, JexExcArgs("JexTransportListener::Accept"));
        return UNSUPPORTED;
    }
    if (!t.new_net_io(type_)) return UNSUPPORTED;
    t.AttachEndpoint();
    CopySettingsTo(*endpoint_);
    endpoint_->ExcSet(OK);
    const int result = endpoint_->Accept(*t.endpoint_);
    if (result != 0 && endpoint_->Code() != OK) {
        // The listening endpoint's failure: recorded here, raised on the
        // accepting transport so that its owner's handlers see it.
        ExcSet(endpoint_->Code(), endpoint_->Args(), endpoint_->Cause());
        t.ExcSet(endpoint_->Code(), endpoint_->Args(), endpoint_->Cause());
        t.Raise();
    }
    return result;
}
