// Tests of the modem connection's server side (the requests Listen takes) and of
// its tables: reasons, switches, attributes and settings.
#include "jexlink/modem/ModemApiTestSupport.h"

namespace {

using namespace tavro::testing::modem_api;

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

    // Short heartbeats, set before SetUp makes the server.
    tavro::testing::ScopedBound interval_{JexModemAPI::SetHeartbeatMs, 300};
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

// The commbox's own test keeps the real bound of a send; this one a short one.
TEST_F(ListenRequests, AServerWhoseDaemonBoxStaysFullFailsToSendItsCc) {
    const tavro::testing::ScopedBound bound(JexIpc::SetSendWaitMs, 300);
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
    for (int i = 0; i < 20 && box_.GetMsgWithin(wire, 1000) == 0; ++i) {
        frame = wire;
        EXPECT_NE(frame.FrameCode(), JexTp2Frame::kDC);
    }
}

TEST_F(ListenRequests, AnOversizedMessageIsSkippedAndTheServerStays) {
    setenv("JEXMODEMAPI_TRACE", "t", 1);
    JexModemAPI::ReadSwitches();
    ::testing::internal::CaptureStderr();
    SendOversize(server_->Api().ApiCombox()->Name().Text());
    JexTp2Frame cc;
    Answer(Request(5, 6, 2, 1, "srv"), cc);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Listen(): received a corrupted frame\n"), std::string::npos) << err;
    EXPECT_EQ(cc.FrameCode(), JexTp2Frame::kCC);
    EXPECT_EQ(server_->Result(), 0);
    EXPECT_NE(ReadFile(files_.Servers()).find("srv"), std::string::npos);
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
