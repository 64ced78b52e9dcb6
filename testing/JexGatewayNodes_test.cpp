// Gateway networks whose nodes are processes of their own: relays, learning, a node killed mid-way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/ProcessStatus.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ReadFile;
using tavro::testing::RouteEntry;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr int kWaitMs = 20000;

// One node process: its standard input keeps it serving, its standard
// output tells its port and, at the end, its handshake results.
class NodeProcess {
public:
    // descriptorLimit: the node's limit on open descriptors (0: inherited);
    // errors: the file its standard error goes to ("": inherited);
    // firstRecordSeconds: its bound on a caller's first record (0: the default).
    NodeProcess(const std::string& acid, const std::string& node, const std::string& routeMap,
                int descriptorLimit = 0, const std::string& errors = "", int firstRecordSeconds = 0)
        : child_(Arguments(acid, node, routeMap, firstRecordSeconds), [&errors, descriptorLimit] {
              if (!errors.empty()) {
                  const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  if (fd < 0 || ::dup2(fd, 2) < 0) return false;
              }
              if (descriptorLimit > 0) {
                  const rlimit limit{static_cast<rlim_t>(descriptorLimit),
                                     static_cast<rlim_t>(descriptorLimit)};
                  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
              }
              return true;
          }) {
        const std::string line = child_.ReadLine();
        if (line.rfind("port ", 0) == 0) port_ = std::stoi(line.substr(5));
    }

    int Port() const { return port_; }
    pid_t Pid() const { return child_.Pid(); }
    std::string Address() const { return tavro::testing::LoopbackTransportAddress(port_); }
    void Kill() const {
        if (child_.Pid() > 0) ::kill(child_.Pid(), SIGKILL);
    }

    // Ends the serving; the node's results line, or "" when it did not end
    // in time. Its exit status in status.
    std::string Finish(int& status) {
        child_.CloseInput();
        const std::string line = child_.ReadLine();
        status = child_.Wait();
        return line;
    }

private:
    static std::vector<std::string> Arguments(const std::string& acid, const std::string& node,
                                              const std::string& routeMap, int firstRecordSeconds) {
        std::vector<std::string> args = {GATEWAY_NODE, acid, node, routeMap};
        if (firstRecordSeconds > 0) args.push_back(std::to_string(firstRecordSeconds));
        return args;
    }

    tavro::testing::PipedChild child_;
    int port_ = -1;
};

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

class GatewayNodes : public ::testing::Test {
protected:
    std::string Map(const std::string& name) { return (dir.Path() / name).string(); }
    int Connect(QuietGateway& client, const std::string& firstHop) {
        WriteFile(Map("client.map"), RouteEntry("srv/snode/echo", firstHop));
        client.SetAttr(JexGateway::ACID, "cli");
        client.SetAttr(JexGateway::NODE, "cnode");
        client.SetAttr(JexGateway::ROUTE_MAP, Map("client.map").c_str());
        return client.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                              JexString("echo"));
    }

    ChildGuard guard;
    TempDir dir{"gwnodes"};
};

TEST_F(GatewayNodes, ClientReachesEchoThroughTwoRelayProcesses) {
    for (const char* name : {"srv.map", "r2.map", "r1.map"}) WriteFile(Map(name), "");
    NodeProcess server("srv", "snode", Map("srv.map"));
    NodeProcess second("r2", "n2", Map("r2.map"));
    NodeProcess first("r1", "n1", Map("r1.map"));
    ASSERT_GT(server.Port(), 0);
    ASSERT_GT(second.Port(), 0);
    ASSERT_GT(first.Port(), 0);
    WriteFile(Map("r2.map"), RouteEntry("srv/snode/*", server.Address()));
    WriteFile(Map("r1.map"), RouteEntry("srv", second.Address()));

    QuietGateway client;
    ASSERT_EQ(Connect(client, first.Address()), 0) << client.Describe(1).Text();
    JexString path;
    client.GetAttr(JexGateway::PATH, path);
    JexFieldedString entries(path, '\n');
    ASSERT_EQ(entries.Count(), 4) << path.Text();
    const char* ids[] = {"cli/cnode", "r1/n1", "r2/n2", "srv/snode"};
    for (int i = 0; i < 4; ++i) {
        JexFieldedString fields(entries.Field(i), '|');
        EXPECT_STREQ(fields.Field(0).Text(), ids[i]);
    }
    for (int size : {0, 10, 200000}) {
        JexBuffer sent{JexBufferBase(size)};
        for (int i = 0; i < size; ++i) sent[i] = static_cast<char>(i % 253);
        ASSERT_EQ(client.PutMsg(sent), 0);
        JexBuffer back;
        ASSERT_EQ(client.GetMsg(back), 0) << client.Describe(1).Text();
        EXPECT_TRUE(back == sent);
    }
    EXPECT_EQ(client.Disconnect(), 0);

    int status = -1;
    EXPECT_EQ(first.Finish(status), "results 10=1");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(second.Finish(status), "results 10=1");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(server.Finish(status), "results 0=1");
    EXPECT_EQ(status, 0);
    for (const char* name : {"srv.map", "r2.map", "r1.map"}) {
        const std::string text = ReadFile(Map(name));
        EXPECT_NE(text.find("cli/cnode/*\tt/"), std::string::npos) << name << ":\n" << text;
    }
}

TEST_F(GatewayNodes, KilledServerReachesTheClientAsTheRelaysRemoteFailure) {
    for (const char* name : {"srv.map", "r2.map", "r1.map"}) WriteFile(Map(name), "");
    NodeProcess server("srv", "snode", Map("srv.map"));
    NodeProcess second("r2", "n2", Map("r2.map"));
    NodeProcess first("r1", "n1", Map("r1.map"));
    ASSERT_GT(first.Port(), 0);
    WriteFile(Map("r2.map"), RouteEntry("srv", server.Address()));
    WriteFile(Map("r1.map"), RouteEntry("srv", second.Address()));

    QuietGateway client;
    ASSERT_EQ(Connect(client, first.Address()), 0) << client.Describe(1).Text();
    JexBuffer sent{JexBufferBase(1 << 20)};
    JexBuffer back;
    ASSERT_EQ(client.PutMsg(sent), 0);
    ASSERT_EQ(client.GetMsg(back), 0);
    // The server dies while a transfer is on its way.
    ASSERT_EQ(client.PutMsg(sent), 0);
    server.Kill();
    int rc = 0;
    for (int i = 0; i < 100 && rc == 0; ++i) {
        rc = client.GetMsg(back);
        if (rc == 0) rc = client.PutMsg(sent);
    }
    EXPECT_EQ(rc, JexGateway::REMOTEFAIL) << client.Describe(1).Text();
    EXPECT_EQ(client.Code(), JexGateway::REMOTEFAIL);
    const std::string described = client.Describe(1).Text();
    EXPECT_NE(described.find("Remote gateway failure at \"r2/n2\""), std::string::npos)
        << described;
    EXPECT_NE(described.find("Transport error"), std::string::npos) << described;

    // Both relays end their relay with the failure and every thread ends.
    int status = -1;
    EXPECT_EQ(first.Finish(status), "results 19=1");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(second.Finish(status), "results 23=1");
    EXPECT_EQ(status, 0);
}

TEST_F(GatewayNodes, ANodeOutOfDescriptorsWaitsQuietlyAndServesOnceTheyFreeUp) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's runtime needs descriptors of its own to check memory.
    GTEST_SKIP() << "not at a descriptor limit under a sanitizer";
#endif
    WriteFile(Map("srv.map"), "");
    const std::string errors = Map("node.err");
    // The silent callers are never dropped for want of a first record while
    // the test runs: one shortage only, however slowly the machine goes.
    NodeProcess server("srv", "snode", Map("srv.map"), 32, errors, 3600);
    ASSERT_GT(server.Port(), 0);
    // Silent callers until the node has no descriptor left for the next.
    std::vector<int> callers;
    for (int i = 0; i < 40; ++i) {
        callers.push_back(tavro::testing::ConnectLoopback(server.Port()));
        ASSERT_GE(callers.back(), 0);
    }
    EXPECT_TRUE(tavro::testing::WaitFor(
        [&] { return ReadFile(errors).find("retrying") != std::string::npos; }, kWaitMs))
        << ReadFile(errors);
    const long before = tavro::testing::CpuTicks(server.Pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = tavro::testing::CpuTicks(server.Pid()) - before;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.1 * seconds);
    // The shortage is reported once, not at every try. A thread the node
    // still starts may hand a descriptor back for a moment: a connection
    // taken then ends that shortage ("accepting again"), and the next one
    // is a shortage of its own.
    const std::string during = ReadFile(errors);
    EXPECT_TRUE(tavro::testing::EachShortageReportedOnce(during)) << during;

    for (int fd : callers) ::close(fd);
    QuietGateway client;
    client.SetReadTimeout(20);
    ASSERT_EQ(Connect(client, server.Address()), 0) << client.Describe(1).Text();
    EXPECT_EQ(client.Disconnect(), 0);
    int status = -1;
    server.Finish(status);
    EXPECT_EQ(status, 0);
    const std::string text = ReadFile(errors);
    EXPECT_NE(text.find("accepting again"), std::string::npos) << text;
}

}  // namespace
