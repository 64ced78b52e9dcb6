// The modem line and server databases shared by processes: concurrent writers and readers, and a
// held lock.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexResourceLock.h"
#include "jexlink/modem/JexModemDbFile.h"
#include "jexlink/modem/JexModemLineDb.h"
#include "jexlink/modem/JexModemServDb.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/ModemDbTestSupport.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ExpectError;
using tavro::testing::FileState;
using tavro::testing::ModemDbFiles;

constexpr int kWriters = 8;
constexpr int kRecordsEach = 200;
// The writers end in some 8 s under the sanitizers on a quiet machine; a full
// test run beside a build slows their lock hand-overs many times over.
constexpr int kBoundMs = 150000;

// Runs `body` in a forked child whose exit status is its result; the child
// never returns into the test.
template <typename Body>
pid_t Fork(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(120);  // an orphan never outlives the run
        const int status = body();
        std::fflush(nullptr);
        _exit(status);
    }
    return pid;
}

// Registers, updates and removes lines and servers; the even ones stay
// registered (their objects are never destroyed: the child ends with _exit).
int Writer(int k) {
    std::vector<std::unique_ptr<JexModemLineDb>> lines;
    std::vector<std::unique_ptr<JexModemServDb>> servers;
    const int32_t pid = getpid();
    for (int i = 0; i < kRecordsEach; ++i) {
        const std::string name = "c" + std::to_string(k) + "l" + std::to_string(i);
        auto line = std::make_unique<JexModemLineDb>();
        if (line->SetAttr(JexModemLineDb::NODE, "node") != 0 ||
            line->Register(name.c_str(), pid) != 0 ||
            line->SetAttr(JexModemLineDb::STATE, JexModemLineDb::kIdle) != 0 ||
            line->SetAttr(JexModemLineDb::SPEED, i) != 0 || line->Update() != 0 ||
            (i % 2 && line->Remove() != 0)) {
            std::fprintf(stderr, "line %s: %s\n", name.c_str(), line->Describe(1).Text());
            return 1;
        }
        lines.push_back(std::move(line));

        const std::string server = "c" + std::to_string(k) + "s" + std::to_string(i);
        auto record = std::make_unique<JexModemServDb>();
        if (record->Register(server.c_str(), "box", pid) != 0 ||
            record->SetAttr(JexModemServDb::SRC_REF_ID, i) != 0 || record->Update() != 0 ||
            (i % 2 && record->Remove() != 0)) {
            std::fprintf(stderr, "server %s: %s\n", server.c_str(), record->Describe(1).Text());
            return 1;
        }
        servers.push_back(std::move(record));
    }
    // Ends here, before the objects would remove their records.
    std::fflush(nullptr);
    _exit(0);
}

// Lists both files until `stop` exists; any failure but "nothing yet" ends it.
int Reader(const std::filesystem::path& stop) {
    FILE* sink = std::fopen("/dev/null", "w");
    while (!std::filesystem::exists(stop)) {
        JexModemLineDb lines;
        const int found = lines.Find("*");
        if (found != JexModemLineDb::OK && found != JexModemLineDb::NOMATCH &&
            found != JexModemLineDb::OPENFAIL) {
            std::fprintf(stderr, "line find: %s\n", lines.Describe(1).Text());
            return 1;
        }
        JexModemLineDb dumper;
        const int dumped = dumper.Dump("c*", sink);
        if (dumped == JexModemLineDb::FORMATERROR) return 2;
        JexModemServDb servers;
        const int listed = servers.Dump(nullptr, sink);
        if (listed == JexModemServDb::FORMATERROR || listed == JexModemServDb::WRITEERROR) return 3;
    }
    std::fclose(sink);
    return 0;
}

class ModemDbProcessesTest : public ::testing::Test {
protected:
    ModemDbFiles files_;
    ChildGuard guard_;
};

TEST_F(ModemDbProcessesTest, EightWritersAndAReaderLoseNothing) {
    const auto start = std::chrono::steady_clock::now();
    const std::filesystem::path stop = files_.Dir() / "stop";
    const pid_t reader = Fork([&] { return Reader(stop); });
    std::vector<pid_t> writers;
    for (int k = 0; k < kWriters; ++k) writers.push_back(Fork([k] { return Writer(k); }));
    for (pid_t writer : writers) {
        const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        const int status =
            ChildGuard::WaitChild(writer, static_cast<int>(std::max<int64_t>(kBoundMs - used, 1)));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "writer " << writer << " status " << status;
    }
    tavro::testing::WriteFile(stop, "");
    const int status = ChildGuard::WaitChild(reader, 10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader status " << status;

    const std::string lineBytes = FileState(files_.Lines());
    const std::string serverBytes = FileState(files_.Servers());
    EXPECT_EQ(lineBytes.size() % JexModemLineDb::kRecordSize, 0u);
    EXPECT_EQ(serverBytes.size() % JexModemServDb::kRecordSize, 0u);

    // Every live record parses and delivers; each kept registration is there once.
    std::map<std::string, int> lines;
    size_t liveLines = 0;
    for (size_t at = 0; at + JexModemLineDb::kRecordSize <= lineBytes.size();
         at += JexModemLineDb::kRecordSize)
        if (lineBytes[at] != ' ') ++liveLines;
    JexModemLineDb lineDb;
    for (int code = lineDb.Find("*"); code == JexModemLineDb::OK; code = lineDb.Find(nullptr)) {
        JexString name;
        int32_t speed = -1, state = -1;
        lineDb.GetAttr(JexModemLineDb::LINE_NAME, name);
        lineDb.GetAttr(JexModemLineDb::SPEED, speed);
        lineDb.GetAttr(JexModemLineDb::STATE, state);
        ++lines[name.Text()];
        EXPECT_EQ(std::string(name.Text()).substr(2), "l" + std::to_string(speed));
        EXPECT_EQ(state, JexModemLineDb::kIdle);
    }
    std::map<std::string, int> servers;
    size_t liveServers = 0;
    for (size_t at = 0; at + JexModemServDb::kRecordSize <= serverBytes.size();
         at += JexModemServDb::kRecordSize)
        if (serverBytes[at] != ' ') ++liveServers;
    JexModemServDb serverDb;
    for (int code = serverDb.Find("*"); code == JexModemServDb::OK; code = serverDb.Find(nullptr)) {
        JexString name;
        int32_t ref = -1;
        serverDb.GetAttr(JexModemServDb::SERVER_NAME, name);
        serverDb.GetAttr(JexModemServDb::SRC_REF_ID, ref);
        ++servers[name.Text()];
        EXPECT_EQ("s" + std::to_string(ref), std::string(name.Text()).substr(2));
    }
    std::map<std::string, int> wantLines, wantServers;
    for (int k = 0; k < kWriters; ++k)
        for (int i = 0; i < kRecordsEach; i += 2) {
            wantLines["c" + std::to_string(k) + "l" + std::to_string(i)] = 1;
            wantServers["c" + std::to_string(k) + "s" + std::to_string(i)] = 1;
        }
    EXPECT_EQ(lines, wantLines);
    EXPECT_EQ(servers, wantServers);
    EXPECT_EQ(liveLines, wantLines.size());
    EXPECT_EQ(liveServers, wantServers.size());
}

// A process that holds the file's lock (as a daemon would, by its path).
pid_t HoldLock(const std::filesystem::path& path) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t holder = Fork([&] {
        close(ready[0]);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
        const char byte = 'x';
        if (write(ready[1], &byte, 1) != 1) return 1;
        pause();
        return 0;
    });
    close(ready[1]);
    char byte = 0;
    const bool locked = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return locked ? holder : -1;
}

TEST_F(ModemDbProcessesTest, HeldLockMakesLineRegisterFailAfterTheBound) {
    tavro::testing::WriteFile(files_.Lines(), "");
    const pid_t holder = HoldLock(files_.Lines());
    ASSERT_GT(holder, 0);
    JexModemLineDb db;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(db.Register("line", 5), JexModemLineDb::OPENFAIL);
    const auto waited = std::chrono::steady_clock::now() - start;
    kill(holder, SIGKILL);
    ChildGuard::WaitChild(holder, 5000);
    EXPECT_GE(waited, std::chrono::milliseconds(9500));
    ExpectError(db, {JexModemLineDb::OPENFAIL, "JexResourceLock()", {files_.Lines().string()}},
                "line");
    ASSERT_NE(db.Cause(), nullptr);
    EXPECT_EQ(db.Cause()->Code(), JexResourceLock::LOCKFAIL);
    EXPECT_EQ(db.AccessMode(), 4);
    EXPECT_EQ(FileState(files_.Lines()), "");
}

// The line database's test keeps the real bound; this one a short one.
TEST_F(ModemDbProcessesTest, HeldLockMakesServerRegisterFailAfterTheBound) {
    const tavro::testing::ScopedBound bound(JexModemDbFile::SetLockWaitMs, 300);
    tavro::testing::WriteFile(files_.Servers(), "");
    const pid_t holder = HoldLock(files_.Servers());
    ASSERT_GT(holder, 0);
    JexModemServDb db;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(db.Register("srv", "box", 5), JexModemServDb::OPENFAIL);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
    kill(holder, SIGKILL);
    ChildGuard::WaitChild(holder, 5000);
    ExpectError(db, {JexModemServDb::OPENFAIL, "JexResourceLock()", {files_.Servers().string()}},
                "server");
    EXPECT_EQ(db.AccessMode(), JexModemServDb::kFinished);
    EXPECT_EQ(FileState(files_.Servers()), "");
}

// How a user without rights to the file fares at opening it: 0 when the
// open is refused (EACCES) although the file can be seen, 1 when it opened,
// 2 when the folders keep the file from view (the test proves nothing).
int OpenAsAnotherUser(const std::filesystem::path& path) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 3;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 2;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return 1;
    return errno == EACCES ? 0 : 4;
}

TEST_F(ModemDbProcessesTest, OtherUsersCannotOpenTheFilesToTakeTheLockUnderAnyUmask) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    ASSERT_EQ(chmod(files_.Dir().c_str(), 0755), 0);  // others may look in, as in an installation
    struct Case {
        const char* what;
        std::filesystem::path path;
        std::function<int()> registerOne;
    };
    const Case cases[] = {
        {"lines", files_.Lines(), [] { return JexModemLineDb().Register("line", 5); }},
        {"servers", files_.Servers(), [] { return JexModemServDb().Register("srv", "box", 5); }},
    };
    for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " under umask " + std::to_string(mask));
            std::filesystem::remove(c.path);
            const mode_t old = umask(mask);
            const int code = c.registerOne();
            umask(old);
            ASSERT_EQ(code, 0);
            EXPECT_EQ(tavro::testing::PermissionBits(c.path), 0660u);
            const pid_t child = Fork([&] { return OpenAsAnotherUser(c.path); });
            const int status = ChildGuard::WaitChild(child, 10000);
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), 0);
        }
    }
}

TEST_F(ModemDbProcessesTest, AFileOrFolderOpenToOtherUsersIsReportedOnce) {
    struct Case {
        const char* what;
        mode_t file, folder;
        const char* warning;  // null: none
    };
    const Case cases[] = {
        {"private", 0660, 0755, nullptr},
        {"readable by all", 0644, 0755, "is open to other users (mode 0644)"},
        {"writable by all", 0666, 0700, "is open to other users (mode 0666)"},
        {"folder writable by all", 0640, 0777, "folder of modem database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::filesystem::path folder = files_.Dir() / std::to_string(c.file + c.folder);
        const std::filesystem::path path = folder / "db.dat";
        tavro::testing::WriteFile(path, "");
        ASSERT_EQ(chmod(path.c_str(), c.file), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folder), 0);
        for (int round = 0; round < 2; ++round) {
            JexModemDbFile file("jex_vldb", JexModemLineDb::kRecordSize);
            ::testing::internal::CaptureStderr();
            const auto opened = file.Open(path.c_str(), O_RDONLY);
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(opened, JexModemDbFile::Opened::kOk);
            if (c.warning && round == 0) {
                EXPECT_NE(err.find(c.warning), std::string::npos) << err;
                EXPECT_NE(err.find(path.string()), std::string::npos) << err;
            } else {
                EXPECT_EQ(err, "") << "round " << round;
            }
        }
        EXPECT_EQ(tavro::testing::PermissionBits(path), c.file);  // reported, never changed
        chmod(folder.c_str(), 0700);
    }
}

}  // namespace
