// Tests of what the wizard writes: golden settings files, the Vrn INI file, registry values,
// failures, round trip.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "wizard/UserControl1.h"
#include "wizard/WizardTestHost.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

[[maybe_unused]] const bool kFreshStatePerTest = wizard::testing::FreshStatePerTest();

using namespace wizard::testing;

void Empty(UserControl1& control, std::initializer_list<const char*> fields) {
    for (const char* field : fields) control.SetText(field, "");
}

using Values = std::map<std::string, std::string>;

// The whole road with every component installed: the files against the
// golden ones, and the eleven registry values after each button.
TEST(Writers, FilledFormMatchesTheGoldenFilesAndRegistry) {
    WizardTree tree;
    InstallEverything(tree);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    ASSERT_EQ(control.Click("BT_UI_SUBMIT").page, 2);
    Values expected = {
        {"SOFTWARE\\ZM\\vantrix\\norba\\Name", "Ann Smith"},
        {"SOFTWARE\\ZM\\vantrix\\norba\\Company", "Acme Ltd"},
        {"SOFTWARE\\ZM\\vantrix\\norba\\Phone", "555 0100"},
        {"SOFTWARE\\ZM\\vantrix\\norba\\Email", "ann@acme.example.com"},
        {"SOFTWARE\\ZM\\vantrix\\norba\\MailServer", "mail.acme.example.com"},
        {"SOFTWARE\\ZM\\vantrix\\norba\\System Serial Number", "SN-42"},
    };
    EXPECT_EQ(WrittenValues(), expected);

    control.SetText("TXT_TO", "ops@acme.example.com");
    ASSERT_EQ(control.Click("BTN_CA_CI_SUBMIT").page, 3);
    EXPECT_EQ(tree.Read("specific/tavro/config/NOTIFYCA.TXT"), Golden("NOTIFYCA.filled.TXT"));
    expected["SOFTWARE\\ZM\\vantrix\\TESK\\Email"] = "ops@acme.example.com";
    EXPECT_EQ(WrittenValues(), expected);

    control.SetText("TXT_PLOV_SERVER", "plov.acme.example.com");
    control.SetText("TXT_PLOV_TO_EMAIL", " plov@acme.example.com");
    ASSERT_EQ(control.Click("BT_PLOV_NEXT").page, 4);
    std::string plov = Golden("PLOVNotify.filled.TXT");
    plov.replace(plov.find("TO=") + 3, 0, " ");  // written as typed
    EXPECT_EQ(tree.Read("specific/tavro/config/PLOVNotify.TXT"), plov);
    expected["SOFTWARE\\ZM\\vantrix\\PLOV\\Email"] = "plov@acme.example.com";
    EXPECT_EQ(WrittenValues(), expected);

    control.SetText("TXT_ADDRESS", "1 Main Street Springfield");
    control.SetText("TXT_SECONDARY_CONTACT", "Bob Jones");
    control.SetText("TXT_SPECIAL_INSTRUCTION", "Ring twice");
    control.SetText("TXT_SYSTEM_TYPE", "Calvane 9");
    control.SetText("TXT_SYSTEM_NAME", "calvane1");
    control.SetText("TXT_PRIMARY_CONTACT", "Ann Smith");
    control.OptionClick("OPTION_IP", 0);
    control.OptionClick("Notification", 0);
    ASSERT_EQ(control.Click("BT_PROFILE_NEXT").page, 5);
    EXPECT_EQ(tree.Read("specific/tavro/config/PROFILE.TXT"), Golden("PROFILE.filled.TXT"));
    expected["SOFTWARE\\ZM\\vantrix\\norba\\Notification"] = "Tazel";
    EXPECT_EQ(WrittenValues(), expected);

    control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-1");
    ASSERT_EQ(control.Click("BT_VRN_CI_NEXT").page, 6);
    control.OptionClick("OPT_VRN_TO_DBC", 0);
    control.OptionClick("OPT_VRN_TO_DBC_EO", 4);
    control.SetText("TXT_VRN_TO_DBC_MAX_ARCHIVE", "12");
    control.SetText("TXT_VRN_TO_DBC_EO_SERVER", "smtp.acme.example.com:25");
    control.SetText("TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", "vrn@acme.example.com");
    control.OptionClick("OPT_VRN_TO_LC", 1);
    control.OptionClick("OPT_VRN_TO_LC_LEO", 1);
    control.SetText("TXT_PTR_855", "ftp.acme.example.com");
    control.SetText("TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "/upload");
    control.SetText("TXT_VRN_TO_LC_LFO_FTP_LOGIN", "ftpuser");
    control.SetText("TXT_VRN_TO_LC_LFO_FTP_PASSWORD", "p a ss");
    ASSERT_EQ(control.Click("BT_TO_NEXT").page, 7);
    EXPECT_EQ(WrittenValues(), expected);
    control.OptionClick("OPTION_STARTSERVICE", 0);
    control.SetText("Combo_VRN_SSI_S_FREQUENCY", "Weekly");
    control.SetText("Combo_VRN_SSI_S_DAY_WEEK", " friday ");
    control.SetText("TXT_VRN_SSI_S_DAY_MONTH", "1");
    control.SetText("TXT_VRN_SSI_S_TIME", "02:30:00");
    control.SetChecked(true);
    Effects effects = control.Click("BT_VRN_TO_NEXT");
    EXPECT_TRUE(effects.messages.empty());
    EXPECT_EQ(effects.page, 9);
    EXPECT_EQ(tree.Read("common/vrn/vrn_config.INI"), Golden("vrn_config.filled.INI"));
    expected["SOFTWARE\\Pelmar\\vantrix\\VRN\\CollectAtReboot"] = "YES";
    expected["SOFTWARE\\Pelmar\\vantrix\\VRN\\StartService"] = "YES";
    EXPECT_EQ(WrittenValues(), expected);
}

TEST(Writers, EmptyFormWritesEveryLineAndLabel) {
    WizardTree tree;
    InstallEverything(tree);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.Click("BT_UI_SUBMIT");
    Empty(control, {"TXT_SERVER", "LBL_FROM_EMAIL", "TXT_TO"});
    ASSERT_EQ(control.Click("BTN_CA_CI_SUBMIT").page, 3);
    EXPECT_EQ(tree.Read("specific/tavro/config/NOTIFYCA.TXT"), Golden("NOTIFYCA.empty.TXT"));
    EXPECT_EQ(GetText("SOFTWARE\\ZM\\vantrix\\TESK", "Email"), "");
    Empty(control, {"TXT_PLOV_SERVER", "LBL_PLOV_FROM_EMAIL", "TXT_PLOV_TO_EMAIL"});
    ASSERT_EQ(control.Click("BT_PLOV_NEXT").page, 4);
    EXPECT_EQ(tree.Read("specific/tavro/config/PLOVNotify.TXT"), Golden("PLOVNotify.empty.TXT"));
    Empty(control, {"TXT_CUSTOMER", "TXT_ADDRESS", "TXT_PRIMARY_CONTACT", "TXT_SECONDARY_CONTACT",
                    "TXT_PHONE_NUMBER", "TXT_SPECIAL_INSTRUCTION", "TXT_SYSTEM_TYPE",
                    "TXT_SYSTEM_SN", "TXT_SYSTEM_NAME"});
    control.OptionClick("Notification", 3);
    ASSERT_EQ(control.Click("BT_PROFILE_NEXT").page, 5);
    EXPECT_EQ(tree.Read("specific/tavro/config/PROFILE.TXT"), Golden("PROFILE.empty.TXT"));
    EXPECT_EQ(GetText(kNorbaKey, "Notification"), "NONE");
    control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-1");
    control.Click("BT_VRN_CI_NEXT");
    EXPECT_EQ(control.Text("TXT_VRN_TO_DBC_MAX_ARCHIVE"), "9") << "read at start-up";
    Empty(control, {"TXT_VRN_TO_DBC_MAX_ARCHIVE"});
    control.Click("BT_TO_NEXT");
    control.OptionClick("OPTION_STARTSERVICE", 1);
    control.SetText("Combo_VRN_SSI_S_DAY_WEEK", "Fri");
    ASSERT_EQ(control.Click("BT_VRN_TO_NEXT").page, 9);
    EXPECT_EQ(tree.Read("common/vrn/vrn_config.INI"), Golden("vrn_config.empty.INI"));
    EXPECT_EQ(GetText("SOFTWARE\\Pelmar\\vantrix\\VRN", "CollectAtReboot"), "NO");
    EXPECT_EQ(GetText("SOFTWARE\\Pelmar\\vantrix\\VRN", "StartService"), "NO");
}

TEST(Writers, NoNotificationOptionStoresNone) {
    WizardTree tree;
    InstallTesk();
    SetText("SOFTWARE\\Zenmark\\Kelvo", "ClientInstalled", "1");
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.Click("BT_UI_SUBMIT");
    control.Click("BTN_CA_CI_SUBMIT");
    ASSERT_EQ(control.Click("BT_PROFILE_NEXT").page, 9);
    EXPECT_EQ(GetText(kNorbaKey, "Notification"), "NONE");
    EXPECT_EQ(control.Text("BT_PROFILE_NEXT"), "&Finish");
}

TEST(Writers, VrnValuesOnlyWhenTheIniExists) {
    WizardTree tree;
    InstallVrn(tree);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-1");
    control.Click("BT_UI_SUBMIT");
    control.Click("BT_VRN_CI_NEXT");
    control.Click("BT_TO_NEXT");
    std::filesystem::remove(tree.Path("common/vrn/vrn_config.INI"));
    Effects effects = control.Click("BT_VRN_TO_NEXT");
    EXPECT_TRUE(effects.messages.empty());
    EXPECT_EQ(effects.page, 9);
    EXPECT_FALSE(std::filesystem::exists(tree.Path("common/vrn/vrn_config.INI")));
    EXPECT_EQ(WrittenValues().count("SOFTWARE\\Pelmar\\vantrix\\VRN\\StartService"), 0u);
}

TEST(Writers, UnwritableFileKeepsThePageAndSkipsItsValue) {
    struct Case {
        const char* name;
        const char* button;
        std::function<void(const WizardTree&)> spoil;
        const char* relative;
        const char* error;
        int page;
    } cases[] = {
        {"profile directory missing", "BT_PROFILE_NEXT",
         [](const WizardTree& t) { std::filesystem::remove_all(t.Path("specific/tavro/config")); },
         "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT", "The path does not exist.", 4},
        {"a directory in the file's place", "BT_PROFILE_NEXT",
         [](const WizardTree& t) {
             std::filesystem::create_directories(t.Path("specific/tavro/config/PROFILE.TXT"));
         },
         "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT", "Access is denied.", 4},
        {"a link in the file's place", "BT_PROFILE_NEXT",
         [](const WizardTree& t) {
             std::filesystem::create_symlink(t.Path("elsewhere"),
                                             t.Path("specific/tavro/config/PROFILE.TXT"));
         },
         "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT", "Access is denied.", 4},
        {"Vrn INI turned into a link", "BT_VRN_TO_NEXT",
         [](const WizardTree& t) {
             std::filesystem::remove(t.Path("common/vrn/vrn_config.INI"));
             t.Write("elsewhere.ini", "[Configuration]\r\n");
             std::filesystem::create_symlink(t.Path("elsewhere.ini"),
                                             t.Path("common/vrn/vrn_config.INI"));
         },
         "COMMON/VRN/vrn_config.INI", "Access is denied.", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallTesk();
        InstallVrn(tree);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        FillPageOne(control);
        control.Click("BT_UI_SUBMIT");
        control.Click("BTN_CA_CI_SUBMIT");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Pelmar\\vantrix\\VRN");
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNorbaKey, 0, KEY_ALL_ACCESS, &key);
        RegDeleteValueA(key, "Notification");
        RegCloseKey(key);
        if (std::string(c.button) == "BT_VRN_TO_NEXT") {
            control.Click("BT_PROFILE_NEXT");
            control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-1");
            control.Click("BT_VRN_CI_NEXT");
            control.Click("BT_TO_NEXT");
        }
        c.spoil(tree);
        Values before = WrittenValues();
        Effects effects = control.Click(c.button);
        EXPECT_EQ(effects.messages,
                  (std::vector<MessageBox>{
                      {tree.Root() + c.relative + ": " + c.error, kInformationTitle}}));
        EXPECT_EQ(effects.page, c.page);
        EXPECT_EQ(WrittenValues(), before);
        EXPECT_FALSE(std::filesystem::exists(tree.Path("elsewhere")));
        if (std::filesystem::exists(tree.Path("elsewhere.ini"))) {
            EXPECT_EQ(tree.Read("elsewhere.ini"), "[Configuration]\r\n");
        }
    }
}

TEST(Writers, WithoutInstallPathNothingLandsInTheCurrentDirectory) {
    TempDir cwd;
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(cwd.Path());
    InstallTesk();
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    FillPageOne(control);
    control.Click("BT_UI_SUBMIT");
    Effects effects = control.Click("BTN_CA_CI_SUBMIT");
    EXPECT_EQ(
        effects.messages,
        (std::vector<MessageBox>{
            {"SPECIFIC/TAVRO/CONFIG/NOTIFYCA.TXT: The path does not exist.", kInformationTitle}}));
    EXPECT_EQ(effects.page, 2);
    EXPECT_FALSE(GetText("SOFTWARE\\ZM\\vantrix\\TESK", "Email").has_value());
    control.ShowServiceObligationPage();
    effects = control.Click("BT_SO_LAUNCH_SERVICE_OBLIGATION");
    EXPECT_EQ(effects.messages,
              (std::vector<MessageBox>{{"COMMON/BIN/TAVRO.BAT not found", kDefaultTitle}}));
    EXPECT_EQ(effects.page, 9);
    EXPECT_TRUE(std::filesystem::is_empty(cwd.Path()));
    std::filesystem::current_path(old);
}

TEST(Writers, MissingServiceScriptNamesThePathTested) {
    WizardTree tree;
    InstallVrn(tree);
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    ASSERT_EQ(control.ShowServiceObligationPage().page, 8);
    Effects effects = control.Click("BT_SO_LAUNCH_SERVICE_OBLIGATION");
    EXPECT_EQ(
        effects.messages,
        (std::vector<MessageBox>{{tree.Root() + "COMMON/BIN/TAVRO.BAT not found", kDefaultTitle}}));
    EXPECT_EQ(effects.page, 5);
}

// Random texts without comma, quote or blanks at their ends, some of them
// not ASCII.
std::string RandomText(std::mt19937& random) {
    static const std::string kPieces[] = {
        "a",   "b", "Z", "7", " ", "-", ".", "@", "=", ":", "/", "\xC3\xBC", "\xE2\x82\xAC",
        "x y", "(", ")", "#"};
    std::uniform_int_distribution<size_t> length(1, 12);
    std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1);
    std::string text;
    for (size_t n = length(random); n > 0; --n) text += kPieces[piece(random)];
    std::string trimmed = Trim(text);
    return trimmed.empty() ? "k" : trimmed;
}

TEST(Writers, WhatIsStoredReadsBackIntoTheSameFields) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        WizardTree tree;
        InstallTesk();
        InstallPlov();
        InstallVrn(tree);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        std::map<std::string, std::string> typed;
        auto type = [&](const char* field) {
            std::string text = RandomText(random);
            ASSERT_TRUE(control.SetText(field, text));
            typed[field] = text;
        };
        for (const char* f :
             {"TXT_UI_USER_NAME", "TXT_UI_COMPANY_NAME", "TXT_UI_PHONE_NUMBER", "TXT_UI_EMAIL",
              "TXT_UI_SMTP_MAIL_SERVER", "TXT_UI_SYSTEM_SERIAL_NUMBER"})
            type(f);
        control.Click("BT_UI_SUBMIT");
        for (const char* f : {"TXT_SERVER", "LBL_FROM_EMAIL", "TXT_TO"}) type(f);
        control.Click("BTN_CA_CI_SUBMIT");
        for (const char* f : {"TXT_PLOV_SERVER", "LBL_PLOV_FROM_EMAIL", "TXT_PLOV_TO_EMAIL"})
            type(f);
        control.Click("BT_PLOV_NEXT");
        for (const char* f :
             {"TXT_CUSTOMER", "TXT_ADDRESS", "TXT_PRIMARY_CONTACT", "TXT_SECONDARY_CONTACT",
              "TXT_PHONE_NUMBER", "TXT_SPECIAL_INSTRUCTION", "TXT_SYSTEM_TYPE", "TXT_SYSTEM_SN",
              "TXT_SYSTEM_NAME"})
            type(f);
        int ip = round % 2;
        int notification = std::array{0, 1, 3}[static_cast<size_t>(round % 3)];
        control.OptionClick("OPTION_IP", ip);
        control.OptionClick("Notification", notification);
        ASSERT_EQ(control.Click("BT_PROFILE_NEXT").page, 5);
        control.SetText("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C");
        control.Click("BT_VRN_CI_NEXT");
        for (const char* f : {"TXT_VRN_TO_DBC_EO_SERVER", "TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS",
                              "TXT_VRN_TO_LC_LEO_SERVER", "TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS",
                              "TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", "TXT_PTR_855",
                              "TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "TXT_VRN_TO_LC_LFO_FTP_LOGIN",
                              "TXT_VRN_TO_LC_LFO_FTP_PASSWORD"})
            type(f);
        control.SetText("TXT_VRN_TO_DBC_MAX_ARCHIVE", std::to_string(round * 7));
        typed["TXT_VRN_TO_DBC_MAX_ARCHIVE"] = std::to_string(round * 7);
        const int dbc = round % 3, eo = 3 + round % 2, lc = (round + 1) % 3, leo = round % 2;
        control.OptionClick("OPT_VRN_TO_DBC", dbc);
        control.OptionClick("OPT_VRN_TO_DBC_EO", eo);
        control.OptionClick("OPT_VRN_TO_LC", lc);
        control.OptionClick("OPT_VRN_TO_LC_LEO", leo);
        ASSERT_EQ(control.Click("BT_TO_NEXT").page, 7);
        for (const char* f :
             {"Combo_VRN_SSI_S_FREQUENCY", "TXT_VRN_SSI_S_DAY_MONTH", "TXT_VRN_SSI_S_TIME"})
            type(f);
        static const char* const kDays[] = {"",         "Monday", "Tuesday",  "Wednesday",
                                            "Thursday", "Friday", "Saturday", "Sunday"};
        control.SetText("Combo_VRN_SSI_S_DAY_WEEK", kDays[round + 1]);
        typed["Combo_VRN_SSI_S_DAY_WEEK"] = kDays[round + 1];
        control.OptionClick("OPTION_STARTSERVICE", round % 2);
        control.SetChecked(round % 2 == 0);
        ASSERT_EQ(control.Click("BT_VRN_TO_NEXT").page, 9);

        UserControl1 fresh(wizard.host);
        fresh.Show();
        for (const auto& [field, text] : typed) EXPECT_EQ(fresh.Text(field), text) << field;
        EXPECT_EQ(fresh.Option("OPTION_IP"), ip);
        EXPECT_EQ(fresh.Option("Notification"), notification);
        EXPECT_EQ(fresh.Option("OPT_VRN_TO_DBC"), dbc);
        EXPECT_EQ(fresh.Option("OPT_VRN_TO_DBC_EO"), eo);
        EXPECT_EQ(fresh.Option("OPT_VRN_TO_LC"), lc);
        EXPECT_EQ(fresh.Option("OPT_VRN_TO_LC_LEO"), leo);
        EXPECT_EQ(fresh.Option("OPTION_STARTSERVICE"), round % 2);
        EXPECT_EQ(fresh.Checked(), round % 2 == 0);
    }
}

}  // namespace
}  // namespace wizard
