// LZW coding of a connection's messages as one continuous stream: the encoder and the decoder.
#include "jexlink/transport/LzwCodec.h"

#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

// Secondary probe steps of the encoder's hash, one per byte value: odd (so
// a probe sequence visits every slot of the power-of-two table) and of
// alternating sign. Every eighth prime from 1013 on.
constexpr std::array<int, 256> MakeProbeSteps() {
    constexpr int kLimit = 24000;
    std::array<bool, kLimit> composite{};
    std::array<int, 256> steps{};
    int primeCount = 0;
    int filled = 0;
    for (int n = 2; n < kLimit && filled < 256; ++n) {
        if (composite[static_cast<size_t>(n)]) continue;
        for (int m = 2 * n; m < kLimit; m += n) composite[static_cast<size_t>(m)] = true;
        if (n < 1013) continue;
        if (primeCount++ % 8 != 0) continue;
        steps[static_cast<size_t>(filled)] = filled % 2 == 0 ? n : -n;
        ++filled;
    }
    return steps;
}

constexpr std::array<int, 256> kProbeStep = MakeProbeSteps();
static_assert(kProbeStep[0] == 1013 && kProbeStep[1] == -1061 && kProbeStep[2] == 1109 &&
              kProbeStep[3] == -1181 && kProbeStep[4] == 1231 && kProbeStep[255] != 0);

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

inline uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

namespace {

// Emptied tables of ended coders, kept for the next connection's (a process
// that serves one connection after the other would otherwise zero fresh
// ones for each: a megabyte for an encoder). At most kKept are kept.
template <class Tables>
class SparePool {
public:
    static constexpr size_t kKept = 4;

    bool Take(Tables& tables) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (spares_.empty()) return false;
        tables = std::move(spares_.back());
        spares_.pop_back();
        return true;
    }
    // Keeps tables in their first state, or lets them go when enough are
    // kept.
    void Give(Tables&& tables) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (spares_.size() >= kKept) return;
        try {
            spares_.push_back(std::move(tables));
        } catch (...) {
            // Without memory to keep them, the tables are simply freed.
        }
    }

private:
    std::mutex mutex_;
    std::vector<Tables> spares_;
};

template <class Tables>
SparePool<Tables>& Spares() {
    static auto* spares = new SparePool<Tables>;  // lives as long as the process
    return *spares;
}

}  // namespace

// Packs codes least significant bit first, four bytes at a time. The
// output must have room for 8 bytes past the last code's bytes.
class LzwEncoder::BitWriter {
public:
    explicit BitWriter(unsigned char* out) : out_(out) {}
    void Put(int code, int width) {
        bits_ |= static_cast<uint64_t>(code) << count_;
        count_ += width;
        if (count_ >= 32) {
            Store32(static_cast<uint32_t>(bits_));
            bits_ >>= 32;
            count_ -= 32;
        }
        total_ += static_cast<uint64_t>(width);
    }
    // The bits written so far.
    uint64_t Total() const { return total_; }
    // Writes the last bits, padded with zero bits to a whole byte.
    void Flush() {
        for (int k = 0; k < count_; k += 8) *out_++ = static_cast<unsigned char>(bits_ >> k);
    }

private:
    void Store32(uint32_t v) {
        out_[0] = static_cast<unsigned char>(v);
        out_[1] = static_cast<unsigned char>(v >> 8);
        out_[2] = static_cast<unsigned char>(v >> 16);
        out_[3] = static_cast<unsigned char>(v >> 24);
        out_ += 4;
    }
    unsigned char* out_;
    uint64_t bits_ = 0;
    int count_ = 0;
    uint64_t total_ = 0;
};

LzwEncoder::LzwEncoder() = default;

LzwEncoder::~LzwEncoder() {
    if (!hash_) return;
    ZeroWrittenSlots();
    Spares<LzwTable<uint32_t>>().Give(std::move(hash_));
}

void LzwEncoder::ZeroWrittenSlots() {
    uint32_t* slots = hash_.get();
    if (writtenCount_ > kTrackedSlots || !written_) {
        std::memset(slots, 0, sizeof(uint32_t) * kHashSlots);
    } else {
        for (size_t k = 0; k < writtenCount_; ++k) slots[written_[k]] = 0;
    }
    writtenCount_ = 0;
}

void LzwEncoder::ClearHash() {
    ZeroWrittenSlots();
    zeroSlot_ = -1;
    // Every shortcut of the old dictionary is void.
    if (++generation_ == 0) {
        jumps_.Clear();
        generation_ = 1;
    }
}

bool LzwEncoder::Encode(const unsigned char* in, int n, JexBuffer& out) {
    if (n <= 0) {
        out.SetLength(0);
        return true;
    }
    // Every input byte gives at most one code of at most 16 bits, plus the
    // final flush and one reset code: 2n + 2 bytes always suffice (and 8
    // more for the writer's whole words).
    const int64_t room = 2 * static_cast<int64_t>(n) + 2;
    if (room > INT_MAX - 64) {
        out.Free();
        return false;
    }
    out.SetLength(0);
    if (!out.SetLengthForOverwrite(static_cast<int>(room) + 8)) return false;
    if (!hash_ && !MakeTables()) {
        out.Free();
        return false;
    }
    BitWriter writer(reinterpret_cast<unsigned char*>(out.Data()));
    CodeMessage(in, n, writer);
    writer.Flush();

    const int length = static_cast<int>((writer.Total() + 7) / 8);
    out.SetLength(length);
    bytesIn_ += static_cast<uint64_t>(n);
    bytesOut_ += static_cast<uint64_t>(length);
    ratio_ = static_cast<float>(bytesIn_) / static_cast<float>(bytesOut_);
    return true;
}

bool LzwEncoder::MakeTables() {
    // The dictionary (512 KiB) and its shortcuts (up to 2 MiB) are made for
    // the first message coded, so a connection that never sends data does
    // not pay for them; pages never touched cost nothing.
    if (!written_) written_.reset(new (std::nothrow) uint32_t[kTrackedSlots]);
    if (!Spares<LzwTable<uint32_t>>().Take(hash_))
        hash_.reset(static_cast<uint32_t*>(std::calloc(kHashSlots, sizeof(uint32_t))));
    writtenCount_ = 0;
    return hash_ != nullptr;
}

inline void LzwEncoder::Emit(BitWriter& writer, int code) {
    writer.Put(code, state_.width);
    state_.Widen();
}

void LzwEncoder::CodeMessage(const unsigned char* in, int n, BitWriter& writer) {
    Walk walk{in[0], in[0], 0, true, false};
    for (int i = 1; i < n;) {
        // Whole stretches of known bytes first: tried where a stretch
        // starts while strings are long, so that the short strings of
        // ordinary data pay nothing for them.
        if (walk.steps == 0 && walk.longStrings && n - i >= kJumpBytes) {
            FollowJumps(in, n, &i, walk);
            if (i >= n) break;
        }
        const int c = in[i++];
        const Probe probe = Find(c, walk.prefix);
        if (probe.found) {
            walk.prefix = static_cast<int>(hash_[static_cast<size_t>(probe.slot)] & 0xFFFF);
            if (++walk.steps == kJumpBytes) KeepJump(in, i, walk);
            continue;
        }
        Emit(writer, walk.prefix);
        const int prefix = walk.prefix;
        walk = Walk{c, c, 0, walk.longString, false};
        if (state_.nextCode < LzwCodeWidth::kCodeLimit) {
            AddEntry(c, prefix, probe);
            continue;
        }
        // The dictionary is full. The check counts this call's input and
        // output so far.
        const uint64_t consumed = bytesIn_ + static_cast<uint64_t>(i);
        if (consumed >= nextCheck_) CheckRatio(consumed, writer);
    }
    Emit(writer, walk.prefix);
}

void LzwEncoder::FollowJumps(const unsigned char* in, int n, int* at, Walk& walk) {
    int i = *at;
    while (n - i >= kJumpBytes) {
        const Jump* jump = jumps_.Find(walk.prefix);
        if (!jump || jump->generation != generation_ || Load64(in + i) != jump->bytes[0] ||
            Load64(in + i + 8) != jump->bytes[1])
            break;
        walk.prefix = jump->to;
        i += kJumpBytes;
        walk.stretch = walk.prefix;
        walk.longString = true;
    }
    *at = i;
}

inline LzwEncoder::Probe LzwEncoder::Find(int c, int prefix) const {
    const uint32_t* slots = hash_.get();
    const int step = kProbeStep[static_cast<size_t>(c)];
    int h = (c << 9) ^ prefix;
    uint32_t tag = 1u << 8 | static_cast<uint32_t>(c);
    for (;;) {
        const uint32_t slot = slots[h];
        if ((slot >> 16) == tag && ((tag >> 8) < kFarProbe || FarPrefixIs(slot & 0xFFFF, prefix)))
            return {h, tag, true};
        if (slot == 0 || h == zeroSlot_) return {h, tag, false};
        h = (h + step) & (kHashSlots - 1);
        if ((tag >> 8) < kFarProbe) tag += 1u << 8;
    }
}

bool LzwEncoder::FarPrefixIs(uint32_t code, int prefix) const {
    const uint16_t* far = farPrefix_.Find(static_cast<int>(code));
    return far && *far == prefix;
}

void LzwEncoder::KeepJump(const unsigned char* in, int at, Walk& walk) {
    // A whole stretch walked: the code it began at leads here through the
    // bytes just read. (Without memory for it, a shortcut is simply not
    // kept.)
    if (Jump* jump = jumps_.Make(walk.stretch)) {
        jump->bytes[0] = Load64(in + at - kJumpBytes);
        jump->bytes[1] = Load64(in + at - 8);
        jump->to = static_cast<uint16_t>(walk.prefix);
        jump->generation = generation_;
    }
    walk.steps = 0;
    walk.stretch = walk.prefix;
    walk.longString = walk.longStrings = true;
}

void LzwEncoder::AddEntry(int c, int prefix, const Probe& probe) {
    // Taking the place of the string of byte 0 after byte 0 drops that
    // entry, and with it every path from byte 0 through it.
    if (probe.slot == zeroSlot_) {
        if (Jump* jump = jumps_.Find(0)) jump->generation = 0;
        zeroSlot_ = -1;
    }
    if (c == 0 && prefix == 0) zeroSlot_ = probe.slot;
    const int code = state_.nextCode++;
    if ((probe.tag >> 8) == kFarProbe) {
        // Without memory for its prefix, a far entry is never found again:
        // the string is then coded as one more entry, which is sound.
        if (uint16_t* far = farPrefix_.Make(code)) *far = static_cast<uint16_t>(prefix);
    }
    uint32_t& slot = hash_[static_cast<size_t>(probe.slot)];
    if (slot == 0) {
        if (writtenCount_ < kTrackedSlots && written_)
            written_[writtenCount_] = static_cast<uint32_t>(probe.slot);
        ++writtenCount_;
    }
    slot = probe.tag << 16 | static_cast<uint32_t>(code);
}

void LzwEncoder::CheckRatio(uint64_t consumed, BitWriter& writer) {
    nextCheck_ = consumed + kCheckInterval;
    float ratio = static_cast<float>(consumed) / static_cast<float>(bytesOut_ + writer.Total() / 8);
    if (ratio < ratio_) {
        Emit(writer, LzwCodeWidth::kResetCode);
        ClearHash();
        state_.Restart(LzwCodeWidth::kFirstCode);
        ratio = 0;
    }
    ratio_ = ratio;
}

// Writes a long string: its pieces of 16 from the end, down to the short
// string they all start with; returns its first byte. Kept out of the
// decoding loop, which it would only crowd.
[[gnu::noinline]] unsigned char LzwDecoder::WriteLongString(const LzwPages<String>& strings,
                                                            const uint16_t* prefix,
                                                            const unsigned char* suffix, int code,
                                                            uint32_t length, unsigned char* at) {
    uint32_t start = (length - 1) & ~15u;
    std::memcpy(at + start, strings[code].tail, 16);
    code = strings[code].anchor;
    while (start > kShortString) {
        start -= 16;
        std::memcpy(at + start, strings[code].tail, 16);
        code = strings[code].anchor;
    }
    for (uint32_t k = start - 1; k > 0; --k) {
        at[k] = suffix[code];
        code = prefix[code];
    }
    at[0] = static_cast<unsigned char>(code);
    return static_cast<unsigned char>(code);
}

LzwDecoder::LzwDecoder(int outputLimit)
    : outputLimit_(outputLimit > 0 ? outputLimit : kDefaultOutputLimit) {}

LzwDecoder::~LzwDecoder() {
    if (!stack_ || !prefix_ || !suffix_) return;
    // Back to their first state: entries from the reset code on are zero
    // (the single bytes' are never written).
    if (highestEntry_ >= LzwCodeWidth::kResetCode) {
        const size_t from = LzwCodeWidth::kResetCode;
        const size_t count = static_cast<size_t>(highestEntry_) + 1 - from;
        std::memset(prefix_.get() + from, 0, count * sizeof(uint16_t));
        std::memset(suffix_.get() + from, 0, count);
    }
    Tables tables{std::move(stack_), std::move(prefix_), std::move(suffix_)};
    Spares<Tables>().Give(std::move(tables));
}

// The output of one call goes straight into the buffer's storage, grown by
// doubling up to the limit; its used length is set once at the end. Strings
// are written 16 bytes at a time: the storage keeps 16 bytes of slack past
// them.
class LzwDecoder::Output {
public:
    Output(JexBuffer& buffer, int64_t limit) : buffer_(buffer), limit_(limit) {}

    // Room for count more bytes, or why there is none.
    [[gnu::always_inline]] Result Reserve(int64_t count) {
        if (used_ + count > limit_) return Result::kCorrupt;
        if (used_ + count + kSlack < buffer_.AllocatedLength()) return Result::kOk;
        return Grow(buffer_, used_ + count + kSlack, limit_ + kSlack);
    }
    unsigned char* At() const { return reinterpret_cast<unsigned char*>(buffer_.Data()) + used_; }
    void Advance(int64_t count) { used_ += count; }
    // Writes the stack's top depth bytes, the last pushed first.
    [[gnu::always_inline]] Result WriteStack(const unsigned char* stack, int depth) {
        if (Result r = Reserve(depth); r != Result::kOk) return r;
        unsigned char* at = At();
        for (int k = 0; k < depth; ++k) at[k] = stack[depth - 1 - k];
        used_ += depth;
        return Result::kOk;
    }
    // Sets the buffer's length to what was written.
    void Finish() {
        if (buffer_.Data()) buffer_.SetLength(static_cast<int>(used_));
    }

private:
    static constexpr int64_t kSlack = 16;
    // Storage of at least need bytes (and at most most), kept out of the
    // decoding loop, which it would only crowd.
    [[gnu::noinline]] static Result Grow(JexBuffer& buffer, int64_t need, int64_t most) {
        int64_t want = 2 * static_cast<int64_t>(buffer.AllocatedLength());
        if (want < need) want = need;
        if (want > most) want = most;
        if (want > INT_MAX - 64) want = INT_MAX - 64;
        if (want < need) return Result::kNoMemory;
        if (!buffer.Reallocate(static_cast<int>(want))) return Result::kNoMemory;
        return Result::kOk;
    }
    JexBuffer& buffer_;
    int64_t limit_;
    int64_t used_ = 0;
};

bool LzwDecoder::MakeTables() {
    if (Tables spare; Spares<Tables>().Take(spare)) {
        stack_ = std::move(spare.stack);
        prefix_ = std::move(spare.prefix);
        suffix_ = std::move(spare.suffix);
        return true;
    }
    // The dictionary is made for the first codes past the first byte, so a
    // connection that never receives data does not pay for it.
    stack_.reset(new (std::nothrow) unsigned char[kStackSize]);
    prefix_.reset(
        static_cast<uint16_t*>(std::calloc(LzwCodeWidth::kCodeLimit + 1, sizeof(uint16_t))));
    suffix_.reset(static_cast<unsigned char*>(std::calloc(LzwCodeWidth::kCodeLimit + 1, 1)));
    if (!stack_ || !prefix_ || !suffix_) {
        stack_.reset();
        prefix_.reset();
        suffix_.reset();
        return false;
    }
    for (int i = 0; i < 256; ++i) suffix_[static_cast<size_t>(i)] = static_cast<unsigned char>(i);
    return true;
}

void LzwDecoder::ResetDictionary(bool callStart, int64_t p) {
    // Only the entries written so far can be other than zero (those of the
    // single bytes never are).
    if (highestEntry_ >= LzwCodeWidth::kResetCode)
        std::memset(
            prefix_.get() + LzwCodeWidth::kResetCode, 0,
            sizeof(uint16_t) * static_cast<size_t>(highestEntry_ + 1 - LzwCodeWidth::kResetCode));
    if (callStart) irregular_ = true;
    // A reset in the middle of a call is followed by one entry that the
    // encoder never made, so the count starts one lower.
    state_.Restart(p == LzwCodeWidth::kMinWidth ? LzwCodeWidth::kFirstCode
                                                : LzwCodeWidth::kResetCode);
}

[[gnu::always_inline]] inline unsigned char LzwDecoder::WriteString(const View& view, int code,
                                                                    uint32_t length,
                                                                    unsigned char* at) const {
    const uint16_t* prefix = view.prefix;
    const unsigned char* suffix = view.suffix;
    if (length > kShortString) return WriteLongString(strings_, prefix, suffix, code, length, at);
    for (uint32_t k = length - 1; k > 0; --k) {
        at[k] = suffix[code];
        code = prefix[code];
    }
    at[0] = static_cast<unsigned char>(code);
    return static_cast<unsigned char>(code);
}

[[gnu::always_inline]] inline LzwDecoder::Result LzwDecoder::ExpandRegular(const View& view,
                                                                           int code, Output& output,
                                                                           uint32_t* length) {
    // Every code names a string of this dictionary, or (the next free code)
    // the previous string and its own first byte.
    if (code == state_.nextCode) {
        if (Result r = output.Reserve(int64_t{previousLength_} + 1); r != Result::kOk) return r;
        unsigned char* at = output.At();
        WriteString(view, previousCode_, previousLength_, at);
        at[previousLength_] = lastFirstByte_;
        *length = previousLength_ + 1;
        output.Advance(*length);
        return Result::kOk;
    }
    // A short string is found by following its chain (into the stack, last
    // byte first); only a longer one needs its length.
    const uint16_t* prefix = view.prefix;
    const unsigned char* suffix = view.suffix;
    unsigned char* stack = view.stack;
    int from = code;
    int depth = 0;
    while (from > 255 && depth < kShortString) {
        stack[depth++] = suffix[from];
        from = prefix[from];
    }
    if (from <= 255) {
        lastFirstByte_ = static_cast<unsigned char>(from);
        stack[depth++] = lastFirstByte_;
        *length = static_cast<uint32_t>(depth);
        return output.WriteStack(stack, depth);
    }
    *length = strings_[code].length;
    if (Result r = output.Reserve(*length); r != Result::kOk) return r;
    lastFirstByte_ = WriteString(view, code, *length, output.At());
    output.Advance(*length);
    return Result::kOk;
}

[[gnu::always_inline]] inline LzwDecoder::Result LzwDecoder::ExpandIrregular(const View& view,
                                                                             int code,
                                                                             Output& output) {
    const uint16_t* prefix = view.prefix;
    const unsigned char* suffix = view.suffix;
    unsigned char* stack = view.stack;
    int depth = 0;
    if (code == state_.nextCode) {
        stack[depth++] = lastFirstByte_;
        code = previousCode_;
    }
    while (code > 255) {
        // Only a chain that loops back on itself runs out of stack.
        if (depth == kStackSize) return Result::kCorrupt;
        stack[depth++] = suffix[code];
        code = prefix[code];
    }
    if (depth == kStackSize) return Result::kCorrupt;
    lastFirstByte_ = suffix[code];
    stack[depth++] = lastFirstByte_;
    return output.WriteStack(stack, depth);
}

[[gnu::always_inline]] inline LzwDecoder::Result LzwDecoder::AddEntry(const View& view) {
    const int entry = state_.nextCode;
    if (entry > highestEntry_) highestEntry_ = entry;
    view.prefix[entry] = static_cast<uint16_t>(previousCode_);
    view.suffix[entry] = lastFirstByte_;
    const uint32_t entryLength = previousLength_ + 1u;
    if (!irregular_ && entryLength > kShortString) {
        // The previous string and one byte: a new tail after the previous
        // string, or the previous tail one longer.
        const uint32_t at = (entryLength - 1) & 15u;
        uint16_t anchor = static_cast<uint16_t>(previousCode_);
        unsigned char tail[16] = {};
        if (at != 0) {
            const String& from = strings_[previousCode_];
            std::memcpy(tail, from.tail, 16);
            anchor = from.anchor;
        }
        String* made = strings_.Make(entry);
        if (!made) return Result::kNoMemory;
        if (at != 0) std::memcpy(made->tail, tail, 16);
        made->tail[at] = lastFirstByte_;
        made->anchor = anchor;
        made->length = entryLength;
    }
    ++state_.nextCode;
    return Result::kOk;
}

[[gnu::always_inline]] inline LzwDecoder::Result LzwDecoder::DecodeCodes(const unsigned char* in,
                                                                         int n, Output& output) {
    const int64_t totalBits = 8 * static_cast<int64_t>(n);
    int64_t p = 0;
    if (first_) {
        first_ = false;
        const int code = GetCode(in, n, p, state_.width);
        p += state_.width;
        // The stream's first code stands for a single byte.
        if (code > 255) return Result::kCorrupt;
        previousCode_ = code;
        lastFirstByte_ = static_cast<unsigned char>(code);
        if (Result r = output.WriteStack(&lastFirstByte_, 1); r != Result::kOk) return r;
    }
    if (!stack_ && !MakeTables()) return Result::kNoMemory;
    const View view{stack_.get(), prefix_.get(), suffix_.get()};
    for (;;) {
        state_.Widen();
        const int width = state_.width;
        if (totalBits - p < width) return Result::kOk;
        const int code = GetCode(in, n, p, width);
        p += width;
        const bool callStart = p == width;
        if (code == LzwCodeWidth::kResetCode) {
            ResetDictionary(callStart, p);
            continue;
        }
        if (code > state_.nextCode) return Result::kCorrupt;
        if (code == state_.nextCode && (callStart || state_.nextCode >= LzwCodeWidth::kCodeLimit))
            irregular_ = true;

        uint32_t length = 0;
        const Result written = irregular_ ? ExpandIrregular(view, code, output)
                                          : ExpandRegular(view, code, output, &length);
        if (written != Result::kOk) return written;
        if (state_.nextCode < LzwCodeWidth::kCodeLimit && !callStart) {
            if (Result r = AddEntry(view); r != Result::kOk) return r;
        }
        previousCode_ = code;
        previousLength_ = length;
    }
}

LzwDecoder::Result LzwDecoder::Decode(const unsigned char* in, int n, JexBuffer& out) {
    out.SetLength(0);
    if (n <= 0) return Result::kOk;
    const int64_t guess = 4 * static_cast<int64_t>(n);
    if (!out.Reallocate(static_cast<int>(guess < outputLimit_ ? guess : outputLimit_)))
        return Result::kNoMemory;
    Output output(out, outputLimit_);
    const Result result = DecodeCodes(in, n, output);
    output.Finish();
    return result;
}
