// Shared futexes over the futex and futex_waitv system calls.
#include "platform/kernel/Futex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

void FutexWakeAll(const void* word) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void FutexWakePrivate(const uint32_t* stop) {
    syscall(SYS_futex, stop, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

int FutexWaitAny(const std::vector<FutexWatch>& watches, const uint32_t* stop,
                 const timespec* deadline) {
    std::vector<futex_waitv> entries;
    entries.reserve(watches.size() + 1);
    for (const FutexWatch& watch : watches) {
        futex_waitv entry{};
        entry.uaddr = reinterpret_cast<uintptr_t>(watch.word);
        entry.val = watch.expected;
        entry.flags = FUTEX_32;
        entries.push_back(entry);
    }
    if (stop) {
        futex_waitv entry{};
        entry.uaddr = reinterpret_cast<uintptr_t>(stop);
        entry.val = 0;
        entry.flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
        entries.push_back(entry);
    }
    if (entries.empty() || entries.size() > FUTEX_WAITV_MAX) return EINVAL;
    long woken = syscall(SYS_futex_waitv, entries.data(), static_cast<unsigned>(entries.size()), 0,
                         deadline, CLOCK_MONOTONIC);
    if (woken >= 0) return 0;
    // EAGAIN: a word had already changed; EINTR: a signal. Both mean "look again".
    if (errno == EAGAIN || errno == EINTR) return 0;
    return errno;
}

}  // namespace platform
