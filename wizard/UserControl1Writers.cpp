// The wizard control's buttons that store settings: registry values, settings files, the Vrn INI
// file, the service installation.
#include "platform/winerror.h"
#include "wizard/UserControl1.h"
#include "wizard/WizardKeys.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

constexpr char kLineEnd[] = "\r\n";

// Where collected Vrn data goes back to the maker's support centre.
constexpr char kSupportEmail[] = "vrn-data@support.pelmar.example.com";
constexpr char kSupportFtp[] = "ftp.support.pelmar.example.com";

std::string ErrorText(DWORD code) {
    const char* text = platform::Win32ErrorText(code);
    return text ? text : "Error " + std::to_string(code) + ".";
}

}  // namespace

bool UserControl1::WriteSettingsFile(const char* relative, const std::string& path,
                                     const std::vector<std::string>& lines, Effects& effects) {
    // Without an install path nothing may land in the current directory.
    DWORD rc = ERROR_PATH_NOT_FOUND;
    if (!InstallRoot.empty()) {
        std::string bytes;
        for (const std::string& line : lines) bytes += line + kLineEnd;
        rc = host_.WriteFile(InstallRoot, relative, bytes);
    }
    if (rc == ERROR_SUCCESS) return true;
    effects.messages.push_back({path + ": " + ErrorText(rc), kInformationTitle});
    return false;
}

bool UserControl1::IniSetValue(const std::string& key, const std::string& value, Effects& effects) {
    std::string stored = Trim(value).empty() ? " " : value;
    DWORD rc = host_.WriteProfileString(InstallRoot, IniFile, IniSection, key, stored);
    if (rc == ERROR_SUCCESS) return true;
    effects.messages.push_back({VrnConfigIni + ": " + ErrorText(rc), kInformationTitle});
    return false;
}

void UserControl1::BT_UI_SUBMIT_Click(Effects& effects) {
    if (!Require("TXT_UI_USER_NAME", "Please enter the User Name", effects) ||
        !Require("TXT_UI_COMPANY_NAME", "Please enter the Company Name", effects) ||
        !Require("TXT_UI_EMAIL", "Please enter the Email Address", effects) ||
        !Require("TXT_UI_SYSTEM_SERIAL_NUMBER", "Please enter the system Serial Number", effects) ||
        !Require("TXT_UI_PHONE_NUMBER", "Please enter the phone number", effects))
        return;
    for (const auto& [name, field] : kPageOneValues)
        RegSetValue(kHkeyLocalMachine, kNorbaKey, name, Trim(Text(field)));

    TextRef("TXT_CUSTOMER") = Text("TXT_UI_COMPANY_NAME");
    if (Trim(Text("TXT_SYSTEM_NAME")).empty()) TextRef("TXT_SYSTEM_NAME") = HostName;
    TextRef("LBL_VRN_CI_COMPANY_NAME") = Trim(Text("TXT_UI_COMPANY_NAME"));
    TextRef("LBL_VRN_CI_CONTACT_NAME") = Trim(Text("TXT_UI_USER_NAME"));
    TextRef("LBL_VRN_CI_CONTACT_TELEPHONE") = Trim(Text("TXT_UI_PHONE_NUMBER"));
    TextRef("LBL_VRN_CI_CONTACT_EMAIL") = Trim(Text("TXT_UI_EMAIL"));
    TextRef("LBL_VRN_CI_SYSTEM_SERIAL_NUMBER") = Trim(Text("TXT_UI_SYSTEM_SERIAL_NUMBER"));

    if (TeskInstalled || PlovInstalled) {
        if (Trim(Text("TXT_PHONE_NUMBER")).empty())
            TextRef("TXT_PHONE_NUMBER") = Text("TXT_UI_PHONE_NUMBER");
    }
    if (TeskInstalled) {
        std::string server = Trim(Text("TXT_SERVER"));
        if (server.empty() || server == "localhost")
            TextRef("TXT_SERVER") = Text("TXT_UI_SMTP_MAIL_SERVER");
        if (Trim(Text("TXT_TO")).empty()) TextRef("TXT_TO") = Text("TXT_UI_EMAIL");
        ShowPage(2);
    } else if (PlovInstalled) {
        if (Trim(Text("TXT_PLOV_SERVER")).empty())
            TextRef("TXT_PLOV_SERVER") = Text("TXT_UI_SMTP_MAIL_SERVER");
        if (Trim(Text("TXT_PLOV_TO_EMAIL")).empty())
            TextRef("TXT_PLOV_TO_EMAIL") = Text("TXT_UI_EMAIL");
        ShowPage(3);
    } else {
        ShowPage(VrnInstalled ? 5 : 9);
    }
}

void UserControl1::BTN_CA_CI_SUBMIT_Click(Effects& effects) {
    const std::vector<std::string> lines = {
        "# NotifyCA.txt",
        "#",
        "# SMTP Sample Notification Setup for Ostrel",
        "# Replace SERVER 'localhost' with a machine name if the local host",
        "# does not have an SMTP server.",
        "#",
        "# Example:",
        "# Server=mailhost.sales.example.com  (inside the same domain the machine name alone will "
        "do)",
        "# From=tesk@server1.sales.example.com",
        "# To=operator@sales.example.com",
        "#",
        "SERVER=" + Text("TXT_SERVER"),
        "FROM=" + Text("LBL_FROM_EMAIL"),
        "TO=" + Text("TXT_TO"),
        "SUBJECT=",
    };
    if (!WriteSettingsFile(kNotifyCaFile, NotifyCaFile, lines, effects)) return;
    RegSetValue(kHkeyLocalMachine, "SOFTWARE\\ZM\\vantrix\\TESK", "Email", Trim(Text("TXT_TO")));
    if (PlovInstalled) {
        if (Trim(Text("TXT_PLOV_SERVER")).empty())
            TextRef("TXT_PLOV_SERVER") = Text("TXT_UI_SMTP_MAIL_SERVER");
        if (Trim(Text("TXT_PLOV_TO_EMAIL")).empty())
            TextRef("TXT_PLOV_TO_EMAIL") = Text("TXT_UI_EMAIL");
        ShowPage(3);
        return;
    }
    FillProfilePage();
    ShowPage(4);
}

void UserControl1::BT_PLOV_NEXT_Click(Effects& effects) {
    const std::vector<std::string> lines = {
        "#NOTIFY.TXT: configuration for email",
        "SERVER=" + Text("TXT_PLOV_SERVER"),
        "FROM=" + Text("LBL_PLOV_FROM_EMAIL"),
        "TO=" + Text("TXT_PLOV_TO_EMAIL"),
        "SUBJECT=",
    };
    if (!WriteSettingsFile(kPlovNotifyFile, PlovNotifyFile, lines, effects)) return;
    RegSetValue(kHkeyLocalMachine, "SOFTWARE\\ZM\\vantrix\\PLOV", "Email",
                Trim(Text("TXT_PLOV_TO_EMAIL")));
    FillProfilePage();
    ShowPage(4);
}

void UserControl1::BT_PROFILE_NEXT_Click(Effects& effects) {
    const char* ip = "System IP address:   Fixed () // DHCP Served ()";
    if (Selected("OPTION_IP", 0)) {
        ip = "System IP address:   Fixed (Y) // DHCP Served (N)";
    } else if (Selected("OPTION_IP", 1)) {
        ip = "System IP address:   Fixed (N) // DHCP Served (Y)";
    }
    const std::vector<std::string> lines = {
        "Last Edit Date:" + GeneralDate(host_.LocalNow()),
        "Customer:" + Text("TXT_CUSTOMER"),
        "Address:" + Text("TXT_ADDRESS"),
        "Primary Contact:" + Text("TXT_PRIMARY_CONTACT"),
        "Secondary Contact:" + Text("TXT_SECONDARY_CONTACT"),
        "Phone Number:" + Text("TXT_PHONE_NUMBER"),
        "Special Instructions:" + Text("TXT_SPECIAL_INSTRUCTION"),
        "",
        "",
        "CONFIGURATION INFORMATION:",
        "",
        "System Type:" + Text("TXT_SYSTEM_TYPE"),
        "SYSTEM:Calvane ( )   Sorrel( )  Model:",
        "System S/N:" + Text("TXT_SYSTEM_SN") + "   System Name:" + Text("TXT_SYSTEM_NAME"),
        ip,
        "",
        "",
        "<other configuration information>",
        "Storage:",
    };
    if (!WriteSettingsFile(kProfileFile, ProfileFile, lines, effects)) return;
    const char* notification = "NONE";
    if (Selected("Notification", 0)) {
        notification = "Tazel";
    } else if (Selected("Notification", 1)) {
        notification = "Mervo";
    }
    RegSetValue(kHkeyLocalMachine, kNorbaKey, "Notification", notification);
    ShowPage(VrnInstalled ? 5 : 9);
}

void UserControl1::BT_VRN_TO_NEXT_Click(Effects& effects) {
    FILEEXISTS(kVrnConfigIni);
    if (!FileFound) {
        ShowPage(9);
        return;
    }
    IniFile = kVrnConfigIni;
    IniSection = "Configuration";
    auto choice = [&](const char* group, std::initializer_list<std::pair<int, const char*>> map) {
        for (const auto& [index, text] : map) {
            if (Selected(group, index)) return std::string(text);
        }
        return std::string();
    };
    static const char* const kDayNames[] = {"MONDAY", "TUESDAY",  "WEDNESDAY", "THURSDAY",
                                            "FRIDAY", "SATURDAY", "SUNDAY"};
    std::string day;
    std::string typedDay = Upper(Trim(Text("Combo_VRN_SSI_S_DAY_WEEK")));
    for (int i = 0; i < 7; ++i) {
        if (typedDay == kDayNames[i]) day = std::to_string(i + 1);
    }
    const std::pair<const char*, std::string> keys[] = {
        {"InstallationTime", GeneralDate(host_.LocalNow())},
        {"MaxArchives", Text("TXT_VRN_TO_DBC_MAX_ARCHIVE")},
        {"TransportOption", choice("OPT_VRN_TO_DBC", {{0, "Email"}, {1, "FTP"}, {2, "None"}})},
        {"EmailAddress", kSupportEmail},
        {"FTPAddress", kSupportFtp},
        {"SMTPServer", Text("TXT_VRN_TO_DBC_EO_SERVER")},
        {"SMTPEmail", Text("TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS")},
        {"EmailOption", choice("OPT_VRN_TO_DBC_EO", {{4, "SMTP"}, {3, "MAPI"}})},
        {"JEXLinkAddress", ""},
        {"LocalTransportOption", choice("OPT_VRN_TO_LC", {{0, "Email"}, {1, "FTP"}, {2, "None"}})},
        {"LocalEmailAddress", Text("TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS")},
        {"LocalFTPLogin", Text("TXT_VRN_TO_LC_LFO_FTP_LOGIN")},
        {"LocalFTPAddress", Text("TXT_PTR_855")},
        {"LocalFTPPassword", Text("TXT_VRN_TO_LC_LFO_FTP_PASSWORD")},
        {"LocalFTPUploadDir", Text("TXT_VRN_TO_LC_LFO_FTP_ADDRESS")},
        {"LocalSMTPServer", Text("TXT_VRN_TO_LC_LEO_SERVER")},
        {"LocalSMTPEmail", Text("TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS")},
        {"LocalEmailOption", choice("OPT_VRN_TO_LC_LEO", {{0, "SMTP"}, {1, "MAPI"}})},
        {"Frequency", Text("Combo_VRN_SSI_S_FREQUENCY")},
        {"ServiceAccount", "System"},
        {"DayOfWeek", day},
        {"DayOfMonth", Text("TXT_VRN_SSI_S_DAY_MONTH")},
        {"Time", Text("TXT_VRN_SSI_S_TIME")},
    };
    for (const auto& [key, value] : keys) {
        if (!IniSetValue(key, value, effects)) return;
    }
    RegSetValue(kHkeyLocalMachine, kVrnKey, "CollectAtReboot", checked_ ? "YES" : "NO");
    if (!IniSetValue("CollectAtReboot", checked_ ? "yes" : "no", effects)) return;
    bool start = Selected("OPTION_STARTSERVICE", 0);
    RegSetValue(kHkeyLocalMachine, kVrnKey, "StartService", start ? "YES" : "NO");
    if (!IniSetValue("StartService", start ? "YES" : "NO", effects)) return;
    ShowPage(9);
}

void UserControl1::BT_SO_LAUNCH_SERVICE_OBLIGATION_Click(Effects& effects) {
    std::string script = InstallRoot + kServiceScript;
    FILEEXISTS(kServiceScript);
    if (!FileFound) {
        effects.messages.push_back({script + " not found", kDefaultTitle});
    } else if (DWORD rc = host_.Launch(InstallRoot, kServiceScript, {"SERVOB", "INSTALL"});
               rc != ERROR_SUCCESS) {
        effects.messages.push_back({script + ": " + ErrorText(rc), kInformationTitle});
    }
    ShowPage(VrnInstalled ? 5 : 9);
}

}  // namespace wizard
