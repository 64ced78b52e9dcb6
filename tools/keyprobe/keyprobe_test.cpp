// Tests of keyprobe as a process over a registry database of its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/winreg.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildResult;
using tavro::testing::RegistryPlace;
using tavro::testing::RunChild;
using tavro::testing::WriteValue;

constexpr char kUsage[] =
    "usage: keyprobe class keyname valueName\n"
    "   Example: keyprobe HKEY_LOCAL_MACHINE SOFTWARE\\ZM\\Ulva \"Installed Path\"\n"
    "   Example: keyprobe HKEY_LOCAL_MACHINE `SOFTWARE\\ZM\\Ul va` \"Installed Path\"";

ChildResult RunKeyprobe(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), KEYPROBE);
    return RunChild(args, input);
}

std::string Text(const std::string& text) { return std::string(text.c_str(), text.size() + 1); }

std::string Dword(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

class KeyprobeTest : public testing::Test {
protected:
    void SetUp() override {
        const RegistryPlace ulva{HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\Ulva"};
        const RegistryPlace spaced{HKEY_LOCAL_MACHINE, "SOFTWARE\\ZM\\Ul va"};
        ASSERT_TRUE(WriteValue(ulva, "Installed Path", REG_SZ, Text("C:\\Vantrix")));
        ASSERT_TRUE(WriteValue(ulva, "Mask", REG_DWORD, Dword(255)));
        ASSERT_TRUE(WriteValue(ulva, "Zero", REG_DWORD, Dword(0)));
        ASSERT_TRUE(WriteValue(ulva, "List", REG_MULTI_SZ, std::string("one\0two\0\0", 9)));
        ASSERT_TRUE(WriteValue(ulva, "Home", REG_EXPAND_SZ, Text("%VANTRIX_HOME%\\bin")));
        ASSERT_TRUE(WriteValue(ulva, "Link", REG_LINK, Text("\\Registry\\Machine\\ZM")));
        ASSERT_TRUE(WriteValue(ulva, "Bytes", REG_BINARY, "abc"));
        ASSERT_TRUE(WriteValue(ulva, "Big", REG_DWORD_BIG_ENDIAN, Dword(7)));
        ASSERT_TRUE(WriteValue(ulva, "Bare", REG_SZ, "no nul"));
        ASSERT_TRUE(WriteValue(ulva, "Fits", REG_SZ, std::string(1024, 'f')));
        ASSERT_TRUE(WriteValue(ulva, "Large", REG_SZ, Text(std::string(1024, 'l'))));
        ASSERT_TRUE(WriteValue(spaced, "Installed Path", REG_SZ, Text("D:\\Spaced")));
        ASSERT_TRUE(WriteValue(spaced, "", REG_SZ, Text("default")));
        ASSERT_TRUE(WriteValue({HKEY_CURRENT_CONFIG, "Software\\Fonts"}, "LogPixels", REG_DWORD,
                               Dword(0x60)));
        ASSERT_TRUE(WriteValue({HKEY_CURRENT_USER, "Software\\ZM"}, "Who", REG_SZ, Text("me")));
    }
};

TEST_F(KeyprobeTest, PrintsValuesBare) {
    struct Case {
        std::vector<std::string> args;
        std::string output;
    } cases[] = {
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Installed Path"}, "C:\\Vantrix"},
        {{"HKEY_LOCAL_MACHINE", "software\\zm\\ulva", "installed path"}, "C:\\Vantrix"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Mask"}, "ff"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Zero"}, "0"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "List"}, "one"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Home"}, "%VANTRIX_HOME%\\bin"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Link"}, "\\Registry\\Machine\\ZM"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Bare"}, "no nul"},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Fits"}, std::string(1024, 'f')},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Bytes"}, ""},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Big"}, ""},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Large"}, ""},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva", "Missing"}, ""},
        {{"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Nowhere", "Mask"}, ""},
        {{"HKEY_LOCAL_MACHINE", "`SOFTWARE\\ZM\\Ul", "va`", "Installed Path"}, "D:\\Spaced"},
        {{"HKEY_LOCAL_MACHINE", "`SOFTWARE\\ZM\\Ul", "va`"}, "default"},
        {{"HKEY_LOCAL_MACHINE", "`SOFTWARE\\ZM\\Ul", "va", "Installed Path"}, ""},
        {{"HKEY_LOCAL_MACHINE", "", "Mask"}, ""},
        {{"HKEY_CURRENT_CONFIG", "Software\\Fonts", "LogPixels"}, "60"},
        {{"HKEY_CURRENT_USER", "Software\\ZM", "Who"}, "me"},
        {{"HKEY_USERS", "Software\\ZM", "Who"}, ""},
        {{"hkey_local_machine", "SOFTWARE\\ZM\\Ulva", "Mask"}, ""},
        {{"HKLM", "SOFTWARE\\ZM\\Ulva", "Mask"}, ""},
    };
    for (const Case& c : cases) {
        const ChildResult result = RunKeyprobe(c.args);
        EXPECT_EQ(result.output, c.output) << testing::PrintToString(c.args);
        EXPECT_EQ(result.exitStatus, 0) << testing::PrintToString(c.args);
    }
}

TEST_F(KeyprobeTest, UsageText) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"HKEY_LOCAL_MACHINE"},
                                               {"HKEY_LOCAL_MACHINE", "SOFTWARE\\ZM\\Ulva"},
                                               {"-?", "a", "b"},
                                               {"/?"},
                                               {"USER", "Continue?"}}) {
        const ChildResult result = RunKeyprobe(args);
        EXPECT_EQ(result.output, kUsage) << testing::PrintToString(args);
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST_F(KeyprobeTest, NoArgumentsPrintsTheProgramDirectory) {
    const ChildResult result = RunChild({KEYPROBE});
    EXPECT_EQ(result.output, std::filesystem::path(KEYPROBE).parent_path().string() + "/");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(KeyprobeTest, StartedWithoutADirectoryPrintsTheCurrentOne) {
    tavro::testing::TempDir dir("keyprobe");
    const std::string bin = std::filesystem::path(KEYPROBE).parent_path().string();
    // Found through PATH, the program's path is its bare name.
    const ChildResult result = RunChild(
        {"/bin/sh", "-c", "cd '" + dir.Path().string() + "' && PATH='" + bin + "' keyprobe"});
    EXPECT_EQ(result.output, std::filesystem::canonical(dir.Path()).string());
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(KeyprobeTest, UserFormComparesTheReplyWithTheAnswers) {
    struct Case {
        const char* input;
        int status;
    } cases[] = {
        {"y\n", 0},     {"yes\n", 0},  {"n\r\n", 0}, {"\n", 0},  {"y", 0},
        {"maybe\n", 1}, {"yess\n", 1}, {"", 1},      {"Y\n", 1},
    };
    for (const Case& c : cases) {
        const ChildResult result = RunKeyprobe({"USER", "Continue?", "yes", "no"}, c.input);
        EXPECT_EQ(result.output, "Continue? ") << c.input;
        EXPECT_EQ(result.exitStatus, c.status) << c.input;
    }
}

}  // namespace
