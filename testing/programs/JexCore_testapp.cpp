// Helper process of the core library's cross-process tests: one command from its arguments.
//
//   get NAME        prints the setting's text (JexConfig::Value) and a newline
//   set NAME TEXT   writes the setting into GlobalParameters; status 0 when written
//   install PATH    records PATH as the installation directory and creates the
//                   settings keys; status 0 when written
//   log COUNT SIZE TAG
//                   appends COUNT history-log records whose Description is TAG, "-",
//                   the record's number and SIZE letters "p"; a record that cannot be
//                   written says so on standard error
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexLogger.h"
#include "testing/support/JexConfigTestSupport.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "get") == 0) {
        JexConfig config;
        std::printf("%s\n", config.Value(argv[2], "(none)").Text());
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "set") == 0) {
        JexConfig config;
        return config.SetValue(argv[2], argv[3], JexConfig::kGlobalParameters) ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "install") == 0)
        return tavro::testing::WriteInstallPath(argv[2]) && tavro::testing::CreateSettingsKeys()
                   ? 0
                   : 1;
    if (argc == 5 && std::strcmp(argv[1], "log") == 0) {
        const int count = std::atoi(argv[2]);
        const std::string padding(static_cast<size_t>(std::atoi(argv[3])), 'p');
        for (int i = 0; i < count; ++i) {
            JexLogger logger;
            logger["Description"] =
                (std::string(argv[4]) + "-" + std::to_string(i) + padding).c_str();
        }
        return 0;
    }
    std::fprintf(stderr, "usage: %s get NAME | set NAME TEXT | log COUNT SIZE TAG\n", argv[0]);
    return 2;
}
