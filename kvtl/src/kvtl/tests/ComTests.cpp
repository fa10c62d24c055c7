#include <windows.h>

#include "kvtl/Com.h"

#include <gtest/gtest.h>

namespace {

// A minimal COM object that counts its references.
class Counted : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (iid == IID_IUnknown) {
            *result = this;
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
    ULONG count = 1;
};

TEST(ComPtr, CountsReferencesThroughCopiesMovesAndReset) {
    Counted object;
    {
        kv::ComPtr<IUnknown> first(&object);
        EXPECT_EQ(object.count, 2u);
        kv::ComPtr<IUnknown> copy(first);
        EXPECT_EQ(object.count, 3u);
        kv::ComPtr<IUnknown> moved(std::move(copy));
        EXPECT_EQ(object.count, 3u);
        EXPECT_FALSE(copy);
        kv::ComPtr<IUnknown> queried;
        EXPECT_EQ(first.queryInterface(IID_IUnknown, queried), S_OK);
        EXPECT_EQ(object.count, 4u);
        queried.reset();
        EXPECT_EQ(object.count, 3u);
    }
    EXPECT_EQ(object.count, 1u);
    kv::ComPtr<IUnknown> empty;
    kv::ComPtr<IUnknown> result;
    EXPECT_EQ(empty.queryInterface(IID_IUnknown, result), E_POINTER);
}

TEST(Bstr, KeepsEmbeddedNulsAndLength) {
    const std::wstring text(L"a\0b", 3);
    const kv::Bstr bstr(text);
    EXPECT_EQ(SysStringLen(bstr.get()), 3u);
    EXPECT_EQ(bstr.str(), text);
    EXPECT_EQ(kv::Bstr().str(), L"");
}

TEST(Variant, Kinds) {
    const kv::Variant text = kv::Variant::bstr(L"D:(A;;FA;;;BA)");
    EXPECT_EQ(text.get().vt, VT_BSTR);
    EXPECT_STREQ(text.get().bstrVal, L"D:(A;;FA;;;BA)");
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
