// Registry keys and values the wizard's start-up reads and its buttons write (private to wizard/).
#pragma once

#include <utility>

namespace wizard {

inline constexpr char kNorbaKey[] = "SOFTWARE\\ZM\\vantrix\\norba";
inline constexpr char kVrnKey[] = "SOFTWARE\\Pelmar\\vantrix\\VRN";

// The registry values of page 1 under kNorbaKey, with their fields, in the
// order they are read and written.
inline constexpr std::pair<const char*, const char*> kPageOneValues[] = {
    {"Name", "TXT_UI_USER_NAME"},
    {"Company", "TXT_UI_COMPANY_NAME"},
    {"Phone", "TXT_UI_PHONE_NUMBER"},
    {"Email", "TXT_UI_EMAIL"},
    {"MailServer", "TXT_UI_SMTP_MAIL_SERVER"},
    {"System Serial Number", "TXT_UI_SYSTEM_SERIAL_NUMBER"},
};

}  // namespace wizard
