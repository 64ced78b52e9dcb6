// Fuzz target: server database files of arbitrary bytes under every reading and rewriting
// operation.
//
// Reaches: server database files of any bytes: finding, the dump, reservation and its release,
// registration by this process, records of live and dead processes.
// Cannot reach: the lock between processes (one process), the servers the records name.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/ModemDbFuzzFiles.h"
#include "jexlink/modem/JexModemServDb.h"

namespace {

using fuzz_support::Check;

constexpr size_t kSize = JexModemServDb::kRecordSize;

// A record as this library writes it: blanks and line feed in their columns.
bool WellFormed(const std::string& bytes, size_t at) {
    for (size_t column : {16u, 25u, 27u, 36u, 45u, 50u})
        if (bytes[at + column] != ' ') return false;
    return bytes[at + kSize - 1] == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * kSize) return 0;
    const std::string& path = fuzz_support::ModemDbFile("File.Modem.VSDB", "servers.dat");
    fuzz_support::WriteWhole(path, data, size);
    const std::string before(reinterpret_cast<const char*>(data), size);
    FILE* sink = std::fopen("/dev/null", "w");

    std::string first;
    {
        JexModemServDb finder;
        Check(std::strcmp(finder.Path().Text(), path.c_str()) == 0);
        first = fuzz_support::BrowseAll(finder, JexModemServDb::SERVER_NAME, size / kSize,
                                        [](JexModemServDb& found) {
                                            int32_t ref = -1;
                                            found.GetAttr(JexModemServDb::SRC_REF_ID, ref);
                                            Check(ref >= 0 && ref <= 0xffff);
                                        });
        JexModemServDb dump;
        dump.Dump(nullptr, sink);
    }
    {
        JexModemServDb daemon;
        if (daemon.Reserve(first.c_str(), 4242) == JexModemServDb::OK) daemon.Unreserve();
        JexModemServDb owner;
        if (owner.Register("fuzzsrv", "fuzzbox", getpid()) == JexModemServDb::OK) {
            owner.SetAttr(JexModemServDb::STATE, 3);
            owner.SetAttr(JexModemServDb::DST_REF_ID, 0xffff);
            Check(owner.Update() == JexModemServDb::OK);
            Check(owner.Remove() == JexModemServDb::OK);
        }
        JexModemServDb purger;
        purger.Purge();
    }
    std::fclose(sink);

    // Nothing is written into a damaged file; otherwise every record that
    // changed is free or well formed, in its place.
    const std::string after = fuzz_support::ReadWhole(path);
    if (!fuzz_support::KeptWholeRecords(before, after, kSize)) return 0;
    const std::string freeRecord = std::string(kSize - 1, ' ') + "\n";
    for (size_t at = 0; at < after.size(); at += kSize) {
        if (at < before.size() && after.compare(at, kSize, before, at, kSize) == 0) continue;
        Check(after.compare(at, kSize, freeRecord) == 0 || WellFormed(after, at));
    }
    return 0;
}
