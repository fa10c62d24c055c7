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

// Runs the call and expects a kv::ComException with that HRESULT, an empty
// reason, that function text and that source file.
template <class Call>
void expectComException(Call&& call, HRESULT hr, const std::wstring& function, const std::wstring& file) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << std::hex << hr << " from "
                      << kv::str::wideToUtf8(function);
    } catch (const kv::ComException& error) {
        EXPECT_EQ(error.comError().Error(), hr) << error.what();
        EXPECT_EQ(error.reason(), L"");
        EXPECT_EQ(error.function(), function);
        EXPECT_EQ(error.file(), file);
        EXPECT_GT(error.line(), 0u);
    }
}

// Runs the call and expects a kv::BaseException (not a COM one) with that reason.
template <class Call>
void expectBaseException(Call&& call, const std::wstring& reason, const std::wstring& function,
                         const std::wstring& file) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << kv::str::wideToUtf8(reason);
    } catch (const kv::ComException& error) {
        ADD_FAILURE() << "a COM exception: " << error.what();
    } catch (const kv::BaseException& error) {
        EXPECT_EQ(error.reason(), reason);
        EXPECT_EQ(error.function(), function);
        EXPECT_EQ(error.file(), file);
    }
}

// A time point from a UTC calendar time, with a fraction of a second in ticks.
inline kv::TimePoint utcTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                             kv::TimePoint ticks = 0) {
    SYSTEMTIME utc = {};
    utc.wYear = year;
    utc.wMonth = month;
    utc.wDay = day;
    utc.wHour = hour;
    utc.wMinute = minute;
    utc.wSecond = second;
    FILETIME file = {};
    SystemTimeToFileTime(&utc, &file);
    const auto value =
        static_cast<kv::TimePoint>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
    return value - 116444736000000000LL + ticks;
}

// The local calendar time of a time point by the Win32 time-zone rules, an
// oracle independent of the C run-time's conversion.
inline SYSTEMTIME localTimeOf(kv::TimePoint time) {
    const auto value = static_cast<ULONGLONG>(time + 116444736000000000LL);
    FILETIME file = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
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
