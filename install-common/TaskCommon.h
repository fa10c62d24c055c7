#pragma once

#include <windows.h>

#include "install-common/Trigger.h"
#include "kvtl/Com.h"
#include "kvtl/Exceptions.h"

#include <ctime>
#include <string>

// Throw sites of the backends: a failed HRESULT becomes kv::ComException with an
// empty reason and the calling source file and line, which support engineers read
// in the exception text.
#define KV_CHECK(hr, function) ::kv::detail::throwIfFailed((hr), (function), KV_WFILE, __LINE__)
#define KV_CHECK_OUT(hr, result, function)                                                                   \
    ::kv::detail::throwIfFailedOrEmpty((hr), (result), (function), KV_WFILE, __LINE__)

// Helpers shared by the two backends.
namespace kv::detail {

void throwIfFailed(HRESULT hr, const wchar_t* function, const wchar_t* file, unsigned int line);

// A call that succeeded without handing out its object counts as failed
// (E_POINTER), so that nothing is used that was not returned.
template <class T>
void throwIfFailedOrEmpty(HRESULT hr, const ComPtr<T>& result, const wchar_t* function, const wchar_t* file,
                          unsigned int line) {
    throwIfFailed(hr, function, file, line);
    if (!result) {
        throwIfFailed(E_POINTER, function, file, line);
    }
}

// True when the stored text of that many characters equals the given one, the
// ASCII letters A to Z compared without regard to case, everything else exactly.
bool equalsIgnoringAsciiCase(const wchar_t* stored, std::size_t storedLength,
                             const std::wstring& text) noexcept;

// The local calendar time (current time zone and daylight-saving rules) of the
// whole seconds of a time point, by the C run-time; false when it cannot convert
// them (before 1970 or beyond the year 3000).
bool localCalendarTime(TimePoint time, std::tm& result) noexcept;

} // namespace kv::detail
