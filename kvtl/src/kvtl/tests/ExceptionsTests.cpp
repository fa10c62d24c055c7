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

TEST(BaseException, DescriptionNamesEveryFieldInBothForms) {
    ASSERT_EQ(GetACP(), 1252u);
    const struct {
        const wchar_t* reason;
        const wchar_t* function;
        const wchar_t* file;
        int line;
        const wchar_t* wide;
        const char* narrow; // in the ANSI code page
    } rows[] = {
        {L"Too long string", L"kv::str::toMultibyte", L"kvtl/src/kvtl/src/Str.cpp", 1234567,
         L"Type: kv::BaseException, Reason: Too long string, Function: kv::str::toMultibyte, "
         L"File: kvtl/src/kvtl/src/Str.cpp, Line: 1234567",
         "Type: kv::BaseException, Reason: Too long string, Function: kv::str::toMultibyte, "
         "File: kvtl/src/kvtl/src/Str.cpp, Line: 1234567"},
        {nullptr, nullptr, nullptr, 0, L"Type: kv::BaseException, Reason: , Function: , File: , Line: 0",
         "Type: kv::BaseException, Reason: , Function: , File: , Line: 0"},
        {L"caf\u00e9 \u4e2d", L"f", L"x", 1,
         L"Type: kv::BaseException, Reason: caf\u00e9 \u4e2d, Function: f, File: x, Line: 1",
         "Type: kv::BaseException, Reason: caf\xe9 ?, Function: f, File: x, Line: 1"},
    };
    for (const auto& row : rows) {
        const kv::BaseException e(row.reason, row.function, row.file, row.line);
        const std::exception& standard = e;
        EXPECT_STREQ(e.wwhat(), row.wide);
        EXPECT_STREQ(standard.what(), row.narrow);
    }
    EXPECT_EQ(kv::BaseException(nullptr, nullptr, nullptr, 0).reason(), L"");
    // Build paths stay out of the file names.
    EXPECT_STREQ(KV_WFILE, L"kvtl/src/kvtl/tests/ExceptionsTests.cpp");
}

TEST(BaseException, DescriptionsAreBuiltOnceAndCopiesShareTheTextsButNotTheDescriptions) {
    const kv::BaseException original(L"reason", L"fn", L"file.cpp", 9);
    const char* narrow = original.what();
    const wchar_t* wide = original.wwhat();
    EXPECT_EQ(original.what(), narrow);
    EXPECT_EQ(original.wwhat(), wide);
    const kv::BaseException copy(original);
    EXPECT_EQ(&copy.reason(), &original.reason());
    EXPECT_EQ(&copy.function(), &original.function());
    EXPECT_EQ(&copy.file(), &original.file());
    EXPECT_NE(copy.what(), narrow);
    EXPECT_STREQ(copy.what(), narrow);
}

TEST(ComException, FileNotFoundDescription) {
    const HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::wstring message;
    ASSERT_TRUE(systemText(FORMAT_MESSAGE_IGNORE_INSERTS, static_cast<DWORD>(hr), message));
    ASSERT_EQ(message.substr(message.size() - 2), L"\r\n");
    message.resize(message.size() - 2);

    const kv::ComException e(kv::ComError(hr), L"", L"kv::Scheduler20::removeTask",
                             L"install-common/Scheduler20.cpp", 77);
    EXPECT_EQ(std::wstring(e.wwhat()),
              L"Type: kv::ComException, Reason: , Function: kv::Scheduler20::removeTask, "
              L"File: install-common/Scheduler20.cpp, Line: 77, COM Error: " +
                  message + L", HRESULT: -2147024894, COM Source: ");
    EXPECT_EQ(e.comError().Error(), hr);
}

struct FallbackCase {
    HRESULT hr;
    const wchar_t* message;
};

class ComErrorWithoutSystemText : public testing::TestWithParam<FallbackCase> {};

TEST_P(ComErrorWithoutSystemText, UsesTheFallbackForms) {
    std::wstring ignored;
    if (systemText(FORMAT_MESSAGE_IGNORE_INSERTS, static_cast<DWORD>(GetParam().hr), ignored)) {
        GTEST_SKIP() << "this system has a text for the HRESULT";
    }
    EXPECT_STREQ(kv::ComError(GetParam().hr).ErrorMessage(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComErrorWithoutSystemText,
    testing::Values(FallbackCase{static_cast<HRESULT>(0x80040205), L"IDispatch error #5"},
                    FallbackCase{static_cast<HRESULT>(0x8004FFFF), L"IDispatch error #65023"},
                    FallbackCase{static_cast<HRESULT>(0x80040200), L"Unknown error 0x80040200"},
                    FallbackCase{static_cast<HRESULT>(0x80050000), L"Unknown error 0x80050000"},
                    FallbackCase{static_cast<HRESULT>(0xA0041234), L"Unknown error 0xA0041234"}));

TEST(ComError, MessageIsFormattedOnceAndNotCopied) {
    const kv::ComError error(E_INVALIDARG);
    const wchar_t* message = error.ErrorMessage();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(error.ErrorMessage(), message);
    const kv::ComError copy(error);
    EXPECT_NE(copy.ErrorMessage(), message);
    EXPECT_STREQ(copy.ErrorMessage(), message);
}

TEST(ComError, SourceComesFromTheErrorInformation) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetSource(const_cast<LPOLESTR>(L"Task Scheduler"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    {
        const kv::ComException e(kv::ComError(E_FAIL, info, true), L"", L"f", L"x", 1);
        const kv::ComException copy(e);
        EXPECT_EQ(copy.comError().Source(), L"Task Scheduler");
        const std::wstring description = copy.wwhat();
        const std::wstring tail = L", HRESULT: -2147467259, COM Source: Task Scheduler";
        EXPECT_EQ(description.substr(description.size() - tail.size()), tail);
    }
    // The exceptions took and returned their own references: ours is the last.
    EXPECT_EQ(info->Release(), 0u);
}

TEST(Win32Exception, EmptyReasonBecomesTheSystemMessageWithItsLineBreak) {
    std::wstring message;
    ASSERT_TRUE(systemText(0, ERROR_ACCESS_DENIED, message));
    const kv::Win32Exception e(ERROR_ACCESS_DENIED, L"", L"kv::f", L"a.cpp", 3);
    EXPECT_EQ(e.reason(), message);
    EXPECT_EQ(e.reason().substr(e.reason().size() - 2), L"\r\n");
    EXPECT_EQ(std::wstring(e.wwhat()), L"Type: Win32Exception, Reason: " + message +
                                           L", Function: kv::f, File: a.cpp, Line: 3, Error Code : 5");
}

TEST(Win32Exception, CodeWithoutSystemMessageHasEmptyReason) {
    const unsigned long code = 0x2000ABCD;
    std::wstring ignored;
    ASSERT_FALSE(systemText(FORMAT_MESSAGE_IGNORE_INSERTS, code, ignored));
    const kv::Win32Exception e(code, nullptr, L"f", L"a", 1);
    EXPECT_EQ(e.reason(), L"");
    EXPECT_EQ(kv::Win32Exception(ERROR_ACCESS_DENIED, L"no access", L"f", L"a", 1).reason(), L"no access");
    EXPECT_STREQ(e.wwhat(),
                 L"Type: Win32Exception, Reason: , Function: f, File: a, Line: 1, Error Code : 536914893");
}

TEST(Win32Exception, InsertSequencesAreLeftAsTheyAre) {
    // ERROR_WRONG_DISK's message carries an insert (%1); nothing may be read for it.
    const std::wstring message = kv::Win32ErrorCategory::systemMessage(ERROR_WRONG_DISK);
    std::wstring raw;
    if (!systemText(FORMAT_MESSAGE_IGNORE_INSERTS, ERROR_WRONG_DISK, raw)) {
        GTEST_SKIP() << "no text for ERROR_WRONG_DISK";
    }
    EXPECT_EQ(message, raw);
}

} // namespace
