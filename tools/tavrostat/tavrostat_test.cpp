// Tests of tavrostat as a process, with a tree of its own and real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/SleeperProcess.h"
#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::RunChild;
using tavro::testing::SleeperProcess;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr char kUndetermined[] = "The status of the Director process could not be determined\n";
constexpr char kGone[] =
    "The Director's status file indicates it is running, but the process ID\n"
    "was not found, so the Director process is NOT running.\n";

std::string Id(const SleeperProcess& process) { return std::to_string(process.Pid()); }

class TavrostatTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.Path().empty());
        home_ = tmp_.Path() / "vantrix";
        fs::create_directories(home_ / "specific/tavro/data");
        setenv("VANTRIX_HOME", home_.c_str(), 1);
    }

    void Status(const std::string& text) {
        WriteFile(home_ / "specific/tavro/data/tavro.stat", text);
    }

    static ChildResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), TAVROSTAT);
        return RunChild(args);
    }
    static void Expect(const std::vector<std::string>& args, const std::string& output, int status,
                       const std::string& label) {
        const ChildResult result = Run(args);
        EXPECT_EQ(result.output, output) << label << " " << testing::PrintToString(args);
        EXPECT_EQ(result.exitStatus, status) << label << " " << testing::PrintToString(args);
    }

    // An id no process has: one that just ended.
    static std::string GonePid() {
        SleeperProcess gone;
        std::string pid = std::to_string(gone.Pid());
        gone.End();
        return pid;
    }

    ChildGuard guard_;
    TempDir tmp_{"tavrostat"};
    fs::path home_;
    SleeperProcess java_{"java"};
    SleeperProcess service_{"TavroService"};
};

// Each row of the report table, and the same in silence.
TEST_F(TavrostatTest, ReportFollowsStatusFileAndProcess) {
    const std::string self = std::to_string(getpid());
    const std::string java = Id(java_);
    const std::string gone = GonePid();
    const std::string checking = "Checking for TAVRO director with PID ";
    struct Case {
        std::string status;
        std::string output;
        int exit;
    } cases[] = {
        {"SYSTEM_DOWN", "The Director process is NOT running.\n", 1},
        {"SYSTEM_ERROR 12\n", "The Director process is NOT running.\n", 1},
        {"SYSTEM_UP " + java, checking + java + "\nThe Director process is running.\n", 3},
        {"SYSTEM_STARTING\r\n" + java + "\r\n",
         checking + java + "\nThe Director process is starting up.\n", 5},
        {"SYSTEM_SHUTDOWN " + java, checking + java + "\nThe Director process is shutting down.\n",
         7},
        {"SYSTEM_UP " + Id(service_),
         checking + Id(service_) + "\nThe Director process is running.\n", 3},
        {"SYSTEM_UP " + self, checking + self + "\n" + kGone, 9},
        {"SYSTEM_UP " + gone, checking + gone + "\n" + kGone, 9},
        {"SYSTEM_UP", std::string("Could not read PID from TAVRO status file.\n") + kUndetermined,
         99},
        {"system_up " + java, kUndetermined, 99},
        {"", std::string("Could not read status from TAVRO status file.\n") + kUndetermined, 99},
        {std::string(300, 'S') + " " + java, kUndetermined, 99},
        {"SYSTEM_UP " + std::string(200, '0') + java,
         checking + std::string(200, '0') + java + "\nThe Director process is running.\n", 3},
    };
    for (const Case& c : cases) {
        Status(c.status);
        Expect({}, c.output, c.exit, c.status);
        Expect({"silent"}, "", c.exit, c.status);
        Expect({"unknown-mode", "x"}, c.output, c.exit, c.status);
    }
}

TEST_F(TavrostatTest, MissingHomeOrFile) {
    const std::string file = (home_ / "specific/tavro/data/tavro.stat").string();
    const std::string unopened = "The TAVRO status file, " + file + " could not be opened\n";
    Expect({}, unopened + kUndetermined, 99, "no file");
    Expect({"pid"}, unopened, 0, "no file");
    Expect({"-tavro"}, unopened, 1, "no file");
    Expect({"silent"}, "", 99, "no file");
    // A pipe in its place is not opened, so nothing waits on a writer.
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    Expect({}, unopened + kUndetermined, 99, "pipe");
    unsetenv("VANTRIX_HOME");
    const std::string unset = "The VANTRIX_HOME environment variable is not set.\n";
    Expect({}, unset + kUndetermined, 99, "no home");
    Expect({"pid"}, unset, 0, "no home");
    Expect({"-tavro"}, unset, 1, "no home");
    Expect({"silent"}, "", 99, "no home");
}

TEST_F(TavrostatTest, PidQueryPrintsTheRunningDirectorsId) {
    const int java = std::stoi(Id(java_));
    const int mapped = (java & 0xFF) ? (java & 0xFF) : 255;
    Status("SYSTEM_UP " + Id(java_));
    Expect({"pid"}, Id(java_) + "\n", mapped, "up");
    Status("SYSTEM_STARTING 0" + Id(java_));
    Expect({"pid"}, Id(java_) + "\n", mapped, "starting");
    Status("SYSTEM_UP " + std::to_string(getpid()));
    Expect({"pid"}, "", 0, "not the director");
    Status("SYSTEM_DOWN " + Id(java_));
    Expect({"pid"}, "", 0, "down");
    Status("SYSTEM_UP");
    Expect({"pid"}, "Could not read PID from TAVRO status file.\n", 0, "no pid");
}

TEST_F(TavrostatTest, PidFileCheck) {
    const fs::path file = tmp_.Path() / "app.pid";
    // A program whose name is longer than the 15 characters the system keeps.
    const fs::path longName = tmp_.Path() / "director-helper-long-name";
    fs::copy_file("/bin/sleep", longName);
    SleeperProcess helper(longName.string(), "60");
    struct Case {
        std::string contents;  // none: no file
        std::string name;
        int exit;
    } cases[] = {
        {std::to_string(getpid()) + "\n", "tavrostat_test", 3},
        {std::to_string(getpid()), "stat_te", 3},
        {std::to_string(getpid()), "other", 1},
        {Id(java_), "anything", 3},
        {Id(service_), "anything", 3},
        {GonePid(), "gone", 1},
        {"", "tavrostat_test", 99},
        {"  \n\t", "tavrostat_test", 99},
        {"none-a-number", "tavrostat_test", 1},
        {Id(helper), "director-helper-long-name", 3},
        {Id(helper), "director-helper-long-named", 1},
    };
    for (const Case& c : cases) {
        WriteFile(file, c.contents);
        Expect({"-f", file.string(), "-m", c.name}, "", c.exit, c.contents);
    }
    Expect({"-f", (tmp_.Path() / "missing").string(), "-m", "x"}, "", 99, "missing");
    const fs::path pipe = tmp_.Path() / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    Expect({"-f", pipe.string(), "-m", "x"}, "", 99, "pipe");
    // Without "-m" and a name it is the report.
    Status("SYSTEM_DOWN");
    Expect({"-f", file.string(), "-m"}, "The Director process is NOT running.\n", 1, "short");
    Expect({"-f", file.string(), "-x", "y"}, "The Director process is NOT running.\n", 1, "-x");
}

// Waits until `process` has ended without reaping it: it stays a zombie
// (state Z) until its SleeperProcess reaps it.
bool MakeZombie(const SleeperProcess& process) {
    if (kill(process.Pid(), SIGKILL) != 0) return false;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(process.Pid()), &info, WEXITED | WNOWAIT) == 0;
}

// A director (or service) that has exited while its parent has not reaped
// it is not running, in every mode that looks the process up.
TEST_F(TavrostatTest, AnUnreapedProcessIsNotRunning) {
    SleeperProcess java("java");
    SleeperProcess service("TavroService");
    ASSERT_TRUE(MakeZombie(java));
    ASSERT_TRUE(MakeZombie(service));
    const std::string checking = "Checking for TAVRO director with PID ";
    for (const SleeperProcess* zombie : {&java, &service}) {
        const std::string pid = Id(*zombie);
        Status("SYSTEM_UP " + pid);
        Expect({}, checking + pid + "\n" + kGone, 9, "report");
        Expect({"silent"}, "", 9, "silent");
        Expect({"-tavro"}, "", 1, "-tavro");
        Expect({"pid"}, "", 0, "pid");
        const fs::path file = tmp_.Path() / "zombie.pid";
        WriteFile(file, pid + "\n");
        Expect({"-f", file.string(), "-m", "anything"}, "", 1, "pid file");
    }
}

TEST_F(TavrostatTest, ServiceCheckWantsTheServiceProgram) {
    Status("SYSTEM_UP " + Id(service_));
    Expect({"-tavro"}, "", 3, "service");
    Status("SYSTEM_UP " + Id(java_));
    Expect({"-tavro"}, "", 1, "java");
    Status("SYSTEM_STARTING " + Id(service_));
    Expect({"-tavro"}, "", 1, "starting");
    Status("SYSTEM_UP");
    Expect({"-tavro"}, "Could not read PID from TAVRO status file.\n", 1, "no pid");
}

}  // namespace
