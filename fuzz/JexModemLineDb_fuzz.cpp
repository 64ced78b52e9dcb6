// Fuzz target: line database files of arbitrary bytes under every reading and rewriting operation.
//
// Reaches: line database files of any bytes: browsing, fetching and removing, the dump, neighbours,
// reservation in sequential and random order with lines skipped, registration, update and removal.
// Cannot reach: the lock between processes (one process), the modem daemon that uses the lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/ModemDbFuzzFiles.h"
#include "jexlink/modem/JexModemLineDb.h"

namespace {

using fuzz_support::Check;

constexpr size_t kSize = JexModemLineDb::kRecordSize;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * kSize) return 0;
    const std::string& path = fuzz_support::ModemDbFile("File.Modem.VLDB", "lines.dat");
    fuzz_support::WriteWhole(path, data, size);
    const std::string before(reinterpret_cast<const char*>(data), size);
    FILE* sink = std::fopen("/dev/null", "w");

    // Browse: every delivery, then remove the last one delivered.
    std::string first;
    {
        JexModemLineDb browse;
        Check(std::strcmp(browse.Path().Text(), path.c_str()) == 0);
        first = fuzz_support::BrowseAll(browse, JexModemLineDb::LINE_NAME, size / kSize,
                                        [](JexModemLineDb&) {});
        const int fetched = browse.Fetch(0);
        Check(fetched == 0);
        if (!first.empty()) browse.Remove();
    }
    {
        JexModemLineDb dump;
        dump.Dump(nullptr, sink);
        JexModemLineDb neighbor;
        neighbor.Neighbor(first.c_str());
        JexModemLineDb reserve;
        uint16_t draw = static_cast<uint16_t>(size * 7919u);
        reserve.SetRandomSource([&] { return draw = static_cast<uint16_t>(draw * 75u + 74u); });
        fuzz_support::SetSetting("Modem.LookupSequence", size % 2 ? "RANDOM" : "Sequential");
        JexFieldedString skip(',');
        skip[0] = first.c_str();
        const int code =
            reserve.Reserve("dest", static_cast<int32_t>(size % 3) * 4800, "*", 1, skip);
        Check(code == JexModemLineDb::OK || code == JexModemLineDb::NOMATCH);
    }
    // A registration, updated and removed again.
    {
        JexModemLineDb owner;
        owner.SetAttr(JexModemLineDb::NODE, "fuzz.node");
        if (owner.Register("fuzzline", 77) == JexModemLineDb::OK) {
            owner.SetAttr(JexModemLineDb::STATE, 4);
            owner.SetAttr(JexModemLineDb::SPEED, 99999999);
            Check(owner.Update() == JexModemLineDb::OK);
            Check(owner.Remove() == JexModemLineDb::OK);
        }
    }
    std::fclose(sink);

    // Nothing is written into a damaged file. Otherwise records keep their
    // places; at most one live record became a removed one, removed records
    // may have been reused and blanked again, and a registration may have
    // left one removed record at the end.
    const std::string after = fuzz_support::ReadWhole(path);
    if (!fuzz_support::KeptWholeRecords(before, after, kSize)) return 0;
    const std::string removed = std::string(kSize - 1, ' ') + "\n";
    int blanked = 0;
    for (size_t at = 0; at < before.size(); at += kSize) {
        if (after.compare(at, kSize, before, at, kSize) == 0) continue;
        Check(after.compare(at, kSize, removed) == 0);
        // A record that already read as removed may be reused and blanked.
        if (before[at] != ' ') ++blanked;
    }
    Check(blanked <= 1);
    if (after.size() > before.size()) Check(after.compare(before.size(), kSize, removed) == 0);
    return 0;
}
