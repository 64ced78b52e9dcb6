// Tests of the event log: sources, message tables and the log file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/RegKey.h"
#include "platform/winevt.h"
#include "testing/support/KernelTestSupport.h"

namespace {

const platform::MessageTableEntry kTable[] = {
    {100, "The %1 service was installed.\r\n"},
    {106, "The service received an unsupported request.\r\n"},
    {200, "First line\r\nsecond %2 and %1\r\n"},
};

std::vector<std::string> LogLines() {
    std::ifstream in(platform::EventLogFile());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The fields after the time stamp of a log line.
std::string Fields(const std::string& line) { return line.substr(line.find('\t') + 1); }

class EventLogTest : public ::testing::Test {
protected:
    tavro::testing::FreshState state_;

    void SetUp() override { platform::RegisterMessageTable(kTable, std::size(kTable)); }
    void TearDown() override { platform::RegisterMessageTable(nullptr, 0); }

    // Registers `source` with `messageFile` as its message file.
    static void AddSource(const std::string& source, const std::string& messageFile) {
        platform::RegKey key;
        ASSERT_EQ(
            key.Create("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source),
            ERROR_SUCCESS);
        ASSERT_EQ(key.SetString("EventMessageFile", messageFile, REG_EXPAND_SZ), ERROR_SUCCESS);
    }
    static void Report(HANDLE source, WORD type, DWORD id, std::vector<const char*> strings) {
        EXPECT_TRUE(ReportEventA(source, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                                 strings.data(), nullptr));
    }
};

TEST_F(EventLogTest, EventsOfThisProgramTakeItsMessageTexts) {
    AddSource("Probe", std::filesystem::read_symlink("/proc/self/exe").string());
    HANDLE source = RegisterEventSourceA(nullptr, "Probe");
    ASSERT_NE(source, nullptr);
    Report(source, EVENTLOG_INFORMATION_TYPE, 100, {"Probe"});
    Report(source, EVENTLOG_ERROR_TYPE, 106, {});
    Report(source, EVENTLOG_WARNING_TYPE, 200, {"a", "b"});
    EXPECT_TRUE(DeregisterEventSource(source));

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Fields(lines[0]), "Probe\tInformation\t100\tThe Probe service was installed.");
    EXPECT_EQ(Fields(lines[1]), "Probe\tError\t106\tThe service received an unsupported request.");
    EXPECT_EQ(Fields(lines[2]), "Probe\tWarning\t200\tFirst line  second b and a");
    EXPECT_EQ(lines[0].find('\t'), 19u) << "time stamp YYYY-MM-DD hh:mm:ss";
}

TEST_F(EventLogTest, UnknownTextsListTheInserts) {
    AddSource("Foreign", "/usr/bin/some-other-program");
    HANDLE foreign = RegisterEventSourceA(nullptr, "Foreign");
    HANDLE unregistered = RegisterEventSourceA(nullptr, "Unregistered");
    ASSERT_NE(foreign, nullptr);
    ASSERT_NE(unregistered, nullptr);
    Report(foreign, EVENTLOG_INFORMATION_TYPE, 100, {"x"});
    Report(unregistered, EVENTLOG_AUDIT_FAILURE, 5, {});

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Fields(lines[0]),
              "Foreign\tInformation\t100\tNo text for event 100 of source Foreign is known "
              "here. Inserts: \"x\"");
    EXPECT_EQ(Fields(lines[1]),
              "Unregistered\tAudit Failure\t5\tNo text for event 5 of source Unregistered is "
              "known here.");
    DeregisterEventSource(foreign);
    DeregisterEventSource(unregistered);
}

TEST_F(EventLogTest, BadHandlesAndArgumentsAreRefused) {
    EXPECT_EQ(RegisterEventSourceA("otherhost", "Probe"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterEventSourceA(nullptr, ""), nullptr);
    HANDLE source = RegisterEventSourceA(nullptr, "Probe");
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(source));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(LogLines().empty());
}

}  // namespace
