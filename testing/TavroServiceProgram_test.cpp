// The TavroService program on a tree of its own: install, remove, the
// console run, a start through the service manager and its stop, with a
// director that talks the socket link.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Hostsys/Env.h"
#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/winevt.h"
#include "platform/winsvc.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/InstallTree.h"
#include "testing/support/JavaVm.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/ShellDirector.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::ReadFile;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;
using tavro::testing::WriteShellDirector;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Tavro_Service";

// A listening socket of the test on 127.0.0.1:`port`; -1 when the port is
// taken. It accepts through its backlog and never answers by itself.
int ListenOn(int port) { return tavro::testing::ListenLoopbackOn(port, 5, true); }

// Whether process `pid` runs (and is not a zombie waiting to be reaped).
bool Running(pid_t pid) {
    std::string stat = tavro::testing::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A tree <state>/tree/vantrix with the program in bin/ and the shell
// director that the tree's tavro.bat starts.
class TavroServiceTest : public ::testing::Test {
protected:
    // Each test starts without the service record, keys and tree of the
    // tests before it.
    tavro::testing::FreshState state_;

    void SetUp() override {
        home_ = platform::StateDir() / "tree" / "vantrix";
        using namespace tavro::testing;
        InstallTree(home_)
            .Directories(
                {kBinDir, kDataDir, kServiceLogDir, kConfigDir, kDirectorLogDir, kShareDir})
            .File("common/jars/director.jar")
            .Program("bin/TavroService", TAVRO_SERVICE);
        WriteShellDirector(home_);
        platform::RegKey control;
        ASSERT_EQ(control.Create("SYSTEM\\CurrentControlSet\\Control"), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (service_) CloseServiceHandle(service_);
        if (manager_) CloseServiceHandle(manager_);
        std::string pid = ReadFile(home_ / "bin/director.pid");
        if (!pid.empty()) kill(static_cast<pid_t>(std::stoi(pid)), SIGKILL);
        unsetenv("EXIT_AFTER");
    }

    std::string Program() const { return (home_ / "bin/TavroService").string(); }
    ChildResult Run(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), Program());
        return tavro::testing::RunChild(args, input, 60000);
    }
    // The program's run with its two output streams apart.
    tavro::testing::ChildStreams RunSplit(std::vector<std::string> args,
                                          const std::string& input = {}) {
        args.insert(args.begin(), Program());
        return tavro::testing::RunChildStreams(args, input, 60000);
    }
    std::string ServiceLog() { return ReadFile(home_ / "specific/tavro/logs/tavroService.log"); }
    std::string Private(const char* name) {
        ::Env file((home_ / "specific/tavro/data/NTPriv.env").string());
        std::string record = file.ReadEnvVar(name);
        file.Close();
        return record;
    }
    void SetPrivate(const char* name, const char* value) {
        ::Env file((home_ / "specific/tavro/data/NTPriv.env").string());
        ASSERT_TRUE(file.OpenWrite());
        ASSERT_TRUE(file.AddEnvVar(name, value));
        file.Close();
    }
    // Starts the installed service as the service manager does; true once
    // it reports running.
    bool StartThroughServiceManager() {
        if (service_) CloseServiceHandle(service_);
        if (manager_) CloseServiceHandle(manager_);
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service_ = manager_ ? OpenServiceA(manager_, "Tavro_Service", SERVICE_ALL_ACCESS) : nullptr;
        if (!service_ || !StartServiceA(service_, 0, nullptr)) return false;
        return WaitFor([&] { return State() == SERVICE_RUNNING; }, 30000);
    }
    DWORD State() {
        SERVICE_STATUS status{};
        QueryServiceStatus(service_, &status);
        return status.dwCurrentState;
    }
    static std::vector<std::string> Events() {
        std::vector<std::string> events;
        std::ifstream in(platform::EventLogFile());
        const std::string prefix = "Tavro_Service\t";
        for (std::string line; std::getline(in, line);) {
            std::string fields = line.substr(line.find('\t') + 1);
            if (fields.rfind(prefix, 0) == 0) events.push_back(fields.substr(prefix.size()));
        }
        return events;
    }
    static bool KeyExists(const std::string& key) {
        platform::RegKey open;
        return open.Open(key) == ERROR_SUCCESS;
    }

    ChildGuard guard_;
    fs::path home_;
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

TEST_F(TavroServiceTest, InstallStoresWhatTheUserGaveAndRemovalCleansUp) {
    ChildResult installed = Run({"-Port", "9300", "-FF", "50", "-i"});
    EXPECT_EQ(installed.exitStatus, 0) << installed.output;
    EXPECT_TRUE(KeyExists(kServiceKey));
    EXPECT_TRUE(KeyExists(std::string(kServiceKey) + "\\Parameters"));
    EXPECT_TRUE(
        KeyExists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tavro_Service"));
    EXPECT_EQ(Private("VANTRIX_HOME"), "VANTRIX_HOME=" + home_.string());
    EXPECT_EQ(Private("-Port"), "-Port=9300");
    EXPECT_EQ(Private("-FF"), "-FF=50");
    EXPECT_EQ(Private("9300"), "");

    ChildResult removed = Run({"-u"});
    EXPECT_EQ(removed.exitStatus, 0) << removed.output;
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(fs::exists(home_ / "specific/tavro/data/NTPriv.env"));
}

TEST_F(TavroServiceTest, VersionAndHelpPrintToTheConsole) {
    ChildResult version = Run({"-VERSION"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.output.rfind("Revisions for TavroService\n", 0), 0u) << version.output;
    EXPECT_THAT(version.output,
                HasSubstr("$Source: /usr/local/cvsroot/tavro/WindowsService/basesocket.cpp,v $ "
                          "$Revision: 1.17 $ $Name:  $\n"));
    // Every class's strings take the one keyword form, each file in its place.
    for (const char* line :
         {"$Source: Hostsys/DSEnv.cpp,v $ $Revision: 1.12 $ $Name:  $\n"
          "$Source: Hostsys/DSEnv.h,v $ $Revision: 1.6 $ $Name:  $\n"
          "$Source: /usr/local/cvsroot/tavro/WindowsService/DSRegistry.cpp,v $ $Revision: 1.10 $ "
          "$Name:  $\n",
          "$Source: Hostsys/Env.cpp,v $ $Revision: 1.9 $ $Name:  $\n"
          "$Source: Hostsys/Env.h,v $ $Revision: 1.4 $ $Name:  $\n",
          "$Source: /usr/local/cvsroot/tavro/WindowsService/JavaCppVM.h,v $_ $Revision: 1.9 $ "
          "$Name:  $\n",
          "$Source: Hostsys/NTSystemError.cpp,v $ $Revision: 1.5 $ $Name:  $\n"
          "$Source: Hostsys/NTSystemError.h,v $ $Revision: 1.3 $ $Name:  $\n"
          "$Source: /usr/local/cvsroot/tavro/WindowsService/NTService.cpp,v $ $Revision: 1.40 $ "
          "$Name:  $\n"})
        EXPECT_THAT(version.output, HasSubstr(line));

    EXPECT_THAT(Run({"-?"}, "\n").output, HasSubstr("failed to find help file DSHelp.txt"));
    std::string help;
    for (int i = 1; i <= 25; ++i) help += "line " + std::to_string(i) + "\n";
    WriteFile(home_ / "common/share/DSHelp.txt", help);
    ChildResult paged = Run({"-?"}, "\n\n");
    EXPECT_EQ(paged.exitStatus, 0);
    EXPECT_THAT(paged.output, HasSubstr("line 20\nmore>>line 21\n"));
    EXPECT_THAT(paged.output, HasSubstr("line 25\n"));
}

TEST_F(TavroServiceTest, ConsoleRunStartsTheDirectorAndEndsWithIt) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    setenv("EXIT_AFTER", "2", 1);
    ChildResult run = Run({"-Interactive"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(ReadFile(home_ / "bin/hello").rfind("Qim-", 0), 0u);
    std::string log = ServiceLog();
    EXPECT_THAT(log, HasSubstr("TavroService.Tavro Director is up \n"));
    EXPECT_THAT(log, HasSubstr("TavroService.Run. exiting \n"));
    EXPECT_THAT(log, HasSubstr("NTServApp exiting "));
}

TEST_F(TavroServiceTest, ServiceStopTerminatesADirectorThatIgnoresIt) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    SetPrivate("-WS", "1");
    SetPrivate("-MSW", "3");
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(home_ / "bin/hello").empty(); }, 30000));
    pid_t director = static_cast<pid_t>(std::stoi(ReadFile(home_ / "bin/director.pid")));
    EXPECT_EQ(kill(director, 0), 0);

    ChildResult stop = Run({"-stop"});
    EXPECT_EQ(stop.exitStatus, 0) << stop.output;
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 30000));
    std::string log = ServiceLog();
    EXPECT_THAT(log,
                HasSubstr("Error - TavroService.Run: JVM did not shutdown with in 3 seconds\n"));
    EXPECT_THAT(log, HasSubstr("Error - TavroService.Run: now aborting\n"));
    // The director was orphaned to this test: it is reaped here once killed.
    EXPECT_NE(ChildGuard::WaitChild(director, 10000), -1);
}

TEST_F(TavroServiceTest, HugeTimingsAreClampedNotWrapped) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    // 1000 times -WS plus -FF is 5,000,000,005 ms: beyond 32 bits.
    SetPrivate("-WS", "5000000");
    SetPrivate("-FF", "5");
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(home_ / "bin/hello").empty(); }, 30000));
    pid_t service = static_cast<pid_t>(std::stoi(ReadFile(home_ / "bin/hello").substr(4)));
    EXPECT_EQ(Run({"-stop"}).exitStatus, 0);
    SERVICE_STATUS status{};
    EXPECT_TRUE(WaitFor(
        [&] {
            QueryServiceStatus(service_, &status);
            return status.dwCurrentState == SERVICE_STOP_PENDING && status.dwCheckPoint > 0;
        },
        30000));
    EXPECT_EQ(status.dwWaitHint, 0xFFFFFFFEu);
    // Its stop wait would last for ever: the test ends the service.
    kill(service, SIGKILL);
    EXPECT_NE(ChildGuard::WaitChild(service, 10000), -1);
}

TEST_F(TavroServiceTest, ControlsFromAShellReachTheRunningService) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    SetPrivate("-WS", "1");
    SetPrivate("-MSW", "3");
    ASSERT_TRUE(StartThroughServiceManager());
    EXPECT_EQ(Run({"-interrogate"}).exitStatus, 0);
    EXPECT_EQ(Run({"-START"}).exitStatus, 0);  // already running: refused, logged
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_THAT(ServiceLog(), HasSubstr("NTService.control "));
    EXPECT_EQ(Run({"-shutdown"}).exitStatus, 0);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 30000));
    EXPECT_THAT(ServiceLog(), HasSubstr("Error - TavroService.Run: now aborting\n"));
}

TEST_F(TavroServiceTest, SecondInstanceWaitsForTheFirst) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    setenv("EXIT_AFTER", "3", 1);
    ChildResult first;
    std::thread console([&] { first = Run({"-Interactive"}); });
    bool started = WaitFor([&] { return !ReadFile(home_ / "bin/hello").empty(); }, 30000);
    ChildResult second = started ? Run({"-version"}) : ChildResult{};
    console.join();  // bounded: the director ends by itself, Run() has a time limit
    ASSERT_TRUE(started);
    EXPECT_EQ(first.exitStatus, 0);
    EXPECT_EQ(second.exitStatus, 0);
    // The wait comes before the service log is opened: its lines go to the console.
    EXPECT_THAT(second.output, HasSubstr("TavroService is already running try again later\n"));
    EXPECT_THAT(second.output, HasSubstr("Revisions for TavroService\n"));
}

TEST_F(TavroServiceTest, ProgramAnsweringOnTheDirectorPortRefusesTheStart) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    int listener = ListenOn(9292);
    ASSERT_GE(listener, 0);
    std::thread answer([&] {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        char byte = 0;
        recv(fd, &byte, 1, 0);
        send(fd, &byte, 1, MSG_NOSIGNAL);
        close(fd);
    });
    ChildResult run = Run({"-Interactive"});
    shutdown(listener, SHUT_RDWR);  // ends the accept when the service never probed
    answer.join();
    close(listener);
    EXPECT_GT(run.exitStatus, 0);
    EXPECT_THAT(run.output,
                HasSubstr("TavroService: a director already answers on port 9292: not starting\n"));
    EXPECT_THAT(ServiceLog(),
                HasSubstr("Error - TavroService.Run: tavro is running in a developer environment "
                          "TavroSerivce \n TavroSerivce will not be starting \n"));
    EXPECT_FALSE(fs::exists(home_ / "bin/hello"));
}

TEST_F(TavroServiceTest, SilentProgramOnTheDirectorPortHoldsNeitherStartNorStop) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    int silent = ListenOn(9292);
    ASSERT_GE(silent, 0);
    setenv("EXIT_AFTER", "2", 1);
    ChildResult run = Run({"-Interactive"});
    close(silent);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    std::string log = ServiceLog();
    EXPECT_THAT(log, HasSubstr("TavroCom.Probe no answer on port 9292 within 3000 ms: taken as "
                               "no director\n"));
    EXPECT_THAT(log, HasSubstr("TavroService.Tavro Director is up \n"));
    EXPECT_THAT(log, HasSubstr("TavroService.Run. exiting \n"));
    // The watch thread's last stop may come after the log has closed.
    EXPECT_THAT(log + run.output,
                HasSubstr("TavroCom.SendStop stop not delivered to port 9292 within 3000 ms\n"));
}

TEST_F(TavroServiceTest, PeerNamingAForeignPidCannotHaveItKilled) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    SetPrivate("-WS", "1");
    SetPrivate("-MSW", "3");
    // The batch starts an unrelated process, then a peer that takes the
    // link hello and names that process as the director.
    WriteFile(home_ / "bin/tavro.bat",
              "#!/bin/bash\n"
              "cd \"$(dirname \"$0\")\"\n"
              "sleep 60 </dev/null >/dev/null 2>&1 &\n"
              "echo $! > sleeper.pid\n"
              "( exec 3<>/dev/tcp/$(hostname)/9293 || exit 1\n"
              "  IFS= read -r -t 5 -n 4 hello <&3\n"
              "  printf '%s' \"$hello\" > hello\n"
              "  printf '%s' \"$(cat sleeper.pid)\" >&3\n"
              "  sleep 20 ) </dev/null >/dev/null 2>&1 &\n");
    fs::permissions(home_ / "bin/tavro.bat", fs::perms::owner_all);
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    service_ = OpenServiceA(manager_, "Tavro_Service", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr));
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(home_ / "bin/hello").empty(); }, 30000));
    pid_t sleeper = static_cast<pid_t>(std::stoi(ReadFile(home_ / "bin/sleeper.pid")));

    Run({"-stop"});  // refused when the start has already failed
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 30000));
    EXPECT_TRUE(Running(sleeper));
    EXPECT_THAT(ServiceLog(),
                HasSubstr("TavroCom.ClientStart ignored pid " + std::to_string(sleeper) +
                          ": that process does not hold the link's connection\n"));
    kill(sleeper, SIGKILL);
}

TEST_F(TavroServiceTest, FailingBatchStartIsAFailedStart) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    fs::remove(home_ / "bin/tavro.bat");
    const std::string why = "the director did not start: tavro.bat start ended with status 127\n";

    ChildResult run = Run({"-Interactive"});
    EXPECT_GT(run.exitStatus, 0);
    EXPECT_THAT(run.output, HasSubstr("TavroService: " + why));

    ASSERT_TRUE(StartThroughServiceManager() || State() == SERVICE_STOPPED);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 30000));
    EXPECT_THAT(Events(), testing::Contains("Error\t104\tThe initialization process failed."));
    std::string log = ServiceLog();
    EXPECT_THAT(log, HasSubstr("Error - TavroService.Run: " + why));
    EXPECT_THAT(log, Not(HasSubstr("Tavro Director is up")));
}

TEST_F(TavroServiceTest, TakenLinkPortIsReportedOnTheConsole) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    int taken = ListenOn(9293);
    ASSERT_GE(taken, 0);
    ChildResult run = Run({"-Interactive"});
    close(taken);
    EXPECT_GT(run.exitStatus, 0);
    EXPECT_THAT(run.output, HasSubstr("TavroService: the director did not start: the link "
                                      "listener could not listen on port 9293\n"));
}

TEST_F(TavroServiceTest, DeletingTheEmptyNameReturnsAtOnce) {
    SetPrivate("A", "1");
    ASSERT_EQ(Run({"-env", "-d", "A", "x"}).exitStatus, 0);  // leaves a blanked record
    ChildResult run = Run({"-env", "-d", "", "x"});
    EXPECT_GT(run.exitStatus, 0);  // -1 would be the time-out
    EXPECT_THAT(run.output, HasSubstr("TavroService: -env: "));
}

TEST_F(TavroServiceTest, FailedCommandsSayWhyAndExitNonZero) {
    struct Case {
        std::vector<std::string> args;
        std::string why;
    };
    const Case cases[] = {
        {{"-Port", "9300", "-Port", "9301", "-i"},
         "not installed: -Port is given more than once\n"},
        {{"-Port", "abc", "-i"}, "not installed: -Port abc is not a port number (1 to 65534)\n"},
        {{"-stop"}, "-stop failed: The service is not installed.\n"},
        {{"-START"}, "-start failed: The service is not installed.\n"},
        {{"-shutdown"}, "-shutdown failed: The service is not installed.\n"},
        {{"-u"}, "the service was not removed completely: the service log says why\n"},
        {{"-env", "-d", "NOPE", "x"}, "-env: the private environment file was not changed"},
        {{"-env", "A"}, "-env needs a name and a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        ChildResult run = Run(c.args);
        EXPECT_GT(run.exitStatus, 0);
        EXPECT_THAT(run.output, HasSubstr("TavroService: " + c.why));
        EXPECT_FALSE(KeyExists(kServiceKey));
    }
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    ChildResult again = Run({"-i"});
    EXPECT_GT(again.exitStatus, 0);
    EXPECT_THAT(again.output, HasSubstr("TavroService: the install did not complete: the service "
                                        "log says why\n"));
}

// The service object's closing line, which ends standard error once the
// log stream is given back (the time varies).
constexpr char kClosingLine[] = "TavroService\\.~TavroSevice Output log ended at:[^\n]*\n";

// A private environment file that cannot be written (a link planted in its
// place is refused) is a failed install: nothing is installed.
TEST_F(TavroServiceTest, InstallThatCannotStoreItsSwitchesFails) {
    const fs::path file = home_ / "specific/tavro/data/NTPriv.env";
    const fs::path target = home_ / "elsewhere.env";
    WriteFile(target, "");
    fs::create_symlink(target, file);
    const auto run = RunSplit({"-Port", "9300", "-i"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, ::testing::MatchesRegex("TavroService: not installed: the install "
                                                 "switches cannot be stored in " +
                                                 file.string() + "\n" + kClosingLine))
        << run.err;
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_EQ(ReadFile(target), "");
}

// Started from a console rather than by the service manager, the program
// says how it is to be started.
TEST_F(TavroServiceTest, NoArgumentsOutsideTheServiceManagerSaysHowToStart) {
    const auto run = RunSplit({});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err,
                ::testing::MatchesRegex(std::string("TavroService: this program must be started by "
                                                    "the service manager \\(or run with "
                                                    "-Interactive to run the service in this "
                                                    "console\\)\n") +
                                        kClosingLine))
        << run.err;
    EXPECT_THAT(ServiceLog(), HasSubstr("NTService.StartService exiting:"));
}

TEST_F(TavroServiceTest, SwitchesItDoesNotKnowPrintTheUsageOnStandardError) {
    struct Case {
        std::string argument;
        std::string why;  // the line before the usage; empty for a request for help
    };
    const Case cases[] = {
        {"--help", ""},
        {"-h", ""},
        {"-I", "TavroService: unknown switch -I\n"},
        {"start", "TavroService: unknown switch start\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        const auto run = RunSplit({c.argument});
        EXPECT_GT(run.exitStatus, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind(c.why + "usage: TavroService ", 0), 0u) << run.err;
        EXPECT_THAT(run.err, HasSubstr("\n       TavroService -Interactive "));
    }
}

TEST_F(TavroServiceTest, MissingHelpFileIsNamed) {
    const auto run = RunSplit({"-?"}, "\n");
    EXPECT_GT(run.exitStatus, 0);
    EXPECT_EQ(run.out, "failed to find help file DSHelp.txt\n");
    // The service object's closing line follows on the restored log stream.
    EXPECT_EQ(
        run.err.rfind(
            "TavroService: no help file " + (home_ / "common/share/DSHelp.txt").string() + "\n", 0),
        0u)
        << run.err;
}

TEST_F(TavroServiceTest, ServiceLogThatCannotBeOpenedLeavesDiagnosticsOnStandardError) {
    fs::remove_all(home_ / "specific/tavro/logs");
    const auto run = RunSplit({"-version"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out.rfind("Revisions for TavroService\n", 0), 0u) << run.out;
    EXPECT_EQ(run.err.rfind("TavroService: cannot open the service log " +
                                (home_ / "specific/tavro/logs/tavroService.log").string() +
                                "; diagnostics go to standard error\n",
                            0),
              0u)
        << run.err;
    EXPECT_THAT(run.err, HasSubstr("NTServApp exiting "));
}

TEST_F(TavroServiceTest, ServiceLogIsPrivateAndNeverALinkTarget) {
    const fs::path logFile = home_ / "specific/tavro/logs/tavroService.log";
    const mode_t old = umask(0);
    const ChildResult run = Run({"-version"});
    umask(old);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(fs::status(logFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A link in the log's place: its target is left alone, the program says
    // why on standard error and goes on.
    fs::remove(logFile);
    const fs::path target = home_ / "target.txt";
    WriteFile(target, "kept\n");
    fs::create_symlink(target, logFile);
    const auto linked = RunSplit({"-version"});
    EXPECT_EQ(linked.exitStatus, 0);
    EXPECT_EQ(ReadFile(target), "kept\n");
    EXPECT_EQ(linked.err.rfind("TavroService: cannot open the service log ", 0), 0u) << linked.err;
}

TEST_F(TavroServiceTest, HelpPagerEdges) {
    struct Case {
        const char* what;
        std::string file;
        std::string shown;
    };
    std::string twenty;
    for (int i = 1; i <= 20; ++i) twenty += "line " + std::to_string(i) + "\n";
    const std::string longest(127, 'x');
    const Case cases[] = {
        {"a page that ends with the file still prompts", twenty, "line 20\nmore>>"},
        {"a 127-character line is one line", longest + "\nnext\n", longest + "\nnext\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(home_ / "common/share/DSHelp.txt", c.file);
        ChildResult paged = Run({"-?"}, "\n\n");
        EXPECT_EQ(paged.exitStatus, 0);
        EXPECT_THAT(paged.output, HasSubstr(c.shown));
    }
}

// The Java test director of the tree, started through tavro.bat or run in
// the service's own Java VM; its record file tells what it did.
class TavroServiceJavaTest : public TavroServiceTest {
protected:
    void SetUp() override {
        TavroServiceTest::SetUp();
        record_ = home_ / "record.txt";
        setenv("TAVRO_DIRECTOR_RECORD", record_.c_str(), 1);
        // The service's own Java VM takes SIGSEGV for its checks.
        setenv("ASAN_OPTIONS", tavro::testing::kJavaVmSanitizerOptions, 1);
        std::string home = home_.string();
        // The test launcher of the Java VM, built like the libraries (so a
        // sanitizer build loads libHostsys into it too).
        WriteFile(home_ / "bin/tavro.bat",
                  "#!/bin/sh\n\"" TAVRO_JAVARUN "\" -Xrs -Djava.class.path=\"" TAVRO_DIRECTOR_JAR
                  "\" -Djava.library.path=\"" TAVRO_HOSTSYS_DIR "\" -DVantrix.Home=\"" +
                      home +
                      "\" com.pelmar.vantrix.tavro.core.TAVROController -errf e -outf o "
                      "</dev/null &\necho $! > \"$(dirname \"$0\")/director.pid\"\n");
        fs::permissions(home_ / "bin/tavro.bat", fs::perms::owner_all);
    }
    void TearDown() override {
        TavroServiceTest::TearDown();
        unsetenv("TAVRO_DIRECTOR_RECORD");
        unsetenv("TAVRO_DIRECTOR_EXIT_MS");
        unsetenv("TAVRO_DIRECTOR_EXIT_LINKED");
        unsetenv("TAVRO_DIRECTOR_STOP");
        unsetenv("ASAN_OPTIONS");
    }
    std::string Record() { return ReadFile(record_); }
    // The private settings of a director in the service's own Java VM.
    void RunDirectorInTheService() {
        SetPrivate("-JVMProcess", "Yes");
        SetPrivate("-JVMPath", TAVRO_LIBJVM);
        SetPrivate("VANTRIX_PATH", TAVRO_DIRECTOR_JAR);
        SetPrivate("-JVM", "-Xrs");
        fs::create_symlink(fs::path(TAVRO_HOSTSYS_DIR) / "libHostsys.so",
                           home_ / "common/share/libHostsys.so");
    }
    std::string Status() { return ReadFile(home_ / "specific/tavro/data/tavro.stat"); }

    fs::path record_;
};

TEST_F(TavroServiceJavaTest, DirectorProcessStartsAndStopsWithTheService) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    SetPrivate("-WS", "1");
    SetPrivate("-MSW", "20");
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return Status().rfind("SYSTEM_UP ", 0) == 0; }, 30000)) << Record();
    EXPECT_THAT(Record(), HasSubstr("link hello Qim-"));
    EXPECT_THAT(Record(), HasSubstr("link pid sent"));

    EXPECT_EQ(Run({"-stop"}).exitStatus, 0);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 40000));
    EXPECT_THAT(Record(), HasSubstr("call ntSysShutdown true"));
    EXPECT_THAT(Record(), HasSubstr("stop answered"));
    EXPECT_THAT(ServiceLog(), HasSubstr("TavroService.Run: JVM shutdown completed successfully"));
    EXPECT_TRUE(WaitFor([&] { return Status().rfind("SYSTEM_DOWN ", 0) == 0; }, 10000));
}

TEST_F(TavroServiceJavaTest, DirectorInTheServiceProcessRunsUntilItEnds) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    RunDirectorInTheService();
    // The director ends on its own once its link is up, however long its
    // Java VM takes to start; the time limit only bounds a director that
    // never links (below the run's own limit).
    setenv("TAVRO_DIRECTOR_EXIT_LINKED", "1", 1);
    setenv("TAVRO_DIRECTOR_EXIT_MS", "40000", 1);
    ChildResult run = Run({"-Interactive"});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    std::string record = Record();
    EXPECT_THAT(record, HasSubstr("main -errf " + home_.string() +
                                  "/specific/norba/logs/director_err.txt -outf " + home_.string() +
                                  "/specific/norba/logs/director_out.txt"));
    EXPECT_THAT(record, HasSubstr("link hello Qim-"));
    EXPECT_THAT(record, HasSubstr("exit self"));
    EXPECT_THAT(ServiceLog(), HasSubstr("TavroService.Run. exiting "));
}

TEST_F(TavroServiceJavaTest, DirectorInTheServiceThatIgnoresTheStopEndsTheProcess) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    RunDirectorInTheService();
    SetPrivate("-WS", "1");
    SetPrivate("-MSW", "3");
    setenv("TAVRO_DIRECTOR_STOP", "ignore", 1);
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return Status().rfind("SYSTEM_UP ", 0) == 0; }, 30000)) << Record();
    // The director runs in the service's own process.
    pid_t servicePid = static_cast<pid_t>(std::stoi(Status().substr(10)));

    EXPECT_EQ(Run({"-stop"}).exitStatus, 0);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 30000));
    EXPECT_NE(ChildGuard::WaitChild(servicePid, 20000), -1) << "the service process still runs";
    EXPECT_THAT(Record(), HasSubstr("stop ignored"));
    EXPECT_THAT(ServiceLog(), HasSubstr("Error - TavroService.Run: the director runs inside the "
                                        "service and did not stop: the service process ends\n"));
    int port = ListenOn(9292);
    EXPECT_GE(port, 0) << "the director's port is still taken";
    if (port >= 0) close(port);

    // The next start works, and this time the director stops when asked.
    unsetenv("TAVRO_DIRECTOR_STOP");
    fs::remove(home_ / "specific/tavro/data/tavro.stat");
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return Status().rfind("SYSTEM_UP ", 0) == 0; }, 30000)) << Record();
    EXPECT_EQ(Run({"-stop"}).exitStatus, 0);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 60000));
}

TEST_F(TavroServiceJavaTest, DirectorInTheServiceProcessStopsWithTheService) {
    ASSERT_EQ(Run({"-i"}).exitStatus, 0);
    RunDirectorInTheService();
    ASSERT_TRUE(StartThroughServiceManager());
    ASSERT_TRUE(WaitFor([&] { return Status().rfind("SYSTEM_UP ", 0) == 0; }, 30000)) << Record();
    EXPECT_EQ(Run({"-stop"}).exitStatus, 0);
    EXPECT_TRUE(WaitFor([&] { return State() == SERVICE_STOPPED; }, 60000));
    EXPECT_THAT(Record(), HasSubstr("call ntSysShutdown true"));
    EXPECT_THAT(Record(), HasSubstr("stop answered"));
    EXPECT_THAT(ServiceLog(), HasSubstr("TavroService.Run: JVM shutdown completed successfully"));
}

}  // namespace
