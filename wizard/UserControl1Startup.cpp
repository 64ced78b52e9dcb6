// The wizard control's start-up: installed components, install path, host facts and the pages'
// defaults.
#include <cmath>

#include "wizard/UserControl1.h"
#include "wizard/WizardKeys.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

// The first `n` letters of the trimmed, upper-cased text.
std::string Code(const std::string& text, size_t n) { return Upper(Trim(text)).substr(0, n); }

}  // namespace

void UserControl1::Check_Installed_Components() {
    RegGetValue(kHkeyLocalMachine, "SOFTWARE\\ZM\\InstallState\\TESK", "INSTALLPATH");
    if (KeyFound) TeskInstalled = true;
    RegGetValue(kHkeyLocalMachine, "SOFTWARE\\ZM\\InstallState\\PLOV", "INSTALLPATH");
    if (KeyFound) PlovInstalled = true;
}

std::optional<std::vector<std::string>> UserControl1::ReadSettingsFile(const char* relative,
                                                                       size_t count) {
    FILEEXISTS(relative);
    if (!FileFound) return std::nullopt;
    std::optional<std::string> bytes = host_.ReadFile(InstallRoot, relative, kMaxSettingsFile);
    return ReadSettingsItems(TextFromFileBytes(bytes.value_or("")), count);
}

std::string UserControl1::IniGetValue(const std::string& relative, const std::string& key) {
    return TextFromFileBytes(host_.ProfileString(InstallRoot, relative, IniSection, key));
}

Effects UserControl1::Show() {
    Effects effects;
    PlovInstalled = false;
    TeskInstalled = false;
    VrnInstalled = false;
    Make_all_frames_invisible();
    Check_Installed_Components();

    if (std::optional<std::string> root =
            ReadRegistryText("SOFTWARE\\ZM\\InstallState\\QIM", "INSTALLPATH")) {
        InstallRoot = *root;
    } else {
        effects.messages.push_back({"TARGETDIR not found", kDefaultTitle});
        InstallRoot.clear();
    }
    if (std::optional<std::string> host = host_.HostName()) {
        HostName = *host;
    } else {
        effects.messages.push_back({"HOSTNAME not found", kDefaultTitle});
        HostName.clear();
    }
    DnsDomain = kPlaceholderDomain;
    if (std::optional<std::string> domain = host_.DnsDomain(); domain && !domain->empty())
        DnsDomain = *domain;

    if (!InstallRoot.empty() && InstallRoot.back() != '/') InstallRoot += '/';
    ProfileFile = InstallRoot + kProfileFile;
    NotifyCaFile = InstallRoot + kNotifyCaFile;
    PlovNotifyFile = InstallRoot + kPlovNotifyFile;
    CustomerInfoIni = InstallRoot + kCustomerInfoIni;
    VrnConfigIni = InstallRoot + kVrnConfigIni;
    // The Vrn component is there when the one file its settings go to is.
    FILEEXISTS(kVrnConfigIni);
    VrnInstalled = FileFound;

    for (const auto& [value, field] : kPageOneValues)
        TextRef(field) = ReadRegistryText(kNorbaKey, value).value_or("");

    TextRef("LBL_FROM_EMAIL") = "tesk@" + HostName + "." + DnsDomain;
    if (TeskInstalled) LoadTeskPage();
    if (TeskInstalled || PlovInstalled) LoadProfilePage();
    if (PlovInstalled) LoadPlovPage();
    if (VrnInstalled) {
        TextRef("BT_VRN_TO_NEXT") = "Finish";
        LoadVrnPages();
    } else {
        TextRef("BT_PROFILE_NEXT") = "&Finish";
    }
    ShowPage(1);
    effects.page = page_;
    return effects;
}

void UserControl1::LoadTeskPage() {
    std::optional<std::vector<std::string>> items = ReadSettingsFile(kNotifyCaFile, 15);
    if (!items) return;
    TextRef("TXT_SERVER") = Trim(ValueAfterDelimiter((*items)[11], "="));
    TextRef("TXT_TO") = Trim(ValueAfterDelimiter((*items)[13], "="));
    std::string from = Trim(ValueAfterDelimiter((*items)[12], "="));
    TextRef("LBL_FROM_EMAIL") = from.empty() ? "tesk@" + HostName + "." + DnsDomain : from;
}

void UserControl1::LoadProfilePage() {
    if (std::optional<std::vector<std::string>> items = ReadSettingsFile(kProfileFile, 15)) {
        const std::vector<std::string>& item = *items;
        TextRef("TXT_CUSTOMER") = Trim(ValueAfterDelimiter(item[1], "Customer:"));
        TextRef("TXT_ADDRESS") = Trim(ValueAfterDelimiter(item[2], "Address:"));
        TextRef("TXT_SYSTEM_TYPE") = Trim(ValueAfterDelimiter(item[11], "System Type:"));
        TextRef("TXT_PRIMARY_CONTACT") = Trim(ValueAfterDelimiter(item[3], "Primary Contact:"));
        TextRef("TXT_SECONDARY_CONTACT") = Trim(ValueAfterDelimiter(item[4], "Secondary Contact:"));
        TextRef("TXT_PHONE_NUMBER") = Trim(ValueAfterDelimiter(item[5], "Phone Number:"));
        TextRef("TXT_SPECIAL_INSTRUCTION") =
            Trim(ValueAfterDelimiter(item[6], "Special Instructions:"));
        SerialAndName serial = SplitSerialLine(item[13]);
        TextRef("TXT_SYSTEM_SN") = serial.serial;
        TextRef("TXT_SYSTEM_NAME") = serial.name;
        std::string ip = Trim(item[14]);
        if (ip == "System IP address:   Fixed (Y) // DHCP Served (N)") Select("OPTION_IP", 0);
        if (ip == "System IP address:   Fixed (N) // DHCP Served (Y)") Select("OPTION_IP", 1);
        if (Trim(Text("TXT_SYSTEM_NAME")).empty()) TextRef("TXT_SYSTEM_NAME") = HostName;
    }

    RegGetValue(kHkeyLocalMachine, "SOFTWARE\\Zenmark\\Kelvo", "ClientInstalled");
    if (KeyFound) {
        visible_["Frame_CA_ZUMI_Notification"] = false;
        return;
    }
    RegGetValue(kHkeyLocalMachine, "SOFTWARE\\Ferrandia\\JEXLink", "Default");
    visible_["Notification(0)"] = KeyFound;
    Select("Notification", 1);
    std::string code = Code(ReadRegistryText(kNorbaKey, "Notification").value_or(""), 3);
    if (code == "TAZ") Select("Notification", 0);
    if (code == "NON") Select("Notification", 3);
}

void UserControl1::LoadPlovPage() {
    std::string sender = "plov@" + HostName + "." + DnsDomain;
    TextRef("LBL_PLOV_FROM_EMAIL") = sender;
    std::optional<std::vector<std::string>> items = ReadSettingsFile(kPlovNotifyFile, 4);
    if (!items) return;
    TextRef("TXT_PLOV_SERVER") = Trim(ValueAfterDelimiter((*items)[1], "="));
    TextRef("TXT_PLOV_TO_EMAIL") = Trim(ValueAfterDelimiter((*items)[3], "="));
    std::string from = Trim(ValueAfterDelimiter((*items)[2], "="));
    TextRef("LBL_PLOV_FROM_EMAIL") = from.empty() ? sender : from;
}

void UserControl1::LoadVrnPages() {
    FILEEXISTS(kCustomerInfoIni);
    if (FileFound) {
        IniFile = kCustomerInfoIni;
        IniSection = "Customer";
        TextRef("TXT_VRN_CI_TAM_NAME") = Trim(IniGetValue(IniFile, "TAMName"));
        TextRef("TXT_VRN_CI_TAM_EMAIL") = Trim(IniGetValue(IniFile, "TAMEmail"));
        TextRef("TXT_VRN_CI_CUSTOMER_ACCESS_ID") = Trim(IniGetValue(IniFile, "CustomerAccessID"));
    }
    FILEEXISTS(kVrnConfigIni);
    if (!FileFound) return;
    IniFile = kVrnConfigIni;
    IniSection = "Configuration";
    auto get = [&](const char* key) { return IniGetValue(IniFile, key); };
    auto text = [&](const char* key, const char* field) { TextRef(field) = Trim(get(key)); };

    TextRef("TXT_VRN_TO_DBC_MAX_ARCHIVE") = get("MaxArchives");
    Select("OPTION_STARTSERVICE", Code(get("StartService"), 2) == "NO" ? 1 : 0);
    std::string transport = Code(get("TransportOption"), 3);
    if (transport == "FTP") Select("OPT_VRN_TO_DBC", 1);
    if (transport == "EMA") Select("OPT_VRN_TO_DBC", 0);
    if (transport == "NON") Select("OPT_VRN_TO_DBC", 2);
    text("SMTPServer", "TXT_VRN_TO_DBC_EO_SERVER");
    text("SMTPEmail", "TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS");
    std::string email = Code(get("EmailOption"), 3);
    if (email == "SMT") Select("OPT_VRN_TO_DBC_EO", 4);
    if (email == "MAP") Select("OPT_VRN_TO_DBC_EO", 3);
    std::string local = Code(get("LocalTransportOption"), 3);
    if (local == "EMA") Select("OPT_VRN_TO_LC", 0);
    if (local == "FTP") Select("OPT_VRN_TO_LC", 1);
    if (local == "NON") Select("OPT_VRN_TO_LC", 2);
    text("LocalEmailAddress", "TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS");
    text("LocalFTPLogin", "TXT_VRN_TO_LC_LFO_FTP_LOGIN");
    text("LocalFTPAddress", "TXT_PTR_855");
    text("LocalFTPPassword", "TXT_VRN_TO_LC_LFO_FTP_PASSWORD");
    text("LocalFTPUploadDir", "TXT_VRN_TO_LC_LFO_FTP_ADDRESS");
    text("LocalSMTPServer", "TXT_VRN_TO_LC_LEO_SERVER");
    text("LocalSMTPEmail", "TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS");
    std::string localEmail = Code(get("LocalEmailOption"), 3);
    if (localEmail == "SMT") Select("OPT_VRN_TO_LC_LEO", 0);
    if (localEmail == "MAP") Select("OPT_VRN_TO_LC_LEO", 1);
    text("Frequency", "Combo_VRN_SSI_S_FREQUENCY");
    TextRef("LIST_VRN_SSI_SERVICE_ACCOUNT") = "System";

    static const char* const kDays[] = {"",         "Monday", "Tuesday",  "Wednesday",
                                        "Thursday", "Friday", "Saturday", "Sunday"};
    std::string day = Trim(get("DayOfWeek"));
    double number = IsNumeric(day) ? std::strtod(day.c_str(), nullptr) : 0.0;
    // A whole number, rounded half to even; one out of range changes nothing.
    if (std::isfinite(number) && std::fabs(number) < 1e9) {
        long whole = std::lrint(number);
        if (whole >= 0 && whole <= 7) TextRef("Combo_VRN_SSI_S_DAY_WEEK") = kDays[whole];
    }
    text("DayOfMonth", "TXT_VRN_SSI_S_DAY_MONTH");
    text("Time", "TXT_VRN_SSI_S_TIME");
    checked_ = Code(get("CollectAtReboot"), 3) == "YES";
}

}  // namespace wizard
