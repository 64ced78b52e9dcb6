// TavroSettings: the reader of TAVRO.REG and the affinity it selects.
#include "Hostsys/TavroSettings.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/winerror.h"

namespace tavro_settings {

bool ReadValue(const std::string& path, const char* name, std::string& out) {
    out.clear();
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        platform::SetLastErrorFromErrno();
        return false;
    }
    if (!name || !*name) {
        std::fclose(file);
        return true;
    }
    size_t nameLength = std::strlen(name);
    char line[80];
    bool atLineStart = true;
    while (std::fgets(line, sizeof line, file)) {
        size_t length = std::strlen(line);
        bool startsLine = atLineStart;
        atLineStart = length > 0 && line[length - 1] == '\n';
        if (!startsLine || length < nameLength || strncasecmp(line, name, nameLength) != 0)
            continue;
        if (const char* equals = std::strchr(line, '=')) out = equals + 1;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        break;
    }
    std::fclose(file);
    return true;
}

uint32_t AffinityMask(uint32_t systemMask, const std::string& value) {
    int highest = -1;
    int count = 0;
    for (int bit = 31; bit >= 0; --bit) {
        if (!(systemMask & (1u << bit))) continue;
        if (highest < 0) highest = bit;
        ++count;
    }
    if (count < 2) return systemMask;
    char first = static_cast<char>(
        std::tolower(static_cast<unsigned char>(value.empty() ? '\0' : value[0])));
    if (first == 'f') return systemMask;
    if (first == 't') return 1u << highest;
    uint64_t number = 0;
    size_t digits = 0;
    for (; digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits]));
         ++digits) {
        if (number < 32) number = number * 10 + static_cast<uint64_t>(value[digits] - '0');
    }
    if (digits > 0 && number < 32 && (systemMask & (1u << number))) return 1u << number;
    return systemMask;
}

}  // namespace tavro_settings
