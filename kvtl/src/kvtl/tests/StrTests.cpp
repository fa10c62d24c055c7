#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

constexpr unsigned int NoSuchCodePage = 12345;

TEST(ToMultibyte, ConvertsAllUnitsAndFailsOnAnUnknownCodePageWithTheSystemMessage) {
    ASSERT_EQ(GetACP(), 1252u);
    EXPECT_EQ(kv::str::toMultibyte(L"", NoSuchCodePage), "");
    EXPECT_EQ(kv::str::toMultibyte(L"a\u4e2db\u00e9", CP_ACP), "a?b\xe9");
    EXPECT_EQ(kv::str::toMultibyte(std::wstring(L"a\0b", 3), CP_UTF8), std::string("a\0b", 3));
    try {
        kv::str::toMultibyte(L"abc", NoSuchCodePage);
        FAIL() << "no exception";
    } catch (const kv::Win32Exception& e) {
        EXPECT_EQ(e.errorCode(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(e.reason(), kv::Win32ErrorCategory::systemMessage(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(e.function(), L"kv::str::toMultibyte");
        EXPECT_EQ(e.file(), L"kvtl/src/kvtl/src/Str.cpp");
    }
}

// The views below are longer than their buffers: the converter must refuse
// them, or fail on the code page, before it reads a single unit.
TEST(ToMultibyte, LengthLimitIsInclusive) {
    const wchar_t unit = L'x';
    try {
        kv::str::toMultibyte(std::wstring_view(&unit, static_cast<size_t>(INT_MAX) + 1), CP_ACP);
        FAIL() << "no exception";
    } catch (const kv::Win32Exception&) {
        FAIL() << "the length check came too late";
    } catch (const kv::BaseException& e) {
        EXPECT_EQ(e.reason(), L"Too long string");
    }
    EXPECT_THROW(kv::str::toMultibyte(std::wstring_view(&unit, INT_MAX), NoSuchCodePage), kv::Win32Exception);
}

TEST(LenientConversions, Utf8BothWaysMalformedInputReplacedAndUnknownCodePageGivesNothing) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } rows[] = {
        {"", L""},
        {std::string("a\0b\0", 4), std::wstring(L"a\0b\0", 4)},
        {"\xc3\xa9\xe4\xb8\xad", L"\u00e9\u4e2d"},
        {"\xf0\x9f\x98\x80", L"\xd83d\xde00"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kv::str::utf8ToWide(row.utf8), row.wide) << row.utf8;
        EXPECT_EQ(kv::str::wideToUtf8(row.wide), row.utf8) << row.utf8;
    }
    EXPECT_EQ(kv::str::utf8ToWide("a\xff"
                                  "b"),
              L"a\xfffd"
              L"b");
    EXPECT_FALSE(kv::str::wideToUtf8(std::wstring(1, wchar_t(0xd800))).empty());
    EXPECT_EQ(kv::str::multibyteToWide("\xe9", 1252), L"\u00e9");
    EXPECT_EQ(kv::str::multibyteToWide("abc", NoSuchCodePage), L"");
}

} // namespace
