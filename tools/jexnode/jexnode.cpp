// jexnode: prints the support network's local node name as "JEX.LocalNode=<node>.<domain>.jex".
#include <cstdio>
#include <string>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"

namespace {

constexpr int kNotConfigured = 10;

}  // namespace

// Arguments are ignored. Exit 0 after the line, 10 (and nothing printed)
// when the node or the domain is empty or absent.
int main() {
    JexConfig config;
    // Each look-up overwrites the store's text: keep copies.
    const JexString node = config.Value("Local.Node", "");
    const JexString domain = config.Value("Local.Domain", "");
    if (node.Compare("") == 0 || domain.Compare("") == 0) return kNotConfigured;

    // Built without a fixed buffer, so names of any length are printed whole.
    std::string line = "JEX.LocalNode=";
    line += node.Text();
    line += ".";
    line += domain.Text();
    line += ".jex\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}
