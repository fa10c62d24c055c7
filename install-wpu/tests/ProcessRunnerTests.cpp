#include <windows.h>

#include "install-wpu/ProcessRunner.h"

#include "kvtl/Exceptions.h"
#include "kvtl/Handle.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

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

    // What the child saw as its command line.
    std::wstring childCommandLine() const {
        const std::string bytes = wpu::test::readFile(directory_ + L"\\child-command-line.txt");
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
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
        EXPECT_EQ(runProcess(child_, arguments), 0u);
        EXPECT_EQ(childCommandLine(), L"\"" + child_ + L"\" " + arguments);
    }
}

// The child gets no window and the installer's own standard handles.
TEST_F(ProcessRunner, StartsHiddenWithTheInstallersStandardHandles) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const std::wstring outPath = temp_ / L"out.txt";
    const std::wstring errPath = temp_ / L"err.txt";
    kv::UniqueFile out(
        CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    kv::UniqueFile err(
        CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    const HANDLE oldOut = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE oldErr = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, out.get());
    SetStdHandle(STD_ERROR_HANDLE, err.get());
    environment_.set(L"KV_CHILD_STARTUP", L"1");
    const std::uint32_t code = runProcess(child_, L"x");
    SetStdHandle(STD_OUTPUT_HANDLE, oldOut);
    SetStdHandle(STD_ERROR_HANDLE, oldErr);
    out.reset();
    err.reset();
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(wpu::test::readFile(outPath), "out");
    EXPECT_EQ(wpu::test::readFile(errPath), "err");
    EXPECT_EQ(wpu::test::readFile(directory_ + L"\\child-command-line.txt"), "flags=0x101 show=0 window=0");
}

TEST_F(ProcessRunner, AnswersTheChildsExitCodeUnchanged) {
    for (const wchar_t* code : {L"0", L"5", L"258", L"260", L"0x7FFFFFFF", L"0xFFFFFFFF"}) {
        SCOPED_TRACE(std::string(code, code + wcslen(code)));
        environment_.set(L"KV_CHILD_EXIT_CODE", code);
        EXPECT_EQ(runProcess(child_, L"x"), static_cast<std::uint32_t>(std::wcstoul(code, nullptr, 0)));
    }
}

TEST_F(ProcessRunner, ExitCode259IsAFailureNotTheChildsAnswer) {
    environment_.set(L"KV_CHILD_EXIT_CODE", L"259");
    try {
        runProcess(child_, L"x");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("259 (STILL_ACTIVE)"), std::string::npos) << e.what();
    }
}

TEST_F(ProcessRunner, AnswersACrashedChildsStatus) {
    environment_.set(L"KV_CHILD_CRASH", L"1");
    EXPECT_EQ(runProcess(child_, L"crash"), static_cast<std::uint32_t>(EXCEPTION_ACCESS_VIOLATION));
}

// A child that cannot start is a standard exception with the system error, not one of
// the program's own exception types.
TEST_F(ProcessRunner, ThrowsAStandardExceptionWhenTheChildCannotStart) {
    try {
        runProcess(directory_ + L"\\missing.exe", L"register");
        ADD_FAILURE() << "no exception";
    } catch (const kv::BaseException&) {
        ADD_FAILURE() << "a product exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "can't create process, le=2");
    }
}

} // namespace
