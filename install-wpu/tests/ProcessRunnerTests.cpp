#include <windows.h>

#include "install-wpu/ProcessRunner.h"

#include "kvtl/Exceptions.h"

#include "InstallerTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// A copy of the child program in a directory whose name has blanks.
class ProcessRunner : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(kv::test::besideTestExecutable(L"process-runner-child.exe").c_str(),
                              child_.c_str(), FALSE));
    }

    // runProcess's answer, or the text of the exception it threw.
    std::string outcome(const std::wstring& executable, const std::wstring& arguments) {
        try {
            return std::to_string(runProcess(executable, arguments));
        } catch (const kv::BaseException& e) {
            return std::string("a product exception: ") + e.what();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    }

    kv::test::TempDirectory temp_;
    const std::wstring directory_ = temp_ / L"a dir  with blanks";
    const std::wstring child_ = directory_ + L"\\child program.exe";
    wpu::test::ScopedEnvironment environment_;
};

TEST_F(ProcessRunner, QuotesThePathAndPassesTheArgumentsUnchanged) {
    const std::wstring cases[] = {
        L"register", L"say \"a  b\" c\\\"d\"", L"  leading and trailing blanks  ",
        L"", // the blank after the quoted path stays
    };
    for (const std::wstring& arguments : cases) {
        SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
        EXPECT_EQ(outcome(child_, arguments), "0");
        const std::string line = kv::test::readFile(directory_ + L"\\child-command-line.txt");
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(line.data()), line.size() / sizeof(wchar_t)),
                  L"\"" + child_ + L"\" " + arguments);
    }
}

// The child's exit code or crash status unchanged, except 259, which cannot be told from
// a child still running; a child that cannot start is a standard exception with the
// system error, not one of the program's own exception types.
TEST_F(ProcessRunner, AnswersTheChildsExitCodeButNever259) {
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"0", "0"},
        {L"5", "5"},
        {L"258", "258"},
        {L"260", "260"},
        {L"0x7FFFFFFF", "2147483647"},
        {L"0xFFFFFFFF", "4294967295"},
        {L"259", "the process answered exit code 259 (STILL_ACTIVE), which cannot be told from a process "
                 "still running"},
        {L"crash", "3221225477"},
    };
    for (const auto& [code, expected] : cases) {
        SCOPED_TRACE(expected);
        environment_.set(code == std::wstring(L"crash") ? L"KV_CHILD_CRASH" : L"KV_CHILD_EXIT_CODE", code);
        EXPECT_EQ(outcome(child_, L"x"), expected);
    }
    EXPECT_EQ(outcome(directory_ + L"\\missing.exe", L"register"), "can't create process, le=2");
}

} // namespace
