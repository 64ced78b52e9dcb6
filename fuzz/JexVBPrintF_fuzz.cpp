// Fuzz target: the buffer-argument formatter under hostile templates.
//
// Reaches: the formatter over any format up to 4 KiB with numbers, texts and absent arguments,
// widths, precisions, positions and botched formats.
// Cannot reach: arguments other than the fixed table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/core/JexVBPrintF.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr char kBotched[] = "Botched JexVBPrintF format: ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    // The first byte chooses which arguments are numbers, texts or absent.
    JexBuffer args[kJexVBPrintFArgs];
    const unsigned pick = data[0];
    const int32_t numbers[] = {0, -1, 42, INT32_MIN, INT32_MAX, 65535, 1024, -1024, 7, 3};
    for (int i = 1; i < kJexVBPrintFArgs; ++i) {
        switch ((pick >> (i % 4)) % 3) {
            case 0: args[i].SetLong(numbers[i]); break;
            case 1:
                args[i] = JexBuffer(
                    std::string(static_cast<size_t>(i) * 7, static_cast<char>('a' + i)).c_str());
                break;
            default: break;  // absent
        }
    }
    const std::string format(reinterpret_cast<const char*>(data) + 1, size - 1);

    JexBuffer out;
    const int n = JexVBPrintF(out, format.c_str(), args);
    Check(out.Data() != nullptr && out.Data()[out.Length()] == 0);
    if (n < 0) {
        Check(n == -1);
        Check(std::strncmp(out.Data(), kBotched, sizeof kBotched - 1) == 0);
        return 0;
    }
    Check(n == out.Length());
    // Nine conversions of at most a capped width and precision each.
    Check(out.Length() <= static_cast<int>(format.size()) + 9 * 1100);
    return 0;
}
