// Fuzz target: tag expansion over hostile texts and tag values.
//
// Reaches: tag lists built from any names and values, tag expansion of any text, the expansion
// limit, the list's rendering.
// Cannot reach: tags set by the library's callers (the process's own), texts above 16 KiB.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/core/JexTagList.h"
#include "jexlink/core/JexUtilities.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// Input: lines "tag=value" up to the first empty line, then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    JexTagList tags;
    size_t at = 0;
    while (at < input.size()) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(at, end - at);
        at = end + 1;
        if (line.empty()) break;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        tags[line.substr(0, eq).c_str()] = line.substr(eq + 1).c_str();
    }
    const std::string text = at < input.size() ? input.substr(at) : "";
    const std::string out = JexExpandTags(text.c_str(), tags).Text();
    Check(out.size() <= std::strlen(text.c_str()) + kMaxTagExpansion);
    if (text.find('{') == std::string::npos) Check(out == text.c_str());
    JexString rendered = tags.Text();
    Check(rendered.Data() == nullptr || rendered.Data()[rendered.Length()] == 0);
    return 0;
}
