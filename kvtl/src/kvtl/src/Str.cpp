#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <climits>

namespace kv::str {

std::string toMultibyte(std::wstring_view text, unsigned int codePage) {
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        throw BaseException(L"Too long string", L"kv::str::toMultibyte", KV_WFILE, __LINE__);
    }
    const int length = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        throw Win32Exception(::GetLastError(), L"", L"kv::str::toMultibyte", KV_WFILE, __LINE__);
    }
    std::string result(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), size, nullptr, nullptr) == 0) {
        throw Win32Exception(::GetLastError(), L"", L"kv::str::toMultibyte", KV_WFILE, __LINE__);
    }
    return result;
}

std::wstring multibyteToWide(std::string_view text, unsigned int codePage) {
    std::wstring result;
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return result;
    }
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (size == 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (::MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), size) == 0) {
        result.clear();
    }
    return result;
}

std::wstring utf8ToWide(std::string_view text) {
    return multibyteToWide(text, CP_UTF8);
}

std::string wideToUtf8(std::wstring_view text) {
    std::string result;
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return result;
    }
    const int length = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        return result;
    }
    result.resize(static_cast<size_t>(size));
    if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr, nullptr) == 0) {
        result.clear();
    }
    return result;
}

} // namespace kv::str
