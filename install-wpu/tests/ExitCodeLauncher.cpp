// Runs a program and prints its full 32-bit exit code, which `wine program.exe` cuts
// to its low byte.
//   exitcode-launcher program [arguments...]
// The program's command line is the rest of the launcher's own, as it was given.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int main() {
    // The first element ends at the first blank outside quotes.
    const wchar_t* rest = GetCommandLineW();
    for (bool quoted = false; *rest != L'\0' && (quoted || (*rest != L' ' && *rest != L'\t')); ++rest) {
        quoted ^= *rest == L'"';
    }
    while (*rest == L' ' || *rest == L'\t') {
        ++rest;
    }
    if (*rest == L'\0') {
        std::fprintf(stderr, "usage: exitcode-launcher program [arguments...]\n");
        return 2;
    }
    std::vector<wchar_t> command(rest, rest + std::wcslen(rest) + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Under load Wine now and then refuses a start with ERROR_INTERNAL_ERROR; a moment
    // later the same start succeeds.
    DWORD error = ERROR_INTERNAL_ERROR;
    for (int attempt = 0; attempt < 5 && error == ERROR_INTERNAL_ERROR; ++attempt) {
        Sleep(attempt == 0 ? 0 : 200);
        error = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                               &process)
                    ? ERROR_SUCCESS
                    : GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        std::fprintf(stderr, "exitcode-launcher: cannot start the program, error %lu\n", error);
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit code: %lu (0x%08lX, signed %ld)\n", code, code, static_cast<long>(code));
    return 0;
}
