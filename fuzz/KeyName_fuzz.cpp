// Fuzz target: keyprobe's key name joining over arbitrary argument lists.
//
// Reaches: keyprobe's joining of key names from argument lists of any pieces, quoted and plain.
// Cannot reach: the registry look-up of the joined name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/keyprobe/KeyName.h"

// The arguments are the input's pieces between NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> args;
    for (size_t start = 0;;) {
        const size_t end = input.find('\0', start);
        args.push_back(input.substr(start, end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    for (size_t first = 0; first <= args.size(); ++first) {
        const auto name = keyprobe::JoinKeyName(args, first);
        if (!name) continue;
        if (name->next <= first || name->next > args.size()) std::abort();
        size_t words = 0;
        for (size_t i = first; i < name->next; ++i) words += args[i].size() + 1;
        if (name->key.size() >= words) std::abort();
        if (args[first].front() != '`' && name->key != args[first]) std::abort();
    }
    return 0;
}
