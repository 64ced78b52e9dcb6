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

TEST_F(InstallTest, ServiceProgramRunsFromTheTree) {
    const ChildResult version = RunChild({Home() + "/bin/TavroService", "-version"}, {}, kBoundMs);
    EXPECT_EQ(version.exitStatus, 0) << version.output;
    EXPECT_THAT(version.output, HasSubstr("Revisions for TavroService\n"));
    EXPECT_THAT(version.output, HasSubstr("Hostsys dll Revision numbers\n"));
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
