// Test support for the time services: pinned local zones and UTC instants written as text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tavro::testing {

// POSIX zone rules, so that the tests do not depend on the zone database.
constexpr char kZoneUtc[] = "UTC0";
constexpr char kZoneNewYork[] = "EST5EDT,M3.2.0,M11.1.0";           // daylight time from March
constexpr char kZoneBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";        // east of UTC
constexpr char kZoneKolkata[] = "IST-5:30";                         // half-hour offset
constexpr char kZoneAdelaide[] = "ACST-9:30ACDT,M10.1.0,M4.1.0/3";  // half hour, southern summer

// Makes `rule` the process's local zone.
inline void PinZone(const char* rule) {
    setenv("TZ", rule, 1);
    tzset();
}

// The instant of "YYYY-MM-DD HH:MM:SS" read as UTC; -2 when the text is not one.
inline time_t Utc(const char* text) {
    struct tm t {};
    if (std::sscanf(text, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec) != 6) {
        return -2;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return timegm(&t);
}

}  // namespace tavro::testing
