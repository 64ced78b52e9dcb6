// Fuzz target: syntax tables read from arbitrary bytes, then dumped, listed and used to parse.
//
// Reaches: compiled syntax tables read from any bytes up to 64 KiB, their dump and usage listing,
// parsing fixed lines against them in every style.
// Cannot reach: tables from the installation's search path, lines other than the three fixed ones
// (JexPCLI_fuzz).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ScratchDir.h"
#include "jexlink/cli/JexPCLI.h"
#include "jexlink/cli/JexPCLITable.h"

namespace {

// The table file of this process, rewritten for each input.
const std::string& TablePath() {
    static const std::string path = fuzz_support::MakeScratchDir("JexPCLITable_fuzz") + "/t.cli";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    FILE* out = std::fopen(TablePath().c_str(), "wb");
    if (!out) std::abort();
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);

    static FILE* sink = std::fopen("/dev/null", "w");
    JexPCLI cli(TablePath().c_str());
    cli.ShowTable(sink);
    int n = 0;
    cli.Usage(sink, nullptr, n, 0, 0);
    for (int style = 0; style < 4; ++style) {
        cli.Style(style);
        for (const char* line : {"A B /C=D -E F G:H", "noA \"x y\" --pcli_ui=vesk", ""}) {
            cli.Parse(line);
            cli.Value(JexString("A"));
            cli.IsPresent(JexString("C.D"));
        }
    }
    return 0;
}
