// Time services of the library: mail-style date texts, strftime, the guarded date parser, host
// times, date windows.
#include "jexlink/core/JexTime.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

#include "jexlink/core/JexStrToTime.h"
#include "jexlink/core/JexThread.h"

namespace {

constexpr char kDefaultStrfFormat[] = "%a, %d %b %Y %H:%M:%S %Z";
constexpr int64_t kHostUnitsPerSecond = 10000000;

// PutText and PutNumber are made once, not once per field of the date
// text: eight copies of the digit loops would be code for nothing.
[[gnu::noinline]] char* PutText(char* p, const char* text) {
    while (*text) *p++ = *text++;
    return p;
}

// A number in decimal, zero-padded to width characters with the sign in
// front, as printf's %0*lld writes it; the character after it.
[[gnu::noinline]] char* PutNumber(char* p, long long value, int width) {
    char digits[24];
    int n = 0;
    auto rest = value < 0 ? 0 - static_cast<unsigned long long>(value)
                          : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0) *p++ = '-';
    for (int pad = width - n - (value < 0 ? 1 : 0); pad > 0; --pad) *p++ = '0';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// "Sun, 5 Jan 1997 10:00:00 -0500": the offset east of UTC is printed with
// "+", UTC and zones west of it with "-".
void FormatBrokenDown(JexString& out, const struct tm& t, long offsetEast) {
    static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* weekday = t.tm_wday >= 0 && t.tm_wday < 7 ? kWeekdays[t.tm_wday] : "???";
    const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? kMonths[t.tm_mon] : "???";
    const long magnitude = offsetEast < 0 ? -offsetEast : offsetEast;
    // What "%s, %d %s %04lld %02d:%02d:%02d %c%02ld%02ld" writes, written by
    // hand: every session start formats one, and snprintf cost several times
    // as much as all the rest of it.
    char text[128];
    char* p = PutText(text, weekday);
    p = PutText(p, ", ");
    p = PutNumber(p, t.tm_mday, 0);
    *p++ = ' ';
    p = PutText(p, month);
    *p++ = ' ';
    p = PutNumber(p, static_cast<long long>(t.tm_year) + 1900, 4);
    *p++ = ' ';
    p = PutNumber(p, t.tm_hour, 2);
    *p++ = ':';
    p = PutNumber(p, t.tm_min, 2);
    *p++ = ':';
    p = PutNumber(p, t.tm_sec, 2);
    *p++ = ' ';
    *p++ = offsetEast > 0 ? '+' : '-';
    p = PutNumber(p, magnitude / 3600, 2);
    p = PutNumber(p, magnitude % 3600 / 60, 2);
    *p = 0;
    out = text;
}

// The local time of a time, all zero when it has none. The conversions and
// the parser hold the library's global lock, as callers of the runtime's
// shared time state expect.
bool LocalTime(time_t t, struct tm& local) {
    JexGlobalLock lock;
    if (localtime_r(&t, &local)) return true;
    local = tm{};
    return false;
}

time_t Now() { return std::time(nullptr); }

}  // namespace

long JexTimezone() {
    static std::once_flag once;
    std::call_once(once, [] { tzset(); });
    return timezone;
}

void JexFormatTime(JexString& out, const time_t* t) {
    struct tm local;
    // The offset in force at that time, which is what a reader needs to get
    // the instant back; a time without a local time is printed as all zero.
    if (LocalTime(t ? *t : Now(), local)) {
        FormatBrokenDown(out, local, local.tm_gmtoff);
        return;
    }
    FormatBrokenDown(out, local, -JexTimezone());
}

void JexFormatTime(JexString& out, const struct tm& local) {
    FormatBrokenDown(out, local, -JexTimezone() + (local.tm_isdst > 0 ? 3600 : 0));
}

JexString JexFormatTime(const time_t* t) {
    JexString out;
    JexFormatTime(out, t);
    return out;
}

void JexStrfTime(JexString& out, const struct tm& time, const char* format) {
    char text[2048];
    const size_t n = std::strftime(text, sizeof text, format ? format : kDefaultStrfFormat, &time);
    // The format may be the output's own text: assign only now.
    out = n > 0 ? text : "";
}

void JexStrfTime(JexString& out, time_t t, const char* format) {
    struct tm local;
    LocalTime(t, local);
    JexStrfTime(out, local, format);
}

int JexIsDst(const time_t* t) {
    struct tm local;
    if (!LocalTime(t ? *t : Now(), local)) return 0;
    return local.tm_isdst > 0 ? 1 : 0;
}

int JexStrToTime(const char* text, time_t* result, const time_t* base) {
    JexGlobalLock lock;
    return JexStrToTimeParse(text, result, base);
}

int JexStrToTime(const char* text, JexTime& record) {
    time_t base;
    time_t parsed = -1;
    int ok = 0;
    if (!__builtin_sub_overflow(record.time, record.adjustment, &base)) {
        ok = JexStrToTime(text, &parsed, &base);
    }
    if (ok && parsed != 0 && __builtin_add_overflow(parsed, record.adjustment, &parsed)) ok = 0;
    record.time = ok ? parsed : -1;
    return ok;
}

int JexStrToTime(const char* text, struct tm* result, const struct tm* base) {
    JexGlobalLock lock;
    time_t baseTime = Now();
    int ok = 1;
    if (base) {
        struct tm copy = *base;  // the result may be the base itself
        errno = 0;
        baseTime = mktime(&copy);
        if (baseTime == -1 && errno != 0) ok = 0;
    }
    time_t parsed = -1;
    if (ok) ok = JexStrToTimeParse(text, &parsed, &baseTime);
    struct tm local {};
    if (ok && !localtime_r(&parsed, &local)) {
        local = tm{};
        ok = 0;
    }
    if (result) *result = local;
    return ok;
}

time_t JexTime::FromHostTime(int64_t hostTime) {
    // Floor division, so that times before 1970 round towards the past too.
    const __int128 units = static_cast<__int128>(hostTime) - kJexHostTimeOf1970;
    __int128 seconds = units / kHostUnitsPerSecond;
    if (units % kHostUnitsPerSecond < 0) --seconds;
    return static_cast<time_t>(seconds + JexTimezone());
}

int64_t JexTime::ToHostTime(const JexTime& record) {
    if (record.time == 0) return kJexHostTimeOf1970;
    const __int128 units =
        (static_cast<__int128>(record.time) - record.adjustment - JexTimezone()) *
            kHostUnitsPerSecond +
        kJexHostTimeOf1970;
    if (units > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (units < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(units);
}

int JexDateInRange(const char* from, const char* until, time_t t) {
    const time_t now = Now();
    if (t == 0) t = now;
    const bool fromOpen = !from || !*from || std::strcmp(from, "*") == 0;
    const bool untilOpen = !until || !*until || std::strcmp(until, "*") == 0;
    time_t fromTime = now;
    if (!fromOpen) {
        if (!JexStrToTime(from, &fromTime, &now)) return 0;
        if (t < fromTime) return 0;
    }
    if (!untilOpen) {
        // A relative until counts from the from time; with an open from,
        // from now (the from time is now then).
        time_t untilTime;
        if (!JexStrToTime(until, &untilTime, &fromTime)) return 0;
        if (t > untilTime) return 0;
    }
    return 1;
}

int JexDateInRange(time_t t, const char* from, const char* until) {
    return JexDateInRange(from, until, t);
}
