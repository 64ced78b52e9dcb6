// Tests of the tree environment: home, paths, class path, Java runtime
// settings, log files, switches, timings, the -env command and TAVRO.REG.
#include "Hostsys/DSEnv.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/winbase.h"
#include "testing/support/InstallTree.h"
#include "testing/support/LogCapture.h"
#include "testing/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using tavro::testing::LogCapture;
using tavro::testing::ReadFile;
using tavro::testing::WriteFile;

// An installed tree in a temporary directory: <tmp>/Tools/VANTRIX with its
// jars, Java runtime, data, config and log directories, and the program
// path inside it.
class Tree : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_root = m_dir.Path();
        m_home = (m_root / "Tools" / "VANTRIX").string();
        m_program = m_home + "/bin/TavroService";
        using namespace tavro::testing;
        InstallTree(m_home)
            .File("common/jars/b.jar", "b")
            .File("common/jars/a.jar", "a")
            .File("common/jars/notes.txt", "n")
            .Directories({"common/jars/old.jar"})
            // Spelt "jre" in the tree; the class path looks for "Jre".
            .File("common/jre/rt.jar", "r")
            .File("common/jre/tools.zip", "t")
            .File("common/jre/readme.txt", "x")
            .File("common/jre/RT.JAR", "R")
            .Directories({kDataDir, kConfigDir, kDirectorLogDir});
    }

    // An environment whose home is the tree's.
    DSEnv InTree() const {
        DSEnv env;
        env.GetVantrixHome(m_program.c_str());
        return env;
    }
    std::string PrivFile() const { return m_home + "/specific/tavro/data/NTPriv.env"; }
    void WritePriv(const std::string& bytes) { WriteFile(PrivFile(), bytes); }
    void WriteSettings(const std::string& text) {
        WriteFile(m_home + "/specific/tavro/config/TAVRO.REG", text);
    }
    // One private record in the file's format.
    static std::string Record(const std::string& name, const std::string& value) {
        std::string text = name + "=" + value;
        return std::to_string(text.size()) + text + "\n";
    }

    tavro::testing::TempDir m_dir{"dsenv-test"};
    fs::path m_root;
    std::string m_home;
    std::string m_program;
};

TEST(DSEnvHome, FromProgramPath) {
    struct Case {
        const char* path;
        const char* home;
    };
    const Case cases[] = {
        {"/srv/Tools/VANTRIX/bin/svc", "/srv/Tools/VANTRIX"},
        {"/srv/vantrix/common/bin/deep/svc", "/srv/vantrix"},
        {"/srv/Vantrix/vantrix/bin/svc", "/srv/Vantrix"},
        {"/srv/vantrixx/bin/svc", "/srv/vantrixx/bin"},
        {"/opt/tools/svc", "/opt/tools"},
        {"svc", ""},
        {"/svc", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        DSEnv env;
        EXPECT_EQ(env.GetVantrixHome(c.path), c.home) << c.path;
        if (std::string(c.home).empty()) {
            EXPECT_NE(log.Text().find("Error"), std::string::npos);
        }
    }
}

TEST(DSEnvHome, InvalidLocationIsLogged) {
    LogCapture log;
    DSEnv env;
    EXPECT_EQ(env.GetVantrixHome("svc"), "");
    EXPECT_EQ(log.Text(),
              "Error: DSEnv.GetVantrixHome running from an invalid location reinstall in the tree "
              "<xxx>\\share\n");
}

TEST(DSEnvHome, IsKeptOnceKnown) {
    DSEnv env;
    EXPECT_EQ(env.GetVantrixHome("/a/vantrix/bin/svc"), "/a/vantrix");
    EXPECT_EQ(env.GetVantrixHome("/b/vantrix/bin/svc"), "/a/vantrix");
    EXPECT_EQ(env.GetVantrixHome(nullptr), "/a/vantrix");
}

TEST_F(Tree, PathsFromTheTree) {
    DSEnv env;
    const char* p = m_program.c_str();
    EXPECT_EQ(env.GetVantrixHome(p), m_home);
    EXPECT_EQ(env.GetVantrixPath(p), m_home + "/common/jars/a.jar:" + m_home +
                                         "/common/jars/b.jar:" + m_home + "/common/plov/data");
    EXPECT_EQ(env.GetVantrixShare(p), m_home + "/common/share");
    // RT.JAR is left out: the archive names are matched with their case.
    EXPECT_EQ(env.GetClassPath(p),
              m_home + "/common/jre/rt.jar:" + m_home + "/common/jre/tools.zip");
    EXPECT_EQ(env.GetLogFile(p), m_home + "/specific/norba/logs/director_out.txt");
    EXPECT_EQ(env.GetErrFile(p), m_home + "/specific/norba/logs/director_err.txt");
    EXPECT_EQ(env.GetDSLogFile(p), m_home + "/specific/tavro/logs/tavroService.log");
    EXPECT_EQ(env.GetJVMDll(), "");
    EXPECT_EQ(env.GetJVM(), "");
    EXPECT_EQ(env.getJVMThreadStack(), 0u);
}

TEST_F(Tree, PrivateFileOverridesPaths) {
    WritePriv(Record("VANTRIX_PATH", "/x/a.jar") + Record("VANTRIX_SHARE", "/x/share") +
              Record("CLASSPATH", "/x/rt.jar:/x/more.jar") + Record("-JVMPath", "/x/libjvm.so") +
              Record("-JVM", "-Xmx=1g") + Record("-JVMThreadStack", "512K"));
    DSEnv env;
    const char* p = m_program.c_str();
    EXPECT_EQ(env.GetVantrixPath(p), "/x/a.jar");
    EXPECT_EQ(env.GetVantrixShare(p), "/x/share");
    EXPECT_EQ(env.GetClassPath(p), "/x/rt.jar:/x/more.jar");
    EXPECT_EQ(env.GetJVMDll(), "/x/libjvm.so");
    EXPECT_EQ(env.GetJVM(), "-Xmx=1g");
    EXPECT_EQ(env.getJVMThreadStack(), 524288u);
}

TEST_F(Tree, NoJarsGivesEmptyPathsAndForgetsHome) {
    fs::remove_all(m_home + "/common/jars");
    LogCapture log;
    DSEnv env;
    EXPECT_EQ(env.GetVantrixPath(m_program.c_str()), "");
    EXPECT_EQ(env.GetClassPath(m_program.c_str()), "");
    EXPECT_EQ(log.Text().find("Error: DSEnv.GetVantrixPath No *.jars found in : " + m_home +
                              "/common/jars/*.jar\n"),
              0u);
    EXPECT_EQ(env.GetVantrixHome("/elsewhere/vantrix/bin/svc"), "/elsewhere/vantrix");
}

TEST_F(Tree, EmptyRuntimeDirectoryGivesEmptyClassPath) {
    fs::remove_all(m_home + "/common/jre");
    fs::create_directories(m_home + "/common/Jre");
    DSEnv env;
    EXPECT_EQ(env.GetClassPath(m_program.c_str()), "");
}

TEST_F(Tree, MissingRuntimeDirectoryIsLogged) {
    fs::remove_all(m_home + "/common/jre");
    LogCapture log;
    DSEnv env;
    EXPECT_EQ(env.GetClassPath(m_program.c_str()), "");
    EXPECT_EQ(log.Text(),
              "Error: DSEnv.GetClassPath bad directory tree :" + m_home + "/common/Jre/*\n");
}

TEST_F(Tree, PathsOutsideAnyTreeAreEmpty) {
    LogCapture log;
    DSEnv env;
    EXPECT_EQ(env.GetLogFile("svc"), "");
    EXPECT_EQ(env.GetDSLogFile("svc"), "");
    EXPECT_EQ(env.GetVantrixShare("svc"), "");
    EXPECT_FALSE(env.OpenEnvFile());
    EXPECT_FALSE(fs::exists("/specific"));
}

TEST(DSEnvHome, OpenEnvFileFindsHomeFromOwnProgram) {
    // This test program does not lie in a tree: its own directory becomes the
    // home, which has no data directory.
    const std::string dir = fs::read_symlink("/proc/self/exe").parent_path().string();
    LogCapture log;
    DSEnv env;
    EXPECT_FALSE(env.OpenEnvFile());
    EXPECT_EQ(env.GetVantrixHome(nullptr), dir);
    EXPECT_EQ(log.Text(), "Error: DSEnv.openPrivEnv:  failed to open " + dir +
                              "/specific/tavro/data/NTPriv.env\n");
}

TEST_F(Tree, OpenEnvFileCreatesPrivateFile) {
    DSEnv env = InTree();
    ASSERT_TRUE(env.OpenEnvFile());
    EXPECT_TRUE(fs::exists(PrivFile()));
    EXPECT_TRUE(env.AddEnvVar("-Port", "9292"));
    env.Close();
    EXPECT_EQ(ReadFile(PrivFile()), "10-Port=9292\n");
}

TEST_F(Tree, OpenEnvFileFailureIsLogged) {
    fs::remove_all(m_home + "/specific/tavro/data");
    LogCapture log;
    DSEnv env = InTree();
    EXPECT_FALSE(env.OpenEnvFile());
    EXPECT_EQ(log.Text(), "Error: DSEnv.openPrivEnv:  failed to open " + PrivFile() + "\n");
}

// A socket-link object as the service has it: port 9292 until set.
struct FakeLink {
    int port = DSEnv::kDefaultPort;
    void SetPort(int value) { port = value; }
};

// The switches and timings as the service takes them, defaults applied.
struct Switches {
    uint32_t fudgeFactor, waitSec, maxStartupWait, pingWait;
    bool verbose, doNothing, javaProcess, javaBatch, jvmProcess, noAutoStart, noExitHand;
    int port;
    bool operator==(const Switches&) const = default;
};

void PrintTo(const Switches& s, std::ostream* out) {
    *out << s.fudgeFactor << "/" << s.waitSec << "/" << s.maxStartupWait << "/" << s.pingWait << " "
         << s.verbose << s.doNothing << s.javaProcess << s.javaBatch << s.jvmProcess
         << s.noAutoStart << s.noExitHand << " port " << s.port;
}

Switches ReadSwitches(DSEnv& env) {
    auto orDefault = [](uint32_t value, uint32_t fallback) { return value ? value : fallback; };
    Switches s{};
    s.fudgeFactor = orDefault(env.getFudgeFactor(), DSEnv::kDefaultFudgeFactor);
    s.waitSec = orDefault(env.getWaitSec(), DSEnv::kDefaultWaitSec);
    s.maxStartupWait = orDefault(env.getMaxStartupWait(), DSEnv::kDefaultMaxStartupWait);
    s.pingWait = orDefault(env.getPingWait(), DSEnv::kDefaultPingWaitMs);
    s.verbose = env.GetVerbose();
    s.doNothing = env.getDoNothing();
    s.javaProcess = env.getJavaProcess();
    s.javaBatch = env.getJavaBatch();
    s.jvmProcess = env.getJVMProcess();
    s.noAutoStart = env.getNoAutoStart();
    s.noExitHand = env.getNoExitHand();
    FakeLink link;
    env.getTavroComPort(link);
    s.port = link.port;
    return s;
}

TEST_F(Tree, SwitchesAndTimingsWithDefaultsAndFromPrivateFile) {
    struct Case {
        const char* what;
        std::string file;
        Switches expected;
    };
    const Case cases[] = {
        {"unset", "", {100, 2, 30, 300, false, false, false, false, false, false, false, 9292}},
        {"set",
         Record("-FF", "250") + Record("-WS", "5") + Record("-MSW", "12") +
             Record("-PingWaitMs", "1000") + Record("-Verbose", "Yes") + Record("-DoNothing", "") +
             Record("-JavaProcess", "no") + Record("-JavaBatch", "NO") +
             Record("-JVMProcess", "1") + Record("-NoAutoStart", "No") +
             Record("-NoExitHand", "y") + Record("-Port", "9400"),
         {250, 5, 12, 1000, true, true, false, false, true, false, true, 9400}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WritePriv(c.file);
        DSEnv env = InTree();
        ASSERT_TRUE(env.OpenEnvFile());
        EXPECT_EQ(ReadSwitches(env), c.expected);
        EXPECT_FALSE(env.IsOpen());
    }
}

TEST_F(Tree, NumbersAndSizesReadLeadingDigits) {
    struct Case {
        const char* value;
        uint32_t number;
        size_t stack;
    };
    const Case cases[] = {
        {"250", 250, 250},
        {"12abc", 12, 12},
        {"abc", 0, 0},
        {"", 0, 0},
        {"99999999999", UINT32_MAX, UINT32_MAX},
        {"512K", 512, 524288},
        {"2M", 2, 2097152},
        {"1M512K", 1, 1048576},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        WritePriv(Record("-FF", c.value) + Record("-JVMThreadStack", c.value));
        DSEnv env = InTree();
        EXPECT_EQ(env.getFudgeFactor(), c.number);
        EXPECT_EQ(env.getJVMThreadStack(), c.stack);
    }
}

TEST_F(Tree, PortIsKeptUnlessAPortNumberIsSet) {
    const char* values[] = {nullptr, "abc", "0", "70000"};
    for (const char* value : values) {
        WritePriv(value ? Record("-Port", value) : "");
        DSEnv env = InTree();
        FakeLink link;
        env.getTavroComPort(link);
        EXPECT_EQ(link.port, 9292) << (value ? value : "unset");
    }
}

struct CommandCase {
    const char* what;
    std::vector<std::string> args;
    std::string before;
    bool result;
    std::string after;
};

TEST_F(Tree, EnvCommandEditsPrivateFile) {
    const CommandCase cases[] = {
        {"adds pairs",
         {"TavroService", "-env", "-Port", "9400", "-Verbose", "Yes"},
         "",
         true,
         "10-Port=9400\n12-Verbose=Yes\n"},
        {"replaces a value",
         {"TavroService", "-env", "-Port", "80"},
         "10-Port=9400\n",
         true,
         "8-Port=80\n  \n"},
        {"appends", {"TavroService", "-env", "-a", "A", "23"}, "3A=1\n", true, "3   \n5A=123\n"},
        {"deletes pairs, skipping the second word",
         {"TavroService", "-env", "-d", "A", "x", "B", "y"},
         "3A=1\n3B=2\n3C=3\n",
         true,
         "3   \n3   \n3C=3\n"},
        {"name without value takes the empty value",
         {"TavroService", "-env", "A", "1", "B"},
         "",
         true,
         "3A=1\n2B=\n"},
        {"too few arguments does nothing",
         {"TavroService", "-env", "A"},
         "3A=1\n",
         false,
         "3A=1\n"},
        {"result of the last edit",
         {"TavroService", "-env", "-d", "A", "x", "Z", "y"},
         "3A=1\n",
         false,
         "3   \n"},
        {"bad name is refused", {"TavroService", "-env", "A=B", "1"}, "", false, ""},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.what);
        WritePriv(c.before);
        std::vector<char*> argv;
        std::vector<std::string> args = c.args;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        DSEnv env = InTree();
        EXPECT_EQ(env.Interface(static_cast<int>(args.size()), argv.data()), c.result);
        env.Close();
        EXPECT_EQ(ReadFile(PrivFile()), c.after);
    }
}

TEST(DSEnvKeys, PrivateVariablesInOrder) {
    const std::string expected[] = {"VANTRIX_HOME", "-RunPriority", "-Affinity", "-Port",
                                    "-Verbose"};
    ASSERT_EQ(DSEnv::nKNumPrivArgs, 5);
    for (int i = 0; i < DSEnv::nKNumPrivArgs; ++i) {
        EXPECT_EQ(DSEnv::ppKPrivEnvVars[i], expected[i]);
        EXPECT_TRUE(DSEnv::IsKnownArg(expected[i].c_str()));
    }
    const char* unknown[] = {"-FF", "-port", "VANTRIX_HOME ", "", nullptr};
    for (const char* name : unknown) EXPECT_FALSE(DSEnv::IsKnownArg(name));
}

TEST_F(Tree, ReadRegistryTakesValueWithoutLineEnd) {
    struct Case {
        const char* name;
        const char* value;
    };
    std::string longLine(78, 'x');
    WriteSettings(
        "# settings\r\n"
        "tavro.director.maxHeapSize=512m\r\n"
        "Tavro.CPUAffinity=3\n"
        "tavro.flag\r\n"
        "tavro.eq=a=b\n" +
        longLine + "tavro.cut=bad\n" + "tavro.last=end");
    const Case cases[] = {
        {"tavro.director.maxHeapSize", "512m"},
        {"TAVRO.cpuaffinity", "3"},
        {"tavro.director", "512m"},
        {"tavro.flag", ""},
        {"tavro.eq", "a=b"},
        {"tavro.cut", ""},
        {"tavro.last", "end"},
        {"tavro.missing", ""},
    };
    DSEnv env = InTree();
    for (const Case& c : cases) {
        std::string out = "stale";
        env.ReadRegistry(c.name, out);
        EXPECT_EQ(out, c.value) << c.name;
    }
}

TEST_F(Tree, ReadRegistryWithoutFileIsLogged) {
    LogCapture log;
    DSEnv env = InTree();
    std::string out = "stale";
    env.ReadRegistry("tavro.CPUAffinity", out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(log.Text(), "vantrixhome:" + m_home + "DSEnv::Failed to open " + m_home +
                              "/specific/tavro/config/TAVRO.REG\n");
}

TEST_F(Tree, RenameOutputFilesKeepsOneBackup) {
    const std::string logs = m_home + "/specific/norba/logs/";
    WriteFile(logs + "director_out.txt", "new out");
    WriteFile(logs + "director_out.txt.bck", "old out");
    WriteFile(logs + "director_err.txt", "new err");
    DSEnv env;
    env.RenameOutputFiles(m_program.c_str());
    EXPECT_FALSE(fs::exists(logs + "director_out.txt"));
    EXPECT_FALSE(fs::exists(logs + "director_err.txt"));
    EXPECT_EQ(ReadFile(logs + "director_out.txt.bck"), "new out");
    EXPECT_EQ(ReadFile(logs + "director_err.txt.bck"), "new err");
}

TEST(DSEnvZota, UnderTheSystemDirectory) {
    char dir[MAX_PATH];
    UINT length = GetSystemDirectoryA(dir, sizeof dir);
    ASSERT_GT(length, 0u);
    DSEnv env;
    EXPECT_EQ(env.GetZotaHome(), std::string(dir, length) + "/ZotaSupLogs");
}

// Opens the protected affinity reading to the test.
class AffinityEnv : public DSEnv {
public:
    using DSEnv::GetAffinity;
    uint32_t Mask() const { return m_affinityMask; }
};

TEST_F(Tree, AffinitySwitchFromPrivateFile) {
    struct Case {
        const char* value;
        bool flag;
        uint32_t mask;
    };
    const Case cases[] = {
        {nullptr, true, 0}, {"No", false, 0}, {"no", false, 0}, {"Yes", true, 0},
        {"YES", true, 0},   {"3", true, 8},   {"33", true, 2},  {"x", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        WritePriv(c.value ? Record("-Affinity", c.value) : "");
        LogCapture log;
        AffinityEnv env;
        env.GetVantrixHome(m_program.c_str());
        EXPECT_EQ(env.GetAffinity(), c.flag);
        EXPECT_EQ(env.Mask(), c.mask);
        if (c.value && std::string(c.value) == "x") {
            EXPECT_EQ(log.Text(), "DSEnv::GetAfinity.sscanf failed\n");
        }
    }
}

TEST_F(Tree, SetPathPutsTreeDirectoriesFirstOnce) {
    const std::string jre = m_home + "/common/jre";
    const std::string hotspot = jre + "/bin/hotspot";
    WritePriv(Record("CLASSPATH", jre + "/lib/rt.jar:" + jre + "/lib/ext.jar"));
    setenv("PATH", "/usr/bin:/Opt/Bin", 1);
    unsetenv("VANTRIX_SHARE_EXTRA");
    DSEnv env = InTree();
    ASSERT_TRUE(env.SetPath());
    const std::string expected = hotspot + ":" + m_home + "/common/bin:" + m_home +
                                 "/common/share:" + jre + "/bin:" + hotspot + ":/usr/bin:/Opt/Bin";
    EXPECT_EQ(std::getenv("PATH"), expected);
    ASSERT_TRUE(env.SetPath());
    EXPECT_EQ(std::getenv("PATH"), expected);
}

TEST_F(Tree, SetPathLeavesOutDirectoriesAlreadyThere) {
    const std::string jre = m_home + "/common/jre";
    const std::string hotspot = jre + "/bin/hotspot";
    WritePriv(Record("CLASSPATH", jre + "/lib/rt.jar"));
    // The tree's bin and runtime directories are found in any case; the
    // share directory is compared as it stands with the lower-cased PATH,
    // so a home spelt with capitals always has it added.
    const std::string old =
        m_home + "/COMMON/BIN:" + jre + "/bin:" + hotspot + ":" + m_home + "/common/share:/bin";
    setenv("PATH", old.c_str(), 1);
    setenv("VANTRIX_SHARE_EXTRA", ":/opt/extra", 1);
    DSEnv env = InTree();
    ASSERT_TRUE(env.SetPath());
    EXPECT_EQ(std::getenv("PATH"), hotspot + ":/opt/extra:" + m_home + "/common/share:" + old);
}

TEST_F(Tree, SetPathNeedsTheHome) {
    DSEnv env;
    setenv("PATH", "/bin", 1);
    EXPECT_FALSE(env.SetPath());
    EXPECT_STREQ(std::getenv("PATH"), "/bin");
}

// The processors of the system mask, lowest first.
std::vector<int> Processors(DWORD_PTR mask) {
    std::vector<int> cpus;
    for (int bit = 0; bit < 32; ++bit) {
        if (mask & (DWORD_PTR{1} << bit)) cpus.push_back(bit);
    }
    return cpus;
}

TEST_F(Tree, AffinitySettingChangesProcessMask) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    std::vector<int> cpus = Processors(systemMask);
    if (cpus.size() < 2) GTEST_SKIP() << "needs at least two processors";
    const DWORD_PTR lowest = DWORD_PTR{1} << cpus.front();
    const DWORD_PTR highest = DWORD_PTR{1} << cpus.back();
    struct Case {
        std::string value;
        DWORD_PTR mask;
    };
    const Case cases[] = {
        {"true", highest},  {"false\r", systemMask}, {std::to_string(cpus.front()) + "\r", lowest},
        {"T", highest},     {"junk", systemMask},    {std::to_string(cpus.back()), highest},
        {"32", systemMask}, {"", systemMask},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        WriteSettings("tavro.director.maxHeapSize=256m\ntavro.CPUAffinity=" + c.value + "\n");
        DSEnv env = InTree();
        env.SetAffinity();
        ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
        EXPECT_EQ(processMask, c.mask);
    }
}

TEST_F(Tree, ProcAffinityFromPrivateSwitch) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    std::vector<int> cpus = Processors(systemMask);
    if (cpus.size() < 2) GTEST_SKIP() << "needs at least two processors";
    WritePriv(Record("-Affinity", std::to_string(cpus.front())));
    AffinityEnv configured;
    configured.GetVantrixHome(m_program.c_str());
    configured.GetAffinity();
    ASSERT_TRUE(configured.setProcAffinity());
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    EXPECT_EQ(processMask, DWORD_PTR{1} << cpus.front());

    // Without a configured processor the highest one is taken.
    AffinityEnv unconfigured;
    ASSERT_TRUE(unconfigured.setProcAffinity());
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    EXPECT_EQ(processMask, DWORD_PTR{1} << cpus.back());
    EXPECT_EQ(unconfigured.Mask(), uint32_t{1} << cpus.back());
}

TEST(DSEnvRevision, JoinsSourceAndHeader) {
    EXPECT_EQ(DSEnv::getRevision(),
              "$Source: Hostsys/DSEnv.cpp,v $ $Revision: 1.12 $ $Name:  $ "
              "$Source: Hostsys/DSEnv.h,v $ $Revision: 1.6 $ $Name:  $");
}

TEST_F(Tree, CopyKeepsCaches) {
    DSEnv env;
    env.GetVantrixPath(m_program.c_str());
    DSEnv copy(env);
    fs::remove_all(m_home + "/common/jars");
    EXPECT_EQ(copy.GetVantrixHome(nullptr), m_home);
    EXPECT_EQ(copy.GetVantrixPath(nullptr), env.GetVantrixPath(nullptr));
}

}  // namespace
