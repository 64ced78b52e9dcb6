// 128-bit random values: the running digest, the private generator and the process-wide source.
#include "jexlink/session/rand128.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "jexlink/core/JexBuffer.h"

namespace {

void PutLittleEndian(unsigned char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Fresh bytes from the kernel. Should the kernel refuse (no getrandom), the
// bytes stay zero: the values then still differ by the running digest and
// the process id, only less unpredictably.
template <size_t N>
void SystemEntropy(unsigned char (&bytes)[N]) {
    size_t got = 0;
    while (got < N) {
        ssize_t n = getrandom(bytes + got, N - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        std::memset(bytes + got, 0, N - got);
        return;
    }
}

// The process-wide state: made on the first call and kept to the end of the
// process (never freed, so a call from a static destructor still works).
std::mutex state_lock;
Rand128Generator* state = nullptr;

// fork() while another thread is inside rand128 must not leave the child
// with a held lock, and the child must not repeat its parent's values.
void LockForFork() { state_lock.lock(); }
void UnlockInParent() { state_lock.unlock(); }
void UnlockInChild() {
    if (state) {
        unsigned char fill[Rand128Generator::kDrawFill];
        SystemEntropy(fill);
        state->Fork(static_cast<uint32_t>(getpid()), fill);
    }
    state_lock.unlock();
}

}  // namespace

Rand128Generator::Rand128Generator(uint32_t pid, uint32_t time,
                                   const unsigned char (&seedFill)[kSeedFill]) {
    unsigned char seed[8 + kSeedFill];
    PutLittleEndian(seed, pid);
    PutLittleEndian(seed + 4, time);
    std::memcpy(seed + 8, seedFill, kSeedFill);
    MD5Init(&running_);
    MD5Update(&running_, seed, sizeof seed);
    // initstate_r fills the whole state array from the seed.
    initstate_r(time, generatorState_, sizeof generatorState_, &generator_);
    explicit_bzero(seed, sizeof seed);
}

void Rand128Generator::Next(unsigned char (&out)[kValueSize],
                            const unsigned char (&drawFill)[kDrawFill]) {
    unsigned char draw[16 + kDrawFill];
    for (int i = 0; i < 4; ++i) {
        int32_t r = 0;
        random_r(&generator_, &r);
        PutLittleEndian(draw + 4 * i, static_cast<uint32_t>(r));
    }
    std::memcpy(draw + 16, drawFill, kDrawFill);
    MD5Update(&running_, draw, sizeof draw);
    MD5_CTX copy = running_;
    MD5Final(out, &copy);
    explicit_bzero(draw, sizeof draw);
}

void Rand128Generator::Fork(uint32_t pid, const unsigned char (&fill)[kDrawFill]) {
    unsigned char block[16 + kDrawFill] = {};
    PutLittleEndian(block, pid);
    std::memcpy(block + 16, fill, kDrawFill);
    MD5Update(&running_, block, sizeof block);
}

void* rand128(void* out) {
    // The kernel's bytes are fetched outside the lock, so threads wait on
    // each other only for the digest update.
    unsigned char fill[Rand128Generator::kDrawFill];
    SystemEntropy(fill);
    unsigned char value[Rand128Generator::kValueSize];
    {
        std::lock_guard<std::mutex> hold(state_lock);
        if (!state) {
            unsigned char seedFill[Rand128Generator::kSeedFill];
            SystemEntropy(seedFill);
            state = new Rand128Generator(static_cast<uint32_t>(getpid()),
                                         static_cast<uint32_t>(std::time(nullptr)), seedFill);
            explicit_bzero(seedFill, sizeof seedFill);
            pthread_atfork(LockForFork, UnlockInParent, UnlockInChild);
        }
        state->Next(value, fill);
    }
    std::memcpy(out, value, sizeof value);
    explicit_bzero(value, sizeof value);
    return out;
}

void jex_random_fill(JexBuffer& buf, int n, Rand128Source source) {
    if (n <= 0) {
        buf.SetLength(0);
        return;
    }
    buf.SetLength(n);
    if (buf.Length() != n) return;  // allocation failed: the buffer is empty
    // Whole values straight into the buffer; the last one, cut short,
    // through a scratch area, so no length is ever rounded past INT_MAX.
    const int whole = n / 16;
    for (int i = 0; i < whole; ++i) source(buf.Data() + 16 * i);
    if (n % 16 == 0) return;
    unsigned char last[16];
    source(last);
    std::memcpy(buf.Data() + 16 * whole, last, static_cast<size_t>(n % 16));
    explicit_bzero(last, sizeof last);
}
