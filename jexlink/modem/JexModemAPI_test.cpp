// Tests of the modem connection through the fake modem daemon, in one process.
#include "jexlink/modem/JexModemAPI.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexModemIO.h"
#include "platform/PlatformState.h"
#include "testing/support/FakeModemDaemon.h"
#include "testing/support/ModemDbTestSupport.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::Error;
using tavro::testing::ExpectError;
using tavro::testing::FakeModemCall;
using tavro::testing::FakeModemDaemon;
using tavro::testing::FakeModemStep;
using tavro::testing::ModemDbFiles;
using tavro::testing::ReadFile;
using tavro::testing::WaitFor;
using Kind = FakeModemStep::Kind;
using Clock = std::chrono::steady_clock;

constexpr const char* kAddress = "M/pots.support/app";

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Bytes(const JexBufferBase& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string Arg(const JexException& e, int i) { return Bytes(e.Args()[i]); }

// Waits until the monotonic clock's fraction of a second is about `fraction`,
// so that the whole-second arithmetic of Connect comes out the same each run.
void AlignToSecond(double fraction) {
    const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    double wait = fraction - (now - static_cast<double>(static_cast<long long>(now)));
    if (wait < 0) wait += 1.0;
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

// Writes a message larger than a box takes straight into the box's socket:
// its reader's next read fails.
void SendOversize(const char* box) {
    const std::string path = (platform::StateSubdir("commbox") / box).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const std::string bytes(JexIpc::kMaxMessage + 1, 'x');
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                     sizeof address),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// A server that listens in a thread of its own. Listen waits without
// limit: if no call came, the destructor delivers a request of its own so
// that the thread ends.
class Listener {
public:
    explicit Listener(const char* name = "app") : name_(name) {
        api_ = std::make_unique<JexModemAPI>();
        thread_ = std::thread([this] {
            result_ = api_->Listen(name_.c_str());
            done_ = true;
        });
    }
    ~Listener() {
        if (!done_) Release();
        if (thread_.joinable()) thread_.join();
    }
    // Listen's result, once it returned (-1 when it did not in time).
    int Result(int timeoutMs = tavro::testing::kWaitMs) {
        if (!WaitFor([&] { return done_.load(); }, timeoutMs)) return -1;
        thread_.join();
        return result_;
    }
    bool Registered(const ModemDbFiles& files) {
        return WaitFor([&] { return ReadFile(files.Servers()).find(name_) != std::string::npos; });
    }
    JexModemAPI& Api() { return *api_; }
    void Reset() {
        if (!done_) Release();
        if (thread_.joinable()) thread_.join();
        api_.reset();
    }

    // A valid request straight into the server's box.
    void Release() {
        JexIpc box;
        JexTp2Frame cr;
        cr.SetFrameCode(JexTp2Frame::kCR);
        cr.SetAttr(JexTp2Frame::SRC_REF, 1);
        cr.SetAttr(JexTp2Frame::DST_REF, 2);
        cr.SetAttr(JexTp2Frame::CLASS, 2);
        cr.SetAttr(JexTp2Frame::OPTIONS, 1);
        const std::string tsap = std::string("l/") + box.Name().Text() + "/1";
        cr.SetAttr(JexTp2Frame::CALLING_TSAP, JexBufferBase(tsap.c_str()));
        cr.UserData() = JexBuffer(JexBufferBase(("M/x.y/" + name_ + "||").c_str()));
        JexIpc to(api_->ApiCombox()->Name().Text());
        to.PutMsg(cr.Encode(), 0);
        WaitFor([&] { return done_.load(); });
    }

private:
    std::string name_;
    std::unique_ptr<JexModemAPI> api_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    int result_ = -1;
};

class ModemApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.CRResponseWait", 3));
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.DRResponseWait", 2));
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.HeartbeatInterval", 1));
        unsetenv("JEXMODEMAPI_TRACE");
        unsetenv("JEXMODEMAPI_TEST");
        unsetenv("JEX_MODEM_APPLICATION_NAME");
        JexModemAPI::ReadSwitches();
    }
    void TearDown() override {
        unsetenv("JEXMODEMAPI_TRACE");
        unsetenv("JEXMODEMAPI_TEST");
        JexModemAPI::ReadSwitches();
    }

    // A daemon and a listening server, and a client connected through them.
    void Link(std::vector<FakeModemCall> script = {}) {
        daemon_.Script(std::move(script));
        ASSERT_TRUE(daemon_.Start());
        server_ = std::make_unique<Listener>();
        ASSERT_TRUE(server_->Registered(files_));
        client_ = std::make_unique<JexModemAPI>();
        ASSERT_EQ(client_->Connect(kAddress, 0), 0) << client_->FormattedText(1).Text();
        ASSERT_EQ(server_->Result(), 0) << server_->Api().FormattedText(1).Text();
    }

    ModemDbFiles files_;
    FakeModemDaemon daemon_;
    std::unique_ptr<Listener> server_;
    std::unique_ptr<JexModemAPI> client_;
};

TEST_F(ModemApiTest, ConnectAndListenMeetAndCarryDataBothWays) {
    Link();
    JexModemAPI& server = server_->Api();
    EXPECT_EQ(client_->Gender(), 1);
    EXPECT_EQ(server.Gender(), 2);
    EXPECT_NE(client_->SrcRef(), 0);
    EXPECT_EQ(client_->SrcRef(), server.DstRef());
    EXPECT_EQ(client_->DstRef(), server.SrcRef());
    EXPECT_EQ(client_->Code(), 0);

    // The CR as the daemon saw it.
    const auto seen = daemon_.Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].code, JexTp2Frame::kCR);
    EXPECT_EQ(seen[0].callingTsap, std::string("l/") + client_->ApiCombox()->Name().Text() + "/" +
                                       std::to_string(getpid()));
    EXPECT_EQ(seen[0].userData, kAddress);

    // The server record is Online with both references.
    JexModemServDb db;
    ASSERT_EQ(db.Find("app"), 0);
    int32_t state = 0, src = 0, dst = 0;
    db.GetAttr(JexModemServDb::STATE, state);
    db.GetAttr(JexModemServDb::SRC_REF_ID, src);
    db.GetAttr(JexModemServDb::DST_REF_ID, dst);
    EXPECT_EQ(state, JexModemServDb::kOnline);
    EXPECT_EQ(src, client_->SrcRef());
    EXPECT_EQ(dst, client_->DstRef());

    // The addresses of the server's confirmation.
    JexString text;
    EXPECT_EQ(client_->GetAttr(JexModemAPI::kDna, text), 0);
    EXPECT_STREQ(text.Text(), kAddress);
    EXPECT_EQ(server.GetAttr(JexModemAPI::kSna, text), 0);
    EXPECT_STREQ(text.Text(), "M/pots.support/app");

    std::string big(60 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    for (const std::string& data : {std::string(), std::string("x"), big}) {
        JexBuffer out(JexBufferBase(data.data(), static_cast<int>(data.size())));
        ASSERT_EQ(client_->PutMsg(out, 0), 0);
        JexBuffer in;
        ASSERT_EQ(server.GetMsg(in, 1, 10), 0);
        EXPECT_EQ(Bytes(in), data);
        ASSERT_EQ(server.PutMsg(out, 0), 0);
        ASSERT_EQ(client_->GetMsg(in, 1, 10), 0);
        EXPECT_EQ(Bytes(in), data);
    }

    EXPECT_EQ(client_->Disconnect(), 0);
    EXPECT_EQ(client_->Disconnect(), 0);  // already confirmed: nothing sent
    JexBuffer last;
    EXPECT_EQ(server.GetMsg(last, 1, 10), JexModem::TERMINATED);
    EXPECT_EQ(server.Disconnect(), 0);
    server_->Reset();
    client_.reset();
    // The server's record is gone; only the daemon's line stays.
    EXPECT_EQ(ReadFile(files_.Servers()).find("app"), std::string::npos);
    EXPECT_NE(ReadFile(files_.Lines()).find("line1"), std::string::npos);
    int drs = 0;
    for (const auto& s : daemon_.Seen())
        if (s.code == JexTp2Frame::kDR) {
            ++drs;
            EXPECT_EQ(s.reason, 128);
            EXPECT_EQ(s.extReason, 1);
        }
    EXPECT_EQ(drs, 1);
}

TEST_F(ModemApiTest, TpduNumbersRunFrom1To255AndRoundAgain) {
    Link();
    JexBuffer data(JexBufferBase("d"));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(client_->PutMsg(data, 0), 0);
    ASSERT_TRUE(WaitFor([&] {
        int n = 0;
        for (const auto& s : daemon_.Seen()) n += s.messageType == 'D';
        return n == 256;
    }));
    std::vector<int> numbers;
    for (const auto& s : daemon_.Seen())
        if (s.messageType == 'D') numbers.push_back(s.tpduNr);
    EXPECT_EQ(numbers[0], 1);
    EXPECT_EQ(numbers[254], 255);
    EXPECT_EQ(numbers[255], 1);
}

TEST_F(ModemApiTest, HeartbeatsAreSentEveryIntervalAndEchoed) {
    JexModemAPI::SetHeartbeatNumbers(199, 99);
    Link();
    ASSERT_TRUE(WaitFor([&] { return daemon_.Echoes().size() >= 3; }));
    const auto beats = daemon_.Beats();
    const auto echoes = daemon_.Echoes();
    EXPECT_EQ(std::vector<int>(beats.begin(), beats.begin() + 3), (std::vector<int>{99, 100, 1}));
    EXPECT_EQ(std::vector<int>(echoes.begin(), echoes.begin() + 3),
              (std::vector<int>{199, 200, 101}));
    std::vector<std::string> items;
    for (const auto& s : daemon_.Seen())
        if (s.messageType == 'H' && !s.fromOriginator) items.push_back(s.item);
    ASSERT_GE(items.size(), 2u);
    EXPECT_EQ(items[0], std::string("\0\0\0\0", 4));
    EXPECT_EQ(items[1], std::string("\1\0\0\0", 4));
    EXPECT_GE(client_->HeartbeatCount(), 2);
    // Heartbeats never reach the queue.
    JexBuffer in;
    EXPECT_EQ(client_->GetMsg(in, 1, 1), JexModem::TIMEOUT);
}

// One row of the failure tables of Connect: the daemon's script, the code
// and location label, and a progress line that must be on standard error.
struct ConnectCase {
    const char* name;
    std::vector<FakeModemCall> script;
    int code;
    const char* label;
    const char* progress;
    double alignTo = -1;  // the fraction of a second at which Connect starts
    int lines = 1;
};

FakeModemCall Local(FakeModemStep s) { return {s, {}, {}, false, false}; }
FakeModemCall Remote(FakeModemStep s) { return {{}, s, {}, false, false}; }
FakeModemCall Server(FakeModemStep s) { return {{}, {}, s, false, false}; }
FakeModemStep Tsap(const char* tsap) { return {Kind::kWrongTsap, 0, 0, 0, tsap, {}}; }
FakeModemStep Corrupt() { return {Kind::kCorrupt, 0, 0, 0, {}, std::string("\x05\xE0\x00", 3)}; }

TEST_F(ModemApiTest, EachFailureOfConnectGivesItsCodeAndLabel) {
    const ConnectCase cases[] = {
        {"two lines full, then none",
         {Local(FakeModemStep::Dr(1, 2)), Local(FakeModemStep::Dr(1, 2))},
         61,
         "No qualified modem line",
         "  Daemon can't take us now, skipping...\n",
         -1,
         2},
        {"first answer silent",
         {Local(FakeModemStep::Of(Kind::kSilence))},
         61,
         "No qualified modem line",
         "  Timeout waiting for response!\n"},
        {"first answer too large",
         {Local(FakeModemStep::Of(Kind::kOversize))},
         38,
         "Read 1st CC error",
         "  Read error in local response!\n"},
        {"first answer corrupt",
         {Local(Corrupt())},
         20,
         "Corrupted frame",
         "  Local response corrupt!\n"},
        {"first DR not a skip",
         {Local(FakeModemStep::Dr(136, 0x42))},
         14,
         "Call timeout or failure",
         "  Error with this daemon!\n"},
        {"first CC from \"local daemon\"",
         {Local(Tsap("local daemon"))},
         66,
         "CC not from local daemon",
         "  Protocol absence in response!\n"},
        {"first answer a DC",
         {Local(FakeModemStep::Of(Kind::kOtherFrame))},
         66,
         "Only CC or DR is expected (1)",
         "  Protocol error in response!\n"},
        {"no time after the first CC",
         {Local(FakeModemStep::Delay(2800))},
         83,
         "Out of time for 2nd CC",
         "  Timeout waiting for 2nd response!\n",
         0.35},
        {"second answer silent",
         {Remote(FakeModemStep::Of(Kind::kSilence))},
         83,
         "Read 2nd CC timeout",
         "  Read timeout waiting for 2nd response!\n"},
        {"second answer too large",
         {Remote(FakeModemStep::Of(Kind::kOversize))},
         38,
         "Read 2nd CC error",
         "  Read error for 2nd response!\n"},
        {"second answer corrupt",
         {Remote(Corrupt())},
         20,
         "Corrupted frame",
         "  Corrupt 2nd response!\n"},
        {"second DR",
         {Remote(FakeModemStep::Dr(2, 4))},
         72,
         "",
         "  Failed accessing remote daemon with {2,0x4}\n"
         "    [JexModem::SERVER_NOT_CONNECTED, Remote daemon can't run/connect to server]\n"},
        {"second CC not from the remote daemon",
         {Remote(Tsap("Local Daemon"))},
         66,
         "CC not from Remote Daemon",
         "  Content error in remote daemon response!\n"},
        {"second answer a DC",
         {Remote(FakeModemStep::Of(Kind::kOtherFrame))},
         66,
         "Only CC or DR is expected (2)",
         "  Protocol error in remote daemon response!\n"},
        {"no time after the second CC",
         {{FakeModemStep::Delay(700), FakeModemStep::Delay(2300), {}, false, false}},
         83,
         "Run out time for 3rd CC",
         "  No time left for server response!\n",
         0.1},
        {"third answer silent",
         {Server(FakeModemStep::Of(Kind::kSilence))},
         83,
         "Wait for 3rd CC timeout",
         "  Timeout waiting for server response!\n"},
        {"third answer too large",
         {Server(FakeModemStep::Of(Kind::kOversize))},
         38,
         "JexIpc()::GetMsg",
         "  Read error on server response!\n"},
        {"third answer corrupt",
         {Server(Corrupt())},
         20,
         "3rd CC",
         "  Corrupt server response frame!\n"},
        {"third DR",
         {Server(FakeModemStep::Dr(3, 8))},
         74,
         "",
         "  Failed accessing remote server with {3,0x8}\n"
         "    [JexModem::SERVER_NOT_RIGHT, Connecting to a wrong server]\n"},
        {"third answer a DC",
         {Server(FakeModemStep::Of(Kind::kOtherFrame))},
         66,
         "Only CC or DR is expected (3)",
         "  Protocol error on server response!\n"},
    };
    std::vector<FakeModemDaemon::Line> lines = {{"line1", "pots", "", 9600},
                                                {"line2", "pots", "", 9600}};
    for (const ConnectCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeModemDaemon daemon(
            std::vector<FakeModemDaemon::Line>(lines.begin(), lines.begin() + c.lines));
        daemon.Script(c.script);
        ASSERT_TRUE(daemon.Start());
        JexModemAPI client;
        if (c.alignTo >= 0) AlignToSecond(c.alignTo);
        const auto start = Clock::now();
        ::testing::internal::CaptureStderr();
        const int code = client.Connect(kAddress, 0);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_LT(SecondsSince(start), 8.0);
        EXPECT_EQ(code, c.code) << err;
        EXPECT_EQ(client.Code(), c.code);
        EXPECT_EQ(Arg(client, 0), c.label);
        EXPECT_NE(err.find(c.progress), std::string::npos) << err;
        EXPECT_EQ(client.Gender(), 0);
        daemon.Stop();
    }
}

TEST_F(ModemApiTest, SkippedLinesAreReportedOnStandardError) {
    std::vector<FakeModemDaemon::Line> lines = {{"line1", "pots", "", 9600},
                                                {"line2", "pots", "", 9600}};
    FakeModemDaemon daemon(lines);
    daemon.Script({Local(FakeModemStep::Dr(1, 2)), Local(FakeModemStep::Dr(1, 2))});
    ASSERT_TRUE(daemon.Start());
    JexModemAPI client;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(client.Connect(kAddress, 0), JexModem::NO_LINE_AVAIL);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Attached to line line1 for connection to M/pots.support/app\n"
              "  Daemon can't take us now, skipping...\n"
              "Attached to line line2 for connection to M/pots.support/app\n"
              "  Daemon can't take us now, skipping...\n");
    EXPECT_EQ(daemon.Calls(), 2);
}

TEST_F(ModemApiTest, ProgressOfASuccessfulConnectByteForByte) {
    ASSERT_TRUE(daemon_.Start());
    Listener server;
    ASSERT_TRUE(server.Registered(files_));
    setenv("JEXMODEMAPI_TRACE", "r", 1);
    JexModemAPI::ReadSwitches();
    JexModemAPI client;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(client.Connect(kAddress, 0), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    unsetenv("JEXMODEMAPI_TRACE");
    JexModemAPI::ReadSwitches();
    EXPECT_EQ(err.rfind("Attached to line line1 for connection to M/pots.support/app\n", 0), 0u)
        << err;
    for (const char* marker :
         {"\xABr\xBB Connect(): read 1st CC frame\n", "\xABr\xBB Connect(): read 2nd CC frame\n",
          "\xABr\xBB Connect(): read 3rd CC frame\n",
          "  Local modem line responding, waiting for remote connection\n",
          "  Remote side responding, waiting for remote server\n", "  Remote server responding\n"})
        EXPECT_NE(err.find(marker), std::string::npos) << marker;
    EXPECT_EQ(server.Result(), 0);
}

TEST_F(ModemApiTest, TheRequestedSpeedGoesIntoTheThroughputParameter) {
    ASSERT_TRUE(daemon_.Start());
    JexModemAPI client;
    client.Connect("M/pots.support/nobody", 9600);
    const auto seen = daemon_.Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].extraParameter,
              std::string("\x00\x25\x80\x00\x25\x80\x00\x25\x80\x00\x25\x80", 12));
    // A faster line than any there is: none qualifies.
    JexModemAPI fast;
    EXPECT_EQ(fast.Connect(kAddress, 19200), JexModem::NO_LINE_AVAIL);
}

TEST_F(ModemApiTest, ALineWhoseDaemonBoxIsNotAPlainNameIsSkipped) {
    std::vector<FakeModemDaemon::Line> lines = {{"line1", "pots", "bad.box", 9600},
                                                {"line2", "pots", "", 9600}};
    FakeModemDaemon daemon(lines);
    ASSERT_TRUE(daemon.Start());
    Listener server;
    ASSERT_TRUE(server.Registered(files_));
    JexModemAPI client;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(client.Connect(kAddress, 0), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("line1"), std::string::npos) << err;
    EXPECT_NE(err.find("Attached to line line2"), std::string::npos) << err;
    EXPECT_EQ(server.Result(), 0);
}

TEST_F(ModemApiTest, GetMsgSkipsWhatIsNotData) {
    Link();
    JexIpc into(client_->ApiCombox()->Name().Text());
    auto dt = [&](const JexBuffer& userData) {
        JexTp2Frame frame;
        frame.SetFrameCode(JexTp2Frame::kDT);
        frame.SetAttr(JexTp2Frame::DST_REF, client_->SrcRef());
        frame.SetAttr(JexTp2Frame::TPDU_NR, 1);
        frame.UserData() = userData;
        return frame.Encode();
    };
    JexNetMsg other('A');
    other[1] = JexBuffer(JexBufferBase("x"));
    JexNetMsg data('D');
    data['D'] = JexBuffer(JexBufferBase("the data"));
    JexTp2Frame cc;
    cc.SetFrameCode(JexTp2Frame::kCC);
    cc.SetAttr(JexTp2Frame::DST_REF, 1);
    cc.SetAttr(JexTp2Frame::SRC_REF, 1);
    cc.SetAttr(JexTp2Frame::CLASS, 2);
    cc.SetAttr(JexTp2Frame::OPTIONS, 1);
    ASSERT_EQ(into.PutMsg(JexBuffer(JexBufferBase("\x02\xF0", 2)), 0), 0);  // undecodable
    ASSERT_EQ(into.PutMsg(dt(JexBuffer(JexBufferBase("\x41\x01\x09\x00\x00x", 6))), 0), 0);
    ASSERT_EQ(into.PutMsg(dt(other.Encode()), 0), 0);
    ASSERT_EQ(into.PutMsg(cc.Encode(), 0), 0);
    ASSERT_EQ(into.PutMsg(dt(data.Encode()), 0), 0);
    JexBuffer in;
    ASSERT_EQ(client_->GetMsg(in, 1, 10), 0);
    EXPECT_EQ(Bytes(in), "the data");
    EXPECT_EQ(client_->BadFrameCount(), 2);
    // The server's disconnect carries extended reason 8.
    EXPECT_EQ(server_->Api().Disconnect(), 0);
    EXPECT_EQ(client_->GetMsg(in, 1, 10), JexModem::TERMINATED);
    bool serverDr = false;
    for (const auto& s : daemon_.Seen())
        if (s.code == JexTp2Frame::kDR && !s.fromOriginator) {
            serverDr = true;
            EXPECT_EQ(s.reason, 128);
            EXPECT_EQ(s.extReason, 8);
        }
    EXPECT_TRUE(serverDr);
}

TEST_F(ModemApiTest, AFailedReadOfTheBoxEndsTheConnection) {
    Link();
    SendOversize(client_->ApiCombox()->Name().Text());
    JexBuffer in;
    EXPECT_EQ(client_->GetMsg(in, 1, 10), JexModem::IPC_READ_ERROR);
    ExpectError(*client_, Error(38, ""), "read");
    EXPECT_EQ(client_->PutMsg(in, 0), JexModem::IPC_READ_ERROR);
    EXPECT_EQ(client_->Disconnect(), JexModem::IPC_READ_ERROR);
}

TEST_F(ModemApiTest, AClosedDaemonBoxFailsTheSends) {
    // No heartbeat whose echo would fail first.
    ASSERT_TRUE(
        tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.HeartbeatInterval", 60));
    Link();
    const auto box = platform::StateSubdir("commbox") / daemon_.BoxName();
    daemon_.CloseBox();
    ASSERT_TRUE(WaitFor([&] { return !std::filesystem::exists(box); }));
    JexBuffer data(JexBufferBase("lost"));
    EXPECT_EQ(client_->PutMsg(data, 0), JexModem::IPC_WRITE_ERROR);
    ExpectError(*client_, Error(39, "PutMsg()"), "put");
    ASSERT_NE(client_->Cause(), nullptr);
    EXPECT_EQ(client_->Cause()->Code(), JexIpc::SHUT);
    EXPECT_EQ(client_->Disconnect(), JexModem::IPC_WRITE_ERROR);
    ExpectError(*client_, Error(39, "Disconnect()"), "disconnect");
}

TEST_F(ModemApiTest, NoServerGivesServerNotDefined) {
    ASSERT_TRUE(daemon_.Start());
    JexModemAPI client;
    EXPECT_EQ(client.Connect("M/pots.support/nobody", 0), JexModem::SERVER_NOT_DEFINED);
}

TEST_F(ModemApiTest, ConnectRefusesBadCallsBeforeTouchingALine) {
    JexModemAPI client;
    EXPECT_EQ(client.Connect(nullptr, 0), JexModem::MISSING_PARAMETER);
    ExpectError(client, Error(54, "Dialed network address"), "null");
    EXPECT_EQ(client.Connect("t/host/app", 0), JexModem::BAD_NET_ADDR);
    ExpectError(client, Error(12, "invalid DNA"), "t");
    EXPECT_EQ(client.Connect("", 0), JexModem::BAD_NET_ADDR);
    EXPECT_FALSE(std::filesystem::exists(files_.Lines()));
    JexBuffer b;
    EXPECT_EQ(client.PutMsg(b, 0), JexModem::NO_CONNECTION);
    ExpectError(client, Error(57, "Connection not built yet"), "put");
    EXPECT_EQ(client.GetMsg(b, 1, 1), JexModem::NO_CONNECTION);
    // An unconnected object that already failed keeps its failure.
    EXPECT_EQ(client.Disconnect(), 0);
    EXPECT_EQ(client.Code(), JexModem::NO_CONNECTION);
    JexModemAPI fresh;
    EXPECT_EQ(fresh.Disconnect(), JexModem::NO_CONNECTION);
}

TEST_F(ModemApiTest, ASecondConnectOrListenIsDoubleInit) {
    Link();
    EXPECT_EQ(client_->Connect(kAddress, 0), JexModem::DOUBLE_INIT);
    ExpectError(*client_, Error(30, "Double init"), "connect");
    EXPECT_EQ(client_->Listen("app"), JexModem::DOUBLE_INIT);
    EXPECT_EQ(server_->Api().Listen("app"), JexModem::DOUBLE_INIT);
    EXPECT_EQ(client_->Gender(), 1);
}

// A disconnect request from the far side ends the connection.
TEST_F(ModemApiTest, AFarDisconnectEndsTheConnection) {
    struct Case {
        int ext;
        int code;
        int cause;
    };
    for (const Case c : {Case{1, 82, 18}, Case{8, 82, 75}, Case{2, 43, 22}}) {
        SCOPED_TRACE(c.ext);
        FakeModemDaemon daemon;
        ASSERT_TRUE(daemon.Start());
        Listener server;
        ASSERT_TRUE(server.Registered(files_));
        JexModemAPI client;
        ASSERT_EQ(client.Connect(kAddress, 0), 0);
        ASSERT_EQ(server.Result(), 0);
        ASSERT_TRUE(daemon.SendDr(FakeModemDaemon::End::kOriginator, 128, c.ext));
        JexBuffer in;
        EXPECT_EQ(client.GetMsg(in, 1, 10), c.code);
        ExpectError(client, Error(c.code, "DR received"), "GetMsg");
        ASSERT_NE(client.Cause(), nullptr);
        EXPECT_EQ(client.Cause()->Code(), c.cause);  // the mapped reason
        EXPECT_EQ(client.PutMsg(in, 0), c.code);
        EXPECT_EQ(client.Disconnect(), 0);  // the DR was already received
        ASSERT_TRUE(WaitFor([&] {
            for (const auto& s : daemon.Seen())
                if (s.code == JexTp2Frame::kDC) return true;
            return false;
        }));
        for (const auto& s : daemon.Seen())
            if (s.code == JexTp2Frame::kDC) {
                EXPECT_EQ(s.srcRef, client.SrcRef());
                EXPECT_EQ(s.dstRef, client.DstRef());
            }
        daemon.Stop();
    }
}

TEST_F(ModemApiTest, AnUnansweredDisconnectTimesOut) {
    FakeModemCall call;
    call.ignoreDisconnect = true;
    Link({call});
    const auto start = Clock::now();
    EXPECT_EQ(client_->Disconnect(), JexModem::TIMEOUT);
    EXPECT_GE(SecondsSince(start), 1.5);
    EXPECT_LT(SecondsSince(start), 6.0);
    ExpectError(*client_, Error(83, "Wait for DC"), "disconnect");
}

TEST_F(ModemApiTest, AnIdleTimedGetMsgTimesOut) {
    Link();
    JexBuffer in;
    const auto start = Clock::now();
    EXPECT_EQ(client_->GetMsg(in, 1, 2), JexModem::TIMEOUT);
    EXPECT_GE(SecondsSince(start), 1.8);
    EXPECT_LT(SecondsSince(start), 5.0);
    ExpectError(*client_, Error(83, ""), "get");
    // A later success leaves the code at 0.
    JexBuffer data(JexBufferBase("x"));
    ASSERT_EQ(server_->Api().PutMsg(data, 0), 0);
    EXPECT_EQ(client_->GetMsg(in, 1, 10), 0);
    EXPECT_EQ(client_->Code(), 0);
}

TEST_F(ModemApiTest, SilenceForThreeIntervalsBreaksTheLink) {
    FakeModemCall call;
    call.dropHeartbeats = true;
    Link({call});
    JexBuffer in;
    const auto start = Clock::now();
    EXPECT_EQ(client_->GetMsg(in, 0, 0), JexModem::LINK_FAILURE);
    ExpectError(*client_, Error(45, "Heartbeat stopped"), "client");
    EXPECT_EQ(server_->Api().GetMsg(in, 0, 0), JexModem::LINK_FAILURE);
    EXPECT_LT(SecondsSince(start), 12.0);
}

TEST_F(ModemApiTest, TheTestSwitchesStopEchoesOrHeartbeats) {
    struct Case {
        const char* value;
        const char* warning;
        bool clientBreaks;  // else the server's side breaks
    };
    for (const Case c :
         {Case{"e", "!!! Warning: API Test Mode:  Heartbeat Echo Disabled\n", false},
          Case{"g", "!!! Warning: API Test Mode:  Heartbeat Generation Disabled\n", true}}) {
        SCOPED_TRACE(c.value);
        setenv("JEXMODEMAPI_TEST", c.value, 1);
        JexModemAPI::ReadSwitches();
        FakeModemDaemon daemon;
        ASSERT_TRUE(daemon.Start());
        ::testing::internal::CaptureStderr();
        {
            Listener server;
            ASSERT_TRUE(server.Registered(files_));
            JexModemAPI client;
            ASSERT_EQ(client.Connect(kAddress, 0), 0);
            ASSERT_EQ(server.Result(), 0);
            JexBuffer in;
            JexModemAPI& broken = c.clientBreaks ? client : server.Api();
            EXPECT_EQ(broken.GetMsg(in, 0, 0), JexModem::LINK_FAILURE);
            if (!c.clientBreaks) {
                EXPECT_GE(client.HeartbeatCount(), 2);
            }
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.warning), std::string::npos) << err;
        daemon.Stop();
    }
}

TEST_F(ModemApiTest, ThroughTheEndpointASkippedLineLeavesNoCode) {
    JexModemAPI::InstallModemClient();
    std::vector<FakeModemDaemon::Line> lines = {{"line1", "pots", "", 9600},
                                                {"line2", "pots", "", 9600}};
    FakeModemDaemon daemon(lines);
    daemon.Script({Local(FakeModemStep::Dr(1, 2))});
    ASSERT_TRUE(daemon.Start());
    Listener server;
    ASSERT_TRUE(server.Registered(files_));
    JexModemIO io;
    EXPECT_EQ(io.Connect(JexNetAddr(kAddress, '/')), 0);
    ASSERT_NE(io.Client(), nullptr);
    EXPECT_EQ(io.Client()->Code(), 0);
    EXPECT_EQ(server.Result(), 0);
    EXPECT_EQ(io.PutData("hello", 5, 0), 0);
    JexBuffer in;
    ASSERT_EQ(server.Api().GetMsg(in, 1, 10), 0);
    EXPECT_EQ(Bytes(in), "hello");
}

TEST_F(ModemApiTest, TheDestructorReturnsWithinOnePollWithFramesQueued) {
    Link();
    JexBuffer data(JexBufferBase("queued"));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(server_->Api().PutMsg(data, 0), 0);
    ASSERT_TRUE(WaitFor([&] {
        int n = 0;
        for (const auto& s : daemon_.Seen()) n += s.messageType == 'D';
        return n == 5;
    }));
    const auto start = Clock::now();
    client_.reset();
    EXPECT_LT(SecondsSince(start), JexModemAPI::kPollSeconds + 2.0);
}

TEST_F(ModemApiTest, ListenNeedsAName) {
    JexModemAPI server;
    EXPECT_EQ(server.Listen(nullptr), JexModem::BADAPPL);
    ExpectError(server, Error(8, "JexModemAPI::Listen"), "null");
    EXPECT_EQ(server.Listen(""), JexModem::BADAPPL);
    EXPECT_FALSE(std::filesystem::exists(files_.Servers()));
}

TEST_F(ModemApiTest, ListenTakesItsNameFromTheEnvironment) {
    setenv("JEX_MODEM_APPLICATION_NAME", "envapp", 1);
    auto server = std::make_unique<JexModemAPI>();
    std::atomic<int> result{-1};
    std::thread listening([&] { result = server->Listen(nullptr); });
    const bool registered =
        WaitFor([&] { return ReadFile(files_.Servers()).find("envapp") != std::string::npos; });
    unsetenv("JEX_MODEM_APPLICATION_NAME");
    EXPECT_TRUE(registered);
    ASSERT_TRUE(daemon_.Start());
    JexModemAPI client;
    EXPECT_EQ(client.Connect("M/pots.support/envapp", 0), 0);
    listening.join();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(server->Application().Text(), "envapp");
}

// The test acts as the daemon: requests straight into the server's box.
class ListenRequests : public ModemApiTest {
protected:
    void SetUp() override {
        ModemApiTest::SetUp();
        server_ = std::make_unique<Listener>("srv");
        ASSERT_TRUE(server_->Registered(files_));
        to_ = std::make_unique<JexIpc>(server_->Api().ApiCombox()->Name().Text());
    }
    // A request's bytes; the server answers into `box` (default: box_).
    JexBuffer Request(int src, int dst, int cls, int options, const char* name,
                      std::string box = {}) {
        if (box.empty()) box = box_.Name().Text();
        JexTp2Frame cr;
        cr.SetFrameCode(JexTp2Frame::kCR);
        cr.SetAttr(JexTp2Frame::SRC_REF, src);
        cr.SetAttr(JexTp2Frame::DST_REF, dst);
        cr.SetAttr(JexTp2Frame::CLASS, cls);
        cr.SetAttr(JexTp2Frame::OPTIONS, options);
        cr.SetAttr(JexTp2Frame::PRIORITY, 77);
        cr.SetAttr(JexTp2Frame::TPDU_SIZE, 13);
        const std::string tsap = "l/" + box + "/4242";
        cr.SetAttr(JexTp2Frame::CALLING_TSAP, JexBufferBase(tsap.c_str()));
        cr.UserData() = JexBuffer(JexBufferBase(UserData(name).c_str()));
        return cr.Encode();
    }
    static std::string UserData(const char* name) {
        return std::string("M/pots.x/") + name + "|M/pots.c/|M/pots.s/srv";
    }
    // The server's answer to a request.
    void Answer(const JexBuffer& request, JexTp2Frame& answer) {
        EXPECT_EQ(to_->PutMsg(request, 0), 0);
        JexBuffer wire;
        EXPECT_EQ(box_.GetMsg(wire, 1, 10), 0);
        answer = wire;
    }

    JexIpc box_;
    std::unique_ptr<JexIpc> to_;
};

TEST_F(ListenRequests, BadRequestsAreRefusedAndTheWaitGoesOn) {
    struct Case {
        const char* name;
        int src, dst, cls, options;
        const char* server;
        int reason;
    };
    const Case cases[] = {
        {"class 1", 5, 6, 1, 1, "srv", 138},
        {"options 0", 5, 6, 2, 0, "srv", 138},
        {"source reference 0", 0, 6, 2, 1, "srv", 138},
        {"destination reference 0", 5, 0, 2, 1, "srv", 138},
        {"another server", 5, 6, 2, 1, "other", 3},
        {"another server and class 1", 5, 6, 1, 1, "other", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JexTp2Frame answer;
        Answer(Request(c.src, c.dst, c.cls, c.options, c.server), answer);
        EXPECT_EQ(answer.FrameCode(), JexTp2Frame::kDR);
        int reason = 0, ext = 0;
        answer.GetAttr(JexTp2Frame::REASON, reason);
        answer.GetAttr(JexTp2Frame::EXT_REASON, ext);
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(ext, 8);
    }
    // Undecodable messages and other frames are skipped.
    EXPECT_EQ(to_->PutMsg(JexBuffer(JexBufferBase("\x01", 1)), 0), 0);
    JexTp2Frame dt;
    dt.SetFrameCode(JexTp2Frame::kDT);
    dt.SetAttr(JexTp2Frame::DST_REF, 1);
    dt.SetAttr(JexTp2Frame::TPDU_NR, 1);
    EXPECT_EQ(to_->PutMsg(dt.Encode(), 0), 0);

    JexTp2Frame cc;
    Answer(Request(5, 6, 2, 1, "srv"), cc);
    EXPECT_EQ(cc.FrameCode(), JexTp2Frame::kCC);
    int value = 0;
    cc.GetAttr(JexTp2Frame::SRC_REF, value);
    EXPECT_EQ(value, 6);
    cc.GetAttr(JexTp2Frame::DST_REF, value);
    EXPECT_EQ(value, 5);
    cc.GetAttr(JexTp2Frame::PRIORITY, value);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(Bytes(cc.UserData()), UserData("srv"));
    EXPECT_EQ(server_->Result(), 0);
    EXPECT_EQ(server_->Api().SrcRef(), 6);
    EXPECT_EQ(server_->Api().DstRef(), 5);
}

TEST_F(ListenRequests, AServerWhoseDaemonBoxStaysFullFailsToSendItsCc) {
    // A daemon that reads nothing: its box is filled to the brim.
    JexIpc full;
    const std::string path = (platform::StateSubdir("commbox") / full.Name().Text()).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const std::string chunk(16 * 1024, 'f');
    for (int i = 0; i < 100000; ++i)
        if (sendto(fd, chunk.data(), chunk.size(), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
            break;
    close(fd);
    ASSERT_EQ(to_->PutMsg(Request(5, 6, 2, 1, "srv", full.Name().Text()), 0), 0);
    EXPECT_EQ(server_->Result(30000), JexModem::IPC_WRITE_ERROR);
    ExpectError(server_->Api(), Error(39, "Send CC error"), "cc");
    EXPECT_EQ(server_->Api().Gender(), 0);
}

TEST_F(ListenRequests, AFarDrThatCrossesOurOwnIsTakenAsTheAnswer) {
    JexTp2Frame cc;
    Answer(Request(5, 6, 2, 1, "srv"), cc);
    ASSERT_EQ(server_->Result(), 0);
    JexModemAPI& server = server_->Api();
    std::atomic<int> result{-1};
    std::thread disconnecting([&] { result = server.Disconnect(); });
    // The server's DR reaches the daemon's box (heartbeats may come first).
    JexBuffer wire;
    JexTp2Frame frame;
    bool sawDr = false;
    for (int i = 0; i < 20 && !sawDr; ++i) {
        if (box_.GetMsg(wire, 1, 10) != 0) break;
        frame = wire;
        sawDr = frame.FrameCode() == JexTp2Frame::kDR;
    }
    EXPECT_TRUE(sawDr);
    // The far side hangs up at the same time: its DR answers ours.
    JexTp2Frame dr;
    dr.SetFrameCode(JexTp2Frame::kDR);
    dr.SetAttr(JexTp2Frame::SRC_REF, 5);
    dr.SetAttr(JexTp2Frame::DST_REF, 6);
    dr.SetAttr(JexTp2Frame::REASON, 128);
    dr.SetAttr(JexTp2Frame::EXT_REASON, 1);
    ASSERT_EQ(to_->PutMsg(dr.Encode(), 0), 0);
    disconnecting.join();
    EXPECT_EQ(result, 0);
    // It is not answered with a DC (the heartbeats end once the server's
    // receiver hears nothing for three intervals).
    for (int i = 0; i < 20 && box_.GetMsg(wire, 1, 2) == 0; ++i) {
        frame = wire;
        EXPECT_NE(frame.FrameCode(), JexTp2Frame::kDC);
    }
}

TEST_F(ListenRequests, AFailedReadOfItsBoxEndsListen) {
    SendOversize(server_->Api().ApiCombox()->Name().Text());
    EXPECT_EQ(server_->Result(), JexModem::SYSERR);
    ExpectError(server_->Api(), Error(80, "JexIpc()::GetMsg"), "read");
}

TEST_F(ListenRequests, ARecordThatVanishedFailsTheUpdate) {
    tavro::testing::PutFile(files_.Servers(), "");
    JexTp2Frame cc;
    Answer(Request(5, 6, 2, 1, "srv"), cc);
    EXPECT_EQ(server_->Result(), JexModem::VSDB_UPD_ERROR);
    ExpectError(server_->Api(), Error(90, ""), "update");
}

TEST_F(ModemApiTest, AServerDatabaseThatCannotBeWrittenFailsTheRegistration) {
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "File.Modem.VSDB",
                                          (files_.Dir() / "missing" / "servers.dat").string()));
    JexModemAPI server;
    EXPECT_EQ(server.Listen("srv"), JexModem::VSDB_REG_ERROR);
    ExpectError(server, Error(89, "Register server error"), "register");
}

TEST(ModemApiReasons, EachPairMapsToItsCodeAndArgument) {
    struct Row {
        int reason, ext, code;
        const char* argument;
    };
    const Row rows[] = {
        {1, 2, 21, "Local daemon"},
        {1, 4, 21, "Remote daemon"},
        {1, 8, 71, "Server"},
        {2, 4, 72, ""},
        {3, 2, 29, "Daemon not connected to remote"},
        {3, 4, 73, ""},
        {3, 8, 74, ""},
        {128, 1, 18, "Client"},
        {128, 2, 22, "Client daemon"},
        {128, 4, 22, "Server daemon"},
        {128, 8, 75, "Server"},
        {128, 0x82, 22, "Client daemon"},
        {128, 0x84, 22, "Server daemon"},
        {128, 0xA2, 3, "Local Daemon"},
        {128, -94, 3, "Local Daemon"},
        {128, 0xA4, 3, "Remote Daemon"},
        {128, -92, 3, "Remote Daemon"},
        {128, 0xC2, 41, "Daemon"},
        {128, -62, 41, "Daemon"},
        {130, 2, 63, "Client daemon"},
        {130, 4, 63, "Server daemon"},
        {132, 2, 68, "Client daemon"},
        {132, 4, 68, "Server daemon"},
        {133, 0x12, 47, "Client daemon"},
        {133, 0x14, 47, "Server daemon"},
        {133, 0x21, 66, "Client"},
        {133, 0x22, 66, "Client daemon"},
        {133, 0x24, 66, "Server daemon"},
        {133, 0x28, 66, "Server"},
        {136, 0x12, 62, "Local daemon"},
        {136, 0x14, 62, "Remote daemon"},
        {136, 0xB2, 70, ""},
        {136, -78, 70, ""},
        {136, 0x32, 27, ""},
        {136, 0x42, 14, "Call timeout or failure"},
        {136, 0x52, 56, ""},
        {136, 0x62, 40, ""},
        {136, 0x72, 15, ""},
        {138, 2, 20, "Local daemon"},
        {138, 4, 20, "Remote daemon"},
        {138, 8, 20, "Server"},
    };
    unsetenv("JEXMODEMAPI_TRACE");
    JexModemAPI::ReadSwitches();
    JexModemAPI api;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.reason) + "," + std::to_string(r.ext));
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(api.check_reason(r.reason, r.ext), r.code);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        ExpectError(api, Error(r.code, r.argument), "row");
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(api.check_reason(136, 0x22), JexModem::UNKNOWN_REASON);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unknown {reason,ext_reason} = {136,34}\n");
    // With the text trace on, the row's trace text.
    setenv("JEXMODEMAPI_TRACE", "t", 1);
    JexModemAPI::ReadSwitches();
    ::testing::internal::CaptureStderr();
    api.check_reason(133, 0x28);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Protocol error reporteded by the Server\n");
    unsetenv("JEXMODEMAPI_TRACE");
    JexModemAPI::ReadSwitches();
    // Nothing broke: no failure.
    EXPECT_EQ(api.check_failure(), 0);
}

TEST(ModemApiSwitches, TraceAndTestSwitchTables) {
    using A = JexModemAPI;
    struct Row {
        const char* value;
        int trace;
        int test;
    };
    const Row rows[] = {
        {nullptr, 0, 0},
        {"", 0, 0},
        {"x", 0, 0},
        {"*-s", A::kTraceHeartbeat | A::kTraceReceived | A::kTraceText,
         A::kTestNoGeneration | A::kTestNoEcho},
        {"-*+g", 0, A::kTestNoGeneration},
        {"HrSt", 15, 0},
        {"E", 0, A::kTestNoEcho},
        {"*", 15, 3},
        {"+h-h", 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value ? r.value : "(unset)");
        EXPECT_EQ(A::ParseTraceSwitch(r.value), r.trace);
        EXPECT_EQ(A::ParseTestSwitch(r.value), r.test);
    }
}

TEST_F(ModemApiTest, AttributeTable) {
    JexModemAPI api;
    struct Row {
        int id;
        int getInt, getText, setInt, setText;
    };
    const Row rows[] = {
        {8, 0, 6, 33, 7}, {9, 5, 0, 5, 7},  {11, 5, 0, 5, 7}, {13, 5, 0, 5, 7},
        {18, 0, 6, 0, 6}, {42, 9, 9, 9, 9}, {0, 9, 9, 9, 9},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.id);
        int value = -1;
        JexString text;
        EXPECT_EQ(api.GetAttr(r.id, value), r.getInt);
        EXPECT_EQ(api.GetAttr(r.id, text), r.getText);
        EXPECT_EQ(api.SetAttr(r.id, 100), r.setInt);
        EXPECT_EQ(api.SetAttr(r.id, "x"), r.setText);
        EXPECT_EQ(api.SetAttr(r.id, JexString("x")), r.setText);
    }
    int value = 0;
    EXPECT_EQ(api.SetAttr(18, 300), JexModem::BADATTRVALUE);
    api.GetAttr(18, value);
    EXPECT_EQ(value, 100);
    EXPECT_EQ(api.SetAttr(18, 0), 0);
    EXPECT_EQ(api.SetAttr(18, -1), JexModem::BADATTRVALUE);
    api.GetAttr(18, value);
    EXPECT_EQ(value, 0);
    JexString text;
    api.GetAttr(9, text);
    EXPECT_STREQ(text.Text(), "m//");
}

TEST_F(ModemApiTest, SettingsHaveDefaultsAndCountAtLeastOne) {
    {
        JexModemAPI api;
        EXPECT_EQ(api.ReceiverYield(), 3);
        EXPECT_EQ(api.HeartbeatInterval(), 1);
        EXPECT_EQ(api.CrResponseWait(), 3);
        EXPECT_EQ(api.DrResponseWait(), 2);
    }
    ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.ReceiverYield", 0));
    ASSERT_TRUE(
        tavro::testing::WriteText(JexConfig::kGlobalParameters, "Modem.HeartbeatInterval", "-5"));
    JexModemAPI api;
    EXPECT_EQ(api.ReceiverYield(), 1);
    EXPECT_EQ(api.HeartbeatInterval(), 1);
}

TEST(ModemApiDefaults, WithoutSettings) {
    JexModemAPI api;
    EXPECT_EQ(api.Code(), 0);
    EXPECT_EQ(api.ReceiverYield(), 3);
    EXPECT_EQ(api.HeartbeatInterval(), 60);
    EXPECT_EQ(api.CrResponseWait(), 90);
    EXPECT_EQ(api.DrResponseWait(), 30);
}

}  // namespace
