// Runs the rest of its command line and prints the child's full 32-bit exit code,
// which `wine program.exe` cuts to its low byte.
//   exitcode-launcher "C:\path\program.exe" arguments...
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The command line without its first element (this program).
std::wstring remainder(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') {
            ++p;
        }
        if (*p == L'"') {
            ++p;
        }
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t') {
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    return p;
}

} // namespace

int main() {
    const std::wstring command = remainder(GetCommandLineW());
    if (command.empty()) {
        std::fprintf(stderr, "usage: exitcode-launcher program [arguments]\n");
        return 2;
    }
    std::vector<wchar_t> buffer(command.begin(), command.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "exitcode-launcher: cannot start the program, error %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit code: %lu (0x%08lX, as signed %ld)\n", code, code, static_cast<long>(code));
    return 0;
}
