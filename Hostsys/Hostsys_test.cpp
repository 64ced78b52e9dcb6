// Tests of CHostsys: status file, waits, affinity, process list, revisions.
#include "Hostsys/Hostsys.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "platform/winbase.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/InstallTree.h"
#include "testing/support/SleeperProcess.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace {

namespace fs = std::filesystem;
using tavro::testing::SleeperProcess;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;
using namespace std::chrono_literals;

constexpr auto kBound = 20s;  // longest any wait of these tests may take

// Whether a thread of this process sleeps in a platform wait that polls
// `descriptors` descriptors: a process handle with an unnamed event or with
// the futex watcher's wake-up of a named one.
bool WaitsPolling(unsigned descriptors) {
    return tavro::testing::SleepsInPoll(getpid(), descriptors);
}

// Whether a thread of this process sleeps in a platform wait on one named
// event alone.
bool WaitsOnOneNamedEvent() { return tavro::testing::SleepsOnFutexes(getpid(), 1); }

// Waits until `future`'s thread sleeps in its wait (`waiting` says so), and
// expects it not to have returned: it waits until the test releases it.
template <typename Result, typename Waiting>
void ExpectBlocked(std::future<Result>& future, Waiting waiting) {
    bool asleep = false;
    WaitFor([&] {
        asleep = waiting();
        return asleep || future.wait_for(0s) == std::future_status::ready;
    });
    EXPECT_EQ(future.wait_for(0s), std::future_status::timeout);
    EXPECT_TRUE(asleep) << "the call did not wait";
}

// Opens the protected operations to the tests.
class TestHost : public CHostsys {
public:
    using CHostsys::CheckPID;
    using CHostsys::CheckStatusFile;
    using CHostsys::getDirectorPid;
    using CHostsys::GetTaskList;
    using CHostsys::m_home;
    using CHostsys::m_quiet;
    using CHostsys::ReadRegistry;
};

class HostsysTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_root = m_tmp.Path();
        m_home = m_root / "vantrix";
        tavro::testing::InstallTree(m_home).Directories(
            {tavro::testing::kDataDir, tavro::testing::kConfigDir});
        m_host.m_home = m_home.string();
        m_host.m_quiet = true;
        setenv("VANTRIX_HOME", m_home.c_str(), 1);
    }

    void WriteStatus(const std::string& text) {
        WriteFile(m_home / "specific/tavro/data/tavro.stat", text);
    }
    void WriteSettings(const std::string& text) {
        WriteFile(m_home / "specific/tavro/config/TAVRO.REG", text);
    }

    // Runs ntSysShutdown on `name` (which it may cut), expects it to block
    // in the wait `waiting` sees, and to return true once `release` has run.
    template <typename Waiting, typename Release>
    void ExpectShutdownWaitEndsBy(std::string& name, Waiting waiting, Release release) {
        auto shutdown =
            std::async(std::launch::async, [&] { return m_host.ntSysShutdown(name.data()); });
        ExpectBlocked(shutdown, waiting);
        release();
        ASSERT_EQ(shutdown.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(shutdown.get());
        name.resize(std::strlen(name.c_str()));
    }

    tavro::testing::TempDir m_tmp{"hostsys"};
    fs::path m_root;
    fs::path m_home;
    TestHost m_host;
};

TEST_F(HostsysTest, CheckStatusFileFollowsTheStateTable) {
    struct Case {
        const char* text;
        int status;
        const char* pid;
    } cases[] = {
        {"SYSTEM_UP 4711\n", CHostsys::kStatusUp, "4711"},
        {"SYSTEM_UP\r\n4711\r\n", CHostsys::kStatusUp, "4711"},
        {"SYSTEM_STARTING", CHostsys::kStatusStarting, ""},
        {"SYSTEM_SHUTDOWN 12", CHostsys::kStatusShutdown, "12"},
        {"SYSTEM_ERROR 12", CHostsys::kStatusDown, ""},
        {"SYSTEM_DOWN 4711", CHostsys::kStatusDown, ""},
        {"SYSTEM_BOGUS 1", CHostsys::kStatusUnknown, ""},
        {"", CHostsys::kStatusUnknown, ""},
        {"SYSTEM_UP 123456789012345678901234567890", CHostsys::kStatusUp, "1234567890123456789"},
    };
    for (const Case& c : cases) {
        WriteStatus(c.text);
        char pid[20] = "stale";
        EXPECT_EQ(m_host.CheckStatusFile(pid), c.status) << c.text;
        EXPECT_STREQ(pid, c.pid) << c.text;
    }
}

TEST_F(HostsysTest, CheckStatusFileWithoutFileOrHomeIsUnknown) {
    char pid[20];
    EXPECT_EQ(m_host.CheckStatusFile(pid), CHostsys::kStatusUnknown);
    unsetenv("VANTRIX_HOME");
    EXPECT_EQ(m_host.CheckStatusFile(pid), CHostsys::kStatusUnknown);
}

TEST_F(HostsysTest, CheckStatusFilePrintsUnlessQuiet) {
    m_host.m_quiet = false;
    char pid[20];
    testing::internal::CaptureStdout();
    m_host.CheckStatusFile(pid);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The TAVRO status file, "), std::string::npos) << out;
    EXPECT_NE(out.find(" could not be opened\n"), std::string::npos) << out;
}

TEST_F(HostsysTest, DirectorPidComesOnlyFromRunningStates) {
    struct Case {
        const char* text;
        DWORD pid;
    } cases[] = {
        {"SYSTEM_UP 4711", 4711},    {"SYSTEM_STARTING 17", 17},
        {"SYSTEM_SHUTDOWN 9", 9},    {"SYSTEM_DOWN 4711", 0},
        {"SYSTEM_ERROR 4711", 0},    {"SYSTEM_UP", 0},
        {"SYSTEM_UP notanumber", 0}, {"", 0},
    };
    for (const Case& c : cases) {
        WriteStatus(c.text);
        EXPECT_EQ(m_host.getDirectorPid(), c.pid) << c.text;
    }
    fs::remove(m_home / "specific/tavro/data/tavro.stat");
    EXPECT_EQ(m_host.getDirectorPid(), 0u);

    // A pipe planted as the status file is no status file: the look-up
    // neither blocks on it nor reads it.
    std::string status = (m_home / "specific/tavro/data/tavro.stat").string();
    ASSERT_EQ(mkfifo(status.c_str(), 0600), 0);
    auto pid = std::async(std::launch::async, [&] { return m_host.getDirectorPid(); });
    bool returned = pid.wait_for(kBound) == std::future_status::ready;
    if (!returned) close(open(status.c_str(), O_WRONLY | O_NONBLOCK));  // releases a blocked open
    EXPECT_TRUE(returned);
    EXPECT_EQ(pid.get(), 0u);
}

TEST_F(HostsysTest, DirectorDiedReturnsAtOnceWithoutDirector) {
    EXPECT_TRUE(m_host.ntDirectorDied());
    WriteStatus("SYSTEM_DOWN 1");
    EXPECT_TRUE(m_host.ntDirectorDied());
}

TEST_F(HostsysTest, DirectorDiedWaitsForTheNamedProcess) {
    SleeperProcess director;
    WriteStatus("SYSTEM_UP " + std::to_string(director.Pid()));
    auto died = std::async(std::launch::async, [&] { return m_host.ntDirectorDied(); });
    // The process handle and the unnamed event.
    ExpectBlocked(died, [] { return WaitsPolling(2); });
    director.End();
    ASSERT_EQ(died.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(died.get());
}

TEST_F(HostsysTest, SysShutdownWithoutEventFailsAtOnce) {
    char name[] = "Qim-1234";
    // An earlier wait of this process may have left its event in the slot.
    HANDLE slot = CHostsys::s_hEvent;
    EXPECT_FALSE(m_host.ntSysShutdown(name));
    EXPECT_EQ(CHostsys::s_hEvent, slot) << "a failed shutdown wait leaves the slot as it was";
}

TEST_F(HostsysTest, SysShutdownEndsWhenTheEventIsSet) {
    std::string name = "Qim-" + std::to_string(getpid());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    // The named event and this process's handle.
    ExpectShutdownWaitEndsBy(
        name, [] { return WaitsPolling(2); }, [&] { SetEvent(event); });
    EXPECT_EQ(name, "Qim");  // cut at the last "-"
    EXPECT_EQ(CHostsys::s_hEvent, nullptr);
    CloseHandle(event);
}

TEST_F(HostsysTest, SysShutdownWithoutProcessIdWaitsOnTheEventAlone) {
    std::string name = "QimNoDash";
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    ExpectShutdownWaitEndsBy(name, WaitsOnOneNamedEvent, [&] { SetEvent(event); });
    EXPECT_EQ(name, "QimNoDash");
    CloseHandle(event);
}

TEST_F(HostsysTest, DirectorWaitDuringShutdownWaitEndsWithTheShutdown) {
    SleeperProcess director;
    WriteStatus("SYSTEM_UP " + std::to_string(director.Pid()));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Qim-shared");
    ASSERT_NE(event, nullptr);
    std::string name = "Qim-shared";
    auto shutdown =
        std::async(std::launch::async, [&] { return m_host.ntSysShutdown(name.data()); });
    // "shared" names no process: the shutdown waits on its event alone.
    ExpectBlocked(shutdown, WaitsOnOneNamedEvent);
    {
        std::lock_guard guard(CHostsys::s_critSect);
        EXPECT_NE(CHostsys::s_hEvent, nullptr);
    }
    auto died = std::async(std::launch::async, [&] { return m_host.ntDirectorDied(); });
    // The director's handle and the futex watcher's wake-up of the shared event.
    ExpectBlocked(died, [] { return WaitsPolling(2); });
    SetEvent(event);
    ASSERT_EQ(shutdown.wait_for(kBound), std::future_status::ready);
    ASSERT_EQ(died.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(shutdown.get());
    EXPECT_TRUE(died.get());
    CloseHandle(event);
}

TEST_F(HostsysTest, SetAffinityFollowsTheSetting) {
    DWORD_PTR process = 0, system = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
    uint32_t all = static_cast<uint32_t>(system);
    if (__builtin_popcount(all) < 2) {
        EXPECT_TRUE(m_host.ntSetAffinity(""));  // a single processor: nothing changes
        return;
    }
    int highest = 31 - __builtin_clz(all);
    int lowest = __builtin_ctz(all);
    struct Case {
        std::string setting;
        uint32_t mask;
    } cases[] = {
        {"tavro.CPUAffinity=t\n", 1u << highest},
        {"tavro.CPUAffinity=False\n", all},
        {"TAVRO.cpuaffinity=" + std::to_string(lowest) + "\r\n", 1u << lowest},
        {"tavro.CPUAffinity=99\n", all},
        {"other=1\n", all},
    };
    for (const Case& c : cases) {
        WriteSettings(c.setting);
        EXPECT_TRUE(m_host.ntSetAffinity("")) << c.setting;
        ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
        EXPECT_EQ(static_cast<uint32_t>(process), c.mask) << c.setting;
    }
}

TEST_F(HostsysTest, ReadRegistryTakesTheValueAfterTheFirstEquals) {
    // The rules of the tree environment's reader: no line end in the
    // value, and a match only at the start of a line.
    WriteSettings("tavro.Other=1\r\ntavro.cpuaffinity=a=b\r\n" + std::string(78, 'x') +
                  "tavro.cut=bad\n");
    struct Case {
        const char* name;
        const char* value;
    } cases[] = {{"tavro.CPUAffinity", "a=b"},
                 {"tavro.Other", "1"},
                 {"tavro.cut", ""},
                 {"tavro.Missing", ""}};
    for (const Case& c : cases) {
        char value[80] = "stale";
        m_host.ReadRegistry(c.name, value);
        EXPECT_STREQ(value, c.value) << c.name;
    }
}

TEST_F(HostsysTest, TaskListHoldsThisProcess) {
    std::vector<CHostsys::_TASK_LIST> list(65536);
    DWORD count = m_host.GetTaskList(list.data(), static_cast<DWORD>(list.size()));
    ASSERT_GT(count, 0u);
    bool found = false;
    for (DWORD i = 0; i < count; ++i)
        if (list[i].dwProcessId == static_cast<DWORD>(getpid()))
            found = std::string(list[i].ProcessName).starts_with("Hostsys_test");
    EXPECT_TRUE(found);
    EXPECT_EQ(m_host.GetTaskList(list.data(), 3), 2u);  // at most max - 1 entries
    EXPECT_EQ(m_host.GetTaskList(list.data(), 0), 0u);
}

TEST_F(HostsysTest, CheckFileForMatchClassifiesThePidFile) {
    fs::path file = m_root / "pid.txt";
    EXPECT_EQ(m_host.checkFileforMatch(file.c_str(), nullptr), CHostsys::kMatchNone);
    std::ofstream(file) << "";
    EXPECT_EQ(m_host.checkFileforMatch(file.c_str(), nullptr), CHostsys::kMatchNone);
    std::ofstream(file) << getpid() << "\n";
    EXPECT_EQ(m_host.checkFileforMatch(file.c_str(), "Hostsys_test"), CHostsys::kMatchRunning);
    EXPECT_EQ(m_host.checkFileforMatch(file.c_str(), "no-such-program"), CHostsys::kMatchOther);
    SleeperProcess gone;
    pid_t pid = gone.Pid();
    gone.End();
    std::ofstream(file) << pid;
    EXPECT_EQ(m_host.checkFileforMatch(file.c_str(), "Hostsys_test"), CHostsys::kMatchOther);
}

TEST(HostsysLifetime, LastDestroyEndsTheInstance) {
    CHostsys* first = CHostsys::getHostsys(nullptr);
    CHostsys* second = CHostsys::getHostsys(nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(CHostsys::s_lRefCnt, 2);
    EXPECT_FALSE(CHostsys::Destroy());
    EXPECT_EQ(CHostsys::s_theOneAndOnly, first);
    EXPECT_TRUE(CHostsys::Destroy());
    EXPECT_EQ(CHostsys::s_theOneAndOnly, nullptr);
    EXPECT_FALSE(CHostsys::Destroy());  // no use left: nothing happens
    EXPECT_EQ(CHostsys::s_lRefCnt, 0);
}

TEST(HostsysLifetime, SimpleOperations) {
    CHostsys* host = CHostsys::getHostsys(nullptr);
    EXPECT_EQ(host->ntPid(), static_cast<DWORD>(getpid()));
    EXPECT_TRUE(host->ntJavaDone(nullptr));
    CHostsys::Destroy();
}

TEST(HostsysRevisions, PrintsEightRevisionLines) {
    testing::internal::CaptureStdout();
    prtDllRev();
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Hostsys dll Revision numbers");
    EXPECT_NE(lines[3].find("Hostsys_JNI.cpp,v"), std::string::npos);
    EXPECT_TRUE(lines[4].starts_with("_$Source: Hostsys/WindowsNoOrphans_JNI.h,v"));
    EXPECT_NE(lines[5].find("WindowsNoOrphans_JNI.cpp,v"), std::string::npos);
    EXPECT_TRUE(lines[6].starts_with("_$Source: Hostsys/Hostsys_JNI.h,v"));
    EXPECT_EQ(lines[7], CHostsys::s_pRevisionCpp);
    EXPECT_EQ(lines[8], CHostsys::s_pRevisionH);
    EXPECT_EQ(CHostsys::getRevision(),
              "$Source: Hostsys/Hostsys.cpp,v $ $Revision: 1.7 $ $Name:  $ "
              "$Source: Hostsys/Hostsys.h,v $ $Revision: 1.3 $ $Name:  $");
}

}  // namespace
