// Fuzz target: arbitrary records fed to a server session in each of its waiting states.
//
// Input: byte 0 picks the state the server waits in when the records arrive
// (0 the start, 1 the client's information after a valid start, 2 data in
// RUN, 3 the acknowledgement of a synchronous send, 4 the peer's shutdown in
// Disconnect); the rest is a run of records, each a 16-bit little-endian
// length and that many bytes, delivered as the session's messages. The
// client then closes, so every wait of the server ends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexGateway.h"
#include "platform/PlatformState.h"
#include "testing/support/SessionServer.h"

namespace {

constexpr const char* kApp = "Jex_Fuzz";

struct Setup {
    std::string dir;
    std::string routeMap;
    tavro::testing::SessionServer server;

    Setup() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "session-fuzz-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (!made) std::abort();
        dir = made;
        setenv(platform::kStateDirVar, (dir + "/state").c_str(), 1);
        mkdir((dir + "/state").c_str(), 0700);
        setenv("JEXCRYPTO_PATH", dir.c_str(), 1);
        unsetenv("JEXSESSION_TEST");
        unsetenv("JEXSESSION_TRACE");
        std::ofstream(dir + "/MD5-CLI-SRV") << "fuzz key\n";
        routeMap = dir + "/route.map";
        std::ofstream(routeMap) << server.RouteLine("srv", "snode", kApp);
        if (!server.Listening()) std::abort();
    }
    ~Setup() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Setup& Fixture() {
    static Setup setup;
    return setup;
}

JexBuffer Bytes(const uint8_t* p, size_t n) {
    JexBuffer b;
    b.SetLength(static_cast<int>(n));
    if (n) std::memcpy(b.Data(), p, n);
    return b;
}

std::vector<JexBuffer> Records(const uint8_t* data, size_t size) {
    std::vector<JexBuffer> records;
    size_t pos = 0;
    while (pos + 2 <= size && records.size() < 64) {
        const size_t n = std::min<size_t>(data[pos] | (data[pos + 1] << 8), size - pos - 2);
        records.push_back(Bytes(data + pos + 2, n));
        pos += 2 + n;
    }
    return records;
}

void ClientAttributes(JexSession& c, const Setup& s) {
    c.SetSuppress(1);
    c.SetAttr(JexSession::SRC_ACID, "cli");
    c.SetAttr(JexSession::SRC_NODE, "cnode");
    c.SetAttr(JexSession::DST_NODE, "snode");
    c.SetAttr(JexSession::ROUTE_MAP, s.routeMap.c_str());
    c.SetAttr(JexSession::READ_TIMEOUT, 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Setup& setup = Fixture();
    const int wait = data[0] % 5;
    const std::vector<JexBuffer> records = Records(data + 1, size - 1);

    setup.server.Serve([wait](JexSession& s) {
        s.SetAttr(JexSession::DST_NODE, "snode");
        s.SetAttr(JexSession::READ_TIMEOUT, 10);
        JexBuffer in;
        if (s.Listen(kApp, "srv", in) != 0) return;
        if (s.Accept(JexBuffer("ok")) != 0) return;
        switch (wait) {
            case 3: s.PutMsg(JexBuffer("sync"), JexSession::kSynchronous); break;
            case 4: s.Disconnect(); return;
            default: break;
        }
        while (s.State() == JexSession::RUN && s.GetMsg(in, 0) == 0) {
        }
        if (s.State() == JexSession::SN) s.Disconnect();
    });

    {
        JexSession c;
        ClientAttributes(c, setup);
        JexGateway& g = c.Gateway();
        bool open = false;
        if (wait <= 1) {
            // By hand: a path to the server, then (for 1) a valid start.
            g.SetAttr(JexGateway::ACID, "cli");
            g.SetAttr(JexGateway::NODE, "cnode");
            g.SetAttr(JexGateway::ROUTE_MAP, setup.routeMap.c_str());
            JexFieldedString cli("cli", ','), srv("srv", ',');
            open = c.setup_compress(JexSession::LZW) == 0 && c.setup_expand(JexSession::LZW) == 0 &&
                   c.setup_auth(cli, srv) == 0 &&
                   g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                             JexString(kApp)) == 0;
            if (open && wait == 1) {
                JexNetMsg start;
                c.build_crstart(start, JexString("now"), JexBuffer("challenge"));
                start['A'] = JexBuffer(kApp);
                start['T'] = JexBuffer("srv");
                c.sign_msg(start);
                open = c.send_msg(start) == 0;
            }
        } else {
            JexBuffer reply;
            open = c.Connect(kApp, "srv", "snode", JexBuffer("hello"), reply) == 0;
        }
        for (size_t i = 0; open && i < records.size(); ++i) open = g.PutMsg(records[i]) == 0;
        // Leaving the scope closes the client's connection.
    }
    if (!setup.server.Join()) std::abort();  // a wait of the server that did not end
    return 0;
}
