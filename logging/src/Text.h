#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

// Helpers private to the logging library.
namespace KvZarnLogging::detail {

// UTF-16 to UTF-8 and back; any failure gives an empty string.
std::string toUtf8(const wchar_t* text, size_t length);
std::wstring fromUtf8(const std::string& text);

// printf-style formatting into a buffer of size characters (NUL included):
// the length written, or -1 when the text did not fit (the buffer then holds a
// truncated text) or the format was rejected.
int formatTruncating(wchar_t* buffer, size_t size, const wchar_t* format, va_list args);
int formatTruncating(char* buffer, size_t size, const char* format, ...);
int formatTruncatingV(char* buffer, size_t size, const char* format, va_list args);

// Restores the thread's last-error value when the scope ends.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept : error_(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

} // namespace KvZarnLogging::detail
