#include <windows.h>

#include "Text.h"

#include <climits>
#include <cstdio>
#include <cwchar>

namespace KvZarnLogging::detail {

std::string toUtf8(const wchar_t* text, size_t length) {
    std::string result;
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) {
        return result;
    }
    const int count = static_cast<int>(length);
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (::WideCharToMultiByte(CP_UTF8, 0, text, count, &result[0], size, nullptr, nullptr) != size) {
        result.clear();
    }
    return result;
}

std::wstring fromUtf8(const std::string& text) {
    std::wstring result;
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) {
        return result;
    }
    const int count = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
    if (size <= 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, &result[0], size) != size) {
        result.clear();
    }
    return result;
}

// The CRT's secure formatters stop at the buffer's end with _TRUNCATE and answer
// -1, which is what tells the caller to try a larger buffer.
int formatTruncating(wchar_t* buffer, size_t size, const wchar_t* format, va_list args) {
    if (size == 0 || format == nullptr) {
        return -1;
    }
    return ::_vsnwprintf_s(buffer, size, _TRUNCATE, format, args);
}

int formatTruncatingV(char* buffer, size_t size, const char* format, va_list args) {
    if (size == 0 || format == nullptr) {
        return -1;
    }
    return ::_vsnprintf_s(buffer, size, _TRUNCATE, format, args);
}

int formatTruncating(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = formatTruncatingV(buffer, size, format, args);
    va_end(args);
    return length;
}

} // namespace KvZarnLogging::detail
