// A CNTService-based service through its whole life: install, start from
// another process, controls, stop and removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/winevt.h"
#include "platform/winsvc.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::ReadFile;
using tavro::testing::WaitFor;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kName = "Tavro_Test_Service";
const std::string kServiceKey = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;
const std::string kParametersKey = kServiceKey + "\\Parameters";
const std::string kSourceKey =
    std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + kName;

class NTServiceLifecycleTest : public ::testing::Test {
protected:
    // Each test starts without the service records, keys and step files of
    // the tests before it.
    tavro::testing::FreshState m_state;

    void SetUp() override {
        m_dir = platform::StateDir() / "pace";
        std::filesystem::create_directories(m_dir);
        setenv("TAVRO_TEST_SERVICE_DIR", m_dir.c_str(), 1);
        // The system's own key, which removal updates.
        platform::RegKey control;
        ASSERT_EQ(control.Create("SYSTEM\\CurrentControlSet\\Control"), ERROR_SUCCESS);
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_manager, nullptr);
    }
    void TearDown() override {
        if (m_service) CloseServiceHandle(m_service);
        CloseServiceHandle(m_manager);
    }

    static ChildResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), TEST_SERVICE);
        return tavro::testing::RunChild(args);
    }
    void Go(int step) { std::ofstream(m_dir / ("go-" + std::to_string(step))) << "\n"; }
    std::string ServiceLog() { return ReadFile((m_dir / "service.log").string()); }

    SERVICE_STATUS Query() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(m_service, &status)) << GetLastError();
        return status;
    }
    bool WaitStatus(DWORD state, DWORD checkpoint = 0, DWORD waitHint = 0) {
        return WaitFor([&] {
            SERVICE_STATUS s = Query();
            return s.dwCurrentState == state && s.dwCheckPoint == checkpoint &&
                   s.dwWaitHint == waitHint;
        });
    }

    // Events of the service, as "<type>\t<id>\t<text>".
    static std::vector<std::string> Events() {
        std::vector<std::string> events;
        std::ifstream in(platform::EventLogFile());
        const std::string prefix = std::string(kName) + "\t";
        for (std::string line; std::getline(in, line);) {
            std::string fields = line.substr(line.find('\t') + 1);
            if (fields.rfind(prefix, 0) == 0) events.push_back(fields.substr(prefix.size()));
        }
        return events;
    }
    static std::optional<DWORD> Dword(const std::string& key, const char* name) {
        platform::RegKey open;
        if (open.Open(key) != ERROR_SUCCESS) return std::nullopt;
        return open.GetDword(name);
    }
    static bool KeyExists(const std::string& key) {
        platform::RegKey open;
        return open.Open(key) == ERROR_SUCCESS;
    }
    // Waits for the service's process (our orphaned descendant) to end;
    // its exit status.
    static int ReapService() {
        int status = -1;
        WaitFor([&] {
            for (pid_t child : ChildGuard::Children()) status = ChildGuard::WaitChild(child, 0);
            return status != -1;
        });
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Installs the service and starts it through its start steps to running.
    void InstallAndStart() {
        ASSERT_EQ(Run({"-i"}).exitStatus, 0);
        m_service = OpenServiceA(m_manager, kName, SERVICE_ALL_ACCESS);
        ASSERT_NE(m_service, nullptr);
        ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
        for (int step = 1; step <= 3; ++step) {
            ASSERT_TRUE(WaitStatus(SERVICE_START_PENDING, step, 1000 * step + 100)) << step;
            Go(step);
        }
        ASSERT_TRUE(WaitStatus(SERVICE_RUNNING));
    }

    // The states the service reported, in order, from its log's
    // "CNTService::SetStatus(<service>, <state>" lines.
    static std::vector<std::string> ReportedStates(const std::string& log) {
        static const char* const kStateNames[] = {"", "STOPPED", "START_PENDING", "STOP_PENDING",
                                                  "RUNNING"};
        std::vector<std::string> states;
        for (size_t at = log.find("CNTService::SetStatus("); at != std::string::npos;
             at = log.find("CNTService::SetStatus(", at + 1)) {
            const char digit = log[log.find(", ", at) + 2];
            const int state = digit - '0';
            states.push_back(state >= 1 && state <= 4 ? kStateNames[state] : std::string(1, digit));
        }
        return states;
    }

    ChildGuard m_guard;
    std::filesystem::path m_dir;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

TEST_F(NTServiceLifecycleTest, InstallWritesRecordSourceParametersAndEvent) {
    ChildResult installed = Run({"-i"});
    EXPECT_EQ(installed.exitStatus, 0);
    EXPECT_THAT(installed.output, HasSubstr("Tavro_Test_Service installed\n"));
    {
        platform::RegKey key;
        ASSERT_EQ(key.Open(kServiceKey), ERROR_SUCCESS);
        EXPECT_EQ(key.GetString("ImagePath"), "\"" TEST_SERVICE "\"");
        EXPECT_EQ(key.GetDword("Type"), SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(key.GetDword("Start"), SERVICE_AUTO_START);
        EXPECT_EQ(key.GetString("ObjectName"), "LocalSystem");
        EXPECT_EQ(key.GetString("Description"), "Tesk, Plov, services");
        ASSERT_EQ(key.Open(kSourceKey), ERROR_SUCCESS);
        EXPECT_EQ(key.GetString("EventMessageFile"), TEST_SERVICE);
        EXPECT_EQ(key.GetDword("TypesSupported"), 7u);
    }
    for (const char* value : {"Status", "Inc", "CtrlAccepted"})
        EXPECT_EQ(Dword(kParametersKey, value), 0u) << value;
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "Information\t100\tThe Tavro_Test_Service service was installed."});
    EXPECT_THAT(Run({"-v"}).output, HasSubstr("Tavro_Test_Service Version 1.0\n"
                                              "The service is currently installed\n"));
    EXPECT_THAT(Run({"-i"}).output, HasSubstr("Tavro_Test_Service is already installed\n"));
}

TEST_F(NTServiceLifecycleTest, StartReportsCheckpointsWithWaitHintsThenRunning) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    m_service = OpenServiceA(m_manager, kName, SERVICE_ALL_ACCESS);
    ASSERT_NE(m_service, nullptr);
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    for (int step = 1; step <= 3; ++step) {
        ASSERT_TRUE(WaitStatus(SERVICE_START_PENDING, step, 1000 * step + 100)) << step;
        Go(step);
    }
    ASSERT_TRUE(WaitStatus(SERVICE_RUNNING));
    SERVICE_STATUS running = Query();
    EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    EXPECT_EQ(running.dwWin32ExitCode, 0u);
    EXPECT_TRUE(WaitFor([] { return Dword(kParametersKey, "Status") == SERVICE_RUNNING; }));
    EXPECT_EQ(Dword(kParametersKey, "CtrlAccepted"), 5u);
    EXPECT_EQ(Events().back(), "Information\t105\tThe service was started.");
}

TEST_F(NTServiceLifecycleTest, InterrogateIsAnsweredAndUnsupportedControlsAreRefused) {
    ASSERT_NO_FATAL_FAILURE(InstallAndStart());
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(ControlService(m_service, 128, &status)) << "taken by OnUserControl";
    EXPECT_TRUE(ControlService(m_service, 200, &status));
    EXPECT_TRUE(ControlService(m_service, 6, &status));
    EXPECT_FALSE(ControlService(m_service, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    std::vector<std::string> events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2], "Error\t106\tThe service received an unsupported request.");
    EXPECT_EQ(events[3], events[2]);
}

TEST_F(NTServiceLifecycleTest, StopFromAnotherProcessEndsTheService) {
    ASSERT_NO_FATAL_FAILURE(InstallAndStart());
    ChildResult stopped = Run({"-control", "1"});
    EXPECT_EQ(stopped.exitStatus, 0);
    ASSERT_TRUE(WaitStatus(SERVICE_STOPPED));
    EXPECT_EQ(Query().dwWin32ExitCode, 0u);
    EXPECT_EQ(ReapService(), 0);
    EXPECT_EQ(Events().back(), "Information\t108\tThe service was stopped.");
    EXPECT_EQ(Dword(kParametersKey, "Status"), SERVICE_STOP_PENDING);
    std::string log = ServiceLog();
    EXPECT_THAT(log, Not(HasSubstr("NTServer.control")));
    EXPECT_THAT(log, HasSubstr("CNTService::Handler(1)"));
    EXPECT_THAT(log, HasSubstr("NTService::ServiceMain exiting\n"));
    EXPECT_THAT(log, HasSubstr("NTService.StartService exiting:"));
}

TEST_F(NTServiceLifecycleTest, LinesOfConcurrentThreadsReachTheLogWhole) {
    ASSERT_NO_FATAL_FAILURE(InstallAndStart());
    // Four threads of the service write 250 lines each at once, beside the
    // handler's own lines.
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(m_service, 129, &status)) << GetLastError();
    ASSERT_EQ(Run({"-control", "1"}).exitStatus, 0);
    ASSERT_TRUE(WaitStatus(SERVICE_STOPPED));
    EXPECT_EQ(ReapService(), 0);
    std::istringstream log(ServiceLog());
    std::map<int, int> next;  // per thread, the line expected next
    int chatter = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find("chatter") == std::string::npos) continue;
        int t = -1, i = -1, end = 0;
        ASSERT_EQ(
            std::sscanf(line.c_str(), "TestService.chatter %d line %d of the log%n", &t, &i, &end),
            2)
            << "a torn or mixed line: " << line;
        ASSERT_EQ(static_cast<size_t>(end), line.size()) << "a torn or mixed line: " << line;
        EXPECT_EQ(i, next[t]) << "thread " << t;
        next[t] = i + 1;
        ++chatter;
    }
    EXPECT_EQ(chatter, 4 * 250);
}

TEST_F(NTServiceLifecycleTest, ReportsEachStateOfItsLifeInOrder) {
    ASSERT_NO_FATAL_FAILURE(InstallAndStart());
    ASSERT_EQ(Run({"-control", "1"}).exitStatus, 0);
    ASSERT_TRUE(WaitStatus(SERVICE_STOPPED));
    EXPECT_EQ(ReapService(), 0);
    const std::vector<std::string> expected = {"START_PENDING", "START_PENDING", "START_PENDING",
                                               "START_PENDING", "RUNNING",       "STOP_PENDING",
                                               "STOP_PENDING",  "STOPPED"};
    EXPECT_EQ(ReportedStates(ServiceLog()), expected);
}

TEST_F(NTServiceLifecycleTest, RemoveDeletesRecordAndSourceAndSetsTheKillTimeout) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    ChildResult removed = Run({"-u"});
    EXPECT_THAT(removed.output,
                HasSubstr("Tavro_Test_Service removed. (You must delete the file (" TEST_SERVICE
                          ") yourself.)\n"));
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(KeyExists(kSourceKey));
    EXPECT_EQ(Events().back(), "Information\t101\tThe Tavro_Test_Service service was removed.");
    platform::RegKey control;
    ASSERT_EQ(control.Open("SYSTEM\\CurrentControlSet\\Control"), ERROR_SUCCESS);
    EXPECT_EQ(control.GetString("WaitToKillServiceTimeout"), "20000");
    EXPECT_THAT(Run({"-u"}).output, HasSubstr("Tavro_Test_Service is not installed\n"));
}

TEST_F(NTServiceLifecycleTest, FailedInitializationStopsWithEventAndExitCode) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    std::ofstream(m_dir / "fail") << "\n";
    m_service = OpenServiceA(m_manager, kName, SERVICE_ALL_ACCESS);
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitStatus(SERVICE_STOPPED));
    EXPECT_EQ(Query().dwWin32ExitCode, ERROR_INVALID_DATA);
    EXPECT_EQ(ReapService(), static_cast<int>(ERROR_INVALID_DATA));
    EXPECT_EQ(Events().back(), "Error\t104\tThe initialization process failed.");
}

TEST_F(NTServiceLifecycleTest, InstallUnderAnAccountAsksForItsPassword) {
    passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string user = entry->pw_name;
    ChildResult installed =
        tavro::testing::RunChild({TEST_SERVICE, "-i", "-a", user}, "Secret-77\nSecret-77\n");
    EXPECT_EQ(installed.exitStatus, 0);
    EXPECT_THAT(installed.output, HasSubstr("password? **********\n Verify password: **********\n"
                                            "passwords match\n"));
    EXPECT_THAT(installed.output, Not(HasSubstr("Secret-77")));
    platform::RegKey key;
    ASSERT_EQ(key.Open(kServiceKey), ERROR_SUCCESS);
    EXPECT_EQ(key.GetString("ObjectName"), user);
    // The password is kept nowhere in the registry.
    for (const std::string& name : key.ValueNames()) {
        EXPECT_NE(key.GetString(name.c_str()).value_or(""), "Secret-77") << name;
    }
}

TEST_F(NTServiceLifecycleTest, OutsideTheServiceManagerTheDispatcherReturnsAtOnce) {
    ChildResult result = Run({});
    EXPECT_EQ(result.exitStatus, 0);
    std::string log = ServiceLog();
    EXPECT_THAT(log, HasSubstr("Calling StartServiceCtrlDispatcher()"));
    EXPECT_THAT(log, HasSubstr("NTService.StartService exiting:"));
    EXPECT_THAT(log, HasSubstr("Returned from StartServiceCtrlDispatcher():"));
}

}  // namespace
