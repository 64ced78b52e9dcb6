// TavroService program entry: single instance, service log and command line.
#include <strings.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>

#include "Hostsys/DSEnv.h"
#include "Hostsys/Env.h"
#include "Hostsys/NTSystemError.h"
#include "WindowsService/JavaCppVM.h"
#include "WindowsService/TavroCom.h"
#include "WindowsService/TavroJVM.h"
#include "WindowsService/TavroService.h"

// The process-control singleton prints the library's own revision lines.
#if __has_include("Hostsys/Hostsys.h")
#include "Hostsys/Hostsys.h"
#include "platform/Program.h"
#define TAVRO_HAS_HOSTSYS_REVISIONS 1
#endif

namespace {

const char* const kRevisionCpp =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/NTServApp.cpp,v $ $Revision: 1.28 $ "
    "$Name:  $";
const char* const kRevisionH =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/NTServApp.h,v $ $Revision: 1.2 $ "
    "$Name:  $";

// The keyword strings of the framework's files, which keep none of their own.
const char* const kDSRegistryCpp =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/DSRegistry.cpp,v $ $Revision: 1.10 $ "
    "$Name:  $";
const char* const kDSRegistryH =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/DSRegistry.h,v $ $Revision: 1.5 $ "
    "$Name:  $";
const char* const kLSAPrivsCpp =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/LSAPrivs.cpp,v $ $Revision: 1.4 $ "
    "$Name:  $";
const char* const kLSAPrivsH =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/LSAPrivs.h,v $ $Revision: 1.3 $ "
    "$Name:  $";
const char* const kNTServiceCpp =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/NTService.cpp,v $ $Revision: 1.40 $ "
    "$Name:  $";
const char* const kNTServiceH =
    "$Source: /usr/local/cvsroot/tavro/WindowsService/NTService.h,v $ $Revision: 1.12 $ "
    "$Name:  $";

constexpr const char* kInstanceMutex = "Only.one.TavroService";
constexpr const char* kHelpFile = "/common/share/DSHelp.txt";
constexpr int kHelpPageLines = 20;

bool Is(const char* argument, const char* name) { return strcasecmp(argument, name) == 0; }

void PrintRevisions() {
    std::cout << "Revisions for TavroService" << std::endl;
    const char* const lines[] = {basesocket::s_pRevisionCpp,
                                 basesocket::s_pRevisionH,
                                 TavroCom::s_pRevisionCpp,
                                 TavroCom::s_pRevisionH,
                                 TavroJVM::s_pRevisionCpp,
                                 TavroJVM::s_pRevisionH,
                                 CTavroService::s_pRevisionCpp,
                                 CTavroService::s_pRevisionH,
                                 DSEnv::s_pRevisionCpp,
                                 DSEnv::s_pRevisionH,
                                 kDSRegistryCpp,
                                 kDSRegistryH,
                                 Env::s_pRevisionCpp,
                                 Env::s_pRevisionH,
                                 JavaCppVM::s_pRevisionCpp,
                                 JavaCppVM::s_pRevisionH,
                                 kLSAPrivsCpp,
                                 kLSAPrivsH,
                                 kRevisionCpp,
                                 kRevisionH,
                                 CNTSystemError::s_pRevisionCpp,
                                 CNTSystemError::s_pRevisionH,
                                 kNTServiceCpp,
                                 kNTServiceH};
    for (const char* line : lines) std::cout << line << std::endl;
#ifdef TAVRO_HAS_HOSTSYS_REVISIONS
    CHostsys::printDllRevisions();
#endif
}

// Pages through the tree's help text on the console, 20 lines at a time.
void Help(CTavroService& service, const std::string& module) {
    std::string path = service.Env().GetVantrixHome(module.c_str()) + kHelpFile;
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        std::cout << "failed to find help file DSHelp.txt" << std::endl;
        return;
    }
    char line[128];
    bool more = true;
    while (more) {
        int shown = 0;
        while (shown < kHelpPageLines) {
            if (!std::fgets(line, sizeof line, file)) {
                more = false;
                break;
            }
            std::string text = line;
            // A longer line goes on as the next line; nothing is dropped.
            if (!text.empty() && text.back() == '\n') text.pop_back();
            std::cout << text << std::endl;
            ++shown;
        }
        if (more) {
            int next = std::fgetc(file);
            if (next == EOF) {
                more = false;
            } else {
                std::ungetc(next, file);
                std::cout << "more>>" << std::flush;
            }
        }
        std::cin.get();
    }
    std::fclose(file);
}

// Hands the process to the service control dispatcher.
void RunAsService(CTavroService& service) {
    service.StartService();
    if (service.IsRunning()) service.OnStop();
}

std::string ModulePath() { return platform::ModuleFileName(); }

}  // namespace

int main(int argc, char** argv) {
    auto* service = new CTavroService;

    HANDLE instance = nullptr;
    for (;;) {
        instance = CreateMutexA(nullptr, TRUE, kInstanceMutex);
        if (!instance) {
            std::clog << "TavroService failed to create an exclusive mutex exiting" << std::endl;
            delete service;
            return 1;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
        std::clog << "TavroService is already running try again later" << std::endl;
        CloseHandle(instance);
        Sleep(1000);
    }

    std::string module = ModulePath();
    DSEnv env;
    std::ofstream log(env.GetDSLogFile(module.c_str()), std::ios::app);
    if (!log.is_open()) log.open(env.GetDSLogFile(module.c_str()), std::ios::trunc);
    std::streambuf* previous = std::clog.rdbuf(log.rdbuf());
    if (!module.empty()) env.RenameOutputFiles(module.c_str());

    try {
        if (service->ParseStandardArgs(argc, argv) == 0) {
            const char* first = argc > 1 ? argv[1] : nullptr;
            if (!first) {
                RunAsService(*service);
            } else if (std::string(first) == "-Interactive") {
                if (service->OnInit()) service->Run();
            } else if (std::string(first) == "-i" || std::string(first) == "-u") {
                // installed or removed above
            } else if (std::string(first) == "-env") {
                DSEnv edit;
                edit.Interface(argc, argv);
            } else if (Is(first, "-stop")) {
                service->Control(SERVICE_CONTROL_STOP);
            } else if (Is(first, "-start")) {
                service->Control(129);
            } else if (Is(first, "-shutdown")) {
                service->Control(SERVICE_CONTROL_SHUTDOWN);
            } else if (Is(first, "-interrogate")) {
                service->Control(SERVICE_CONTROL_INTERROGATE);
            } else if (Is(first, "-version")) {
                PrintRevisions();
            } else if (Is(first, "-?")) {
                Help(*service, module);
            } else {
                RunAsService(*service);
            }
        }
    } catch (...) {
        // Nothing more to do: the end sequence runs as for any other action.
    }

    DWORD code = service->Status().dwWin32ExitCode;
    CloseHandle(instance);
    time_t now = time(nullptr);
    char when[32] = "";
    ctime_r(&now, when);
    std::clog << "NTServApp exiting " << when << std::flush;
    std::clog.rdbuf(previous);
    log.close();
    delete service;
    return platform::ExitStatusFromWin32(code);
}
