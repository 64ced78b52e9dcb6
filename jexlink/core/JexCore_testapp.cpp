// Helper process of the core library's cross-process tests: one command from its arguments.
//
//   get NAME        prints the setting's text (JexConfig::Value) and a newline
//   set NAME TEXT   writes the setting into GlobalParameters; status 0 when written
#include <cstdio>
#include <cstring>

#include "jexlink/core/JexConfig.h"

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
    std::fprintf(stderr, "usage: %s get NAME | set NAME TEXT\n", argv[0]);
    return 2;
}
