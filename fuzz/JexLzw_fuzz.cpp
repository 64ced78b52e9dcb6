// Fuzz target: LZW expansion of hostile message sequences, and the compress/expand round trip.
//
// Reaches: the expander's code widths, resets, dictionary limits and every
// corrupt stream, state carried across messages and after a failure, the
// compressor's dictionary-full ratio checks, and in-place calls. An input
// above 64 KiB (run.sh's large-input run, up to 16 MiB) is one compressed
// message expanded alone, up to the output limit, under AllocationBound
// (the expansion counts as produced).
// Cannot reach: a session's negotiation of the method (JexSession_fuzz).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/AllocationBound.h"
#include "jexlink/transport/JexLzw.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Input: one byte of repeat count, then messages, each a 16-bit
// little-endian length and that many bytes (cut at the end of the input).
std::vector<JexBuffer> Messages(const uint8_t* data, size_t size) {
    std::vector<JexBuffer> messages;
    size_t at = 1;
    while (at + 2 <= size) {
        size_t n = data[at] | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        if (n > size - at) n = size - at;
        messages.emplace_back(data + at, static_cast<int>(n));
        at += n;
    }
    return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    fuzz_support::AllocationBound bound(size);
    if (size > (1u << 16)) {
        // One frame's worth of compressed bytes, expanded as one message.
        if (size > (1u << 24) + 65536) return 0;
        JexLzw expander;
        expander.SetSuppress(1);
        JexBuffer out;
        const int code = expander.Decompress(JexBuffer(data + 1, static_cast<int>(size - 1)), out);
        Check(code == 0 || code == JexCompressionBase::CORRUPT ||
              code == JexCompressionBase::NOMEMORY);
        bound.Produced(static_cast<size_t>(out.Length()));
        return 0;
    }
    const int repeat = 1 + (data[0] & 15);
    const std::vector<JexBuffer> messages = Messages(data, size);

    // Every message as a compressed one, through one expander in order: any
    // result but a crash, also for the calls after a failure (whose state
    // is then not repaired).
    {
        JexLzw expander;
        expander.SetSuppress(1);
        JexBuffer out;
        for (const JexBuffer& m : messages) {
            const int code = expander.Decompress(m, out);
            Check(code == 0 || code == JexCompressionBase::CORRUPT);
            Check(code == 0 || expander.Code() == code);
        }
    }

    // Every message, repeated, through one compressor and one expander; the
    // last one in place.
    JexLzwCompressor compressor;
    JexLzw expander;
    JexBuffer wire;
    JexBuffer back;
    for (size_t i = 0; i < messages.size(); ++i) {
        JexBuffer plain;
        for (int r = 0; r < repeat; ++r) plain += messages[i];
        bound.Produced(static_cast<size_t>(plain.Length()));
        if (i + 1 == messages.size()) {
            JexBuffer in_place = plain;
            Check(compressor.Compress(in_place, in_place) == 0);
            Check(expander.Decompress(in_place, in_place) == 0);
            Check(in_place == plain);
            continue;
        }
        Check(compressor.Compress(plain, wire) == 0);
        Check(wire.Length() <= 2 * plain.Length() + 2);
        Check(expander.Decompress(wire, back) == 0);
        Check(back.Length() == plain.Length());
        Check(plain.Length() == 0 ||
              std::memcmp(back.Data(), plain.Data(), static_cast<size_t>(plain.Length())) == 0);
    }
    Check(compressor.BytesIn() == expander.BytesOut());
    Check(compressor.BytesOut() == expander.BytesIn());
    return 0;
}
