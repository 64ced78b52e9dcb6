// Tests of the date-string parser: the grammar's forms under pinned zones, refusals, and threads.
#include "jexlink/core/JexStrToTime.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexTime.h"
#include "testing/support/JexTimeTestSupport.h"

namespace {

using tavro::testing::PinZone;
using tavro::testing::Utc;

// Wednesday 15 July 2026, 13:45:30 UTC.
const time_t kBase = Utc("2026-07-15 13:45:30");

struct Case {
    const char* text;
    const char* expected;  // UTC, or null when the text must be refused
};

void RunCases(const char* zone, time_t base, const std::vector<Case>& cases) {
    PinZone(zone);
    for (const Case& c : cases) {
        time_t got = 12345;
        const int ok = JexStrToTimeParse(c.text, &got, &base);
        if (!c.expected) {
            EXPECT_EQ(ok, 0) << zone << ": \"" << c.text << "\" gave " << got;
            EXPECT_EQ(got, -1) << zone << ": \"" << c.text << "\"";
            continue;
        }
        EXPECT_EQ(ok, 1) << zone << ": \"" << c.text << "\"";
        EXPECT_EQ(got, Utc(c.expected)) << zone << ": \"" << c.text << "\" wanted " << c.expected;
    }
}

TEST(JexStrToTimeParse, AbsoluteFormsInDaylightZone) {
    // New York is on daylight time (UTC-4) at the base, on standard time in January.
    RunCases(tavro::testing::kZoneNewYork, kBase,
             {
                 {"1 jan 1997", "1997-01-01 05:00:00"},
                 {"1 Jan 1997 10:00", "1997-01-01 15:00:00"},
                 {"1 jan 1997+10:00", "1997-01-01 15:00:00"},
                 {"15 jul 2026 10:00", "2026-07-15 14:00:00"},
                 {"jan 1", "2026-01-01 05:00:00"},
                 {"jan 1 1997", "1997-01-01 05:00:00"},
                 {"january 1, 1997 10:00pm", "1997-01-02 03:00:00"},
                 {"2 jan", "2026-01-02 05:00:00"},
                 {"2-jan-1997", "1997-01-02 05:00:00"},
                 {"jan-2-1997", "1997-01-02 05:00:00"},
                 {"2-jan", "2026-01-02 05:00:00"},
                 {"1/2/1997", "1997-01-02 05:00:00"},
                 {"2.1.1997", "1997-01-02 05:00:00"},
                 {"12/31/1999 23:59:59", "2000-01-01 04:59:59"},
                 {"Sun, 5 Jan 1997 10:00:00 -0500", "1997-01-05 15:00:00"},
                 {"Sun, 5 Jan 1997 10:00:00", "1997-01-05 15:00:00"},
                 {"Sun Jan 5 10:00:00 EST 1997", "1997-01-05 15:00:00"},
                 {"Sun Jan 5 10:00:00 1997", "1997-01-05 15:00:00"},
                 {"Sun Jan 5 10:00:00 1997 gmt", "1997-01-05 10:00:00"},
                 {"Sun, 5 Jan 97 10:00 GMT", "1997-01-05 10:00:00"},
                 {"5 Jan 97 10:00 +0100", "1997-01-05 09:00:00"},
                 {"5 jan 68 10:00 gmt", "2068-01-05 10:00:00"},
                 {"5 jan 69 10:00 gmt", "1969-01-05 10:00:00"},
                 {"10:00:00.250 gmt", "2026-07-15 10:00:00"},
                 {"29 feb 1996", "1996-02-29 05:00:00"},
                 {"29 feb 2000", "2000-02-29 05:00:00"},
                 {"  MONDAY 1pm\t", "2026-07-13 17:00:00"},
                 {"monday 1 pm", nullptr},  // am and pm follow the hour directly
             });
}

TEST(JexStrToTimeParse, ExplicitZoneGivesSameInstantWhateverDaylightNow) {
    // The same texts from a winter base and from a summer base.
    const std::vector<Case> cases = {
        {"5 jan 1997 10:00 -0500", "1997-01-05 15:00:00"},
        {"5 jan 1997 10:00 edt", "1997-01-05 14:00:00"},
        {"15 jul 2026 10:00 est", "2026-07-15 15:00:00"},
        {"15 jul 2026 10:00 edt", "2026-07-15 14:00:00"},
        {"15 jul 2026 10:00 +0530", "2026-07-15 04:30:00"},
        {"15 jul 2026 10:00 nst", "2026-07-15 13:30:00"},
        {"15 jul 2026 10:00 acsst", "2026-07-14 23:30:00"},
        {"15 jul 2026 10:00 -0000", "2026-07-15 10:00:00"},
    };
    for (const char* zone : {tavro::testing::kZoneNewYork, tavro::testing::kZoneBerlin,
                             tavro::testing::kZoneAdelaide, tavro::testing::kZoneUtc}) {
        RunCases(zone, Utc("2026-01-20 12:00:00"), cases);
        RunCases(zone, kBase, cases);
    }
}

TEST(JexStrToTimeParse, RelativeAndKeywordForms) {
    RunCases(tavro::testing::kZoneNewYork, kBase,
             {
                 {"", "2026-07-15 13:45:30"},
                 {"   ", "2026-07-15 13:45:30"},
                 {"now", "2026-07-15 13:45:30"},
                 {"now + 1d", "2026-07-16 13:45:30"},
                 {"now-1h", "2026-07-15 12:45:30"},
                 {"+1d 2h", "2026-07-16 15:45:30"},
                 {"+1d2h30m15s", "2026-07-16 16:15:45"},
                 {"-30m", "2026-07-15 13:15:30"},
                 {"- 01:30:00", "2026-07-15 12:15:30"},
                 {"today", "2026-07-15 04:00:00"},
                 {"Tomorrow", "2026-07-16 04:00:00"},
                 {"yesterday 10:00", "2026-07-14 14:00:00"},
                 {"tomorrow 10pm", "2026-07-17 02:00:00"},
                 {"today 10:00 gmt", "2026-07-15 10:00:00"},
                 {"10:00", "2026-07-15 14:00:00"},
                 {"10:00 -0700", "2026-07-15 17:00:00"},
                 {"12am", "2026-07-15 04:00:00"},
                 {"12pm", "2026-07-15 16:00:00"},
                 {"1pm", "2026-07-15 17:00:00"},
                 {"12:30am", "2026-07-15 04:30:00"},
                 {"wed", "2026-07-15 04:00:00"},
                 {"monday", "2026-07-13 04:00:00"},
                 {"MONDAY", "2026-07-13 04:00:00"},
                 {"saturday 9am", "2026-07-18 13:00:00"},
                 {"last wed", "2026-07-08 04:00:00"},
                 {"last tuesday", "2026-07-14 04:00:00"},
                 {"next wed", "2026-07-22 04:00:00"},
                 {"this thu", "2026-07-16 04:00:00"},
                 {"next friday 9am", "2026-07-17 13:00:00"},
                 {"epoch 0x10", "1970-01-01 00:00:16"},
                 {"EPOCH 16", "1970-01-01 00:00:16"},
                 {"epoch=010", "1970-01-01 00:00:08"},
                 // Dates with missing parts keep the base's, and its time.
                 {"--", "2026-07-15 13:45:30"},
                 {"-- +1h", "2026-07-15 14:45:30"},
                 {"-jan-", "2026-01-15 14:45:30"},
                 {"--1999", "1999-07-15 13:45:30"},
                 {"15-- 10:00", "2026-07-15 14:00:00"},
                 {"3--2027", "2027-07-03 13:45:30"},
                 {"3-aug-", "2026-08-03 13:45:30"},
                 {"-aug-2027 10:00 gmt", "2027-08-15 10:00:00"},
             });
}

TEST(JexStrToTimeParse, HalfHourZones) {
    RunCases(tavro::testing::kZoneKolkata, kBase,
             {
                 {"10:00", "2026-07-15 04:30:00"},
                 {"today", "2026-07-14 18:30:00"},
                 {"1 jan 2026 12:00", "2026-01-01 06:30:00"},
                 {"Thu, 1 Jan 2026 12:00:00 +0530", "2026-01-01 06:30:00"},
             });
    // Adelaide: standard time (UTC+9:30) in July, daylight time (UTC+10:30) in January.
    RunCases(tavro::testing::kZoneAdelaide, kBase,
             {
                 {"tomorrow", "2026-07-15 14:30:00"},
                 {"1 jan 2026 12:00", "2026-01-01 01:30:00"},
                 {"1 jul 2026 12:00", "2026-07-01 02:30:00"},
             });
}

TEST(JexStrToTimeParse, RefusesBadDatesAndTimes) {
    RunCases(tavro::testing::kZoneNewYork, kBase,
             {
                 {"29 feb 1997", nullptr},
                 {"29 feb 2100", nullptr},
                 {"31 apr 2026", nullptr},
                 {"0 jan 2026", nullptr},
                 {"13/1/2026", nullptr},
                 {"0/1/2026", nullptr},
                 {"1 jan 1969", nullptr},
                 {"25:00", nullptr},
                 {"24:00", nullptr},
                 {"10:60", nullptr},
                 {"10:00:60", nullptr},
                 {"13pm", nullptr},
                 {"0am", nullptr},
                 {"10:00 +2400", nullptr},
                 {"10:00 +0060", nullptr},
                 {"10:5", nullptr},
                 {"1 smarch 2026", nullptr},
                 {"garbage", nullptr},
                 {"10:00 xyz", nullptr},
                 {"jan 1 1997 junk", nullptr},
                 {"+5", nullptr},
                 {"+", nullptr},
                 {"now +", nullptr},
                 {"last", nullptr},
                 {"next 10:00", nullptr},
                 {"epoch", nullptr},
                 {"epoch x", nullptr},
                 {"epoch 16 17", nullptr},
                 {"epoch 99999999999999999999999", nullptr},
                 {"+9999999999d", nullptr},
                 {"1 jan 19999", nullptr},
                 {"1\n jan", nullptr},
             });
}

TEST(JexStrToTimeParse, NullTextIsTheBaseAndNullBaseIsNow) {
    PinZone(tavro::testing::kZoneUtc);
    time_t got = 0;
    EXPECT_EQ(JexStrToTimeParse(nullptr, &got, &kBase), 1);
    EXPECT_EQ(got, kBase);
    const time_t before = std::time(nullptr);
    ASSERT_EQ(JexStrToTimeParse("now", &got), 1);
    EXPECT_GE(got, before);
    EXPECT_LE(got, std::time(nullptr));
    EXPECT_EQ(JexStrToTimeParse("epoch 5", nullptr, nullptr), 1);
}

TEST(JexStrToTimeParse, HugeTextsAreRefusedNotCrashed) {
    PinZone(tavro::testing::kZoneUtc);
    time_t got = 0;
    for (const std::string& text : {std::string(1 << 20, '1'), std::string(1 << 20, '-'),
                                    std::string(1 << 20, 'a'), std::string(100000, ',') + "x"}) {
        EXPECT_EQ(JexStrToTimeParse(text.c_str(), &got, &kBase), 0);
        EXPECT_EQ(got, -1);
    }
    const std::string spaced = "+" + std::string(1 << 18, ' ') + "1d";
    ASSERT_EQ(JexStrToTimeParse(spaced.c_str(), &got, &kBase), 1);
    EXPECT_EQ(got, kBase + 86400);
    // Many spans: every one counts, and their sum is bounded.
    std::string spans = "+";
    for (int i = 0; i < 1000; ++i) spans += "1s";
    ASSERT_EQ(JexStrToTimeParse(spans.c_str(), &got, &kBase), 1);
    EXPECT_EQ(got, kBase + 1000);
    std::string huge = "+";
    for (int i = 0; i < 100000; ++i) huge += "999999999d";
    EXPECT_EQ(JexStrToTimeParse(huge.c_str(), &got, &kBase), 0);
}

TEST(JexStrToTimeParse, BaseWithoutLocalTimeFails) {
    PinZone(tavro::testing::kZoneUtc);
    const time_t far = INT64_MAX;
    time_t got = 0;
    EXPECT_EQ(JexStrToTimeParse("today", &got, &far), 0);
    EXPECT_EQ(got, -1);
    const time_t edge = INT64_MAX - 10;
    EXPECT_EQ(JexStrToTimeParse("+1h", &got, &edge), 0);
}

// Threads parse at once without a lock and get what one thread gets.
TEST(JexStrToTimeParse, ReentrantAcrossThreads) {
    PinZone(tavro::testing::kZoneNewYork);
    const std::vector<std::string> texts = {
        "tomorrow 10pm", "Sun, 5 Jan 1997 10:00:00 -0500", "next friday 9am", "+1d 2h",
        "-jan-",         "15 jul 2026 10:00 est",          "1 smarch",        "epoch 0x10",
    };
    std::vector<time_t> expected;
    for (const std::string& text : texts) {
        time_t t;
        JexStrToTimeParse(text.c_str(), &t, &kBase);
        expected.push_back(t);
    }
    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (int n = 0; n < 8; ++n) {
        threads.emplace_back([&, n] {
            for (int round = 0; round < 2000; ++round) {
                const size_t i = static_cast<size_t>(round + n) % texts.size();
                time_t t;
                JexStrToTimeParse(texts[i].c_str(), &t, &kBase);
                if (t != expected[i]) ++mismatches[static_cast<size_t>(n)];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int count : mismatches) EXPECT_EQ(count, 0);
}

// What JexFormatTime writes reads back as the same second, in every zone,
// across daylight-time changes and the repeated hour of the autumn change.
TEST(JexStrToTime, ReadsBackWhatFormatTimeWrites) {
    for (const char* zone :
         {tavro::testing::kZoneUtc, tavro::testing::kZoneNewYork, tavro::testing::kZoneBerlin,
          tavro::testing::kZoneKolkata, tavro::testing::kZoneAdelaide}) {
        PinZone(zone);
        // From 1970 on in every zone's local time: earlier years are refused.
        std::vector<time_t> times = {Utc("2026-03-08 06:59:59"), Utc("2026-03-08 07:00:00"),
                                     Utc("2026-11-01 05:30:00"),  // 01:30 EDT
                                     Utc("2026-11-01 06:30:00"),  // 01:30 EST
                                     Utc("2026-10-25 00:30:00"), Utc("2026-10-25 01:30:00"),
                                     Utc("2026-04-04 16:30:00"), Utc("2038-01-19 03:14:08"),
                                     Utc("9999-12-31 00:00:00")};
        for (time_t t = 86400; t < Utc("2100-01-01 00:00:00"); t += 7776013) times.push_back(t);
        for (const time_t t : times) {
            const JexString text = JexFormatTime(&t);
            time_t back = -5;
            EXPECT_EQ(JexStrToTime(text.Text(), &back, &kBase), 1) << zone << ": " << text.Text();
            EXPECT_EQ(back, t) << zone << ": " << text.Text();
        }
    }
}

}  // namespace
