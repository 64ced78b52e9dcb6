// Fuzz target: service look-ups in the text of a services file.
//
// Reaches: service-name and port lookups in a services file of any text up to 64 KiB.
// Cannot reach: the system's own services file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "jexlink/transport/NetNames.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// The first two bytes are a port to look up; the rest is the file's text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 16)) return 0;
    const int port = data[0] | (data[1] << 8);
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::string name = jexnet::FindServiceName(text, port);
    if (!name.empty()) {
        // A name found for a port leads back to a port with that name.
        const int back = jexnet::FindServicePort(text, name.c_str());
        Check(back >= 1 && back <= 65535);
    }
    const int found = jexnet::FindServicePort(text, "smtp");
    Check(found >= 0 && found <= 65535);
    return 0;
}
