#include <windows.h>

#include "install-common/Scheduler.h"
#include "install-common/Scheduler10.h"
#include "install-common/Scheduler20.h"
#include "TaskCommon.h"

#include <time.h>

namespace kv {

namespace {

// FILETIME counts from 1601-01-01; time points count from 1970-01-01.
constexpr std::int64_t UnixEpochAsFileTime = 0x19DB1DED53E8000;

using GetSystemTimeFunction = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime exists from Windows 8 on; kernel32 is always
// loaded, so looking it up there loads nothing.
GetSystemTimeFunction systemTimeFunction() noexcept {
    if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
        if (FARPROC precise = ::GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")) {
            return reinterpret_cast<GetSystemTimeFunction>(precise);
        }
    }
    return &::GetSystemTimeAsFileTime;
}

bool isWindows7OrLater() noexcept {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 1;
    version.wServicePackMajor = 0;
    ULONGLONG conditions = 0;
    conditions = ::VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                conditions) != FALSE;
}

} // namespace

TimePoint currentTime() {
    static const GetSystemTimeFunction getSystemTime = systemTimeFunction();
    FILETIME now = {};
    getSystemTime(&now);
    const auto ticks =
        static_cast<std::int64_t>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return ticks - UnixEpochAsFileTime;
}

std::uint16_t daysOfWeekMask(const std::vector<DayOfWeek>& days) {
    std::uint16_t mask = 0;
    for (const DayOfWeek day : days) {
        if (day >= Sunday && day <= Saturday) {
            mask |= static_cast<std::uint16_t>(1u << day);
        }
    }
    return mask;
}

std::shared_ptr<IScheduler> createScheduler() {
    if (isWindows7OrLater()) {
        return std::make_shared<Scheduler20>();
    }
    return std::make_shared<Scheduler10>();
}

namespace detail {

void throwIfFailed(HRESULT hr, const wchar_t* function, const wchar_t* file, unsigned int line) {
    if (FAILED(hr)) {
        throw ComException(ComError(hr), L"", function, file, line);
    }
}

bool equalsIgnoringAsciiCase(const wchar_t* stored, std::size_t storedLength,
                             const std::wstring& text) noexcept {
    if (stored == nullptr || storedLength != text.size()) {
        return false;
    }
    const auto fold = [](wchar_t c) {
        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    };
    for (std::size_t i = 0; i < storedLength; ++i) {
        if (fold(stored[i]) != fold(text[i])) {
            return false;
        }
    }
    return true;
}

bool localCalendarTime(TimePoint time, std::tm& result) noexcept {
    const __time64_t seconds = time / TicksPerSecond;
    return _localtime64_s(&result, &seconds) == 0;
}

} // namespace detail

} // namespace kv
