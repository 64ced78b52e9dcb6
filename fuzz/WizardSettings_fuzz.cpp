// Fuzz target: a wizard settings file of arbitrary bytes, read as items, cut at labels, split.
//
// Reaches: a wizard settings file of any bytes: the text's decoding to UTF-8, its items, values
// after labels, serial and name lines, numeric checks.
// Cannot reach: the wizard's pages and the files it writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wizard/WizardText.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// Whatever the file holds, the reader gives exactly the items asked for, the
// text it works on is UTF-8, and no item or cut is longer than the input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = wizard::TextFromFileBytes(bytes);
    Check(wizard::IsUtf8(text));
    Check(text.size() <= 3 * bytes.size());
    for (size_t count : {size_t{4}, size_t{15}}) {
        auto items = wizard::ReadSettingsItems(text, count);
        Check(items.size() == count);
        for (const std::string& item : items) {
            Check(item.size() <= text.size());
            for (const char* label : {"=", "Customer:", "Special Instructions:"}) {
                std::string value = wizard::ValueAfterDelimiter(item, label);
                Check(value.size() < item.size() || value.empty());
            }
            wizard::SerialAndName split = wizard::SplitSerialLine(item);
            Check(split.serial.size() + split.name.size() <= item.size());
            (void)wizard::IsNumeric(item);
        }
    }
    return 0;
}
