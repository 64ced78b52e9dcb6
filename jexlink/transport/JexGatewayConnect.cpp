// Gateway outgoing connection: the route map lookup, CONNECT and the answers of the far gateway.
#include <algorithm>
#include <memory>

#include "jexlink/core/JexTime.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayItems.h"
#include "jexlink/transport/JexRouteMap.h"

using jexgateway::ItemShort;
using jexgateway::ItemText;
using jexgateway::SetItemShort;
using jexgateway::SetItemText;

int JexGateway::open_leg(int side, const JexNetAddr& address) {
    if (leg_opener_) {
        JexTransport* made = leg_opener_(address, leg_opener_context_);
        if (!made) return SetError(TRANSPORTERR, JexExcArgs(Label()));
        AttachTransport(side, made);
    } else {
        AttachTransport(side, new JexTransport);
        // A far host that never answers the connection is bounded like a read.
        transports_[side & 1]->SetConnectTimeout(read_timeout);
        if (transports_[side & 1]->Connect(address) != 0) return TRANSPORTERR;
    }
    SetError(OK, JexExcArgs(Label()));
    return OK;
}

int JexGateway::raise_current() {
    const int code = Code();
    Raise();
    return code;
}

int JexGateway::path_failure(int tried, const JexFieldedString& key) {
    const int status = route_map ? route_map->Code() : JexRouteMap::OPENFAIL;
    const JexExcArgs args(Label(), key.Text(), own_acids.Text(), own_nodes.Text(), application);
    if (status == JexRouteMap::NOENTRY) return SetError(tried ? NOPATH : NOROUTEMAPENTRY, args);
    if (status == JexRouteMap::OPENFAIL)
        return SetError(NOROUTEMAP, JexExcArgs(Label()), route_map.get());
    return SetError(NOROUTEMAPENTRY, args, route_map.get());
}

JexNetMsg JexGateway::connect_request() {
    JexNetMsg request(kConnect);
    SetItemText(request['A'], application);
    SetItemText(request['t'], JexFormatTime());
    SetItemText(request['T'], dst_acids);
    SetItemText(request['N'], dst_nodes);
    request['h'].SetLength(1);
    request['h'][0] = 0;
    SetItemShort(request['H'], max_hops);
    SetItemShort(request['R'], max_redirects);
    JexNetStats* leg = transports_[1]->Stats(1);
    JexString entry = stats_.caller;
    entry += "||";
    entry += leg->caller;
    entry += "&";
    entry += leg->callee;
    SetItemText(request['P'], entry);
    SetItemText(request['z'], platform);
    SetItemShort(request['p'], priority);
    SetItemShort(request['r'], redirect_count);
    SetItemText(request['S'], src_acids);
    SetItemText(request['n'], src_nodes);
    SetItemText(request['y'], system_id);
    SetItemText(request['V'], version);
    return request;
}

int JexGateway::take_connect_reply(JexNetMsg& reply, int& leg_status) {
    const int rc = recv_record_within(1, reply, read_timeout);
    if (rc != OK && rc != PROTOCOL) {
        set_state(ERROR);
        return OK;
    }
    if (rc == PROTOCOL || check_reply(reply) != OK || !jexgateway::ReplyWithin(reply)) {
        set_state(ERROR);
        ExcRaise(PROTOCOL, JexExcArgs(Label()));
        return PROTOCOL;
    }
    dump_reply(reply);
    switch (reply.Type()) {
        case kHit: set_state(RUN); break;
        case kProgress: set_state(CONN); break;
        case kRedirect: {
            ReleaseTransport(1);
            // Counted from this end too, so a peer that keeps
            // answering with a low count cannot redirect forever.
            const int count = std::max(ItemShort(reply, 'r'), int{redirect_count}) + 1;
            redirect_count = static_cast<uint16_t>(std::min(count, 0xFFFF));
            if (count >= max_redirects) {
                set_state(ERROR);
                SetError(TULIPS, JexExcArgs(Label()));
                break;
            }
            redirected = 1;
            set_state(CONNWAIT);
            route_entry.address.Parse(ItemText(reply, 'a'));
            leg_status = open_leg(1, route_entry.address);
            break;
        }
        case kReject: {
            set_state(ERROR);
            std::unique_ptr<JexException> remote;
            {
                JexMutexLock hold(relay_lock_);
                UnloadException(reply, "JexGateway::Connect/remote error");
                remote.reset(CopyChain());
            }
            SetError(REMOTEFAIL, JexExcArgs(Label(), ItemText(reply, 'y')), remote.get());
            ReleaseTransport(1);
            break;
        }
        default:
            ReleaseTransport(1);
            set_state(ERROR);
            ExcRaise(PROTOCOL, JexExcArgs(Label()));
            return PROTOCOL;
    }
    return OK;
}

int JexGateway::Connect(const JexFieldedString& dst_acid_list,
                        const JexFieldedString& dst_node_list, const JexString& application_name) {
    SetLabel("JexGateway::Connect");
    if (state_ != IDLE) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    dst_acids = dst_acid_list;
    dst_nodes = dst_node_list;
    application = application_name;
    application.SetCaseSensitive(application_name.CaseSensitive());

    route_map.reset();
    route_map = std::make_unique<JexRouteMap>(route_map_file);
    route_map->SetSuppress(1);

    JexFieldedString key('/');
    key[0] = dst_acids.Text();
    key[1] = dst_nodes.Text();
    key[2] = application;
    key[2].SetCaseSensitive(application.CaseSensitive());

    system_id = own_acids.Field(0);
    system_id += "/";
    system_id += own_nodes.Field(0);
    src_acids = own_acids;
    src_nodes = own_nodes;
    stats_.caller = system_id;
    stats_.caller += "|";
    stats_.caller += platform;
    stats_.callee = key.Text();

    int tried = 0;
    int leg_status = OK;
    int map_status = OK;
    JexNetMsg reply;
    for (;;) {
        switch (state_) {
            case IDLE:
                set_state(FINDPATH);
                redirected = 0;
                map_status = route_map->GetEntry(key, route_entry);
                break;
            case FINDPATH:
                if (map_status != OK) {
                    path_failure(tried, key);
                    set_state(ERROR);
                    break;
                }
                if (route_entry.flags.FindChar('X') >= 0) {
                    set_state(FINDPATH);
                    redirected = 0;
                    map_status = route_map->GetEntry(key, route_entry);
                    break;
                }
                tried = 1;
                set_state(CONNWAIT);
                leg_status = open_leg(1, route_entry.address);
                break;
            case CONNWAIT: {
                if (leg_status != OK) {
                    set_state(FINDPATH);
                    redirected = 0;
                    map_status = route_map->GetEntry(key, route_entry);
                    break;
                }
                JexNetMsg request = connect_request();
                set_state(CONN);
                if (send_record(1, request) != OK) set_state(ERROR);
                break;
            }
            case CONN:
                if (const int rc = take_connect_reply(reply, leg_status); rc != OK) return rc;
                break;
            case RUN:
                hop_count = static_cast<uint16_t>(ItemShort(reply, 'h'));
                path.Parse(ItemText(reply, 'P'));
                stats_.callee = ItemText(reply, 'y');
                active_side = 1;
                return OK;
            case ERROR: ReleaseTransport(1); return raise_current();
            default: ExcRaise(INCONSTATE, JexExcArgs(Label())); return INCONSTATE;
        }
    }
}
