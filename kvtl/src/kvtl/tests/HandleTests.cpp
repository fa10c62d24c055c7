#include <windows.h>

#include "kvtl/Handle.h"

#include <gtest/gtest.h>

namespace {

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesOnDestructionAndResetKeepingTheLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        kv::UniqueHandle event(raw);
        EXPECT_TRUE(event.valid());
    }
    EXPECT_FALSE(isOpen(raw));
    kv::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    raw = event.get();
    SetLastError(ERROR_ACCESS_DENIED);
    event.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(event.valid());
    EXPECT_FALSE(isOpen(raw));
}

TEST(UniqueHandle, ReleaseHandsOverAndMoveTransfers) {
    kv::UniqueHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE raw = first.get();
    kv::UniqueHandle second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    const kv::UniqueHandle released(second.release());
    EXPECT_FALSE(second.valid());
    EXPECT_TRUE(isOpen(released.get()));
}

TEST(UniqueFile, InvalidIsInvalidHandleValue) {
    kv::UniqueFile file(
        CreateFileW(L"C:\\no\\such\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
}

TEST(UniqueHandle, PutClosesTheOldHandleFirst) {
    kv::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE first = event.get();
    HANDLE* slot = event.put();
    EXPECT_FALSE(isOpen(first));
    EXPECT_EQ(*slot, nullptr);
    *slot = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(event.valid());
}

} // namespace
