// Tests of the connection statistics: counters, the report and the display switch.
#include "jexlink/transport/JexNetStats.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/support/TransportTestSupport.h"

namespace {

std::string Report(JexNetStats& stats) {
    FILE* f = std::tmpfile();
    stats.Display(f);
    std::rewind(f);
    std::string text;
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    return text;
}

TEST(JexNetStats, IncrementAddsToOneCounterAndRefusesOtherIndices) {
    JexNetStats stats("JexTcpIO", nullptr, nullptr);
    tavro::testing::RaiseLog raised(&stats);
    stats.Increment(JexNetStats::kBytesSent, 3000);
    stats.Increment(JexNetStats::kBytesSent, 0xFFFFFFFFu);  // wraps as 32 bits do
    stats.Increment(JexNetStats::kMessagesReceived, 2);
    for (int bad : {-1, 4, 1000}) stats.Increment(bad, 7);
    EXPECT_EQ(stats.counters[0], 2999u);
    EXPECT_EQ(stats.counters[1], 0u);
    EXPECT_EQ(stats.counters[2], 0u);
    EXPECT_EQ(stats.counters[3], 2u);
    EXPECT_EQ(raised.Codes(), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(stats.Code(), JexNetStats::BADSTAT);
}

TEST(JexNetStats, ReportOfAnIdleConnection) {
    int owner = 0;
    JexNetStats stats("JexLocalIO Listener", &owner, nullptr);
    stats.stop = stats.start;
    const std::string text = Report(stats);
    char pointer[64];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&owner));
    const std::string head =
        "PID " + std::to_string(getpid()) + ": JexLocalIO Listener (0x" + pointer + "):\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    // Both times in the library's mail-style date form, and equal here.
    auto lineValue = [&](const char* label) {
        const size_t at = text.find(label);
        if (at == std::string::npos) return std::string();
        const size_t from = at + std::strlen(label);
        return text.substr(from, text.find('\n', from) - from);
    };
    const std::string start = lineValue("\tStart:    ");
    EXPECT_EQ(start, lineValue("\tStop:     "));
    char day[4], month[4], sign = 0;
    int date = 0, year = 0, h = 0, m = 0, sec = 0, zone = 0;
    EXPECT_EQ(std::sscanf(start.c_str(), "%3s, %d %3s %d %d:%d:%d %c%4d", day, &date, month, &year,
                          &h, &m, &sec, &sign, &zone),
              9)
        << start;
    const std::string tail =
        "\tCaller:   (none)\n"
        "\tCallee:   (none)\n"
        "\tMessages Sent:                   0\n"
        "\tBytes Sent:                      0\n"
        "\tMessages Received:               0\n"
        "\tBytes Received:                  0\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(JexNetStats, ReportShowsCountersInTheirOrder) {
    JexNetStats stats("JexTcpIO", nullptr, nullptr);
    stats.caller = "T/here/1234";
    stats.callee = "T/there/smtp";
    stats.counters[JexNetStats::kBytesSent] = 1;
    stats.counters[JexNetStats::kBytesReceived] = 22;
    stats.counters[JexNetStats::kMessagesSent] = 333;
    stats.counters[JexNetStats::kMessagesReceived] = 4294967295u;
    const std::string text = Report(stats);
    const std::string tail =
        "\tCaller:   T/here/1234\n"
        "\tCallee:   T/there/smtp\n"
        "\tMessages Sent:                 333\n"
        "\tBytes Sent:                      1\n"
        "\tMessages Received:      4294967295\n"
        "\tBytes Received:                 22\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(JexNetStats, DestructionStampsStopAndReportsOnlyWithTheSwitch) {
    struct Case {
        bool set;
        bool prints;
    } cases[] = {{true, true}, {false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        if (c.set)
            setenv("JEXNETSTATS_DISPLAY", "", 1);
        else
            unsetenv("JEXNETSTATS_DISPLAY");
        testing::internal::CaptureStderr();
        {
            JexNetStats stats("JexTcpIO", nullptr, &JexNetStats::DisplaySwitch);
            EXPECT_EQ(stats.stop, 0);
        }
        const std::string out = testing::internal::GetCapturedStderr();
        EXPECT_EQ(!out.empty(), c.prints) << out;
        if (c.prints) {
            EXPECT_NE(out.find("\tBytes Received:                  0\n"), std::string::npos);
        }
    }
    unsetenv("JEXNETSTATS_DISPLAY");
}

TEST(JexNetStats, DestructorRunsTheCallbackWithTheStopTime) {
    static time_t seenStop;
    static int calls;
    seenStop = 0;
    calls = 0;
    {
        JexNetStats stats("x", nullptr, [](JexNetStats* s) {
            seenStop = s->stop;
            ++calls;
        });
    }
    EXPECT_EQ(calls, 1);
    EXPECT_GT(seenStop, 0);
    {
        JexNetStats stats("x", [](JexNetStats* s) { seenStop = s->stop; });
        EXPECT_EQ(stats.owner, nullptr);
        stats.stop = 42;  // already stamped: kept
    }
    EXPECT_EQ(seenStop, 42);
}

}  // namespace
