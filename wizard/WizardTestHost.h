// Test support of the wizard: the real host with a fixed clock and host facts, a tree, registry
// helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/winreg.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/TempDir.h"
#include "wizard/UserControl1.h"
#include "wizard/WizardHost.h"
#include "wizard/WizardKeys.h"

namespace wizard::testing {

// Gives every test of the program a fresh state directory (registry and
// all) for its whole run, fixture included: the wizard's tests write the
// same keys, and one's values must not reach the next. A test file calls it
// in the initializer of a namespace-scope constant.
inline bool FreshStatePerTest() {
    class Listener : public ::testing::EmptyTestEventListener {
        void OnTestStart(const ::testing::TestInfo&) override { state_.emplace(); }
        void OnTestEnd(const ::testing::TestInfo&) override { state_.reset(); }
        std::optional<tavro::testing::FreshState> state_;
    };
    ::testing::UnitTest::GetInstance()->listeners().Append(new Listener);  // gtest owns it
    return true;
}

using tavro::testing::ReadFile;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

// The real host over the test's own registry database and a temporary
// tree, with the clock at 3/7/2026 1:05:09 PM and fixed host facts.
class TestHost : public SystemWizardHost {
public:
    TestHost() {
        now.tm_year = 2026 - 1900;
        now.tm_mon = 2;
        now.tm_mday = 7;
        now.tm_hour = 13;
        now.tm_min = 5;
        now.tm_sec = 9;
    }
    std::tm LocalNow() override { return now; }
    std::optional<std::string> HostName() override { return hostName; }
    std::optional<std::string> DnsDomain() override { return dnsDomain; }

    std::tm now{};
    std::optional<std::string> hostName = "norbahost";
    std::optional<std::string> dnsDomain = "sales.example.com";
};

inline const char kGeneralDateNow[] = "3/7/2026 1:05:09 PM";

// Registry keys of the wizard.
inline const char kQimKey[] = "SOFTWARE\\ZM\\InstallState\\QIM";
inline const char kTeskKey[] = "SOFTWARE\\ZM\\InstallState\\TESK";
inline const char kPlovKey[] = "SOFTWARE\\ZM\\InstallState\\PLOV";

// Writes `bytes` as a value of `type` under HKEY_LOCAL_MACHINE, creating the key.
inline void SetValue(const std::string& key, const std::string& name, DWORD type,
                     const std::string& bytes) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(handle, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size())),
        ERROR_SUCCESS);
    RegCloseKey(handle);
}

inline void SetText(const std::string& key, const std::string& name, const std::string& text) {
    SetValue(key, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

// A REG_SZ value's text without its NUL, or nothing.
inline std::optional<std::string> GetText(const std::string& key, const std::string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    char data[4096];
    DWORD size = sizeof data;
    DWORD type = 0;
    LONG rc = RegQueryValueExA(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                               &size);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0 || data[size - 1] != '\0')
        return std::nullopt;
    return std::string(data, size - 1);
}

// The eleven values the wizard writes, by "key\name"; a missing one is absent.
inline std::map<std::string, std::string> WrittenValues() {
    static const std::pair<const char*, const char*> kValues[] = {
        {"SOFTWARE\\ZM\\vantrix\\norba", "Name"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "Company"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "Phone"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "Email"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "MailServer"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "System Serial Number"},
        {"SOFTWARE\\ZM\\vantrix\\norba", "Notification"},
        {"SOFTWARE\\ZM\\vantrix\\TESK", "Email"},
        {"SOFTWARE\\ZM\\vantrix\\PLOV", "Email"},
        {"SOFTWARE\\Pelmar\\vantrix\\VRN", "CollectAtReboot"},
        {"SOFTWARE\\Pelmar\\vantrix\\VRN", "StartService"},
    };
    std::map<std::string, std::string> values;
    for (const auto& [key, name] : kValues) {
        if (auto text = GetText(key, name)) values[std::string(key) + "\\" + name] = *text;
    }
    return values;
}

// An install tree in a temporary directory whose name holds a blank, its
// directories spelt in lower case, registered as the Qim install path.
class WizardTree {
public:
    WizardTree() {
        root_ = (dir_.Path() / "Qim Root").string() + "/";
        std::filesystem::create_directories(root_ + "specific/tavro/config");
        std::filesystem::create_directories(root_ + "common/vrn");
        std::filesystem::create_directories(root_ + "common/bin");
        SetText(kQimKey, "INSTALLPATH", root_);
    }
    const std::string& Root() const { return root_; }
    std::string Path(const std::string& relative) const { return root_ + relative; }
    void Write(const std::string& relative, const std::string& bytes) const {
        WriteFile(root_ + relative, bytes);
    }
    std::string Read(const std::string& relative) const { return ReadFile(root_ + relative); }

private:
    TempDir dir_{"wizard"};
    std::string root_;
};

// A control over a TestHost, shown once (start-up run).
struct ShownWizard {
    ShownWizard() { shown = control.Show(); }
    TestHost host;
    UserControl1 control{host};
    Effects shown;
};

// Page 1 filled so that its checks pass.
inline void FillPageOne(UserControl1& control) {
    control.SetText("TXT_UI_USER_NAME", " Ann Smith ");
    control.SetText("TXT_UI_COMPANY_NAME", "Acme Ltd");
    control.SetText("TXT_UI_PHONE_NUMBER", "555 0100");
    control.SetText("TXT_UI_EMAIL", "ann@acme.example.com");
    control.SetText("TXT_UI_SMTP_MAIL_SERVER", "mail.acme.example.com");
    control.SetText("TXT_UI_SYSTEM_SERIAL_NUMBER", "SN-42");
}

// Message boxes of one title.
inline std::vector<MessageBox> Boxes(const std::vector<std::string>& texts,
                                     const char* title = kInformationTitle) {
    std::vector<MessageBox> boxes;
    for (const std::string& text : texts) boxes.push_back({text, title});
    return boxes;
}

// Marks components as installed.
inline void InstallTesk() { SetText(kTeskKey, "INSTALLPATH", "C:\\Tesk\\"); }
inline void InstallPlov() { SetText(kPlovKey, "INSTALLPATH", "C:\\Plov\\"); }
inline void InstallVrn(const WizardTree& tree, const std::string& ini = "[Configuration]\r\n") {
    tree.Write("common/vrn/vrn_config.INI", ini);
}

#ifdef WIZARD_GOLDEN_DIR
// A file of wizard/testdata.
inline std::string Golden(const std::string& name) {
    std::string bytes = ReadFile(std::string(WIZARD_GOLDEN_DIR) + "/" + name);
    EXPECT_FALSE(bytes.empty()) << "golden file " << name;
    return bytes;
}

// Tesk, Plov, and Vrn with an INI file of other sections and comments.
inline void InstallEverything(const WizardTree& tree) {
    InstallTesk();
    InstallPlov();
    InstallVrn(tree, Golden("vrn_config.before.INI"));
}
#endif

}  // namespace wizard::testing
