// A service built on CNTService, for the multi-process service tests.
//   tavro_test_service -i | -u | -v   install, remove, print the version
//   tavro_test_service -control <code> send a control to the installed service
//   tavro_test_service                 run as the service
// The directory in TAVRO_TEST_SERVICE_DIR paces the start: the service
// reports start-pending with checkpoints 1 to 3 (wait hints 1100, 2100 and
// 3100 ms) and goes on from checkpoint n once the file "go-<n>" exists there;
// a file "fail" makes the start fail. Its log stream goes to "service.log".
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "WindowsService/DSRegistry.h"
#include "WindowsService/NTService.h"
#include "platform/Program.h"
#include "platform/base/Posix.h"

namespace {

constexpr const char* kServiceName = "Tavro_Test_Service";
constexpr int kStepTimeoutMs = 20000;

std::filesystem::path PaceDir() {
    const char* dir = std::getenv("TAVRO_TEST_SERVICE_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::path();
}

bool WaitForFile(const std::filesystem::path& file) {
    for (int waited = 0; waited < kStepTimeoutMs; waited += 10) {
        if (std::filesystem::exists(file)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class CTestService : public CNTService {
public:
    CTestService() : CNTService(kServiceName), m_registry(kServiceName) { m_bDebug = true; }

    bool Install(int argc, char** argv) override {
        bool installed = CNTService::Install(argc, argv);
        m_registry.ServiceInit();
        return installed;
    }

    bool Uninstall() override {
        m_registry.ServiceUninstall();
        return CNTService::Uninstall();
    }

    bool OnInit() override {
        for (DWORD step = 1; step <= 3; ++step) {
            {
                std::lock_guard<std::recursive_mutex> lock(StatusLock());
                m_Status.dwCheckPoint = step;
                m_Status.dwWaitHint = 1000 * step + 100;
                SetStatus(SERVICE_START_PENDING);
            }
            if (std::filesystem::exists(PaceDir() / "fail")) {
                return platform::FailWith(ERROR_INVALID_DATA);
            }
            if (!WaitForFile(PaceDir() / ("go-" + std::to_string(step)))) return false;
        }
        DWORD status = 0, inc = 0, controls = 0;
        return m_registry.ServiceInstall(&status, &inc, &controls);
    }

    void Run() override {
        SaveStatus();
        // The stop control sets the shutdown event (OnStop).
        while (m_bIsRunning && WaitForSingleObject(ShutdownEvent(), 1000) == WAIT_TIMEOUT) {
        }
        SaveStatus();
    }

    bool OnUserControl(DWORD code) override {
        CNTService::OnUserControl(code);
        return code == 128;
    }

private:
    void SaveStatus() {
        SERVICE_STATUS status = Status();
        m_registry.SaveStatus(status.dwCurrentState, status.dwCheckPoint,
                              status.dwControlsAccepted);
    }

    DSRegistry m_registry;
};

}  // namespace

int main(int argc, char** argv) {
    std::ofstream log;
    std::streambuf* console = std::clog.rdbuf();
    if (!PaceDir().empty()) {
        log.open(PaceDir() / "service.log", std::ios::app);
        std::clog.rdbuf(log.rdbuf());
    }
    int exitCode = 0;
    {
        CTestService service;
        if (argc > 2 && std::strcmp(argv[1], "-control") == 0) {
            service.Control(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        } else if (!service.ParseStandardArgs(argc, argv)) {
            service.StartService();
            exitCode = static_cast<int>(service.Status().dwWin32ExitCode);
        }
    }
    std::clog.flush();
    std::clog.rdbuf(console);
    return platform::ExitStatusFromWin32(static_cast<DWORD>(exitCode));
}
