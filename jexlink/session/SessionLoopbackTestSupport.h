// What the tests of sessions over the loopback share: the fixture with its route map and keys, and
// small helpers.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/DeadlineWatch.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SessionServer.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Threads.h"
#include "testing/support/Wait.h"

namespace tavro::testing::session_loopback {

using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr const char* kApp = "Jex_Test";

inline JexBuffer Bytes(const std::string& s) {
    JexBuffer b;
    b.SetLength(static_cast<int>(s.size()));
    if (!s.empty()) std::memcpy(b.Data(), s.data(), s.size());
    return b;
}

inline std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

inline std::string Attr(JexSession& s, JexSession::Attribute a) {
    JexString value;
    EXPECT_EQ(s.GetAttr(a, value), 0) << JexSession::attribute_name(a);
    return value.Text();
}

inline std::string Payload(int size, int seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>((i / 7 + seed) % 26 + 'a');
    return bytes;
}

// What one side ended with.
struct Outcome {
    int code = -1;
    int state = -1;
    std::string text;
    std::string arg1;  // argument 1 of the recorded error
};

inline Outcome Of(JexSession& s, int code) {
    return {code, s.State(), s.Describe(1).Text(), Text(s.Args()[1])};
}

class SessionLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Listening());
        unsetenv("JEXSESSION_TEST");
        unsetenv("JEXSESSION_VERSION");
        unsetenv("JEXSESSION_TRACE");
        setenv("JEXCRYPTO_PATH", keys_.Path().c_str(), 1);
        WriteFile(keys_.Path() / "MD5-CLI-SRV", "shared secret\n");
        WriteFile(keys_.Path() / "NULL-CLI-SRV", "unused\n");
        route_map_ = (dir_.Path() / "route.map").string();
        WriteFile(route_map_, server_.RouteLine("srv", "snode", kApp));
    }

    // A client session addressed to the server, with codes instead of exits.
    void Client(JexSession& c) {
        c.SetSuppress(1);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_ACID, "cli"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_NODE, "cnode"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::ROUTE_MAP, route_map_.c_str()), 0);
        ASSERT_EQ(c.SetAttr(JexSession::READ_TIMEOUT, 20), 0);
    }
    int Connect(JexSession& c, const std::string& data, JexBuffer& reply) {
        return c.Connect(kApp, "srv", "snode", Bytes(data), reply);
    }
    // The server's side up to Listen's result.
    static int Listen(JexSession& s, JexBuffer& data) {
        s.SetAttr(JexSession::DST_NODE, "snode");
        s.SetAttr(JexSession::READ_TIMEOUT, 20);
        return s.Listen(kApp, "srv", data);
    }

    TempDir dir_{"session-loop"};
    TempDir keys_{"session-keys"};
    std::string route_map_;
    SessionServer server_;
};

// The whole life of a session pair with MD5 signing, CRC and LZW.

}  // namespace tavro::testing::session_loopback
