#pragma once

#include "install-common/Trigger.h"

#include <ctime>
#include <string>

// Helpers shared by the two backends.
namespace kv::detail {

// True when the stored text of that many characters equals the given one, the
// ASCII letters A to Z compared without regard to case, everything else exactly.
bool equalsIgnoringAsciiCase(const wchar_t* stored, std::size_t storedLength,
                             const std::wstring& text) noexcept;

// The local calendar time (current time zone and daylight-saving rules) of the
// whole seconds of a time point, by the C run-time; false when it cannot convert
// them (before 1970 or beyond the year 3000).
bool localCalendarTime(TimePoint time, std::tm& result) noexcept;

} // namespace kv::detail
