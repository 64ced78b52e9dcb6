// Fuzz target: the date-string parser under hostile texts, with the read-back of what it gives.
//
// Reaches: the date-string parser over any text up to 4 KiB, the guarded entry, and the read-back
// of every date a text can name.
// Cannot reach: time zones other than the pinned one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "jexlink/core/JexStrToTime.h"
#include "jexlink/core/JexTime.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// A zone with daylight time, so that both offsets are exercised.
const bool kZonePinned = [] {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Check(kZonePinned);
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const time_t base = 1784123130;  // Wednesday 15 July 2026, 13:45:30 UTC

    time_t parsed = 0;
    const int ok = JexStrToTimeParse(text.c_str(), &parsed, &base);
    Check(ok == 0 || ok == 1);
    if (!ok) {
        Check(parsed == -1);
        return 0;
    }
    // The guarded entry gives the same.
    time_t guarded = 0;
    Check(JexStrToTime(text.c_str(), &guarded, &base) == 1 && guarded == parsed);

    // Whatever it gives within the years a text can name reads back through
    // the mail-style text to the same second.
    struct tm local {};
    if (!localtime_r(&parsed, &local) || local.tm_year < 70 || local.tm_year > 8099) return 0;
    const JexString formatted = JexFormatTime(&parsed);
    time_t back = 0;
    Check(JexStrToTimeParse(formatted.Text(), &back, &base) == 1 && back == parsed);
    return 0;
}
