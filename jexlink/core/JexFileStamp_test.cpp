// Tests of the file stamp: what a second look at a file tells of it.
#include "jexlink/core/JexFileStamp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Gives the file the access and modification times of `before`.
void SetTimes(const fs::path& file, const struct stat& before) {
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// Each file is written, left alone a while, stamped, changed as the case
// says and stamped again.
TEST(JexFileStamp, TellsEveryChangeOfAFile) {
    struct Case {
        const char* name;
        void (*change)(const fs::path& file);
        bool same;    // the second stamp equals the first
        bool lately;  // the file was written within the quiet time
        bool exists;  // the second stamp finds a file
    };
    const Case cases[] = {
        {"unchanged", [](const fs::path&) {}, true, false, true},
        {"read",
         [](const fs::path& file) {
             std::ifstream in(file);
             std::string line;
             ASSERT_TRUE(std::getline(in, line));
         },
         true, false, true},
        {"rewritten, another size",
         [](const fs::path& file) { tavro::testing::WriteFile(file, "longer text\n"); }, false,
         true, true},
        {"rewritten in place, same size and times",
         [](const fs::path& file) {
             struct stat before {};
             ASSERT_EQ(::stat(file.c_str(), &before), 0);
             tavro::testing::WriteFile(file, "other\n");
             SetTimes(file, before);
         },
         false, true, true},
        {"replaced by another file, same size and times",
         [](const fs::path& file) {
             struct stat before {};
             ASSERT_EQ(::stat(file.c_str(), &before), 0);
             const fs::path other = file.string() + ".new";
             tavro::testing::WriteFile(other, "other\n");
             SetTimes(other, before);
             fs::rename(other, file);
         },
         false, true, true},
        {"its mode changed",
         [](const fs::path& file) { ASSERT_EQ(::chmod(file.c_str(), 0600), 0); }, false, true,
         true},
        {"vanished", [](const fs::path& file) { fs::remove(file); }, false, false, false},
    };
    tavro::testing::TempDir dir("tavro-filestamp");
    ASSERT_FALSE(dir.Path().empty());
    std::vector<fs::path> files;
    for (size_t i = 0; i < std::size(cases); ++i) {
        files.push_back(dir.Path() / std::to_string(i));
        tavro::testing::WriteFile(files.back(), "first\n");
        ASSERT_EQ(::chmod(files.back().c_str(), 0644), 0);
    }
    // Every file is left alone for twice the quiet time before its first stamp.
    const milliseconds quiet(300);
    std::this_thread::sleep_for(quiet * 2);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const JexFileStamp before = JexFileStamp::Of(files[i].string());
        ASSERT_TRUE(before.exists);
        EXPECT_FALSE(before.WrittenWithin(quiet));
        cases[i].change(files[i]);
        const JexFileStamp after = JexFileStamp::Of(files[i].string());
        EXPECT_EQ(after == before, cases[i].same);
        EXPECT_EQ(after.exists, cases[i].exists);
        EXPECT_EQ(after.WrittenWithin(quiet), cases[i].lately);
    }
}

TEST(JexFileStamp, AStatGivesWhatThePathGives) {
    tavro::testing::TempDir dir("tavro-filestamp");
    ASSERT_FALSE(dir.Path().empty());
    const fs::path file = dir.Path() / "f";
    tavro::testing::WriteFile(file, "text");
    struct stat examined {};
    ASSERT_EQ(::stat(file.c_str(), &examined), 0);
    const JexFileStamp stamp = JexFileStamp::Of(examined);
    EXPECT_EQ(stamp, JexFileStamp::Of(file.string()));
    EXPECT_EQ(stamp.size, 4);
    EXPECT_TRUE(stamp.WrittenWithin(std::chrono::seconds(10)));
    // Nothing is written within no time before now, nor is a missing file.
    EXPECT_FALSE(stamp.WrittenWithin(std::chrono::nanoseconds(0)));
    EXPECT_EQ(JexFileStamp::Of((dir.Path() / "none").string()), JexFileStamp{});
}

}  // namespace
