// Fuzz target: LZW expansion of hostile message sequences, and the compress/expand round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jexlink/transport/LzwCodec.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Input: one byte of repeat count, then messages, each a 16-bit
// little-endian length and that many bytes (cut at the end of the input).
std::vector<std::vector<unsigned char>> Messages(const uint8_t* data, size_t size) {
    std::vector<std::vector<unsigned char>> messages;
    size_t at = 1;
    while (at + 2 <= size) {
        size_t n = data[at] | static_cast<size_t>(data[at + 1]) << 8;
        at += 2;
        if (n > size - at) n = size - at;
        messages.emplace_back(data + at, data + at + n);
        at += n;
    }
    return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const int repeat = 1 + (data[0] & 15);
    const auto messages = Messages(data, size);

    // Every message as a compressed one, through one expander in order: any
    // result but a crash; after a failure the stream cannot go on.
    {
        LzwDecoder decoder;
        JexBuffer out;
        for (const auto& m : messages) {
            const auto result = decoder.Decode(m.data(), static_cast<int>(m.size()), out);
            if (result != LzwDecoder::Result::kOk) break;
        }
    }

    // Every message, repeated, through one compressor and one expander.
    LzwEncoder encoder;
    LzwDecoder decoder;
    JexBuffer wire;
    JexBuffer back;
    std::vector<unsigned char> plain;
    for (const auto& m : messages) {
        plain.clear();
        for (int r = 0; r < repeat; ++r) plain.insert(plain.end(), m.begin(), m.end());
        Check(encoder.Encode(plain.data(), static_cast<int>(plain.size()), wire));
        Check(wire.Length() <= 2 * static_cast<int>(plain.size()) + 2);
        Check(decoder.Decode(reinterpret_cast<const unsigned char*>(wire.Data()), wire.Length(),
                             back) == LzwDecoder::Result::kOk);
        Check(back.Length() == static_cast<int>(plain.size()));
        Check(plain.empty() || std::memcmp(back.Data(), plain.data(), plain.size()) == 0);
    }
    return 0;
}
