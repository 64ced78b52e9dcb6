// Decoder of application/x-www-form-urlencoded request bodies, with limits.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wizard {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The name=value pairs of the body in order ('+' is a blank, %XX a byte);
// nothing when a pair lacks '=', an escape is malformed, there are more
// than `maxFields` pairs, or a name or value decodes to more than
// `maxLength` bytes. Empty pieces between '&' are skipped.
std::optional<FormFields> DecodeForm(std::string_view body, size_t maxFields, size_t maxLength);

}  // namespace wizard
