// Resident memory of a relay node holding idle relayed connections, each after one large DATA
// record, beside the same node before any connection.
//
// Usage: RelayMemory_bench [CONNECTIONS [RECORD_BYTES]]   (100 and 1 MiB by default)
// The relay runs in a child process of its own, so that only its memory is
// measured; the echo node and the clients run here. Prints the relay's
// resident size before and after, and the difference per connection.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/GatewayNode.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::GatewayNode;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr int kWaitMs = 30000;  // bound of every wait on the other process

// A line from fd within kWaitMs; empty when none came.
std::string ReadLine(int fd) {
    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char c = 0;
        if (::read(fd, &c, 1) != 1) return "";
        if (c == '\n') return line;
        line += c;
    }
}

bool WriteLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// Resident kilobytes of a process, 0 when unknown.
long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
    }
    return 0;
}

// The relay process: reads the route map's path, starts the relay node,
// writes its address and waits until the parent closes its pipe.
int RunRelay(int in, int out) {
    const std::string map = ReadLine(in);
    if (map.empty()) return 2;
    GatewayNode relay("r0", "n", map);
    relay.SetMaxConnections(1000);
    if (!relay.Start()) return 3;
    WriteLine(out, relay.Address());
    // Ends when the parent closes the pipe (or after a bound, should it hang).
    pollfd p{in, POLLIN, 0};
    ::poll(&p, 1, 10 * kWaitMs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    const int connections = argc > 1 ? std::atoi(argv[1]) : 100;
    const int record = argc > 2 ? std::atoi(argv[2]) : 1 << 20;
    if (connections <= 0 || record < 0) {
        std::fprintf(stderr, "usage: %s [CONNECTIONS [RECORD_BYTES]]\n", argv[0]);
        return 2;
    }
    int down[2];
    int up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) return 1;
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::close(down[1]);
        ::close(up[0]);
        ::_exit(RunRelay(down[0], up[1]));
    }
    ::close(down[0]);
    ::close(up[1]);

    int status = 1;
    {
        TempDir dir("relaymem");
        WriteFile(dir.Path() / "srv.map", "");
        GatewayNode echo("srv", "snode", (dir.Path() / "srv.map").string());
        echo.SetMaxConnections(1000);
        std::string relay_address;
        if (echo.Start()) {
            WriteFile(dir.Path() / "r0.map", "srv\t" + echo.Address() + "\n");
            WriteLine(down[1], (dir.Path() / "r0.map").string());
            relay_address = ReadLine(up[0]);
        }
        if (relay_address.empty()) {
            std::fprintf(stderr, "RelayMemory_bench: the relay did not start\n");
        } else {
            WriteFile(dir.Path() / "client.map", "srv\t" + relay_address + "\n");
            // Let the relay settle before the first measurement.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const long before = ResidentKb(child);
            std::vector<std::unique_ptr<JexGateway>> clients;
            JexBuffer out{JexBufferBase(record)};
            int done = 0;
            for (int i = 0; i < connections; ++i) {
                auto client = std::make_unique<JexGateway>();
                client->SetSuppress(1);
                client->SetReadTimeout(30);
                client->SetAttr(JexGateway::ACID, "cli");
                client->SetAttr(JexGateway::NODE, "cnode");
                client->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "client.map").c_str());
                JexBuffer in;
                if (client->Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                    JexString("echo")) != 0 ||
                    client->PutMsg(out) != 0 || client->GetMsg(in) != 0 || in.Length() != record)
                    break;
                clients.push_back(std::move(client));
                ++done;
            }
            const long after = ResidentKb(child);
            std::printf("relay resident before:  %8.1f MB\n", static_cast<double>(before) / 1024.0);
            std::printf(
                "relay resident after %d idle relayed connections of one %d-byte record "
                "each: %8.1f MB\n",
                done, record, static_cast<double>(after) / 1024.0);
            if (done > 0)
                std::printf("per connection: %.1f KiB\n",
                            static_cast<double>(after - before) / done);
            // The goal is set for the default run: 100 connections of 1 MiB each.
            constexpr double kGoalMb = 60;
            if (connections == 100 && record == 1 << 20)
                std::printf("goal <= %.0f MB resident after them, %s\n", kGoalMb,
                            static_cast<double>(after) / 1024.0 <= kGoalMb ? "met" : "not met");
            status = done == connections ? 0 : 1;
            if (done != connections)
                std::fprintf(stderr, "RelayMemory_bench: only %d connections stood\n", done);
            for (auto& client : clients) client->Disconnect();
        }
        ::close(down[1]);
    }
    // The relay ends once its pipe closed; bounded, then ended by force.
    for (int waited = 0;; waited += 50) {
        int child_status = 0;
        if (::waitpid(child, &child_status, WNOHANG) == child) break;
        if (waited >= kWaitMs) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &child_status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(up[0]);
    return status;
}
