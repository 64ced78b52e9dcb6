// Tests of the mail message object: checks, dispatch and local delivery to Debian's aiosmtpd.
#include "jexlink/mail/JexEmail.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexUtilities.h"
#include "testing/support/ErrorChain.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SmtpSink.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ErrorTexts;
using tavro::testing::SmtpSink;
using tavro::testing::WriteList;
using tavro::testing::WriteText;

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    for (const std::string& s : list)
        if (s == item) return true;
    return false;
}

// The body after the header block.
std::string BodyOf(const std::string& data) {
    const size_t at = data.find("\r\n\r\n");
    return at == std::string::npos ? "" : data.substr(at + 4);
}

class JexEmailTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("JEXMAIL_TRACE");
        ASSERT_NE(sink_.Port(), 0);
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(tavro::testing::WriteInstallPath(dir_.Path().string()));
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {"Acme"}));
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Node", {"n1"}));
        ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Mail.Smtp.Server", sink_.Address()));
        ASSERT_TRUE(
            WriteText(JexConfig::kGlobalParameters, "Contact.EmailAddr", "contact@acme.test"));
        std::filesystem::create_directories(dir_.Path() / "logs");
        tavro::testing::WriteFile(dir_.Path() / "data" / "jex_mail_signature.txt",
                                  "-- \r\nThe Acme support team\n");
    }

    std::unique_ptr<JexEmail> Mail(const char* destinations, int secondary = 0) {
        auto mail = std::make_unique<JexEmail>(secondary);
        mail->DstAddr = destinations;
        mail->Subject = "Service request 42";
        mail->AddLine("Your request was opened.");
        mail->AddLine(".period first");
        return mail;
    }

    std::string Via() const {
        return std::string(" (via Jex_Mail T2.2-EFT8; sender ") + JexGetUserName().Text() +
               "@n1.acme.jex)\r\n\r\n";
    }
    static constexpr const char* kLines = "Your request was opened.\r\n.period first\r\n";
    static constexpr const char* kSignature = "-- \r\nThe Acme support team\r\n";

    tavro::testing::TempDir dir_{"email"};
    SmtpSink sink_;
};

TEST_F(JexEmailTest, ListsWithCcGoOutInOrderWithViaLineAndSignature) {
    auto mail = Mail(" a@x.test ;\tb@x.test;");
    mail->CC = "c@x.test";
    EXPECT_EQ(mail->Send(), 0) << mail->Describe(1).Text();
    ASSERT_TRUE(sink_.WaitForMails(3));
    const auto mails = sink_.Mails();
    ASSERT_EQ(mails.size(), 3u);
    const char* order[] = {"a@x.test", "b@x.test", "c@x.test"};
    const std::string sender = std::string(JexGetUserName().Text()) + "@n1.acme.jex";
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(mails[i].recipients, std::vector<std::string>{order[i]});
        EXPECT_EQ(mails[i].from, "contact@acme.test");
        EXPECT_EQ(BodyOf(mails[i].data), Via() + kLines + kSignature);
        EXPECT_EQ(mails[i].data.rfind("From:  <" + sender + ">\r\nTo: " + order[i], 0), 0u);
        EXPECT_NE(mails[i].data.find("\r\nSubject: Service request 42\r\n"), std::string::npos);
    }
    EXPECT_EQ(mail->Code(), JexEmail::OK);
    EXPECT_EQ(ErrorTexts(*mail),
              (std::vector<std::string>{"Mail sent to <a@x.test>", "Mail sent to <b@x.test>",
                                        "Mail sent to <c@x.test>"}));
    EXPECT_EQ(mail->AnythingToSend, 0);
    mail.reset();
    const std::string history = tavro::testing::ReadFile(dir_.Path() / "logs" / "jex_history.log");
    EXPECT_NE(history.find("Mail-Send-To"), std::string::npos) << history;
    EXPECT_NE(history.find("Jex_Mail"), std::string::npos) << history;
}

TEST_F(JexEmailTest, SenderClassesSubstituteConfiguredLists) {
    ASSERT_TRUE(
        WriteList(JexConfig::kGlobalParameters, "Mail.Informative", {"i1@x.test", "i2@x.test"}));
    setenv("JEXMAIL_TRACE", "l", 1);
    auto mail = Mail("JEXLINK-INFO");
    mail->CC = "jexlink-biz";  // Mail.Marketing is absent: the name itself
    ::testing::internal::CaptureStderr();
    const int result = mail->Send();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0) << mail->Describe(1).Text();
    EXPECT_NE(err.find("* Address substitution has occurred:\n\tFrom: 'JEXLINK-INFO'\n"
                       "\t  To: 'i1@x.test;i2@x.test'\n"),
              std::string::npos)
        << err;
    ASSERT_TRUE(sink_.WaitForMails(3));
    const auto mails = sink_.Mails();
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"i1@x.test"});
    EXPECT_EQ(mails[1].recipients, std::vector<std::string>{"i2@x.test"});
    EXPECT_EQ(mails[2].recipients, std::vector<std::string>{"jexlink-biz"});
    // The copies carry the via line and the signature once.
    for (const auto& m : mails) EXPECT_EQ(BodyOf(m.data), Via() + kLines + kSignature);
}

TEST_F(JexEmailTest, TraceLettersChooseTheirOutput) {
    struct Case {
        const char* letters;
        std::vector<const char*> shown;
        std::vector<const char*> hidden;
    };
    const Case cases[] = {
        {"*",
         {"<a> JexEmail adding line:\n\tYour request was opened.\n",
          "\n<h> Header of JexEmail message to be sent:\n", "  Subject: Service request 42\n",
          "\n<b> Body of JexEmail message to be sent:\n", "001: \n",
          "=============End of Body Dump===========\n\n", "JexEmail::Send(a@x.test)\n",
          "JexEmail::Send_One(a@x.test)\n", "JexEmail::Send_Local(a@x.test)\n"},
         {}},
        {"lr",
         {"JexEmail::Send(a@x.test)\n", "JexEmail::Send_One(a@x.test)\n",
          "JexEmail::Send_Local(a@x.test)\n"},
         {"<a>", "<h>", "<b>"}},
        {"l", {"JexEmail::Send_Local(a@x.test)\n"}, {"JexEmail::Send(", "<a>"}},
        {"", {}, {"JexEmail::", "<a>", "<h>", "<b>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letters);
        setenv("JEXMAIL_TRACE", c.letters, 1);
        ::testing::internal::CaptureStderr();
        {
            auto mail = Mail("a@x.test");
            EXPECT_EQ(mail->Send(), 0);
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        for (const char* text : c.shown) EXPECT_NE(err.find(text), std::string::npos) << text;
        for (const char* text : c.hidden) EXPECT_EQ(err.find(text), std::string::npos) << text;
    }
}

TEST_F(JexEmailTest, DestinationsInOurDomainGoToTheLocalUser) {
    auto mail = Mail("joe@n7.ACME.jex;ann@acme.dia");
    EXPECT_EQ(mail->Send(), 0) << mail->Describe(1).Text();
    ASSERT_TRUE(sink_.WaitForMails(2));
    const auto mails = sink_.Mails();
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{"joe"});
    EXPECT_EQ(mails[1].recipients, std::vector<std::string>{"ann"});
}

TEST_F(JexEmailTest, AFailedDestinationIsReportedAndTheOthersStillGo) {
    auto mail = Mail("a@x.test;bad<>@x;c@x.test");
    EXPECT_EQ(mail->Send(), JexEmail::FAILURE);
    ASSERT_TRUE(sink_.WaitForMails(2));
    EXPECT_EQ(sink_.Mails().size(), 2u);
    EXPECT_EQ(mail->Code(), JexEmail::FAILURE);
    const auto chain = ErrorTexts(*mail);
    EXPECT_EQ(chain[0], "Failed delivering to one or more recipients");
    EXPECT_EQ(chain[1], "Mail sent to <a@x.test>");
    EXPECT_EQ(chain[2], std::string(37, '-'));
    EXPECT_EQ(chain[3], "Mail handler rejected message");
    EXPECT_EQ(chain[4], "Unable to send message to <bad<>@x>");
    EXPECT_TRUE(Contains(chain, "Mail sent to <c@x.test>"));
    EXPECT_EQ(chain.back(), "Mail sent to <c@x.test>");

    // A first destination that fails leaves no placeholder entry behind.
    auto second = Mail("bad<>@x;d@x.test");
    EXPECT_EQ(second->Send(), JexEmail::FAILURE);
    const auto chain2 = ErrorTexts(*second);
    EXPECT_EQ(chain2[0], "Failed delivering to one or more recipients");
    EXPECT_EQ(chain2[1], std::string(37, '-'));
    EXPECT_EQ(chain2[2], "Mail handler rejected message");
    EXPECT_EQ(chain2.back(), "Mail sent to <d@x.test>");
    EXPECT_FALSE(Contains(chain2, "Mail sent to <-reset->"));
}

TEST_F(JexEmailTest, LocalAuthorizationDecidesAndARefusedMailReachesNoServer) {
    struct Case {
        const char* rules;  // null: no file
        int result;
    };
    const Case cases[] = {
        {nullptr, 0},
        {"allow acme n1 * jex_mail *\n", 0},
        {"", JexEmail::FAILURE},
        {"disallow * * * * *\n", JexEmail::FAILURE},
        {"allow acme n1 * jex_mail * tomorrow *\n", JexEmail::FAILURE},
        {"allow other * * * *\n", JexEmail::FAILURE},
    };
    const auto path = dir_.Path() / "data" / "jex_local_auth.dat";
    size_t delivered = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules ? c.rules : "(no file)");
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        if (c.rules) tavro::testing::WriteFile(path, c.rules);
        auto mail = Mail("a@x.test");
        EXPECT_EQ(mail->AuthRefused, c.result ? 1 : 0);
        EXPECT_EQ(mail->Send(), c.result);
        if (c.result == 0) {
            ++delivered;
            continue;
        }
        EXPECT_EQ(ErrorTexts(*mail),
                  (std::vector<std::string>{"Failed delivering to one or more recipients", ""}));
        ASSERT_NE(mail->Cause(), nullptr);
        EXPECT_STREQ(mail->Cause()->CodeName(mail->Cause()->Code()).Text(), "AUTHFAIL");
        EXPECT_EQ(mail->AnythingToSend, 0);
    }
    ASSERT_TRUE(sink_.WaitForMails(delivered));
    EXPECT_EQ(sink_.Mails().size(), delivered);
}

TEST_F(JexEmailTest, SendChecksComeBeforeAnyDelivery) {
    struct Case {
        const char* name;
        void (*prepare)(JexEmail&);
        int result;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {"no lines", [](JexEmail& m) { m.EraseLine(); }, 10, JexEmail::NOTHING_TO_SEND,
         "There is nothing to be sent"},
        {"no destination", [](JexEmail& m) { m.DstAddr = ""; }, 8, JexEmail::NOATTR,
         "Attribute 'Destination Address' has no value"},
        {"no subject", [](JexEmail& m) { m.Subject = ""; }, 8, JexEmail::NOATTR,
         "Attribute 'Subject' has no value"},
        {"line break in the subject", [](JexEmail& m) { m.Subject = "hi\r\nBcc: all@x.test"; }, 8,
         JexEmail::BADATTR, "Attribute 'Subject' contains a bad value"},
        {"line break in a name", [](JexEmail& m) { m.SrcPers = "Ann\nX-Evil: 1"; }, 8,
         JexEmail::BADATTR, "Attribute 'Personal Name' contains a bad value"},
        {"line break in a CC entry", [](JexEmail& m) { m.CC = "b@x.test\r\nRCPT To:<c@x>"; }, 8,
         JexEmail::BADATTR, "Attribute 'Destination Address' contains a bad value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto mail = Mail("a@x.test");
        c.prepare(*mail);
        EXPECT_EQ(mail->Send(), c.result);
        EXPECT_EQ(mail->Code(), c.code);
        EXPECT_STREQ(mail->FormattedText(0).Text(), c.text);
        mail->EraseLine();
    }
    EXPECT_TRUE(sink_.Mails().empty());
}

TEST_F(JexEmailTest, AMissingLocalDomainStopsTheMail) {
    ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Local.Domain", {""}));
    auto mail = Mail("a@x.test");
    EXPECT_EQ(mail->Code(), JexEmail::NOPARAM);
    EXPECT_STREQ(mail->FormattedText(0).Text(),
                 "No value found for configuration parameter Local.Domain");
    EXPECT_EQ(mail->Send(), 8);
    EXPECT_STREQ(mail->FormattedText(0).Text(), "Attribute 'Source Domain' has no value");
}

TEST_F(JexEmailTest, DestroyingAnUnsentMailSendsIt) {
    { auto mail = Mail("late@x.test"); }
    ASSERT_TRUE(sink_.WaitForMails(1));
    EXPECT_EQ(sink_.Mails()[0].recipients, std::vector<std::string>{"late@x.test"});
}

TEST_F(JexEmailTest, AddFileSplitsLongLines) {
    const auto path = dir_.Path() / "body.txt";
    tavro::testing::WriteFile(
        path, std::string(600, 'x') + "\r\nshort\n\n" + std::string(255, 'y') + "\n");
    JexEmail mail;
    ASSERT_EQ(mail.AddFile(path.c_str()), 0);
    ASSERT_EQ(mail.LineCount, 6);
    EXPECT_EQ(std::string(mail.Body[0].Text()), std::string(255, 'x'));
    EXPECT_EQ(std::string(mail.Body[2].Text()), std::string(90, 'x'));
    EXPECT_STREQ(mail.Body[3].Text(), "short");
    EXPECT_STREQ(mail.Body[4].Text(), "");
    EXPECT_EQ(std::string(mail.Body[5].Text()), std::string(255, 'y'));
    EXPECT_EQ(mail.AddFile((dir_.Path() / "absent.txt").c_str()), JexEmail::OPENFAIL);
    EXPECT_STREQ(mail.FormattedText(0).Text(),
                 ("Error opening file <" + (dir_.Path() / "absent.txt").string() + ">").c_str());
    mail.EraseLine();
}

TEST_F(JexEmailTest, SecondaryMailIsNotForwardedToAnotherSystem) {
    auto mail = Mail("joe@far.other.jex", 1);
    EXPECT_EQ(mail->Send(), JexEmail::FAILURE);
    EXPECT_TRUE(Contains(ErrorTexts(*mail),
                         "Forwarding mail thru JEXlink is disabled at system n1.acme.jex"));
    EXPECT_TRUE(sink_.Mails().empty());
}

TEST_F(JexEmailTest, AHandlerSeesEveryEventAndTheOutcome) {
    struct Seen {
        std::vector<int> codes;
    } seen;
    auto mail = Mail("a@x.test;b@x.test");
    mail->SetSuppress(0);
    JexHandlerScope scope(
        mail.get(),
        [](JexException* raised, void* context) {
            static_cast<Seen*>(context)->codes.push_back(raised->Code());
            return 0;
        },
        &seen);
    EXPECT_EQ(mail->Send(), 0);
    EXPECT_EQ(seen.codes, (std::vector<int>{JexEmail::EVT_SENDING_LOCAL,
                                            JexEmail::EVT_SENDING_LOCAL, JexEmail::OK}));
}

}  // namespace
