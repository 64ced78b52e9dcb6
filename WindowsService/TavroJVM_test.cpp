// Tests of the director host's batch command and error reports.
#include "WindowsService/TavroJVM.h"
#include "platform/PlatformState.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Hostsys/DSEnv.h"
#include "testing/support/ShellDirector.h"
#include "testing/support/TempDir.h"

#include "testing/support/InstallTree.h"
#include "testing/support/LogCapture.h"

namespace {

using tavro::testing::LogCapture;

using tavro::testing::ReadFile;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;
using tavro::testing::WriteShellDirector;
namespace fs = std::filesystem;

TEST(TavroJVMBatch, QuotesOnlyTheComponentsWithBlanks) {
    struct Case {
        const char* home;
        bool ok;
        const char* quoted;
    };
    const Case cases[] = {
        {"/opt/tree/vantrix", true, "/opt/tree/vantrix"},
        {"/opt/Program Files/Tree/vantrix", true, "/opt/\"Program Files\"/Tree/vantrix"},
        {"/a b/c d/vantrix", true, "/\"a b\"/\"c d\"/vantrix"},
        {"/a/two  blanks/vantrix", true, "/a/\"two  blanks\"/vantrix"},
        {"/opt/Tree/my vantrix", false, nullptr},
        {"no slash here", false, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = c.home;
        EXPECT_EQ(TavroJVM::QuoteHomePath(text), c.ok) << c.home;
        if (c.ok) {
            EXPECT_EQ(text, c.quoted) << c.home;
        }
    }
}

TEST(TavroJVMBatch, ReportsTheRuntimeErrorOfAFailedStart) {
    struct Case {
        int error;
        const char* line;
    };
    const Case cases[] = {
        {ENOENT, "File or path is not found\n"},
        {E2BIG, " Argument list exceeds 1024 bytes\n"},
        {ENOEXEC, " Specified file is not executable or has invalid executable-file format\n"},
        {ENOMEM, " Not enough memory is available to execute new process\n"},
        {EINVAL, "mode argument is invalid\n"},
        {EIO, "unknown error:5\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        errno = c.error;
        EXPECT_FALSE(TavroJVM::ReportSystemError()) << c.error;
        EXPECT_EQ(log.Text().rfind(c.line, 0), 0u) << log.Text();
        EXPECT_NE(log.Text().find("getLastError::"), std::string::npos);
    }
    LogCapture log;
    errno = 0;
    EXPECT_TRUE(TavroJVM::ReportSystemError());
    EXPECT_EQ(log.Text(), "");
}

// A tree under a temporary directory, with its environment: the home is
// <tmp>/vantrix (or the directory given), the private file is open.
class TavroJVMTree : public testing::Test {
protected:
    void MakeTree(const std::string& homeName = "vantrix") {
        home_ = tmp_.Path() / homeName;
        tavro::testing::InstallTree(home_)
            .Directories({tavro::testing::kDataDir, tavro::testing::kConfigDir,
                          tavro::testing::kDirectorLogDir, tavro::testing::kShareDir})
            .File("common/jars/director.jar");
        env_.GetVantrixHome((home_ / "bin/TavroService").c_str());
        ASSERT_TRUE(env_.OpenEnvFile());
    }
    void SetUp() override { MakeTree(); }
    void Set(const char* name, const char* value) { ASSERT_TRUE(env_.AddEnvVar(name, value)); }

    std::vector<std::string> Options(const TavroJVM& jvm) {
        std::vector<std::string> options;
        for (int i = 0; i < jvm.OptionCount(); ++i) options.push_back(jvm.Option(i).optionString);
        return options;
    }

    TempDir tmp_;
    fs::path home_;
    DSEnv env_;
};

TEST_F(TavroJVMTree, InitChoosesTheWayToRunTheDirector) {
    struct Case {
        const char* jvmProcess;
        const char* javaProcess;
        int mode;
    };
    const Case cases[] = {{nullptr, nullptr, TavroJVM::kJavaProcess},
                          {nullptr, "Yes", TavroJVM::kJavaProcessSwitch},
                          {nullptr, "No", TavroJVM::kJavaProcess},
                          {"Yes", "Yes", TavroJVM::kInProcess}};
    Set("-JVMPath", TAVRO_LIBJVM);
    for (const Case& c : cases) {
        env_.DeleteEnvVar("-JVMProcess");
        env_.DeleteEnvVar("-JavaProcess");
        if (c.jvmProcess) Set("-JVMProcess", c.jvmProcess);
        if (c.javaProcess) Set("-JavaProcess", c.javaProcess);
        TavroJVM jvm;
        EXPECT_TRUE(jvm.Init(&env_, nullptr));
        EXPECT_EQ(jvm.GetMode(), c.mode);
        EXPECT_FALSE(jvm.GetDoNothing());
        // Only the in-process director has options and a runtime library.
        EXPECT_EQ(jvm.OptionCount() > 0, c.mode == TavroJVM::kInProcess);
    }
}

TEST_F(TavroJVMTree, InProcessDirectorGetsTheTreeOptionsInOrder) {
    Set("-JVMProcess", "");
    Set("-Verbose", "");
    Set("-JVMPath", TAVRO_LIBJVM);
    Set("-JVM", "-Xss2m");
    Set("-JVMThreadStack", "512K");
    Set("(-Xms", "-Xms64m");
    Set("(-Xdebug", "-Xdebug");
    WriteFile(home_ / "specific/tavro/config/TAVRO.REG", "tavro.director.maxHeapSize=256m\r\n");
    TavroJVM jvm;
    LogCapture log;
    ASSERT_TRUE(jvm.Init(&env_, nullptr));
    std::string home = home_.string();
    std::vector<std::string> expected = {
        "vfprintf",
        "-Xverify:none",
        "-DSystem.Exit=no",
        "-Djava.class.path=" + env_.GetVantrixPath(""),
        "-Djava.library.path=" + home + "/common/share:" + home + "/common/jre/bin:" + home +
            "/common/jre/bin/hotspot:",
        "-DVantrix.Home=" + home,
        "-DZota.Home=" + (platform::StateDir() / "System32/ZOTASupLogs").string(),
        "-Xss2m",
        "-Xms64m",
        "-Xmx256m",
        "-Xdebug"};
    EXPECT_EQ(Options(jvm), expected);
    EXPECT_EQ(jvm.GetThreadStackSize(), 524288u);
    EXPECT_STREQ(jvm.MainArg(0), "-errf");
    EXPECT_EQ(jvm.MainArg(1), home + "/specific/norba/logs/director_err.txt");
    EXPECT_STREQ(jvm.MainArg(2), "-outf");
    EXPECT_EQ(jvm.MainArg(3), home + "/specific/norba/logs/director_out.txt");
    EXPECT_EQ(jvm.MainArg(4), nullptr);
}

TEST_F(TavroJVMTree, HeapRecordServesWhenTheSettingsFileHasNone) {
    Set("-JVMProcess", "");
    Set("-JVMPath", TAVRO_LIBJVM);
    Set("(-Xmx", "-Xmx128m");
    TavroJVM jvm;
    ASSERT_TRUE(jvm.Init(&env_, nullptr));
    EXPECT_EQ(Options(jvm).back(), "-Xmx128m");
}

TEST_F(TavroJVMTree, MissingRuntimeIsLoggedAtInit) {
    Set("-JVMProcess", "");
    TavroJVM jvm;
    LogCapture log;
    EXPECT_FALSE(jvm.Init(&env_, nullptr));
    EXPECT_NE(log.Text().find("JavaCppVM::LoadJVMDll failed 0n file: " + home_.string() +
                              "/common/jre/bin/hotspot/libjvm.so"),
              std::string::npos)
        << log.Text();
}

// A tavro.bat that records its argument and writes to both output streams.
void WriteRecordingBatch(const fs::path& home) {
    fs::path script = home / "bin/tavro.bat";
    WriteFile(script,
              "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/ran\"\necho out\necho err >&2\n");
    fs::permissions(script, fs::perms::owner_all);
}

TEST_F(TavroJVMTree, BatchStartRunsTheTreeScriptWithItsOutputFiles) {
    for (const char* homeName : {"plain/vantrix", "Program Files/vantrix"}) {
        TempDir other;
        env_ = DSEnv();
        home_ = tmp_.Path() / homeName;
        MakeTree(homeName);
        WriteRecordingBatch(home_);
        WriteFile(home_ / "specific/norba/logs/director_err.txt", "before\n");
        TavroJVM jvm;
        ASSERT_TRUE(jvm.Init(&env_, nullptr));
        EXPECT_TRUE(jvm.StartBatch()) << homeName;
        EXPECT_EQ(ReadFile(home_ / "bin/ran"), "start\n") << homeName;
        EXPECT_EQ(ReadFile(home_ / "specific/norba/logs/director_out.txt"), "out\n");
        EXPECT_EQ(ReadFile(home_ / "specific/norba/logs/director_err.txt"), "before\nerr\n");
    }
}

TEST_F(TavroJVMTree, HomeWithABlankInItsLastNameIsRefused) {
    env_ = DSEnv();
    fs::create_directories(tmp_.Path() / "my tree");
    env_.GetVantrixHome((tmp_.Path() / "my tree/TavroService").c_str());
    TavroJVM jvm;
    ASSERT_TRUE(jvm.Init(&env_, nullptr));
    LogCapture log;
    EXPECT_FALSE(jvm.StartBatch());
    EXPECT_NE(log.Text().find("TavroJVM failed to build batch command:"), std::string::npos);
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (done()) return true;
        Sleep(20);
    }
    return done();
}

class TavroJVMWatch : public TavroJVMTree {
protected:
    void SetUp() override {
        TavroJVMTree::SetUp();
        // The pid a test before this one took stays for the process's life.
        TavroCom::s_dwDirectorPid = 0;
        ResetEvent(TavroCom::PidArrivedEvent());
        shutdown_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        basesocket::s_hShutdownEvent = shutdown_;
        WriteShellDirector(home_);
    }
    void TearDown() override {
        // The director's pid came from the director itself: end it whatever
        // state the host is in.
        if (TavroCom::s_dwDirectorPid != 0)
            kill(static_cast<pid_t>(TavroCom::s_dwDirectorPid), SIGKILL);
        SetEvent(shutdown_);
        unsetenv("EXIT_AFTER");
    }
    bool ShutdownSet(int ms) { return WaitForSingleObject(shutdown_, ms) == WAIT_OBJECT_0; }

    HANDLE shutdown_ = nullptr;
};

TEST_F(TavroJVMWatch, DirectorProcessReportsItsPidAndIsWatched) {
    auto jvm = std::make_unique<TavroJVM>();
    ASSERT_TRUE(jvm->Init(&env_, shutdown_));
    ASSERT_TRUE(jvm->StartJavaThread());
    HANDLE watchThread = TavroJVM::DirectorHandle();
    ASSERT_NE(watchThread, nullptr);
    ASSERT_TRUE(WaitUntil([] { return TavroCom::s_dwDirectorPid != 0; }, 15000));
    ASSERT_TRUE(WaitUntil([&] { return TavroJVM::DirectorHandle() != watchThread; }, 5000));
    EXPECT_EQ(ReadFile(home_ / "bin/hello"), "Qim-" + std::to_string(GetCurrentProcessId()));
    HANDLE director = TavroJVM::DirectorHandle();
    ASSERT_NE(director, nullptr);
    EXPECT_EQ(WaitForSingleObject(director, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ShutdownSet(0));

    // The end of the director ends the watch and asks the service to stop.
    LogCapture log;
    ASSERT_TRUE(TerminateProcess(director, 9));
    EXPECT_TRUE(ShutdownSet(15000));
    EXPECT_TRUE(WaitUntil([&] { return !jvm->WatchThreadRunning(); }, 15000));
    EXPECT_NE(log.Text().find("TavroJVM.StartJava is exiting java.exe is assumed to be stopped"),
              std::string::npos)
        << log.Text();
    jvm.reset();
}

TEST_F(TavroJVMWatch, DirectorThatExitsByItselfStopsTheService) {
    setenv("EXIT_AFTER", "1", 1);
    TavroJVM jvm;
    ASSERT_TRUE(jvm.Init(&env_, shutdown_));
    ASSERT_TRUE(jvm.StartJavaThread());
    EXPECT_TRUE(ShutdownSet(20000));
    EXPECT_TRUE(WaitUntil([&] { return !jvm.WatchThreadRunning(); }, 15000));
    EXPECT_NE(TavroCom::s_dwDirectorPid.load(), 0u);
}

TEST_F(TavroJVMWatch, ServiceStopEndsTheWatch) {
    TavroJVM jvm;
    ASSERT_TRUE(jvm.Init(&env_, shutdown_));
    ASSERT_TRUE(jvm.StartJavaThread());
    ASSERT_TRUE(WaitUntil([] { return TavroCom::s_dwDirectorPid != 0; }, 15000));
    Sleep(200);
    SetEvent(shutdown_);
    EXPECT_TRUE(WaitUntil([&] { return !jvm.WatchThreadRunning(); }, 15000));
    // The director runs on (it ignored no stop byte: nothing serves 9292).
    EXPECT_EQ(WaitForSingleObject(TavroJVM::DirectorHandle(), 0), WAIT_TIMEOUT);
}

TEST_F(TavroJVMWatch, InProcessDirectorWithoutItsClassStopsTheService) {
    Set("-JVMProcess", "");
    Set("-JVMPath", TAVRO_LIBJVM);
    Set("-JVM", "-Xrs");
    LogCapture log;
    {
        TavroJVM jvm;
        ASSERT_TRUE(jvm.Init(&env_, shutdown_));
        ASSERT_TRUE(jvm.StartJavaThread());
        EXPECT_TRUE(ShutdownSet(30000));
        EXPECT_TRUE(WaitUntil([&] { return !jvm.WatchThreadRunning(); }, 30000));
    }
    EXPECT_NE(log.Text().find("TavroJVM.RunClass Couldn't find class "
                              "com/pelmar/vantrix/tavro/core/TAVROController"),
              std::string::npos)
        << log.Text();
    EXPECT_NE(log.Text().find("Option: 0 -Xverify:none"), std::string::npos);
    EXPECT_NE(log.Text().find("JavaCppVM.UnloadJVM end "), std::string::npos);
}

}  // namespace
