// Tests of the modem connection through the fake modem daemon, in one process:
// connect, data, failures and the far side's ending.
#include "jexlink/modem/ModemApiTestSupport.h"

namespace {

using namespace tavro::testing::modem_api;

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

// Silence for three intervals of the setting (1 s) breaks the link; the
// other heartbeat tests take a short interval.
TEST_F(ModemApiTest, HeartbeatsAreSentEveryIntervalAndEchoed) {
    const tavro::testing::ScopedBound interval(JexModemAPI::SetHeartbeatMs, 300);
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
    std::vector<long long> clock = {};  // Connect's seconds, read in turn (empty: the real clock)
    int lines = 1;
    int responseWait = 3;  // Modem.CRResponseWait
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
         {},
         2},
        {"first answer silent",
         {Local(FakeModemStep::Of(Kind::kSilence))},
         61,
         "No qualified modem line",
         "  Timeout waiting for response!\n",
         {},
         1,
         1},
        {"first answer too large",
         {Local(FakeModemStep::Of(Kind::kOversize))},
         20,
         "Corrupted frame",
         "  Local response corrupt!\n"},
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
         {},
         83,
         "Out of time for 2nd CC",
         "  Timeout waiting for 2nd response!\n",
         {100, 103}},
        {"second answer silent",
         {Remote(FakeModemStep::Of(Kind::kSilence))},
         83,
         "Read 2nd CC timeout",
         "  Read timeout waiting for 2nd response!\n",
         {},
         1,
         1},
        {"second answer too large",
         {Remote(FakeModemStep::Of(Kind::kOversize))},
         20,
         "Corrupted frame",
         "  Corrupt 2nd response!\n"},
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
         {},
         83,
         "Run out time for 3rd CC",
         "  No time left for server response!\n",
         {100, 101, 101, 103}},
        {"third answer silent",
         {Server(FakeModemStep::Of(Kind::kSilence))},
         83,
         "Wait for 3rd CC timeout",
         "  Timeout waiting for server response!\n",
         {},
         1,
         1},
        {"third answer too large",
         {Server(FakeModemStep::Of(Kind::kOversize))},
         20,
         "3rd CC",
         "  Corrupt server response frame!\n"},
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
        ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Modem.CRResponseWait",
                                               c.responseWait));
        JexModemAPI client;
        std::unique_ptr<ScriptedClock> clock;
        if (!c.clock.empty()) clock = std::make_unique<ScriptedClock>(c.clock);
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

TEST_F(ModemApiTest, AnOversizedMessageCountsAsOneBadFrameAndTheLinkStays) {
    Link();
    setenv("JEXMODEMAPI_TRACE", "t", 1);
    JexModemAPI::ReadSwitches();
    ::testing::internal::CaptureStderr();
    SendOversize(client_->ApiCombox()->Name().Text());
    JexBuffer data(JexBufferBase("after"));
    ASSERT_EQ(server_->Api().PutMsg(data, 0), 0);
    JexBuffer in;
    EXPECT_EQ(client_->GetMsg(in, 1, 10), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Bytes(in), "after");
    EXPECT_EQ(client_->BadFrameCount(), 1);
    EXPECT_NE(err.find("commbox_listener_task: read a bad frame, count=1\n"), std::string::npos)
        << err;
    EXPECT_EQ(client_->PutMsg(data, 0), 0);
    EXPECT_EQ(client_->Disconnect(), 0);
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
        const tavro::testing::ScopedBound interval(JexModemAPI::SetHeartbeatMs, 300);
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
    const tavro::testing::ScopedBound realPoll(JexModemAPI::SetPollMs,
                                               JexModemAPI::kPollSeconds * 1000);
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

}  // namespace
