// Tests of the wizard control's procedures, page flow, mandatory checks, field checks and fill-ins.
#include "wizard/UserControl1.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "wizard/WizardTestHost.h"

namespace wizard {
namespace {

[[maybe_unused]] const bool kFreshStatePerTest = wizard::testing::FreshStatePerTest();

using namespace wizard::testing;

constexpr char kComma[] = "Please do not include comma";
constexpr char kEmail[] = "Please provide a valid Email Address";
constexpr char kNumber[] = "Please provide a valid number";

// --- RegGetValue ---

struct RegCase {
    const char* name;
    uint32_t hive;
    DWORD type;
    std::string bytes;  // stored under the key "SOFTWARE\Test", value "V"
    bool store;
    std::string expected;
    bool found;
};

TEST(RegGetValue, ReadsTextsAndNumbersIntoItsOutcomeFields) {
    const std::string text255(255, 'a');
    const RegCase cases[] = {
        {"string", kHkeyLocalMachine, REG_SZ, std::string("abc", 4), true, "abc", true},
        {"DWORD 7", kHkeyLocalMachine, REG_DWORD, std::string("\x07\0\0\0", 4), true, "007", true},
        {"DWORD 0", kHkeyLocalMachine, REG_DWORD, std::string(4, '\0'), true, "000", true},
        {"DWORD 1234", kHkeyLocalMachine, REG_DWORD, std::string("\xD2\x04\0\0", 4), true, "1234",
         true},
        {"DWORD above float precision", kHkeyLocalMachine, REG_DWORD,
         std::string("\x01\0\0\x01", 4), true, "16777216", true},
        {"empty string", kHkeyLocalMachine, REG_SZ, std::string(1, '\0'), true, "", true},
        {"255 bytes fit", kHkeyLocalMachine, REG_BINARY, text255, true, text255.substr(0, 254),
         true},
        {"256 bytes are not found", kHkeyLocalMachine, REG_SZ, std::string(255, 'b') + '\0', true,
         "", false},
        {"missing value", kHkeyLocalMachine, REG_SZ, "", false, "", false},
        {"bad hive", 0x12345, REG_SZ, std::string("abc", 4), true, "", true},
        {"hive past the last", 0x80000007, REG_SZ, std::string("abc", 4), true, "", true},
    };
    for (const RegCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost host;
        UserControl1 control(host);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueA(key, "V");
        RegCloseKey(key);
        if (c.store) SetValue("SOFTWARE\\Test", "V", c.type, c.bytes);
        EXPECT_EQ(control.RegGetValue(c.hive, "SOFTWARE\\test", "v"), c.expected);
        EXPECT_EQ(control.KeyFound, c.found);
        EXPECT_EQ(control.ValueFound, c.found);
    }
}

TEST(RegGetValue, MissingKeyIsNotFoundAndBufferEndsAtNul) {
    TestHost host;
    UserControl1 control(host);
    EXPECT_EQ(control.RegGetValue(kHkeyLocalMachine, "SOFTWARE\\Nowhere", "V"), "");
    EXPECT_FALSE(control.KeyFound);
    SetText("SOFTWARE\\Test", "V", "xyz");
    control.RegGetValue(kHkeyLocalMachine, "SOFTWARE\\Test", "V");
    ASSERT_EQ(control.RegBuffer.size(), 255u);
    EXPECT_EQ(control.RegBuffer.substr(0, 5), std::string("xyz\0 ", 5));
}

TEST(RegSetValue, CreatesTheKeyAndStoresText) {
    TestHost host;
    UserControl1 control(host);
    control.RegSetValue(kHkeyLocalMachine, "SOFTWARE\\New\\Deep", "Name", "value");
    EXPECT_EQ(GetText("software\\new\\deep", "name"), "value");
    control.RegSetValue(0x80000006, "SOFTWARE\\X", "Name", "v");  // no such hive here: silent
}

// --- Page flow ---

// The page each button leads to, by installed marks: index T*4 + P*2 + V.
struct Transition {
    int from;
    const char* button;
    int to[8];
};

constexpr Transition kTransitions[] = {
    {1, "BT_UI_SUBMIT", {9, 5, 3, 3, 2, 2, 2, 2}},
    {2, "BTN_CA_CI_BACK", {1, 1, 1, 1, 1, 1, 1, 1}},
    {2, "BTN_CA_CI_SUBMIT", {4, 4, 3, 3, 4, 4, 3, 3}},
    {3, "BT_PLOV_BACK", {1, 1, 1, 1, 2, 2, 2, 2}},
    {3, "BT_PLOV_NEXT", {4, 4, 4, 4, 4, 4, 4, 4}},
    {4, "BT_PROFILE_BACK", {4, 4, 3, 3, 2, 2, 3, 3}},
    {4, "BT_PROFILE_NEXT", {9, 5, 9, 5, 9, 5, 9, 5}},
    {5, "BT_VRN_CI_BACK", {1, 1, 4, 4, 4, 4, 4, 4}},
    {5, "BT_VRN_CI_NEXT", {6, 6, 6, 6, 6, 6, 6, 6}},
    {6, "BT_VRN_TO_BACK", {5, 5, 5, 5, 5, 5, 5, 5}},
    {6, "BT_TO_NEXT", {7, 7, 7, 7, 7, 7, 7, 7}},
    {7, "BT_VRN_SS_NEXT", {6, 6, 6, 6, 6, 6, 6, 6}},
    {7, "BT_VRN_TO_NEXT", {9, 9, 9, 9, 9, 9, 9, 9}},
    {8, "BT_SO_LAUNCH_SERVICE_OBLIGATION", {9, 5, 9, 5, 9, 5, 9, 5}},
};

class PageFlow : public ::testing::TestWithParam<int> {};

// Every button of every page reachable from page 1 (and from page 8, which
// only the host shows) leads where the table says, under each of the eight
// combinations of installed components.
TEST_P(PageFlow, EveryReachableButtonLeadsWhereTheTableSays) {
    const int marks = GetParam();
    const bool tesk = marks & 4, plov = marks & 2, vrn = marks & 1;
    WizardTree tree;
    if (tesk) InstallTesk();
    if (plov) InstallPlov();
    if (vrn) InstallVrn(tree);

    // Replays a path of presses on a fresh control.
    auto reach = [&](int start, const std::vector<std::string>& path,
                     std::unique_ptr<TestHost>& host) {
        host = std::make_unique<TestHost>();
        auto control = std::make_unique<UserControl1>(*host);
        Effects shown = control->Show();
        EXPECT_EQ(shown.page, 1);
        EXPECT_EQ(control->TeskInstalled, tesk);
        EXPECT_EQ(control->PlovInstalled, plov);
        EXPECT_EQ(control->VrnInstalled, vrn);
        FillPageOne(*control);
        control->SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "CUST-1");
        if (start == 8) control->ShowServiceObligationPage();
        for (const std::string& button : path) control->Click(button);
        return control;
    };

    std::set<int> seen;
    for (int start : {1, 8}) {
        std::deque<std::pair<int, std::vector<std::string>>> queue{{start, {}}};
        while (!queue.empty()) {
            auto [page, path] = queue.front();
            queue.pop_front();
            if (!seen.insert(page).second) continue;
            for (const Transition& t : kTransitions) {
                if (t.from != page) continue;
                SCOPED_TRACE(std::string(t.button) + " from page " + std::to_string(page));
                std::unique_ptr<TestHost> host;
                auto control = reach(start, path, host);
                ASSERT_EQ(control->Page(), page);
                Effects effects = control->Click(t.button);
                EXPECT_EQ(effects.page, t.to[marks]);
                EXPECT_TRUE(control->Visible(UserControl1::PageFrame(t.to[marks])));
                for (int other = 1; other <= 9; ++other) {
                    if (other == t.to[marks]) continue;
                    EXPECT_FALSE(control->Visible(UserControl1::PageFrame(other)));
                }
                std::vector<std::string> next = path;
                next.push_back(t.button);
                queue.push_back({t.to[marks], next});
            }
        }
    }
    EXPECT_TRUE(seen.count(9));
    EXPECT_EQ(seen.count(4) == 1, tesk || plov) << "the profile page only with Tesk or Plov";
    EXPECT_EQ(seen.count(5) == 1, vrn);
}

INSTANTIATE_TEST_SUITE_P(InstalledMarks, PageFlow, ::testing::Range(0, 8));

TEST(PageFlow, ButtonsOfOtherPagesAndUnknownNamesDoNothing) {
    WizardTree tree;
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    EXPECT_EQ(control.Click("BT_PROFILE_NEXT").page, 1);
    EXPECT_EQ(control.Click("NO_SUCH_BUTTON").page, 1);
    EXPECT_TRUE(WrittenValues().empty());
    EXPECT_EQ(control.Text("BT_PROFILE_NEXT"), "&Finish");
    EXPECT_EQ(control.Text("BT_VRN_TO_NEXT"), "&Next");
}

// --- Mandatory checks ---

struct MandatoryCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> texts;
    const char* message;
    const char* focus;
};

TEST(MandatoryChecks, PageOneFirstFailureWinsAndNothingIsWritten) {
    const MandatoryCase cases[] = {
        {"blank user name",
         {{"TXT_UI_USER_NAME", "   "}},
         "Please enter the User Name",
         "TXT_UI_USER_NAME"},
        {"empty company",
         {{"TXT_UI_COMPANY_NAME", ""}},
         "Please enter the Company Name",
         "TXT_UI_COMPANY_NAME"},
        {"email before serial and phone",
         {{"TXT_UI_EMAIL", " "}, {"TXT_UI_SYSTEM_SERIAL_NUMBER", ""}, {"TXT_UI_PHONE_NUMBER", ""}},
         "Please enter the Email Address",
         "TXT_UI_EMAIL"},
        {"serial before phone",
         {{"TXT_UI_SYSTEM_SERIAL_NUMBER", "\t"}, {"TXT_UI_PHONE_NUMBER", ""}},
         "Please enter the system Serial Number",
         "TXT_UI_SYSTEM_SERIAL_NUMBER"},
        {"phone",
         {{"TXT_UI_PHONE_NUMBER", ""}},
         "Please enter the phone number",
         "TXT_UI_PHONE_NUMBER"},
        {"user name wins over all",
         {{"TXT_UI_USER_NAME", ""}, {"TXT_UI_COMPANY_NAME", ""}},
         "Please enter the User Name",
         "TXT_UI_USER_NAME"},
    };
    for (const MandatoryCase& c : cases) {
        SCOPED_TRACE(c.name);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        FillPageOne(control);
        control.SetText("TXT_UI_SMTP_MAIL_SERVER", "");  // never mandatory
        for (const auto& [field, text] : c.texts) control.SetText(field, text);
        Effects effects = control.Click("BT_UI_SUBMIT");
        ASSERT_EQ(effects.messages.size(), 1u);
        EXPECT_EQ(effects.messages[0], (MessageBox{c.message, kMandatoryTitle}));
        EXPECT_EQ(effects.focus, c.focus);
        EXPECT_EQ(effects.page, 1);
        EXPECT_TRUE(WrittenValues().empty());
        EXPECT_EQ(control.Text("TXT_CUSTOMER"), "") << "no fill-in after a failed check";
    }
}

struct TransportCase {
    const char* name;
    std::vector<std::pair<const char*, int>> options;
    std::vector<std::pair<const char*, const char*>> texts;
    const char* message;  // nullptr: the page moves on
    const char* focus;
};

TEST(MandatoryChecks, TransportPageChecksInItsOrder) {
    constexpr char kHostPort[] =
        "Please enter the hostname and port (in the format hostname:port)for the SMTP server ";
    constexpr char kSmtpAddress[] = "Please enter an email address recognised by the SMTP server";
    constexpr char kDestination[] = " Please enter a destination email address";
    const TransportCase cases[] = {
        {"nothing chosen", {}, {}, nullptr, ""},
        {"email and SMTP: server first",
         {{"OPT_VRN_TO_DBC", 0}, {"OPT_VRN_TO_DBC_EO", 4}},
         {},
         kHostPort,
         "TXT_VRN_TO_DBC_EO_SERVER"},
        {"email and SMTP: then the address",
         {{"OPT_VRN_TO_DBC", 0}, {"OPT_VRN_TO_DBC_EO", 4}},
         {{"TXT_VRN_TO_DBC_EO_SERVER", "smtp:25"}},
         kSmtpAddress,
         "TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS"},
        {"email and MAPI needs nothing",
         {{"OPT_VRN_TO_DBC", 0}, {"OPT_VRN_TO_DBC_EO", 3}},
         {},
         nullptr,
         ""},
        {"FTP data back needs nothing",
         {{"OPT_VRN_TO_DBC", 1}, {"OPT_VRN_TO_DBC_EO", 4}},
         {},
         nullptr,
         ""},
        {"local FTP: upload directory before address",
         {{"OPT_VRN_TO_LC", 1}},
         {},
         "Please enter the local ftp upload directory",
         "TXT_VRN_TO_LC_LFO_FTP_ADDRESS"},
        {"local FTP: address",
         {{"OPT_VRN_TO_LC", 1}},
         {{"TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "/up"}},
         "Please enter the local ftp address",
         "TXT_PTR_855"},
        {"local email SMTP: server",
         {{"OPT_VRN_TO_LC", 0}, {"OPT_VRN_TO_LC_LEO", 0}},
         {},
         kHostPort,
         "TXT_VRN_TO_LC_LEO_SERVER"},
        {"local email SMTP: destination last",
         {{"OPT_VRN_TO_LC", 0}, {"OPT_VRN_TO_LC_LEO", 0}},
         {{"TXT_VRN_TO_LC_LEO_SERVER", "s:25"}, {"TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", "a@b.c"}},
         kDestination,
         "TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS"},
        {"local email MAPI: only the destination",
         {{"OPT_VRN_TO_LC", 0}, {"OPT_VRN_TO_LC_LEO", 1}},
         {},
         kDestination,
         "TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS"},
        {"data back before local copies",
         {{"OPT_VRN_TO_DBC", 0}, {"OPT_VRN_TO_DBC_EO", 4}, {"OPT_VRN_TO_LC", 1}},
         {},
         kHostPort,
         "TXT_VRN_TO_DBC_EO_SERVER"},
    };
    for (const TransportCase& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallVrn(tree);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        FillPageOne(control);
        control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C1");
        control.Click("BT_UI_SUBMIT");
        ASSERT_EQ(control.Click("BT_VRN_CI_NEXT").page, 6);
        for (const auto& [group, index] : c.options) control.OptionClick(group, index);
        for (const auto& [field, text] : c.texts) control.SetText(field, text);
        Effects effects = control.Click("BT_TO_NEXT");
        if (!c.message) {
            EXPECT_TRUE(effects.messages.empty());
            EXPECT_EQ(effects.page, 7);
            continue;
        }
        ASSERT_EQ(effects.messages.size(), 1u);
        EXPECT_EQ(effects.messages[0], (MessageBox{c.message, kMandatoryTitle}));
        EXPECT_EQ(effects.focus, c.focus);
        EXPECT_EQ(effects.page, 6);
    }
}

TEST(MandatoryChecks, CustomerAccessIdOnPageFive) {
    WizardTree tree;
    InstallVrn(tree);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    ASSERT_EQ(control.Click("BT_UI_SUBMIT").page, 5);
    control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "  ");
    Effects effects = control.Click("BT_VRN_CI_NEXT");
    EXPECT_EQ(effects.messages,
              (std::vector<MessageBox>{{"Please enter a Customer ID", kMandatoryTitle}}));
    EXPECT_EQ(effects.focus, "TXT_VRN_CI_CUSTOMER_ACCESS_ID");
    EXPECT_EQ(effects.page, 5);
}

// --- Leave checks ---

struct LeaveCase {
    const char* field;
    std::vector<std::string> messages;  // for the text "x,y"
};

TEST(LeaveChecks, EveryCheckedFieldRefusesACommaAndGetsTheFocusBack) {
    const LeaveCase cases[] = {
        {"TXT_UI_USER_NAME", {kComma}},
        {"TXT_UI_COMPANY_NAME", {"Please do not include comma in company name"}},
        {"TXT_UI_PHONE_NUMBER", {kComma}},
        {"TXT_UI_EMAIL", {kComma, kEmail}},
        {"TXT_UI_SMTP_MAIL_SERVER", {kComma}},
        {"TXT_UI_SYSTEM_SERIAL_NUMBER", {kComma}},
        {"TXT_SERVER", {kComma}},
        {"LBL_FROM_EMAIL", {kComma}},
        {"TXT_TO", {kComma, kEmail}},
        {"TXT_PLOV_SERVER", {kComma}},
        {"LBL_PLOV_FROM_EMAIL", {kComma}},
        {"TXT_PLOV_TO_EMAIL", {kComma, kEmail}},
        {"TXT_CUSTOMER", {kComma}},
        {"TXT_ADDRESS", {kComma}},
        {"TXT_PRIMARY_CONTACT", {kComma}},
        {"TXT_SECONDARY_CONTACT", {kComma}},
        {"TXT_PHONE_NUMBER", {kComma}},
        {"TXT_SPECIAL_INSTRUCTION", {kComma}},
        {"TXT_SYSTEM_TYPE", {kComma}},
        {"TXT_SYSTEM_SN", {kComma}},
        {"TXT_SYSTEM_NAME", {kComma}},
        {"TXT_VRN_CI_CUSTOMER_ACCESS_ID", {kComma}},
        {"TXT_VRN_CI_TAM_NAME", {kComma}},
        {"TXT_VRN_CI_TAM_EMAIL", {kComma, kEmail}},
        {"TXT_VRN_TO_DBC_MAX_ARCHIVE", {kComma, kNumber}},
        {"TXT_VRN_TO_DBC_EO_SERVER", {kComma}},
        {"TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", {kComma, kEmail}},
        {"TXT_VRN_TO_LC_LEO_SERVER", {kComma}},
        {"TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", {kComma, kEmail}},
        {"TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", {kComma}},
        {"TXT_PTR_855", {kComma}},
        {"TXT_VRN_TO_LC_LFO_FTP_ADDRESS", {kComma}},
        {"TXT_VRN_TO_LC_LFO_FTP_LOGIN", {kComma}},
        {"TXT_VRN_TO_LC_LFO_FTP_PASSWORD", {kComma}},
        {"TXT_VRN_SSI_S_DAY_MONTH", {kComma, kNumber}},
        {"TXT_VRN_SSI_S_TIME", {kComma}},
    };
    ASSERT_EQ(std::size(cases), 36u);
    TestHost host;
    UserControl1 control(host);
    for (const LeaveCase& c : cases) {
        SCOPED_TRACE(c.field);
        ASSERT_TRUE(control.SetText(c.field, "x,y"));
        Effects effects = control.LeaveField(c.field);
        EXPECT_EQ(effects.messages, Boxes(c.messages));
        EXPECT_EQ(effects.focus, c.field);
        // Each field's check runs on its own, whatever failed before.
        ASSERT_TRUE(control.SetText(c.field, ""));
        Effects empty = control.LeaveField(c.field);
        EXPECT_TRUE(empty.messages.empty());
        EXPECT_EQ(empty.focus, "");
    }
}

TEST(LeaveChecks, FurtherChecksOnTextsWithoutComma) {
    struct Case {
        const char* field;
        const char* text;
        std::vector<std::string> messages;
    } cases[] = {
        {"TXT_UI_EMAIL", "ann@acme.example", {}},
        {"TXT_UI_EMAIL", "ann@acme", {kEmail}},
        {"TXT_TO", ".@", {}},
        {"TXT_VRN_TO_DBC_MAX_ARCHIVE", " 12 ", {}},
        {"TXT_VRN_TO_DBC_MAX_ARCHIVE", "12a", {kNumber}},
        {"TXT_VRN_SSI_S_DAY_MONTH", "1.5", {}},
        {"LBL_FROM_EMAIL", "not an address", {}},
        {"TXT_VRN_SSI_USER_NAME", "a,b", {}},
        {"Combo_VRN_SSI_S_FREQUENCY", "a,b", {}},
        {"NO_SUCH_FIELD", "", {}},
    };
    TestHost host;
    UserControl1 control(host);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " " + c.text);
        control.SetText(c.field, c.text);
        Effects effects = control.LeaveField(c.field);
        EXPECT_EQ(effects.messages, Boxes(c.messages));
        EXPECT_EQ(effects.focus, c.messages.empty() ? "" : c.field);
    }
}

TEST(SetText, RefusesUnknownControlsHugeTextsAndBadUtf8) {
    TestHost host;
    UserControl1 control(host);
    EXPECT_FALSE(control.SetText("BT_UI_SUBMIT", "x"));
    EXPECT_FALSE(control.SetText("LBL_VRN_CI_COMPANY_NAME", "x"));
    EXPECT_FALSE(control.SetText("TXT_ADDRESS", std::string(kMaxFieldText + 1, 'a')));
    EXPECT_FALSE(control.SetText("TXT_ADDRESS", "\xFF"));
    EXPECT_TRUE(control.SetText("TXT_ADDRESS", std::string(kMaxFieldText, 'a')));
    EXPECT_TRUE(control.SetText("TXT_ADDRESS", "M\xC3\xBCnchen"));
    EXPECT_EQ(control.Text("TXT_ADDRESS"), "M\xC3\xBCnchen");
    EXPECT_EQ(UserControl1::TextControls().size(), 39u);
}

// --- Options ---

TEST(Options, FramesFollowTheChosenTransport) {
    TestHost host;
    UserControl1 control(host);
    for (const char* frame :
         {"FRAME_VRN_TO_DBC_EO", "FRAME_VRN_TO_LC_LEO", "FRAME_VRN_TO_LC_LFO", "FRAME_VRN_SSI_S"})
        EXPECT_TRUE(control.Enabled(frame)) << "enabled at design time: " << frame;
    EXPECT_FALSE(control.Option("OPT_VRN_TO_DBC").has_value());
    EXPECT_FALSE(control.Checked());

    struct Case {
        const char* group;
        int index;
        const char* frame;
        bool enabled;
    } cases[] = {
        {"OPT_VRN_TO_DBC", 1, "FRAME_VRN_TO_DBC_EO", false},
        {"OPT_VRN_TO_DBC", 0, "FRAME_VRN_TO_DBC_EO", true},
        {"OPT_VRN_TO_DBC", 2, "FRAME_VRN_TO_DBC_EO", false},
        {"OPT_VRN_TO_LC", 0, "FRAME_VRN_TO_LC_LEO", true},
        {"OPT_VRN_TO_LC", 0, "FRAME_VRN_TO_LC_LFO", false},
        {"OPT_VRN_TO_LC", 1, "FRAME_VRN_TO_LC_LEO", false},
        {"OPT_VRN_TO_LC", 1, "FRAME_VRN_TO_LC_LFO", true},
        {"OPT_VRN_TO_LC", 2, "FRAME_VRN_TO_LC_LEO", false},
        {"OPT_VRN_TO_LC", 2, "FRAME_VRN_TO_LC_LFO", false},
        {"OPTION_STARTSERVICE", 1, "FRAME_VRN_SSI_S", false},
        {"OPTION_STARTSERVICE", 0, "FRAME_VRN_SSI_S", true},
    };
    for (const Case& c : cases) {
        control.OptionClick(c.group, c.index);
        EXPECT_EQ(control.Option(c.group), c.index);
        EXPECT_EQ(control.Enabled(c.frame), c.enabled) << c.group << " " << c.index;
    }
    control.OptionClick("Notification", 2);  // index 2 is not used
    EXPECT_FALSE(control.Option("Notification").has_value());
    control.OptionClick("OPT_VRN_TO_DBC_EO", 0);
    EXPECT_FALSE(control.Option("OPT_VRN_TO_DBC_EO").has_value());
}

// --- Fill-ins ---

TEST(FillIns, LocalhostIsReplacedForTeskOnlyAndCompanyOnEveryPass) {
    WizardTree tree;
    InstallTesk();
    InstallPlov();
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.SetText("TXT_SERVER", " localhost ");
    control.SetText("TXT_PLOV_SERVER", "localhost");
    control.SetText("TXT_TO", "");
    control.SetText("TXT_CUSTOMER", "Old name");
    ASSERT_EQ(control.Click("BT_UI_SUBMIT").page, 2);
    EXPECT_EQ(control.Text("TXT_SERVER"), "mail.acme.example.com");
    EXPECT_EQ(control.Text("TXT_TO"), "ann@acme.example.com");
    EXPECT_EQ(control.Text("TXT_CUSTOMER"), "Acme Ltd");
    EXPECT_EQ(control.Text("TXT_SYSTEM_NAME"), "norbahost");
    EXPECT_EQ(control.Text("TXT_PHONE_NUMBER"), "555 0100");
    EXPECT_EQ(control.Text("LBL_VRN_CI_COMPANY_NAME"), "Acme Ltd");
    EXPECT_EQ(control.Text("LBL_VRN_CI_CONTACT_NAME"), "Ann Smith");
    EXPECT_EQ(control.Text("LBL_VRN_CI_CONTACT_TELEPHONE"), "555 0100");
    EXPECT_EQ(control.Text("LBL_VRN_CI_CONTACT_EMAIL"), "ann@acme.example.com");
    EXPECT_EQ(control.Text("LBL_VRN_CI_SYSTEM_SERIAL_NUMBER"), "SN-42");

    ASSERT_EQ(control.Click("BTN_CA_CI_SUBMIT").page, 3);
    EXPECT_EQ(control.Text("TXT_PLOV_SERVER"), "localhost") << "kept on the Plov page";

    // Back to page 1, a new company name replaces the customer again; a
    // filled server or recipient stays.
    control.Click("BT_PLOV_BACK");
    control.Click("BTN_CA_CI_BACK");
    control.SetText("TXT_UI_COMPANY_NAME", "  Beta Corp ");
    control.SetText("TXT_UI_SMTP_MAIL_SERVER", "other.example.com");
    control.SetText("TXT_UI_EMAIL", "x@beta.example.com");
    ASSERT_EQ(control.Click("BT_UI_SUBMIT").page, 2);
    EXPECT_EQ(control.Text("TXT_CUSTOMER"), "  Beta Corp ");
    EXPECT_EQ(control.Text("LBL_VRN_CI_COMPANY_NAME"), "Beta Corp");
    EXPECT_EQ(control.Text("TXT_SERVER"), "mail.acme.example.com");
    EXPECT_EQ(control.Text("TXT_TO"), "ann@acme.example.com");
}

TEST(FillIns, ProfilePageGetsContactAndSerialWhenEmpty) {
    WizardTree tree;
    InstallPlov();
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.SetText("TXT_UI_USER_NAME", "  Ann  ");
    ASSERT_EQ(control.Click("BT_UI_SUBMIT").page, 3);
    EXPECT_EQ(control.Text("TXT_PLOV_SERVER"), "mail.acme.example.com");
    EXPECT_EQ(control.Text("TXT_PLOV_TO_EMAIL"), "ann@acme.example.com");
    control.SetText("TXT_SYSTEM_SN", "kept");
    ASSERT_EQ(control.Click("BT_PLOV_NEXT").page, 4);
    EXPECT_EQ(control.Text("TXT_PRIMARY_CONTACT"), "Ann");
    EXPECT_EQ(control.Text("TXT_SYSTEM_SN"), "kept");
}

}  // namespace
}  // namespace wizard
