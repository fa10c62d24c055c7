#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <string>
#include <type_traits>

// The COM object base of the test doubles: reference counting, QueryInterface over
// a list of interface identifiers, and IDispatch answered E_NOTIMPL (no scripting).
namespace kv::doubles {

// Objects (and server locks) of the doubles alive in this module; DllCanUnloadNow
// answers from it and tests compare it before and after to find leaks.
std::atomic<long>& liveComObjects();

// An object implementing the interfaces Is...; the derived class says in `find`
// which of them an identifier asks for. Objects start with one reference.
template <class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject() noexcept { ++liveComObjects(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = iid == IID_IUnknown ? static_cast<First*>(this) : find(iid);
        if (*result == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~ComObject() { --liveComObjects(); }
    virtual void* find(REFIID iid) = 0;

private:
    std::atomic<long> references_{1};
};

// One interface I, asked for by any of Iids (IDispatch too when I is a dual interface).
template <class I, const IID&... Iids>
class Object : public ComObject<I> {
protected:
    void* find(REFIID iid) override {
        const bool dispatch = std::is_base_of_v<IDispatch, I> && iid == IID_IDispatch;
        return dispatch || ((iid == Iids) || ...) ? static_cast<I*>(this) : nullptr;
    }
};

// A dual interface whose IDispatch part is not modelled.
template <class I, const IID&... Iids>
class Dispatch : public Object<I, Iids...> {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
};

// Hands out a new object's first reference (E_POINTER, E_OUTOFMEMORY for a null object).
template <class Out, class T>
HRESULT giveObject(T* object, Out** out) {
    if (out == nullptr) {
        if (object != nullptr) {
            object->Release();
        }
        return E_POINTER;
    }
    *out = object;
    return object == nullptr ? E_OUTOFMEMORY : S_OK;
}

inline HRESULT giveBstr(const std::wstring& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// Copies a text into a CoTaskMemAlloc'ed string.
inline HRESULT giveTaskMemText(const std::wstring& text, LPWSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (*out == nullptr) {
        return E_OUTOFMEMORY;
    }
    text.copy(*out, text.size());
    (*out)[text.size()] = L'\0';
    return S_OK;
}

template <class T>
HRESULT giveValue(T value, T* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = value;
    return S_OK;
}

inline std::wstring textOf(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
}

} // namespace kv::doubles
