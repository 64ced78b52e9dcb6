// Time services of the library: mail-style date texts, strftime, the guarded date parser, host
// times, date windows.
#pragma once

#include <cstdint>
#include <ctime>

#include "jexlink/core/JexString.h"

// The local zone in seconds west of UTC (standard time), set up by tzset the
// first time it is asked for.
long JexTimezone();

// The local time of *t (now when null) as "Sun, 5 Jan 1997 10:00:00 -0500":
// weekday, day, month, four-digit year, time of day, and the zone offset in
// force at that time. What it writes, JexStrToTime reads back to the second.
void JexFormatTime(JexString& out, const time_t* t = nullptr);
// The same text of a broken-down local time; the offset is the local zone's,
// one hour more when the time's daylight flag is set.
void JexFormatTime(JexString& out, const struct tm& local);
JexString JexFormatTime(const time_t* t = nullptr);

// strftime of a broken-down time into at most 2047 characters, with the
// format "%a, %d %b %Y %H:%M:%S %Z" when none is given. A result that does
// not fit gives the empty text.
void JexStrfTime(JexString& out, const struct tm& time, const char* format = nullptr);
// The same of the local time of a time.
void JexStrfTime(JexString& out, time_t t, const char* format = nullptr);

// The daylight-saving flag of the local time of *t (now when null); 0 when
// the time cannot be broken down.
int JexIsDst(const time_t* t = nullptr);

// The library's time record: a time and the adjustment that brings the
// local clock to it (the local clock reads time - adjustment).
struct JexTime {
    time_t time = 0;
    time_t adjustment = 0;

    // Seconds since 1970 of a host time: 100 ns units since 17 November 1858
    // 00:00 local time.
    static time_t FromHostTime(int64_t hostTime);
    // The host time of a record; a zero time gives the origin of host times.
    // Times beyond the host range give its nearest end.
    static int64_t ToHostTime(const JexTime& record);
};

// Host time of 1 January 1970 00:00 (3,506,716,800 seconds in 100 ns units).
constexpr int64_t kJexHostTimeOf1970 = 35067168000000000;

// The date parser (see JexStrToTimeParse) under the library's global lock.
// Returns 1 and the time, or 0 and -1; relative texts count from *base, or
// from now when base is null.
int JexStrToTime(const char* text, time_t* result, const time_t* base = nullptr);
// Parses relative to the record's local clock (time - adjustment) and stores
// the parsed time plus the adjustment; a parsed 0 stays 0, a failure is -1.
int JexStrToTime(const char* text, JexTime& record);
// Parses relative to a broken-down local base (now when null) and gives the
// broken-down local result, all zero when there is none.
int JexStrToTime(const char* text, struct tm* result, const struct tm* base = nullptr);

// 1 when t (now when 0) lies within [from, until]. An empty, null or "*"
// bound is open; a bound that does not parse gives 0. The from text counts
// from now; the until text from the from time, or from now when from is open.
int JexDateInRange(const char* from, const char* until, time_t t = 0);
int JexDateInRange(time_t t, const char* from, const char* until);
