#include <windows.h>

#include "kvtl/Handle.h"

#include <gtest/gtest.h>

namespace {

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE newEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TEST(UniqueHandle, ClosesOnDestructionResetAndPutKeepingTheLastError) {
    HANDLE raw = newEvent();
    { kv::UniqueHandle event(raw); }
    EXPECT_FALSE(isOpen(raw));

    kv::UniqueHandle event(newEvent());
    raw = event.get();
    SetLastError(ERROR_ACCESS_DENIED);
    event.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(event.valid());
    EXPECT_FALSE(isOpen(raw));

    event.reset(newEvent());
    raw = event.get();
    HANDLE* slot = event.put();
    EXPECT_FALSE(isOpen(raw));
    EXPECT_EQ(*slot, nullptr);
}

TEST(UniqueHandle, ReleaseHandsOverAndMoveTransfers) {
    kv::UniqueHandle first(newEvent());
    const HANDLE raw = first.get();
    kv::UniqueHandle second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    first = std::move(second);
    EXPECT_EQ(first.get(), raw);
    const kv::UniqueHandle released(first.release());
    EXPECT_FALSE(first.valid());
    EXPECT_TRUE(isOpen(released.get()));
}

TEST(UniqueFile, InvalidIsInvalidHandleValue) {
    kv::UniqueFile file(
        CreateFileW(L"C:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
}

} // namespace
