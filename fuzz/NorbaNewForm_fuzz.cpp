// Fuzz target: request bodies of the NorbaNew page, decoded as forms.
//
// Reaches: request bodies of any bytes decoded as forms under a small and a large field limit:
// escapes, separators, field counts.
// Cannot reach: the page's server, its token and Host/Origin checks (tested in the browser tests).
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
