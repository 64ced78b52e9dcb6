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
    int wait_status;
    JexNetMsg request;  // the CONNECT as received, updated before it goes onward
    JexNetMsg answer;   // this node's reply
    JexNetMsg onward;   // the next gateway's reply
    JexFieldedString received_path{'\n'};
    JexFieldedString working_path{'\n'};
    JexFieldedString key{'/'};
    JexString requested;
    int entry_tried = 0;
    int map_status = 0;
    int read_status = 0;          // of the CONNECT
    int side_failed[2] = {0, 0};  // a send or read on the side failed
    int leg_status = 0;           // of the onward connect
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

void JexGateway::send_answer(Handshake& h, int type) {
    h.answer.Type(type);
    load_error(h.answer);
    if (send_record(0, h.answer) != OK) h.side_failed[0] = 1;
}

void JexGateway::next_route(Handshake& h) {
    redirected = 0;
    h.map_status = route_map->GetEntry(h.key, route_entry);
}

JexExcArgs JexGateway::route_args(const Handshake& h) {
    JexString address;
    route_entry.address.Format(address);
    return JexExcArgs(kHandshakeLabel, address, ItemText(h.request, 'T'), ItemText(h.request, 'N'),
                      ItemText(h.request, 'A'), own_acids.Text(), own_nodes.Text(), application);
}

int JexGateway::incoming_handshake(int wait_status) {
    SetLabel(kHandshakeLabel);
    route_map.reset();
    route_map = std::make_unique<JexRouteMap>(route_map_file);
    route_map->SetSuppress(1);
    auto h = std::make_unique<Handshake>();
    h->wait_status = wait_status;
    application.ToLower();

    for (;;) {
        switch (state_) {
            case LWAIT:
                if (h->wait_status != OK) {
                    set_state(ERROR);
                    break;
                }
                h->read_status = recv_record_within(0, h->request, first_record_wait());
                set_state(LISTEN);
                break;
            case LISTEN:
                if (handshake_listen(*h) != OK) return release_legs(PROTOCOL);
                break;
            case CONNMSG: handshake_connmsg(*h); break;
            case CONNREPLY: handshake_connreply(*h); break;
            case GCONNWAIT: handshake_gconnwait(*h); break;
            case GCONN:
                if (handshake_gconn(*h) != OK) return release_legs(PROTOCOL);
                break;
            case RUN:
                active_side = 0;
                accepted_here = 1;
                SetError(OK, JexExcArgs(kHandshakeLabel));
                return OK;
            case DONE:
                ReleaseTransport(0);
                ReleaseTransport(1);
                return Code();
            case ERROR:
                ReleaseTransport(0);
                ReleaseTransport(1);
                return raise_current();
            default:
                ExcRaise(INCONSTATE, JexExcArgs(kHandshakeLabel));
                return release_legs(INCONSTATE);
        }
    }
}

int JexGateway::release_legs(int code) {
    // A handshake that failed keeps no connection: the caller's socket and
    // any onward one are closed at once, not when the gateway is destroyed.
    ReleaseTransport(0);
    ReleaseTransport(1);
    return code;
}

int JexGateway::handshake_listen(Handshake& h) {
    if (h.read_status != OK) set_state(ERROR);
    if (h.read_status != OK || h.request.Type() != kConnect || check_connect(h.request) != OK ||
        !ConnectWithin(h.request)) {
        set_state(ERROR);
        ExcRaise(PROTOCOL, JexExcArgs(kHandshakeLabel));
        return PROTOCOL;
    }
    const JexNetMsg& r = h.request;
    hop_count = static_cast<uint16_t>(ItemShort(r, 'h') + 1);
    max_hops = static_cast<uint16_t>(ItemShort(r, 'H'));
    max_redirects = static_cast<uint16_t>(ItemShort(r, 'R'));
    priority = static_cast<uint16_t>(ItemShort(r, 'p'));
    redirect_count = static_cast<uint16_t>(ItemShort(r, 'r'));
    peer_version.Parse(ItemText(r, 'V'));
    src_acids.Parse(ItemText(r, 'S'));
    src_nodes.Parse(ItemText(r, 'n'));
    dst_acids.Parse(ItemText(r, 'T'));
    dst_nodes.Parse(ItemText(r, 'N'));
    h.requested = ItemText(r, 'A');
    h.requested.ToLower();
    h.received_path.Parse(ItemText(r, 'P'));
    stats_.caller = ItemText(r, 'y');
    stats_.caller += "|";
    stats_.caller += ItemText(r, 'z');

    h.key.Clear();
    h.key[0] = dst_acids.Text();
    h.key[1] = dst_nodes.Text();
    h.key[2] = h.requested;
    stats_.callee = h.key.Text();

    if (TraceFlags() & kTraceConnect)
        std::fprintf(stderr,
                     "JexGateway::incoming_handshake CONNECT\n\tGateway-Source:      %s/%s\n"
                     "\tGateway-Destination: %s/%s\n\tGateway-Application: %s\n"
                     "\tGateway-Whoami:      %s/%s/%s\n",
                     ItemText(r, 'S').Text(), ItemText(r, 'n').Text(), ItemText(r, 'T').Text(),
                     ItemText(r, 'N').Text(), ItemText(r, 'A').Text(), own_acids.Text().Text(),
                     own_nodes.Text().Text(), application.Text());
    next_route(h);
    set_state(CONNMSG);
    return OK;
}

void JexGateway::handshake_connmsg(Handshake& h) {
    h.working_path = h.received_path;
    JexString entry = system_id;
    entry += "|";
    entry += platform;
    entry += "|";
    if (JexTransport* t = transports_[0].get(); t && t->Endpoint()) {
        entry += t->Stats(1)->caller;
        entry += "&";
        entry += t->Stats(1)->callee;
    }
    entry += "|";
    h.working_path[h.working_path.Count()] = entry;
    path = h.working_path;

    h.answer.Clear();
    SetItemText(h.answer['t'], JexFormatTime());
    SetItemShort(h.answer['h'], hop_count);
    SetItemText(h.answer['P'], h.working_path);
    SetItemText(h.answer['z'], platform);
    SetItemShort(h.answer['r'], redirect_count);
    SetItemText(h.answer['s'], state_name());
    SetItemText(h.answer['y'], system_id);
    SetItemText(h.answer['V'], version);

    if (jex_versions_differ(version.Field(0), peer_version.Field(0))) {
        set_state(ERROR);
        SetError(BADVERSION, JexExcArgs(kHandshakeLabel, peer_version.Text(), version.Text()));
        send_answer(h, kReject);
        return;
    }
    set_state(CONNREPLY);
}

void JexGateway::handshake_connreply(Handshake& h) {
    JexString address;
    route_entry.address.Format(address);
    // The item is there on every pass, empty when the look-up found nothing:
    // every answer after the look-up names the address it was made with.
    h.answer['a'] = JexBufferBase(address.Text(), static_cast<int>(std::strlen(address.Text())));
    SetItemText(h.answer['s'], state_name());

    if (route_entry.flags.FindChar('X') >= 0) {
        next_route(h);
        return;
    }
    if (h.map_status == OK && route_entry.flags.FindChar('F') >= 0) {
        set_state(DONE);
        SetError(REDIRECTED, route_args(h));
        send_answer(h, kRedirect);
        return;
    }
    if (!h.entry_tried && jex_lists_match(own_acids, dst_acids) &&
        jex_lists_match(own_nodes, dst_nodes) &&
        JexWildcardMatch(application.LowerCopy(), h.requested.LowerCopy())) {
        application = h.requested;
        application.SetCaseSensitive(h.requested.CaseSensitive());
        set_state(RUN);
        SetError(OK, JexExcArgs(kHandshakeLabel));
        SetItemText(h.answer['T'], dst_acids);
        SetItemText(h.answer['N'], dst_nodes);
        SetItemText(h.answer['a'], JexString("(None)"));
        SetItemShort(h.answer['p'], priority);
        send_answer(h, kHit);
        return;
    }
    if (h.map_status != OK) {
        path_failure(h.entry_tried, h.key);
        set_state(ERROR);
        send_answer(h, kReject);
        return;
    }
    h.entry_tried = 1;
    if (route_entry.flags.FindChar('R') >= 0 && transports_[0]) {
        JexString called;
        transports_[0]->GetAttr(JexTransport::kCalled, called);
        if (route_entry.address == JexNetAddr(called, '/')) {
            set_state(DONE);
            SetError(REDIRECTED, route_args(h));
            send_answer(h, kRedirect);
            return;
        }
    }
    if (route_entry.flags.FindChar('L') >= 0) {
        next_route(h);
        return;
    }
    if (hop_count >= max_hops) {
        set_state(ERROR);
        SetError(WEEDS, JexExcArgs(kHandshakeLabel));
        send_answer(h, kReject);
        return;
    }
    SetItemText(h.answer['a'], address);
    SetError(FORWARDED, route_args(h));
    send_answer(h, kProgress);
    h.leg_status = open_leg(1, route_entry.address);
    h.side_failed[1] = h.leg_status != OK;
    set_state(GCONNWAIT);
}

void JexGateway::handshake_gconnwait(Handshake& h) {
    SetItemText(h.answer['t'], JexFormatTime());
    SetItemText(h.answer['s'], state_name());
    if (h.leg_status != OK) {
        send_answer(h, kProgress);
        ReleaseTransport(1);
        next_route(h);
        set_state(CONNMSG);
        return;
    }
    load_error(h.answer);
    SetError(OK, JexExcArgs(kHandshakeLabel));
    path = h.working_path;
    JexNetStats* leg = transports_[1]->Stats(1);
    JexString& last = path[path.Count() - 1];
    last += leg->caller;
    last += "&";
    last += leg->callee;
    SetItemText(h.answer['P'], path);
    h.answer.Type(kProgress);
    if (send_record(0, h.answer) != OK) h.side_failed[0] = 1;

    SetItemShort(h.request['h'], hop_count);
    SetItemShort(h.request['r'], redirect_count);
    SetItemText(h.request['P'], path);
    if (send_record(1, h.request) != OK) h.side_failed[1] = 1;
    if (!h.side_failed[1]) recv_onward(h);
    set_state(GCONN);
}

int JexGateway::first_record_wait() const {
    if (first_record_timeout <= 0) return read_timeout;
    if (read_timeout <= 0) return first_record_timeout;
    return read_timeout < first_record_timeout ? read_timeout : first_record_timeout;
}

int JexGateway::await_onward(int seconds) {
    JexTransport* caller = transports_[0].get();
    JexTransport* next = transports_[1].get();
    const int caller_fd = caller && caller->Endpoint() ? caller->Endpoint()->Handle() : -1;
    const int next_fd = next && next->Endpoint() ? next->Endpoint()->Handle() : -1;
    if (caller_fd < 0 || next_fd < 0) return OK;  // the read alone decides
    if (readers_[1].Buffered() > 0) return OK;    // the answer is already in
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int wait_ms = -1;
        if (seconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        // The caller's data is not watched (it waits for the answer), only
        // its end: a pending byte never wakes this wait.
        pollfd fds[2] = {{next_fd, POLLIN, 0}, {caller_fd, POLLRDHUP, 0}};
        const int n = ::poll(fds, 2, wait_ms);
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

void JexGateway::recv_onward(Handshake& h) {
    // While the next gateway thinks, the caller may give up: its close ends
    // the wait at once, and the handshake then ends both legs.
    const int waited = await_onward(read_timeout);
    if (waited == TRANSPORTERR) {
        h.side_failed[0] = 1;
        return;
    }
    if (waited != OK) {
        h.side_failed[1] = 1;
        return;
    }
    const int rc = recv_record_within(1, h.onward, read_timeout);
    // A reply that is not a complete record is the next gateway's
    // protocol error, not a failure of the link.
    if (rc != OK && rc != PROTOCOL) h.side_failed[1] = 1;
    if (rc == PROTOCOL) h.onward.Clear();
}

int JexGateway::handshake_gconn(Handshake& h) {
    if (h.side_failed[0]) {
        JexNetMsg netfail;
        make_netfail(netfail, transports_[0].get());
        (void)send_record(1, netfail);
        set_state(ERROR);
        return OK;
    }
    if (h.side_failed[1]) {
        SetItemText(h.answer['s'], state_name());
        send_answer(h, kProgress);
        ReleaseTransport(1);
        h.side_failed[1] = 0;
        next_route(h);
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
            redirect_count = static_cast<uint16_t>(ItemShort(h.request, 'r'));
            path.Parse(ItemText(h.request, 'P'));
            application = h.requested;
            application.SetCaseSensitive(h.requested.CaseSensitive());
            if (send_record(0, h.onward) != OK) h.side_failed[0] = 1;
            set_state(GATEWAY);
            const int rc = relay();
            SetLabel(kHandshakeLabel);
            if (rc != OK) {
                set_state(ERROR);
                return OK;
            }
            set_state(DONE);
            SetError(FORWARDED, route_args(h));
            return OK;
        }
        case kProgress: {
            if (send_record(0, h.onward) != OK) h.side_failed[0] = 1;
            if (!h.side_failed[0]) recv_onward(h);
            return OK;
        }
        case kRedirect: {
            ReleaseTransport(1);
            const int count = redirect_count + 1;
            redirect_count = static_cast<uint16_t>(count);
            h.onward.Type(kProgress);
            if (count >= max_redirects) {
                set_state(ERROR);
                SetError(TULIPS, JexExcArgs(kHandshakeLabel));
                if (send_record(0, h.onward) != OK) h.side_failed[0] = 1;
                return OK;
            }
            if (send_record(0, h.onward) != OK) h.side_failed[0] = 1;
            redirected = 1;
            route_entry.address.Parse(ItemText(h.onward, 'a'));
            set_state(GCONNWAIT);
            h.leg_status = open_leg(1, route_entry.address);
            h.side_failed[1] = h.leg_status != OK;
            return OK;
        }
        case kReject: {
            if (send_record(0, h.onward) != OK) h.side_failed[0] = 1;
            set_state(ERROR);
            std::unique_ptr<JexException> remote;
            {
                JexMutexLock hold(relay_lock_);
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
