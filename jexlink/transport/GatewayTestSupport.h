// Test support of the gateway layer: a connected pair of TCP transports on the loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexTransport.h"

namespace gateway_test {

using namespace std::chrono_literals;
constexpr auto kBound = 20s;

inline int LocalPort(int fd) {
    sockaddr_in in{};
    socklen_t size = sizeof in;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&in), &size) != 0) return -1;
    return ntohs(in.sin_port);
}

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
            "T/127.0.0.1/" + std::to_string(LocalPort(listener.Endpoint()->Handle()));
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

}  // namespace gateway_test
