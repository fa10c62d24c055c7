#include <windows.h>

#include "kvtl/Com.h"
#include "kvtl/Handle.h"

#include <gtest/gtest.h>

namespace {

// A COM object that counts its references.
struct Counted : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** result) override {
        *result = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
    ULONG count = 1;
};

TEST(ComPtr, CountsReferencesThroughCopiesMovesAssignmentAndReset) {
    Counted object;
    {
        kv::ComPtr<IUnknown> first(&object);
        kv::ComPtr<IUnknown> copy(first);
        kv::ComPtr<IUnknown> moved(std::move(copy));
        EXPECT_FALSE(copy);
        EXPECT_EQ(object.count, 3u);
        kv::ComPtr<IUnknown> queried;
        EXPECT_EQ(first.queryInterface(IID_IUnknown, queried), S_OK);
        copy = queried;
        EXPECT_EQ(object.count, 5u);
        queried.reset();
        copy = kv::ComPtr<IUnknown>();
        EXPECT_EQ(object.count, 3u);
    }
    EXPECT_EQ(object.count, 1u);
    kv::ComPtr<IUnknown> empty, result;
    EXPECT_EQ(empty.queryInterface(IID_IUnknown, result), E_POINTER);
}

TEST(ComOwners, BstrKeepsEmbeddedNulsAndTheInitializerLeavesWhatItEntered) {
    const std::wstring text(L"a\0b", 3);
    EXPECT_EQ(kv::Bstr(text).str(), text);
    {
        kv::ScopedComInitializer com;
        EXPECT_EQ(com.result(), S_OK);
        EXPECT_EQ(kv::ScopedComInitializer().result(), S_FALSE);
    }
    EXPECT_EQ(kv::ScopedComInitializer().result(), S_OK) << "every successful entry was left";
}

bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UniqueHandle, ClosesOnDestructionResetAndPutKeepingTheLastErrorAndMovesOwnership) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    { kv::UniqueHandle event(raw); }
    EXPECT_FALSE(isOpen(raw));

    kv::UniqueHandle event(raw = CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetLastError(ERROR_ACCESS_DENIED);
    event.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(event.valid() || isOpen(raw));
    event.reset(raw = CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(*event.put(), nullptr);
    EXPECT_FALSE(isOpen(raw));

    event.reset(raw = CreateEventW(nullptr, TRUE, FALSE, nullptr));
    kv::UniqueHandle moved(std::move(event));
    event = std::move(moved);
    const kv::UniqueHandle released(event.release());
    EXPECT_FALSE(event.valid() || moved.valid());
    EXPECT_EQ(released.get(), raw);
    EXPECT_TRUE(isOpen(raw));
    EXPECT_FALSE(kv::UniqueFile(INVALID_HANDLE_VALUE).valid());
    EXPECT_EQ(kv::UniqueFile().get(), INVALID_HANDLE_VALUE);
}

} // namespace
