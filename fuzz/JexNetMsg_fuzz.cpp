// Fuzz target: net-message decoding of arbitrary bytes and the re-encode round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "jexlink/core/JexNetMsg.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    JexNetMsg msg;
    msg.Decode(data, static_cast<int>(size));

    // Whatever decoded (even from corrupt bytes) encodes, and reads back the same.
    const JexBuffer wire = msg.Encode();
    Check(wire.Length() >= 1);
    JexNetMsg back;
    back.Decode(wire);
    Check(back.Corrupt() == 0);
    Check(back.Type() == msg.Type());
    Check(back.ItemCount() == msg.ItemCount());
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        Check((back[i].Data() != nullptr) == (msg[i].Data() != nullptr));
        Check(back[i] == msg[i]);
    }
    // Re-encoding drops only repeated items and trailing bytes: never longer.
    if (!msg.Corrupt()) Check(wire.Length() <= static_cast<int>(size));

    std::ostringstream dump;
    msg.Dump(dump);
    return 0;
}
