// Fuzz target: file-name parsing of arbitrary text, the renderings and their re-parse.
//
// Reaches: file-name parsing of any text up to 4 KiB, the Unix, Windows and Qvos renderings and
// their re-parse, related and default names.
// Cannot reach: the file system (names are never opened).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "jexlink/cli/JexFileName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string spec = text.substr(0, text.find('\0'));
    JexFileName f;
    f.SetSuppress(1);
    f = spec.c_str();
    if (f.Code() != JexFileName::OK) return 0;
    f.UnixText();
    f.WindowsText();
    const JexString qvos = f.QvosText();

    // Every rendering parses again without a crash (a Qvos rendering may still be refused).
    for (const JexString& rendered : {f.UnixText(), f.WindowsText(), qvos}) {
        JexFileName again;
        again.SetSuppress(1);
        again = rendered.Text();
        again.QvosText();
    }

    // Inheritance over the same text as related and default name.
    JexFileName child("sub/x");
    child.SetSuppress(1);
    child.Related(spec.c_str());
    child.Default(".cli");
    child.UnixText();
    child.QvosText();
    child.WindowsText();
    return 0;
}
