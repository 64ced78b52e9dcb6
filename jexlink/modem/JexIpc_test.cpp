// Tests of the commbox: names and files, whole messages between two processes, bounded waits and
// refusals.
#include "jexlink/modem/JexIpc.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatformState.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tavro::testing::ChildGuard;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

fs::path BoxDir() { return platform::StateDirPath() / "commbox"; }

std::string Bytes(const JexBuffer& buffer) {
    return buffer.Length() ? std::string(buffer.Data(), static_cast<size_t>(buffer.Length())) : "";
}

JexBuffer Message(const std::string& bytes) {
    return JexBuffer(bytes.data(), static_cast<int>(bytes.size()));
}

std::string Pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 31 + 7);
    return out;
}

// The exit status of a child, or -1 when it did not end in time.
int ExitStatus(pid_t pid) {
    const int status = ChildGuard::WaitChild(pid, 20000);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(JexIpc, TableRows) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    } rows[] = {
        {0, "JexIpc::OK", "Operation successful"},
        {1, "JexIpc::FULL", "Channel bank full"},
        {2, "JexIpc::NOSUCHBOX", "Commbox %1$s does not exist"},
        {3, "JexIpc::SHUT", "Remote listener has shut the connection"},
        {4, "JexIpc::SYSERR", "Operating system error"},
        {5, "JexIpc::TIMEOUT", "Operation timed out"},
        {6, "JexIpc::WRONGMODE", "Channel in wrong mode for this direction I/O"},
    };
    JexIpc box;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(box.CodeName(row.code).Text(), row.name);
        EXPECT_STREQ(box.Text(row.code).Text(), row.text);
    }
    EXPECT_EQ(box.Suppress(), 1);
}

TEST(JexIpc, ListenBoxIsAPrivateSocketWithAShortName) {
    fs::path file;
    {
        JexIpc box;
        ASSERT_EQ(box.Code(), JexIpc::OK);
        const std::string name = box.Name().Text();
        EXPECT_EQ(box.Code(), JexIpc::OK);
        ASSERT_EQ(name.size(), 8u);
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"),
                  std::string::npos);
        file = BoxDir() / name;
        struct stat info {};
        ASSERT_EQ(lstat(file.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ASSERT_EQ(lstat(BoxDir().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);

        JexIpc other;
        EXPECT_NE(std::string(other.Name().Text()), name);
        JexIpc writer(name.c_str());
        EXPECT_EQ(writer.Code(), JexIpc::OK);
        EXPECT_STREQ(writer.Name().Text(), name.c_str());
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
}

// One process reads what another writes: sizes 0, 1 and the largest, then
// three threads that each keep their own order.
TEST(JexIpc, MessagesCrossBetweenTwoProcessesWhole) {
    constexpr int kWriters = 3;
    constexpr int kEach = 10000;
    ChildGuard guard;
    JexIpc box;
    ASSERT_EQ(box.Code(), JexIpc::OK);
    const std::string name = box.Name().Text();
    const std::string big = Pattern(JexIpc::kMaxMessage);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        JexIpc writer(name.c_str());
        int failed = writer.Code();
        for (const std::string& bytes : {std::string(), std::string("x"), big})
            failed |= writer.PutMsg(Message(bytes), 0);
        std::vector<std::thread> threads;
        std::atomic<int> threadFailures{0};
        for (int w = 0; w < kWriters; ++w)
            threads.emplace_back([&, w] {
                for (int n = 0; n < kEach; ++n) {
                    const std::string bytes = std::to_string(w) + ":" + std::to_string(n);
                    if (writer.PutMsg(Message(bytes), 0) != 0) ++threadFailures;
                }
            });
        for (std::thread& thread : threads) thread.join();
        _exit(failed == 0 && threadFailures == 0 ? 0 : 1);
    }

    JexBuffer in;
    ASSERT_EQ(box.GetMsg(in, 1, 20), 0);
    EXPECT_EQ(in.Length(), 0);
    ASSERT_EQ(box.GetMsg(in, 1, 20), 0);
    EXPECT_EQ(Bytes(in), "x");
    ASSERT_EQ(box.GetMsg(in, 1, 20), 0);
    EXPECT_EQ(Bytes(in) == big, true);
    int next[kWriters] = {};
    int misordered = 0;
    for (int i = 0; i < kWriters * kEach; ++i) {
        ASSERT_EQ(box.GetMsg(in, 1, 20), 0) << "after " << i << " messages";
        const std::string text = Bytes(in);
        const int writer = text[0] - '0';
        ASSERT_TRUE(writer >= 0 && writer < kWriters) << text;
        if (std::stoi(text.substr(2)) != next[writer]) ++misordered;
        ++next[writer];
    }
    EXPECT_EQ(misordered, 0);
    EXPECT_EQ(ExitStatus(child), 0);
    EXPECT_EQ(box.One_Pass_Read(in), JexIpc::TIMEOUT);  // nothing more
}

TEST(JexIpc, TimedGetMsgGivesTimeoutAfterThePeriodAndNoSooner) {
    JexIpc box;
    JexBuffer in("unchanged");
    const auto start = Clock::now();
    EXPECT_EQ(box.GetMsg(in, 1, 1), JexIpc::TIMEOUT);
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 1.0);
    EXPECT_LT(elapsed, 1.9);  // not a second period
    EXPECT_EQ(box.Code(), JexIpc::TIMEOUT);
    EXPECT_TRUE(in == "unchanged");
    // A later operation records OK again.
    box.Name();
    EXPECT_EQ(box.Code(), JexIpc::OK);
}

void NoteSignal(int) {}

TEST(JexIpc, TimedGetMsgWaitsOnThroughASignal) {
    struct sigaction action {};
    action.sa_handler = NoteSignal;  // no SA_RESTART: the wait sees EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_value.tv_usec = 300000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    JexIpc box;
    JexBuffer in;
    const auto start = Clock::now();
    EXPECT_EQ(box.GetMsg(in, 1, 1), JexIpc::TIMEOUT);
    EXPECT_GE(SecondsSince(start), 1.0);
    signal(SIGALRM, SIG_DFL);
}

TEST(JexIpc, MissingBoxGivesNoSuchBoxAtOnce) {
    JexIpc keep;  // the directory exists, the box does not
    const auto start = Clock::now();
    JexIpc writer("nobox1");
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(writer.Code(), JexIpc::NOSUCHBOX);
    EXPECT_STREQ(writer.FormattedText(0).Text(), "Commbox nobox1 does not exist");
    // Every operation on it gives the same.
    EXPECT_EQ(writer.PutMsg(JexBuffer("x"), 0), JexIpc::NOSUCHBOX);
    writer.Name();
    EXPECT_EQ(writer.Code(), JexIpc::NOSUCHBOX);
}

TEST(JexIpc, NameThatIsNotAPlainShortNameNeverReachesTheFileSystem) {
    // A state of its own: another test's boxes may have made the directory.
    tavro::testing::FreshState state;
    const char* names[] = {"a/b", "abcdefghi", "", "../x", "..", "a b", "ab\n", "x.y", nullptr};
    for (const char* name : names) {
        SCOPED_TRACE(name ? name : "(null)");
        JexIpc writer(name);
        EXPECT_EQ(writer.Code(), JexIpc::NOSUCHBOX);
    }
    EXPECT_FALSE(fs::exists(BoxDir()));
    // Letters of both cases, digits, '_' and '-', up to eight, are names.
    for (const char* name : {"Ab_-9", "a", "ABCDEFGH"})
        EXPECT_TRUE(JexIpc::ValidName(name)) << name;
}

// A box whose reading process has ended: SHUT for a writer that was open,
// and for a new one while the dead box's file is still there.
TEST(JexIpc, BoxWhoseReaderEndedGivesShut) {
    ChildGuard guard;
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        JexIpc box;
        const JexString name = box.Name();
        char go = 0;
        const bool ok = write(toParent[1], name.Text(), 8) == 8 && read(toChild[0], &go, 1) == 1;
        _exit(ok ? 0 : 1);  // no destructor: the socket file stays
    }
    char name[9] = {};
    ASSERT_EQ(read(toParent[0], name, 8), 8);
    JexIpc writer(name);
    ASSERT_EQ(writer.Code(), JexIpc::OK);
    EXPECT_EQ(writer.PutMsg(JexBuffer("hello"), 0), JexIpc::OK);
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    EXPECT_EQ(ExitStatus(child), 0);

    EXPECT_EQ(writer.PutMsg(JexBuffer("anyone?"), 0), JexIpc::SHUT);
    EXPECT_EQ(writer.Code(), JexIpc::SHUT);
    JexIpc late(name);
    EXPECT_EQ(late.Code(), JexIpc::SHUT);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

// The name after `name` in this process's sequence.
std::string NextName(std::string name) {
    static const std::string digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (size_t i = name.size(); i-- > 5;) {
        const size_t d = digits.find(name[i]);
        if (d + 1 < digits.size()) {
            name[i] = digits[d + 1];
            return name;
        }
        name[i] = '0';
    }
    return name;
}

int BoundSocket(const fs::path& path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(JexIpc, ListenBoxTakesOverOnlyTheSocketFileOfAnEndedBox) {
    JexIpc first;
    const std::string stale = NextName(first.Name().Text());
    const std::string live = NextName(stale);
    const std::string plain = NextName(live);
    const std::string free = NextName(plain);
    close(BoundSocket(BoxDir() / stale));  // its file stays, nobody reads
    const int liveFd = BoundSocket(BoxDir() / live);
    ASSERT_GE(liveFd, 0);
    tavro::testing::WriteFile(BoxDir() / plain, "not a socket");

    JexIpc takesOver;
    EXPECT_STREQ(takesOver.Name().Text(), stale.c_str());
    JexIpc skips;
    EXPECT_STREQ(skips.Name().Text(), free.c_str());
    EXPECT_TRUE(fs::is_socket(BoxDir() / live));
    EXPECT_EQ(tavro::testing::ReadFile(BoxDir() / plain), "not a socket");
    // A write box to the plain file is not opened through it.
    JexIpc toPlain(plain.c_str());
    EXPECT_EQ(toPlain.Code(), JexIpc::NOSUCHBOX);
    close(liveFd);
}

TEST(JexIpc, ReceiverThatNeverReadsMakesPutMsgFullAfterTheBound) {
    JexIpc box;
    JexIpc writer(box.Name().Text());
    const JexBuffer big = Message(Pattern(JexIpc::kMaxMessage));
    int result = 0;
    double lastCall = 0;
    for (int sent = 0; sent < 10000 && result == 0; ++sent) {
        const auto start = Clock::now();
        result = writer.PutMsg(big, 0);
        lastCall = SecondsSince(start);
    }
    EXPECT_EQ(result, JexIpc::FULL);
    EXPECT_GE(lastCall, JexIpc::kSendWaitSeconds);
    EXPECT_LT(lastCall, JexIpc::kSendWaitSeconds + 4.0);
    // Once the receiver takes one, there is room again.
    JexBuffer in;
    EXPECT_EQ(box.GetMsg(in, 1, 5), 0);
    EXPECT_EQ(writer.PutMsg(JexBuffer("small"), 0), 0);
}

TEST(JexIpc, WrongDirectionGivesWrongMode) {
    JexIpc box;
    JexIpc writer(box.Name().Text());
    JexBuffer in;
    EXPECT_EQ(writer.GetMsg(in, 1, 1), JexIpc::WRONGMODE);
    EXPECT_EQ(writer.One_Pass_Read(in), JexIpc::WRONGMODE);
    EXPECT_EQ(box.PutMsg(JexBuffer("x"), 0), JexIpc::WRONGMODE);
    EXPECT_EQ(box.Code(), JexIpc::WRONGMODE);
}

TEST(JexIpc, MessageOverTheLimitIsNotSent) {
    JexIpc box;
    JexIpc writer(box.Name().Text());
    EXPECT_EQ(writer.PutMsg(Message(Pattern(JexIpc::kMaxMessage + 1)), 0), JexIpc::SYSERR);
    JexBuffer in;
    EXPECT_EQ(box.One_Pass_Read(in), JexIpc::TIMEOUT);
    // The box still works, for a message read back into the buffer it came from.
    JexBuffer same("again");
    EXPECT_EQ(writer.PutMsg(same, 0), 0);
    EXPECT_EQ(box.One_Pass_Read(same), 0);
    EXPECT_TRUE(same == "again");
}

TEST(JexIpc, OversizedMessageFromAnotherSenderIsDiscarded) {
    JexIpc box;
    const fs::path path = BoxDir() / box.Name().Text();
    const int raw = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const std::string huge = Pattern(100000);
    ASSERT_EQ(sendto(raw, huge.data(), huge.size(), 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof address),
              static_cast<ssize_t>(huge.size()));
    close(raw);
    JexIpc writer(box.Name().Text());
    ASSERT_EQ(writer.PutMsg(JexBuffer("next"), 0), 0);

    // It is read as an empty message (over what the buffer held), which
    // no frame decodes, and the box goes on.
    JexBuffer in("left over");
    EXPECT_EQ(box.GetMsg(in, 1, 5), 0);
    EXPECT_EQ(in.Length(), 0);
    EXPECT_EQ(box.Code(), JexIpc::OK);
    EXPECT_EQ(box.GetMsg(in, 1, 5), 0);
    EXPECT_TRUE(in == "next");
}

TEST(JexIpc, StateDirectoryTooLongForASocketAddressIsSyserr) {
    tavro::testing::FreshState state;  // the state directory comes back at the end
    tavro::testing::TempDir temp;
    const fs::path longDir = temp.Path() / std::string(110, 'd');
    setenv(platform::kStateDirVar, longDir.c_str(), 1);
    JexIpc box;
    EXPECT_EQ(box.Code(), JexIpc::SYSERR);
    box.Name();
    EXPECT_EQ(box.Code(), JexIpc::SYSERR);
    JexBuffer in;
    EXPECT_EQ(box.GetMsg(in, 1, 1), JexIpc::SYSERR);
    JexIpc writer("abc");
    EXPECT_EQ(writer.Code(), JexIpc::SYSERR);
}

TEST(JexIpc, OnePassReadDoesNotWait) {
    JexIpc box;
    JexIpc writer(box.Name().Text());
    JexBuffer in;
    const auto start = Clock::now();
    EXPECT_EQ(box.One_Pass_Read(in), JexIpc::TIMEOUT);
    EXPECT_LT(SecondsSince(start), 0.5);
    ASSERT_EQ(writer.PutMsg(JexBuffer("one"), 0), 0);
    EXPECT_EQ(box.One_Pass_Read(in), 0);
    EXPECT_TRUE(in == "one");
}

}  // namespace
