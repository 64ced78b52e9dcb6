// 128-bit random values: the process-wide rand128 source and random byte fills built on it.
#pragma once

#include <md5.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>

class JexBuffer;

// Fills the 16 bytes at `out` with an unpredictable value and returns `out`.
// The n-th value of a process is the MD5 of a seed block (process id, time
// and fresh system entropy) followed by the first n draw blocks (four draws
// of a private additive generator and more system entropy), so no two calls
// of one process give the same value. Safe to call from several threads at
// once and in forked children; never fails. The process's own random()
// sequence is left alone.
void* rand128(void* out);

// Produces the 16-byte values behind rand128; lets tests drive the
// construction with fixed seed material.
using Rand128Source = void* (*)(void* out);

// Sets `buf` to `n` random bytes (none for n <= 0): one value of `source`
// for every 16 bytes, the last one cut short.
void jex_random_fill(JexBuffer& buf, int n, Rand128Source source = rand128);

// The state behind rand128: a running MD5 digest that is only ever fed,
// never finalised itself, and a private additive generator. Not locked; the
// process-wide instance is guarded by rand128.
class Rand128Generator {
public:
    static constexpr size_t kValueSize = 16;
    static constexpr size_t kSeedFill = 256;  // bytes 8 to 263 of the seed block
    static constexpr size_t kDrawFill = 48;   // bytes 16 to 63 of a draw block

    // Feeds the seed block (pid and time, 32-bit little-endian, then
    // `seedFill`) to the digest and seeds the generator with `time`.
    Rand128Generator(uint32_t pid, uint32_t time, const unsigned char (&seedFill)[kSeedFill]);
    Rand128Generator(const Rand128Generator&) = delete;
    Rand128Generator& operator=(const Rand128Generator&) = delete;

    // Feeds one draw block (four generator draws, 32-bit little-endian, then
    // `drawFill`) and writes the digest of everything fed so far to `out`.
    void Next(unsigned char (&out)[kValueSize], const unsigned char (&drawFill)[kDrawFill]);

    // Feeds a block of `pid` and `fill`, so a forked child's values part
    // from its parent's and its siblings'.
    void Fork(uint32_t pid, const unsigned char (&fill)[kDrawFill]);

private:
    MD5_CTX running_;
    random_data generator_{};
    char generatorState_[256];
};
