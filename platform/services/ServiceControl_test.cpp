// Tests of the services database, service start and control across processes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/services/ServiceRecords.h"
#include "platform/winbase.h"
#include "platform/winevt.h"
#include "platform/winsvc.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/ProcessStatus.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ReadFile;
using tavro::testing::WaitFor;

constexpr const char* kName = "Probe_Service";
const std::string kKey = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(m_manager, nullptr);
    }
    void TearDown() override {
        if (m_service) CloseServiceHandle(m_service);
        CloseServiceHandle(m_manager);
    }

    SC_HANDLE Create(const std::string& imagePath, const char* name = kName) {
        return CreateServiceA(m_manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, imagePath.c_str(),
                              nullptr, nullptr, "TcpIp\0QimProxy\0", nullptr, nullptr);
    }
    void Install(const std::string& arguments = {}) {
        std::string path = "\"" SERVICE_TESTAPP "\"" + arguments;
        m_service = Create(path);
        ASSERT_NE(m_service, nullptr) << GetLastError();
    }
    SERVICE_STATUS Query() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(m_service, &status));
        return status;
    }
    bool WaitState(DWORD state) {
        return WaitFor([&] { return Query().dwCurrentState == state; });
    }
    std::string Controls() { return ReadFile((platform::StateDir() / "controls").string()); }

    // Declared first: the state outlives the handles and the children.
    tavro::testing::FreshState m_state;
    ChildGuard m_guard;
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

TEST_F(ServiceControlTest, CreateRecordsTheServiceInTheRegistry) {
    Install(" -x");
    platform::RegKey key;
    ASSERT_EQ(key.Open(kKey), ERROR_SUCCESS);
    EXPECT_EQ(key.GetString("ImagePath"), "\"" SERVICE_TESTAPP "\" -x");
    EXPECT_EQ(key.GetDword("Type"), SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(key.GetDword("Start"), SERVICE_DEMAND_START);
    EXPECT_EQ(key.GetDword("ErrorControl"), SERVICE_ERROR_NORMAL);
    EXPECT_EQ(key.GetString("DisplayName"), kName);
    EXPECT_EQ(key.GetString("ObjectName"), "LocalSystem");

    char text[] = "Probe description";
    SERVICE_DESCRIPTIONA description{text};
    EXPECT_TRUE(ChangeServiceConfig2A(m_service, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(key.GetString("Description"), "Probe description");
    EXPECT_FALSE(ChangeServiceConfig2A(m_service, 7, &description));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL);

    // Programs look the call up by name in the system library.
    HMODULE advapi = LoadLibraryA("ADVAPI32");
    ASSERT_NE(advapi, nullptr);
    EXPECT_EQ(GetProcAddress(advapi, "ChangeServiceConfig2A"),
              reinterpret_cast<FARPROC>(&ChangeServiceConfig2A));
    EXPECT_TRUE(FreeLibrary(advapi));

    SERVICE_STATUS status = Query();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, DatabaseErrorsCarryTheirCodes) {
    Install();
    EXPECT_EQ(Create("/bin/true"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(Create("/bin/true", "Bad/Name"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(CreateServiceA(m_manager, "Other", "Other", 0, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr,
                             nullptr, nullptr, "no-such-account-here", nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_ACCOUNT);
    EXPECT_EQ(OpenServiceA(m_manager, "Missing_Service", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

    SC_HANDLE other = OpenServiceA(m_manager, "PROBE_SERVICE", SERVICE_ALL_ACCESS);
    ASSERT_NE(other, nullptr) << "names ignore case";
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(other, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_TRUE(DeleteService(other));
    EXPECT_FALSE(DeleteService(m_service));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_TRUE(CloseServiceHandle(other));
    EXPECT_FALSE(CloseServiceHandle(other));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    platform::RegKey key;
    EXPECT_EQ(key.Open(kKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServiceControlTest, DispatcherRefusesAProcessThatWasNotStarted) {
    char name[] = "Probe_Service";
    SERVICE_TABLE_ENTRYA table[] = {{name, [](DWORD, LPSTR*) {}}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST_F(ServiceControlTest, StartedServiceTakesControlsAndStops) {
    Install();
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    EXPECT_EQ(Query().dwControlsAccepted, SERVICE_ACCEPT_STOP);

    EXPECT_FALSE(StartServiceA(m_service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(ControlService(m_service, 200, &status));
    EXPECT_FALSE(ControlService(m_service, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_FALSE(ControlService(m_service, 256, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(ControlService(m_service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    // The answer carries the status reported by then: the handler's stop-pending, or the
    // stop itself when the entry point, woken by the handler, reported it first.
    if (status.dwCurrentState != SERVICE_STOPPED) {
        EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(status.dwCheckPoint, 1u);
    }
    ASSERT_TRUE(WaitState(SERVICE_STOPPED));
    EXPECT_EQ(Controls(), "4\n200\n1\n");

    // The dispatcher returned only after the entry point had ended.
    std::string dispatcher = (platform::StateDir() / "dispatcher").string();
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(dispatcher).empty(); }));
    EXPECT_EQ(ReadFile(dispatcher), "returned 1\n");
    EXPECT_FALSE(ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ServiceControlTest, StopIsRefusedWhenNotAccepted) {
    Install();
    const char* args[] = {"nostop"};
    ASSERT_TRUE(StartServiceA(m_service, 1, args)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(m_service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ServiceControlTest, ServiceOutOfDescriptorsRestsAndServesOnceTheyFreeUp) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's runtime needs descriptors of its own.
    GTEST_SKIP() << "not at a descriptor limit under a sanitizer";
#endif
    Install();
    const char* args[] = {"fdlimit"};
    ASSERT_TRUE(StartServiceA(m_service, 1, args)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    pid_t service = ChildGuard::Children().at(0);

    // Silent callers until the service has no descriptor left for the next.
    sockaddr_un address;
    platform::ScopedFd dir;
    ASSERT_TRUE(platform::services::ControlAddress(kName, address, dir));
    std::vector<platform::ScopedFd> callers;
    for (int i = 0; i < 24; ++i) {
        platform::ScopedFd caller(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(connect(caller.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        callers.push_back(std::move(caller));
    }
    // The service's standard error.
    const std::string errors = platform::services::ServiceFile(kName, ".out").string();
    EXPECT_TRUE(WaitFor([&] { return ReadFile(errors).find("retrying") != std::string::npos; }))
        << ReadFile(errors);
    // Short of descriptors, the service does not spin on its listener.
    const long before = tavro::testing::CpuTicks(service);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = tavro::testing::CpuTicks(service) - before;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.1 * seconds);
    // The shortage is reported once, not at every try.
    const std::string during = ReadFile(errors);
    EXPECT_TRUE(tavro::testing::EachShortageReportedOnce(during)) << during;

    // Once the callers leave, controls are served again.
    callers.clear();
    SERVICE_STATUS status{};
    EXPECT_TRUE(
        WaitFor([&] { return ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &status); }));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(ReadFile(errors).find("accepting again"), std::string::npos) << ReadFile(errors);
}

TEST_F(ServiceControlTest, ServiceWhoseProcessDiesIsStopped) {
    Install();
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    for (pid_t child : ChildGuard::Children()) kill(child, SIGKILL);
    ASSERT_TRUE(WaitState(SERVICE_STOPPED));
    EXPECT_EQ(Query().dwWin32ExitCode, ERROR_PROCESS_ABORTED);
    EXPECT_TRUE(StartServiceA(m_service, 0, nullptr)) << "a dead service can start again";
}

TEST_F(ServiceControlTest, StartFailuresStopTheService) {
    struct Case {
        const char* imagePath;
        DWORD error;
    } cases[] = {
        {"\"/no/such/program\"", ERROR_FILE_NOT_FOUND},
        {"\"" SERVICE_TESTAPP "\" nodispatch", ERROR_SERVICE_REQUEST_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.imagePath);
        SC_HANDLE service = Create(c.imagePath);
        ASSERT_NE(service, nullptr);
        EXPECT_FALSE(StartServiceA(service, 0, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(status.dwWin32ExitCode, c.error);
        EXPECT_TRUE(DeleteService(service));
        CloseServiceHandle(service);
    }
}

TEST_F(ServiceControlTest, RunningServiceIsRemovedWhenItStops) {
    Install();
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    EXPECT_TRUE(DeleteService(m_service));
    EXPECT_FALSE(DeleteService(m_service));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FALSE(StartServiceA(m_service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    platform::RegKey key;
    EXPECT_EQ(key.Open(kKey), ERROR_SUCCESS);
    key.Close();

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(m_service, SERVICE_CONTROL_STOP, &status));
    std::string dispatcher = (platform::StateDir() / "dispatcher").string();
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(dispatcher).empty(); }));
    EXPECT_TRUE(WaitFor([&] { return key.Open(kKey) == ERROR_FILE_NOT_FOUND; }));
}

// A status file left by a crash names a process id that has since been
// reused by a live process: the service is stopped, and starts.
TEST_F(ServiceControlTest, StaleStatusWithReusedPidLetsTheServiceStart) {
    Install();
    const std::string stale = std::to_string(SERVICE_WIN32_OWN_PROCESS) + " " +
                              std::to_string(SERVICE_RUNNING) + " 1 0 0 0 0 " +
                              std::to_string(getpid()) + " 0 42\n";
    tavro::testing::WriteFile(platform::StateDir() / "services" / "probe_service.status", stale);
    EXPECT_EQ(Query().dwCurrentState, SERVICE_STOPPED);
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(m_service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    EXPECT_TRUE(ControlService(m_service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(WaitState(SERVICE_STOPPED));
}

// Of sixteen processes creating one service at once, exactly one is told
// that it made it.
TEST_F(ServiceControlTest, OneOfSixteenRacingInstallsSucceeds) {
    constexpr int kRacers = 16;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> racers;
    for (int i = 0; i < kRacers; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char c;
            [[maybe_unused]] ssize_t n = read(gate[0], &c, 1);  // all start when the gate closes
            SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE made =
                CreateServiceA(manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr,
                               nullptr, nullptr, nullptr, nullptr);
            _exit(made ? 0 : GetLastError() == ERROR_SERVICE_EXISTS ? 1 : 2);
        }
        ASSERT_GT(pid, 0);
        racers.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    int created = 0;
    int exists = 0;
    for (pid_t pid : racers) {
        int status = ChildGuard::WaitChild(pid, 20000);
        ASSERT_TRUE(status >= 0 && WIFEXITED(status));
        created += WEXITSTATUS(status) == 0;
        exists += WEXITSTATUS(status) == 1;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(exists, kRacers - 1);
}

// Clients that connect and send nothing do not keep the dispatcher from
// serving a request.
TEST_F(ServiceControlTest, SilentClientsDoNotStallTheControlChannel) {
    Install();
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    sockaddr_un address;
    platform::ScopedFd dir;
    ASSERT_TRUE(platform::services::ControlAddress(kName, address, dir));
    std::vector<platform::ScopedFd> silent;
    for (int i = 0; i < 7; ++i) {
        platform::ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        silent.push_back(std::move(fd));
    }
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(m_service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_TRUE(ControlService(m_service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_TRUE(WaitState(SERVICE_STOPPED));
}

// A service name as long as names may be, or a state directory too deep
// for a socket address, still gives a control channel.
TEST_F(ServiceControlTest, LongNamesStillGiveAControlChannel) {
    struct Case {
        std::string service;
        std::string subdirectory;  // of the state directory, made the state directory
    };
    const Case cases[] = {
        {std::string(255, 'N'), ""},
        {kName, std::string(60, 'd') + "/" + std::string(60, 'e')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.service.size());
        std::optional<tavro::testing::FreshState> deep;
        if (!c.subdirectory.empty()) {
            const std::string dir = platform::StateDir().string() + "/" + c.subdirectory;
            deep.emplace();
            setenv(platform::kStateDirVar, dir.c_str(), 1);
        }
        SC_HANDLE service = Create("\"" SERVICE_TESTAPP "\"", c.service.c_str());
        ASSERT_NE(service, nullptr) << GetLastError();
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        SERVICE_STATUS status{};
        EXPECT_TRUE(WaitFor([&] {
            return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
        }));
        EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_TRUE(WaitFor([&] {
            return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
        }));
        CloseServiceHandle(service);
    }
}

// Only the service's user and root may control it: another user's request
// is dropped unanswered, even where a careless mode lets it reach the socket.
TEST_F(ServiceControlTest, OtherUsersControlRequestIsRefused) {
    if (!tavro::testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root";
    Install();
    ASSERT_TRUE(StartServiceA(m_service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(SERVICE_RUNNING));
    sockaddr_un address;
    platform::ScopedFd dir;
    ASSERT_TRUE(platform::services::ControlAddress(kName, address, dir));
    const std::filesystem::path state = platform::StateDir();
    for (const std::filesystem::path& opened : {state, state / "services"})
        chmod(opened.c_str(), 0711);
    chmod(address.sun_path, 0666);
    int outcome = tavro::testing::RunInChild(
        [&] {
            platform::ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                return 3;  // the careless modes did not let it in: nothing to show
            uint32_t stop = SERVICE_CONTROL_STOP;
            if (send(fd.Get(), &stop, sizeof stop, MSG_NOSIGNAL) != sizeof stop) return 0;
            uint32_t reply[8];
            return recv(fd.Get(), reply, sizeof reply, MSG_WAITALL) > 0 ? 1 : 0;
        },
        tavro::testing::As::OtherUser);
    for (const std::filesystem::path& opened : {state, state / "services"})
        chmod(opened.c_str(), 0700);
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(Query().dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(Controls(), "");
}

// Every file and socket the layer makes is 0600, every directory 0700,
// whatever the umask of the processes that made them.
TEST_F(ServiceControlTest, StateIsPrivateUnderOpenUmask) {
    int made = tavro::testing::RunInChild([&] {
        umask(0);
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service =
            CreateServiceA(manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "\"" SERVICE_TESTAPP "\"",
                           nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!service || !StartServiceA(service, 0, nullptr)) return 1;
        HANDLE source = RegisterEventSourceA(nullptr, "Probe");
        LPCSTR text = "x";
        if (!ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, &text, nullptr))
            return 2;
        if (!CreateEventA(nullptr, TRUE, FALSE, "probe")) return 3;
        return 0;
    });
    ASSERT_EQ(made, 0);
    ASSERT_TRUE(WaitFor([&] {
        return std::filesystem::exists(platform::StateDir() / "services" / "probe_service.out");
    }));
    bool sawSocket = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(platform::StateDir())) {
        struct stat info {};
        ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
        mode_t expected = S_ISDIR(info.st_mode) ? 0700 : 0600;
        sawSocket = sawSocket || S_ISSOCK(info.st_mode);
        EXPECT_EQ(info.st_mode & 0777, expected) << entry.path();
    }
    EXPECT_TRUE(sawSocket);
}

}  // namespace
