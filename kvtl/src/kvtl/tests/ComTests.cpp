#include <windows.h>

#include "kvtl/Com.h"

#include <gtest/gtest.h>

namespace {

// A COM object that counts its references.
class Counted : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        *result = iid == IID_IUnknown ? this : nullptr;
        if (*result == nullptr) {
            return E_NOINTERFACE;
        }
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
    kv::ComPtr<IUnknown> empty;
    kv::ComPtr<IUnknown> result;
    EXPECT_EQ(empty.queryInterface(IID_IUnknown, result), E_POINTER);
}

TEST(ComOwners, BstrKeepsEmbeddedNulsAndVariantsTheirKinds) {
    const std::wstring text(L"a\0b", 3);
    EXPECT_EQ(SysStringLen(kv::Bstr(text).get()), 3u);
    EXPECT_EQ(kv::Bstr(text).str(), text);
    EXPECT_EQ(kv::Bstr().str(), L"");

    const kv::Variant bstr = kv::Variant::bstr(L"D:(A;;FA;;;BA)");
    EXPECT_EQ(bstr.get().vt, VT_BSTR);
    EXPECT_STREQ(bstr.get().bstrVal, L"D:(A;;FA;;;BA)");
    EXPECT_EQ(kv::Variant::i4(3).get().vt, VT_I4);
    EXPECT_EQ(kv::Variant::i4(3).get().lVal, 3);
    EXPECT_EQ(kv::Variant::null().get().vt, VT_NULL);
    EXPECT_EQ(kv::Variant().get().vt, VT_EMPTY);
}

TEST(ScopedComInitializer, EntersAndLeaves) {
    {
        kv::ScopedComInitializer com;
        EXPECT_EQ(com.result(), S_OK);
        kv::ScopedComInitializer again;
        EXPECT_EQ(again.result(), S_FALSE);
    }
    kv::ScopedComInitializer fresh;
    EXPECT_EQ(fresh.result(), S_OK) << "every successful entry was left";
}

} // namespace
