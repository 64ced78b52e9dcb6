// The wizard's pages as shown.
#include "wizard/WizardLayout.h"

namespace wizard {
namespace {

using K = LayoutItem::Kind;

PageLayout UserInformationPage() {
    return {1,
            "FRAME_USER_INFORMATION",
            "User Information",
            {{K::kText, "TXT_UI_USER_NAME", "User Name"},
             {K::kText, "TXT_UI_COMPANY_NAME", "Company Name"},
             {K::kText, "TXT_UI_PHONE_NUMBER", "Phone Number"},
             {K::kText, "TXT_UI_EMAIL", "Email"},
             {K::kText, "TXT_UI_SMTP_MAIL_SERVER", "SMTP Mail Server"},
             {K::kText, "TXT_UI_SYSTEM_SERIAL_NUMBER", "System Serial Number"},
             {K::kButton, "BT_UI_SUBMIT", ""}},
            "BT_UI_SUBMIT"};
}

PageLayout OstrelPage() {
    return {2,
            "FRAME_CA_CONFIGURATION_INFORMATION",
            "Ostrel Configuration Information",
            {{K::kFrameBegin, "FRAME_SMTP", "SMTP Notification Setup for Ostrel"},
             {K::kText, "TXT_SERVER", "Server"},
             {K::kText, "LBL_FROM_EMAIL", "From"},
             {K::kText, "TXT_TO", "To"},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BTN_CA_CI_BACK", ""},
             {K::kButton, "BTN_CA_CI_SUBMIT", ""}},
            "BTN_CA_CI_SUBMIT"};
}

PageLayout PlovPage() {
    return {3,
            "Frame_PLOV",
            "PLOV Configuration Information",
            {{K::kFrameBegin, "Frame_PLOV_SMTP_NOTIFICATION", "SMTP Notification Setup for PLOV"},
             {K::kText, "TXT_PLOV_SERVER", "Server"},
             {K::kText, "LBL_PLOV_FROM_EMAIL", "From"},
             {K::kText, "TXT_PLOV_TO_EMAIL", "To"},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BT_PLOV_BACK", ""},
             {K::kButton, "BT_PLOV_NEXT", ""}},
            "BT_PLOV_NEXT"};
}

PageLayout ProfilePage() {
    return {4,
            "FRAME_PROFILE_INFO",
            "Profile and Notification Information",
            {{K::kText, "TXT_CUSTOMER", "Customer"},
             {K::kText, "TXT_ADDRESS", "Address, City, State, Country, Postal Code."},
             {K::kText, "TXT_PRIMARY_CONTACT", "Primary Contact"},
             {K::kText, "TXT_SECONDARY_CONTACT", "Secondary Contact"},
             {K::kText, "TXT_PHONE_NUMBER", "Phone Number"},
             {K::kText, "TXT_SPECIAL_INSTRUCTION", "Special Instructions"},
             {K::kFrameBegin, "Frame2", "Configuration Information"},
             {K::kText, "TXT_SYSTEM_TYPE", "System Type"},
             {K::kText, "TXT_SYSTEM_SN", "System Serial Number"},
             {K::kText, "TXT_SYSTEM_NAME", "System Name"},
             {K::kFrameBegin, "FRAME_IP", "System IP Address"},
             {K::kOption, "OPTION_IP", "Fixed", 0},
             {K::kOption, "OPTION_IP", "DHCP Served", 1},
             {K::kFrameEnd, "", ""},
             {K::kFrameEnd, "", ""},
             {K::kFrameBegin, "Frame_CA_ZUMI_Notification", "Service Provider Notification "},
             {K::kOption, "Notification", "Brennic (Tazel) using JEXLink", 0},
             {K::kOption, "Notification", "Mervo Gateway (Mervo) formerly Zumi", 1},
             {K::kOption, "Notification", "None", 3},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BT_PROFILE_BACK", ""},
             {K::kButton, "BT_PROFILE_NEXT", ""}},
            "BT_PROFILE_NEXT"};
}

PageLayout VrnCustomerPage() {
    return {5,
            "FRAME_VRN_CI",
            "VRN Configuration Information",
            {{K::kFrameBegin, "Frame4", "Customer Information"},
             {K::kLabel, "LBL_VRN_CI_COMPANY_NAME", "Company Name"},
             {K::kLabel, "LBL_VRN_CI_CONTACT_NAME", "Contact Name"},
             {K::kLabel, "LBL_VRN_CI_CONTACT_TELEPHONE", "Contact Telephone"},
             {K::kLabel, "LBL_VRN_CI_CONTACT_EMAIL", "Contact Email"},
             {K::kLabel, "LBL_VRN_CI_SYSTEM_SERIAL_NUMBER", "System Serial Number"},
             {K::kText, "TXT_VRN_CI_CUSTOMER_ACCESS_ID", "Customer Access ID"},
             {K::kFrameBegin, "Frame5", "Technical Account Manager"},
             {K::kText, "TXT_VRN_CI_TAM_NAME", "TAM Name"},
             {K::kText, "TXT_VRN_CI_TAM_EMAIL", "TAM Email"},
             {K::kFrameEnd, "", ""},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BT_VRN_CI_BACK", ""},
             {K::kButton, "BT_VRN_CI_NEXT", ""}},
            "BT_VRN_CI_NEXT"};
}

PageLayout VrnTransportPage() {
    return {6,
            "FRAME_VRN_TO",
            "Transport Option",
            {{K::kFrameBegin, "FRAME_VRN_TO_DBC", "Transport Option - Data Back to Pelmar"},
             {K::kOption, "OPT_VRN_TO_DBC", "Email", 0},
             {K::kOption, "OPT_VRN_TO_DBC", "FTP", 1},
             {K::kOption, "OPT_VRN_TO_DBC", "None", 2},
             {K::kText, "TXT_VRN_TO_DBC_MAX_ARCHIVE", "Max Archive"},
             {K::kFrameBegin, "FRAME_VRN_TO_DBC_EO", "Email Options"},
             {K::kOption, "OPT_VRN_TO_DBC_EO", "SMTP", 4},
             {K::kOption, "OPT_VRN_TO_DBC_EO", "MAPI", 3},
             {K::kText, "TXT_VRN_TO_DBC_EO_SERVER", "Server"},
             {K::kText, "TXT_VRN_TO_DBC_EO_EMAIL_ADDRESS", "Email Address"},
             {K::kFrameEnd, "", ""},
             {K::kFrameEnd, "", ""},
             {K::kFrameBegin, "FRAME_VRN_TO_LC", "Transport Option - Local Copies"},
             {K::kOption, "OPT_VRN_TO_LC", "Email", 0},
             {K::kOption, "OPT_VRN_TO_LC", "FTP", 1},
             {K::kOption, "OPT_VRN_TO_LC", "None", 2},
             {K::kFrameBegin, "FRAME_VRN_TO_LC_LEO", "Local Email Options"},
             {K::kOption, "OPT_VRN_TO_LC_LEO", "SMTP", 0},
             {K::kOption, "OPT_VRN_TO_LC_LEO", "MAPI", 1},
             {K::kText, "TXT_VRN_TO_LC_LEO_SERVER", "Server"},
             {K::kText, "TXT_VRN_TO_LC_LEO_EMAIL_ADDRESS", "Email Address"},
             {K::kText, "TXT_VRN_TO_LC_LEO_DESTINATION_ADDRESS", "Destination Address"},
             {K::kFrameEnd, "", ""},
             {K::kFrameBegin, "FRAME_VRN_TO_LC_LFO", "Local FTP Options"},
             {K::kText, "TXT_PTR_855", "FTP Address"},
             {K::kText, "TXT_VRN_TO_LC_LFO_FTP_ADDRESS", "FTP Upload Directory"},
             {K::kText, "TXT_VRN_TO_LC_LFO_FTP_LOGIN", "FTP Login"},
             {K::kText, "TXT_VRN_TO_LC_LFO_FTP_PASSWORD", "FTP Password"},
             {K::kFrameEnd, "", ""},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BT_VRN_TO_BACK", ""},
             {K::kButton, "BT_TO_NEXT", ""}},
            "BT_TO_NEXT"};
}

PageLayout VrnSchedulingPage() {
    return {7,
            "FRAME_VRN_SSI",
            "System and Scheduling Information",
            {{K::kFrameBegin, "Frame1", ""},
             {K::kOption, "OPTION_STARTSERVICE", "Start VRN Service", 0},
             {K::kOption, "OPTION_STARTSERVICE", "Don't start VRN service.", 1},
             {K::kFrameBegin, "FRAME_VRN_SSI_S", "Scheduling"},
             {K::kList, "Combo_VRN_SSI_S_FREQUENCY", "Frequency"},
             {K::kList, "Combo_VRN_SSI_S_DAY_WEEK", "Day of Week"},
             {K::kText, "TXT_VRN_SSI_S_DAY_MONTH", "Day of Month"},
             {K::kText, "TXT_VRN_SSI_S_TIME", "Time: [ HH:MM:SS]"},
             {K::kText, "TXT_VRN_SSI_USER_NAME", "User Name"},
             {K::kLabel, "LIST_VRN_SSI_SERVICE_ACCOUNT", "Service Account"},
             {K::kCheck, "CHECK_VRN_SSI", "Yes I want to run a collection at system reboot."},
             {K::kFrameEnd, "", ""},
             {K::kFrameEnd, "", ""},
             {K::kButton, "BT_VRN_SS_NEXT", ""},
             {K::kButton, "BT_VRN_TO_NEXT", ""}},
            "BT_VRN_TO_NEXT"};
}

PageLayout ServiceObligationPage() {
    return {8,
            "Frame_CA_Service_Obligation",
            "NORBA Service Obligation Validation",
            {{K::kButton, "BT_SO_LAUNCH_SERVICE_OBLIGATION", ""}},
            "BT_SO_LAUNCH_SERVICE_OBLIGATION"};
}

PageLayout FinishPage() {
    return {9,
            "FRAME_FINISH",
            "Configuration Wizard Complete",
            {{K::kNote, "",
              "The configuration wizard is complete. Please close this window to continue with the "
              "installation."}},
            ""};
}

std::vector<PageLayout> MakePages() {
    return {UserInformationPage(), OstrelPage(),       PlovPage(),          ProfilePage(),
            VrnCustomerPage(),     VrnTransportPage(), VrnSchedulingPage(), ServiceObligationPage(),
            FinishPage()};
}

}  // namespace

const std::vector<PageLayout>& Pages() {
    static const std::vector<PageLayout> pages = MakePages();
    return pages;
}

const PageLayout* FindPage(int page) {
    if (page < 1 || page > static_cast<int>(Pages().size())) return nullptr;
    return &Pages()[static_cast<size_t>(page - 1)];
}

int PageOfControl(std::string_view name) {
    for (const PageLayout& page : Pages()) {
        for (const LayoutItem& item : page.items) {
            bool control = item.kind == K::kText || item.kind == K::kList ||
                           item.kind == K::kOption || item.kind == K::kCheck;
            if (control && name == item.name) return page.page;
        }
    }
    return 0;
}

const std::vector<const char*>& ListChoices(std::string_view name) {
    static const std::vector<const char*> kFrequency = {"Daily", "Weekly", "Monthly"};
    static const std::vector<const char*> kDays = {"",         "Monday", "Tuesday",  "Wednesday",
                                                   "Thursday", "Friday", "Saturday", "Sunday"};
    static const std::vector<const char*> kNone;
    if (name == "Combo_VRN_SSI_S_FREQUENCY") return kFrequency;
    if (name == "Combo_VRN_SSI_S_DAY_WEEK") return kDays;
    return kNone;
}

}  // namespace wizard
