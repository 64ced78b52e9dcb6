// Tests of the time services: date texts, strftime, host times, the guarded parser's variants, date
// windows.
#include "jexlink/core/JexTime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "testing/support/JexTimeTestSupport.h"

namespace {

using tavro::testing::PinZone;
using tavro::testing::Utc;

TEST(JexFormatTime, MailStyleTextWithOffsetInForce) {
    struct Case {
        const char* zone;
        const char* utc;
        const char* expected;
    } cases[] = {
        {tavro::testing::kZoneUtc, "1970-01-01 00:00:00", "Thu, 1 Jan 1970 00:00:00 -0000"},
        {tavro::testing::kZoneUtc, "2026-12-10 01:30:59", "Thu, 10 Dec 2026 01:30:59 -0000"},
        {tavro::testing::kZoneNewYork, "1997-01-05 15:00:00", "Sun, 5 Jan 1997 10:00:00 -0500"},
        {tavro::testing::kZoneNewYork, "2026-07-15 13:45:30", "Wed, 15 Jul 2026 09:45:30 -0400"},
        {tavro::testing::kZoneBerlin, "2026-07-15 13:45:30", "Wed, 15 Jul 2026 15:45:30 +0200"},
        {tavro::testing::kZoneBerlin, "2026-01-15 13:45:30", "Thu, 15 Jan 2026 14:45:30 +0100"},
        {tavro::testing::kZoneKolkata, "2026-07-15 13:45:30", "Wed, 15 Jul 2026 19:15:30 +0530"},
        {tavro::testing::kZoneAdelaide, "2026-01-15 13:45:30", "Fri, 16 Jan 2026 00:15:30 +1030"},
        {tavro::testing::kZoneAdelaide, "2026-07-15 13:45:30", "Wed, 15 Jul 2026 23:15:30 +0930"},
    };
    for (const Case& c : cases) {
        PinZone(c.zone);
        const time_t t = Utc(c.utc);
        JexString out("old text that must go");
        JexFormatTime(out, &t);
        EXPECT_STREQ(out.Text(), c.expected) << c.zone;
        EXPECT_STREQ(JexFormatTime(&t).Text(), c.expected) << c.zone;
    }
}

TEST(JexFormatTime, BrokenDownTimeUsesZoneAndDaylightFlag) {
    PinZone(tavro::testing::kZoneBerlin);
    struct tm t {};
    t.tm_year = 126;
    t.tm_mon = 6;
    t.tm_mday = 15;
    t.tm_wday = 3;
    t.tm_hour = 15;
    t.tm_isdst = 1;
    JexString out;
    JexFormatTime(out, t);
    EXPECT_STREQ(out.Text(), "Wed, 15 Jul 2026 15:00:00 +0200");
    t.tm_isdst = 0;
    JexFormatTime(out, t);
    EXPECT_STREQ(out.Text(), "Wed, 15 Jul 2026 15:00:00 +0100");
    // Fields out of range print, they do not index past the name tables.
    t.tm_wday = 9;
    t.tm_mon = -3;
    JexFormatTime(out, t);
    EXPECT_STREQ(out.Text(), "???, 15 ??? 2026 15:00:00 +0100");
}

TEST(JexFormatTime, FieldsPrintAsPrintfPrintsThemWhateverTheirValues) {
    struct Case {
        const char* zone;
        int mday, year, hour, min, sec, isdst;
    } cases[] = {
        {tavro::testing::kZoneUtc, 1, 70, 0, 0, 0, 0},
        {tavro::testing::kZoneUtc, 0, -1900, 0, 0, 0, 0},
        {tavro::testing::kZoneUtc, -7, -1905, -1, -12, -123, 0},
        {tavro::testing::kZoneUtc, 31, -2000, 9, 10, 99, 1},
        {tavro::testing::kZoneNewYork, std::numeric_limits<int>::min(),
         std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 5, 60, 1},
        {tavro::testing::kZoneKolkata, std::numeric_limits<int>::max(),
         std::numeric_limits<int>::min(), 23, 59, 61, 0},
        {tavro::testing::kZoneAdelaide, 12, 8100, 100, 1000, 10000, 1},
    };
    for (const Case& c : cases) {
        PinZone(c.zone);
        struct tm t {};
        t.tm_mday = c.mday;
        t.tm_year = c.year;
        t.tm_hour = c.hour;
        t.tm_min = c.min;
        t.tm_sec = c.sec;
        t.tm_isdst = c.isdst;
        t.tm_wday = 2;
        t.tm_mon = 4;
        const long east = -JexTimezone() + (c.isdst > 0 ? 3600 : 0);
        const long magnitude = east < 0 ? -east : east;
        char expected[128];
        std::snprintf(expected, sizeof expected, "Tue, %d May %04lld %02d:%02d:%02d %c%02ld%02ld",
                      c.mday, static_cast<long long>(c.year) + 1900, c.hour, c.min, c.sec,
                      east > 0 ? '+' : '-', magnitude / 3600, magnitude % 3600 / 60);
        JexString out;
        JexFormatTime(out, t);
        EXPECT_STREQ(out.Text(), expected) << c.zone;
    }
}

TEST(JexFormatTime, NowWhenNoTimeAndAllZeroWithoutLocalTime) {
    PinZone(tavro::testing::kZoneUtc);
    const time_t before = std::time(nullptr);
    const JexString now = JexFormatTime();
    time_t back = 0;
    ASSERT_EQ(JexStrToTime(now.Text(), &back), 1) << now.Text();
    EXPECT_GE(back, before);
    EXPECT_LE(back, std::time(nullptr));

    const time_t far = std::numeric_limits<time_t>::max();
    EXPECT_STREQ(JexFormatTime(&far).Text(), "Sun, 0 Jan 1900 00:00:00 -0000");
}

TEST(JexStrfTime, FormatsAndGivesEmptyTextWhenTooLong) {
    PinZone(tavro::testing::kZoneNewYork);
    const time_t t = Utc("1997-01-05 15:00:00");
    JexString out;
    JexStrfTime(out, t);
    EXPECT_STREQ(out.Text(), "Sun, 05 Jan 1997 10:00:00 EST");
    JexStrfTime(out, t, "%Y-%m-%d");
    EXPECT_STREQ(out.Text(), "1997-01-05");

    const std::string longFormat(3000, 'x');
    JexStrfTime(out, t, longFormat.c_str());
    EXPECT_STREQ(out.Text(), "");
    const std::string justFits(2047, 'x');
    JexStrfTime(out, t, justFits.c_str());
    EXPECT_EQ(std::strlen(out.Text()), 2047u);

    // The format may be the output's own text.
    out = "%H:%M";
    JexStrfTime(out, t, out.Text());
    EXPECT_STREQ(out.Text(), "10:00");

    struct tm broken {};
    broken.tm_year = 100;
    broken.tm_mday = 1;
    JexStrfTime(out, broken, "%d %b %Y");
    EXPECT_STREQ(out.Text(), "01 Jan 2000");
}

TEST(JexIsDst, FollowsTheZoneRules) {
    PinZone(tavro::testing::kZoneNewYork);
    const time_t summer = Utc("2026-07-15 12:00:00");
    const time_t winter = Utc("2026-01-15 12:00:00");
    EXPECT_EQ(JexIsDst(&summer), 1);
    EXPECT_EQ(JexIsDst(&winter), 0);
    PinZone(tavro::testing::kZoneUtc);
    EXPECT_EQ(JexIsDst(&summer), 0);
    EXPECT_EQ(JexIsDst(), 0);
}

TEST(JexTime, HostTimeOriginIsLocalMidnightOf1970) {
    for (const char* zone :
         {tavro::testing::kZoneUtc, tavro::testing::kZoneNewYork, tavro::testing::kZoneKolkata}) {
        PinZone(zone);
        const time_t t = JexTime::FromHostTime(kJexHostTimeOf1970);
        EXPECT_EQ(t, JexTimezone()) << zone;
        struct tm local {};
        ASSERT_NE(localtime_r(&t, &local), nullptr);
        EXPECT_EQ(local.tm_year, 70) << zone;
        EXPECT_EQ(local.tm_yday, 0) << zone;
        EXPECT_EQ(local.tm_hour, 0) << zone;
        EXPECT_EQ(local.tm_min, 0) << zone;
        EXPECT_EQ(JexTime::ToHostTime(JexTime{}), kJexHostTimeOf1970) << zone;
    }
}

TEST(JexTime, HostTimeConversions) {
    PinZone(tavro::testing::kZoneNewYork);
    EXPECT_EQ(JexTimezone(), 18000);
    struct Case {
        int64_t host;
        time_t seconds;
    } cases[] = {
        // 2000-01-01 00:00 local is 05:00 UTC.
        {kJexHostTimeOf1970 + 946684800LL * 10000000, Utc("2000-01-01 05:00:00")},
        // The host origin, 17 November 1858 00:00 local.
        {0, Utc("1858-11-17 05:00:00")},
        // Parts of a second round towards the past on both sides of 1970.
        {kJexHostTimeOf1970 + 15, 18000},
        {kJexHostTimeOf1970 - 15, 18000 - 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JexTime::FromHostTime(c.host), c.seconds) << c.host;
    }
    // Whole seconds go there and back; the adjustment is taken off first.
    for (const int64_t host :
         {kJexHostTimeOf1970 + 10000000, int64_t{0}, int64_t{123456789} * 10000000}) {
        EXPECT_EQ(JexTime::ToHostTime(JexTime{JexTime::FromHostTime(host), 0}), host);
        EXPECT_EQ(JexTime::ToHostTime(JexTime{JexTime::FromHostTime(host) + 60, 60}), host);
    }
    // The ends of the ranges neither overflow nor wrap.
    EXPECT_EQ(JexTime::ToHostTime(JexTime{std::numeric_limits<time_t>::max(), 0}),
              std::numeric_limits<int64_t>::max());
    EXPECT_EQ(JexTime::ToHostTime(JexTime{std::numeric_limits<time_t>::min(), 0}),
              std::numeric_limits<int64_t>::min());
    EXPECT_LT(JexTime::FromHostTime(std::numeric_limits<int64_t>::min()), 0);
    EXPECT_GT(JexTime::FromHostTime(std::numeric_limits<int64_t>::max()), 0);
}

TEST(JexStrToTime, TimeRecordCountsFromItsLocalClock) {
    PinZone(tavro::testing::kZoneUtc);
    const time_t t = Utc("2026-07-15 13:45:30");
    JexTime record{t, 100};
    ASSERT_EQ(JexStrToTime("+1h", record), 1);
    EXPECT_EQ(record.time, t + 3600);
    record = JexTime{t, 100};
    ASSERT_EQ(JexStrToTime("today", record), 1);
    EXPECT_EQ(record.time, Utc("2026-07-15 00:00:00") + 100);
    record = JexTime{t, 100};
    ASSERT_EQ(JexStrToTime("epoch 0", record), 1);
    EXPECT_EQ(record.time, 0);  // a parsed 0 stays 0
    record = JexTime{t, 100};
    EXPECT_EQ(JexStrToTime("not a date", record), 0);
    EXPECT_EQ(record.time, -1);
    record = JexTime{std::numeric_limits<time_t>::min(), 1};
    EXPECT_EQ(JexStrToTime("now", record), 0);
}

TEST(JexStrToTime, BrokenDownVariant) {
    PinZone(tavro::testing::kZoneNewYork);
    const time_t baseTime = Utc("2026-07-15 13:45:30");
    struct tm base {};
    ASSERT_NE(localtime_r(&baseTime, &base), nullptr);
    struct tm result {};
    ASSERT_EQ(JexStrToTime("tomorrow 10:30", &result, &base), 1);
    EXPECT_EQ(result.tm_mday, 16);
    EXPECT_EQ(result.tm_hour, 10);
    EXPECT_EQ(result.tm_min, 30);
    EXPECT_EQ(result.tm_isdst, 1);

    // The result may be the base itself.
    ASSERT_EQ(JexStrToTime("+1d", &base, &base), 1);
    EXPECT_EQ(base.tm_mday, 16);
    EXPECT_EQ(base.tm_hour, 9);

    EXPECT_EQ(JexStrToTime("31 feb 2026", &result, &base), 0);
    EXPECT_EQ(result.tm_year, 0);
    EXPECT_EQ(result.tm_mday, 0);
    EXPECT_EQ(JexStrToTime("today", &result), 1);
    EXPECT_GE(result.tm_year, 126);
}

TEST(JexDateInRange, Windows) {
    PinZone(tavro::testing::kZoneUtc);
    const time_t y2019 = Utc("2019-06-01 00:00:00");
    const time_t y2021 = Utc("2021-06-01 00:00:00");
    const time_t noon = Utc("2020-01-01 12:00:00");
    const time_t jan3 = Utc("2020-01-03 00:00:00");
    struct Case {
        const char* from;
        const char* until;
        time_t t;
        int expected;
    } cases[] = {
        {"", "", y2019, 1},
        {"*", "*", y2021, 1},
        {nullptr, nullptr, 1, 1},
        {"1 jan 2020", "*", y2021, 1},
        {"1 jan 2020", "", y2019, 0},
        {"*", "1 jan 2020", y2019, 1},
        {"*", "1 jan 2020", y2021, 0},
        {"1 jan 2020", "1 jan 2020 23:59:59", noon, 1},
        {"1 jan 2020", "not a date", y2021, 0},
        {"not a date", "*", y2021, 0},
        {"1 jan 2020", "+1d", noon, 1},  // until counts from the from time
        {"1 jan 2020", "+1d", jan3, 0},
        {"1 jan 2020 12:00", "1 jan 2020 12:00", noon, 1},
    };
    for (const Case& c : cases) {
        const char* from = c.from ? c.from : "null";
        const char* until = c.until ? c.until : "null";
        EXPECT_EQ(JexDateInRange(c.from, c.until, c.t), c.expected) << from << " / " << until;
        EXPECT_EQ(JexDateInRange(c.t, c.from, c.until), c.expected) << from << " / " << until;
    }
}

TEST(JexDateInRange, ZeroTimeIsNowAndOpenFromCountsUntilFromNow) {
    PinZone(tavro::testing::kZoneUtc);
    EXPECT_EQ(JexDateInRange("yesterday", "+2d", 0), 1);
    EXPECT_EQ(JexDateInRange(0, "tomorrow", "*"), 0);
    EXPECT_EQ(JexDateInRange(0, "*", "+1h"), 1);
    EXPECT_EQ(JexDateInRange(0, "*", "-1h"), 0);
}

}  // namespace
