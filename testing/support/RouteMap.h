// Route-map entries as the tests write them: a line per route, and a route
// to a port of the loopback nobody listens on.
#pragma once

#include <filesystem>
#include <string>

#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"

namespace tavro::testing {

// One line of a route map: `id`, tab, `address`, then the tab-separated
// `cost` when it is not negative (a route without one takes the default)
// and `flags` when there are any.
inline std::string RouteEntry(const std::string& id, const std::string& address, int cost = -1,
                              const std::string& flags = "") {
    std::string line = id + "\t" + address;
    if (cost >= 0 || !flags.empty()) line += "\t" + (cost >= 0 ? std::to_string(cost) : "");
    if (!flags.empty()) line += "\t" + flags;
    return line + "\n";
}

// The same to `port` of 127.0.0.1.
inline std::string LoopbackRouteEntry(const std::string& id, int port, int cost = -1) {
    return RouteEntry(id, LoopbackTransportAddress(port), cost);
}

// Writes the route map `map` with one entry for `id` that leads to a port
// of 127.0.0.1 nobody listens on; false when no port could be had.
inline bool WriteRouteToClosedPort(const std::filesystem::path& map, const std::string& id) {
    const int port = ClosedLoopbackPort();
    if (port < 0) return false;
    WriteFile(map, LoopbackRouteEntry(id, port));
    return true;
}

}  // namespace tavro::testing
