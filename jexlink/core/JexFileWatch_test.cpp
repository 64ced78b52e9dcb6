// Tests of the file watch: every change of a watched file, or of a directory
// on its way, moves the version; reading and unrelated files do not.
#include "jexlink/core/JexFileWatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tavro::testing::WriteFile;

// The file a case watches: dir/sub/file, written before the first version
// is taken (or absent, when the case says so).
struct Tree {
    tavro::testing::TempDir temp;
    fs::path sub = temp.Path() / "sub";
    fs::path file = sub / "file";
    Tree(bool present) {
        fs::create_directories(sub);
        if (present) WriteFile(file, "first\n");
    }
};

TEST(JexFileWatch, EveryChangeOfAFileOrItsWayMovesTheVersion) {
    struct Case {
        const char* name;
        bool present;  // the file exists before the first version
        void (*change)(const Tree& tree);
        bool moves;
    };
    const Case cases[] = {
        {"unchanged", true, [](const Tree&) {}, false},
        {"read", true,
         [](const Tree& t) {
             std::ifstream in(t.file);
             std::string line;
             ASSERT_TRUE(std::getline(in, line));
         },
         false},
        {"another file of its directory written", true,
         [](const Tree& t) { WriteFile(t.sub / "other", "x\n"); }, false},
        {"rewritten in place, same size", true,
         [](const Tree& t) {
             const int fd = ::open(t.file.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::pwrite(fd, "F", 1, 0), 1);
             ::close(fd);
         },
         true},
        {"written through another name (hard link elsewhere)", true,
         [](const Tree& t) {
             const fs::path other = t.temp.Path() / "link";
             fs::create_hard_link(t.file, other);
             std::ofstream(other, std::ios::app) << "more\n";
         },
         true},
        {"replaced by rename", true,
         [](const Tree& t) {
             WriteFile(t.sub / "new", "second\n");
             fs::rename(t.sub / "new", t.file);
         },
         true},
        {"removed", true, [](const Tree& t) { fs::remove(t.file); }, true},
        {"mode changed", true,
         [](const Tree& t) { fs::permissions(t.file, fs::perms::owner_read); }, true},
        {"appearing", false, [](const Tree& t) { WriteFile(t.file, "new\n"); }, true},
        {"appearing by rename", false,
         [](const Tree& t) {
             WriteFile(t.sub / "new", "new\n");
             fs::rename(t.sub / "new", t.file);
         },
         true},
        {"its directory replaced by rename", true,
         [](const Tree& t) {
             const fs::path other = t.temp.Path() / "sub2";
             fs::create_directories(other);
             WriteFile(other / "file", "other\n");
             fs::rename(t.sub, t.temp.Path() / "old");
             fs::rename(other, t.sub);
         },
         true},
        {"a directory further up renamed", true,
         [](const Tree& t) { fs::rename(t.temp.Path(), t.temp.Path().string() + ".moved"); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(c.present);
        const fs::path root = tree.temp.Path();
        JexFileWatch watch;
        const std::vector<std::string> paths = {tree.file.string()};
        const uint64_t before = watch.Version(paths);
        ASSERT_NE(before, 0u);
        EXPECT_EQ(watch.Version(paths), before);
        c.change(tree);
        EXPECT_EQ(watch.Version(paths) != before, c.moves);
        // Watched again after a change: the next change moves it again.
        const uint64_t again = watch.Version(paths);
        EXPECT_EQ(watch.Version(paths), again);
        std::error_code ignored;
        if (fs::exists(root.string() + ".moved")) fs::rename(root.string() + ".moved", root);
        fs::permissions(root, fs::perms::owner_all, ignored);
    }
}

// A file written in place keeps its watch; one put in its place by a
// rename gets a watch of its own: each step of a file's life moves the
// version, whatever came before it.
TEST(JexFileWatch, AFileIsFollowedThroughWritesAndReplacements) {
    Tree tree(true);
    JexFileWatch watch;
    const std::vector<std::string> paths = {tree.file.string()};
    const auto append = [&] { std::ofstream(tree.file, std::ios::app) << "more\n"; };
    const auto replace = [&] {
        WriteFile(tree.sub / "new", "replaced\n");
        fs::rename(tree.sub / "new", tree.file);
    };
    const auto remove = [&] { fs::remove(tree.file); };
    const auto make = [&] { WriteFile(tree.file, "made\n"); };
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"written in place", append},
        {"written in place again", append},
        {"replaced by rename", replace},
        {"the new file written in place", append},
        {"replaced again", replace},
        {"removed", remove},
        {"made again", make},
        {"written in place once more", append},
    };
    uint64_t version = watch.Version(paths);
    ASSERT_NE(version, 0u);
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
        const uint64_t now = watch.Version(paths);
        EXPECT_NE(now, version);
        EXPECT_EQ(watch.Version(paths), now);
        version = now;
    }
}

TEST(JexFileWatch, ADirectoryIsWatchedForEveryNameInIt) {
    tavro::testing::TempDir temp;
    JexFileWatch watch;
    const std::vector<std::string> paths = {temp.Path().string() + "/"};
    const uint64_t before = watch.Version(paths);
    ASSERT_NE(before, 0u);
    WriteFile(temp.Path() / "any", "x\n");
    EXPECT_NE(watch.Version(paths), before);
}

TEST(JexFileWatch, PathsItCannotWatchGiveZero) {
    tavro::testing::TempDir temp;
    WriteFile(temp.Path() / "target", "x\n");
    fs::create_symlink(temp.Path() / "target", temp.Path() / "link");
    JexFileWatch watch;
    for (const std::string& path : {std::string("relative/file"), std::string(""), std::string("/"),
                                    (temp.Path() / "link").string(), temp.Path().string() + "/../x",
                                    temp.Path().string() + "/./target"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(watch.Version({path}), 0u);
        EXPECT_EQ(watch.Version({(temp.Path() / "target").string(), path}), 0u);
    }
    EXPECT_NE(watch.Version({(temp.Path() / "target").string()}), 0u);
}

// Names looked up can come from peers: a stream of new paths starts the
// watch afresh rather than growing it, and a path kept before is then seen
// under a new version.
TEST(JexFileWatch, ManyPathsAreBounded) {
    tavro::testing::TempDir temp;
    JexFileWatch watch;
    const std::vector<std::string> first = {(temp.Path() / "first").string()};
    const uint64_t before = watch.Version(first);
    ASSERT_NE(before, 0u);
    for (size_t i = 0; i < 3 * JexFileWatch::kMaxPaths; ++i) {
        watch.Version({(temp.Path() / ("absent-" + std::to_string(i))).string()});
        watch.Version({"relative-" + std::to_string(i)});
        ASSERT_LE(watch.PathCount(), JexFileWatch::kMaxPaths);
    }
    const uint64_t after = watch.Version(first);
    EXPECT_NE(after, 0u);
    EXPECT_NE(after, before);
    EXPECT_EQ(watch.Version(first), after);
}

// A forked child reads a watch of its own: the parent still sees a change
// the child had been asked about.
TEST(JexFileWatch, AForkedChildTakesNoEventOfItsParent) {
    tavro::testing::TempDir temp;
    const fs::path file = temp.Path() / "file";
    WriteFile(file, "x\n");
    JexFileWatch& watch = JexFileWatch::Process();
    const std::vector<std::string> paths = {file.string()};
    const uint64_t before = watch.Version(paths);
    ASSERT_NE(before, 0u);
    WriteFile(file, "changed\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(watch.Version(paths) != 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(watch.Version(paths), before);
}

}  // namespace
