// Fuzz target: the registry layer's decoders (multi-string blocks, record texts, expandable texts).
//
// Reaches: multi-string blocks, registry record texts and their write-back, expandable texts with
// environment references.
// Cannot reach: the registry store itself (SQLite) and other processes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jexlink/core/JexRegistryKey.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool SameRecord(const JexRegistryKey::Record& a, const JexRegistryKey::Record& b) {
    return std::memcmp(a.numbers, b.numbers, sizeof a.numbers) == 0 &&
           std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0 && a.text == b.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const char* bytes = reinterpret_cast<const char*>(data);

    // A multi-string block: every element comes from inside the block.
    std::vector<std::string> elements;
    JexRegistryKey::SplitMultiString(bytes, size, elements);
    size_t total = 0;
    for (const std::string& e : elements) {
        Check(!e.empty() && e.find('\0') == std::string::npos);
        total += e.size() + 1;
    }
    Check(total <= size + 1);

    const std::string text(bytes, size);

    // A record text that reads back writes the same record again.
    JexRegistryKey reg;
    if (reg.RecordFromText(text.c_str())) {
        const JexRegistryKey::Record first = reg.GetRecord();
        const std::string written = reg.RecordToText(first);
        Check(reg.RecordFromText(written.c_str()));
        Check(SameRecord(reg.GetRecord(), first));
    }

    // An expandable text without "%" stays as it is.
    setenv("JEXFUZZ", "value", 0);
    JexString expanded = JexExpandEnvironmentText(text.c_str());
    if (text.find('%') == std::string::npos) Check(std::strcmp(expanded.Text(), text.c_str()) == 0);
    return 0;
}
