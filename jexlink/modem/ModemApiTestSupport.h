// What the tests of the modem connection share: a server listening on a thread
// of its own, the fixture with its fake daemon, and small helpers.
#pragma once

#include "jexlink/modem/JexModemAPI.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

namespace tavro::testing::modem_api {

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

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline std::string Bytes(const JexBufferBase& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

inline std::string Arg(const JexException& e, int i) { return Bytes(e.Args()[i]); }

// A clock for Connect's whole-second arithmetic that reads the given
// seconds in turn (then stays at the last), put in place for the life of
// the object: a stage can find its time used up without waiting it out.
class ScriptedClock {
public:
    explicit ScriptedClock(std::vector<long long> ticks) {
        Ticks() = std::move(ticks);
        Next() = 0;
        old_ = JexModemAPI::SetClock(&Read);
    }
    ~ScriptedClock() { JexModemAPI::SetClock(old_); }
    ScriptedClock(const ScriptedClock&) = delete;
    ScriptedClock& operator=(const ScriptedClock&) = delete;

private:
    static std::vector<long long>& Ticks() {
        static std::vector<long long> ticks;
        return ticks;
    }
    static size_t& Next() {
        static size_t next = 0;
        return next;
    }
    static long long Read() {
        const std::vector<long long>& ticks = Ticks();
        if (ticks.empty()) return 0;
        const size_t at = std::min(Next()++, ticks.size() - 1);
        return ticks[at];
    }
    JexModemAPI::SecondsClock old_;
};

// Writes a message larger than a box takes straight into the box's socket:
// its reader's next read fails.
inline void SendOversize(const char* box) {
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
    // Leaves no setting behind for the tests after it in the same process.
    void TearDown() override {
        unsetenv("JEXMODEMAPI_TRACE");
        unsetenv("JEXMODEMAPI_TEST");
        JexModemAPI::ReadSwitches();
        for (const char* name : {"Modem.CRResponseWait", "Modem.DRResponseWait",
                                 "Modem.HeartbeatInterval", "Modem.ReceiverYield"})
            EXPECT_TRUE(tavro::testing::DeleteSetting(JexConfig::kGlobalParameters, name)) << name;
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

    // A short receiver poll, so that each connection's end does not wait
    // out 3 s (TheDestructorReturnsWithinOnePollWithFramesQueued keeps the
    // real one).
    tavro::testing::ScopedBound poll_{JexModemAPI::SetPollMs, 100};
    ModemDbFiles files_;
    FakeModemDaemon daemon_;
    std::unique_ptr<Listener> server_;
    std::unique_ptr<JexModemAPI> client_;
};

}  // namespace tavro::testing::modem_api
