// The key name argument of keyprobe: a plain word, or back-quoted words joined by spaces.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyprobe {

// The joined key name and the index of the argument after its last word
// (the value name; `args.size()` when the key used up the arguments).
struct KeyName {
    std::string key;
    size_t next = 0;
};

// Builds the key name from `args[first]` on. A word beginning with "`"
// starts a quoted key that takes each following word after one space up to
// and including the first later word whose first "`" is its last character
// (that "`" is dropped). Nothing when `first` is past the end, the word is
// empty, or a quoted key is never closed. No limit on the length.
std::optional<KeyName> JoinKeyName(const std::vector<std::string_view>& args, size_t first);

}  // namespace keyprobe
