// Checks of internal contracts that only debug and sanitizer builds make.
#pragma once

#include <cstdio>
#include <cstdlib>

// A debug build (without NDEBUG) checks; so do the sanitizer and fuzzing
// builds, where the build defines TAVRO_DEBUG_CHECKS. A release build
// compiles every check, and the work of its condition, away.
#if !defined(NDEBUG) && !defined(TAVRO_DEBUG_CHECKS)
#define TAVRO_DEBUG_CHECKS 1
#endif

namespace platform {

#if defined(TAVRO_DEBUG_CHECKS)
inline constexpr bool kDebugChecks = true;
#else
inline constexpr bool kDebugChecks = false;
#endif

// Reports the broken contract and ends the process.
[[noreturn]] inline void DebugCheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken contract: %s\n", file, line, what);
    std::abort();
}

}  // namespace platform

// Ends the process, saying `what`, when `condition` is false; only where
// kDebugChecks holds (the condition is not evaluated elsewhere).
#if defined(TAVRO_DEBUG_CHECKS)
#define TAVRO_DEBUG_CHECK(condition, what) \
    ((condition) ? static_cast<void>(0) : ::platform::DebugCheckFailed(what, __FILE__, __LINE__))
#else
#define TAVRO_DEBUG_CHECK(condition, what) static_cast<void>(0)
#endif
