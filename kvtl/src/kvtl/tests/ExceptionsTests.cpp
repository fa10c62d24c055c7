#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What FormatMessageW says for a code, or nothing; the tests compare with the
// running system's own texts, never with hard-coded sentences.
bool systemText(DWORD flags, DWORD code, std::wstring& text) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | flags,
                                        nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return false;
    }
    text.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

TEST(BaseException, DescriptionNamesEveryFieldInBothFormsOnceAndCopiesShareOnlyTheTexts) {
    ASSERT_EQ(GetACP(), 1252u);
    const struct {
        const wchar_t* reason;
        const wchar_t* function;
        const wchar_t* file;
        int line;
        const wchar_t* wide;
    } rows[] = {
        {L"Too long", L"kv::f", L"a.cpp", 1234567,
         L"Type: kv::BaseException, Reason: Too long, Function: kv::f, File: a.cpp, Line: 1234567"},
        {nullptr, nullptr, nullptr, 0, L"Type: kv::BaseException, Reason: , Function: , File: , Line: 0"},
        {L"caf\u00e9 \u4e2d", L"f", L"x", 1,
         L"Type: kv::BaseException, Reason: caf\u00e9 \u4e2d, Function: f, File: x, Line: 1"},
    };
    for (const auto& row : rows) {
        const kv::BaseException e(row.reason, row.function, row.file, row.line);
        EXPECT_STREQ(e.wwhat(), row.wide);
        EXPECT_EQ(e.wwhat(), e.wwhat());
        const kv::BaseException copy(e);
        EXPECT_EQ(&copy.reason(), &e.reason());
        EXPECT_EQ(&copy.file(), &e.file());
        EXPECT_NE(copy.wwhat(), e.wwhat());
        EXPECT_STREQ(copy.wwhat(), row.wide);
    }
    // what() is the same in the ANSI code page, built once too.
    const kv::BaseException accented(L"caf\u00e9 \u4e2d", L"f", L"x", 1);
    const std::exception& standard = accented;
    EXPECT_STREQ(standard.what(),
                 "Type: kv::BaseException, Reason: caf\xe9 ?, Function: f, File: x, Line: 1");
    EXPECT_EQ(standard.what(), accented.what());
    // Build paths stay out of the file names.
    EXPECT_STREQ(KV_WFILE, L"kvtl/src/kvtl/tests/ExceptionsTests.cpp");
}

TEST(ComException, DescriptionCarriesTheSystemMessageTheHresultAndTheSource) {
    const HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::wstring message;
    ASSERT_TRUE(systemText(FORMAT_MESSAGE_IGNORE_INSERTS, static_cast<DWORD>(hr), message));
    ASSERT_EQ(message.substr(message.size() - 2), L"\r\n");
    message.resize(message.size() - 2);
    const kv::ComException e(kv::ComError(hr), L"", L"kv::f", L"a.cpp", 77);
    EXPECT_EQ(std::wstring(e.wwhat()),
              L"Type: kv::ComException, Reason: , Function: kv::f, File: a.cpp, Line: 77, "
              L"COM Error: " +
                  message + L", HRESULT: -2147024894, COM Source: ");

    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetSource(const_cast<LPOLESTR>(L"Task Scheduler"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    {
        const kv::ComException with(kv::ComError(E_FAIL, info, true), L"", L"f", L"x", 1);
        const kv::ComException copy(with);
        EXPECT_EQ(copy.comError().Source(), L"Task Scheduler");
        const std::wstring description = copy.wwhat();
        const std::wstring tail = L", HRESULT: -2147467259, COM Source: Task Scheduler";
        EXPECT_EQ(description.substr(description.size() - tail.size()), tail);
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
    EXPECT_EQ(copy.Error(), E_INVALIDARG);
    EXPECT_NE(copy.ErrorMessage(), message);
    EXPECT_STREQ(copy.ErrorMessage(), message);

    const std::pair<DWORD, const wchar_t*> fallbacks[] = {
        {0x80040205, L"IDispatch error #5"},       {0x8004FFFF, L"IDispatch error #65023"},
        {0x80040200, L"Unknown error 0x80040200"}, {0x80050000, L"Unknown error 0x80050000"},
        {0xA0041234, L"Unknown error 0xA0041234"},
    };
    for (const auto& [hr, text] : fallbacks) {
        std::wstring ignored;
        if (!systemText(FORMAT_MESSAGE_IGNORE_INSERTS, hr, ignored)) {
            EXPECT_STREQ(kv::ComError(static_cast<HRESULT>(hr)).ErrorMessage(), text);
        }
    }
}

TEST(Win32Exception, EmptyReasonBecomesTheSystemMessageWithItsLineBreakAndInsertsUntouched) {
    std::wstring message;
    ASSERT_TRUE(systemText(0, ERROR_ACCESS_DENIED, message));
    const kv::Win32Exception e(ERROR_ACCESS_DENIED, L"", L"kv::f", L"a.cpp", 3);
    EXPECT_EQ(e.reason(), message);
    EXPECT_EQ(e.reason().substr(e.reason().size() - 2), L"\r\n");
    EXPECT_EQ(std::wstring(e.wwhat()), L"Type: Win32Exception, Reason: " + message +
                                           L", Function: kv::f, File: a.cpp, Line: 3, Error Code : 5");
    EXPECT_EQ(kv::Win32Exception(ERROR_ACCESS_DENIED, L"no access", L"f", L"a", 1).reason(), L"no access");

    const unsigned long code = 0x2000ABCD;
    ASSERT_FALSE(systemText(FORMAT_MESSAGE_IGNORE_INSERTS, code, message));
    const kv::Win32Exception unknown(code, nullptr, L"f", L"a", 1);
    EXPECT_STREQ(unknown.wwhat(),
                 L"Type: Win32Exception, Reason: , Function: f, File: a, Line: 1, Error Code : 536914893");

    // ERROR_WRONG_DISK's message carries an insert (%1); nothing may be read for it.
    if (!systemText(FORMAT_MESSAGE_IGNORE_INSERTS, ERROR_WRONG_DISK, message)) {
        GTEST_SKIP() << "no text for ERROR_WRONG_DISK";
    }
    EXPECT_EQ(kv::Win32ErrorCategory::systemMessage(ERROR_WRONG_DISK), message);
}

} // namespace
