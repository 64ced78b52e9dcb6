// A handle of the layer that closes itself at the end of its scope.
#pragma once

#include <utility>

#include "platform/winbase.h"

namespace platform {

// Owns one handle (an event, a mutex, a process or a thread) and closes it
// with CloseHandle when it goes, so that no early return leaks it. Null
// owns nothing. Not for pseudo-handles such as GetCurrentProcess(), nor for
// a handle that outlives the scope: Release() hands that one on.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { Reset(); }

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // Gives up ownership without closing.
    [[nodiscard]] HANDLE Release() { return std::exchange(handle_, nullptr); }
    // Closes the handle owned so far and owns `handle` instead.
    void Reset(HANDLE handle = nullptr) {
        if (handle_) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace platform
