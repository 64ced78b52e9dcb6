// Fuzz target: request bodies of the NorbaNew page, decoded as forms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wizard/FormDecoder.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// Whatever the body, the decoder keeps its limits and never yields more
// bytes than the body holds.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (size_t limit : {size_t{4}, size_t{4096}}) {
        auto fields = wizard::DecodeForm(body, 16, limit);
        if (!fields) continue;
        Check(fields->size() <= 16);
        size_t total = 0;
        for (const auto& [name, value] : *fields) {
            Check(name.size() <= limit && value.size() <= limit);
            total += name.size() + value.size();
        }
        Check(total <= body.size());
    }
    return 0;
}
