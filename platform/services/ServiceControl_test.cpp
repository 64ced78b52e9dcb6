// Tests of the services database, service start and control across processes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/winbase.h"
#include "platform/winsvc.h"
#include "testing/ChildProcesses.h"
#include "testing/TempDir.h"

namespace {

using testing_support::ChildGuard;
using testing_support::ReadFile;
using testing_support::WaitFor;

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
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwCheckPoint, 1u);
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

}  // namespace
