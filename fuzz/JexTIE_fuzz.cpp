// Fuzz target: transportable images from the wire, unloaded as errors (every flag pair) and as
// messages.
//
// Reaches: transportable images of any bytes up to 1 MiB unloaded as errors (every flag pair) and
// as catalog messages, described and loaded again.
// Cannot reach: catalog files with texts (the catalog is empty: JexCatalog_fuzz has files).
#include <cstddef>
#include <cstdint>

#include "fuzz/ErrorChainChecks.h"
#include "fuzz/MessagesFuzzState.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/messages/JexCatalog.h"
#include "jexlink/messages/JexMsg.h"
#include "jexlink/messages/JexTIE.h"

namespace {

using fuzz_support::ChainLength;
using fuzz_support::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    fuzz_support::UsePrivateState();
    JexNetMsg msg;
    msg.Decode(data, static_cast<int>(size));

    for (int replace = 0; replace <= 1; ++replace) {
        for (int mode = 0; mode <= 1; ++mode) {
            JexMsg target(JexMsg::INVCMD, JexExcArgs("fuzz", "earlier"));
            Check(JexTIEUnloadException(msg, target, replace, mode) == 1);
            // At most the images followed, the earlier error and its head.
            Check(ChainLength(target) <= kMaxImageDepth + 1);
            // Whatever arrived can be shown and sent on again.
            const JexString text = target.Describe(1);
            JexNetMsg again('R');
            Check(JexTIELoadException(target, again) == 1);
        }
    }

    static JexCatalog* catalog = new JexCatalog();
    JexString mnemonic, text;
    const int result = JexTIEUnloadMessage(*catalog, msg, mnemonic, text);
    Check(result == 0 || result == 1);
    return 0;
}
