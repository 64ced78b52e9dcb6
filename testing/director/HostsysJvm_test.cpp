// Tests that load libHostsys into a Java VM running the test director.
//
// Each case copies the launcher into a fresh tree ("<tmp>/vantrix/bin"), so
// the VM's process finds the tree home from its own program path, and runs
// the director's NativeProbe with -Xcheck:jni; the director records every
// call and log item in a file that the test reads back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/winbase.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/InstallTree.h"
#include "testing/support/SleeperProcess.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tavro::testing::InstallTree;
using tavro::testing::ReadFile;
using tavro::testing::SleeperProcess;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;

constexpr int kBoundMs = 60000;  // longest a VM may take to do what a test expects

class HostsysJvmTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_root = m_tmp.Path();
        m_home = m_root / "vantrix";
        InstallTree(m_home)
            .Directories({tavro::testing::kDataDir})
            .Program("bin/tavro_javarun", TAVRO_JAVARUN);
        m_launcher = m_home / "bin/tavro_javarun";
        m_record = m_root / "record.txt";
        m_output = m_root / "vm-output.txt";
    }

    void TearDown() override {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    // Starts the director's NativeProbe with `commands`.
    void Start(const std::vector<std::string>& commands, const char* jar = TAVRO_DIRECTOR_JAR,
               const std::vector<std::string>& environment = {}) {
        StartClass("com.pelmar.vantrix.tavro.core.NativeProbe", commands, jar, environment);
    }

    void StartClass(const std::string& mainClass, const std::vector<std::string>& arguments,
                    const char* jar, const std::vector<std::string>& environment) {
        std::vector<std::string> args = {
            m_launcher.string(),
            "-Xcheck:jni",
        };
        args.insert(args.end(), m_vmOptions.begin(), m_vmOptions.end());
        args.insert(args.end(), {
                                    std::string("-Djava.class.path=") + jar,
                                    std::string("-Djava.library.path=") + TAVRO_HOSTSYS_DIR,
                                    mainClass,
                                });
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env;
        for (char** var = environ; *var; ++var) env.emplace_back(*var);
        env.push_back("TAVRO_DIRECTOR_RECORD=" + m_record.string());
        env.insert(env.end(), environment.begin(), environment.end());
        std::vector<char*> argv, envp;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (auto& var : env) envp.push_back(var.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(rc, 0) << "cannot start " << argv[0];
    }

    std::vector<std::string> Record() {
        std::istringstream in(ReadFile(m_record));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    bool HasLine(const std::string& prefix) {
        for (const auto& line : Record())
            if (line.starts_with(prefix)) return true;
        return false;
    }

    int CountLines(const std::string& prefix) {
        int count = 0;
        for (const auto& line : Record())
            if (line.starts_with(prefix)) ++count;
        return count;
    }

    // Whether the VM has ended (it is then reaped).
    bool Ended() {
        if (m_pid <= 0) return true;
        if (waitpid(m_pid, &m_status, WNOHANG) != m_pid) return false;
        m_pid = -1;
        return true;
    }

    // Waits until the record holds a line starting with `prefix`.
    bool WaitForLine(const std::string& prefix) {
        WaitFor([&] { return HasLine(prefix) || Ended(); }, kBoundMs);
        return HasLine(prefix);
    }

    // Waits until the VM sleeps in the native wait whose result the line
    // `call` records, and expects that line to be missing: the wait lasts
    // until the test releases it. The platform's wait polls two descriptors
    // here, the process handle and the event's.
    void ExpectWaiting(const std::string& call) {
        bool waiting = false;
        WaitFor(
            [&] {
                waiting = tavro::testing::SleepsInPoll(m_pid, 2);
                return waiting || HasLine(call) || Ended();
            },
            kBoundMs);
        EXPECT_FALSE(HasLine(call));
        EXPECT_TRUE(waiting) << "the Java VM did not wait";
    }

    // Waits for the VM to end; expects a clean exit without JNI complaints.
    void ExpectCleanExit(const char* lastLine = "done") {
        WaitFor([&] { return Ended(); }, kBoundMs);
        ASSERT_LE(m_pid, 0) << "the Java VM did not end";
        std::string output = ReadFile(m_output);
        EXPECT_TRUE(WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0) << output;
        EXPECT_EQ(output.find("in native method"), std::string::npos) << output;  // -Xcheck:jni
        EXPECT_TRUE(HasLine(lastLine)) << output;
    }

    // Runs ntSysShutdown on the event `name`, expects it to block, and to
    // return true once `release` has run.
    template <typename Release>
    void ExpectShutdownWaitEndsBy(const std::string& name, Release release) {
        Start({"shutdown:" + name});
        ASSERT_TRUE(WaitForLine("begin ntSysShutdown"));
        ExpectWaiting("call ntSysShutdown");
        release();
        ExpectCleanExit();
        EXPECT_TRUE(HasLine("call ntSysShutdown true"));
    }

    // A status file for the director of the tree.
    void WriteStatus(const std::string& text) {
        WriteFile(m_home / "specific/tavro/data/tavro.stat", text);
    }

    tavro::testing::TempDir m_tmp{"hostsys-jvm"};
    fs::path m_root, m_home, m_launcher, m_record, m_output;
    std::vector<std::string> m_vmOptions;  // given to the VM before the class path
    pid_t m_pid = -1;
    int m_status = 0;
};

TEST_F(HostsysJvmTest, AdminServerNativesAnswer) {
    Start({"pid", "javadone:anything", "javadone:", "affinity"});
    ExpectCleanExit();
    auto lines = Record();
    std::string self;
    for (const auto& line : lines)
        if (line.starts_with("self ")) self = line.substr(5);
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(HasLine("call ntPid " + self));
    EXPECT_EQ(CountLines("call ntSignalJavaDone true"), 2);
    EXPECT_TRUE(HasLine("call ntSetAffinity true"));
}

TEST_F(HostsysJvmTest, SysShutdownWithoutEventFailsAtOnceAndLogs) {
    Start({"shutdown:Qim-2147483000"});
    ExpectCleanExit();
    EXPECT_TRUE(HasLine("call ntSysShutdown false"));
    EXPECT_TRUE(HasLine("log 3 Hostsys.ntSysShutdown Error:  "));
}

TEST_F(HostsysJvmTest, SysShutdownBlocksUntilTheServiceSetsTheEvent) {
    std::string name = "Qim-" + std::to_string(getpid());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    ExpectShutdownWaitEndsBy(name, [&] { SetEvent(event); });
    CloseHandle(event);
}

TEST_F(HostsysJvmTest, SysShutdownEndsWhenTheServiceProcessDies) {
    SleeperProcess service;
    std::string name = "Qim-" + std::to_string(service.Pid());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    ExpectShutdownWaitEndsBy(name, [&] { service.End(); });
    CloseHandle(event);
}

TEST_F(HostsysJvmTest, SysShutdownUsesOnlyTheGivenLength) {
    std::string name = "Qim-" + std::to_string(getpid());
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, name.c_str());  // already set
    ASSERT_NE(event, nullptr);
    std::string padded = name + "9999";
    Start({"shutdown:" + padded + ":" + std::to_string(name.size()), "shutdown:" + name + ":-1",
           "shutdown:" + name + ":" + std::to_string(name.size() + 1)});
    ExpectCleanExit();
    auto lines = Record();
    std::vector<std::string> results;
    for (const auto& line : lines)
        if (line.starts_with("call ntSysShutdown")) results.push_back(line);
    EXPECT_EQ(results,
              (std::vector<std::string>{"call ntSysShutdown true", "call ntSysShutdown false",
                                        "call ntSysShutdown false"}));
    EXPECT_EQ(CountLines("log 3 Hostsys.ntSysShutdown bad event name length: "), 2);
    CloseHandle(event);
}

TEST_F(HostsysJvmTest, DirectorDeadFollowsTheStatusFile) {
    struct Case {
        const char* state;  // nullptr: no status file
        bool waits;         // waits for the named process
        std::string log;    // a log item expected, or empty
    } cases[] = {
        {"SYSTEM_UP", true, ""},
        {"SYSTEM_STARTING", true, ""},
        {"SYSTEM_SHUTDOWN", true, ""},
        {"SYSTEM_ERROR", false,
         "log 3 Hostsys.getDirectorPid: Could not read status from TAVRO status file."},
        {"SYSTEM_DOWN", false,
         "log 3 Hostsys.getDirectorPid: Could not read status from TAVRO status file."},
        // The home is the text before "vantrix" followed by "/vantrix".
        {nullptr, false,
         "log 3 Hostsys.getDirectorPid:The TAVRO status file " + m_root.string() +
             "//vantrix/specific/tavro/data/tavro.stat could not e opened  "
             "The file or key does not exist."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state ? c.state : "no status file");
        SleeperProcess director;
        fs::remove(m_record);
        fs::remove(m_home / "specific/tavro/data/tavro.stat");
        if (c.state)
            WriteStatus(std::string(c.state) + " " + std::to_string(director.Pid()) + "\n");
        Start({"dead"});
        ASSERT_TRUE(WaitForLine("begin IsNTDirectorDead"));
        if (c.waits) {
            ExpectWaiting("call IsNTDirectorDead");
            director.End();
        }
        ExpectCleanExit();
        EXPECT_TRUE(HasLine("call IsNTDirectorDead true"));
        if (!c.log.empty()) {
            EXPECT_TRUE(HasLine(c.log));
        }
    }
}

TEST_F(HostsysJvmTest, RuntimeLinkedFromOutsideTheTreeFindsTheHomeElsewhere) {
    // The usual layout: the tree's runtime is a link to a system one, so
    // the VM's real program path names no tree.
    InstallTree system(m_root / "system-jdk");
    system.Program("bin/java", TAVRO_JAVARUN);
    InstallTree(m_home).Link("common/jre/bin/java", system / "bin/java");
    m_launcher = m_home / "common/jre/bin/java";

    struct Case {
        const char* how;
        std::vector<std::string> options;
        std::vector<std::string> environment;
    } cases[] = {
        {"system property", {"-DVantrix.Home=" + m_home.string()}, {}},
        {"environment variable", {}, {"VANTRIX_HOME=" + m_home.string()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        SleeperProcess director;
        fs::remove(m_record);
        WriteStatus("SYSTEM_UP " + std::to_string(director.Pid()) + "\n");
        m_vmOptions = c.options;
        Start({"dead"}, TAVRO_DIRECTOR_JAR, c.environment);
        ASSERT_TRUE(WaitForLine("begin IsNTDirectorDead"));
        // Found through the home: the wait lasts as long as the director.
        ExpectWaiting("call IsNTDirectorDead");
        director.End();
        ExpectCleanExit();
        EXPECT_TRUE(HasLine("call IsNTDirectorDead true"));
    }
}

TEST_F(HostsysJvmTest, ManyShortLivedThreadsLogSafely) {
    Start({"threads:16:40", "shutdown:Qim-2147483000"});
    ExpectCleanExit();
    EXPECT_TRUE(HasLine("call threads done"));
    EXPECT_GE(CountLines("log 3 Hostsys.ntSysShutdown Error:"), 10);
    // The main thread, new to the bridge, still finds a free entry after
    // hundreds of others came and went: its call's log item comes just
    // before its result.
    auto lines = Record();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], "call ntSysShutdown false");
    EXPECT_TRUE(lines[lines.size() - 3].starts_with("log 3 Hostsys.ntSysShutdown Error:"))
        << lines[lines.size() - 4] << "\n"
        << lines[lines.size() - 3];
}

TEST_F(HostsysJvmTest, MissingLogClassLeavesNoJavaException) {
    Start({"shutdown:Qim-2147483000", "shutdown:Qim-2147483001", "pid"}, TAVRO_DIRECTOR_NOLOG_JAR);
    ExpectCleanExit();
    EXPECT_EQ(CountLines("call ntSysShutdown false"), 2);
    EXPECT_TRUE(HasLine("call ntPid "));
    EXPECT_FALSE(HasLine("log "));
}

TEST_F(HostsysJvmTest, ThrowingLogMethodIsClearedAndReported) {
    Start({"shutdown:Qim-2147483000", "pid"}, TAVRO_DIRECTOR_JAR,
          {"TAVRO_DIRECTOR_LOG_THROW=ntSysShutdown Error"});
    ExpectCleanExit();
    EXPECT_TRUE(HasLine("log 3 Hostsys.ntSysShutdown Error:"));
    EXPECT_TRUE(HasLine("log 3 C2J_Logger.logItem.CallStaticBooleanMethod(LogItem)"));
    EXPECT_TRUE(
        HasLine("log 3 C2J_Logger.logItem.CallStaticBooleanMethod(LogItem) JNIexception cleared"));
    EXPECT_TRUE(HasLine("call ntSysShutdown false"));
    EXPECT_TRUE(HasLine("call ntPid "));
}

// The director itself: started as the service starts it, it waits on the
// shutdown event and stops, or ignores the stop and ends on its own.
TEST_F(HostsysJvmTest, DirectorStopsOrIgnoresTheShutdown) {
    struct Case {
        const char* stop;
        const char* recorded;
        const char* last;
    } cases[] = {
        {"answer", "stop answered shutdown-event", "stop answered"},
        {"ignore", "stop ignored shutdown-event", "exit self"},
    };
    std::string name = "Qim-" + std::to_string(getpid());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    // The director's link on ports of this test's own, not the fixed ones a
    // service of another test may hold: nothing listens on the service's.
    const int linkPort = tavro::testing::ClosedLoopbackPort();
    ASSERT_GT(linkPort, 0);
    int servicePort = 0;
    do {
        servicePort = tavro::testing::ClosedLoopbackPort();
        ASSERT_GT(servicePort, 0);
    } while (servicePort == linkPort);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stop);
        ResetEvent(event);
        fs::remove(m_record);
        StartClass("com.pelmar.vantrix.tavro.core.TAVROController",
                   {"-errf", "e.txt", "-outf", "o.txt"}, TAVRO_DIRECTOR_JAR,
                   {"TAVRO_DIRECTOR_EVENT=" + name, std::string("TAVRO_DIRECTOR_STOP=") + c.stop,
                    "TAVRO_DIRECTOR_PORT=" + std::to_string(linkPort),
                    "TAVRO_DIRECTOR_SERVICE_PORT=" + std::to_string(servicePort),
                    "TAVRO_DIRECTOR_EXIT_MS=" +
                        std::string(c.stop == std::string("ignore") ? "1500" : "60000")});
        ASSERT_TRUE(WaitForLine("main -errf e.txt -outf o.txt"));
        SetEvent(event);
        ExpectCleanExit(c.last);
        EXPECT_TRUE(HasLine("call ntSysShutdown true"));
        EXPECT_TRUE(HasLine(c.recorded));
    }
    CloseHandle(event);
}

}  // namespace
