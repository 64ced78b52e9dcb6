// A service built on CNTService, for the multi-process service tests.
//   tavro_test_service -i | -u | -v   install, remove, print the version
//   tavro_test_service -control <code> send a control to the installed service
//   tavro_test_service                 run as the service
// The directory in TAVRO_TEST_SERVICE_DIR paces the start: the service
// reports start-pending with checkpoints 1 to 3 (wait hints 1100, 2100 and
// 3100 ms) and goes on from checkpoint n once the file "go-<n>" exists there;
// a file "fail" makes the start fail. Its log stream goes to "service.log"
// there, whole lines from every thread (ServiceLogBuf, as the service host
// logs). The user control 129 has 4 threads write 250 lines each to that
// log at once, "TestService.chatter <thread> line <n> of the log".
#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "WindowsService/DSRegistry.h"
#include "WindowsService/NTService.h"
#include "WindowsService/ServiceLogBuf.h"
#include "platform/Program.h"
#include "platform/base/Posix.h"

namespace {

constexpr const char* kServiceName = "Tavro_Test_Service";
constexpr int kStepTimeoutMs = 20000;
constexpr DWORD kChatterControl = 129;
constexpr int kChatterThreads = 4;
constexpr int kChatterLines = 250;

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
        if (code == kChatterControl) Chatter();
        return code == 128 || code == kChatterControl;
    }

private:
    // Lines written in pieces by several threads at once, beside the
    // handler's own.
    static void Chatter() {
        std::vector<std::thread> threads;
        for (int t = 0; t < kChatterThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kChatterLines; ++i)
                    std::clog << "TestService.chatter " << t << " line " << i << " of the log"
                              << std::endl;
            });
        for (std::thread& thread : threads) thread.join();
    }

    void SaveStatus() {
        SERVICE_STATUS status = Status();
        m_registry.SaveStatus(status.dwCurrentState, status.dwCheckPoint,
                              status.dwControlsAccepted);
    }

    DSRegistry m_registry;
};

}  // namespace

int main(int argc, char** argv) {
    // Every thread logs through std::clog: whole lines, one write each.
    std::unique_ptr<ServiceLogBuf> log;
    std::streambuf* console = std::clog.rdbuf();
    if (!PaceDir().empty()) {
        const int fd =
            platform::OpenOwnFile((PaceDir() / "service.log").c_str(), O_WRONLY | O_APPEND, 0600);
        if (fd >= 0) {
            log = std::make_unique<ServiceLogBuf>(fd);
            std::clog.rdbuf(log.get());
        }
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
