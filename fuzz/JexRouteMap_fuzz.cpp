// Fuzz target: route map files of arbitrary bytes: loading, lookups, the dump, and appends read
// back.
//
// Reaches: route map files of any bytes up to 64 KiB: loading, lookups by several keys, the dump,
// appended entries read back.
// Cannot reach: the gateway's route decisions (JexGatewayHandshake_fuzz and JexSession_fuzz),
// locking between processes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ScratchDir.h"
#include "jexlink/transport/JexRouteMap.h"
#include "jexlink/transport/JexRouteMapEntry.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// One scratch file for the whole run, removed at exit.
const std::string& ScratchFile() {
    static const std::string path = fuzz_support::MakeScratchDir("tavro-routemap-fuzz") + "/map";
    return path;
}

void WriteScratch(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(ScratchFile().c_str(), "wb");
    Check(f != nullptr);
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    WriteScratch(data, size);
    const JexString name(ScratchFile().c_str());

    JexRouteMap map(name);
    map.SetSuppress(1);
    Check(map.Loaded() == 1);
    const int count = map.Count();

    // Lookups hand out each entry at most once, in lookup order.
    const char* keys[] = {"sys/node/app", "a/b/c", "", "*", "SYS/N", "x/y/z/w"};
    JexRouteEntry first;
    bool have_first = false;
    for (const char* k : keys) {
        JexFieldedString key(k, '/');
        JexRouteEntry e;
        map.Rewind();
        int hits = 0;
        while (map.GetEntry(key, e) == 0) {
            ++hits;
            if (!have_first) {
                first = e;
                have_first = true;
            }
        }
        Check(hits <= count);
        Check(map.Code() == JexRouteMap::NOENTRY);
    }
    FILE* sink = std::fopen("/dev/null", "w");
    if (sink) {
        Check(map.Dump(sink) == 0);
        std::fclose(sink);
    }

    // Every line that holds an entry writes back as a line that reads the same.
    size_t at = 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        JexRouteMapEntry entry;
        if (end - at <= JexRouteMapEntry::kMaxLine && entry.ParseLine(text.substr(at, end - at)) &&
            entry.Storable()) {
            JexRouteMapEntry back;
            Check(back.ParseLine(entry.FormatLine(text.substr(at, 64))));
            Check(back.SameAs(entry));
        }
        at = end;
    }

    // An entry found (held already, or new where its address reads back
    // differently) is added or refused; the file then holds what the map holds.
    if (have_first) {
        const int code = map.AddEntry(first, JexString("fuzz"));
        Check(code == 0 || code == JexRouteMap::WRITEFAIL);
        JexRouteMap reloaded(name);
        // An append first ends an unfinished last line, which can turn a
        // lone character there into an entry of its own.
        const bool unfinished = size > 0 && data[size - 1] != '\n';
        Check(reloaded.Count() == map.Count() ||
              (unfinished && reloaded.Count() == map.Count() + 1));
    }
    return 0;
}
