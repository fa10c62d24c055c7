#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using namespace ::testing;
constexpr unsigned int NoSuchCodePage = 12345;

// The running system's own text for a code ("" when it has none), never a hard-coded sentence.
std::wstring systemText(DWORD flags, DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | flags,
                                        nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    const std::wstring text(buffer ? buffer : L"", length);
    LocalFree(buffer);
    return text;
}

TEST(BaseException, DescriptionNamesEveryFieldInBothFormsAndSurvivesACopy) {
    ASSERT_EQ(GetACP(), 1252u);
    // clang-format off
    const struct { const wchar_t *reason, *function, *file; int line; const wchar_t* wide; } rows[] = {
        {L"Too long", L"kv::f", L"a.cpp", 1234567, L"Type: kv::BaseException, Reason: Too long, Function: kv::f, File: a.cpp, Line: 1234567"},
        {nullptr, nullptr, nullptr, 0, L"Type: kv::BaseException, Reason: , Function: , File: , Line: 0"},
        {L"caf\u00e9 \u4e2d", L"f", L"x", 1, L"Type: kv::BaseException, Reason: caf\u00e9 \u4e2d, Function: f, File: x, Line: 1"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const kv::BaseException e(row.reason, row.function, row.file, row.line);
        EXPECT_STREQ(e.wwhat(), row.wide);
        EXPECT_STREQ(kv::BaseException(e).wwhat(), row.wide);
    }
    // what() is the same in the ANSI code page.
    const kv::BaseException accented(L"caf\u00e9 \u4e2d", L"f", L"x", 1);
    EXPECT_STREQ(static_cast<const std::exception&>(accented).what(),
                 "Type: kv::BaseException, Reason: caf\xe9 ?, Function: f, File: x, Line: 1");
}

TEST(ComException, DescriptionCarriesTheSystemMessageTheHresultAndTheSource) {
    std::wstring message = systemText(FORMAT_MESSAGE_IGNORE_INSERTS, 0x80070002);
    message.erase(message.find_last_not_of(L"\r\n") + 1);
    const kv::ComException e(kv::ComError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), L"", L"f", L"x", 7);
    EXPECT_EQ(std::wstring(e.wwhat()),
              L"Type: kv::ComException, Reason: , Function: f, File: x, Line: 7, COM Error: " + message +
                  L", HRESULT: -2147024894, COM Source: ");

    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetSource(const_cast<LPOLESTR>(L"Task Scheduler"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    {
        const kv::ComException with(kv::ComError(E_FAIL, info, true), L"", L"f", L"x", 1);
        const kv::ComException copy(with);
        EXPECT_THAT(copy.wwhat(), EndsWith(L", HRESULT: -2147467259, COM Source: Task Scheduler"));
        IErrorInfo* again = copy.comError().ErrorInfo();
        EXPECT_EQ(again, info);
        again->Release();
        info->AddRef();
        const kv::ComError owning(E_FAIL, info); // takes the reference it is given
    }
    // Every owner took and returned its own reference: ours is the last.
    EXPECT_EQ(info->Release(), 0u);
}

TEST(ComError, MessageIsFormattedOnceNotCopiedAndFallsBackWithoutSystemText) {
    const kv::ComError error(E_INVALIDARG);
    const wchar_t* message = error.ErrorMessage();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(error.ErrorMessage(), message);
    kv::ComError copy(S_OK);
    copy = error;
    EXPECT_NE(copy.ErrorMessage(), message);
    EXPECT_STREQ(copy.ErrorMessage(), message);

    const std::pair<DWORD, const wchar_t*> fallbacks[] = {{0x80040205, L"IDispatch error #5"},
                                                          {0x8004FFFF, L"IDispatch error #65023"},
                                                          {0x80050000, L"Unknown error 0x80050000"},
                                                          {0xA0041234, L"Unknown error 0xA0041234"}};
    for (const auto& [hr, text] : fallbacks) {
        if (systemText(FORMAT_MESSAGE_IGNORE_INSERTS, hr).empty()) {
            EXPECT_STREQ(kv::ComError(static_cast<HRESULT>(hr)).ErrorMessage(), text);
        }
    }
}

TEST(Win32Exception, EmptyReasonBecomesTheSystemMessageWithItsLineBreakAndInsertsUntouched) {
    const std::wstring message = systemText(0, ERROR_ACCESS_DENIED);
    ASSERT_NE(message, L"");
    EXPECT_EQ(std::wstring(kv::Win32Exception(ERROR_ACCESS_DENIED, L"", L"f", L"a", 3).wwhat()),
              L"Type: Win32Exception, Reason: " + message +
                  L", Function: f, File: a, Line: 3, Error Code : 5");
    EXPECT_EQ(kv::Win32Exception(ERROR_ACCESS_DENIED, L"no access", L"f", L"a", 1).reason(), L"no access");
    ASSERT_EQ(systemText(FORMAT_MESSAGE_IGNORE_INSERTS, 0x2000ABCD), L"");
    EXPECT_STREQ(kv::Win32Exception(0x2000ABCD, nullptr, L"f", L"a", 1).wwhat(),
                 L"Type: Win32Exception, Reason: , Function: f, File: a, Line: 1, Error Code : 536914893");
    // ERROR_WRONG_DISK's message carries an insert (%1); nothing may be read for it.
    const std::wstring wrongDisk = systemText(FORMAT_MESSAGE_IGNORE_INSERTS, ERROR_WRONG_DISK);
    ASSERT_NE(wrongDisk, L"");
    EXPECT_EQ(kv::Win32ErrorCategory::systemMessage(ERROR_WRONG_DISK), wrongDisk);
}

TEST(ToMultibyte, ConvertsAllUnitsAndFailsOnAnUnknownCodePageOrBeyondTheLengthLimit) {
    EXPECT_EQ(kv::str::toMultibyte(L"", NoSuchCodePage), "");
    EXPECT_EQ(kv::str::toMultibyte(L"a\u4e2db\u00e9", CP_ACP), "a?b\xe9");
    EXPECT_EQ(kv::str::toMultibyte(std::wstring(L"a\0b", 3), CP_UTF8), std::string("a\0b", 3));
    // The file name carries no build path.
    EXPECT_THAT(
        [] { kv::str::toMultibyte(L"abc", NoSuchCodePage); },
        Throws<kv::Win32Exception>(AllOf(Property(&kv::Win32Exception::errorCode, ERROR_INVALID_PARAMETER),
                                         Property(&kv::BaseException::file, L"kvtl/src/kvtl/src/Str.cpp"))));
    // The views are longer than their buffers: the converter must refuse the first,
    // and fail on the code page for the second, before it reads a single unit.
    const wchar_t unit = L'x';
    EXPECT_THAT(
        [&] { kv::str::toMultibyte(std::wstring_view(&unit, static_cast<size_t>(INT_MAX) + 1), CP_ACP); },
        Throws<kv::BaseException>(Property(&kv::BaseException::reason, L"Too long string")));
    EXPECT_THROW(kv::str::toMultibyte(std::wstring_view(&unit, INT_MAX), NoSuchCodePage), kv::Win32Exception);
}

TEST(LenientConversions, Utf8BothWaysMalformedInputReplacedAndUnknownCodePageGivesNothing) {
    const std::pair<std::string, std::wstring> rows[] = {
        {"", L""},
        {std::string("a\0b\0", 4), std::wstring(L"a\0b\0", 4)},
        {"\xc3\xa9\xe4\xb8\xad", L"\u00e9\u4e2d"},
        {"\xf0\x9f\x98\x80", L"\xd83d\xde00"}};
    for (const auto& [utf8, wide] : rows) {
        EXPECT_EQ(kv::str::utf8ToWide(utf8), wide) << utf8;
        EXPECT_EQ(kv::str::wideToUtf8(wide), utf8) << utf8;
    }
    EXPECT_EQ(kv::str::utf8ToWide("a\xff"), L"a\xfffd");
    EXPECT_FALSE(kv::str::wideToUtf8(std::wstring(1, wchar_t(0xd800))).empty());
    EXPECT_EQ(kv::str::multibyteToWide("\xe9", 1252), L"\u00e9");
    EXPECT_EQ(kv::str::multibyteToWide("abc", NoSuchCodePage), L"");
}

} // namespace
