#pragma once

#include <windows.h>

#include <utility>

namespace kv {

// Move-only owner of one Win32 resource. Traits give the raw type, the invalid
// value and the close function. reset() keeps the thread's last-error value, so
// cleanup never changes the error a caller is about to report.
template <class Traits>
class UniqueResource {
public:
    using Raw = typename Traits::Raw;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Raw raw) noexcept : raw_(raw) {}
    UniqueResource(UniqueResource&& other) noexcept : raw_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Raw get() const noexcept { return raw_; }
    bool valid() const noexcept { return raw_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    [[nodiscard]] Raw release() noexcept { return std::exchange(raw_, Traits::invalid()); }

    void reset(Raw raw = Traits::invalid()) noexcept {
        if (raw_ != Traits::invalid()) {
            const DWORD error = ::GetLastError();
            Traits::close(raw_);
            ::SetLastError(error);
        }
        raw_ = raw;
    }

    // Resets and hands out the address for an out-parameter.
    Raw* put() noexcept {
        reset();
        return &raw_;
    }

private:
    Raw raw_ = Traits::invalid();
};

namespace detail {

template <class T, T Invalid, class Result, Result(WINAPI* Close)(T)>
struct ResourceTraits {
    using Raw = T;
    static Raw invalid() noexcept { return Invalid; }
    static void close(Raw raw) noexcept { Close(raw); }
};

struct FileTraits {
    using Raw = HANDLE;
    static Raw invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Raw raw) noexcept { ::CloseHandle(raw); }
};

struct FindTraits {
    using Raw = HANDLE;
    static Raw invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Raw raw) noexcept { ::FindClose(raw); }
};

} // namespace detail

// Process, thread, mutex and event handles: invalid is null.
using UniqueHandle = UniqueResource<detail::ResourceTraits<HANDLE, nullptr, BOOL, ::CloseHandle>>;
// Files: invalid is INVALID_HANDLE_VALUE.
using UniqueFile = UniqueResource<detail::FileTraits>;
using UniqueFind = UniqueResource<detail::FindTraits>;
using UniqueHkey = UniqueResource<detail::ResourceTraits<HKEY, nullptr, LSTATUS, ::RegCloseKey>>;
using UniqueModule = UniqueResource<detail::ResourceTraits<HMODULE, nullptr, BOOL, ::FreeLibrary>>;
using UniqueLocal = UniqueResource<detail::ResourceTraits<HLOCAL, nullptr, HLOCAL, ::LocalFree>>;
using UniqueSid = UniqueResource<detail::ResourceTraits<PSID, nullptr, PVOID, ::FreeSid>>;

} // namespace kv
