// LZW coding of a connection's messages as one continuous stream: the encoder and the decoder.
#include "jexlink/transport/LzwCodec.h"

#include <array>
#include <climits>
#include <cstring>

namespace {

// Secondary probe steps of the encoder's hash, one per byte value: odd (so
// a probe sequence visits every slot of the power-of-two table) and of
// alternating sign. Every eighth prime from 1013 on.
constexpr std::array<int, 256> MakeProbeSteps() {
    constexpr int kLimit = 24000;
    std::array<bool, kLimit> composite{};
    std::array<int, 256> steps{};
    int prime_count = 0;
    int filled = 0;
    for (int n = 2; n < kLimit && filled < 256; ++n) {
        if (composite[static_cast<size_t>(n)]) continue;
        for (int m = 2 * n; m < kLimit; m += n) composite[static_cast<size_t>(m)] = true;
        if (n < 1013) continue;
        if (prime_count++ % 8 != 0) continue;
        steps[static_cast<size_t>(filled)] = filled % 2 == 0 ? n : -n;
        ++filled;
    }
    return steps;
}

constexpr std::array<int, 256> kProbeStep = MakeProbeSteps();
static_assert(kProbeStep[0] == 1013 && kProbeStep[1] == -1061 && kProbeStep[2] == 1109 &&
              kProbeStep[3] == -1181 && kProbeStep[4] == 1231 && kProbeStep[255] != 0);

// Writes a code of `width` bits at bit position p, least significant bit
// first, into zero-filled bytes.
inline void PutCode(unsigned char* out, uint64_t p, int code, int width) {
    unsigned char* at = out + (p >> 3);
    const uint32_t bits = static_cast<uint32_t>(code) << (p & 7);
    const uint64_t last = (p + static_cast<uint64_t>(width) - 1) >> 3;
    at[0] = static_cast<unsigned char>(at[0] | (bits & 0xFF));
    if (last > (p >> 3)) at[1] = static_cast<unsigned char>(at[1] | ((bits >> 8) & 0xFF));
    if (last > (p >> 3) + 1) at[2] = static_cast<unsigned char>(at[2] | ((bits >> 16) & 0xFF));
}

// Reads a code of `width` bits at bit position p; bits past the end read as 0.
inline int GetCode(const unsigned char* in, int64_t n, int64_t p, int width) {
    const int64_t byte = p >> 3;
    uint32_t bits = 0;
    if (byte + 3 <= n) {
        bits = static_cast<uint32_t>(in[byte]) | static_cast<uint32_t>(in[byte + 1]) << 8 |
               static_cast<uint32_t>(in[byte + 2]) << 16;
    } else {
        for (int64_t k = 0; k < 3 && byte + k < n; ++k)
            bits |= static_cast<uint32_t>(in[byte + k]) << (8 * k);
    }
    return static_cast<int>((bits >> (p & 7)) & ((1u << width) - 1));
}

}  // namespace

LzwEncoder::LzwEncoder() = default;

void LzwEncoder::ClearHash() { std::memset(hash_.get(), 0, sizeof(uint64_t) * kHashSlots); }

bool LzwEncoder::Encode(const unsigned char* in, int n, JexBuffer& out) {
    if (n <= 0) {
        out.SetLength(0);
        return true;
    }
    // Every input byte gives at most one code of at most 16 bits, plus the
    // final flush and one reset code: 2n + 2 bytes always suffice.
    const int64_t room = 2 * static_cast<int64_t>(n) + 2;
    if (room > INT_MAX - 64) {
        out.Free();
        return false;
    }
    out.SetLength(0);
    out.SetLength(static_cast<int>(room));
    if (!out.Data()) return false;
    std::memset(out.Data(), 0, static_cast<size_t>(room));
    if (!hash_) {
        // The dictionary (768 KiB) is made for the first message coded, so
        // a connection that never sends data does not pay for it.
        hash_.reset(static_cast<uint64_t*>(std::calloc(kHashSlots, sizeof(uint64_t))));
        if (!hash_) {
            out.Free();
            return false;
        }
    }
    auto* bytes = reinterpret_cast<unsigned char*>(out.Data());

    uint64_t* slots = hash_.get();
    uint64_t p = 0;
    auto emit = [&](int code) {
        PutCode(bytes, p, code, state_.width);
        p += static_cast<uint64_t>(state_.width);
        state_.Widen();
    };

    int prefix = in[0];
    for (int i = 1; i < n;) {
        const int c = in[i++];
        // Key 0 (byte 0 after byte 0), stored as 1, is passed over by a
        // probe like an empty slot, and a new key may take its place.
        const uint32_t key = (static_cast<uint32_t>(c) << 16) + static_cast<uint32_t>(prefix) + 1;
        int h = (c << 9) ^ prefix;
        uint64_t slot = slots[h];
        while ((slot >> 16) > 1 && (slot >> 16) != key) {
            h = (h + kProbeStep[static_cast<size_t>(c)]) & 0x1FFFF;
            slot = slots[h];
        }
        if ((slot >> 16) == key) {
            prefix = static_cast<int>(slot & 0xFFFF);
            continue;
        }
        emit(prefix);
        prefix = c;
        if (state_.next_code < LzwCodeWidth::kCodeLimit) {
            slots[h] = static_cast<uint64_t>(key) << 16 | static_cast<uint64_t>(state_.next_code++);
            continue;
        }
        // The dictionary is full. The check compares the ratio so far,
        // this call's input and output included, with the last one seen.
        const uint64_t consumed = bytes_in_ + static_cast<uint64_t>(i);
        if (consumed < next_check_) continue;
        next_check_ = consumed + kCheckInterval;
        float ratio = static_cast<float>(consumed) / static_cast<float>(bytes_out_ + p / 8);
        if (ratio < ratio_) {
            emit(LzwCodeWidth::kResetCode);
            ClearHash();
            state_.Restart(LzwCodeWidth::kFirstCode);
            ratio = 0;
        }
        ratio_ = ratio;
    }
    emit(prefix);

    const int length = static_cast<int>((p + 7) / 8);
    out.SetLength(length);
    bytes_in_ += static_cast<uint64_t>(n);
    bytes_out_ += static_cast<uint64_t>(length);
    ratio_ = static_cast<float>(bytes_in_) / static_cast<float>(bytes_out_);
    return true;
}

LzwDecoder::LzwDecoder(int output_limit)
    : output_limit_(output_limit > 0 ? output_limit : kDefaultOutputLimit) {}

LzwDecoder::Result LzwDecoder::Decode(const unsigned char* in, int n, JexBuffer& out) {
    out.SetLength(0);
    if (n <= 0) return Result::kOk;

    // Output goes straight into out's storage, grown by doubling up to the
    // limit; its used length is set once at the end.
    int64_t used = 0;
    const int64_t guess = 4 * static_cast<int64_t>(n);
    if (!out.Reallocate(static_cast<int>(guess < output_limit_ ? guess : output_limit_)))
        return Result::kNoMemory;
    auto append = [&](const unsigned char* from, int64_t count, bool reversed) {
        if (used + count > output_limit_) return Result::kCorrupt;
        if (used + count >= out.AllocatedLength()) {
            int64_t want = 2 * static_cast<int64_t>(out.AllocatedLength());
            if (want < used + count) want = used + count;
            if (want > output_limit_) want = output_limit_;
            if (!out.Reallocate(static_cast<int>(want))) return Result::kNoMemory;
        }
        auto* to = reinterpret_cast<unsigned char*>(out.Data()) + used;
        if (!reversed) {
            std::memcpy(to, from, static_cast<size_t>(count));
        } else {
            for (int64_t k = 0; k < count; ++k) to[k] = from[count - 1 - k];
        }
        used += count;
        return Result::kOk;
    };
    auto finish = [&](Result result) {
        if (out.Data()) out.SetLength(static_cast<int>(used));
        return result;
    };

    const int64_t total_bits = 8 * static_cast<int64_t>(n);
    int64_t p = 0;
    if (first_) {
        first_ = false;
        const int code = GetCode(in, n, p, state_.width);
        p += state_.width;
        // The stream's first code stands for a single byte.
        if (code > 255) return finish(Result::kCorrupt);
        previous_code_ = code;
        last_first_byte_ = static_cast<unsigned char>(code);
        if (Result r = append(&last_first_byte_, 1, false); r != Result::kOk) return finish(r);
    }

    if (!stack_) {
        // The dictionary is made for the first codes past the first byte,
        // so a connection that never receives data does not pay for it.
        stack_.reset(new unsigned char[kStackSize]);
        prefix_.reset(
            static_cast<uint16_t*>(std::calloc(LzwCodeWidth::kCodeLimit + 1, sizeof(uint16_t))));
        suffix_.reset(static_cast<unsigned char*>(std::calloc(LzwCodeWidth::kCodeLimit + 1, 1)));
        if (!prefix_ || !suffix_) {
            stack_.reset();
            prefix_.reset();
            suffix_.reset();
            return finish(Result::kNoMemory);
        }
        for (int i = 0; i < 256; ++i)
            suffix_[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    }
    unsigned char* stack = stack_.get();
    uint16_t* prefix = prefix_.get();
    unsigned char* suffix = suffix_.get();
    for (;;) {
        state_.Widen();
        const int width = state_.width;
        if (total_bits - p < width) return finish(Result::kOk);
        int code = GetCode(in, n, p, width);
        p += width;
        if (code == LzwCodeWidth::kResetCode) {
            std::memset(prefix, 0, sizeof(uint16_t) * (LzwCodeWidth::kCodeLimit + 1));
            // A reset in the middle of a call is followed by one entry that
            // the encoder never made, so the count starts one lower.
            state_.Restart(p == LzwCodeWidth::kMinWidth ? LzwCodeWidth::kFirstCode
                                                        : LzwCodeWidth::kResetCode);
            continue;
        }
        const int incode = code;
        if (code > state_.next_code) return finish(Result::kCorrupt);
        int depth = 0;
        if (code == state_.next_code) {
            stack[depth++] = last_first_byte_;
            code = previous_code_;
        }
        while (code > 255) {
            // Only a chain that loops back on itself runs out of stack.
            if (depth == kStackSize) return finish(Result::kCorrupt);
            stack[depth++] = suffix[code];
            code = prefix[code];
        }
        if (depth == kStackSize) return finish(Result::kCorrupt);
        last_first_byte_ = suffix[code];
        stack[depth++] = last_first_byte_;
        if (Result r = append(stack, depth, true); r != Result::kOk) return finish(r);

        if (state_.next_code < LzwCodeWidth::kCodeLimit && p != width) {
            prefix[state_.next_code] = static_cast<uint16_t>(previous_code_);
            suffix[state_.next_code] = last_first_byte_;
            ++state_.next_code;
        }
        previous_code_ = incode;
    }
}
