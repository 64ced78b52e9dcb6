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

int JexGateway::OpenLeg(int side, const JexNetAddr& address) {
    if (legOpener_) {
        JexTransport* made = legOpener_(address, legOpenerContext_);
        if (!made) return SetError(TRANSPORTERR, JexExcArgs(Label()));
        AttachTransport(side, made);
    } else {
        AttachTransport(side, new JexTransport);
        // A far host that never answers the connection is bounded like a read.
        transports_[side & 1]->SetConnectTimeout(readTimeout);
        if (transports_[side & 1]->Connect(address) != 0) return TRANSPORTERR;
    }
    SetError(OK, JexExcArgs(Label()));
    return OK;
}

int JexGateway::RaiseCurrent() {
    const int code = Code();
    Raise();
    return code;
}

int JexGateway::path_failure(int tried, const JexFieldedString& key) {
    const int status = routeMap ? routeMap->Code() : JexRouteMap::OPENFAIL;
    const JexExcArgs args(Label(), key.Text(), ownAcids.Text(), ownNodes.Text(), application);
    if (status == JexRouteMap::NOENTRY) return SetError(tried ? NOPATH : NOROUTEMAPENTRY, args);
    if (status == JexRouteMap::OPENFAIL)
        return SetError(NOROUTEMAP, JexExcArgs(Label()), routeMap.get());
    return SetError(NOROUTEMAPENTRY, args, routeMap.get());
}

JexNetMsg JexGateway::ConnectRequest() {
    JexNetMsg request(kConnect);
    SetItemText(request['A'], application);
    SetItemText(request['t'], JexFormatTime());
    SetItemText(request['T'], dstAcids);
    SetItemText(request['N'], dstNodes);
    request['h'].SetLength(1);
    request['h'][0] = 0;
    SetItemShort(request['H'], maxHops);
    SetItemShort(request['R'], maxRedirects);
    JexNetStats* leg = transports_[1]->Stats(1);
    JexString entry = stats_.caller;
    entry += "||";
    entry += leg->caller;
    entry += "&";
    entry += leg->callee;
    SetItemText(request['P'], entry);
    SetItemText(request['z'], platform);
    SetItemShort(request['p'], priority);
    SetItemShort(request['r'], redirectCount);
    SetItemText(request['S'], srcAcids);
    SetItemText(request['n'], srcNodes);
    SetItemText(request['y'], systemId);
    SetItemText(request['V'], version);
    return request;
}

int JexGateway::TakeConnectReply(JexNetMsg& reply, int& legStatus) {
    const int rc = RecvRecordWithin(1, reply, readTimeout);
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
            const int count = std::max(ItemShort(reply, 'r'), int{redirectCount}) + 1;
            redirectCount = static_cast<uint16_t>(std::min(count, 0xFFFF));
            if (count >= maxRedirects) {
                set_state(ERROR);
                SetError(TULIPS, JexExcArgs(Label()));
                break;
            }
            redirected = 1;
            set_state(CONNWAIT);
            routeEntry.address.Parse(ItemText(reply, 'a'));
            legStatus = OpenLeg(1, routeEntry.address);
            break;
        }
        case kReject: {
            set_state(ERROR);
            std::unique_ptr<JexException> remote;
            {
                JexMutexLock hold(relayLock_);
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

int JexGateway::Connect(const JexFieldedString& dstAcidList, const JexFieldedString& dstNodeList,
                        const JexString& applicationName) {
    SetLabel("JexGateway::Connect");
    if (state_ != IDLE) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    dstAcids = dstAcidList;
    dstNodes = dstNodeList;
    application = applicationName;
    application.SetCaseSensitive(applicationName.CaseSensitive());

    routeMap.reset();
    routeMap = std::make_unique<JexRouteMap>(routeMapFile);
    routeMap->SetSuppress(1);

    JexFieldedString key('/');
    key[0] = dstAcids.Text();
    key[1] = dstNodes.Text();
    key[2] = application;
    key[2].SetCaseSensitive(application.CaseSensitive());

    systemId = ownAcids.Field(0);
    systemId += "/";
    systemId += ownNodes.Field(0);
    srcAcids = ownAcids;
    srcNodes = ownNodes;
    stats_.caller = systemId;
    stats_.caller += "|";
    stats_.caller += platform;
    stats_.callee = key.Text();

    int tried = 0;
    int legStatus = OK;
    int mapStatus = OK;
    JexNetMsg reply;
    for (;;) {
        switch (state_) {
            case IDLE:
                set_state(FINDPATH);
                redirected = 0;
                mapStatus = routeMap->GetEntry(key, routeEntry);
                break;
            case FINDPATH:
                if (mapStatus != OK) {
                    path_failure(tried, key);
                    set_state(ERROR);
                    break;
                }
                if (routeEntry.flags.FindChar('X') >= 0) {
                    set_state(FINDPATH);
                    redirected = 0;
                    mapStatus = routeMap->GetEntry(key, routeEntry);
                    break;
                }
                tried = 1;
                set_state(CONNWAIT);
                legStatus = OpenLeg(1, routeEntry.address);
                break;
            case CONNWAIT: {
                if (legStatus != OK) {
                    set_state(FINDPATH);
                    redirected = 0;
                    mapStatus = routeMap->GetEntry(key, routeEntry);
                    break;
                }
                JexNetMsg request = ConnectRequest();
                set_state(CONN);
                if (send_record(1, request) != OK) set_state(ERROR);
                break;
            }
            case CONN:
                if (const int rc = TakeConnectReply(reply, legStatus); rc != OK) return rc;
                break;
            case RUN:
                hop_count = static_cast<uint16_t>(ItemShort(reply, 'h'));
                path.Parse(ItemText(reply, 'P'));
                stats_.callee = ItemText(reply, 'y');
                activeSide = 1;
                return OK;
            case ERROR: ReleaseTransport(1); return RaiseCurrent();
            default: ExcRaise(INCONSTATE, JexExcArgs(Label())); return INCONSTATE;
        }
    }
}
