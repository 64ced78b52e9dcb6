// Fuzz target: catalog files of any content, looked up, formatted, wrapped and used for errors.
//
// Input: the content of the one catalog file. Its first word is looked up
// as a mnemonic (so that the fuzzer finds it in the file), then a fixed one;
// the texts found are formatted with arguments, shown with their code,
// wrapped, and an error with a cause is rendered. The catalog path holds a
// template with "%L" and "%C" (a directory without catalogs) before the
// file itself. Seeds cover every escape, the data file's comments, quotes,
// separators, continued lines and CR LF ends, the formatter's conversions
// and every form of facility (allowed characters, "..", "/", none);
// JexCatalog_fuzz.dict holds their keywords (run.sh passes it).
// Reaches: the data file reader, mnemonic and facility checks, template
// substitution, escape expansion, the text limit, formatting and wrapping.
// Cannot reach: catalogs found by language or facility in real directories
// (the file is always the same), the trace switch (read once at load).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/MessagesFuzzState.h"
#include "jexlink/messages/JexCatalog.h"
#include "jexlink/messages/JexMsg.h"
#include "platform/PlatformState.h"
#include "testing/support/JexConfigTestSupport.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The catalog file: one memory file whose content each input replaces,
// named by MSGPATH.
int CatalogFile() {
    static int fd = -1;
    if (fd >= 0) return fd;
    fuzz_support::UsePrivateState();
    fd = memfd_create("catalog", MFD_CLOEXEC);
    Check(fd >= 0);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const char* state = std::getenv(platform::kStateDirVar);
    const std::string none = std::string(state ? state : "/nonexistent") + "/catalogs/%L/%C.msg";
    Check(tavro::testing::WriteList(JexConfig::kGlobalParameters, "MSGPATH", {none, path}));
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const int fd = CatalogFile();
    Check(ftruncate(fd, 0) == 0);
    Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    // The mnemonic asked for: the input's first word (so that it is often
    // there), and a fixed one.
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t n = 0;
    while (n < size && n < 64 && bytes[n] != ' ' && bytes[n] != '\n' && bytes[n] != '\0') ++n;
    const std::string first(bytes, n);

    JexCatalog catalog;
    const JexExcArgs args("fuzz", "one", 2, "three");
    for (const std::string& mnemonic : {first, std::string("JexMsg::CONNFAIL")}) {
        const int found = catalog.Lookup(mnemonic.c_str());
        Check(found == catalog.Found());
        Check(std::strlen(catalog.Text().Text()) <= static_cast<size_t>(JexCatalog::kMaxText));
        if (!found) Check(catalog.Text().Text()[0] == '\0');
        catalog.ShowCode(size % 2 ? 1 : 0);
        catalog.WrapAt(size > 0 ? data[0] % 40 : 0);
        const JexString formatted = catalog.Formatted(JexBuffer9(args));
        if (!found) Check(formatted.Text()[0] == '\0');
    }
    JexMsg inner(JexMsg::CONNFAIL, args);
    JexMsg error(JexMsg::OPENERR, args, &inner);
    const JexString lines = catalog.Formatted(&error);
    const size_t length = std::strlen(lines.Text());
    Check(length > 0 && lines.Text()[length - 1] == '\n');
    return 0;
}
