// The installation tree that `cmake --install` lays out: what it holds, and
// that its programs and libraries run from there alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::RunChild;
using tavro::testing::RunChildStreams;
using tavro::testing::TempDir;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr int kBoundMs = 120000;

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing installed may lean on a library path of the caller's.
        unsetenv("LD_LIBRARY_PATH");
        const ChildResult install = RunChild(
            {CMAKE_COMMAND, "--install", TAVRO_BUILD_DIR, "--prefix", Home()}, {}, kBoundMs);
        ASSERT_EQ(install.exitStatus, 0) << install.output;
    }

    std::string Home() const { return (prefix_.Path() / "vantrix").string(); }

    ChildGuard guard_;
    TempDir prefix_{"install"};
};

TEST_F(InstallTest, TreeHoldsTheDeliverablesAndNothingPointsIntoTheBuild) {
    const std::vector<std::string> files = {
        "bin/TavroService",
        "bin/nodewalk",
        "bin/jexnode",
        "bin/tavrostat",
        "bin/keyprobe",
        "bin/NorbaNew",
        "common/share/libHostsys.so",
        "common/share/libJEXLinkAPI.so",
        "common/share/libtavroplatform.so",
    };
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const fs::path path = fs::path(Home()) / file;
        ASSERT_TRUE(fs::is_regular_file(path));
        // Every library it needs is found, and none of them in the build tree.
        const ChildResult ldd = RunChild({"/usr/bin/ldd", path.string()}, {}, kBoundMs);
        EXPECT_EQ(ldd.exitStatus, 0) << ldd.output;
        EXPECT_THAT(ldd.output, ::testing::Not(HasSubstr("not found")));
        EXPECT_THAT(ldd.output, ::testing::Not(HasSubstr(TAVRO_BUILD_DIR)));
    }
}

// Each program, run from the tree as a user would: what it says, on which
// stream, and its exit status. An empty text means the stream stays empty;
// otherwise the stream begins with it.
TEST_F(InstallTest, EveryProgramSaysWhatItWantsOnTheRightStream) {
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        // The service object's closing line always ends on standard error.
        {{"TavroService", "-version"},
         0,
         "Revisions for TavroService\n",
         "TavroService.~TavroSevice Output log ended at:"},
        {{"TavroService", "--help"}, 1, "", "usage: TavroService "},
        {{"TavroService", "-bogus"}, 1, "", "TavroService: unknown switch -bogus\nusage: "},
        {{"nodewalk", "-x"}, 0, "usage:nodewalk [{-f <file name> {-o <offset>}} {-i} | -s", ""},
        {{"nodewalk"}, 1, "unsupported operating system\n", ""},
        {{"nodewalk", "-f", "/nonexistent"}, 1, "fstat failed\n", ""},
        {{"jexnode"}, 10, "", ""},
        {{"tavrostat"}, 99, "The VANTRIX_HOME environment variable is not set.\n", ""},
        {{"keyprobe", "-x"}, 0, "usage: keyprobe class keyname valueName\n", ""},
        {{"NorbaNew", "--help"}, 2, "", "usage: NorbaNew [--port N] "},
        {{"NorbaNew", "--answers", "/nonexistent"},
         2,
         "",
         "NorbaNew: /nonexistent: No such file or directory\n"},
    };
    // The service's diagnostics go to its log in the tree.
    fs::create_directories(fs::path(Home()) / "specific/tavro/logs");
    unsetenv("VANTRIX_HOME");
    for (const Case& c : cases) {
        std::vector<std::string> command = c.command;
        SCOPED_TRACE(command.size() > 1 ? command[0] + " " + command[1] : command[0]);
        command[0] = Home() + "/bin/" + command[0];
        const tavro::testing::ChildStreams run = RunChildStreams(command, {}, kBoundMs);
        EXPECT_EQ(run.exitStatus, c.status) << run.out << run.err;
        for (const auto& [text, expected] : {std::pair{run.out, c.out}, {run.err, c.err}}) {
            if (expected.empty())
                EXPECT_EQ(text, "");
            else
                EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
        }
    }
}

TEST_F(InstallTest, JavaLoadsBothLibrariesWithOnlyItsLibraryPath) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a plain Java VM cannot load libraries built with the address sanitizer";
#else
    const ChildResult run = RunChild(
        {TAVRO_JAVA, "-Djava.library.path=" + Home() + "/common/share", "-cp", TAVRO_DIRECTOR_JAR,
         "com.pelmar.vantrix.tavro.core.LibraryProbe", "JEXLinkAPI", "Hostsys"},
        {}, kBoundMs);
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output, "loaded JEXLinkAPI\nloaded Hostsys\n");
#endif
}

}  // namespace
