// Gateway connections end to end on the loopback: route maps, DATA both ways, FINISH, relays,
// LEARN.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/RouteMap.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::GatewayNode;
using tavro::testing::ReadFile;
using tavro::testing::RouteEntry;
using tavro::testing::TempDir;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

std::string Attr(JexGateway& g, JexGateway::Attribute a) {
    JexString value;
    EXPECT_EQ(g.GetAttr(a, value), 0) << JexGateway::attribute_name(a);
    return value.Text();
}

int IntAttr(JexGateway& g, JexGateway::Attribute a) {
    int value = -1;
    EXPECT_EQ(g.GetAttr(a, value), 0) << JexGateway::attribute_name(a);
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        fields.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return fields;
        start = at + 1;
    }
}

// A client end: its identity and its own route map file.
struct Client {
    explicit Client(const std::string& routeMap) {
        g.SetAttr(JexGateway::ACID, "cli");
        g.SetAttr(JexGateway::NODE, "cnode");
        g.SetAttr(JexGateway::ROUTE_MAP, routeMap.c_str());
    }
    int Connect(const char* acid, const char* node, const char* application) {
        return g.Connect(JexFieldedString(acid, ','), JexFieldedString(node, ','),
                         JexString(application));
    }
    QuietGateway g;
};

JexBuffer Bytes(const std::string& s) {
    return JexBuffer(JexBufferBase(s.data(), static_cast<int>(s.size())));
}

std::string Payload(int size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(i * 7 + i / 251);
    return bytes;
}

class GatewayConnection : public ::testing::Test {
protected:
    std::string MapFile(const std::string& name, const std::string& lines) {
        const auto file = dir.Path() / name;
        WriteFile(file, lines);
        return file.string();
    }
    TempDir dir{"gwconn"};
};

TEST_F(GatewayConnection, ClientReachesServerAndDataTravelsBothWaysUntilFinish) {
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    ASSERT_TRUE(server.Start());
    Client client(MapFile("client.map", RouteEntry("srv/snode/echo", server.Address(), 10)));
    ASSERT_EQ(client.Connect("srv", "snode", "echo"), 0) << client.g.Describe(1).Text();

    EXPECT_EQ(Attr(client.g, JexGateway::STATE), "RUN");
    EXPECT_EQ(IntAttr(client.g, JexGateway::HOP_COUNT), 1);
    const auto path = Split(Attr(client.g, JexGateway::PATH), '\n');
    ASSERT_EQ(path.size(), 2u);
    const auto first = Split(path[0], '|');
    const auto last = Split(path[1], '|');
    ASSERT_EQ(first.size(), 4u) << path[0];
    ASSERT_EQ(last.size(), 4u) << path[1];
    EXPECT_EQ(first[0], "cli/cnode");
    EXPECT_EQ(first[2], "");
    EXPECT_EQ(last[0], "srv/snode");
    EXPECT_EQ(last[3], "");
    // The client's outgoing leg is the server's incoming one, seen from its end.
    EXPECT_EQ(Split(first[3], '&').size(), 2u);
    EXPECT_EQ(Split(last[2], '&').size(), 2u);
    EXPECT_EQ(Attr(client.g, JexGateway::DST_PLATFORM), last[1]);
    EXPECT_EQ(Attr(client.g, JexGateway::SRC_PLATFORM), first[1]);
    EXPECT_EQ(Attr(client.g, JexGateway::DST_ACID), "srv");
    EXPECT_EQ(Attr(client.g, JexGateway::DST_NODE), "snode");
    EXPECT_EQ(Attr(client.g, JexGateway::SRC_ACID), "cli");
    EXPECT_EQ(Attr(client.g, JexGateway::APPLICATION), "echo");

    for (int size : {0, 1, 65535, 65536, 1 << 20, 16 << 20}) {
        SCOPED_TRACE(size);
        const std::string sent = Payload(size);
        ASSERT_EQ(client.g.PutMsg(Bytes(sent)), 0);
        JexBuffer back;
        ASSERT_EQ(client.g.GetMsg(back), 0) << client.g.Describe(1).Text();
        ASSERT_EQ(back.Length(), size);
        EXPECT_TRUE(size == 0 || std::string(back.Data(), static_cast<size_t>(size)) == sent);
    }
    EXPECT_EQ(client.g.Disconnect(), 0) << client.g.Describe(1).Text();
    EXPECT_EQ(Attr(client.g, JexGateway::STATE), "DONE");
    EXPECT_EQ(client.g.Transport(1), nullptr);
    ASSERT_TRUE(WaitFor([&] { return server.EchoesFinished() == 1; }));
    server.Stop();
    EXPECT_EQ(server.Results(), (std::map<int, int>{{0, 1}}));
}

TEST_F(GatewayConnection, TwoRelaysCarryTheConnectionAndLearnTheWayBack) {
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    ASSERT_TRUE(server.Start());
    GatewayNode second("r2", "n2", MapFile("second.map", ""));
    ASSERT_TRUE(second.Start());
    GatewayNode first("r1", "n1", MapFile("first.map", ""));
    ASSERT_TRUE(first.Start());
    MapFile("second.map", RouteEntry("srv/snode", server.Address()));
    MapFile("first.map", RouteEntry("srv/*/*", second.Address()));
    Client client(MapFile("client.map", RouteEntry("srv/snode/echo", first.Address())));

    ASSERT_EQ(client.Connect("srv", "snode", "echo"), 0) << client.g.Describe(1).Text();
    const auto path = Split(Attr(client.g, JexGateway::PATH), '\n');
    ASSERT_EQ(path.size(), 4u) << Attr(client.g, JexGateway::PATH);
    const char* ids[] = {"cli/cnode", "r1/n1", "r2/n2", "srv/snode"};
    for (size_t i = 0; i < path.size(); ++i) {
        const auto fields = Split(path[i], '|');
        ASSERT_EQ(fields.size(), 4u) << path[i];
        EXPECT_EQ(fields[0], ids[i]);
        // Every gateway between the ends names both of its legs.
        if (i > 0 && i < 3) {
            EXPECT_EQ(Split(fields[2], '&').size(), 2u) << path[i];
            EXPECT_EQ(Split(fields[3], '&').size(), 2u) << path[i];
        }
    }
    EXPECT_EQ(IntAttr(client.g, JexGateway::HOP_COUNT), 3);

    for (int size : {0, 100, 70000}) {
        const std::string sent = Payload(size);
        ASSERT_EQ(client.g.PutMsg(Bytes(sent)), 0);
        JexBuffer back;
        ASSERT_EQ(client.g.GetMsg(back), 0) << client.g.Describe(1).Text();
        EXPECT_EQ(std::string(back.Data() ? back.Data() : "", static_cast<size_t>(back.Length())),
                  sent);
    }
    EXPECT_EQ(client.g.Disconnect(), 0);
    ASSERT_TRUE(WaitFor([&] { return server.EchoesFinished() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return first.Running() == 0 && second.Running() == 0; }));
    first.Stop();
    second.Stop();
    server.Stop();
    EXPECT_EQ(first.Results(), (std::map<int, int>{{JexGateway::FORWARDED, 1}}));
    EXPECT_EQ(second.Results(), (std::map<int, int>{{JexGateway::FORWARDED, 1}}));

    // The server and both relays learned the way back to the client through
    // the neighbour the connection came from; the client learned nothing,
    // since no redirect was followed.
    for (const char* map : {"server.map", "second.map", "first.map"}) {
        const std::string text = ReadFile(dir.Path() / map);
        const auto at = text.find("cli/cnode/*\tt/");
        ASSERT_NE(at, std::string::npos) << map << ":\n" << text;
        EXPECT_NE(text.find("/jex_nsd\t255\t\t# ", at), std::string::npos) << map << ":\n" << text;
        EXPECT_NE(text.find("B entry author="), std::string::npos) << text;
    }
    EXPECT_EQ(ReadFile(dir.Path() / "client.map"), RouteEntry("srv/snode/echo", first.Address()));
}

TEST_F(GatewayConnection, ClientFollowsARedirectAndLearnsToSkipIt) {
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    GatewayNode director("rd", "nd", MapFile("director.map", ""));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(director.Start());
    MapFile("director.map", RouteEntry("srv", server.Address(), 1, "F"));
    const std::string start = RouteEntry("srv/snode/echo", director.Address(), 10);
    Client client(MapFile("client.map", start));
    ASSERT_EQ(client.Connect("srv", "snode", "echo"), 0) << client.g.Describe(1).Text();
    EXPECT_EQ(client.g.redirected, 1);
    // The server's LEARN arrives before the echo and is consumed by GetMsg.
    ASSERT_EQ(client.g.PutMsg(Bytes("x")), 0);
    JexBuffer back;
    ASSERT_EQ(client.g.GetMsg(back), 0);
    EXPECT_EQ(client.g.Disconnect(), 0);
    const std::string map = ReadFile(dir.Path() / "client.map");
    ASSERT_EQ(map.rfind(start, 0), 0u) << map;
    // One preference better than the redirected route, straight to the server.
    const std::string learned = map.substr(start.size());
    EXPECT_EQ(learned.rfind(
                  "srv/snode/echo\tt/127.0.0.1/" + std::to_string(server.Port()) + "\t9\t\t# ", 0),
              0u)
        << map;
    EXPECT_NE(learned.find(" - R entry author="), std::string::npos) << map;
    ASSERT_TRUE(WaitFor([&] { return server.EchoesFinished() == 1; }));
    director.Stop();
    EXPECT_EQ(director.Results(), (std::map<int, int>{{JexGateway::REDIRECTED, 1}}));
}

TEST_F(GatewayConnection, RoutingLoopEndsAtTheHopLimit) {
    GatewayNode a("ra", "na", MapFile("a.map", ""));
    GatewayNode b("rb", "nb", MapFile("b.map", ""));
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    MapFile("a.map", RouteEntry("srv", b.Address()));
    MapFile("b.map", RouteEntry("srv", a.Address()));
    Client client(MapFile("client.map", RouteEntry("srv", a.Address())));
    EXPECT_EQ(client.Connect("srv", "snode", "echo"), JexGateway::REMOTEFAIL);
    EXPECT_EQ(Attr(client.g, JexGateway::STATE), "ERROR");
    ASSERT_NE(client.g.Cause(), nullptr);
    EXPECT_EQ(client.g.Cause()->Code(), JexGateway::WEEDS);
    // Hops 1 to 6 relayed and were refused from further on; hop 7 refused.
    ASSERT_TRUE(WaitFor([&] { return a.Running() == 0 && b.Running() == 0; }));
    a.Stop();
    b.Stop();
    std::map<int, int> all = a.Results();
    for (const auto& [code, count] : b.Results()) all[code] += count;
    EXPECT_EQ(all, (std::map<int, int>{{JexGateway::REJECTED, 6}, {JexGateway::WEEDS, 1}}));
}

TEST_F(GatewayConnection, ChainOfRedirectsEndsAtTheRedirectLimit) {
    GatewayNode a("ra", "na", MapFile("a.map", ""));
    GatewayNode b("rb", "nb", MapFile("b.map", ""));
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    MapFile("a.map", RouteEntry("srv", b.Address(), 1, "F"));
    MapFile("b.map", RouteEntry("srv", a.Address(), 1, "F"));
    Client client(MapFile("client.map", RouteEntry("srv", a.Address())));
    EXPECT_EQ(client.Connect("srv", "snode", "echo"), JexGateway::TULIPS);
    EXPECT_EQ(Attr(client.g, JexGateway::STATE), "ERROR");
    EXPECT_EQ(client.g.Transport(1), nullptr);
    ASSERT_TRUE(WaitFor([&] { return a.Running() == 0 && b.Running() == 0; }));
    a.Stop();
    b.Stop();
    std::map<int, int> all = a.Results();
    for (const auto& [code, count] : b.Results()) all[code] += count;
    EXPECT_EQ(all, (std::map<int, int>{{JexGateway::REDIRECTED, 5}}));
}

// Many connections at once through one relaying node, each with its own
// data; the relay's two threads per connection share nothing else.
TEST_F(GatewayConnection, ManyConnectionsAtOnceThroughOneRelay) {
    constexpr int kClients = 24;
    constexpr int kRounds = 12;
    GatewayNode server("srv", "snode", MapFile("server.map", ""));
    GatewayNode relay("r1", "n1", MapFile("relay.map", ""));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(relay.Start());
    MapFile("relay.map", RouteEntry("srv", server.Address()));
    const std::string clientMap = MapFile("client.map", RouteEntry("srv", relay.Address()));

    std::vector<int> failures(kClients, 0);
    std::vector<std::unique_ptr<std::thread>> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.push_back(std::make_unique<std::thread>([&, i] {
            Client client(clientMap);
            if (client.Connect("srv", "snode", "echo") != 0) {
                failures[static_cast<size_t>(i)] = 1;
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const std::string sent = std::to_string(i) + ":" + Payload(round * 997 + i);
                JexBuffer back;
                if (client.g.PutMsg(Bytes(sent)) != 0 || client.g.GetMsg(back) != 0 ||
                    std::string(back.Data(), static_cast<size_t>(back.Length())) != sent) {
                    failures[static_cast<size_t>(i)] = 2;
                    return;
                }
            }
            if (client.g.Disconnect() != 0) failures[static_cast<size_t>(i)] = 3;
        }));
    }
    for (auto& t : threads) t->join();
    EXPECT_EQ(failures, std::vector<int>(kClients, 0));
    ASSERT_TRUE(WaitFor([&] { return relay.Running() == 0 && server.Running() == 0; }));
    relay.Stop();
    server.Stop();
    EXPECT_EQ(relay.Results(), (std::map<int, int>{{JexGateway::FORWARDED, kClients}}));
    EXPECT_EQ(server.EchoesFinished(), kClients);
}

}  // namespace
