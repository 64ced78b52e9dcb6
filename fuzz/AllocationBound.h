// Fuzz support: fails an input whose heap use outgrows its size by more than a small factor.
#pragma once

#include <cstddef>
#include <cstdint>

// The heap is tracked through the allocation hooks of AddressSanitizer's
// allocator: only a libFuzzer build with it has them.
#if defined(TAVRO_ALLOCATION_BOUND) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRO_ALLOCATION_BOUND 1
#endif
#endif

#if defined(TAVRO_ALLOCATION_BOUND)
#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#endif

namespace fuzz_support {

// While one lives, the heap in use beyond what it was at its start is
// tracked (sanitizer allocation hooks, every thread); when it ends, a peak
// above factor x (input + produced) + slack aborts with a report, so that
// libFuzzer keeps the input. A decoder that allocates from a length its
// input announces (a 7-byte frame head asking for 16 MiB) fails here even
// when the allocation fits in the RSS limit; one whose memory follows the
// bytes it received passes with inputs of any size. `Produced` adds output
// whose size the input does not bound (an expansion). Active in the
// libFuzzer build with AddressSanitizer only; elsewhere it does nothing.
class AllocationBound {
public:
    static constexpr size_t kFactor = 8;
    static constexpr size_t kSlack = size_t{4} << 20;

    explicit AllocationBound(size_t inputSize, size_t factor = kFactor)
        : input_(inputSize), factor_(factor) {
#if defined(TAVRO_ALLOCATION_BOUND)
        static const bool installed =
            __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree) != 0;
        if (!installed) return;
        Live() = 0;
        Peak() = 0;
        Tracking() = true;
#endif
    }
    AllocationBound(const AllocationBound&) = delete;
    AllocationBound& operator=(const AllocationBound&) = delete;

    void Produced(size_t bytes) { produced_ += bytes; }

    ~AllocationBound() {
#if defined(TAVRO_ALLOCATION_BOUND)
        if (!Tracking().exchange(false)) return;
        const int64_t peak = Peak().load();
        const size_t budget = factor_ * (input_ + produced_) + kSlack;
        if (peak <= 0 || static_cast<size_t>(peak) <= budget) return;
        // Through the sanitizer's report stream: libFuzzer keeps it open
        // when it closes the target's standard error.
        char text[256];
        std::snprintf(
            text, sizeof text,
            "==ERROR: AllocationBound: an input of %zu bytes (%zu produced) grew the heap "
            "by %lld bytes, more than %zu x its size + %zu",
            input_, produced_, static_cast<long long>(peak), factor_, kSlack);
        __sanitizer_report_error_summary(text);
        std::abort();
#endif
    }

private:
#if defined(TAVRO_ALLOCATION_BOUND)
    static std::atomic<int64_t>& Live() {
        static std::atomic<int64_t> live{0};
        return live;
    }
    static std::atomic<int64_t>& Peak() {
        static std::atomic<int64_t> peak{0};
        return peak;
    }
    static std::atomic<bool>& Tracking() {
        static std::atomic<bool> tracking{false};
        return tracking;
    }
    static void OnMalloc(const volatile void*, size_t size) {
        if (!Tracking().load(std::memory_order_relaxed)) return;
        const int64_t now =
            Live().fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
        int64_t peak = Peak().load(std::memory_order_relaxed);
        while (now > peak && !Peak().compare_exchange_weak(peak, now)) {
        }
    }
    static void OnFree(const volatile void* p) {
        if (!p || !Tracking().load(std::memory_order_relaxed)) return;
        Live().fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(p)));
    }
#endif

    size_t input_;
    size_t factor_;
    size_t produced_ = 0;
};

}  // namespace fuzz_support
