// Fuzz support: the conversation a client and a server session hold over a memory link, shared
// by the session fuzz target, its seed recorder and their tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fuzz/MessagesFuzzState.h"
#include "fuzz/ScratchDir.h"
#include "jexlink/session/JexSession.h"
#include "testing/support/SessionMemoryLink.h"

namespace fuzz_support {

constexpr const char* kSessionApp = "Jex_Fuzz";

// Byte 0 of an input: which end runs and how it is set.
struct SessionCase {
    bool client = false;                      // bit 0: the client (else the server)
    int authentication = JexSession::NOAUTH;  // bits 1-2: NULL, MD5, PASSWORD, MD5
    bool nodeAuth = false;                    //   (3: MD5 signed for the nodes too)
    int compression = JexSession::NOCOMP;     // bit 3: LZW
    bool crc = true;                          // bit 4 clear
    bool reject = false;                      // bit 5: the server rejects the session
    bool synchronous = false;                 // bit 6: the client's data waits for its ack
    bool exchange = false;                    // bit 7: the gateways' connection exchange first

    static SessionCase Of(uint8_t b) {
        static constexpr int kMethods[4] = {JexSession::NOAUTH, JexSession::MD5,
                                            JexSession::PASSWORD, JexSession::MD5};
        SessionCase c;
        c.client = (b & 1) != 0;
        c.authentication = kMethods[(b >> 1) & 3];
        c.nodeAuth = ((b >> 1) & 3) == 3;
        c.compression = (b & 8) ? JexSession::LZW : JexSession::NOCOMP;
        c.crc = (b & 16) == 0;
        c.reject = (b & 32) != 0;
        c.synchronous = (b & 64) != 0;
        c.exchange = (b & 128) != 0;
        return c;
    }
};

// The route maps, as each input starts with them. Routes the answering
// gateway may take for a CONNECT not meant for it: an address of no known
// type, a relay that cannot connect (port 1), a redirect and a route back.
// The calling gateway's routes to the server: two, so that a route that
// fails is followed by the next (both lead to the same memory link).
inline constexpr const char* kServerRouteMap =
    "far\tZ/nowhere\t1\n"
    "far/*/app\tT/127.0.0.1/1\t2\tXL\n"
    "redir\tT/127.0.0.1/1\t1\tF\n"
    "back\tT/127.0.0.1/1\t1\tR\n";
inline constexpr const char* kClientRouteMap =
    "srv/snode\tT/127.0.0.1/1\t1\n"
    "srv\tT/127.0.0.1/2\t2\n";

// The route maps in dir, held open: a gateway appends to a map in place,
// so a descriptor held on it tells its size without a look-up of its path.
struct RouteMapFile {
    const char* name;
    const char* text;
    std::string path;
    int fd = -1;
};
inline RouteMapFile* RouteMapFiles(const std::string& dir) {
    static RouteMapFile maps[] = {{"/route.map", kServerRouteMap, {}, -1},
                                  {"/client.map", kClientRouteMap, {}, -1}};
    static std::string held;
    if (dir != held) {
        for (RouteMapFile& map : maps) {
            if (map.fd >= 0) ::close(map.fd);
            map.fd = -1;
            map.path = dir + map.name;
        }
        held = dir;
    }
    return maps;
}

// Writes a route map again when a gateway appended learned routes to it (or
// always), so that no input sees another's. A map replaced under its name
// (the held file has no name left) is opened again.
inline void RestoreRouteMap(RouteMapFile& map, bool always) {
    struct stat st {};
    const bool named = map.fd >= 0 && ::fstat(map.fd, &st) == 0 && st.st_nlink > 0;
    if (named && !always && static_cast<size_t>(st.st_size) == std::strlen(map.text)) return;
    std::ofstream(map.path, std::ios::trunc) << map.text;
    if (!named) {
        if (map.fd >= 0) ::close(map.fd);
        map.fd = ::open(map.path.c_str(), O_RDONLY | O_CLOEXEC);
    }
}

// Both maps, as each input starts with them.
inline void RestoreRouteMaps(const std::string& dir, bool always = false) {
    RouteMapFile* maps = RouteMapFiles(dir);
    RestoreRouteMap(maps[0], always);
    RestoreRouteMap(maps[1], always);
}

// Key files for every method and both directions, the route maps and
// a private platform state: made once per process, removed at its end
// (also by exit(), as libFuzzer ends its runs).
// Returns the directory.
inline const std::string& UseSessionKeys() {
    static std::string dir;
    if (!dir.empty()) return dir;
    UsePrivateState();
    dir = fuzz_support::MakeScratchDir("tavro-session-keys");
    for (const char* name :
         {"NULL-CLI-SRV", "NULL-SRV-CLI", "MD5-CLI-SRV", "MD5-SRV-CLI", "PASSWORD-CLI-SRV",
          "PASSWORD-SRV-CLI", "MD5-CLI-CNODE-SRV-SNODE", "MD5-SRV-SNODE-CLI-CNODE"})
        std::ofstream(dir + "/" + name) << "fuzz key\n";
    RestoreRouteMaps(dir, true);
    setenv("JEXCRYPTO_PATH", dir.c_str(), 1);
    unsetenv("JEXSESSION_TEST");
    unsetenv("JEXSESSION_TRACE");
    unsetenv("JEXSESSION_VERSION");
    return dir;
}

// The path of one end over memory pipes.
inline tavro::testing::MemoryPath PathOf(const SessionCase& how, tavro::testing::MemoryPipe* in,
                                         tavro::testing::MemoryPipe* out) {
    tavro::testing::MemoryPath path;
    path.in = in;
    path.out = out;
    path.server = !how.client;
    path.exchange = how.exchange;
    path.routeMap = UseSessionKeys() + "/route.map";
    path.callerRouteMap = UseSessionKeys() + "/client.map";
    path.application = kSessionApp;
    return path;
}

// The challenges of both ends: always the same, so that a recorded
// conversation replays against one end alone.
inline void* FixedChallenge(void* out) {
    std::memset(out, 0x5A, 16);
    return out;
}

// The client's side: connect, send one message, read the answer, end.
// True when the whole conversation ran (for a rejected session: the
// rejection arrived).
inline bool RunClient(JexSession& c, const SessionCase& how) {
    c.SetSuppress(1);
    c.SetChallengeSource(FixedChallenge);
    c.SetAttr(JexSession::SRC_ACID, "cli");
    c.SetAttr(JexSession::SRC_NODE, "cnode");
    c.SetAttr(JexSession::DST_NODE, "snode");
    c.SetAttr(JexSession::READ_TIMEOUT, 0);
    c.SetAttr(JexSession::AUTHENTICATION, how.authentication);
    c.SetAttr(JexSession::NODE_AUTH, how.nodeAuth ? 1 : 0);
    c.SetAttr(JexSession::COMPRESSION, how.compression);
    c.SetAttr(JexSession::CRC, how.crc ? 1 : 0);
    JexBuffer reply;
    const int connected = c.Connect(kSessionApp, "srv", "snode", JexBuffer("hello"), reply);
    if (connected != 0) return how.reject && connected == JexSession::REJECT;
    if (c.PutMsg(JexBuffer("data from the client"),
                 how.synchronous ? JexSession::kSynchronous : 0) != 0)
        return false;
    JexBuffer in;
    if (c.GetMsg(in, 0) != 0) return false;
    return c.Disconnect() == 0;
}

// The server's side: take the session (or reject it), answer each
// message, end when the client does.
inline bool RunServer(JexSession& s, const SessionCase& how) {
    s.SetSuppress(1);
    s.SetChallengeSource(FixedChallenge);
    s.SetAttr(JexSession::DST_NODE, "snode");
    s.SetAttr(JexSession::READ_TIMEOUT, 0);
    s.SetAttr(JexSession::CRC, how.crc ? 1 : 0);
    JexBuffer in;
    if (s.Listen(kSessionApp, "srv", in) != 0) return false;
    if (how.reject) return s.Reject(JexBuffer("not now")) == 0;
    if (s.Accept(JexBuffer("welcome")) != 0) return false;
    while (s.GetMsg(in, 0) == 0) {
        if (s.PutMsg(JexBuffer("data from the server"), 0) != 0) return false;
    }
    return s.State() == JexSession::SN && s.Disconnect() == 0;
}

// Runs one end over the path, whose input pipe holds what the peer said.
inline bool RunOver(const SessionCase& how, tavro::testing::MemoryPath& path) {
    bool ran = false;
    {
        JexSession session;
        session.SetPathOpener(tavro::testing::OpenMemoryPath, &path);
        ran = how.client ? RunClient(session, how) : RunServer(session, how);
    }
    // Only the gateways' connection exchange reads a route map and learns
    // routes into it: the answering gateway the server's, the calling one
    // the client's.
    if (how.exchange) RestoreRouteMap(RouteMapFiles(UseSessionKeys())[how.client ? 1 : 0], false);
    return ran;
}

// Runs one end over a memory link whose peer already said `records`;
// what the end says is dropped (or kept in `out`).
inline bool RunEnd(const SessionCase& how, const std::vector<tavro::testing::LinkRecord>& records,
                   tavro::testing::MemoryPipe* out = nullptr) {
    tavro::testing::MemoryPipe in;
    tavro::testing::WriteRecords(in, records);
    tavro::testing::MemoryPath path = PathOf(how, &in, out);
    return RunOver(how, path);
}

// Both ends, each on a thread of its own, over blocking memory pipes.
struct Conversation {
    bool clientDone = false;
    bool serverDone = false;
    std::string clientStream;  // the bytes each end wrote
    std::string serverStream;
    std::vector<tavro::testing::LinkRecord> clientSaid;  // and their records
    std::vector<tavro::testing::LinkRecord> serverSaid;
};

inline Conversation Converse(SessionCase how) {
    tavro::testing::MemoryPipe toServer(true), toClient(true);
    Conversation talk;
    std::thread server([&] {
        SessionCase end = how;
        end.client = false;
        tavro::testing::MemoryPath path = PathOf(end, &toServer, &toClient);
        JexSession s;
        s.SetPathOpener(tavro::testing::OpenMemoryPath, &path);
        talk.serverDone = RunServer(s, end);
        toClient.Close();
    });
    {
        SessionCase end = how;
        end.client = true;
        tavro::testing::MemoryPath path = PathOf(end, &toClient, &toServer);
        JexSession c;
        c.SetPathOpener(tavro::testing::OpenMemoryPath, &path);
        talk.clientDone = RunClient(c, end);
    }
    toServer.Close();
    server.join();
    talk.clientStream = toServer.Bytes();
    talk.serverStream = toClient.Bytes();
    talk.clientSaid = tavro::testing::RecordsOfStream(talk.clientStream);
    talk.serverSaid = tavro::testing::RecordsOfStream(talk.serverStream);
    return talk;
}

// The conversations recorded as seeds (and replayed by the tests), by the
// case byte of their server end.
struct RecordedCase {
    const char* name;
    uint8_t byte;
};
inline constexpr RecordedCase kRecordedCases[] = {
    {"null", 0x00},          {"md5", 0x02},         {"md5-lzw", 0x0A},
    {"null-lzw-sync", 0x48}, {"md5-reject", 0x22},  {"password-nocrc", 0x14},
    {"md5-nodes", 0x06},     {"md5-gateway", 0x82}, {"null-lzw-gateway", 0x88},
};

// An input: the case byte, then each record as a 16-bit little-endian
// length (bit 15 set: a whole gateway record, else a session message) and
// its bytes.
inline std::string InputOf(uint8_t caseByte,
                           const std::vector<tavro::testing::LinkRecord>& records) {
    std::string input(1, static_cast<char>(caseByte));
    for (const auto& r : records) {
        const size_t n = r.bytes.size() & 0x7FFF;
        input += static_cast<char>(n & 0xFF);
        input += static_cast<char>(((n >> 8) & 0x7F) | (r.raw ? 0x80 : 0));
        input.append(r.bytes, 0, n);
    }
    return input;
}

// The records of an input (after its case byte), framed as the peer's
// gateway sends them, appended to stream: at most 64, the last cut short
// where the input ends.
inline void FramesOfInput(const uint8_t* data, size_t size, std::string& stream) {
    size_t at = 0;
    for (int records = 0; at + 2 <= size && records < 64; ++records) {
        const size_t head = data[at] | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        const size_t n = std::min(head & 0x7FFF, size - at);
        tavro::testing::AppendFrame(stream, (head & 0x8000) != 0,
                                    reinterpret_cast<const char*>(data + at), n);
        at += n;
    }
}

// Runs the end an input (case byte and records, at least the byte) picks
// against its records: the fuzz target's run. The link beneath is made once
// per process and only refilled for each input, so that an input costs the
// session's work and little else.
inline bool RunInput(const uint8_t* data, size_t size) {
    static tavro::testing::MemoryPipe in;
    static tavro::testing::MemoryEndpointSpare spare;
    static tavro::testing::MemoryPath path = [] {
        tavro::testing::MemoryPath p = PathOf(SessionCase{}, &in, nullptr);
        p.spare = &spare;
        return p;
    }();
    static std::string stream;
    const SessionCase how = SessionCase::Of(data[0]);
    stream.clear();
    FramesOfInput(data + 1, size - 1, stream);
    in.Reset(stream.data(), stream.size());
    path.server = !how.client;
    path.exchange = how.exchange;
    return RunOver(how, path);
}

}  // namespace fuzz_support
