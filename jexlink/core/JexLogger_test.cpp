// Tests of the history logger: record layout, metric and event records, errors, concurrent appends.
#include "jexlink/core/JexLogger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using Record = std::vector<std::pair<std::string, std::string>>;

constexpr char kSeparator[] = "----------------------------------------";

// "Sun, 5 Jan 1997 10:00:00 -0500" and nothing more.
bool IsMailDate(const std::string& text) {
    char weekday[4], month[4], sign = 0;
    int day, year, hours, minutes, seconds, offset, used = -1;
    return std::sscanf(text.c_str(), "%3[A-Za-z], %d %3[A-Za-z] %d %d:%d:%d %c%4d%n", weekday, &day,
                       month, &year, &hours, &minutes, &seconds, &sign, &offset, &used) == 9 &&
           used == static_cast<int>(text.size()) && (sign == '+' || sign == '-');
}

class JexLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        std::filesystem::create_directories(dir_.Path() / "logs");
        ASSERT_TRUE(tavro::testing::WriteInstallPath(dir_.Path().string() + "/"));
    }
    std::filesystem::path LogPath() const { return dir_.Path() / "logs" / "jex_history.log"; }

    // The records of the log; each line "tag: value" of a record must have
    // its value in the record's one column.
    std::vector<Record> Records() const {
        const std::string text = tavro::testing::ReadFile(LogPath());
        std::vector<Record> records;
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            EXPECT_NE(end, std::string::npos) << "unterminated line";
            if (end == std::string::npos) break;
            const std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line == kSeparator) {
                records.emplace_back();
                continue;
            }
            if (line.empty()) continue;
            EXPECT_FALSE(records.empty()) << "a line before the first separator: " << line;
            if (records.empty()) continue;
            const size_t colon = line.find(": ");
            EXPECT_NE(colon, std::string::npos) << line;
            if (colon == std::string::npos) continue;
            const size_t value = line.find_first_not_of(' ', colon + 2);
            records.back().emplace_back(line.substr(0, colon),
                                        value == std::string::npos ? "" : line.substr(value));
        }
        return records;
    }

    static std::vector<std::string> Tags(const Record& record) {
        std::vector<std::string> tags;
        for (const auto& [tag, value] : record) tags.push_back(tag);
        return tags;
    }
    static std::string Value(const Record& record, const std::string& tag) {
        for (const auto& [t, value] : record)
            if (t == tag) return value;
        return "(absent)";
    }

    tavro::testing::TempDir dir_;
};

TEST_F(JexLoggerTest, UnfilledRecordIsAnEventRecord) {
    { JexLogger logger; }
    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(Tags(r), (std::vector<std::string>{"Record-Type", "Description", "Event-Name",
                                                 "Event-Time", "Event-Status", "Severity",
                                                 "Catagory", "Current-Role", "Local-User",
                                                 "Local-Platform", "Local-PID", "Application"}));
    for (const char* tag : {"Record-Type", "Description", "Event-Name", "Event-Status", "Severity",
                            "Catagory", "Current-Role", "Application"})
        EXPECT_EQ(Value(r, tag), "*****") << tag;
    EXPECT_EQ(Value(r, "Local-User"), JexGetUserName().Text());
    EXPECT_EQ(Value(r, "Local-Platform"), JexLibraryPlatform().Description().Text());
    EXPECT_EQ(Value(r, "Local-PID"), JexProcessIdText(0).TrimCopy().Text());
    EXPECT_TRUE(IsMailDate(Value(r, "Event-Time"))) << Value(r, "Event-Time");
    // The values line up after the longest tag, "Local-Platform".
    const std::string text = tavro::testing::ReadFile(LogPath());
    EXPECT_EQ(text.rfind(std::string(kSeparator) + "\nRecord-Type:    *****\n", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

TEST_F(JexLoggerTest, MetricRecordCarriesItsTimesAndCpuSeconds) {
    {
        JexLogger logger;
        logger["Record-Type"] = "Metric";
        logger["Description"] = "Create service request";
        // About a fifth of a second of processor time.
        const std::clock_t start = std::clock();
        volatile double sink = 0;
        while (std::clock() - start < CLOCKS_PER_SEC / 5) sink = sink + 1;
    }
    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(Tags(r),
              (std::vector<std::string>{"Record-Type", "Description", "Start-Time", "End-Time",
                                        "Exit-Status", "Current-Role", "Local-User",
                                        "Local-Platform", "Local-PID", "Application", "CPU-Time"}));
    EXPECT_EQ(Value(r, "Description"), "Create service request");
    const std::string cpu = Value(r, "CPU-Time");
    const size_t dot = cpu.find('.');
    ASSERT_NE(dot, std::string::npos) << cpu;
    EXPECT_EQ(cpu.substr(dot + 7), " sec");  // "%f": six decimals
    const double seconds = std::atof(cpu.c_str());
    EXPECT_GE(seconds, 0.15);
    EXPECT_LT(seconds, 10.0);
    EXPECT_NE(Value(r, "End-Time"), "");
}

TEST_F(JexLoggerTest, ExitStatusListsTheWholeCauseChain) {
    {
        JexErrno innermost(ENOENT, "open");
        JexLoggerException middle;
        middle.ExcSet(JexLoggerException::OPENFAIL, JexExcArgs("here", "/x"), &innermost);
        JexLoggerException outer;
        outer.ExcSet(JexLoggerException::WRITEFAIL, JexExcArgs("there", "/y"), &middle);
        JexLogger logger;
        logger["Record-Type"] = "Metric";
        logger.GetFromException(&outer);
        EXPECT_STREQ(logger["Exit-Status"].Text(),
                     "JexLoggerException::WRITEFAIL,JexLoggerException::OPENFAIL,ENOENT");
        logger.GetFromException(&innermost);
        EXPECT_STREQ(logger["Exit-Status"].Text(), "ENOENT");
        logger.GetFromException(nullptr);
        EXPECT_STREQ(logger["Exit-Status"].Text(), "");
        logger.GetFromException(&outer);
    }
    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Value(records[0], "Exit-Status"),
              "JexLoggerException::WRITEFAIL,JexLoggerException::OPENFAIL,ENOENT");
}

TEST_F(JexLoggerTest, SuppressedRecordWritesNothing) {
    {
        JexLogger logger;
        logger.SetSuppress(1);
        EXPECT_EQ(logger.Suppress(), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(JexLoggerTest, RecordsAppendAndNewTagsGoLast) {
    {
        JexLogger first;
        first["Description"] = "one";
        first["Dst-Node"] = "n7";
    }
    {
        JexLogger second;
        second["Description"] = "two";
    }
    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Value(records[0], "Description"), "one");
    EXPECT_EQ(Tags(records[0]).back(), "Dst-Node");
    EXPECT_EQ(Value(records[1], "Description"), "two");
}

// A process keeps the log open between records: a log moved away, removed
// or replaced by a link must still get the next record at its path (or
// none, for the link), never in the file it was before.
TEST_F(JexLoggerTest, TheNextRecordGoesToTheLogThePathNamesNow) {
    const std::filesystem::path moved = LogPath().string() + ".1";
    const std::filesystem::path victim = dir_.Path() / "logs" / "victim";
    struct Case {
        const char* name;
        std::function<void()> change;
        int records;  // in the log afterwards; -1: none written, the link refused
    };
    const Case cases[] = {
        {"left alone", [] {}, 2},
        {"moved away", [&] { std::filesystem::rename(LogPath(), moved); }, 1},
        {"removed", [&] { std::filesystem::remove(LogPath()); }, 1},
        {"replaced by a link",
         [&] {
             tavro::testing::WriteFile(victim, "kept\n");
             std::filesystem::remove(LogPath());
             std::filesystem::create_symlink(victim, LogPath());
         },
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& file : {LogPath(), moved, victim}) std::filesystem::remove(file);
        { JexLogger first; }
        c.change();
        testing::internal::CaptureStderr();
        { JexLogger second; }
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.records < 0) {
            EXPECT_NE(err.find("OPENFAIL"), std::string::npos) << err;
            EXPECT_EQ(tavro::testing::ReadFile(victim), "kept\n");
            continue;
        }
        EXPECT_EQ(err, "");
        EXPECT_EQ(Records().size(), static_cast<size_t>(c.records));
        // The moved log holds the first record only.
        if (std::filesystem::exists(moved)) {
            EXPECT_EQ(tavro::testing::ReadFile(moved).find(kSeparator, 1), std::string::npos);
        }
    }
}

TEST_F(JexLoggerTest, LineBreaksInAValueCannotForgeLines) {
    {
        JexLogger logger;
        logger["Description"] = "one\n----------------------------------------\nRecord-Type: x\r";
    }
    const std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Value(records[0], "Description"),
              "one ---------------------------------------- Record-Type: x ");
}

TEST_F(JexLoggerTest, UnwritableLogIsReportedAndTheCallerGoesOn) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> prepare;
    } cases[] = {
        {"no log directory",
         [](const std::filesystem::path& log) { std::filesystem::remove_all(log.parent_path()); }},
        {"a directory in place of the log",
         [](const std::filesystem::path& log) { std::filesystem::create_directories(log); }},
        {"a pipe in place of the log",
         [](const std::filesystem::path& log) { ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); }},
        {"a link in place of the log",
         [](const std::filesystem::path& log) {
             tavro::testing::WriteFile(log.parent_path() / "victim", "kept\n");
             std::filesystem::create_symlink(log.parent_path() / "victim", log);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir_.Path() / "logs");
        std::filesystem::create_directories(dir_.Path() / "logs");
        c.prepare(LogPath());
        testing::internal::CaptureStderr();
        { JexLogger logger; }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("--- JexLoggerException::OPENFAIL, Unable to open history log file " +
                           LogPath().string()),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("\n  - "), std::string::npos) << err;  // the system error as cause
    }
    EXPECT_EQ(tavro::testing::ReadFile(dir_.Path() / "logs" / "victim"), "kept\n");
}

// Other users may read the log but never write it, whatever the umask; a
// log left writable by others is narrowed when the next record goes in.
TEST_F(JexLoggerTest, LogIsCreatedWritableByItsOwnerOnly) {
    const mode_t saved = ::umask(0);
    { JexLogger logger; }
    struct stat info {};
    ASSERT_EQ(::stat(LogPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ASSERT_EQ(::chmod(LogPath().c_str(), 0666), 0);
    { JexLogger logger; }
    ASSERT_EQ(::stat(LogPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ::umask(saved);
    EXPECT_EQ(Records().size(), 2u);
}

TEST_F(JexLoggerTest, RecordsOfConcurrentThreadsAreAllWhole) {
    constexpr int kThreads = 4, kEach = 40;
    const std::string padding(20000, 'p');  // larger than any stdio buffer
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kEach; ++i) {
                JexLogger logger;
                logger["Description"] =
                    ("t" + std::to_string(t) + "-" + std::to_string(i) + padding).c_str();
            }
        });
    for (std::thread& th : threads) th.join();
    std::set<std::string> seen;
    for (const Record& r : Records()) {
        const std::string d = Value(r, "Description");
        ASSERT_GT(d.size(), padding.size());
        EXPECT_EQ(d.substr(d.size() - padding.size()), padding);
        EXPECT_EQ(Tags(r).size(), 12u);
        seen.insert(d.substr(0, d.size() - padding.size()));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

TEST_F(JexLoggerTest, RecordsOfConcurrentProcessesAreAllWhole) {
    constexpr int kProcesses = 6, kEach = 40, kPadding = 20000;
    std::vector<std::thread> runners;
    std::vector<tavro::testing::ChildResult> results(kProcesses);
    for (int p = 0; p < kProcesses; ++p)
        runners.emplace_back([p, &results] {
            results[static_cast<size_t>(p)] =
                tavro::testing::RunChild({JEXCORE_TESTAPP, "log", std::to_string(kEach),
                                          std::to_string(kPadding), "p" + std::to_string(p)},
                                         {}, 60000);
        });
    for (std::thread& r : runners) r.join();
    for (const auto& result : results) {
        ASSERT_EQ(result.exitStatus, 0) << result.output;
        EXPECT_EQ(result.output, "");  // no record failed
    }
    const std::string padding(kPadding, 'p');
    std::set<std::string> seen;
    std::set<std::string> pids;
    const std::vector<Record> records = Records();
    EXPECT_EQ(records.size(), static_cast<size_t>(kProcesses * kEach));
    for (const Record& r : records) {
        const std::string d = Value(r, "Description");
        ASSERT_GT(d.size(), padding.size());
        EXPECT_EQ(d.substr(d.size() - padding.size()), padding);
        EXPECT_EQ(Tags(r).size(), 12u);
        seen.insert(d.substr(0, d.size() - padding.size()));
        pids.insert(Value(r, "Local-PID"));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(pids.size(), static_cast<size_t>(kProcesses));
}

}  // namespace
