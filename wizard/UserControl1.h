// The configuration wizard's control: its state, procedures and event handlers, without a user
// interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wizard/WizardHost.h"

namespace wizard {

// The registry's predefined roots by handle value.
inline constexpr uint32_t kHkeyLocalMachine = 0x80000002;

// The files the wizard reads and writes, below the install root.
inline constexpr char kProfileFile[] = "SPECIFIC/TAVRO/CONFIG/PROFILE.TXT";
inline constexpr char kNotifyCaFile[] = "SPECIFIC/TAVRO/CONFIG/NOTIFYCA.TXT";
inline constexpr char kPlovNotifyFile[] = "SPECIFIC/TAVRO/CONFIG/PLOVNotify.TXT";
inline constexpr char kCustomerInfoIni[] = "COMMON/VRN/customer_info.INI";
inline constexpr char kVrnConfigIni[] = "COMMON/VRN/vrn_config.INI";
inline constexpr char kServiceScript[] = "COMMON/BIN/TAVRO.BAT";
// The largest part of a settings file that start-up reads.
inline constexpr size_t kMaxSettingsFile = 1024 * 1024;
// The DNS domain when the host knows none.
inline constexpr char kPlaceholderDomain[] = "nodomain.example.com";

// Titles of the wizard's message boxes; the empty title stands for the
// host's default title.
inline constexpr char kMandatoryTitle[] = "Mandatory Field";
inline constexpr char kInformationTitle[] = "Information";
inline constexpr char kDefaultTitle[] = "";

// The longest text a field takes (bytes of UTF-8).
inline constexpr size_t kMaxFieldText = 4096;

// A modal message box with an OK button.
struct MessageBox {
    std::string text;
    std::string title;
    bool operator==(const MessageBox&) const = default;
};

// What a handler did that a front end shows: its message boxes in order,
// the control that gets the focus (empty: the focus stays where it goes),
// and the page then visible (1 to 9; 0 before the first Show).
struct Effects {
    std::vector<MessageBox> messages;
    std::string focus;
    int page = 0;
};

// The wizard: nine pages shown one at a time, their fields, options and
// frames, and the handlers of their buttons, options and fields. A front end
// sets texts, picks options and presses buttons by control name and shows
// what each handler returns; the registry, files, clock, host facts and the
// launcher come through the WizardHost given at construction, which must
// outlive the control.
//
// Control names are the wizard's own (TXT_UI_USER_NAME, BT_UI_SUBMIT,
// OPT_VRN_TO_DBC ...). Texts are UTF-8. The control is used from one
// thread at a time; nothing in it waits.
class UserControl1 {
public:
    explicit UserControl1(WizardHost& host);
    UserControl1(const UserControl1&) = delete;
    UserControl1& operator=(const UserControl1&) = delete;

    // --- Events ---

    // Start-up: detects the installed components, the install path and the
    // host facts, fills the pages from the registry and earlier settings
    // files, and shows page 1. Runs each time the control is shown.
    Effects Show();
    // A button by name; an unknown name or a button of a page that is not
    // showing does nothing.
    Effects Click(std::string_view button);
    // An option button of a group, by its index; an index the group does
    // not have does nothing.
    Effects OptionClick(std::string_view group, int index);
    // The check of a field as the focus leaves it.
    Effects LeaveField(std::string_view field);
    // Sets the text of a text field or list; false (nothing changed) for a
    // control that takes no text, a text over kMaxFieldText or one that is
    // not UTF-8.
    bool SetText(std::string_view control, std::string_view text);
    void SetChecked(bool checked) { checked_ = checked; }
    // Shows page 8, the service obligation page, which no button leads to:
    // the host's choice after Show.
    Effects ShowServiceObligationPage();
    // CLOSEIE: nothing to do.
    void CLOSEIE() {}

    // --- State ---

    int Page() const { return page_; }
    // Page frame of a page number, and the page number of a frame (0 when
    // it names no page).
    static const char* PageFrame(int page);
    // Text of a text field or list, or caption of a label or button; the
    // empty text for an unknown name.
    const std::string& Text(std::string_view control) const;
    // The selected index of an option group.
    std::optional<int> Option(std::string_view group) const;
    bool Checked() const { return checked_; }
    // Visibility of a page frame, of the frame "Frame_CA_ZUMI_Notification"
    // and of the option "Notification(0)"; other controls are visible.
    bool Visible(std::string_view control) const;
    // Whether a nested frame is enabled; every frame is at design time.
    bool Enabled(std::string_view frame) const;
    // Names of every control that takes a text (SetText).
    static const std::vector<std::string>& TextControls();
    // Option groups with their indices.
    static const std::map<std::string, std::vector<int>, std::less<>>& OptionGroups();
    // Names of every button.
    static const std::vector<std::string>& Buttons();

    bool TeskInstalled = false;
    bool PlovInstalled = false;
    bool VrnInstalled = false;
    std::string InstallRoot;
    std::string HostName;
    std::string DnsDomain;
    // Full paths of the settings files, for messages; the files are reached
    // as InstallRoot and the path below it.
    std::string ProfileFile, NotifyCaFile, PlovNotifyFile, CustomerInfoIni, VrnConfigIni;

    // --- Procedures ---

    // Reads a registry value: its text (DWORD as "000" digits), and sets
    // KeyFound, ValueFound and RegBuffer.
    std::string RegGetValue(uint32_t mainKey, const std::string& subKey, const std::string& value);
    // Writes a REG_SZ value, creating the key; fails silently.
    void RegSetValue(uint32_t hKey, const std::string& rSubKey, const std::string& valueName,
                     const std::string& regValue);
    void Make_all_frames_invisible();
    // Sets FileFound for a path below InstallRoot (false without one).
    void FILEEXISTS(const std::string& relative);
    // The leave checks' tests: add their message on failure.
    bool IsNumber(std::string_view arg, std::vector<MessageBox>& messages) const;
    bool IsEmail(std::string_view argu, std::vector<MessageBox>& messages) const;

    bool KeyFound = false;
    bool ValueFound = false;
    bool FileFound = false;
    std::string RegBuffer;

private:
    using Handler = void (UserControl1::*)(Effects&);
    static const std::map<std::string, std::pair<int, Handler>, std::less<>>& ButtonTable();

    void Check_Installed_Components();
    void ShowPage(int page);
    // The text before the first NUL of RegBuffer, when the read found the
    // value.
    std::optional<std::string> ReadRegistryText(const std::string& subKey,
                                                const std::string& value);
    std::string& TextRef(std::string_view control);
    void Select(std::string_view group, int index);
    bool Selected(std::string_view group, int index) const;
    // A mandatory field: false after adding its message and focus.
    bool Require(std::string_view field, const char* message, Effects& effects);
    // Writes a settings file; false after adding the failure's message.
    bool WriteSettingsFile(const char* relative, const std::string& path,
                           const std::vector<std::string>& lines, Effects& effects);
    bool IniSetValue(const std::string& key, const std::string& value, Effects& effects);
    std::string IniGetValue(const std::string& relative, const std::string& key);
    std::optional<std::vector<std::string>> ReadSettingsFile(const char* relative, size_t count);
    void FillProfilePage();

    void LoadTeskPage();
    void LoadProfilePage();
    void LoadPlovPage();
    void LoadVrnPages();

    void BT_UI_SUBMIT_Click(Effects& effects);
    void BTN_CA_CI_BACK_Click(Effects& effects);
    void BTN_CA_CI_SUBMIT_Click(Effects& effects);
    void BT_PLOV_BACK_Click(Effects& effects);
    void BT_PLOV_NEXT_Click(Effects& effects);
    void BT_PROFILE_BACK_Click(Effects& effects);
    void BT_PROFILE_NEXT_Click(Effects& effects);
    void BT_VRN_CI_BACK_Click(Effects& effects);
    void BT_VRN_CI_NEXT_Click(Effects& effects);
    void BT_VRN_TO_BACK_Click(Effects& effects);
    void BT_TO_NEXT_Click(Effects& effects);
    void BT_VRN_SS_NEXT_Click(Effects& effects);
    void BT_VRN_TO_NEXT_Click(Effects& effects);
    void BT_SO_LAUNCH_SERVICE_OBLIGATION_Click(Effects& effects);

    WizardHost& host_;
    int page_ = 0;
    std::map<std::string, std::string, std::less<>> texts_;
    std::map<std::string, std::string, std::less<>> captions_;
    std::map<std::string, int, std::less<>> options_;
    std::map<std::string, bool, std::less<>> visible_;
    std::map<std::string, bool, std::less<>> enabled_;
    bool checked_ = false;
    std::string IniSection;
    std::string IniFile;  // path below InstallRoot
};

}  // namespace wizard
