// The gateway beneath every session: attributes, limits, states, transports, records and trace.
#include "jexlink/transport/JexGateway.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/transport/JexCodeTable.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "jexlink/transport/JexGatewayItems.h"
#include "jexlink/transport/JexRouteMap.h"

#define JEX_TEXT_CLASS JexGateway
const JexTextRow JexGateway::kTextTable[] = JEX_TEXT_TABLE(JEXGATEWAY_TEXTS);
#undef JEX_TEXT_CLASS

using jexgateway::HoldsData;
using jexgateway::ItemShort;
using jexgateway::ItemText;
using jexgateway::SetItemShort;
using jexgateway::SetItemText;

namespace {

std::atomic<int> trace_flags{0};

constexpr const char* kDefaultRouteMap =
    "\\Program Files\\Ferrand\\JEXlink\\data\\jex_route_map.dat";

using K = JexAttrKind;
// Numbers with a name but no value give BADATTR as unknown ones do.
constexpr JexAttrRow kAttributes[] = {
    {JexGateway::ACID, "ACID", K::kText, false},
    {JexGateway::APPLICATION, "APPLICATION", K::kText, true},
    {JexGateway::DST_ACID, "DST_ACID", K::kText, true},
    {JexGateway::DST_NODE, "DST_NODE", K::kText, true},
    {JexGateway::DST_PLATFORM, "DST_PLATFORM", K::kText, true},
    {JexGateway::HOP_COUNT, "HOP_COUNT", K::kInt, true},
    {JexGateway::LEARNING, "LEARNING", K::kNone, true},
    {JexGateway::MAX_HOP_COUNT, "MAX_HOP_COUNT", K::kInt, true},
    {JexGateway::MAX_REDIRECT_COUNT, "MAX_REDIRECT_COUNT", K::kInt, true},
    {JexGateway::NODE, "NODE", K::kText, false},
    {JexGateway::PATH, "PATH", K::kText, true},
    {JexGateway::PLATFORM_ID, "PLATFORM_ID", K::kNone, true},
    {JexGateway::PRIORITY, "PRIORITY", K::kInt, true},
    {JexGateway::RAISE_TIMEOUT, "RAISE_TIMEOUT", K::kInt, true},
    {JexGateway::READ_TIMEOUT, "READ_TIMEOUT", K::kInt, true},
    {JexGateway::REDIRECT_COUNT, "REDIRECT_COUNT", K::kNone, true},
    {JexGateway::ROUTE_MAP, "ROUTE_MAP", K::kText, false},
    {JexGateway::SRC_ACID, "SRC_ACID", K::kText, true},
    {JexGateway::SRC_NODE, "SRC_NODE", K::kText, true},
    {JexGateway::SRC_PLATFORM, "SRC_PLATFORM", K::kText, true},
    {JexGateway::STATE, "STATE", K::kBoth, true},
    {JexGateway::SYSTEM_ID, "SYSTEM_ID", K::kNone, true},
    {JexGateway::VERSION, "VERSION", K::kNone, true},
};
constexpr JexAttrCodes kAttrCodes{JexGateway::BADATTR, JexGateway::ATTRNOTINT,
                                  JexGateway::ATTRNOTSTRING, JexGateway::ATTRREADONLY};

// Field 1 of a path entry split at '|'; empty when there is none.
JexString PlatformOfEntry(JexFieldedString& path, int index) {
    if (path.Count() == 0) return JexString();
    JexFieldedString entry(path.Field(index), '|');
    return entry.Count() > 1 ? entry.Field(1) : JexString();
}

bool HasItem(const JexNetMsg& record, int item) { return record[item].Data() != nullptr; }

}  // namespace

int JexGateway::AddTraceLetters(const char* letters) {
    int bits = 0;
    for (const char* p = letters; p && *p; ++p) {
        switch (std::toupper(static_cast<unsigned char>(*p))) {
            case '*': bits |= 63; break;
            case 'C': bits |= kTraceConnect; break;
            case 'D': bits |= kTraceData; break;
            case 'H': bits |= kTraceHandshake; break;
            case 'P': bits |= kTracePacket; break;
            case 'S': bits |= kTraceState; break;
            case 'T': bits |= kTraceTransport; break;
            default: break;
        }
    }
    trace_flags.fetch_or(bits);
    return bits;
}

int JexGateway::TraceFlags() { return trace_flags.load(); }

JexGateway::JexGateway()
    : JexProtocol(kTextTable, "JexGateway"),
      stats_("JexGateway", this, &JexNetStats::DisplaySwitch) {
    PushHandler(ownHandler_, this, &inconsistency_handler, this);
    AddTraceLetters(std::getenv("JEXGATEWAY_TRACE"));
    const char* map = std::getenv("JEXGATEWAY_ROUTEMAP");
    routeMapFile = map ? map : kDefaultRouteMap;
    const char* id = std::getenv("JEXGATEWAY_SYSTEMID");
    systemId = id ? id : "<None>";
    JexString node;
    platform = JexPlatform::CurrentText(node);
    ownAcids.Parse(systemId);
    ownNodes.Parse(node);
    version.Parse("2.32 Exp");
}

JexGateway::~JexGateway() {
    ReleaseTransport(0);
    ReleaseTransport(1);
    PopHandler(ownHandler_);
    routeMap.reset();
}

void JexGateway::AttachTransport(int side, JexTransport* transport) {
    side &= 1;
    ReleaseTransport(side);
    transports_[side].reset(transport);  // its reader was reset with the release
    if (!transport) return;
    // The end of data is raised too, so that it reaches the transport
    // handler and becomes this gateway's error like any other failure.
    transport->SetAttr(JexTransport::kRaiseEnd, 1);
    handlers_[side] = std::make_unique<JexExcHandlerRecord>();
    PushHandler(*handlers_[side], transport, &transport_handler, this);
}

void JexGateway::ReleaseTransport(int side) {
    side &= 1;
    readers_[side].Reset();
    receiveSpare_.Free();
    if (handlers_[side]) {
        PopHandler(*handlers_[side]);
        handlers_[side].reset();
    }
    transports_[side].reset();
}

const char* JexGateway::attribute_name(int attribute) {
    return JexAttrName(kAttributes, attribute, "Unknown attribute");
}

std::span<const JexAttrRow> JexGateway::AttributeRows() { return kAttributes; }

JexString JexGateway::state_name(int state) {
    switch (state) {
        case CONN: return "CONN";
        case CONNMSG: return "CONNMSG";
        case CONNREPLY: return "CONNREPLY";
        case CONNWAIT: return "CONNWAIT";
        case DONE: return "DONE";
        case ERROR: return "ERROR";
        case FINDPATH: return "FINDPATH";
        case FINISH: return "FINISH";
        case GATEWAY: return "GATEWAY";
        case GCONN: return "GCONN";
        case GCONNWAIT: return "GCONNWAIT";
        case IDLE: return "IDLE";
        case LISTEN: return "LISTEN";
        case LWAIT: return "LWAIT";
        case RUN: return "RUN";
        default: return "*Invalid State*";
    }
}

const char* JexGateway::msg_name(int type) {
    switch (type) {
        case kConnect: return "CONNECT";
        case kData: return "DATA";
        case kFinish: return "FINISH";
        case kHit: return "HIT";
        case kReject: return "REJECT";
        case kLearn: return "LEARN";
        case kProgress: return "PROGRESS";
        case kQuery: return "QUERY";
        case kResponse: return "RESPONSE";
        case kNetFail: return "NETFAIL";
        case kRedirect: return "REDIRECT";
        default: return "*Invalid Message*";
    }
}

void JexGateway::set_state(int state) {
    const int old = state_;
    state_ = state;
    if (TraceFlags() & kTraceState)
        std::fprintf(stderr, "\nJexGateway State Transition: %s - %s => %s\n", Label(),
                     state_name(old).Text(), state_name(state).Text());
}

int JexGateway::SetError(int code, const JexExcArgs& args, JexException* cause) {
    JexMutexLock hold(relayLock_);
    return ExcSet(code, args, cause);
}

int JexGateway::AttrFail(int code, int attribute, const JexString* value) {
    ExcRaise(code, JexAttrFailure(kAttributes, "Unknown attribute", Label(), attribute, value));
    return code;
}

int JexGateway::GetAttr(Attribute attribute, int& value) {
    SetLabel("JexGateway::GetAttr(Attribute, int)");
    const int code = JexAttrCheck(kAttributes, attribute, K::kInt, JexAttrAccess::kGet, kAttrCodes);
    if (code != OK) return AttrFail(code, attribute, nullptr);
    switch (attribute) {
        case HOP_COUNT: value = hop_count; break;
        case MAX_HOP_COUNT: value = maxHops; break;
        case MAX_REDIRECT_COUNT: value = maxRedirects; break;
        case PRIORITY: value = priority; break;
        case RAISE_TIMEOUT: value = raiseTimeout; break;
        case READ_TIMEOUT: value = readTimeout; break;
        case STATE: value = state_; break;
        default: break;
    }
    return OK;
}

int JexGateway::GetAttr(Attribute attribute, JexString& value) {
    SetLabel("JexGateway::GetAttr(Attribute, JexString &)");
    const int code =
        JexAttrCheck(kAttributes, attribute, K::kText, JexAttrAccess::kGet, kAttrCodes);
    if (code != OK) return AttrFail(code, attribute, nullptr);
    switch (attribute) {
        case ACID: value = ownAcids.Text(); break;
        case APPLICATION:
            value = application;
            value.SetCaseSensitive(application.CaseSensitive());
            break;
        case DST_ACID: value = dstAcids.Text(); break;
        case DST_NODE: value = dstNodes.Text(); break;
        case DST_PLATFORM: value = PlatformOfEntry(path, path.Count() - 1); break;
        case NODE: value = ownNodes.Text(); break;
        case PATH: value = path.Text(); break;
        case ROUTE_MAP:
            value = routeMapFile;
            value.SetCaseSensitive(routeMapFile.CaseSensitive());
            break;
        case SRC_ACID: value = srcAcids.Text(); break;
        case SRC_NODE: value = srcNodes.Text(); break;
        case SRC_PLATFORM: value = PlatformOfEntry(path, 0); break;
        case STATE: value = state_name(); break;
        default: break;
    }
    return OK;
}

int JexGateway::SetAttr(Attribute attribute, const JexString& value) {
    SetLabel("JexGateway::SetAttr(Attribute, const JexString &)");
    // MAX_REDIRECT_COUNT is not set by text, not even to say it is not one.
    const int code =
        attribute == MAX_REDIRECT_COUNT
            ? BADATTR
            : JexAttrCheck(kAttributes, attribute, K::kText, JexAttrAccess::kSet, kAttrCodes);
    if (code != OK) return AttrFail(code, attribute, &value);
    if (state_ != IDLE) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    if (attribute == ACID) ownAcids.Parse(value);
    if (attribute == NODE) ownNodes.Parse(value);
    if (attribute == ROUTE_MAP) {
        routeMapFile = value;
        routeMapFile.SetCaseSensitive(value.CaseSensitive());
    }
    return OK;
}

int JexGateway::check_reply(const JexNetMsg& record) {
    for (int item : {'t', 'h', 'a', 'P', 'r', '/', 'y', 'V'}) {
        // A refusal made before any route was looked at (a version the
        // node does not speak, a destination without a route) names no
        // address; its reason still reaches the caller.
        if (item == 'a' && record.Type() == kReject) continue;
        if (!HoldsData(record, item)) return PROTOCOL;
    }
    return OK;
}

int JexGateway::CheckRecord(const JexNetMsg& record) {
    if (record.Corrupt()) return PROTOCOL;
    switch (record.Type()) {
        case kConnect:
            // Texts that may be empty ('T', 'N', 'P', 'S', 'n') travel as
            // absent items; the rest must be there.
            if (!HoldsData(record, 'A')) return PROTOCOL;
            for (int item : {'t', 'h', 'H', 'R', 'z', 'p', 'r', 'y', 'V'})
                if (!HoldsData(record, item)) return PROTOCOL;
            return OK;
        case kData: return HasItem(record, 'D') ? OK : PROTOCOL;
        case kHit:
        case kReject:
        case kProgress:
        case kRedirect: return check_reply(record);
        case kLearn:
            for (int item : {'t', 'z', 'y', 'V'})
                if (!HoldsData(record, item)) return PROTOCOL;
            return OK;
        case kNetFail:
            for (int item : {'t', 'h', 'z', 's', 'y', 'V', '/'})
                if (!HoldsData(record, item)) return PROTOCOL;
            return OK;
        default: return OK;
    }
}

void JexGateway::trace_record(const JexNetMsg& record, const char* direction) {
    const int bit = record.Type() == kData ? kTraceData : kTraceHandshake;
    const int flags = TraceFlags();
    if (!(flags & bit)) return;
    std::fprintf(stderr, "\n%s: %s, %s %s\n", Label(), state_name().Text(), direction,
                 msg_name(record.Type()));
    if (flags & kTracePacket) record.Dump(stderr);
}

int JexGateway::send_record(int side, const JexNetMsg& record) {
    side &= 1;
    // A DATA record of its payload alone travels raw: 'd' and the payload.
    if (record.Type() == kData && record[kData].Data() && record.ItemCount() == 1)
        return SendData(side, record[kData], &record);
    trace_record(record, side ? "Sending(1)" : "Sending(0)");
    JexBuffer encoded;
    if (record.Encode(encoded) != JexNetMsg::kEncoded)
        return SetError(FAILURE, JexExcArgs(Label(), msg_name(record.Type())));
    JexTransport* t = transports_[side].get();
    if (!t) return SetError(WRONGSTATE, JexExcArgs(Label()));
    JexMutexLock hold(sendLock_[side]);
    const int rc = jex_write_frame(*t, encoded);
    if (rc == kJexFrameTooBig) return SetError(FAILURE, JexExcArgs(Label(), encoded.Length()));
    if (rc != 0) return TransportFailed(*t);
    JexMutexLock counting(relayLock_);  // both relay threads count here
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(encoded.Length()));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    return OK;
}

int JexGateway::SendData(int side, const JexBuffer& payload, const JexNetMsg* record) {
    const JexBuffer* pieces[1] = {&payload};
    return SendData(side, pieces, 1, record);
}

int JexGateway::SendData(int side, const JexBuffer* const* pieces, int count,
                         const JexNetMsg* record, bool more) {
    side &= 1;
    int64_t length = 0;
    for (int i = 0; i < count; ++i) length += pieces[i]->Length();
    if (TraceFlags() & kTraceData) {
        if (record) {
            trace_record(*record, side ? "Sending(1)" : "Sending(0)");
        } else {
            JexNetMsg traced(kData);
            traced[kData].SetLength(0);
            for (int i = 0; i < count; ++i) traced[kData] += *pieces[i];
            trace_record(traced, side ? "Sending(1)" : "Sending(0)");
        }
    }
    JexTransport* t = transports_[side].get();
    if (!t) return SetError(WRONGSTATE, JexExcArgs(Label()));
    const char mark = static_cast<char>(JexNetMsg::kRawMark);
    JexMutexLock hold(sendLock_[side]);
    const int rc = jex_write_frame(*t, &mark, 1, pieces, count, more);
    if (rc == kJexFrameTooBig)
        return SetError(FAILURE, JexExcArgs(Label(), static_cast<int>(length + 1)));
    if (rc != 0) return TransportFailed(*t);
    JexMutexLock counting(relayLock_);  // both relay threads count here
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(length + 1));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    return OK;
}

int JexGateway::recv_record(int side, JexNetMsg& record, JexBuffer* lead) {
    int length = 0;
    char first = 0;
    const int rc = RecvHead(side, length, first);
    return rc != OK ? rc : RecvRest(side, record, length, first, lead);
}

int JexGateway::RecvHead(int side, int& length, char& first) {
    side &= 1;
    JexTransport* t = transports_[side].get();
    if (!t) return SetError(WRONGSTATE, JexExcArgs(Label()));
    JexFrameReader::Source source{&readers_[side], t};
    JexBuffer tooBig;
    length = 0;
    first = 0;
    int rc = JexReadFrameHead(&JexFrameReader::Source::Read, &source, tooBig, length);
    if (rc == kJexFrameOk && length > 0) rc = readers_[side].Peek(*t, first);
    if (rc == TRANSPORTERR) return TransportFailed(*t);
    if (rc != 0) return SetError(rc, JexExcArgs(Label(), tooBig));
    return OK;
}

int JexGateway::RecvRest(int side, JexNetMsg& record, int length, char first, JexBuffer* lead) {
    side &= 1;
    if (lead) lead->Free();
    JexTransport* t = transports_[side].get();
    if (!t) return SetError(WRONGSTATE, JexExcArgs(Label()));
    JexFrameReader::Source source{&readers_[side], t};
    const JexFrameSource read = &JexFrameReader::Source::Read;
    int rc = OK;
    if (first == JexNetMsg::kRawMark) {
        // A raw DATA record: its payload is read straight into the record's
        // DATA item, whose storage is used again.
        (void)read(&source, &first, 1);  // the byte is buffered already
        JexBuffer payload;
        payload.Swap(record[kData]);
        record.Clear();
        record.Type(kData);
        int rest = length - 1;
        if (lead && rest > 0) {
            // The type byte, then the head of the first item unless the
            // byte is the raw mark: the item's bytes start the payload.
            char bytes[5];
            const int n = rest >= 5 ? 5 : 1;
            rc = read(&source, bytes, 1);
            if (rc == OK && n == 5 && bytes[0] != JexNetMsg::kRawMark)
                rc = read(&source, bytes + 1, 4);
            if (rc != OK) return TransportFailed(*t);
            const int taken = bytes[0] == JexNetMsg::kRawMark ? 1 : n;
            JexBuffer head(bytes, taken);
            lead->Swap(head);  // lead was freed above
            rest -= taken;
        }
        rc = JexReadFrameBody(read, &source, rest, payload, length);
        if (rc == TRANSPORTERR) return TransportFailed(*t);
        if (rc != 0) return SetError(rc, JexExcArgs(Label(), payload));
        record[kData].Swap(payload);
    } else {
        JexBuffer frame;
        rc = JexReadFrameBody(read, &source, length, frame, length);
        if (rc == TRANSPORTERR) return TransportFailed(*t);
        if (rc != 0) return SetError(rc, JexExcArgs(Label(), frame));
        record.Decode(frame);
        if (record.Corrupt()) return SetError(CORRUPTMSG, JexExcArgs(Label()));
    }
    {
        JexMutexLock counting(relayLock_);  // both relay threads count here
        stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(length));
        stats_.Increment(JexNetStats::kMessagesReceived, 1);
    }
    trace_record(record, side ? "Received(1)" : "Received(0)");
    if (CheckRecord(record) != OK)
        return SetError(PROTOCOL, JexExcArgs(Label(), msg_name(record.Type())));
    return OK;
}

int JexGateway::TransportFailed(JexTransport& t) {
    JexMutexLock hold(relayLock_);
    if (Code() == TRANSPORTERR) return TRANSPORTERR;  // the transport handler set it
    JexString calling;
    JexString called;
    const int saved = t.Suppress();
    t.SetSuppress(1);
    t.GetAttr(JexTransport::kCalling, calling);
    t.GetAttr(JexTransport::kCalled, called);
    t.SetSuppress(saved);
    return ExcSet(TRANSPORTERR, JexExcArgs(Label(), calling, called));
}

void JexGateway::make_netfail(JexNetMsg& record, JexTransport* failed) {
    record.Clear();
    record.Type(kNetFail);
    SetItemText(record['t'], JexFormatTime());
    SetItemShort(record['h'], hop_count);
    if (failed && failed->Endpoint()) SetItemText(record['a'], failed->Stats(1)->callee);
    SetItemText(record['P'], path);
    SetItemText(record['z'], platform);
    SetItemText(record['s'], state_name());
    SetItemText(record['y'], systemId);
    SetItemText(record['V'], version);
    JexMutexLock hold(relayLock_);
    LoadException(record);
}

void JexGateway::dump_reply(const JexNetMsg& record) {
    if (!(TraceFlags() & kTraceConnect)) return;
    std::fprintf(stderr, "\n%s %s:\n", Label(), msg_name(record.Type()));
    std::fprintf(stderr, "\tDate:            %s\n", ItemText(record, 't').Text());
    std::fprintf(stderr, "\tHop Count:       %d\n", ItemShort(record, 'h'));
    std::fprintf(stderr, "\tRedirect Count:  %d\n", ItemShort(record, 'r'));
    std::fprintf(stderr, "\tState:           %s\n", ItemText(record, 's').Text());
    JexString status;
    DescribeMsg(status, record);
    JexFieldedString lines(status, '\n');
    for (int i = 0; i < lines.Count(); ++i)
        std::fprintf(stderr, i == 0 ? "\tStatus:\t\t %s\n" : "\t\t\t %s\n", lines.Field(i).Text());
    std::fprintf(stderr, "\tSystem ID:       %s\n", ItemText(record, 'y').Text());
    std::fprintf(stderr, "\tPlatform ID:     %s\n", ItemText(record, 'z').Text());
    std::fprintf(stderr, "\tVersion:         %s\n", ItemText(record, 'V').Text());
    std::fprintf(stderr, "\tNetwork Address: %s\n", ItemText(record, 'a').Text());
    JexFieldedString entries(ItemText(record, 'P'), '\n');
    for (int i = 0; i < entries.Count(); ++i)
        std::fprintf(stderr, i == 0 ? "\tPath:\t%s\n" : "\t\t%s\n", entries.Field(i).Text());
}

int JexGateway::inconsistency_handler(JexException* raised, void*) {
    if (raised->Code() != INCONSTATE) return 1;
    std::fprintf(stderr, "%s\n", raised->Describe(1).Text());
    std::abort();
}
