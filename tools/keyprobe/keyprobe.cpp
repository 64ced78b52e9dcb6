// keyprobe: prints one registry value bare, the program's directory, or asks the user a question.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"
#include "platform/winreg.h"
#include "tools/keyprobe/KeyName.h"

namespace {

constexpr const char* kUsage =
    "usage: keyprobe class keyname valueName\n"
    "   Example: keyprobe HKEY_LOCAL_MACHINE SOFTWARE\\ZM\\Ulva \"Installed Path\"\n"
    "   Example: keyprobe HKEY_LOCAL_MACHINE `SOFTWARE\\ZM\\Ul va` \"Installed Path\"";

constexpr DWORD kValueBuffer = 1024;
constexpr int kReplyBuffer = 1024;

HKEY RootOf(std::string_view name) {
    struct Root {
        const char* name;
        HKEY key;
    };
    const Root roots[] = {
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKEY_USERS", HKEY_USERS},
    };
    for (const Root& root : roots)
        if (name == root.name) return root.key;
    return nullptr;
}

// Prints the value bare; every failure prints nothing.
void PrintValue(const std::vector<std::string_view>& args) {
    const HKEY root = RootOf(args[0]);
    if (!root) return;
    const std::optional<keyprobe::KeyName> name = keyprobe::JoinKeyName(args, 1);
    if (!name) return;
    const std::string valueName =
        name->next < args.size() ? std::string(args[name->next]) : std::string();
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, name->key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    // One byte more than the value may fill keeps every text terminated.
    unsigned char data[kValueBuffer + 1] = {};
    DWORD size = kValueBuffer;
    DWORD type = REG_NONE;
    const LONG rc = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_LINK:
        case REG_MULTI_SZ: std::printf("%s", reinterpret_cast<const char*>(data)); break;
        case REG_DWORD: {
            DWORD value = 0;
            std::memcpy(&value, data, sizeof value);
            std::printf("%x", value);
            break;
        }
        default: break;
    }
}

// The program's directory from the path it was started by, with its
// separator at the end; the current directory when the path names none.
void PrintDirectory(const char* program) {
    const std::string path = program ? program : "";
    const size_t last = path.rfind(platform::kPathSeparator);
    if (last != std::string::npos) {
        std::printf("%s", path.substr(0, last + 1).c_str());
        return;
    }
    std::error_code failed;
    const std::filesystem::path current = std::filesystem::current_path(failed);
    if (!failed) std::printf("%s", current.c_str());
}

// Prints the prompt and reads one reply; 0 when an answer begins with the
// whole reply, 1 otherwise (also at the end of input).
int AskUser(const char* prompt, const std::vector<std::string_view>& answers) {
    std::printf("%s ", prompt);
    std::fflush(stdout);
    char line[kReplyBuffer];
    if (!std::fgets(line, sizeof line, stdin)) return 1;
    std::string_view reply(line);
    if (reply.ends_with('\n')) reply.remove_suffix(1);
    if (reply.ends_with('\r')) reply.remove_suffix(1);
    for (std::string_view answer : answers)
        if (answer.starts_with(reply)) return 0;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintDirectory(argv[0]);
        return 0;
    }
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() <= 2 || args[0] == "-?" || args[0] == "/?") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "USER") return AskUser(argv[2], {args.begin() + 2, args.end()});
    PrintValue(args);
    return 0;
}
