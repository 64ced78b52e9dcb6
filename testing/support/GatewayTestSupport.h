// Test support of the gateway layer: a connected pair of TCP transports on the loopback.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexTransport.h"
#include "testing/support/Sockets.h"
#include "testing/support/Wait.h"

namespace tavro::testing {

// How long a gateway test waits for the other side of a pair.
inline constexpr std::chrono::milliseconds kBound{kWaitMs};

// Two transports joined over 127.0.0.1 on an ephemeral port. Both are
// suppressed, so a closed peer is a result code, not a report.
struct LinkedPair {
    std::unique_ptr<JexTransport> a = std::make_unique<JexTransport>();
    std::unique_ptr<JexTransport> b = std::make_unique<JexTransport>();

    // Empty on success, else why not.
    std::string Open() {
        JexTransportListener listener(JexNetAddr("T/127.0.0.1/0", '/'));
        if (!listener.Listening()) return "listener: " + std::string(listener.Describe(1).Text());
        listener.SetSuppress(1);
        a->SetSuppress(1);
        b->SetSuppress(1);
        auto accepted = std::async(std::launch::async, [&] { return listener.Accept(*b); });
        const std::string address =
            LoopbackTransportAddress(LocalPort(listener.Endpoint()->Handle()));
        const int rc = a->Connect(JexNetAddr(address.c_str(), '/'));
        if (accepted.wait_for(kBound) != std::future_status::ready) {
            listener.Disconnect();
            accepted.wait();
            return "accept did not end";
        }
        if (rc != 0) return "connect: " + std::string(a->Describe(1).Text());
        if (accepted.get() != 0) return "accept: " + std::string(b->Describe(1).Text());
        return "";
    }
};

// A caller that finishes its gateway CONNECT to acid/node/application (as
// cli on node cnode, through `routeMap`) and then says nothing, for as
// long as `gateway` lives; the gateway's code of the CONNECT (waits at most
// 10 seconds for the answer).
inline int ConnectAndSayNothing(JexGateway& gateway, const std::string& routeMap, const char* acid,
                                const char* node, const char* application) {
    gateway.SetSuppress(1);
    gateway.SetAttr(JexGateway::ACID, "cli");
    gateway.SetAttr(JexGateway::NODE, "cnode");
    gateway.SetAttr(JexGateway::ROUTE_MAP, routeMap.c_str());
    gateway.SetReadTimeout(10);
    return gateway.Connect(JexFieldedString(acid, ','), JexFieldedString(node, ','),
                           JexString(application));
}

}  // namespace tavro::testing
