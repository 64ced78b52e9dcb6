// Fuzz target: a K2 server answering a run of requests from a hostile client.
//
// The input is a sequence of requests, each a 16-bit little-endian length
// and that many bytes (the encoded request as the session delivers it).
// Every request must get a well-formed reply of type 'R' carrying an
// error, whatever the bytes. Context requests name methods and parties
// whose names reach key-file paths; a key directory holds keys for the
// pair A/B, so signing and checking run too.
//
// Reaches: a K2 server's answers to any run of requests (context, sign, check and unknown kinds),
// key-file names from peers, signing with the fixed keys.
// Cannot reach: the K2 server's session and network (requests go straight to its serve routine).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "jexlink/session/JexK2.h"

struct JexK2TestAccess {
    static void Serving(JexK2& k2) {
        k2.routine_ = "JexK2::Server";
        k2.state_ = JexK2::IDLE_SERVER;
    }
    static int Serve(JexK2& k2, const JexBuffer& in, JexBuffer& out) {
        return k2.ServeRequest(in, out);
    }
    static void End(JexK2& k2) {
        k2.DropMethod();
        k2.state_ = JexK2::IDLE;
    }
};

namespace {

char keyDir[] = "/tmp/jexk2-fuzz-XXXXXX";

void RemoveKeys() {
    std::error_code ignored;
    std::filesystem::remove_all(keyDir, ignored);
}

// A key directory with a key for the pair A/B of every method, removed
// when the process ends.
void PrepareKeys() {
    static bool done = false;
    if (done) return;
    done = true;
    const char* dir = mkdtemp(keyDir);
    if (!dir) std::abort();
    std::atexit(RemoveKeys);
    for (const char* method : {"MD5", "NULL", "PASSWORD"}) {
        for (const char* pair : {"-A-B", "-B-A"}) {
            const std::string path = std::string(dir) + "/" + method + pair;
            FILE* f = std::fopen(path.c_str(), "w");
            if (!f) std::abort();
            std::fputs("fuzzkey\n", f);
            std::fclose(f);
        }
    }
    setenv("JEXCRYPTO_PATH", dir, 1);
    unsetenv("JEXK2_TRACE");
    unsetenv("JEXCRYPTO_K2_WHOAMI");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PrepareKeys();
    static JexK2* k2 = [] {
        auto* made = new JexK2;
        made->SetSuppress(1);
        return made;
    }();
    JexK2TestAccess::Serving(*k2);
    size_t at = 0;
    for (int requests = 0; requests < 32 && at + 2 <= size; ++requests) {
        const size_t n = std::min<size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
        at += 2;
        const JexBuffer in(data + at, static_cast<int>(n));
        at += n;
        JexBuffer out;
        JexK2TestAccess::Serve(*k2, in, out);
        JexNetMsg reply;
        reply.Decode(out);
        if (!out.Data() || reply.Corrupt() || reply.Type() != JexK2::kReply ||
            !reply[JexProtocol::kItemCodeName].Data())
            std::abort();
    }
    JexK2TestAccess::End(*k2);
    return 0;
}
