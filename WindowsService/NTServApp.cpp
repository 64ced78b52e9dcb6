// TavroService program entry: single instance, service log and command line.
#include <fcntl.h>
#include <strings.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "Hostsys/DSEnv.h"
#include "Hostsys/Env.h"
#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "WindowsService/DSRegistry.h"
#include "WindowsService/JavaCppVM.h"
#include "WindowsService/LSAPrivs.h"
#include "WindowsService/ServiceLogBuf.h"
#include "WindowsService/TavroCom.h"
#include "WindowsService/TavroJVM.h"
#include "WindowsService/TavroService.h"
#include "platform/base/Posix.h"

// The process-control singleton prints the library's own revision lines.
#if __has_include("Hostsys/Hostsys.h")
#include "Hostsys/Hostsys.h"
#include "platform/Program.h"
#define TAVRO_HAS_HOSTSYS_REVISIONS 1
#endif

namespace {

const char* const kRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/NTServApp.cpp", "1.28");
const char* const kRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/NTServApp.h", "1.2");

constexpr const char* kInstanceMutex = "Only.one.TavroService";
constexpr const char* kHelpFile = "/common/share/DSHelp.txt";
constexpr int kHelpPageLines = 20;

constexpr const char* kUsage =
    "usage: TavroService                  run as the service (the service manager starts it so)\n"
    "       TavroService -i [-a ACCOUNT] [NAME VALUE ...]\n"
    "                                     install the service, storing the NAME VALUE switches\n"
    "                                     (-Port, -RunPriority, -Affinity, -Verbose, ...)\n"
    "       TavroService -u               remove the service\n"
    "       TavroService -Interactive     run the service in this console\n"
    "       TavroService -env [-a|-d] NAME VALUE ...\n"
    "                                     edit the private environment file\n"
    "       TavroService -stop | -start | -shutdown | -interrogate\n"
    "                                     send the running service a control request\n"
    "       TavroService -version         print the revision strings\n"
    "       TavroService -?               page through the help file\n";

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
                                 DSRegistry::s_pRevisionCpp,
                                 DSRegistry::s_pRevisionH,
                                 Env::s_pRevisionCpp,
                                 Env::s_pRevisionH,
                                 JavaCppVM::s_pRevisionCpp,
                                 JavaCppVM::s_pRevisionH,
                                 LSAPrivs::s_pRevisionCpp,
                                 LSAPrivs::s_pRevisionH,
                                 kRevisionCpp,
                                 kRevisionH,
                                 CNTSystemError::s_pRevisionCpp,
                                 CNTSystemError::s_pRevisionH,
                                 CNTService::s_pRevisionCpp,
                                 CNTService::s_pRevisionH};
    for (const char* line : lines) std::cout << line << std::endl;
#ifdef TAVRO_HAS_HOSTSYS_REVISIONS
    CHostsys::printDllRevisions();
#endif
}

// Pages through the tree's help text on the console, 20 lines at a time.
// The path of the help file when there is none, else empty.
std::string Help(CTavroService& service, const std::string& module) {
    std::string path = service.Env().GetVantrixHome(module.c_str()) + kHelpFile;
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        std::cout << "failed to find help file DSHelp.txt" << std::endl;
        return path;
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
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            } else if (text.size() == sizeof line - 1) {
                // A full buffer: the line may end right here, or go on as
                // the next line (nothing is dropped).
                int next = std::fgetc(file);
                if (next != '\n' && next != EOF) std::ungetc(next, file);
            }
            std::cout << text << std::endl;
            ++shown;
        }
        // The file is at its end only once a read has found the end: a
        // page that ends with the last line still shows the prompt.
        if (more && !std::feof(file)) std::cout << "more>>" << std::flush;
        std::cin.get();
    }
    std::fclose(file);
    return {};
}

// Hands the process to the service control dispatcher.
// False when the process was not started by the service manager.
bool RunAsService(CTavroService& service) {
    const bool dispatched = service.StartService();
    const DWORD error = GetLastError();
    if (service.IsRunning()) service.OnStop();
    return dispatched || error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
}

std::string ModulePath() { return platform::ModuleFileName(); }

// A failed action says why in one line on standard error (the log stream
// goes to the service log); the program then exits non-zero.
class Failure {
public:
    void operator()(const std::string& why) {
        std::cerr << "TavroService: " << why << std::endl;
        failed_ = true;
    }
    // A failure that the output has already explained (the usage).
    void Quietly() { failed_ = true; }
    bool Failed() const { return failed_; }

private:
    bool failed_ = false;
};

// The first argument that is exactly "-i" or "-u" (the program name
// included), as the service's ParseStandardArgs finds it; null for none.
const char* StandardSwitch(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "-i" || std::string(argv[i]) == "-u") return argv[i];
    }
    return nullptr;
}

// Why the install switches cannot be stored; empty when they can. Each of
// the four is taken once: a repeated one is refused, not half-applied.
std::string RefuseInstallSwitches(int argc, char** argv) {
    static const char* const kSwitches[] = {"-RunPriority", "-Affinity", "-Verbose", "-Port"};
    for (const char* name : kSwitches) {
        int seen = 0;
        for (int i = 0; i + 1 < argc; ++i) {
            if (std::string(argv[i]) != name) continue;
            if (++seen > 1) return std::string(name) + " is given more than once";
            if (std::string(name) != "-Port") continue;
            // The link listens on the port plus one: both must be ports.
            const std::string value = argv[i + 1];
            char* end = nullptr;
            unsigned long port = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                port == 0 || port > 65534)
                return "-Port " + value + " is not a port number (1 to 65534)";
        }
    }
    return {};
}

std::string LastErrorLine() {
    std::string text = CNTSystemError().GetMsgString();
    size_t id = text.find(" ID:");
    if (id != std::string::npos) text.erase(id);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

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
    const std::string logFile = env.GetDSLogFile(module.c_str());
    // The log is the service user's own (0640 whatever the umask), and a
    // link planted in its place is refused.
    // Every thread logs through std::clog: whole lines, one write each.
    std::unique_ptr<ServiceLogBuf> log;
    const int logFd = platform::OpenOwnFile(logFile.c_str(), O_WRONLY | O_APPEND, 0640);
    if (logFd >= 0) log = std::make_unique<ServiceLogBuf>(logFd);
    // Without its log file the program's diagnostics stay on standard error.
    std::streambuf* previous = nullptr;
    if (log)
        previous = std::clog.rdbuf(log.get());
    else
        std::cerr << "TavroService: cannot open the service log " << logFile
                  << "; diagnostics go to standard error" << std::endl;
    if (!module.empty()) env.RenameOutputFiles(module.c_str());

    Failure fail;
    // Every exception is caught here, so that the end sequence below always
    // runs (the mutex is released, the log is closed); the action that it
    // ended counts as failed.
    try {
        const char* standard = StandardSwitch(argc, argv);
        const char* first = argc > 1 ? argv[1] : nullptr;
        if (standard && std::string(standard) == "-i") {
            std::string refusal = RefuseInstallSwitches(argc, argv);
            if (!refusal.empty()) {
                fail("not installed: " + refusal);
            } else if (!service->ParseStandardArgs(argc, argv) || !service->InstallCompleted()) {
                const std::string& why = service->InstallRefusal();
                fail(why.empty() ? "the install did not complete: the service log says why"
                                 : "not installed: " + why);
            }
        } else if (standard) {
            if (!service->ParseStandardArgs(argc, argv))
                fail("the service was not removed completely: the service log says why");
        } else if (!first) {
            if (!RunAsService(*service))
                fail(
                    "this program must be started by the service manager (or run with "
                    "-Interactive to run the service in this console)");
        } else if (std::string(first) == "-Interactive") {
            service->SetInteractive(true);
            // A start that fails has said why on standard error.
            if (service->OnInit())
                service->Run();
            else
                fail("the service did not start");
        } else if (std::string(first) == "-env") {
            DSEnv edit;
            if (argc < 4)
                fail("-env needs a name and a value (-env [-a|-d] NAME VALUE ...)");
            else if (!edit.Interface(argc, argv))
                fail(
                    "-env: the private environment file was not changed as asked (a name "
                    "missing from it, or one that cannot be stored)");
        } else if (Is(first, "-stop")) {
            if (!service->Control(SERVICE_CONTROL_STOP)) fail("-stop failed: " + LastErrorLine());
        } else if (Is(first, "-start")) {
            if (!service->Control(CNTService::kControlStart))
                fail("-start failed: " + LastErrorLine());
        } else if (Is(first, "-shutdown")) {
            if (!service->Control(SERVICE_CONTROL_SHUTDOWN))
                fail("-shutdown failed: " + LastErrorLine());
        } else if (Is(first, "-interrogate")) {
            if (!service->Control(SERVICE_CONTROL_INTERROGATE))
                fail("-interrogate failed: " + LastErrorLine());
        } else if (Is(first, "-version")) {
            PrintRevisions();
        } else if (Is(first, "-?")) {
            const std::string missing = Help(*service, module);
            if (!missing.empty()) fail("no help file " + missing);
        } else {
            // The service manager starts the program without arguments: an
            // argument it does not know is a user's mistake, not a service start.
            if (!Is(first, "--help") && !Is(first, "-h"))
                fail(std::string("unknown switch ") + first);
            else
                fail.Quietly();
            std::cerr << kUsage;
        }
    } catch (...) {
        fail("the action ended by an unexpected error");
    }

    DWORD code = service->Status().dwWin32ExitCode;
    CloseHandle(instance);
    time_t now = time(nullptr);
    char when[32] = "";
    ctime_r(&now, when);
    std::clog << "NTServApp exiting " << when << std::flush;
    if (previous) std::clog.rdbuf(previous);
    log.reset();
    delete service;
    int status = platform::ExitStatusFromWin32(code);
    return fail.Failed() && status == 0 ? 1 : status;
}
