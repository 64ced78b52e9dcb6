// LZW coding of a connection's messages as one continuous stream: the encoder and the decoder.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "jexlink/core/JexBuffer.h"

// Code widths and the dictionary's code range, the same on both sides of a
// connection. Codes 0..255 are the single bytes, 256 resets the dictionary,
// 257 is the first dictionary code, and no code reaches 0xFFFF.
struct LzwCodeWidth {
    static constexpr int kMinWidth = 9;
    static constexpr int kMaxWidth = 16;
    static constexpr int kResetCode = 256;
    static constexpr int kFirstCode = 257;
    static constexpr int kCodeLimit = 0xFFFF;

    int width = kMinWidth;
    int maxCode = (1 << kMinWidth) - 1;
    int nextCode = kFirstCode;

    // One more bit once the next code no longer fits the current width.
    void Widen() {
        if (nextCode <= maxCode || width >= kMaxWidth) return;
        ++width;
        maxCode = (1 << width) - 1;
    }
    void Restart(int firstCode) {
        width = kMinWidth;
        maxCode = (1 << kMinWidth) - 1;
        nextCode = firstCode;
    }
};

// A dictionary table from calloc: large zeroed tables then cost neither a
// memset nor a page fault per page that is never touched.
struct LzwFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using LzwTable = std::unique_ptr<T[], LzwFree>;

// A table with an entry per code, made in zeroed pages of 64 entries as
// they are first written, so that its memory follows the codes that use it.
template <typename T>
class LzwPages {
public:
    LzwPages() = default;
    ~LzwPages() {
        if (pages_ != None()) delete[] pages_;
    }
    LzwPages(const LzwPages&) = delete;
    LzwPages& operator=(const LzwPages&) = delete;

    // The entry of code, or null when its page was never made.
    T* Find(int code) const {
        T* page = pages_[static_cast<size_t>(code >> kPageBits)].get();
        return page ? page + (code & kPageMask) : nullptr;
    }
    // The entry of code, its page made if need be; null without memory.
    T* Make(int code) {
        if (pages_ == None()) {
            auto* made = new (std::nothrow) LzwTable<T>[kPages]();
            if (!made) return nullptr;
            pages_ = made;
        }
        LzwTable<T>& page = pages_[static_cast<size_t>(code >> kPageBits)];
        if (!page) page.reset(static_cast<T*>(std::calloc(kPageMask + 1, sizeof(T))));
        return page ? page.get() + (code & kPageMask) : nullptr;
    }
    // The entry of a code whose page was made.
    T& operator[](int code) const {
        return pages_[static_cast<size_t>(code >> kPageBits)]
                     [static_cast<size_t>(code & kPageMask)];
    }
    void Clear() {
        if (pages_ == None()) return;
        for (size_t i = 0; i < kPages; ++i) {
            const LzwTable<T>& page = pages_[i];
            if (page) std::memset(static_cast<void*>(page.get()), 0, sizeof(T) * (kPageMask + 1));
        }
    }

private:
    static constexpr int kPageBits = 6;
    static constexpr int kPageMask = (1 << kPageBits) - 1;
    static constexpr size_t kPages = (LzwCodeWidth::kCodeLimit >> kPageBits) + 1;
    // No page made: shared by every codec that has made none, never written.
    static LzwTable<T>* None() {
        static LzwTable<T> none[kPages];
        return none;
    }
    // The page pointers are made with the first page: a codec that never
    // codes anything (a session that ends before its first data) neither
    // zeroes nor destroys its 1,024 of them.
    LzwTable<T>* pages_ = None();
};

// The compressing side. Every call codes one message into its own run of
// codes (the last code is flushed, the last byte padded with zero bits),
// while the dictionary carries over from message to message. When the
// dictionary is full, the ratio is checked every 10000 input bytes; a ratio
// that has dropped since the last check resets the dictionary in-band. The
// dictionary's tables are made by the first call that codes a byte.
class LzwEncoder {
public:
    LzwEncoder();
    ~LzwEncoder();
    LzwEncoder(const LzwEncoder&) = delete;
    LzwEncoder& operator=(const LzwEncoder&) = delete;

    // out becomes the codes of the n bytes at in (which must not lie in
    // out). False when out cannot hold them (it is then left empty).
    bool Encode(const unsigned char* in, int n, JexBuffer& out);

    // Totals over the encoder's life, and the ratio that the next check
    // compares with (total in / total out after each call).
    uint64_t BytesIn() const { return bytesIn_; }
    uint64_t BytesOut() const { return bytesOut_; }
    float Ratio() const { return ratio_; }
    const LzwCodeWidth& CodeWidth() const { return state_; }

private:
    static constexpr int kHashSlots = 0x20000;
    static constexpr int kCheckInterval = 10000;
    static constexpr int kJumpBytes = 16;

    // A shortcut over the dictionary: the code reached from one code through
    // the kJumpBytes bytes that last followed it. Dictionary entries are
    // only ever added until a reset, so a path once walked stays valid; an
    // entry counts only when its generation is the encoder's.
    struct Jump {
        uint64_t bytes[2];
        uint32_t generation;
        uint16_t to;
    };

    // Where the look-up of a string (a prefix code and one more byte)
    // ended: the slot index, and whether the string is in the dictionary
    // (its code is then the slot's low 16 bits).
    struct Probe {
        int slot;
        uint32_t tag;  // the slot's upper half for the string
        bool found;
    };

    // How far the current string has got: `stretch` is the code where the
    // current stretch of kJumpBytes bytes began, `steps` the bytes walked
    // since. Shortcuts are looked for while strings are long: within a
    // string of a whole stretch or more, and at the start of the one after.
    struct Walk {
        int prefix;
        int stretch;
        int steps;
        bool longStrings;
        bool longString;
    };

    class BitWriter;

    // Makes the dictionary's tables for the first message; false without memory.
    bool MakeTables();
    // Codes the n > 0 bytes at in into writer.
    void CodeMessage(const unsigned char* in, int n, BitWriter& writer);
    // Writes one code at the current width, then widens if need be.
    void Emit(BitWriter& writer, int code);
    // Follows the shortcuts from walk.prefix over the bytes from in[*at].
    void FollowJumps(const unsigned char* in, int n, int* at, Walk& walk);
    // Looks the string of prefix and byte c up in the dictionary.
    Probe Find(int c, int prefix) const;
    bool FarPrefixIs(uint32_t code, int prefix) const;
    // Keeps the shortcut from walk.stretch through the kJumpBytes bytes
    // before in[at] to walk.prefix.
    void KeepJump(const unsigned char* in, int at, Walk& walk);
    // Enters the string of prefix and byte c as the next code, in the
    // empty (or passed-over) slot where its look-up ended.
    void AddEntry(int c, int prefix, const Probe& probe);
    // With the dictionary full: every kCheckInterval bytes, resets it
    // in-band when the ratio so far has dropped since the last check.
    void CheckRatio(uint64_t consumed, BitWriter& writer);
    void ClearHash();
    // Zeroes the slots written since the dictionary was last empty.
    void ZeroWrittenSlots();

    LzwCodeWidth state_;
    uint64_t nextCheck_ = kCheckInterval;
    uint64_t bytesIn_ = 0;
    uint64_t bytesOut_ = 0;
    float ratio_ = 0;
    // Open-addressed dictionary of 32-bit slots, so that the table (512 KiB)
    // stays in a core's cache: a slot holds a string's code in its low 16
    // bits and above them its last byte and its probe number (the number
    // of steps from its home slot, plus one, at most kFarProbe), so that an
    // empty slot is 0 and a look-up reads one word. The home slot is
    // (byte << 9) ^ prefix and the step depends on the byte alone: byte
    // and probe number name the prefix, and equal tags mean equal strings.
    // The table comes zeroed from the allocator; pages never probed are
    // never touched.
    LzwTable<uint32_t> hash_;
    // A slot at kFarProbe steps or more names no single prefix: the prefix
    // of its code is kept here (almost never needed: the table is at most
    // half full).
    static constexpr uint32_t kFarProbe = 255;
    LzwPages<uint16_t> farPrefix_;
    // The slot of the string of byte 0 after byte 0, or -1. Any other
    // string's look-up ends there as on an empty slot and may take its place
    // (how the encoder has always coded; the wire depends on it).
    int zeroSlot_ = -1;
    // The slots written since the dictionary was last empty, while they are
    // few (a short connection's): zeroing them alone empties the table, so
    // an ended encoder's table serves the next one without a memset.
    static constexpr size_t kTrackedSlots = 4096;
    std::unique_ptr<uint32_t[]> written_;
    size_t writtenCount_ = 0;  // beyond kTrackedSlots: the whole table must be zeroed
    // One shortcut per code, so that long strings are matched kJumpBytes
    // bytes at a time instead of one look-up per byte.
    LzwPages<Jump> jumps_;
    uint32_t generation_ = 1;
};

// The expanding side. It follows the encoder's dictionary and widths across
// calls, so every message of a connection must pass through one decoder in
// order. Hostile input is detected, never trusted: a code beyond the
// dictionary, a first code that is not a byte, a prefix chain longer than
// any string the dictionary can hold, or an expansion beyond the output
// limit makes the call fail. The decoder's state is then not repaired. The
// dictionary's tables are made by the first call that needs them.
class LzwDecoder {
public:
    // The default output limit of one call.
    static constexpr int kDefaultOutputLimit = 64 << 20;

    enum class Result { kOk, kCorrupt, kNoMemory };

    explicit LzwDecoder(int outputLimit = kDefaultOutputLimit);
    ~LzwDecoder();
    LzwDecoder(const LzwDecoder&) = delete;
    LzwDecoder& operator=(const LzwDecoder&) = delete;

    // out becomes the bytes that the n bytes at in (which must not lie in
    // out) expand to; after a failure it holds what was expanded before it.
    Result Decode(const unsigned char* in, int n, JexBuffer& out);

private:
    // The longest string: one byte per dictionary code, and one more.
    static constexpr int kStackSize = 0x10000;

    // Strings up to this length (a multiple of 16) are written by
    // following prefix_ and suffix_, tables small enough to stay in the
    // cache.
    static constexpr int kShortString = 64;

    // A longer code's string, kept so that it is written 16 bytes at a
    // time: its length, its bytes past the longest multiple of 16 below its
    // length (`tail`); the bytes before those are the string of `anchor`,
    // whose length is that multiple.
    struct String {
        unsigned char tail[16];
        uint32_t length;
        uint16_t anchor;
    };

    static unsigned char WriteLongString(const LzwPages<String>& strings, const uint16_t* prefix,
                                         const unsigned char* suffix, int code, uint32_t length,
                                         unsigned char* at);

    // The call's output, written straight into the caller's buffer.
    class Output;
    // The dictionary's tables, read into locals once per call: the bytes
    // written (which may alias any memory) then do not make every step
    // read them again.
    struct View {
        unsigned char* stack;
        uint16_t* prefix;
        unsigned char* suffix;
    };

    // Expands the codes of the n > 0 bytes at in into output.
    Result DecodeCodes(const unsigned char* in, int n, Output& output);
    // Makes the dictionary's tables (or takes an ended decoder's); false
    // without memory.
    bool MakeTables();
    // The reset code at bit position p (after it): every prefix from zero.
    void ResetDictionary(bool callStart, int64_t p);
    // Writes code's string while the stream is regular; *length becomes
    // its length.
    Result ExpandRegular(const View& view, int code, Output& output, uint32_t* length);
    // Writes code's string by following its chain alone.
    Result ExpandIrregular(const View& view, int code, Output& output);
    // Enters the previous string and the current first byte as the next code.
    Result AddEntry(const View& view);
    // Writes the string of code (`length` bytes) at `at`, from its end
    // backwards, and returns its first byte. A long string's last 16-byte
    // piece may write up to 15 bytes of slack past it.
    unsigned char WriteString(const View& view, int code, uint32_t length, unsigned char* at) const;

    LzwCodeWidth state_;
    int outputLimit_;
    bool first_ = true;
    int previousCode_ = 0;
    // The length of the previous code's string (kept while the stream is
    // regular).
    uint32_t previousLength_ = 1;
    unsigned char lastFirstByte_ = 0;
    std::unique_ptr<unsigned char[]> stack_;
    LzwTable<uint16_t> prefix_;
    LzwTable<unsigned char> suffix_;
    // The longer strings of the codes, while every code so far came as an
    // encoder makes them. A stream that does what no encoder does (a reset as a call's first code,
    // a call starting with the next free code, the code past the last entry) is followed through
    // prefix_ and suffix_ alone.
    LzwPages<String> strings_;
    bool irregular_ = false;
    // The highest entry written into prefix_ and suffix_: an ended decoder
    // empties only what it used before its tables serve another one.
    int highestEntry_ = 0;

    // The tables an ended decoder leaves for the next one.
    struct Tables {
        std::unique_ptr<unsigned char[]> stack;
        LzwTable<uint16_t> prefix;
        LzwTable<unsigned char> suffix;
    };
};
