// Tests of the SMTP mailer against Debian's aiosmtpd and against a scripted server.
#include "jexlink/mail/JexMailer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/ErrorChain.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SmtpSink.h"
#include "testing/support/Sockets.h"

namespace {

using tavro::testing::ErrorTexts;
using tavro::testing::SmtpSink;
using tavro::testing::WriteText;

// A server that plays a script: a greeting, then one reply for each
// command line (the message text counts as one, up to its closing dot).
// Each reply may be cut into two writes at `splitAt` with a pause between,
// so the client reads it in two pieces. Everything received is kept. It
// serves one connection and stops within a bounded time.
class ScriptedServer {
public:
    struct Script {
        std::string greeting;
        std::vector<std::string> replies;
        size_t splitAt = 0;      // 0: each reply in one write
        bool greetAtAll = true;  // false: never say anything
        bool closeAfterGreeting = false;
    };

    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        listener_ = tavro::testing::ListenLoopback(port_, 4);
        if (listener_ < 0) return;
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    int Connections() const { return connections_.load(); }
    std::string Received() {
        std::lock_guard<std::mutex> hold(mutex_);
        return received_;
    }

private:
    bool WaitReadable(int fd) {
        for (int waited = 0; !stop_ && waited < 30000; waited += 20) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    void Write(int fd, const std::string& text) {
        auto put = [fd](const std::string& piece) {
            if (!piece.empty()) (void)!send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        };
        if (script_.splitAt == 0 || script_.splitAt >= text.size()) return put(text);
        put(text.substr(0, script_.splitAt));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        put(text.substr(script_.splitAt));
    }
    void Serve() {
        if (!WaitReadable(listener_)) return;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ++connections_;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (script_.greetAtAll) Write(fd, script_.greeting);
        if (script_.closeAfterGreeting) {
            close(fd);
            return;
        }
        std::string pending;
        size_t next = 0;
        bool inData = false;
        while (WaitReadable(fd)) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            pending.append(buffer, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> hold(mutex_);
                received_.append(buffer, static_cast<size_t>(n));
            }
            for (;;) {
                const size_t end = inData ? pending.find("\r\n.\r\n") : pending.find("\r\n");
                if (end == std::string::npos) break;
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + (inData ? 5 : 2));
                const bool wasData = inData;
                inData = !wasData && command == "DATA";
                if (!script_.greetAtAll) continue;
                if (next < script_.replies.size()) Write(fd, script_.replies[next++]);
                if (inData && next > 0 && script_.replies[next - 1][0] != '3') inData = false;
            }
        }
        close(fd);
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::string received_;
};

const std::vector<std::string> kGoodReplies = {
    "250-sink greets you\r\n250-SIZE 1000\r\n250 HELP\r\n",
    "250-sender\r\n250 ok\r\n",
    "250-recipient\r\n250 ok\r\n",
    "354-go ahead\r\n354 end with <CRLF>.<CRLF>\r\n",
    "250-queued\r\n250 as 12345\r\n",
    "221-bye\r\n221 closing\r\n",
};
const char* const kGreeting = "220-scripted.test\r\n220-more text\r\n220 ready\r\n";

// The body after the header block.
std::string BodyOf(const std::string& data) {
    const size_t at = data.find("\r\n\r\n");
    return at == std::string::npos ? "" : data.substr(at + 4);
}

class JexMailerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(
            WriteText(JexConfig::kGlobalParameters, "Contact.EmailAddr", "contact@acme.test"));
    }
    static void UseServer(const std::string& address) {
        ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Mail.Smtp.Server", address));
    }
    static std::unique_ptr<JexMailer> Mailer(const char* source = "src@acme.test",
                                             const char* name = "") {
        auto m =
            std::make_unique<JexMailer>(JexString(source), JexString(name),
                                        JexString("rcpt@example.test"), JexString("Greetings"));
        m->AddLine("first line");
        m->AddLine(".a dot-leading line");
        m->AddLine("");
        m->AddLine("last line");
        return m;
    }
};

TEST_F(JexMailerTest, DeliversToARealServerWithTheHeadersAndBody) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0);
    UseServer(sink.Address());
    JexMailer mailer(JexString("src@acme.test"), JexString(""), JexString("rcpt@example.test"),
                     JexString("Greetings"));
    mailer.AddLine("first line");
    mailer.AddLine(".a dot-leading line");
    mailer.AddLine("");
    mailer.AddLine("last line");
    EXPECT_EQ(mailer.Send(), 0);
    EXPECT_EQ(mailer.Code(), 0);
    EXPECT_STREQ(mailer.FormattedText(0).Text(),
                 "Mail successfully delivered to <rcpt@example.test>");
    ASSERT_TRUE(sink.WaitForMails(1));
    const auto mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from, "contact@acme.test");
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"rcpt@example.test"});
    const std::string& data = mails[0].data;
    EXPECT_EQ(data.rfind("From:  <src@acme.test>\r\nTo: rcpt@example.test\r\n"
                         "Reply-To: src@acme.test\r\nDate: ",
                         0),
              0u)
        << data;
    EXPECT_NE(data.find("\r\nSubject: Greetings\r\nX-JEX-Version: T2.2-EFT8/"), std::string::npos);
    EXPECT_NE(data.find(std::string("\r\nX-JEX-Module-ID: ") + JexMailer::kModuleId + "\r\n\r\n"),
              std::string::npos);
    const std::string body = "\r\n\r\nfirst line\r\n.a dot-leading line\r\n\r\nlast line\r\n";
    ASSERT_GE(data.size(), body.size());
    EXPECT_EQ(data.substr(data.size() - body.size()), body) << data;
}

TEST_F(JexMailerTest, EmptySourceShowsTheContactAddress) {
    SmtpSink sink;
    UseServer(sink.Address());
    std::unique_ptr<JexMailer> mailerPtr = Mailer("", "Ann Example");
    JexMailer& mailer = *mailerPtr;
    EXPECT_EQ(mailer.Send(), 0);
    ASSERT_TRUE(sink.WaitForMails(1));
    const std::string data = sink.Mails()[0].data;
    EXPECT_EQ(data.rfind("From: Ann Example <contact@acme.test>\r\n", 0), 0u) << data;
    EXPECT_NE(data.find("\r\nReply-To: contact@acme.test\r\n"), std::string::npos);
}

TEST_F(JexMailerTest, EmptyAndHugeBodiesArriveWhole) {
    SmtpSink sink;
    UseServer(sink.Address());
    JexMailer empty(JexString("src@acme.test"), JexString(""), JexString("rcpt@example.test"),
                    JexString(""));
    EXPECT_EQ(empty.Send(), 0) << empty.Describe(1).Text();

    JexMailer huge(JexString("src@acme.test"), JexString(""), JexString("rcpt@example.test"),
                   JexString("Huge"));
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        std::string line(static_cast<size_t>(i % 300), static_cast<char>('a' + i % 26));
        if (i % 7 == 0) line.insert(0, ".");  // dot-stuffed on the way, unstuffed there
        huge.AddLine(line.c_str());
        expected += line + "\r\n";
    }
    EXPECT_EQ(huge.Send(), 0) << huge.Describe(1).Text();
    ASSERT_TRUE(sink.WaitForMails(2));
    const auto mails = sink.Mails();
    const std::string& first = mails[0].data;
    EXPECT_NE(first.find("\r\nSubject: \r\n"), std::string::npos) << first;
    EXPECT_EQ(first.substr(first.size() - 4), "\r\n\r\n") << first;
    EXPECT_EQ(BodyOf(mails[1].data), expected);
}

TEST_F(JexMailerTest, MessageEndsOnceAndRepliesSplitAnywhereAreJoined) {
    size_t longest = 0;
    for (const std::string& r : kGoodReplies) longest = std::max(longest, r.size());
    for (size_t split = 0; split < longest; ++split) {
        SCOPED_TRACE(split);
        ScriptedServer server({kGreeting, kGoodReplies, split});
        UseServer(server.Address());
        std::unique_ptr<JexMailer> mailerPtr = Mailer();
        JexMailer& mailer = *mailerPtr;
        ASSERT_EQ(mailer.Send(), 0) << mailer.Describe(1).Text();
        const std::string received = server.Received();
        const std::string tail = "\r\nlast line\r\n.\r\nQUIT\r\n";
        ASSERT_GE(received.size(), tail.size());
        EXPECT_EQ(received.substr(received.size() - tail.size()), tail);
        EXPECT_NE(received.find("\r\n\r\nfirst line\r\n..a dot-leading line\r\n\r\nlast"),
                  std::string::npos);
    }
}

TEST_F(JexMailerTest, DebugSettingPrintsTheConversation) {
    ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Mail.Smtp.Debug", 1));
    ScriptedServer server({kGreeting, kGoodReplies});
    UseServer(server.Address());
    std::unique_ptr<JexMailer> mailer = Mailer();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(mailer->Send(), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string port = server.Address().substr(server.Address().find(':') + 1);
    for (const std::string& text :
         {"Connecting to T/127.0.0.1/" + port + " ...\n", std::string("R: 220-scripted.test\n"),
          std::string("R: 220 ready\n"), std::string("S: MAIL From:<contact@acme.test>\r\n"),
          std::string("S: QUIT\r\n"), std::string("R: 221 closing\n")})
        EXPECT_NE(err.find(text), std::string::npos) << text << "\n" << err;
}

TEST_F(JexMailerTest, RepliesArrivingEarlyAreKeptForTheirCommands) {
    // The HELO reply comes with the MAIL reply behind it; MAIL gets nothing more.
    std::vector<std::string> replies = kGoodReplies;
    replies[0] += replies[1];
    replies[1] = "";
    ScriptedServer server({kGreeting, replies});
    UseServer(server.Address());
    std::unique_ptr<JexMailer> mailerPtr = Mailer();
    JexMailer& mailer = *mailerPtr;
    EXPECT_EQ(mailer.Send(), 0) << mailer.Describe(1).Text();
}

TEST_F(JexMailerTest, AWrongClassAtEachStepFailsWithTheReplyAsCause) {
    const char* commands[] = {"HELO", "MAIL", "RCPT", "DATA", "\r\n.\r\n", "QUIT"};
    for (int step = -1; step < 6; ++step) {
        SCOPED_TRACE(step);
        ScriptedServer::Script script{kGreeting, kGoodReplies};
        const std::string bad = "554-no %s %n %1$s here\r\n554 5.7.1 refused\r\n";
        if (step < 0)
            script.greeting = bad;
        else
            script.replies[static_cast<size_t>(step)] = bad;
        ScriptedServer server(script);
        UseServer(server.Address());
        std::unique_ptr<JexMailer> mailerPtr = Mailer();
        JexMailer& mailer = *mailerPtr;
        EXPECT_EQ(mailer.Send(), JexMailer::SEND_FAIL);
        EXPECT_EQ(mailer.Code(), JexMailer::SEND_FAIL);
        EXPECT_EQ(ErrorTexts(mailer),
                  (std::vector<std::string>{
                      "Unable to send message to <rcpt@example.test>", "Operation failed",
                      "Error communicating with SMTP server \"" + server.Address() + "\"",
                      "554-no %s %n %1$s here"}));
        // Nothing is sent after the refused step.
        const std::string received = server.Received();
        if (step + 1 < 6) {
            EXPECT_EQ(received.find(commands[step + 1]), std::string::npos) << received;
        }
    }
}

TEST_F(JexMailerTest, BadRepliesFail) {
    struct Case {
        const char* name;
        ScriptedServer::Script script;
    };
    std::vector<std::string> emptyLine = kGoodReplies;
    emptyLine[2] = "\r\n";
    std::vector<std::string> endless = kGoodReplies;
    endless[1] = "250-" + std::string(5000, 'x') + "\r\n250 ok\r\n";
    const Case cases[] = {
        {"greeting without a code", {"hello there\r\n", kGoodReplies}},
        {"greeting of class 4", {"421 busy\r\n", kGoodReplies}},
        {"empty reply line", {kGreeting, emptyLine}},
        {"overlong reply line", {kGreeting, endless}},
        {"hang-up after the greeting", {kGreeting, kGoodReplies, 0, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        UseServer(server.Address());
        std::unique_ptr<JexMailer> mailerPtr = Mailer();
        JexMailer& mailer = *mailerPtr;
        EXPECT_EQ(mailer.Send(), JexMailer::SEND_FAIL);
        EXPECT_EQ(mailer.Code(), JexMailer::SEND_FAIL);
        EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
    }
}

TEST_F(JexMailerTest, SilentServerFailsAtTheTimeOutAndTheProcessLives) {
    ASSERT_TRUE(tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Mail.LocalTimeout", 1));
    ScriptedServer server({"", {}, 0, false});
    UseServer(server.Address());
    std::unique_ptr<JexMailer> mailerPtr = Mailer();
    JexMailer& mailer = *mailerPtr;
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const int result = mailer.Send();
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, JexMailer::SEND_FAIL);
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_GE(took, std::chrono::milliseconds(900));
    const auto chain = ErrorTexts(mailer);
    ASSERT_GE(chain.size(), 2u);
    EXPECT_EQ(chain[0], "Unable to send message to <rcpt@example.test>");
    EXPECT_EQ(chain[1], "Operation timed out");
    EXPECT_NE(err.find("There is some problem delivering mail.\n"
                       "Maximum amount of time to deliver has been exceeded.\n"),
              std::string::npos);
}

TEST_F(JexMailerTest, LineBreaksInHeaderTextsAreRefusedBeforeConnecting) {
    struct Case {
        const char *source, *name, *recipient, *subject, *contact, *field;
    };
    const Case cases[] = {
        {"src@acme.test", "", "rcpt@example.test\r\nRCPT To:<x@y>", "s", nullptr,
         "Recipient Address"},
        {"src@acme.test", "", "rcpt@example.test", "s\r\nBcc: all@example.test", nullptr,
         "Subject"},
        {"src@acme.test", "Ann\nBcc: x", "rcpt@example.test", "s", nullptr, "Personal Name"},
        {"src@acme.test\r", "", "rcpt@example.test", "s", nullptr, "Source Address"},
        {"", "", "rcpt@example.test", "s", "c@acme.test>\r\nRCPT To:<x@y", "Source Address"},
        {"src@acme.test", "", "rcpt@example.test", "s", "c@acme.test\n", "Contact.EmailAddr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        if (c.contact) {
            ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Contact.EmailAddr", c.contact));
        }
        ScriptedServer server({kGreeting, kGoodReplies});
        UseServer(server.Address());
        JexMailer mailer(JexString(c.source), JexString(c.name), JexString(c.recipient),
                         JexString(c.subject));
        mailer.AddLine("body");
        EXPECT_EQ(mailer.Send(), JexMailer::SEND_FAIL);
        ASSERT_NE(mailer.Cause(), nullptr);
        EXPECT_EQ(mailer.Cause()->Code(), JexMailer::BADATTR);
        EXPECT_EQ(std::string(mailer.Cause()->FormattedText(0).Text()),
                  std::string("Attribute '") + c.field + "' contains a bad value");
        EXPECT_EQ(server.Connections(), 0);
        ASSERT_TRUE(
            WriteText(JexConfig::kGlobalParameters, "Contact.EmailAddr", "contact@acme.test"));
    }
}

TEST_F(JexMailerTest, UnreachableServerFailsWithTheConnectionError) {
    // A port that was free a moment ago: nothing listens there.
    const int port = tavro::testing::ClosedLoopbackPort();
    ASSERT_GT(port, 0);
    UseServer("127.0.0.1:" + std::to_string(port));
    std::unique_ptr<JexMailer> mailer = Mailer();
    EXPECT_EQ(mailer->Send(), JexMailer::SEND_FAIL);
    ASSERT_NE(mailer->Cause(), nullptr);
    EXPECT_EQ(mailer->Cause()->Code(), JexTransport::CONNECTERR);
}

}  // namespace
