// Fuzz target: gateway frames of arbitrary bytes, read and decoded as gateway records.
//
// Reaches: the frame reader over any byte source (short and long heads,
// lengths up to and past the limit, streams cut anywhere), record decoding
// and the item check of every record kind. Run with inputs of up to 16 MiB
// (run.sh's large-input run), a frame's memory must follow the bytes that
// came: AllocationBound fails a small input that allocates what its head
// announces (seed head-announces-16MiB).
// Cannot reach: the transport's reads (a byte source in memory stands in),
// and what a gateway does with a record (JexGatewayHandshake_fuzz).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/AllocationBound.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayFrame.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int Read(void* context, char* p, int n) {
    auto* s = static_cast<Source*>(context);
    const auto want = static_cast<size_t>(n);
    if (s->size - s->pos < want) return 1;
    std::memcpy(p, s->data + s->pos, want);
    s->pos += want;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::AllocationBound bound(size);
    Source source{data, size, 0};
    // Several frames may follow each other; read until the bytes run out.
    for (int frames = 0; frames < 64; ++frames) {
        JexBuffer body;
        const int rc = JexReadFrameFrom(&Read, &source, body);
        if (rc == kJexFrameTooBig) {
            if (body.Length() != 4 || static_cast<uint32_t>(body.GetLong()) <= kJexMaxFrameLength)
                std::abort();
            break;
        }
        if (rc != kJexFrameOk) break;
        if (body.Length() > kJexMaxFrameLength) std::abort();
        JexNetMsg record;
        record.Decode(body);
        // The item check of every record kind: it must never crash, and a
        // record it accepts has every item its kind needs.
        (void)JexGateway::CheckRecord(record);
    }
    return 0;
}
