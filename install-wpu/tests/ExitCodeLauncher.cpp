// Runs a program and prints its full 32-bit exit code, which `wine program.exe` cuts
// to its low byte.
//   exitcode-launcher program [arguments...]
// The program's command line is the rest of the launcher's own, as it was given.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int main() {
    // The first element ends at its closing quote when quoted, else at the first blank.
    const wchar_t* rest = GetCommandLineW();
    if (*rest == L'"') {
        const wchar_t* closing = std::wcschr(rest + 1, L'"');
        rest = closing != nullptr ? closing + 1 : rest + std::wcslen(rest);
    }
    while (*rest != L'\0' && *rest != L' ' && *rest != L'\t') {
        ++rest;
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
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(200);
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
