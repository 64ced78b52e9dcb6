// Tests of the wizard's start-up over fixture trees and registries.
#include <gtest/gtest.h>

#include <string>

#include "wizard/UserControl1.h"
#include "wizard/WizardTestHost.h"

namespace wizard {
namespace {

[[maybe_unused]] const bool kFreshStatePerTest = wizard::testing::FreshStatePerTest();

using namespace wizard::testing;

constexpr char kProfileFixture[] =
    "Last Edit Date:3/7/2026 1:05:09 PM\r\n"
    "Customer: Acme Ltd\r\n"
    "Address:1 Main Street Springfield\r\n"
    "Primary Contact:Ann Smith\r\n"
    "Secondary Contact:Bob Jones\r\n"
    "Phone Number:555 0100\r\n"
    "Special Instructions:Ring twice\r\n"
    "\r\n"
    "\r\n"
    "CONFIGURATION INFORMATION:\r\n"
    "\r\n"
    "System Type:Calvane 9\r\n"
    "SYSTEM:Calvane ( )   Sorrel( )  Model:\r\n"
    "System S/N:SN-77   System Name:calvane1\r\n"
    "System IP address:   Fixed (N) // DHCP Served (Y)\r\n"
    "\r\n"
    "\r\n"
    "<other configuration information>\r\n"
    "Storage:\r\n";

TEST(StartUp, DetectsComponentsAndFillsPageOneFromTheRegistry) {
    WizardTree tree;
    InstallTesk();
    SetText(kNorbaKey, "Name", "Ann Smith");
    SetText(kNorbaKey, "company", "Acme Ltd");
    SetText(kNorbaKey, "System Serial Number", "SN-1");
    TestHost host;
    UserControl1 control(host);
    control.SetText("TXT_UI_PHONE_NUMBER", "typed before");
    Effects effects = control.Show();
    EXPECT_TRUE(effects.messages.empty());
    EXPECT_EQ(effects.page, 1);
    EXPECT_TRUE(control.Visible("FRAME_USER_INFORMATION"));
    EXPECT_TRUE(control.TeskInstalled);
    EXPECT_FALSE(control.PlovInstalled);
    EXPECT_FALSE(control.VrnInstalled);
    EXPECT_EQ(control.InstallRoot, tree.Root());
    EXPECT_EQ(control.ProfileFile, tree.Root() + "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT");
    EXPECT_EQ(control.Text("TXT_UI_USER_NAME"), "Ann Smith");
    EXPECT_EQ(control.Text("TXT_UI_COMPANY_NAME"), "Acme Ltd");
    EXPECT_EQ(control.Text("TXT_UI_SYSTEM_SERIAL_NUMBER"), "SN-1");
    EXPECT_EQ(control.Text("TXT_UI_PHONE_NUMBER"), "") << "a missing value empties its field";
    EXPECT_EQ(control.Text("LBL_FROM_EMAIL"), "tesk@norbahost.sales.example.com");
    EXPECT_EQ(control.Text("BT_PROFILE_NEXT"), "&Finish");

    InstallVrn(tree);
    control.Show();
    EXPECT_TRUE(control.VrnInstalled) << "the Vrn INI file marks the component";
    EXPECT_EQ(control.Text("BT_VRN_TO_NEXT"), "Finish");
}

TEST(StartUp, MissingInstallPathAndHostNameAreReportedAndLeftEmpty) {
    InstallTesk();
    InstallPlov();
    TestHost host;
    host.hostName.reset();
    host.dnsDomain.reset();
    UserControl1 control(host);
    Effects effects = control.Show();
    EXPECT_EQ(effects.messages, (std::vector<MessageBox>{{"TARGETDIR not found", kDefaultTitle},
                                                         {"HOSTNAME not found", kDefaultTitle}}));
    EXPECT_EQ(control.InstallRoot, "");
    EXPECT_EQ(control.HostName, "");
    EXPECT_EQ(control.DnsDomain, kPlaceholderDomain);
    EXPECT_EQ(control.ProfileFile, "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT");
    EXPECT_EQ(control.Text("LBL_FROM_EMAIL"), "tesk@.nodomain.example.com");
    EXPECT_EQ(control.Text("LBL_PLOV_FROM_EMAIL"), "plov@.nodomain.example.com");
    EXPECT_FALSE(control.VrnInstalled);
}

TEST(StartUp, InstallPathGetsOneTrailingSeparator) {
    for (const char* suffix : {"", "/"}) {
        WizardTree tree;
        std::string bare = tree.Root().substr(0, tree.Root().size() - 1);
        SetText(kQimKey, "INSTALLPATH", bare + suffix);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        EXPECT_EQ(control.InstallRoot, tree.Root()) << "stored with '" << suffix << "'";
    }
}

TEST(StartUp, ReadsTheProfileFileWhateverTheCaseOfItsPath) {
    WizardTree tree;
    InstallPlov();
    tree.Write("specific/tavro/config/Profile.txt", kProfileFixture);
    SetText(kNorbaKey, "Notification", "  nOnE ");
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    EXPECT_EQ(control.Text("TXT_CUSTOMER"), "Acme Ltd");
    EXPECT_EQ(control.Text("TXT_ADDRESS"), "1 Main Street Springfield");
    EXPECT_EQ(control.Text("TXT_SYSTEM_TYPE"), "Calvane 9");
    EXPECT_EQ(control.Text("TXT_PRIMARY_CONTACT"), "Ann Smith");
    EXPECT_EQ(control.Text("TXT_SECONDARY_CONTACT"), "Bob Jones");
    EXPECT_EQ(control.Text("TXT_PHONE_NUMBER"), "555 0100");
    EXPECT_EQ(control.Text("TXT_SPECIAL_INSTRUCTION"), "Ring twice");
    EXPECT_EQ(control.Text("TXT_SYSTEM_SN"), "SN-77");
    EXPECT_EQ(control.Text("TXT_SYSTEM_NAME"), "calvane1");
    EXPECT_EQ(control.Option("OPTION_IP"), 1);
    EXPECT_EQ(control.Option("Notification"), 3);
    EXPECT_FALSE(control.Visible("Notification(0)")) << "no JEXLink key";
    EXPECT_EQ(control.Text("LBL_PLOV_FROM_EMAIL"), "plov@norbahost.sales.example.com");
}

TEST(StartUp, ProfileLinesOfEveryShape) {
    struct Case {
        const char* name;
        std::string serialLine;
        std::string ipLine;
        const char* serial;
        const char* systemName;
        std::optional<int> ip;
    } cases[] = {
        {"empty serial and name", "System S/N:   System Name:",
         "System IP address:   Fixed (Y) // DHCP Served (N)", "", "norbahost", 0},
        {"blanks round the IP line", "System S/N:X   System Name:n",
         "   System IP address:   Fixed (N) // DHCP Served (Y)  ", "X", "n", 1},
        {"IP line not exact", "System S/N:X   System Name:n",
         "System IP address: Fixed (Y) // DHCP Served (N)", "X", "n", std::nullopt},
        {"empty brackets", "System S/N:X   System Name:n",
         "System IP address:   Fixed () // DHCP Served ()", "X", "n", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallTesk();
        std::string text = kProfileFixture;
        text.replace(text.find("System S/N:"),
                     std::string("System S/N:SN-77   System Name:calvane1").size(), c.serialLine);
        size_t ip = text.find("System IP address:");
        text.replace(ip, text.find("\r\n", ip) - ip, c.ipLine);
        tree.Write("specific/tavro/config/PROFILE.TXT", text);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        EXPECT_EQ(control.Text("TXT_SYSTEM_SN"), c.serial);
        EXPECT_EQ(control.Text("TXT_SYSTEM_NAME"), c.systemName);
        EXPECT_EQ(control.Option("OPTION_IP"), c.ip);
    }
}

TEST(StartUp, NotificationChoiceFromTheRegistry) {
    struct Case {
        const char* stored;  // nullptr: no value
        bool kelvo;
        bool jexlink;
        std::optional<int> option;
        bool frameVisible;
        bool tazelVisible;
    } cases[] = {
        {nullptr, false, true, 1, true, true},   {"Tazel", false, true, 0, true, true},
        {"tazel", false, false, 0, true, false}, {"Mervo", false, true, 1, true, true},
        {"nOnE", false, true, 3, true, true},    {"NONSENSE", false, true, 3, true, true},
        {"other", false, true, 1, true, true},   {"Tazel", true, true, std::nullopt, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        WizardTree tree;
        InstallTesk();
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNorbaKey, 0, KEY_ALL_ACCESS, &key) == 0) {
            RegDeleteValueA(key, "Notification");
            RegCloseKey(key);
        }
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zenmark\\Kelvo");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrandia\\JEXlink");
        if (c.stored) SetText(kNorbaKey, "Notification", c.stored);
        if (c.kelvo) SetText("SOFTWARE\\Zenmark\\Kelvo", "ClientInstalled", "1");
        if (c.jexlink) SetText("SOFTWARE\\Ferrandia\\JEXlink", "Default", "");
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        EXPECT_EQ(control.Option("Notification"), c.option);
        EXPECT_EQ(control.Visible("Frame_CA_ZUMI_Notification"), c.frameVisible);
        EXPECT_EQ(control.Visible("Notification(0)"), c.tazelVisible);
    }
}

TEST(StartUp, NotificationFilesGiveServerSenderAndRecipient) {
    WizardTree tree;
    InstallTesk();
    InstallPlov();
    std::string notify;
    for (int i = 1; i <= 11; ++i) notify += "# line " + std::to_string(i) + "\r\n";
    notify += "SERVER= mail.example.com \r\nFROM=   \r\nTO=ops@example.com\r\nSUBJECT=\r\n";
    tree.Write("specific/tavro/config/NotifyCA.txt", notify);
    tree.Write("specific/tavro/config/plovnotify.TXT",
               "#NOTIFY.TXT\nSERVER=plovmail\nFROM=me@plov.example.com\nTO=you@example.com\n");
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    EXPECT_EQ(control.Text("TXT_SERVER"), "mail.example.com");
    EXPECT_EQ(control.Text("LBL_FROM_EMAIL"), "tesk@norbahost.sales.example.com");
    EXPECT_EQ(control.Text("TXT_TO"), "ops@example.com");
    EXPECT_EQ(control.Text("TXT_PLOV_SERVER"), "plovmail");
    EXPECT_EQ(control.Text("LBL_PLOV_FROM_EMAIL"), "me@plov.example.com");
    EXPECT_EQ(control.Text("TXT_PLOV_TO_EMAIL"), "you@example.com");
}

TEST(StartUp, NeitherTeskNorPlovLeavesTheProfileUnread) {
    WizardTree tree;
    tree.Write("specific/tavro/config/PROFILE.TXT", kProfileFixture);
    SetText(kNorbaKey, "Notification", "Tazel");
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    EXPECT_EQ(control.Text("TXT_CUSTOMER"), "");
    EXPECT_FALSE(control.Option("Notification").has_value());
}

TEST(StartUp, VrnIniFilesFillTheVrnPages) {
    WizardTree tree;
    InstallVrn(tree,
               "; written by the Vrn installer\r\n"
               "[Configuration]\r\n"
               "MaxArchives= 7 \r\n"
               "StartService=no\r\n"
               "TransportOption=ftp\r\n"
               "SMTPServer= smtp:25 \r\n"
               "SMTPEmail=a@b.c\r\n"
               "EmailOption=mapi\r\n"
               "LocalTransportOption=Email\r\n"
               "LocalEmailAddress=dest@example.com\r\n"
               "LocalFTPLogin=login\r\n"
               "LocalFTPAddress=ftp.example.com\r\n"
               "LocalFTPPassword=secret\r\n"
               "LocalFTPUploadDir=/up\r\n"
               "LocalSMTPServer=local:25\r\n"
               "LocalSMTPEmail=l@example.com\r\n"
               "LocalEmailOption=SMTP\r\n"
               "Frequency=Fortnightly\r\n"
               "DayOfWeek= 3 \r\n"
               "DayOfMonth=15\r\n"
               "Time=02:30:00\r\n"
               "CollectAtReboot=yes\r\n");
    tree.Write("common/vrn/CUSTOMER_INFO.ini",
               "[Customer]\nTAMName=Tam Lee\nTAMEmail=tam@example.com\nCustomerAccessID=C-9\n");
    ShownWizard wizard;
    UserControl1& control = wizard.control;
    const std::pair<const char*, const char*> texts[] = {
        {"TXT_VRN_CI_TAM_NAME", "Tam Lee"},
        {"TXT_VRN_CI_TAM_EMAIL", "tam@example.com"},
        {"TXT_VRN_CI_CUSTOMER_ACCESS_ID", "C-9"},
        {"TXT_VRN_TO_DBC_MAX_ARCHIVE", "7"},
        {"TXT_VRN_TO_DBC_EO_SERVER", "smtp:25"},
        {"TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", "a@b.c"},
        {"TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", "dest@example.com"},
        {"TXT_VRN_TO_LC_LFO_FTP_LOGIN", "login"},
        {"TXT_PTR_855", "ftp.example.com"},
        {"TXT_VRN_TO_LC_LFO_FTP_PASSWORD", "secret"},
        {"TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "/up"},
        {"TXT_VRN_TO_LC_LEO_SERVER", "local:25"},
        {"TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", "l@example.com"},
        {"Combo_VRN_SSI_S_FREQUENCY", "Fortnightly"},
        {"Combo_VRN_SSI_S_DAY_WEEK", "Wednesday"},
        {"TXT_VRN_SSI_S_DAY_MONTH", "15"},
        {"TXT_VRN_SSI_S_TIME", "02:30:00"},
        {"LIST_VRN_SSI_SERVICE_ACCOUNT", "System"},
    };
    for (const auto& [field, text] : texts) EXPECT_EQ(control.Text(field), text) << field;
    EXPECT_EQ(control.Option("OPTION_STARTSERVICE"), 1);
    EXPECT_EQ(control.Option("OPT_VRN_TO_DBC"), 1);
    EXPECT_EQ(control.Option("OPT_VRN_TO_DBC_EO"), 3);
    EXPECT_EQ(control.Option("OPT_VRN_TO_LC"), 0);
    EXPECT_EQ(control.Option("OPT_VRN_TO_LC_LEO"), 0);
    EXPECT_TRUE(control.Checked());
}

TEST(StartUp, VrnDayOfWeekAndCodes) {
    struct Case {
        const char* day;
        const char* shown;
        const char* startService;
        int startIndex;
    } cases[] = {
        {"0", "", "", 0},           {"7", "Sunday", "YES", 0},
        {"1.4", "Monday", "No", 1}, {"2.5", "Tuesday", "nope", 1},
        {"Monday", "", "x", 0},     {"8", "typed", "", 0},
        {"-1", "typed", "", 0},     {"1e99", "typed", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.day);
        WizardTree tree;
        InstallVrn(tree, std::string("[Configuration]\nDayOfWeek=") + c.day +
                             "\nStartService=" + c.startService + "\n");
        TestHost host;
        UserControl1 control(host);
        control.SetText("Combo_VRN_SSI_S_DAY_WEEK", "typed");
        control.Show();
        EXPECT_EQ(control.Text("Combo_VRN_SSI_S_DAY_WEEK"), c.shown);
        EXPECT_EQ(control.Option("OPTION_STARTSERVICE"), c.startIndex);
        EXPECT_FALSE(control.Checked());
    }
}

TEST(StartUp, ForeignSettingsFilesFillWhatTheyCan) {
    const char nul[] = "\0\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\nSERVER=s\0x\nFROM=\nTO=t\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::string server;
        std::string to;
    } cases[] = {
        {"no line ends", "SERVER=x", "", ""},
        {"short file", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\nSERVER=s\n", "s", ""},
        {"commas shift the items", "a,b\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\nSERVER=s\nFROM=f\nTO=t\n",
         "", "f"},
        {"NUL bytes", std::string(nul, sizeof nul - 1), std::string("s\0x", 3), "t"},
        {"Windows-1252", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\nSERVER=M\xFCller\nFROM=\nTO=t\n",
         "M\xC3\xBCller", "t"},
        {"huge line", std::string(2 * 1024 * 1024, 'x'), "", ""},
        {"quotes", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n\"SERVER=q, r\"\nFROM=\nTO=t\n", "q, r",
         "t"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WizardTree tree;
        InstallTesk();
        tree.Write("specific/tavro/config/NOTIFYCA.TXT", c.bytes);
        ShownWizard wizard;
        UserControl1& control = wizard.control;
        EXPECT_EQ(control.Text("TXT_SERVER"), c.server);
        EXPECT_EQ(control.Text("TXT_TO"), c.to);
    }
}

}  // namespace
}  // namespace wizard
