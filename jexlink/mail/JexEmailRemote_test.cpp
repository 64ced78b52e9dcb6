// Tests of remote mail delivery through a session to an in-test "Jex_Mail" application.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/mail/JexEmail.h"
#include "jexlink/messages/JexTIE.h"
#include "testing/support/ErrorChain.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SessionServer.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ErrorTexts;
using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;
using tavro::testing::WriteList;
using tavro::testing::WriteText;

constexpr const char* kAddress = "joe@fnode.far.jex";

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

JexBuffer Bytes(const std::string& s) {
    JexBuffer b;
    b.SetLength(static_cast<int>(s.size()));
    if (!s.empty()) std::memcpy(b.Data(), s.data(), s.size());
    return b;
}

// True when the items appear in the chain in this order, one right after
// the other.
bool InOrder(const std::vector<std::string>& chain, const std::vector<std::string>& items) {
    return std::search(chain.begin(), chain.end(), items.begin(), items.end()) != chain.end();
}

// What the mail application saw.
struct Seen {
    int listened = -1;
    std::string version, sender, name, address, replyTo, subject;
    bool namePresent = false;
    std::vector<std::string> lines;
    bool completed = false;
};

// How the application answers once the message is complete.
enum class Answer { kOk, kFailed, kReject, kCorrupt, kEmpty, kOtherType, kHangUp, kNoReply };

class JexEmailRemoteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Listening());
        unsetenv("JEXMAIL_TRACE");
        setenv("JEXCRYPTO_PATH", keys_.Path().c_str(), 1);
        WriteFile(keys_.Path() / "MD5-ACME-FAR", "mail secret\n");
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(tavro::testing::WriteInstallPath(dir_.Path().string()));
        std::filesystem::create_directories(dir_.Path() / "logs");
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {"acme"}));
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Node", {"n1"}));
        const auto routes = dir_.Path() / "route.map";
        WriteFile(routes, server_.RouteLine("far", "fnode", "Jex_Mail"));
        ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.RouteMap", routes.string()));
    }
    void TearDown() override { unsetenv("JEXCRYPTO_PATH"); }

    // The in-test mail application: reads the header and the lines up to the
    // completion message, then answers.
    void Serve(Answer answer) {
        ASSERT_TRUE(server_.Serve([this, answer](JexSession& s) {
            s.SetAttr(JexSession::DST_NODE, "fnode");
            s.SetAttr(JexSession::READ_TIMEOUT, 20);
            JexBuffer data;
            seen_.listened = s.Listen("Jex_Mail", "far", data);
            if (seen_.listened != 0) return;
            JexNetMsg header;
            header.Decode(data);
            seen_.version = Text(header['V']);
            seen_.sender = Text(header['a']);
            seen_.name = Text(header['p']);
            seen_.namePresent = header['p'].Data() != nullptr;
            seen_.address = Text(header['t']);
            seen_.replyTo = Text(header['r']);
            seen_.subject = Text(header['s']);
            if (answer == Answer::kReject) {
                s.Reject(Bytes("no mail today"));
                return;
            }
            if (s.Accept(Bytes("")) != 0) return;
            if (answer == Answer::kHangUp) {
                s.Disconnect();
                return;
            }
            JexBuffer in;
            while (s.GetMsg(in, 0) == 0) {
                JexNetMsg msg;
                msg.Decode(in);
                if (msg.Type() == 'Z') {
                    seen_.completed = true;
                    break;
                }
                seen_.lines.push_back(Text(msg['D']));
            }
            JexNetMsg reply;
            JexBuffer bytes;
            switch (answer) {
                case Answer::kOk:
                    reply.Type('K');
                    bytes = reply.Encode();
                    break;
                case Answer::kFailed: {
                    JexEmail error;
                    error.ExcSet(JexEmail::UNABLE_TO_SAVE,
                                 JexExcArgs("mail store", "/var/mail/joe"));
                    reply.Type('F');
                    JexTIELoadException(error, reply);
                    bytes = reply.Encode();
                    break;
                }
                case Answer::kCorrupt: bytes = Bytes(std::string("K\x41\x09\x00", 4)); break;
                case Answer::kEmpty: bytes = Bytes(""); break;
                case Answer::kOtherType:
                    reply.Type('Q');
                    bytes = reply.Encode();
                    break;
                case Answer::kNoReply: s.Disconnect(); return;
                case Answer::kReject:
                case Answer::kHangUp: break;
            }
            s.PutMsg(bytes, 0);
            if (s.GetMsg(in, 0) == JexSession::SHUT) s.Disconnect();
        }));
    }

    std::unique_ptr<JexEmail> Mail(int secondary = 0) {
        auto mail = std::make_unique<JexEmail>(secondary);
        mail->DstAddr = kAddress;
        mail->Subject = "Remote hello";
        mail->AddLine("one");
        mail->AddLine("");
        mail->AddLine("three");
        return mail;
    }

    TempDir dir_{"email-remote"};
    TempDir keys_{"email-keys"};
    SessionServer server_;
    Seen seen_;
};

TEST_F(JexEmailRemoteTest, DeliversHeaderAndLinesInOrder) {
    Serve(Answer::kOk);
    auto mail = Mail();
    EXPECT_EQ(mail->Send(), 0) << mail->Describe(1).Text();
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(seen_.listened, 0);
    const std::string sender = std::string(JexGetUserName().Text()) + "@n1.acme.jex";
    EXPECT_EQ(seen_.version, "V2.0");
    EXPECT_EQ(seen_.sender, sender);
    EXPECT_TRUE(seen_.namePresent);
    EXPECT_EQ(seen_.name, "");
    EXPECT_EQ(seen_.address, kAddress);
    EXPECT_EQ(seen_.replyTo, sender);
    EXPECT_EQ(seen_.subject, "Remote hello");
    EXPECT_EQ(seen_.lines,
              (std::vector<std::string>{" (via Jex_Mail T2.2-EFT8; sender " + sender + ")", "",
                                        "one", "", "three"}));
    EXPECT_TRUE(seen_.completed);
    EXPECT_EQ(ErrorTexts(*mail),
              std::vector<std::string>{std::string("Mail sent to <") + kAddress + ">"});
}

TEST_F(JexEmailRemoteTest, AnEmptyBodyStillSendsHeaderAndCompletion) {
    Serve(Answer::kOk);
    JexEmail mail;
    mail.Subject = "Empty";
    mail.Apply_Defaults();
    EXPECT_EQ(mail.Send_Remote(kAddress), 0) << mail.Describe(1).Text();
    ASSERT_TRUE(server_.Join());
    EXPECT_EQ(seen_.subject, "Empty");
    EXPECT_TRUE(seen_.lines.empty());
    EXPECT_TRUE(seen_.completed);
}

TEST_F(JexEmailRemoteTest, AnswersOtherThanOkFailWithTheirEntries) {
    const std::string fail = std::string("Unable to send remote message to <") + kAddress + ">";
    const std::string x(37, '-');
    struct Case {
        const char* name;
        Answer answer;
        int result;
        std::vector<std::string> tail;  // the last entries of the chain
    };
    const Case cases[] = {
        {"failed with a carried error",
         Answer::kFailed,
         JexEmail::REMOTE_SEND_FAIL,
         {x, fail, "Unable to save to file </var/mail/joe>"}},
        {"rejected",
         Answer::kReject,
         JexEmail::UNAVAILABLE,
         {x, "The JEXlink Mail application is not available",
          "JexSession rejected by remote system"}},
        {"corrupt reply",
         Answer::kCorrupt,
         JexEmail::REMOTE_SEND_FAIL,
         {x, fail, "Received message is corrupted"}},
        {"empty reply",
         Answer::kEmpty,
         JexEmail::REMOTE_SEND_FAIL,
         {x, fail, "Received message is corrupted"}},
        {"reply of another type",
         Answer::kOtherType,
         JexEmail::REMOTE_SEND_FAIL,
         {x, fail, "Protocol Error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen_ = Seen();
        Serve(c.answer);
        auto mail = Mail();
        mail->Apply_Defaults();
        EXPECT_EQ(mail->Send_Remote(kAddress), c.result);
        ASSERT_TRUE(server_.Join());
        const auto chain = ErrorTexts(*mail);
        EXPECT_TRUE(InOrder(chain, c.tail)) << ::testing::PrintToString(chain);
        if (c.answer == Answer::kReject) {
            EXPECT_EQ(std::find(chain.begin(), chain.end(), fail), chain.end());
        } else {
            EXPECT_EQ(chain.back() == c.tail.back(),
                      c.answer != Answer::kHangUp && c.answer != Answer::kNoReply);
        }
        // The first delivery's announcement reset the object's own error.
        EXPECT_EQ(mail->Code(), JexEmail::OK);
        mail->EraseLine();
    }
}

TEST_F(JexEmailRemoteTest, SecondaryMailIsForwardedOnlyWhenEnabled) {
    ASSERT_TRUE(server_.Serve([](JexSession&) {}, std::chrono::seconds(2)));
    auto refused = Mail(1);
    EXPECT_EQ(refused->Send(), JexEmail::FAILURE);
    server_.Join();
    EXPECT_FALSE(server_.Accepted());  // no connection was made
    EXPECT_STREQ(refused->FormattedText(0).Text(),
                 "Forwarding mail thru JEXlink is disabled at system n1.acme.jex");

    ASSERT_TRUE(
        tavro::testing::WriteDword(JexConfig::kGlobalParameters, "Mail.ForwardingEnabled", 1));
    Serve(Answer::kOk);
    auto allowed = Mail(1);
    EXPECT_EQ(allowed->Send(), 0) << allowed->Describe(1).Text();
    ASSERT_TRUE(server_.Join());
    // A secondary message carries no via line.
    EXPECT_EQ(seen_.lines, (std::vector<std::string>{"one", "", "three"}));
}

TEST_F(JexEmailRemoteTest, AnUnreachableSystemFailsTheConnection) {
    WriteFile(dir_.Path() / "route.map", "");
    auto mail = Mail();
    mail->Apply_Defaults();
    EXPECT_EQ(mail->Send_Remote(kAddress), JexEmail::REMOTE_SEND_FAIL);
    const auto chain = ErrorTexts(*mail);
    EXPECT_NE(std::find(chain.begin(), chain.end(), "Connection to server failed"), chain.end());
    mail->EraseLine();
}

}  // namespace
