// Fuzz target: command lines of arbitrary text parsed against a fixed syntax table, then queried.
//
// Reaches: command lines of any text parsed in every style against a fixed table (qualifiers,
// values, lists, negation, defaults, nesting), queries by name, the argv form.
// Cannot reach: other tables (JexPCLITable_fuzz), lines above 4 KiB.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ScratchDir.h"
#include "jexlink/cli/JexPCLI.h"
#include "testing/support/JexPCLITableWriter.h"

namespace {

constexpr const char* kTable = R"(
Verb   1 SHOW help="Show a thing"
Switch 1 OUTPUT kv ng default=x.lis help="Where to write"
Switch 1 COLOR kv 1f default=RED options=RED,BLUE,BLACK
Switch 1 REST re
Param  1 FILE
Param  1 MORE re
Forbid 1 OUTPUT when=REST help="Not both"
Forbid 1 X a2 options=OUTPUT,COLOR,REST
Verb   2 SUB ng
Switch 2 DEEP kv
Alias  2 S2 to=SUB
Verb   1 LIST
Verb   1 LISTALL
Alias  1 L to=LIST
Alias  1 LOOP to=LOOP
Switch 1 ALL ng pe
Forbid 1 ALL n1 n2 when=LIST
)";

JexPCLI& Cli() {
    static JexPCLI* cli = [] {
        const std::string path = fuzz_support::MakeScratchDir("JexPCLI_fuzz") + "/syntax.cli";
        const std::string bytes = tavro::testing::CliTableBytes(12, kTable);
        FILE* out = std::fopen(path.c_str(), "wb");
        if (!out) std::abort();
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
        auto* made = new JexPCLI(path.c_str());
        if (made->Code() != 0) std::abort();
        return made;
    }();
    return *cli;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    JexPCLI& cli = Cli();
    cli.Style(data[0] & 3);
    const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    cli.Parse(line.c_str());
    for (const char* name :
         {"SHOW", "OUTPUT", "COLOR", "COLOR.BLUE", "COLOR.B", "REST", "FILE", "MORE",
          "SHOW.SUB.DEEP", "SUB", "S2", "LIST", "ALL", "NONE", ".", "A..B"}) {
        cli.Value(JexString(name));
        cli.IsPresent(JexString(name));
        cli.IsNegated(JexString(name));
        cli.IsDefaulted(JexString(name));
    }
    static FILE* sink = std::fopen("/dev/null", "w");
    const char* argv[] = {"prog", line.c_str(), "a b"};
    cli.Parse(3, argv, "cmd", sink);
    return 0;
}
