// Joining keyprobe's key name arguments.
#include "tools/keyprobe/KeyName.h"

namespace keyprobe {

std::optional<KeyName> JoinKeyName(const std::vector<std::string_view>& args, size_t first) {
    if (first >= args.size() || args[first].empty()) return std::nullopt;
    const std::string_view word = args[first];
    if (word.front() != '`') return KeyName{std::string(word), first + 1};
    std::string key(word.substr(1));
    for (size_t i = first + 1; i < args.size(); ++i) {
        const std::string_view next = args[i];
        const size_t quote = next.find('`');
        key += ' ';
        if (quote != std::string_view::npos && quote + 1 == next.size()) {
            key += next.substr(0, quote);
            return KeyName{std::move(key), i + 1};
        }
        key += next;
    }
    return std::nullopt;
}

}  // namespace keyprobe
