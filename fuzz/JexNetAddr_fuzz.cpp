// Fuzz target: network-address parsing of arbitrary texts and the format round trip.
//
// Reaches: address parsing with any separator, every type letter, five-field and other forms,
// formatting and field-by-field rebuilding.
// Cannot reach: name resolution and connecting (no address is used).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/transport/JexNetAddr.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// The first byte chooses the separator ('/' when it is NUL); the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const char sep = data[0] ? static_cast<char>(data[0]) : '/';
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* ctext = text.c_str();  // the text ends at its first NUL

    JexNetAddr a(ctext, sep);
    const int type = a.GetType();
    Check(type == '?' || std::strchr("DLMOSTX", type) != nullptr);
    JexString once;
    a.Format(once);
    if (!JexNetAddr::IsFiveField(type)) Check(std::strcmp(once.Text(), ctext) == 0);
    if (JexNetAddr::IsFiveField(type)) Check(a.Count() == 5);

    // Formatting is stable: the formatted text parses to an address that
    // formats the same and compares equal.
    JexNetAddr b(once, sep);
    JexString twice;
    b.Format(twice);
    Check(std::strcmp(once.Text(), twice.Text()) == 0);
    Check(b.GetType() == type);
    Check((a == b) == 1);

    // The same address rebuilt field by field formats the same.
    JexNetAddr c(sep);
    for (int i = a.Count() - 1; i >= 0; --i) c.SetField(i, a[i]);
    JexString thrice;
    c.Format(thrice);
    Check(std::strcmp(once.Text(), thrice.Text()) == 0);
    return 0;
}
