// Tests of the route map: loading, lookup order and walks, appends that read back, failures,
// traces.
#include "jexlink/transport/JexRouteMap.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

using tavro::testing::TempDir;

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Show(const JexRouteEntry& e) {
    JexString address;
    e.address.Format(address);
    return std::string(e.pattern.Text().Text()) + " " + address.Text() + " " +
           std::to_string(e.preference) + " " + e.flags.Text();
}

// Every entry GetEntry hands out for the key, in order, until it stops.
std::vector<std::string> Walk(JexRouteMap& map, const char* key, int* last = nullptr) {
    std::vector<std::string> hits;
    JexFieldedString k(key, '/');
    JexRouteEntry e;
    map.Rewind();
    int code;
    while ((code = map.GetEntry(k, e)) == 0) hits.push_back(Show(e));
    if (last) *last = code;
    return hits;
}

JexRouteEntry Entry(const char* pattern, const char* address, int preference, const char* flags) {
    JexRouteEntry e;
    e.pattern.Parse(pattern);
    e.address.Parse(address);
    e.preference = preference;
    e.flags = flags;
    return e;
}

class JexRouteMapTest : public testing::Test {
protected:
    std::filesystem::path Write(const std::string& text) {
        tavro::testing::WriteFile(path_, text);
        return path_;
    }
    JexString Name() const { return JexString(path_.c_str()); }

    TempDir dir_{"routemap"};
    std::filesystem::path path_ = dir_.Path() / "data" / "jex_route_map.dat";
};

TEST_F(JexRouteMapTest, LooksUpMatchingEntriesInOrder) {
    struct Case {
        const char* name;
        std::string map;
        const char* key;
        std::vector<std::string> hits;
    } const cases[] = {
        {"empty file", "", "sys/node/app", {}},
        {"comments and blank lines only", "# routes\n\n   \n\t# more\n", "sys/node/app", {}},
        {"fields lower-cased, flags upper-cased, 0 means 255",
         "Sys/Node/App\tT/Host/1234\t0\tf\t# comment\n",
         "sys/node/app",
         {"sys/node/app t/host/1234 255 F"}},
        {"a pattern alone", "sys\n", "sys/node/app", {"sys  255 "}},
        {"three parts first whatever the preferences",
         "sys t/a/1 1\n*/*/app t/b/1 200\n",
         "sys/node/app",
         {"*/*/app t/b/1 200 ", "sys t/a/1 1 "}},
        {"lower preference first",
         "a/b/c t/ten/1 10\na/b/c t/five/1 5\n",
         "a/b/c",
         {"a/b/c t/five/1 5 ", "a/b/c t/ten/1 10 "}},
        {"missing key fields match stars only",
         "sys/*/x t/a/1 1\nsys/**/* t/b/1 1\nsys t/c/1\n",
         "sys",
         {"sys/**/* t/b/1 1 ", "sys t/c/1 255 "}},
        {"upper-case key", "sys/node/app t/a/1 1\n", "SYS/Node/APP", {"sys/node/app t/a/1 1 "}},
        {"wildcards on the key's side",
         "sys/node/app t/a/1 1\nsys/other/app t/b/1 2\n",
         "sys/*/app",
         {"sys/node/app t/a/1 1 ", "sys/other/app t/b/1 2 "}},
        {"one-character wildcards", "s?s/n%de t/a/1 1\n", "sys/node/app", {"s?s/n%de t/a/1 1 "}},
        {"no match", "other/node/app t/a/1 1\nsys/node/x t/a/1 1\n", "sys/node/app", {}},
        {"a duplicate line loads twice",
         "a/b/c t/a/1 5\na/b/c t/a/1 5\n",
         "a/b/c",
         {"a/b/c t/a/1 5 ", "a/b/c t/a/1 5 "}},
        {"a # in a pattern starts the comment", "a#b/c t/a/1 5\n", "a", {}},
        {"parts after the third are ignored",
         "a/b/c/zzz t/four/1 9\na/b/c t/three/1 1\n",
         "a/b/c",
         {"a/b/c/zzz t/four/1 9 ", "a/b/c t/three/1 1 "}},
        {"CR LF lines", "a/b/c\tt/a/1\t7\tx\r\n", "a/b/c", {"a/b/c t/a/1 7 X"}},
        {"modem address",
         "a/b/c m/one.two:three/svc 3\n",
         "a/b/c",
         {"a/b/c m/one.two:three/svc 3 "}},
        {"a long line stays one line",
         "p/" + std::string(6000, 'x') + " t/long/1 1\n" + "p t/short/1 2\n",
         "p",
         {"p t/short/1 2 "}},
    };
    for (const Case& c : cases) {
        Write(c.map);
        JexRouteMap map(Name());
        map.SetSuppress(1);
        ASSERT_EQ(map.Loaded(), 1) << c.name;
        EXPECT_EQ(map.Code(), 0) << c.name;
        int last = -1;
        EXPECT_EQ(Walk(map, c.key, &last), c.hits) << c.name;
        EXPECT_EQ(last, JexRouteMap::NOENTRY) << c.name;
        EXPECT_EQ(map.Code(), JexRouteMap::NOENTRY) << c.name;
    }
}

TEST_F(JexRouteMapTest, MissResetsTheResultAndNamesTheKey) {
    Write("a/b/c t/a/1 5 F\n");
    JexRouteMap map(Name());
    JexRouteEntry e = Entry("x/y/z", "t/old/1", 3, "OLD");
    JexFieldedString key("q/r/s", '/');
    EXPECT_EQ(map.GetEntry(key, e), JexRouteMap::NOENTRY);
    EXPECT_EQ(Show(e), "  65535 ");
    EXPECT_STREQ(map.FormattedText(1).Text(),
                 "JexRouteMap::NOENTRY, Destination entry not found: q/r/s");
}

TEST_F(JexRouteMapTest, WalkStaysAtTheEndUntilRewound) {
    Write("a/b/c t/one/1 1\na/b t/two/1 1\n");
    JexRouteMap map(Name());
    JexFieldedString key("a/b/c", '/');
    JexRouteEntry e;
    ASSERT_EQ(map.GetEntry(key, e), 0);
    EXPECT_EQ(Show(e), "a/b/c t/one/1 1 ");
    ASSERT_EQ(map.GetEntry(key, e), 0);
    EXPECT_EQ(Show(e), "a/b t/two/1 1 ");
    EXPECT_EQ(map.GetEntry(key, e), JexRouteMap::NOENTRY);
    EXPECT_EQ(map.GetEntry(key, e), JexRouteMap::NOENTRY);
    EXPECT_EQ(map.Rewind(), 0);
    ASSERT_EQ(map.GetEntry(key, e), 0);
    EXPECT_EQ(Show(e), "a/b/c t/one/1 1 ");
    EXPECT_EQ(map.Code(), 0);  // a hit clears the earlier miss
}

TEST_F(JexRouteMapTest, LearnedEntriesReadBackIdentically) {
    Write("# routes\nsys t/gw/1 10\n");
    JexRouteMap map(Name());
    const JexRouteEntry learned[] = {
        Entry("SA/NX/*", "T/Neighbour/jex_nsd", 255, ""),
        Entry("sb/nx/app", "t/direct/99", 0, "fr"),  // a redirect route of preference 0
        Entry("sc/ny/app", "m/first.second:sub/svc", -4, "X"),
    };
    for (const JexRouteEntry& e : learned)
        EXPECT_EQ(map.AddEntry(e, JexString("B entry author=here, message author=there")), 0);

    // The line: fields, then the time of the append and the comment.
    const std::string file = ReadAll(path_);
    const std::string head = "\nsa/nx/*\tt/neighbour/jex_nsd\t255\t\t# ";
    const std::string tail = " - B entry author=here, message author=there\n";
    const size_t at = file.find(head);
    ASSERT_NE(at, std::string::npos) << file;
    const size_t end = file.find(tail, at);
    ASSERT_NE(end, std::string::npos) << file;
    const std::string stamp = file.substr(at + head.size(), end - at - head.size());
    char weekday[4], month[4], zone[6];
    int day, year, hour, minute, second;
    EXPECT_EQ(std::sscanf(stamp.c_str(), "%3s, %d %3s %d %d:%d:%d %5s", weekday, &day, month, &year,
                          &hour, &minute, &second, zone),
              8)
        << stamp;

    // The map that added them, and a fresh load of the file, agree.
    JexRouteMap reloaded(Name());
    for (JexRouteMap* m : {&map, &reloaded}) {
        EXPECT_EQ(Walk(*m, "sa/nx/app"),
                  (std::vector<std::string>{"sa/nx/* t/neighbour/jex_nsd 255 "}));
        EXPECT_EQ(Walk(*m, "sb/nx/app"), (std::vector<std::string>{"sb/nx/app t/direct/99 0 FR"}));
        EXPECT_EQ(Walk(*m, "sc/ny/app"),
                  (std::vector<std::string>{"sc/ny/app m/first.second:sub/svc -4 X"}));
        EXPECT_EQ(m->Count(), 4);
    }
}

// Gives the file the access and modification times of before.
void SetTimes(const std::filesystem::path& file, const struct stat& before) {
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// A map of a file that has not changed for a while takes the entries of
// the last map read from it; every change of the file must still be seen
// by the next map, also one that keeps the file's size and times, in a small
// map and in one of thousands of entries.
TEST_F(JexRouteMapTest, AMapBuiltAgainSeesEveryChangeOfItsFile) {
    struct Case {
        const char* name;
        void (*change)(const std::filesystem::path& file, const std::string& rest);
        const char* hit;  // the entry for "sys" afterwards
    };
    const Case cases[] = {
        {"unchanged", [](const std::filesystem::path&, const std::string&) {}, "sys t/gw/1 10 "},
        {"rewritten in place, same size and times",
         [](const std::filesystem::path& file, const std::string& rest) {
             struct stat before {};
             ASSERT_EQ(::stat(file.c_str(), &before), 0);
             tavro::testing::WriteFile(file, "sys t/gw/2 10\n" + rest);
             SetTimes(file, before);
         },
         "sys t/gw/2 10 "},
        {"replaced by another file, same size and times",
         [](const std::filesystem::path& file, const std::string& rest) {
             struct stat before {};
             ASSERT_EQ(::stat(file.c_str(), &before), 0);
             const std::filesystem::path other = file.string() + ".new";
             tavro::testing::WriteFile(other, "sys t/gw/3 10\n" + rest);
             SetTimes(other, before);
             std::filesystem::rename(other, file);
         },
         "sys t/gw/3 10 "},
        {"rewritten in place after a map taken by its stamp once another file moved the watch",
         [](const std::filesystem::path& file, const std::string& rest) {
             const std::filesystem::path other = file.string() + ".other";
             tavro::testing::WriteFile(other, "far t/gw/9 10\n");
             { JexRouteMap watched(JexString(other.c_str())); }
             tavro::testing::WriteFile(other, "far t/gw/8 10\n");
             {
                 JexRouteMap taken(JexString(file.c_str()));
                 ASSERT_EQ(Walk(taken, "sys"), (std::vector<std::string>{"sys t/gw/1 10 "}));
             }
             struct stat before {};
             ASSERT_EQ(::stat(file.c_str(), &before), 0);
             tavro::testing::WriteFile(file, "sys t/gw/4 10\n" + rest);
             SetTimes(file, before);
         },
         "sys t/gw/4 10 "},
        {"appended by another map",
         [](const std::filesystem::path& file, const std::string&) {
             JexRouteMap other(JexString(file.c_str()));
             ASSERT_EQ(other.AddEntry(Entry("sys", "t/gw/0", 1, ""), JexString("")), 0);
         },
         "sys t/gw/0 1 "},
    };
    // Entries that never match "sys", beyond the size of a small map.
    std::string many;
    for (int i = 0; i < 5000; ++i) many += "far" + std::to_string(i) + "/node t/gw/7 20\n";
    struct Size {
        const char* name;
        std::string rest;  // the lines after the one for "sys"
    };
    const Size sizes[] = {{"small map", ""}, {"large map", many}};
    std::vector<std::filesystem::path> files;
    for (const Size& size : sizes) {
        for (size_t i = 0; i < std::size(cases); ++i) {
            files.push_back(dir_.Path() / (std::to_string(files.size()) + ".map"));
            tavro::testing::WriteFile(files.back(), "sys t/gw/1 10\n" + size.rest);
        }
    }
    // Only a file left alone for a while is kept (its times could miss a
    // change within their resolution).
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    for (size_t i = 0; i < files.size(); ++i) {
        const Case& c = cases[i % std::size(cases)];
        const Size& size = sizes[i / std::size(cases)];
        SCOPED_TRACE(std::string(size.name) + ", " + c.name);
        const JexString name(files[i].c_str());
        {
            JexRouteMap first(name);
            ASSERT_EQ(Walk(first, "sys"), (std::vector<std::string>{"sys t/gw/1 10 "}));
        }
        c.change(files[i], size.rest);
        JexRouteMap again(name);
        const std::vector<std::string> hits = Walk(again, "sys");
        ASSERT_FALSE(hits.empty());
        EXPECT_EQ(hits.front(), c.hit);
        EXPECT_TRUE(again.Loaded());
    }
}

// A file written just now may be kept too while the process watches it; the
// next map still sees it rewritten within the same tick, removed and made
// again.
TEST_F(JexRouteMapTest, AMapOfAFreshFileSeesItRewrittenRemovedAndMadeAgain) {
    const std::filesystem::path file = dir_.Path() / "fresh.map";
    const JexString name(file.c_str());
    tavro::testing::WriteFile(file, "sys t/gw/1 10\n");
    {
        JexRouteMap first(name);
        ASSERT_EQ(Walk(first, "sys"), (std::vector<std::string>{"sys t/gw/1 10 "}));
    }
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    tavro::testing::WriteFile(file, "sys t/gw/2 10\n");
    SetTimes(file, before);
    {
        JexRouteMap rewritten(name);
        EXPECT_EQ(Walk(rewritten, "sys"), (std::vector<std::string>{"sys t/gw/2 10 "}));
    }
    std::filesystem::remove(file);
    {
        JexRouteMap removed(name);
        EXPECT_FALSE(removed.Loaded());
    }
    tavro::testing::WriteFile(file, "sys t/gw/3 10\n");
    JexRouteMap again(name);
    EXPECT_TRUE(again.Loaded());
    EXPECT_EQ(Walk(again, "sys"), (std::vector<std::string>{"sys t/gw/3 10 "}));
}

TEST_F(JexRouteMapTest, AppendAfterALastLineWithoutNewlineKeepsBothEntries) {
    Write("a/b/c t/h/1 1");
    JexRouteMap map(Name());
    ASSERT_EQ(map.AddEntry(Entry("d/e/f", "t/h/2", 2, ""), JexString("")), 0);
    JexRouteMap reloaded(Name());
    EXPECT_EQ(Walk(reloaded, "a/b/c"), (std::vector<std::string>{"a/b/c t/h/1 1 "}));
    EXPECT_EQ(Walk(reloaded, "d/e/f"), (std::vector<std::string>{"d/e/f t/h/2 2 "}));
}

TEST_F(JexRouteMapTest, AddingWhatTheTableHoldsWritesNothing) {
    Write("a/b/c t/a/1 5 F\n");
    JexRouteMap map(Name());
    EXPECT_EQ(map.AddEntry(Entry("A/B/C", "T/A/1", 5, "f"), JexString("")), 0);
    EXPECT_EQ(ReadAll(path_), "a/b/c t/a/1 5 F\n");
    EXPECT_EQ(map.Count(), 1);
}

TEST_F(JexRouteMapTest, AdditionSortsAgainAndRestartsTheWalk) {
    Write("a/b t/two/1 1\n");
    JexRouteMap map(Name());
    JexFieldedString key("a/b/c", '/');
    JexRouteEntry e;
    ASSERT_EQ(map.GetEntry(key, e), 0);
    ASSERT_EQ(map.GetEntry(key, e), JexRouteMap::NOENTRY);
    ASSERT_EQ(map.AddEntry(Entry("a/b/c", "t/one/1", 9, ""), JexString("R entry")), 0);
    ASSERT_EQ(map.GetEntry(key, e), 0);
    EXPECT_EQ(Show(e), "a/b/c t/one/1 9 ");
}

TEST_F(JexRouteMapTest, EntriesThatWouldNotReadBackAreRefused) {
    Write("sys t/gw/1 10\n");
    JexRouteMap map(Name());
    map.SetSuppress(1);
    const JexRouteEntry refused[] = {
        Entry("a b/c", "t/h/1", 1, ""),
        Entry("a/b/c", "t/h\n/1", 1, ""),
        Entry("a#x/b/c", "t/h/1", 1, ""),
        Entry("a/b/c", "t/h/1", 1, "F G"),
        Entry("", "t/h/1", 1, ""),
        Entry("a/b/c", "", 1, ""),
        Entry(std::string(2000, 'p').c_str(), "t/h/1", 1, ""),
    };
    for (const JexRouteEntry& e : refused) {
        EXPECT_EQ(map.AddEntry(e, JexString("c")), JexRouteMap::WRITEFAIL) << Show(e);
        EXPECT_EQ(map.Code(), JexRouteMap::WRITEFAIL);
    }
    EXPECT_EQ(ReadAll(path_), "sys t/gw/1 10\n");
    EXPECT_EQ(map.Count(), 1);
}

TEST_F(JexRouteMapTest, CommentCannotAddAnEntry) {
    Write("");
    JexRouteMap map(Name());
    ASSERT_EQ(map.AddEntry(Entry("a/b/c", "t/h/1", 1, ""),
                           JexString("message author=x\nevil/node/app t/attacker/1 1")),
              0);
    JexRouteMap reloaded(Name());
    EXPECT_EQ(reloaded.Count(), 1);
    EXPECT_TRUE(Walk(reloaded, "evil/node/app").empty());
}

TEST_F(JexRouteMapTest, OneMapAppendsALimitedNumberOfLines) {
    Write("");
    JexRouteMap map(Name());
    map.SetSuppress(1);
    for (int i = 0; i < JexRouteMap::kMaxAppends; ++i) {
        const std::string pattern = "s" + std::to_string(i) + "/n/*";
        ASSERT_EQ(map.AddEntry(Entry(pattern.c_str(), "t/h/1", 1, ""), JexString("")), 0);
    }
    EXPECT_EQ(map.AddEntry(Entry("one/too/many", "t/h/1", 1, ""), JexString("")),
              JexRouteMap::WRITEFAIL);
    JexRouteMap reloaded(Name());
    EXPECT_EQ(reloaded.Count(), JexRouteMap::kMaxAppends);
}

TEST_F(JexRouteMapTest, ConcurrentAppendersAddWholeLines) {
    Write("");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            JexRouteMap map(Name());
            map.SetSuppress(1);
            for (int i = 0; i < 50; ++i) {
                const std::string pattern = "t" + std::to_string(t) + "/n" + std::to_string(i) +
                                            "/" + std::string(300, 'x');
                map.AddEntry(Entry(pattern.c_str(), "t/h/1", i, ""), JexString("concurrent"));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    JexRouteMap reloaded(Name());
    EXPECT_EQ(reloaded.Count(), 200);
    for (int t = 0; t < 4; ++t) {
        const std::string key = "t" + std::to_string(t) + "/n7/" + std::string(300, 'x');
        EXPECT_EQ(Walk(reloaded, key.c_str()).size(), 1u);
    }
}

TEST_F(JexRouteMapTest, MissingFileLeavesAnUnloadedMapThatCreatesNothing) {
    JexRouteMap map(Name());  // the file was never written
    EXPECT_EQ(map.Loaded(), 0);
    EXPECT_EQ(map.Code(), JexRouteMap::OPENFAIL);
    EXPECT_EQ(std::string(map.Describe(1).Text())
                  .rfind("--- JexRouteMap::OPENFAIL, Route map database open failure: " +
                             path_.string() + "\n  - ENOENT, No such file or directory",
                         0),
              0u);

    map.SetSuppress(1);
    JexFieldedString key("a/b/c", '/');
    JexRouteEntry e;
    EXPECT_EQ(map.GetEntry(key, e), JexRouteMap::OPENFAIL);
    EXPECT_EQ(map.AddEntry(Entry("a/b/c", "t/h/1", 1, ""), JexString("")), JexRouteMap::OPENFAIL);
    EXPECT_EQ(map.Dump(stdout), JexRouteMap::OPENFAIL);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(JexRouteMapTest, UnreadableFileIsALoadFailureNotAnEmptyMap) {
    std::filesystem::create_directories(path_);  // a directory opens, but cannot be read
    JexRouteMap map(Name());
    EXPECT_EQ(map.Loaded(), 0);
    EXPECT_EQ(map.Code(), JexRouteMap::LOADFAIL);
}

TEST_F(JexRouteMapTest, ConstructorFailuresNeverEndTheProcess) {
    // No handler and no suppress flag: the failure is only recorded.
    JexRouteMap missing(Name());
    std::filesystem::create_directories(path_);
    JexRouteMap unreadable(Name());
    EXPECT_EQ(missing.Code(), JexRouteMap::OPENFAIL);
    EXPECT_EQ(unreadable.Code(), JexRouteMap::LOADFAIL);
}

TEST_F(JexRouteMapTest, UnloadedMapRaisesItsLookups) {
    EXPECT_EXIT(
        {
            JexRouteMap map(Name());
            JexFieldedString key("a/b/c", '/');
            JexRouteEntry e;
            map.GetEntry(key, e);
        },
        testing::ExitedWithCode(1), "JexRouteMap::OPENFAIL, Route map database open failure");
}

TEST_F(JexRouteMapTest, FileGoneBeforeAnAppendIsAnOpenFailure) {
    Write("a t/h/1 1\n");
    JexRouteMap map(Name());
    map.SetSuppress(1);
    // Its directory replaced by a plain file: not even root can append.
    std::filesystem::remove_all(path_.parent_path());
    tavro::testing::WriteFile(path_.parent_path(), "");
    EXPECT_EQ(map.AddEntry(Entry("b/c/d", "t/h/1", 1, ""), JexString("")), JexRouteMap::OPENFAIL);
    EXPECT_EQ(map.Count(), 1);
    EXPECT_EQ(Walk(map, "b/c/d").size(), 0u);
}

// An append never writes through a link planted in the map's place, and a
// map that others may write is narrowed to 0640 when it is appended to.
TEST_F(JexRouteMapTest, AppendRefusesALinkAndKeepsTheMapPrivate) {
    Write("a t/h/1 1\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    {
        JexRouteMap map(Name());
        ASSERT_EQ(map.AddEntry(Entry("b/c/d", "t/h/2", 1, ""), JexString("")), 0);
    }
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);

    JexRouteMap map(Name());
    map.SetSuppress(1);
    const std::filesystem::path victim = dir_.Path() / "victim";
    tavro::testing::WriteFile(victim, "kept\n");
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(victim, path_);
    EXPECT_EQ(map.AddEntry(Entry("e/f/g", "t/h/3", 1, ""), JexString("")), JexRouteMap::OPENFAIL);
    EXPECT_EQ(ReadAll(victim), "kept\n");
}

TEST_F(JexRouteMapTest, DumpPrintsTheTableInLookupOrder) {
    Write("sys t/c/1 1\nsys/node/app t/a/1 7 f\nsys/node t/b/1 2\n");
    JexRouteMap map(Name());
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(map.Dump(out), 0);
    EXPECT_EQ(map.PrintEntry(3, out), -1);
    std::rewind(out);
    char buffer[256] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, n),
              "sys/node/app\tt/a/1\t7\tF\nsys/node\tt/b/1\t2\t\nsys\tt/c/1\t1\t\n");
}

TEST_F(JexRouteMapTest, TraceLettersReportOnStandardError) {
    Write("a/b/c t/a/1 5\n");
    setenv("JEXROUTEMAP_TRACE", "rSe", 1);
    JexRouteMap map(Name());
    unsetenv("JEXROUTEMAP_TRACE");
    JexFieldedString key("a/b/c", '/');
    JexFieldedString other("x/y/z", '/');
    JexRouteEntry e;
    testing::internal::CaptureStderr();
    map.GetEntry(key, e);
    map.Rewind();
    map.GetEntry(other, e);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "JexRouteMap::GetEntry: Searching for <a/b/c>\n    Checking:\ta/b/c\tt/a/1\t5\t\n"
              "JexRouteMap::GetEntry: Retrieved <a/b/c>:\na/b/c\tt/a/1\t5\t\n"
              "JexRouteMap::GetEntry: Searching for <x/y/z>\n    Checking:\ta/b/c\tt/a/1\t5\t\n"
              "JexRouteMap::GetEntry: Could not find <x/y/z>\n"
              "--- JexRouteMap::NOENTRY, Destination entry not found: x/y/z\n");
}

}  // namespace
