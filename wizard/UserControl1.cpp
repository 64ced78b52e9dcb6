// The wizard control: its controls, procedures, page flow and field checks.
#include "wizard/UserControl1.h"

#include <algorithm>
#include <cstdio>

#include "platform/winerror.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

constexpr uint32_t kFirstHive = 0x80000000;
constexpr uint32_t kLastHive = 0x80000006;
constexpr DWORD kRegBufferSize = 255;
constexpr DWORD kRegDword = 4;

// The page frames, by page number.
constexpr const char* kPageFrames[] = {"",
                                       "FRAME_USER_INFORMATION",
                                       "FRAME_CA_CONFIGURATION_INFORMATION",
                                       "Frame_PLOV",
                                       "FRAME_PROFILE_INFO",
                                       "FRAME_VRN_CI",
                                       "FRAME_VRN_TO",
                                       "FRAME_VRN_SSI",
                                       "Frame_CA_Service_Obligation",
                                       "FRAME_FINISH"};

enum class FieldCheck { kNone, kEmail, kNumber };

struct CheckedField {
    const char* name;
    FieldCheck check;
};

// The fields checked as the focus leaves them, in page order.
constexpr CheckedField kCheckedFields[] = {
    {"TXT_UI_USER_NAME", FieldCheck::kNone},
    {"TXT_UI_COMPANY_NAME", FieldCheck::kNone},
    {"TXT_UI_PHONE_NUMBER", FieldCheck::kNone},
    {"TXT_UI_EMAIL", FieldCheck::kEmail},
    {"TXT_UI_SMTP_MAIL_SERVER", FieldCheck::kNone},
    {"TXT_UI_SYSTEM_SERIAL_NUMBER", FieldCheck::kNone},
    {"TXT_SERVER", FieldCheck::kNone},
    {"LBL_FROM_EMAIL", FieldCheck::kNone},
    {"TXT_TO", FieldCheck::kEmail},
    {"TXT_PLOV_SERVER", FieldCheck::kNone},
    {"LBL_PLOV_FROM_EMAIL", FieldCheck::kNone},
    {"TXT_PLOV_TO_EMAIL", FieldCheck::kEmail},
    {"TXT_CUSTOMER", FieldCheck::kNone},
    {"TXT_ADDRESS", FieldCheck::kNone},
    {"TXT_PRIMARY_CONTACT", FieldCheck::kNone},
    {"TXT_SECONDARY_CONTACT", FieldCheck::kNone},
    {"TXT_PHONE_NUMBER", FieldCheck::kNone},
    {"TXT_SPECIAL_INSTRUCTION", FieldCheck::kNone},
    {"TXT_SYSTEM_TYPE", FieldCheck::kNone},
    {"TXT_SYSTEM_SN", FieldCheck::kNone},
    {"TXT_SYSTEM_NAME", FieldCheck::kNone},
    {"TXT_VRN_CI_CUSTOMER_ACCESS_ID", FieldCheck::kNone},
    {"TXT_VRN_CI_TAM_NAME", FieldCheck::kNone},
    {"TXT_VRN_CI_TAM_EMAIL", FieldCheck::kEmail},
    {"TXT_VRN_TO_DBC_MAX_ARCHIVE", FieldCheck::kNumber},
    {"TXT_VRN_TO_DBC_EO_SERVER", FieldCheck::kNone},
    {"TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", FieldCheck::kEmail},
    {"TXT_VRN_TO_LC_LEO_SERVER", FieldCheck::kNone},
    {"TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", FieldCheck::kEmail},
    {"TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", FieldCheck::kNone},
    {"TXT_PTR_855", FieldCheck::kNone},
    {"TXT_VRN_TO_LC_LFO_FTP_ADDRESS", FieldCheck::kNone},
    {"TXT_VRN_TO_LC_LFO_FTP_LOGIN", FieldCheck::kNone},
    {"TXT_VRN_TO_LC_LFO_FTP_PASSWORD", FieldCheck::kNone},
    {"TXT_VRN_SSI_S_DAY_MONTH", FieldCheck::kNumber},
    {"TXT_VRN_SSI_S_TIME", FieldCheck::kNone},
};

// Labels and buttons with their design-time captions.
const std::map<std::string, std::string, std::less<>> kCaptions = {
    {"LBL_VRN_CI_COMPANY_NAME", ""},
    {"LBL_VRN_CI_CONTACT_NAME", ""},
    {"LBL_VRN_CI_CONTACT_TELEPHONE", ""},
    {"LBL_VRN_CI_CONTACT_EMAIL", ""},
    {"LBL_VRN_CI_SYSTEM_SERIAL_NUMBER", ""},
    {"LIST_VRN_SSI_SERVICE_ACCOUNT", "System"},
    {"BT_UI_SUBMIT", "&Next"},
    {"BTN_CA_CI_BACK", "&Back"},
    {"BTN_CA_CI_SUBMIT", "&Next"},
    {"BT_PLOV_BACK", "&Back"},
    {"BT_PLOV_NEXT", "&Next"},
    {"BT_PROFILE_BACK", "&Back"},
    {"BT_PROFILE_NEXT", "&Next"},
    {"BT_VRN_CI_BACK", "Back"},
    {"BT_VRN_CI_NEXT", "&Next"},
    {"BT_VRN_TO_BACK", "&Back"},
    {"BT_TO_NEXT", "&Next"},
    {"BT_VRN_SS_NEXT", "&Back"},
    {"BT_VRN_TO_NEXT", "&Next"},
    {"BT_SO_LAUNCH_SERVICE_OBLIGATION", "&Launch Service Obligation Validation"},
};

constexpr const char* kNestedFrames[] = {"FRAME_VRN_TO_DBC_EO", "FRAME_VRN_TO_LC_LEO",
                                         "FRAME_VRN_TO_LC_LFO", "FRAME_VRN_SSI_S"};

const std::string kEmpty;

}  // namespace

UserControl1::UserControl1(WizardHost& host) : host_(host), captions_(kCaptions) {
    for (const std::string& name : TextControls()) texts_[name];
    for (const char* frame : kNestedFrames) enabled_[frame] = true;
    for (int page = 1; page <= 9; ++page) visible_[PageFrame(page)] = false;
    visible_["Frame_CA_ZUMI_Notification"] = true;
    visible_["Notification(0)"] = true;
}

const char* UserControl1::PageFrame(int page) {
    return page >= 1 && page <= 9 ? kPageFrames[page] : "";
}

const std::vector<std::string>& UserControl1::TextControls() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const CheckedField& f : kCheckedFields) all.push_back(f.name);
        all.push_back("TXT_VRN_SSI_USER_NAME");
        all.push_back("Combo_VRN_SSI_S_FREQUENCY");
        all.push_back("Combo_VRN_SSI_S_DAY_WEEK");
        return all;
    }();
    return names;
}

const std::map<std::string, std::vector<int>, std::less<>>& UserControl1::OptionGroups() {
    static const std::map<std::string, std::vector<int>, std::less<>> groups = {
        {"OPTION_IP", {0, 1}},          {"Notification", {0, 1, 3}},  {"OPT_VRN_TO_DBC", {0, 1, 2}},
        {"OPT_VRN_TO_DBC_EO", {4, 3}},  {"OPT_VRN_TO_LC", {0, 1, 2}}, {"OPT_VRN_TO_LC_LEO", {0, 1}},
        {"OPTION_STARTSERVICE", {0, 1}}};
    return groups;
}

const std::vector<std::string>& UserControl1::Buttons() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const auto& [name, entry] : ButtonTable()) all.push_back(name);
        return all;
    }();
    return names;
}

const std::map<std::string, std::pair<int, UserControl1::Handler>, std::less<>>&
UserControl1::ButtonTable() {
    static const std::map<std::string, std::pair<int, Handler>, std::less<>> table = {
        {"BT_UI_SUBMIT", {1, &UserControl1::BT_UI_SUBMIT_Click}},
        {"BTN_CA_CI_BACK", {2, &UserControl1::BTN_CA_CI_BACK_Click}},
        {"BTN_CA_CI_SUBMIT", {2, &UserControl1::BTN_CA_CI_SUBMIT_Click}},
        {"BT_PLOV_BACK", {3, &UserControl1::BT_PLOV_BACK_Click}},
        {"BT_PLOV_NEXT", {3, &UserControl1::BT_PLOV_NEXT_Click}},
        {"BT_PROFILE_BACK", {4, &UserControl1::BT_PROFILE_BACK_Click}},
        {"BT_PROFILE_NEXT", {4, &UserControl1::BT_PROFILE_NEXT_Click}},
        {"BT_VRN_CI_BACK", {5, &UserControl1::BT_VRN_CI_BACK_Click}},
        {"BT_VRN_CI_NEXT", {5, &UserControl1::BT_VRN_CI_NEXT_Click}},
        {"BT_VRN_TO_BACK", {6, &UserControl1::BT_VRN_TO_BACK_Click}},
        {"BT_TO_NEXT", {6, &UserControl1::BT_TO_NEXT_Click}},
        {"BT_VRN_SS_NEXT", {7, &UserControl1::BT_VRN_SS_NEXT_Click}},
        {"BT_VRN_TO_NEXT", {7, &UserControl1::BT_VRN_TO_NEXT_Click}},
        {"BT_SO_LAUNCH_SERVICE_OBLIGATION",
         {8, &UserControl1::BT_SO_LAUNCH_SERVICE_OBLIGATION_Click}},
    };
    return table;
}

// --- State ---

const std::string& UserControl1::Text(std::string_view control) const {
    if (auto it = texts_.find(control); it != texts_.end()) return it->second;
    if (auto it = captions_.find(control); it != captions_.end()) return it->second;
    return kEmpty;
}

std::string& UserControl1::TextRef(std::string_view control) {
    auto it = texts_.find(control);
    if (it != texts_.end()) return it->second;
    return captions_.find(control)->second;
}

bool UserControl1::SetText(std::string_view control, std::string_view text) {
    auto it = texts_.find(control);
    if (it == texts_.end() || text.size() > kMaxFieldText || !IsUtf8(text)) return false;
    it->second = text;
    return true;
}

std::optional<int> UserControl1::Option(std::string_view group) const {
    if (auto it = options_.find(group); it != options_.end()) return it->second;
    return std::nullopt;
}

void UserControl1::Select(std::string_view group, int index) {
    options_[std::string(group)] = index;
}

bool UserControl1::Selected(std::string_view group, int index) const {
    return Option(group) == index;
}

bool UserControl1::Visible(std::string_view control) const {
    if (auto it = visible_.find(control); it != visible_.end()) return it->second;
    return true;
}

bool UserControl1::Enabled(std::string_view frame) const {
    if (auto it = enabled_.find(frame); it != enabled_.end()) return it->second;
    return true;
}

// --- Procedures ---

std::string UserControl1::RegGetValue(uint32_t mainKey, const std::string& subKey,
                                      const std::string& value) {
    KeyFound = true;
    ValueFound = true;
    if (mainKey < kFirstHive || mainKey > kLastHive) return {};
    DWORD type = 0;
    std::string data;
    LONG rc = host_.QueryValue(mainKey, subKey, value, kRegBufferSize, type, data);
    // The buffer as the query left it: the value's bytes, then a NUL when
    // there is room, then the blanks it was filled with.
    RegBuffer.assign(kRegBufferSize, ' ');
    if (rc != ERROR_SUCCESS) {
        KeyFound = false;
        ValueFound = false;
        return {};
    }
    RegBuffer.replace(0, data.size(), data);
    if (data.size() < RegBuffer.size() && (data.empty() || data.back() != '\0') &&
        (type == 1 || type == 2 || type == 7))
        RegBuffer[data.size()] = '\0';
    if (type != kRegDword)
        return data.empty() ? std::string() : RegBuffer.substr(0, data.size() - 1);
    uint32_t number = 0;
    for (size_t i = 0; i < 4 && i < data.size(); ++i)
        number |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    char text[32];
    std::snprintf(text, sizeof text, "%03.0f", static_cast<double>(static_cast<float>(number)));
    return text;
}

void UserControl1::RegSetValue(uint32_t hKey, const std::string& rSubKey,
                               const std::string& valueName, const std::string& regValue) {
    host_.SetStringValue(hKey, rSubKey, valueName, regValue);
}

std::optional<std::string> UserControl1::ReadRegistryText(const std::string& subKey,
                                                          const std::string& value) {
    RegBuffer.clear();
    RegGetValue(kHkeyLocalMachine, subKey, value);
    if (!ValueFound) return std::nullopt;
    return RegBuffer.substr(0, RegBuffer.find('\0'));
}

void UserControl1::Make_all_frames_invisible() {
    for (const char* frame :
         {"FRAME_USER_INFORMATION", "FRAME_CA_CONFIGURATION_INFORMATION",
          "Frame_CA_Service_Obligation", "Frame_PLOV", "FRAME_VRN_CI", "FRAME_VRN_TO",
          "FRAME_VRN_SSI", "FRAME_FINISH", "FRAME_PROFILE_INFO"})
        visible_[frame] = false;
}

void UserControl1::FILEEXISTS(const std::string& relative) {
    FileFound = !InstallRoot.empty() && host_.FileExists(InstallRoot, relative);
}

bool UserControl1::IsNumber(std::string_view arg, std::vector<MessageBox>& messages) const {
    if (arg.empty() || IsNumeric(arg)) return true;
    messages.push_back({"Please provide a valid number", kInformationTitle});
    return false;
}

bool UserControl1::IsEmail(std::string_view argu, std::vector<MessageBox>& messages) const {
    if (argu.empty() || HasEmailForm(argu)) return true;
    messages.push_back({"Please provide a valid Email Address", kInformationTitle});
    return false;
}

// --- Pages ---

void UserControl1::ShowPage(int page) {
    Make_all_frames_invisible();
    visible_[PageFrame(page)] = true;
    page_ = page;
}

Effects UserControl1::ShowServiceObligationPage() {
    ShowPage(8);
    return {{}, {}, page_};
}

Effects UserControl1::Click(std::string_view button) {
    Effects effects;
    auto it = ButtonTable().find(button);
    if (it != ButtonTable().end() && it->second.first == page_) (this->*it->second.second)(effects);
    effects.page = page_;
    return effects;
}

Effects UserControl1::OptionClick(std::string_view group, int index) {
    Effects effects{{}, {}, page_};
    auto it = OptionGroups().find(group);
    if (it == OptionGroups().end()) return effects;
    const std::vector<int>& indices = it->second;
    if (std::find(indices.begin(), indices.end(), index) == indices.end()) return effects;
    Select(group, index);
    if (group == "OPT_VRN_TO_DBC") {
        enabled_["FRAME_VRN_TO_DBC_EO"] = index == 0;
    } else if (group == "OPT_VRN_TO_LC") {
        enabled_["FRAME_VRN_TO_LC_LEO"] = index == 0;
        enabled_["FRAME_VRN_TO_LC_LFO"] = index == 1;
    } else if (group == "OPTION_STARTSERVICE") {
        enabled_["FRAME_VRN_SSI_S"] = index == 0;
    }
    return effects;
}

Effects UserControl1::LeaveField(std::string_view field) {
    Effects effects{{}, {}, page_};
    const CheckedField* checked = nullptr;
    for (const CheckedField& f : kCheckedFields) {
        if (field == f.name) checked = &f;
    }
    if (!checked) return effects;
    const std::string& text = Text(field);
    bool ok = true;
    if (CheckForComma(text)) {
        effects.messages.push_back({field == "TXT_UI_COMPANY_NAME"
                                        ? "Please do not include comma in company name"
                                        : "Please do not include comma",
                                    kInformationTitle});
        ok = false;
    }
    if (checked->check == FieldCheck::kEmail && !IsEmail(text, effects.messages)) ok = false;
    if (checked->check == FieldCheck::kNumber && !IsNumber(text, effects.messages)) ok = false;
    if (!ok) effects.focus = field;
    return effects;
}

bool UserControl1::Require(std::string_view field, const char* message, Effects& effects) {
    if (!Trim(Text(field)).empty()) return true;
    effects.messages.push_back({message, kMandatoryTitle});
    effects.focus = field;
    return false;
}

// --- Buttons that move without writing ---

void UserControl1::BTN_CA_CI_BACK_Click(Effects&) { ShowPage(1); }

void UserControl1::BT_PLOV_BACK_Click(Effects&) { ShowPage(TeskInstalled ? 2 : 1); }

void UserControl1::BT_PROFILE_BACK_Click(Effects&) {
    if (PlovInstalled) {
        ShowPage(3);
    } else if (TeskInstalled) {
        ShowPage(2);
    }
}

void UserControl1::BT_VRN_CI_BACK_Click(Effects&) {
    ShowPage(PlovInstalled || TeskInstalled ? 4 : 1);
}

void UserControl1::BT_VRN_CI_NEXT_Click(Effects& effects) {
    if (!Require("TXT_VRN_CI_CUSTOMER_ACCESS_ID", "Please enter a Customer ID", effects)) return;
    ShowPage(6);
}

void UserControl1::BT_VRN_TO_BACK_Click(Effects&) { ShowPage(5); }

void UserControl1::BT_TO_NEXT_Click(Effects& effects) {
    static constexpr char kHostPort[] =
        "Please enter the hostname and port (in the format hostname:port)for the SMTP server ";
    static constexpr char kSmtpAddress[] =
        "Please enter an email address recognised by the SMTP server";
    static constexpr char kDestination[] = " Please enter a destination email address";
    if (Selected("OPT_VRN_TO_DBC", 0) && Selected("OPT_VRN_TO_DBC_EO", 4)) {
        if (!Require("TXT_VRN_TO_DBC_EO_SERVER", kHostPort, effects)) return;
        if (!Require("TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", kSmtpAddress, effects)) return;
    }
    if (Selected("OPT_VRN_TO_LC", 1)) {
        if (!Require("TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "Please enter the local ftp upload directory",
                     effects))
            return;
        if (!Require("TXT_PTR_855", "Please enter the local ftp address", effects)) return;
    }
    if (Selected("OPT_VRN_TO_LC", 0) && Selected("OPT_VRN_TO_LC_LEO", 0)) {
        if (!Require("TXT_VRN_TO_LC_LEO_SERVER", kHostPort, effects)) return;
        if (!Require("TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", kSmtpAddress, effects)) return;
        if (!Require("TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", kDestination, effects)) return;
    }
    if (Selected("OPT_VRN_TO_LC", 0) && Selected("OPT_VRN_TO_LC_LEO", 1)) {
        if (!Require("TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", kDestination, effects)) return;
    }
    ShowPage(7);
}

void UserControl1::BT_VRN_SS_NEXT_Click(Effects&) { ShowPage(6); }

// --- Fill-ins ---

void UserControl1::FillProfilePage() {
    if (Trim(Text("TXT_PRIMARY_CONTACT")).empty())
        TextRef("TXT_PRIMARY_CONTACT") = Trim(Text("TXT_UI_USER_NAME"));
    if (Trim(Text("TXT_SYSTEM_SN")).empty())
        TextRef("TXT_SYSTEM_SN") = Trim(Text("TXT_UI_SYSTEM_SERIAL_NUMBER"));
}

}  // namespace wizard
