// Gateway incoming handshake and onward connection: the answering side's route decision and relay.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexWildcardMatch.h"
#include "jexlink/transport/JexCodeTable.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayItems.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexRouteMap.h"

using jexgateway::ItemShort;
using jexgateway::ItemText;
using jexgateway::SetItemShort;
using jexgateway::SetItemText;

namespace {

constexpr const char* kHandshakeLabel = "JexGateway::incoming_handshake";

// The caller's texts that the handshake keeps or splits, within bounds.
bool ConnectWithin(const JexNetMsg& record) {
    for (int item : {'A', 'T', 'N', 'z', 'S', 'n', 'y', 'V'})
        if (!jexgateway::TextWithin(record, item, jexgateway::kMaxNameText)) return false;
    return jexgateway::PathWithin(record, 'P');
}

}  // namespace

// The working data of one handshake.
struct JexGateway::Handshake {
    int waitStatus;
    JexNetMsg request;  // the CONNECT as received, updated before it goes onward
    JexNetMsg answer;   // this node's reply
    JexNetMsg onward;   // the next gateway's reply
    JexFieldedString receivedPath{'\n'};
    JexFieldedString workingPath{'\n'};
    JexFieldedString key{'/'};
    JexString requested;
    int entryTried = 0;
    int mapStatus = 0;
    int readStatus = 0;          // of the CONNECT
    int sideFailed[2] = {0, 0};  // a send or read on the side failed
    int legStatus = 0;           // of the onward connect
};

int JexGateway::check_connect(const JexNetMsg& record) {
    for (int item : {'A', 't', 'T', 'N', 'h', 'H', 'R', 'P', 'z', 'p', 'r', 'S', 'n', 'y', 'V'})
        if (!jexgateway::HoldsData(record, item)) return PROTOCOL;
    return OK;
}

int jex_lists_match(const JexFieldedString& a, const JexFieldedString& b) {
    JexFieldedString left(a);
    JexFieldedString right(b);
    for (int i = 0; i < left.Count(); ++i) {
        const JexString x = left.Field(i).LowerCopy();
        for (int j = 0; j < right.Count(); ++j)
            if (JexWildcardMatchEither(x, right.Field(j).LowerCopy())) return 1;
    }
    return 0;
}

void JexGateway::SendAnswer(Handshake& h, int type) {
    h.answer.Type(type);
    LoadError(h.answer);
    if (send_record(0, h.answer) != OK) h.sideFailed[0] = 1;
}

void JexGateway::NextRoute(Handshake& h) {
    redirected = 0;
    h.mapStatus = routeMap->GetEntry(h.key, routeEntry);
}

JexExcArgs JexGateway::RouteArgs(const Handshake& h) {
    JexString address;
    routeEntry.address.Format(address);
    return JexExcArgs(kHandshakeLabel, address, ItemText(h.request, 'T'), ItemText(h.request, 'N'),
                      ItemText(h.request, 'A'), ownAcids.Text(), ownNodes.Text(), application);
}

int JexGateway::incoming_handshake(int waitStatus) {
    SetLabel(kHandshakeLabel);
    routeMap.reset();
    routeMap = std::make_unique<JexRouteMap>(routeMapFile);
    routeMap->SetSuppress(1);
    auto h = std::make_unique<Handshake>();
    h->waitStatus = waitStatus;
    application.ToLower();

    for (;;) {
        switch (state_) {
            case LWAIT:
                if (h->waitStatus != OK) {
                    set_state(ERROR);
                    break;
                }
                h->readStatus = RecvRecordWithin(0, h->request, FirstRecordWait());
                set_state(LISTEN);
                break;
            case LISTEN:
                if (HandshakeListen(*h) != OK) return ReleaseLegs(PROTOCOL);
                break;
            case CONNMSG: HandshakeConnmsg(*h); break;
            case CONNREPLY: HandshakeConnreply(*h); break;
            case GCONNWAIT: HandshakeGconnwait(*h); break;
            case GCONN:
                if (HandshakeGconn(*h) != OK) return ReleaseLegs(PROTOCOL);
                break;
            case RUN:
                activeSide = 0;
                acceptedHere = 1;
                SetError(OK, JexExcArgs(kHandshakeLabel));
                return OK;
            case DONE:
                ReleaseTransport(0);
                ReleaseTransport(1);
                return Code();
            case ERROR:
                ReleaseTransport(0);
                ReleaseTransport(1);
                return RaiseCurrent();
            default:
                ExcRaise(INCONSTATE, JexExcArgs(kHandshakeLabel));
                return ReleaseLegs(INCONSTATE);
        }
    }
}

int JexGateway::ReleaseLegs(int code) {
    // A handshake that failed keeps no connection: the caller's socket and
    // any onward one are closed at once, not when the gateway is destroyed.
    ReleaseTransport(0);
    ReleaseTransport(1);
    return code;
}

int JexGateway::HandshakeListen(Handshake& h) {
    if (h.readStatus != OK) set_state(ERROR);
    if (h.readStatus != OK || h.request.Type() != kConnect || check_connect(h.request) != OK ||
        !ConnectWithin(h.request)) {
        set_state(ERROR);
        ExcRaise(PROTOCOL, JexExcArgs(kHandshakeLabel));
        return PROTOCOL;
    }
    const JexNetMsg& r = h.request;
    hop_count = static_cast<uint16_t>(ItemShort(r, 'h') + 1);
    maxHops = static_cast<uint16_t>(ItemShort(r, 'H'));
    maxRedirects = static_cast<uint16_t>(ItemShort(r, 'R'));
    priority = static_cast<uint16_t>(ItemShort(r, 'p'));
    redirectCount = static_cast<uint16_t>(ItemShort(r, 'r'));
    peerVersion.Parse(ItemText(r, 'V'));
    srcAcids.Parse(ItemText(r, 'S'));
    srcNodes.Parse(ItemText(r, 'n'));
    dstAcids.Parse(ItemText(r, 'T'));
    dstNodes.Parse(ItemText(r, 'N'));
    h.requested = ItemText(r, 'A');
    h.requested.ToLower();
    h.receivedPath.Parse(ItemText(r, 'P'));
    stats_.caller = ItemText(r, 'y');
    stats_.caller += "|";
    stats_.caller += ItemText(r, 'z');

    h.key.Clear();
    h.key[0] = dstAcids.Text();
    h.key[1] = dstNodes.Text();
    h.key[2] = h.requested;
    stats_.callee = h.key.Text();

    if (TraceFlags() & kTraceConnect)
        std::fprintf(stderr,
                     "JexGateway::incoming_handshake CONNECT\n\tGateway-Source:      %s/%s\n"
                     "\tGateway-Destination: %s/%s\n\tGateway-Application: %s\n"
                     "\tGateway-Whoami:      %s/%s/%s\n",
                     ItemText(r, 'S').Text(), ItemText(r, 'n').Text(), ItemText(r, 'T').Text(),
                     ItemText(r, 'N').Text(), ItemText(r, 'A').Text(), ownAcids.Text().Text(),
                     ownNodes.Text().Text(), application.Text());
    NextRoute(h);
    set_state(CONNMSG);
    return OK;
}

void JexGateway::HandshakeConnmsg(Handshake& h) {
    h.workingPath = h.receivedPath;
    JexString entry = systemId;
    entry += "|";
    entry += platform;
    entry += "|";
    if (JexTransport* t = transports_[0].get(); t && t->Endpoint()) {
        entry += t->Stats(1)->caller;
        entry += "&";
        entry += t->Stats(1)->callee;
    }
    entry += "|";
    h.workingPath[h.workingPath.Count()] = entry;
    path = h.workingPath;

    h.answer.Clear();
    SetItemText(h.answer['t'], JexFormatTime());
    SetItemShort(h.answer['h'], hop_count);
    SetItemText(h.answer['P'], h.workingPath);
    SetItemText(h.answer['z'], platform);
    SetItemShort(h.answer['r'], redirectCount);
    SetItemText(h.answer['s'], state_name());
    SetItemText(h.answer['y'], systemId);
    SetItemText(h.answer['V'], version);

    if (jex_versions_differ(version.Field(0), peerVersion.Field(0))) {
        set_state(ERROR);
        SetError(BADVERSION, JexExcArgs(kHandshakeLabel, peerVersion.Text(), version.Text()));
        SendAnswer(h, kReject);
        return;
    }
    set_state(CONNREPLY);
}

void JexGateway::HandshakeConnreply(Handshake& h) {
    JexString address;
    routeEntry.address.Format(address);
    // The item is there on every pass, empty when the look-up found nothing:
    // every answer after the look-up names the address it was made with.
    h.answer['a'] = JexBufferBase(address.Text(), static_cast<int>(std::strlen(address.Text())));
    SetItemText(h.answer['s'], state_name());

    if (routeEntry.flags.FindChar('X') >= 0) {
        NextRoute(h);
        return;
    }
    if (h.mapStatus == OK && routeEntry.flags.FindChar('F') >= 0) {
        set_state(DONE);
        SetError(REDIRECTED, RouteArgs(h));
        SendAnswer(h, kRedirect);
        return;
    }
    if (!h.entryTried && jex_lists_match(ownAcids, dstAcids) &&
        jex_lists_match(ownNodes, dstNodes) &&
        JexWildcardMatch(application.LowerCopy(), h.requested.LowerCopy())) {
        application = h.requested;
        application.SetCaseSensitive(h.requested.CaseSensitive());
        set_state(RUN);
        SetError(OK, JexExcArgs(kHandshakeLabel));
        SetItemText(h.answer['T'], dstAcids);
        SetItemText(h.answer['N'], dstNodes);
        SetItemText(h.answer['a'], JexString("(None)"));
        SetItemShort(h.answer['p'], priority);
        SendAnswer(h, kHit);
        return;
    }
    if (h.mapStatus != OK) {
        path_failure(h.entryTried, h.key);
        set_state(ERROR);
        SendAnswer(h, kReject);
        return;
    }
    h.entryTried = 1;
    if (routeEntry.flags.FindChar('R') >= 0 && transports_[0]) {
        JexString called;
        transports_[0]->GetAttr(JexTransport::kCalled, called);
        if (routeEntry.address == JexNetAddr(called, '/')) {
            set_state(DONE);
            SetError(REDIRECTED, RouteArgs(h));
            SendAnswer(h, kRedirect);
            return;
        }
    }
    if (routeEntry.flags.FindChar('L') >= 0) {
        NextRoute(h);
        return;
    }
    if (hop_count >= maxHops) {
        set_state(ERROR);
        SetError(WEEDS, JexExcArgs(kHandshakeLabel));
        SendAnswer(h, kReject);
        return;
    }
    SetItemText(h.answer['a'], address);
    SetError(FORWARDED, RouteArgs(h));
    SendAnswer(h, kProgress);
    h.legStatus = OpenLeg(1, routeEntry.address);
    h.sideFailed[1] = h.legStatus != OK;
    set_state(GCONNWAIT);
}

void JexGateway::HandshakeGconnwait(Handshake& h) {
    SetItemText(h.answer['t'], JexFormatTime());
    SetItemText(h.answer['s'], state_name());
    if (h.legStatus != OK) {
        SendAnswer(h, kProgress);
        ReleaseTransport(1);
        NextRoute(h);
        set_state(CONNMSG);
        return;
    }
    LoadError(h.answer);
    SetError(OK, JexExcArgs(kHandshakeLabel));
    path = h.workingPath;
    JexNetStats* leg = transports_[1]->Stats(1);
    JexString& last = path[path.Count() - 1];
    last += leg->caller;
    last += "&";
    last += leg->callee;
    SetItemText(h.answer['P'], path);
    h.answer.Type(kProgress);
    if (send_record(0, h.answer) != OK) h.sideFailed[0] = 1;

    SetItemShort(h.request['h'], hop_count);
    SetItemShort(h.request['r'], redirectCount);
    SetItemText(h.request['P'], path);
    if (send_record(1, h.request) != OK) h.sideFailed[1] = 1;
    if (!h.sideFailed[1]) RecvOnward(h);
    set_state(GCONN);
}

int JexGateway::FirstRecordWait() const {
    if (firstRecordTimeout <= 0) return readTimeout;
    if (readTimeout <= 0) return firstRecordTimeout;
    return readTimeout < firstRecordTimeout ? readTimeout : firstRecordTimeout;
}

int JexGateway::AwaitOnward(int seconds) {
    JexTransport* caller = transports_[0].get();
    JexTransport* next = transports_[1].get();
    const int callerFd = caller && caller->Endpoint() ? caller->Endpoint()->Handle() : -1;
    const int nextFd = next && next->Endpoint() ? next->Endpoint()->Handle() : -1;
    if (callerFd < 0 || nextFd < 0) return OK;  // the read alone decides
    if (readers_[1].Buffered() > 0) return OK;  // the answer is already in
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int waitMs = -1;
        if (seconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        // The caller's data is not watched (it waits for the answer), only
        // its end: a pending byte never wakes this wait.
        pollfd fds[2] = {{nextFd, POLLIN, 0}, {callerFd, POLLRDHUP, 0}};
        const int n = ::poll(fds, 2, waitMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return OK;
        if (n == 0) {
            next->Disconnect();
            return SetError(TIMEOUT, JexExcArgs(Label()));
        }
        if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
            JexNetStats* leg = caller->Stats(1);
            return SetError(TRANSPORTERR, JexExcArgs(Label(), leg->caller, leg->callee));
        }
        if (fds[0].revents != 0) return OK;
    }
}

void JexGateway::RecvOnward(Handshake& h) {
    // While the next gateway thinks, the caller may give up: its close ends
    // the wait at once, and the handshake then ends both legs.
    const int waited = AwaitOnward(readTimeout);
    if (waited == TRANSPORTERR) {
        h.sideFailed[0] = 1;
        return;
    }
    if (waited != OK) {
        h.sideFailed[1] = 1;
        return;
    }
    const int rc = RecvRecordWithin(1, h.onward, readTimeout);
    // A reply that is not a complete record is the next gateway's
    // protocol error, not a failure of the link.
    if (rc != OK && rc != PROTOCOL) h.sideFailed[1] = 1;
    if (rc == PROTOCOL) h.onward.Clear();
}

int JexGateway::HandshakeGconn(Handshake& h) {
    if (h.sideFailed[0]) {
        JexNetMsg netfail;
        make_netfail(netfail, transports_[0].get());
        (void)send_record(1, netfail);
        set_state(ERROR);
        return OK;
    }
    if (h.sideFailed[1]) {
        SetItemText(h.answer['s'], state_name());
        SendAnswer(h, kProgress);
        ReleaseTransport(1);
        h.sideFailed[1] = 0;
        NextRoute(h);
        set_state(CONNMSG);
        return OK;
    }
    if (check_reply(h.onward) != OK || !jexgateway::ReplyWithin(h.onward)) {
        set_state(ERROR);
        ExcRaise(PROTOCOL, JexExcArgs(kHandshakeLabel));
        return PROTOCOL;
    }
    dump_reply(h.onward);
    switch (h.onward.Type()) {
        case kHit: {
            hop_count = static_cast<uint16_t>(ItemShort(h.request, 'h'));
            redirectCount = static_cast<uint16_t>(ItemShort(h.request, 'r'));
            path.Parse(ItemText(h.request, 'P'));
            application = h.requested;
            application.SetCaseSensitive(h.requested.CaseSensitive());
            if (send_record(0, h.onward) != OK) h.sideFailed[0] = 1;
            set_state(GATEWAY);
            const int rc = relay();
            SetLabel(kHandshakeLabel);
            if (rc != OK) {
                set_state(ERROR);
                return OK;
            }
            set_state(DONE);
            SetError(FORWARDED, RouteArgs(h));
            return OK;
        }
        case kProgress: {
            if (send_record(0, h.onward) != OK) h.sideFailed[0] = 1;
            if (!h.sideFailed[0]) RecvOnward(h);
            return OK;
        }
        case kRedirect: {
            ReleaseTransport(1);
            const int count = redirectCount + 1;
            redirectCount = static_cast<uint16_t>(count);
            h.onward.Type(kProgress);
            if (count >= maxRedirects) {
                set_state(ERROR);
                SetError(TULIPS, JexExcArgs(kHandshakeLabel));
                if (send_record(0, h.onward) != OK) h.sideFailed[0] = 1;
                return OK;
            }
            if (send_record(0, h.onward) != OK) h.sideFailed[0] = 1;
            redirected = 1;
            routeEntry.address.Parse(ItemText(h.onward, 'a'));
            set_state(GCONNWAIT);
            h.legStatus = OpenLeg(1, routeEntry.address);
            h.sideFailed[1] = h.legStatus != OK;
            return OK;
        }
        case kReject: {
            if (send_record(0, h.onward) != OK) h.sideFailed[0] = 1;
            set_state(ERROR);
            std::unique_ptr<JexException> remote;
            {
                JexMutexLock hold(relayLock_);
                UnloadException(h.onward, "JexGateway::incoming_handshake/remote error");
                remote.reset(CopyChain());
            }
            SetError(REJECTED, JexExcArgs(kHandshakeLabel), remote.get());
            return OK;
        }
        default:
            set_state(ERROR);
            ExcRaise(PROTOCOL, JexExcArgs(kHandshakeLabel));
            return PROTOCOL;
    }
}
