#include <windows.h>

#include "install-wpu/ProcessRunner.h"

#include "kvtl/Handle.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void throwWithLastError(const char* what) {
    throw std::runtime_error(std::string(what) + std::to_string(GetLastError()));
}

} // namespace

std::uint32_t runProcess(const std::wstring& executable, const std::wstring& arguments) {
    // Only the path is quoted: the arguments are the caller's, passed on as they are.
    const std::wstring commandLine = L"\"" + executable + L"\" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    const BOOL created = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &info);
    kv::UniqueHandle thread(info.hThread);
    kv::UniqueHandle process(info.hProcess);
    if (!created || !process) {
        throwWithLastError("can't create process, le=");
    }

    // A wait that failed returns at once: the child may still run, and its "exit code"
    // would read as STILL_ACTIVE.
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) {
        throwWithLastError("can't wait for the process, le=");
    }
    DWORD exitCode = 0;
    // Without the child's code the caller would take 0 for a handler that succeeded.
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        throwWithLastError("can't get the exit code of the process, le=");
    }
    // The system answers STILL_ACTIVE for a running process too: that code is never
    // taken for the child's answer.
    if (exitCode == STILL_ACTIVE) {
        throw std::runtime_error(
            "the process answered exit code 259 (STILL_ACTIVE), which cannot be told from "
            "a process still running");
    }
    process.reset();
    thread.reset();
    return exitCode;
}
