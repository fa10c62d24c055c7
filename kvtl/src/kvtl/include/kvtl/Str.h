#pragma once

#include <string>
#include <string_view>

namespace kv::str {

// Strict conversion of UTF-16 text into a code page (0 is the ANSI code page).
// Characters the code page cannot hold become its default character. Throws
// kv::BaseException "Too long string" above 0x7FFFFFFF units and the Win32
// exception when the system converter fails (an unknown code page, say).
std::string toMultibyte(std::wstring_view text, unsigned int codePage);

// Lenient conversions: they never fail, any failure gives an empty string.
// The length comes from the string, so embedded NULs are converted too.
std::wstring multibyteToWide(std::string_view text, unsigned int codePage);
std::wstring utf8ToWide(std::string_view text);
std::string wideToUtf8(std::wstring_view text);

} // namespace kv::str
