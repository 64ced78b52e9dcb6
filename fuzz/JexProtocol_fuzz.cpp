// Fuzz target: error records with their chains of causes, as a peer's failure reaches a protocol
// object.
//
// Input: a net message whose error items ('/' the code name, '0' the text,
// '1'..'9' the arguments) and nested causes (item ':', up to the depth
// limit) are unloaded into a session's error (code names of its table) and
// into a bare protocol object, described, and loaded into a new message
// again. Inputs of up to 16 MiB (run.sh's large-input run) go through
// AllocationBound: the chain's memory must follow the bytes received, not
// grow with its depth times its size.
// Reaches: every depth of chain and its cut, known and unknown code names,
// external texts with '%', arguments of any length, describing and loading.
// Cannot reach: how a session or gateway reacts to the error
// (JexSession_fuzz, JexGatewayHandshake_fuzz); transportable images
// (JexTIE_fuzz).
#include <cstddef>
#include <cstdint>

#include "fuzz/AllocationBound.h"
#include "fuzz/ErrorChainChecks.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexProtocol.h"

namespace {

using fuzz_support::ChainLength;
using fuzz_support::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(JexNetMsg::kItemLimit) + 64) return 0;
    fuzz_support::AllocationBound bound(size);
    JexNetMsg msg;
    msg.Decode(data, static_cast<int>(size));

    JexProtocol bare;
    bare.SetSuppress(1);
    const int code = bare.UnloadException(msg, "fuzz");
    Check(code == bare.Code());
    // The record's levels, at most one past the limit for the cut.
    Check(ChainLength(bare) <= JexProtocol::kMaxCauseDepth + 2);
    JexString text;
    bare.Describe(text, 1);
    JexNetMsg again(JexSession::kCrFail);
    bare.LoadException(again);
    JexBuffer wire;
    (void)again.Encode(wire);

    // As a session's peer error: names of the session's table are its codes.
    JexSession session;
    session.SetSuppress(1);
    session.UnloadException(msg, "fuzz");
    JexString described;
    JexProtocol::DescribeMsg(described, msg);
    return 0;
}
