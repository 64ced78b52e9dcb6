// One route of the route map in the caller's form: destination pattern, next hop, preference,
// flags.
#pragma once

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexNetAddr.h"

// The result of a route map lookup and the input of a route map append. The
// pattern's parts are ACID, node and application; an empty or missing part
// matches anything. The separators are the caller's ('/' in the gateway).
class JexRouteEntry {
public:
    // Preference of an entry that holds no route.
    static constexpr int kNoPreference = 0xFFFF;

    JexRouteEntry() : pattern('/'), address('/') {}

    JexFieldedString pattern;
    JexNetAddr address;
    int preference = kNoPreference;
    JexString flags;
};
