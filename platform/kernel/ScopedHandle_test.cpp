// Tests of the scoped handle: closed once when it goes, handed on by a move or a release.
#include "platform/ScopedHandle.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using platform::ScopedHandle;

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// Whether `handle` is still open in this process.
bool Open(HANDLE handle) { return WaitForSingleObject(handle, 0) != WAIT_FAILED; }

TEST(ScopedHandle, ClosesItsHandleAtTheEndOfItsScope) {
    HANDLE raw = NewEvent();
    ASSERT_NE(raw, nullptr);
    {
        ScopedHandle owned(raw);
        EXPECT_EQ(owned.Get(), raw);
        EXPECT_TRUE(owned);
        EXPECT_TRUE(Open(raw));
    }
    EXPECT_FALSE(Open(raw));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ScopedHandle, NullOwnsNothing) {
    ScopedHandle none;
    EXPECT_FALSE(none);
    none.Reset();  // nothing to close
    ScopedHandle failed(OpenEventA(EVENT_ALL_ACCESS, FALSE, "no-such-event-here"));
    EXPECT_FALSE(failed);
}

TEST(ScopedHandle, MovesAndResetsCloseEachHandleOnce) {
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    {
        ScopedHandle a(first);
        ScopedHandle b(std::move(a));
        EXPECT_FALSE(a);  // a moved-from owner owns nothing
        EXPECT_EQ(b.Get(), first);
        b = ScopedHandle(second);  // closes the first
        EXPECT_FALSE(Open(first));
        EXPECT_TRUE(Open(second));
    }
    EXPECT_FALSE(Open(second));
}

TEST(ScopedHandle, ReleaseHandsTheHandleOnOpen) {
    HANDLE raw = NewEvent();
    ASSERT_NE(raw, nullptr);
    {
        ScopedHandle owned(raw);
        EXPECT_EQ(owned.Release(), raw);
        EXPECT_FALSE(owned);
    }
    EXPECT_TRUE(Open(raw));
    EXPECT_TRUE(CloseHandle(raw));
}

}  // namespace
