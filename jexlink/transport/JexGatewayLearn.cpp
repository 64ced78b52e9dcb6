// Gateway route learning: back routes to a connection's source and routes that skip a redirect.
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexRouteMap.h"

namespace {

bool IsKnown(const JexRouteEntry& entry, const JexString& acid, const JexString& node,
             const JexNetAddr& address) {
    JexFieldedString pattern(entry.pattern);
    if (pattern.Count() < 2) return false;
    if (JexStrCaseCmp(pattern.Field(0).Text(), acid.Text()) != 0) return false;
    if (JexStrCaseCmp(pattern.Field(1).Text(), node.Text()) != 0) return false;
    if (pattern.Count() > 2 && pattern.Field(2).Compare("*") != 0) return false;
    return entry.address == address;
}

}  // namespace

int JexGateway::learn_back_routes(int side, const JexString& author) {
    JexTransport* t = transports_[side & 1].get();
    if (!routeMap || !t) return 0;
    JexString calling;
    t->GetAttr(JexTransport::kCalling, calling);
    const JexNetAddr learned(calling, '/');
    const JexString comment =
        JexString("B entry author=") + platform + ", message author=" + author;
    for (int i = 0; i < srcAcids.Count(); ++i) {
        const JexString acid = srcAcids.Field(i);
        for (int j = 0; j < srcNodes.Count(); ++j) {
            const JexString node = srcNodes.Field(j);
            JexFieldedString key('/');
            key[0] = acid;
            key[1] = node;
            key[2] = application;
            bool known = false;
            routeMap->Rewind();
            for (JexRouteEntry entry; !known && routeMap->GetEntry(key, entry) == 0;)
                known = IsKnown(entry, acid, node, learned);
            if (known) continue;
            JexRouteEntry entry;
            routeMap->Rewind();
            if (routeMap->GetEntry(key, entry) != 0) entry.preference = 255;
            entry.pattern.Clear();
            entry.pattern[0] = acid;
            entry.pattern[1] = node;
            entry.pattern[2] = "*";
            entry.address = learned;
            entry.address.SetService(kLearnedService);
            entry.flags = "";
            routeMap->AddEntry(entry, comment);
        }
    }
    return 0;
}

int JexGateway::learn_redirect_routes(const JexString& author) {
    if (!redirected || !routeMap) return 0;
    JexRouteEntry entry;
    entry.address = routeEntry.address;
    entry.preference = routeEntry.preference;
    if (entry.preference != 0) entry.preference -= 1;
    const JexString comment =
        JexString("R entry author=") + platform + ", message author=" + author;
    for (int i = 0; i < dstAcids.Count(); ++i) {
        const JexString acid = dstAcids.Field(i);
        if (acid.Find("*") >= 0) continue;
        for (int j = 0; j < dstNodes.Count(); ++j) {
            const JexString node = dstNodes.Field(j);
            if (node.Find("*") >= 0) continue;
            entry.pattern.Clear();
            entry.pattern[0] = acid;
            entry.pattern[1] = node;
            entry.pattern[2] = application;
            routeMap->AddEntry(entry, comment);
        }
    }
    return 0;
}
