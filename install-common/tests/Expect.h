#pragma once

#include <windows.h>

#include "install-common/Trigger.h"
#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace kv::test {

// Runs the call and expects a kv::ComException with that HRESULT and an empty
// reason or, for S_OK, another kv::BaseException with that reason; either with
// that function text, that source file and a line.
template <class Call>
void expectThrow(Call&& call, HRESULT hr, const std::wstring& function, const std::wstring& file,
                 const std::wstring& reason = L"") {
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << std::hex << hr << " from " << str::wideToUtf8(function);
    } catch (const BaseException& error) {
        const auto* com = dynamic_cast<const ComException*>(&error);
        EXPECT_EQ(com != nullptr ? com->comError().Error() : S_OK, hr) << error.what();
        EXPECT_EQ(error.reason(), reason);
        EXPECT_EQ(error.function(), function);
        EXPECT_EQ(error.file(), file);
        EXPECT_GT(error.line(), 0u);
    }
}

// A time point from a UTC calendar time, with a fraction of a second in ticks.
inline TimePoint utcTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                         TimePoint ticks = 0) {
    const SYSTEMTIME utc = {year, month, 0, day, hour, minute, second, 0};
    FILETIME file = {};
    SystemTimeToFileTime(&utc, &file);
    return static_cast<TimePoint>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) -
           116444736000000000LL + ticks;
}

// The local calendar time of a time point by the Win32 time-zone rules, an
// oracle independent of the C run-time's conversion.
inline SYSTEMTIME localTimeOf(TimePoint time) {
    const auto value = static_cast<ULONGLONG>(time + 116444736000000000LL);
    const FILETIME file = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    SYSTEMTIME utc = {};
    SYSTEMTIME local = {};
    FileTimeToSystemTime(&file, &utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    return local;
}

inline std::wstring isoText(const SYSTEMTIME& time) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return text;
}

// True when this run was started in the test zone UTC+5:45 (no daylight saving).
inline bool inNepalTime() {
    const char* zone = std::getenv("TZ");
    return zone != nullptr && std::string(zone) == "NPT-5:45";
}

// The inner text of the first element of that name in a task's XML; empty when absent.
inline std::wstring element(const std::wstring& xml, const std::wstring& name) {
    for (std::size_t at = xml.find(L"<" + name); at != std::wstring::npos;
         at = xml.find(L"<" + name, at + 1)) {
        const std::size_t after = at + 1 + name.size();
        if (after < xml.size() && (xml[after] == L'>' || xml[after] == L' ')) {
            const std::size_t open = xml.find(L'>', after);
            if (xml[open - 1] == L'/') {
                return std::wstring();
            }
            return xml.substr(open + 1, xml.find(L"</" + name + L">", open) - open - 1);
        }
    }
    return std::wstring();
}

inline std::size_t occurrences(const std::wstring& text, const std::wstring& part) {
    std::size_t result = 0;
    for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) {
        ++result;
    }
    return result;
}

} // namespace kv::test
