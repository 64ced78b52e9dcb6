// The TavroService program on a tree of its own: install, remove, the
// console run, a start through the service manager and its stop, with a
// director that talks the socket link.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Hostsys/Env.h"
#include "platform/PlatformState.h"
#include "platform/RegKey.h"
#include "platform/winsvc.h"
#include "testing/ChildProcesses.h"
#include "testing/ShellDirector.h"
#include "testing/TempDir.h"

namespace {

using ::testing::HasSubstr;
using testing_support::ChildGuard;
using testing_support::ChildResult;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;
using testing_support::WriteShellDirector;
namespace fs = std::filesystem;

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Tavro_Service";

// A tree <state>/tree/vantrix with the program in bin/ and the shell
// director that the tree's tavro.bat starts.
class TavroServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = platform::StateDir() / "tree" / "vantrix";
        for (const char* dir : {"bin", "specific/tavro/data", "specific/tavro/logs",
                                "specific/tavro/config", "specific/norba/logs", "common/share"})
            fs::create_directories(home_ / dir);
        WriteFile(home_ / "common/jars/director.jar", "");
        fs::copy_file(TAVRO_SERVICE, Program());
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
        return testing_support::RunChild(args, input, 60000);
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
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9292);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 5), 0);
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
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_THAT(ServiceLog(),
                HasSubstr("Error - TavroService.Run: tavro is running in a developer environment "
                          "TavroSerivce \n TavroSerivce will not be starting \n"));
    EXPECT_FALSE(fs::exists(home_ / "bin/hello"));
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
        setenv("ASAN_OPTIONS", "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0", 1);
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
    setenv("TAVRO_DIRECTOR_EXIT_MS", "3000", 1);
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
