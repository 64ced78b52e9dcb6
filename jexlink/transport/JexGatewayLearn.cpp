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
    if (!route_map || !t) return 0;
    JexString calling;
    t->GetAttr(JexTransport::kCalling, calling);
    const JexNetAddr learned(calling, '/');
    const JexString comment =
        JexString("B entry author=") + platform + ", message author=" + author;
    for (int i = 0; i < src_acids.Count(); ++i) {
        const JexString acid = src_acids.Field(i);
        for (int j = 0; j < src_nodes.Count(); ++j) {
            const JexString node = src_nodes.Field(j);
            JexFieldedString key('/');
            key[0] = acid;
            key[1] = node;
            key[2] = application;
            bool known = false;
            route_map->Rewind();
            for (JexRouteEntry entry; !known && route_map->GetEntry(key, entry) == 0;)
                known = IsKnown(entry, acid, node, learned);
            if (known) continue;
            JexRouteEntry entry;
            route_map->Rewind();
            if (route_map->GetEntry(key, entry) != 0) entry.preference = 255;
            entry.pattern.Clear();
            entry.pattern[0] = acid;
            entry.pattern[1] = node;
            entry.pattern[2] = "*";
            entry.address = learned;
            entry.address.SetService(kLearnedService);
            entry.flags = "";
            route_map->AddEntry(entry, comment);
        }
    }
    return 0;
}

int JexGateway::learn_redirect_routes(const JexString& author) {
    if (!redirected || !route_map) return 0;
    JexRouteEntry entry;
    entry.address = route_entry.address;
    entry.preference = route_entry.preference;
    if (entry.preference != 0) entry.preference -= 1;
    const JexString comment =
        JexString("R entry author=") + platform + ", message author=" + author;
    for (int i = 0; i < dst_acids.Count(); ++i) {
        const JexString acid = dst_acids.Field(i);
        if (acid.Find("*") >= 0) continue;
        for (int j = 0; j < dst_nodes.Count(); ++j) {
            const JexString node = dst_nodes.Field(j);
            if (node.Find("*") >= 0) continue;
            entry.pattern.Clear();
            entry.pattern[0] = acid;
            entry.pattern[1] = node;
            entry.pattern[2] = application;
            route_map->AddEntry(entry, comment);
        }
    }
    return 0;
}
