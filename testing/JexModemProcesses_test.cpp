// Modem connections across processes: the fake daemon, a server and this test as the caller.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/session/JexSession.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/ModemDbTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ModemDbFiles;
using tavro::testing::ReadFile;
using tavro::testing::TempDir;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;

// A peer process: its standard input keeps it going (a daemon stops when
// it ends), its standard output says what it did, one line a step.
class Peer : public tavro::testing::PipedChild {
public:
    explicit Peer(std::vector<std::string> args) : PipedChild(WithProgram(std::move(args))) {}

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args) {
        args.insert(args.begin(), FAKE_MODEM_PEER);
        return args;
    }
};

class ModemProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.CRResponseWait", 10));
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.DRResponseWait", 5));
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.HeartbeatInterval", 1));
    }
    bool Registered(const std::string& name) {
        return WaitFor([&] { return ReadFile(files_.Servers()).find(name) != std::string::npos; });
    }
    // Whether the server file holds no live record.
    bool NoServers() {
        const std::string text = ReadFile(files_.Servers());
        return text.find_first_not_of(" \n") == std::string::npos;
    }

    ChildGuard guard_;
    ModemDbFiles files_;
};

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

JexBuffer Buffer(const std::string& s) {
    JexBuffer b;
    b.SetLength(static_cast<int>(s.size()));
    if (!s.empty()) std::memcpy(b.Data(), s.data(), s.size());
    return b;
}

TEST_F(ModemProcesses, ConnectAndListenAcrossThreeProcesses) {
    Peer daemon({"daemon", "line1"});
    ASSERT_EQ(daemon.ReadLine().rfind("ready ", 0), 0u);
    Peer server({"echo", "echoapp"});
    ASSERT_TRUE(Registered("echoapp"));
    {
        JexModemAPI client;
        ASSERT_EQ(client.Connect("M/pots.support/echoapp", 0), 0) << client.FormattedText(1).Text();
        EXPECT_EQ(server.ReadLine(), "connected 0");
        std::string big(60 * 1024, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
        for (const std::string& data : {std::string(), std::string("1"), big}) {
            JexBuffer out = Buffer(data);
            ASSERT_EQ(client.PutMsg(out, 0), 0);
            JexBuffer in;
            ASSERT_EQ(client.GetMsg(in, 1, 20), 0) << client.FormattedText(1).Text();
            EXPECT_EQ(Bytes(in), data);
        }
        // Heartbeats keep the quiet link up past three intervals.
        std::this_thread::sleep_for(std::chrono::milliseconds(4000));
        EXPECT_GE(client.HeartbeatCount(), 2);
        JexBuffer out = Buffer("after the quiet");
        ASSERT_EQ(client.PutMsg(out, 0), 0);
        JexBuffer in;
        ASSERT_EQ(client.GetMsg(in, 1, 20), 0) << client.FormattedText(1).Text();
        EXPECT_EQ(Bytes(in), "after the quiet");
        EXPECT_EQ(client.Disconnect(), 0);
    }
    EXPECT_EQ(server.ReadLine(), "ended 82");
    EXPECT_EQ(server.ReadLine(), "disconnect 0");
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_TRUE(NoServers());
    EXPECT_NE(ReadFile(files_.Lines()).find("line1"), std::string::npos);
    daemon.CloseInput();
    EXPECT_EQ(daemon.ReadLine(), "stopped");
    EXPECT_EQ(daemon.Wait(), 0);
}

TEST_F(ModemProcesses, ASessionConnectsThroughAnMRouteEntry) {
    TempDir dir("modem-session");
    const std::string routeMap = (dir.Path() / "route.map").string();
    WriteFile(routeMap,
              tavro::testing::RouteEntry("srv/snode/Jex_Test", "M/pots.support/Jex_Test", 1));
    // Both sides find their keys here (the server inherits the variable).
    TempDir keys("modem-keys");
    for (const char* file : {"NULL-CLI-SRV", "NULL-SRV-CLI"})
        WriteFile(keys.Path() / file, "unused\n");
    ::setenv("JEXCRYPTO_PATH", keys.Path().c_str(), 1);
    Peer daemon({"daemon", "line1"});
    ASSERT_EQ(daemon.ReadLine().rfind("ready ", 0), 0u);
    // The route map dials the address in lower case, and a modem server
    // answers only for its exact name.
    Peer server({"session", "Jex_Test", "jex_test"});
    ASSERT_TRUE(Registered("jex_test"));
    {
        JexSession c;
        c.SetSuppress(1);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_ACID, "cli"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::SRC_NODE, "cnode"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::ROUTE_MAP, routeMap.c_str()), 0);
        ASSERT_EQ(c.SetAttr(JexSession::READ_TIMEOUT, 20), 0);
        ASSERT_EQ(c.SetAttr(JexSession::AUTHENTICATION, "NOAUTH"), 0);
        ASSERT_EQ(c.SetAttr(JexSession::COMPRESSION, "NOCOMP"), 0);
        JexBuffer reply;
        ASSERT_EQ(c.Connect("Jex_Test", "srv", "snode", Buffer("hello"), reply), 0)
            << c.Describe(1).Text();
        EXPECT_EQ(Bytes(reply), "welcome");
        EXPECT_EQ(server.ReadLine(), "listened 0 hello");
        EXPECT_EQ(server.ReadLine(), "accepted 0");
        for (const std::string& text : {std::string("one"), std::string(3000, 'z')}) {
            ASSERT_EQ(c.PutMsg(Buffer(text), 0), 0) << c.Describe(1).Text();
            JexBuffer in;
            ASSERT_EQ(c.GetMsg(in, 0), 0) << c.Describe(1).Text();
            EXPECT_EQ(Bytes(in), "echo:" + text);
        }
        EXPECT_EQ(c.Disconnect(), 0) << c.Describe(1).Text();
    }
    EXPECT_EQ(server.ReadLine().rfind("ended ", 0), 0u);
    EXPECT_EQ(server.ReadLine().rfind("disconnect ", 0), 0u);
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_TRUE(NoServers());
    EXPECT_NE(ReadFile(files_.Lines()).find("line1"), std::string::npos);
    daemon.CloseInput();
    EXPECT_EQ(daemon.Wait(), 0);
}

// The director's library keeps the modem connection and installs it as the
// modem endpoint's client through its set-up: the set-up's reference is
// what keeps the connection in the statically linked library.
TEST(JexLinkApiModem, TheLibraryCarriesTheModemClient) {
    const auto result = tavro::testing::RunChild({"/usr/bin/nm", "-C", JEXLINKAPI});
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    for (const char* symbol :
         {"JexLinkSetUp()", "JexModemAPI::NewClient()", "JexModemAPI::Connect(char const*, int)",
          "JexModemAPI::Listen(char const*)", "JexModemAPI::commbox_listener_task()"})
        EXPECT_NE(result.output.find(symbol), std::string::npos) << symbol;
}

}  // namespace
