// Fuzz target: net-message decoding of arbitrary bytes and the re-encode round trip.
//
// Reaches: the regular and raw forms, items of every slot and length up to
// the item limit (inputs of up to 16 MiB in run.sh's large-input run, under
// AllocationBound), corrupt and trailing bytes, repeated items, encoding and
// the dump (of inputs up to 64 KiB); decoding that takes the first item's
// storage (as the session's receive does), which must give what Decode gives
// at every split of lead and rest a reader would make; the walk of the
// present items after each.
// Cannot reach: what any reader makes of the items (the record, session
// and error-record targets do).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "fuzz/AllocationBound.h"
#include "jexlink/core/JexNetMsg.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The walk of the present items visits exactly the slots with storage.
void CheckWalk(const JexNetMsg& msg) {
    int next = msg.NextItem(-1);
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        if (msg[i].Data() == nullptr) continue;
        Check(next == i);
        next = msg.NextItem(i);
    }
    Check(next == JexNetMsg::kItems);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An item below the limit, its head and the type byte.
    if (size > static_cast<size_t>(JexNetMsg::kItemLimit) + 64) return 0;
    fuzz_support::AllocationBound bound(size);
    JexNetMsg msg;
    msg.Decode(data, static_cast<int>(size));
    CheckWalk(msg);

    // Whatever decoded (even from corrupt bytes) encodes, and reads back the same.
    const JexBuffer wire = msg.Encode();
    Check(wire.Length() >= 1);
    JexNetMsg back;
    back.Decode(wire);
    CheckWalk(back);
    Check(back.Corrupt() == 0);
    Check(back.Type() == msg.Type());
    Check(back.ItemCount() == msg.ItemCount());
    for (int i = 0; i < JexNetMsg::kItems; ++i) {
        Check((back[i].Data() != nullptr) == (msg[i].Data() != nullptr));
        Check(back[i] == msg[i]);
    }
    // Re-encoding drops only repeated items and trailing bytes: never longer.
    if (!msg.Corrupt()) Check(wire.Length() <= static_cast<int>(size));

    // The split a reader makes: the type byte and the first item's head, or
    // the raw mark alone; and one that is neither.
    for (size_t split : {size_t{1}, size_t{5}, size_t{3}}) {
        if (split > size) continue;
        JexBuffer lead(JexBufferBase(data, static_cast<int>(split)));
        JexBuffer rest(JexBufferBase(data + split, static_cast<int>(size - split)));
        JexNetMsg taken;
        taken.DecodeTaking(lead, rest);
        CheckWalk(taken);
        Check(rest.Data() == nullptr);
        Check(taken.Type() == msg.Type());
        Check(taken.Corrupt() == msg.Corrupt());
        Check(taken.ItemCount() == msg.ItemCount());
        for (int i = 0; i < JexNetMsg::kItems; ++i) {
            Check((taken[i].Data() != nullptr) == (msg[i].Data() != nullptr));
            Check(taken[i] == msg[i]);
        }
    }

    if (size <= 65536) {
        std::ostringstream dump;
        msg.Dump(dump);
    }
    return 0;
}
