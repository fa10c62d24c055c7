#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace kv {

// Counted reference to a COM object.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes one more reference on the object.
    explicit ComPtr(T* object) noexcept : object_(object) { addRef(); }
    ComPtr(const ComPtr& other) noexcept : object_(other.object_) { addRef(); }
    ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void reset() noexcept {
        if (T* object = std::exchange(object_, nullptr)) {
            object->Release();
        }
    }
    // Resets and hands out the address for an out-parameter that delivers a reference.
    T** put() noexcept {
        reset();
        return &object_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

    // QueryInterface into another counted reference; the HRESULT is the caller's to test.
    template <class U>
    HRESULT queryInterface(REFIID iid, ComPtr<U>& result) const noexcept {
        return object_ == nullptr ? E_POINTER : object_->QueryInterface(iid, result.putVoid());
    }

private:
    void addRef() noexcept {
        if (object_ != nullptr) {
            object_->AddRef();
        }
    }

    T* object_ = nullptr;
};

// Owner of a BSTR. Allocation failure throws kv::ComException from E_OUTOFMEMORY.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(const std::wstring& text);
    Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        std::swap(text_, other.text_);
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(text_); }

    BSTR get() const noexcept { return text_; }
    BSTR* put() noexcept {
        ::SysFreeString(std::exchange(text_, nullptr));
        return &text_;
    }
    [[nodiscard]] BSTR release() noexcept { return std::exchange(text_, nullptr); }
    // The text, empty for a null BSTR.
    std::wstring str() const {
        return text_ == nullptr ? std::wstring() : std::wstring(text_, ::SysStringLen(text_));
    }

private:
    BSTR text_ = nullptr;
};

// Owner of a VARIANT, cleared with VariantClear.
class Variant {
public:
    Variant() noexcept { ::VariantInit(&value_); }
    Variant(Variant&& other) noexcept : value_(other.value_) { ::VariantInit(&other.value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&value_); }

    // VT_BSTR holding a copy of the text; throws kv::ComException on allocation failure.
    static Variant bstr(const std::wstring& text);
    static Variant i4(long value);
    static Variant null();

    VARIANT& get() noexcept { return value_; }
    const VARIANT& get() const noexcept { return value_; }
    VARIANT* put() noexcept {
        ::VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};

// COM for the current thread, left in the destructor when it was entered.
class ScopedComInitializer {
public:
    explicit ScopedComInitializer(DWORD apartment = COINIT_MULTITHREADED) noexcept
        : result_(::CoInitializeEx(nullptr, apartment)) {}
    ~ScopedComInitializer() {
        if (SUCCEEDED(result_)) {
            ::CoUninitialize();
        }
    }
    ScopedComInitializer(const ScopedComInitializer&) = delete;
    ScopedComInitializer& operator=(const ScopedComInitializer&) = delete;

    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};

} // namespace kv
