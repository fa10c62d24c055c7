#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <initializer_list>
#include <new>
#include <string>

namespace kv::ts20 {

// Objects and server locks alive in this module; DllCanUnloadNow answers from it.
std::atomic<long>& moduleReferences();

// Reference counting, QueryInterface over a list of interface identifiers and the
// four IDispatch methods (no type information: scripting is not modelled) for an
// object implementing the interface I. Objects start with one reference.
template <class I>
class Dispatch : public I {
public:
    Dispatch() noexcept { ++moduleReferences(); }
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;
    virtual ~Dispatch() { --moduleReferences(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch || implements(iid)) {
            *result = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

protected:
    // The interfaces beyond IUnknown and IDispatch that QueryInterface hands out as I.
    virtual bool implements(REFIID iid) const = 0;

private:
    std::atomic<long> references_{1};
};

// Out-parameter helpers: each checks the pointer and answers E_POINTER or E_OUTOFMEMORY.
inline HRESULT giveBstr(const std::wstring& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

template <class T>
HRESULT giveValue(T value, T* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = value;
    return S_OK;
}

inline HRESULT giveBool(bool value, VARIANT_BOOL* out) {
    return giveValue<VARIANT_BOOL>(value ? VARIANT_TRUE : VARIANT_FALSE, out);
}

// Hands out a new object's first reference as interface Out.
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

inline std::wstring textOf(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
}

} // namespace kv::ts20
