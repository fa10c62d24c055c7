// The child of the process runner's tests: writes its command line (UTF-16) to
// child-command-line.txt beside itself and "out"/"err" to its standard output and error,
// then with KV_CHILD_STARTUP set its start-up flags, show-window value and whether it has
// a console window (ASCII) to that file instead, then crashes with an access violation when
// KV_CHILD_CRASH is set, or else exits with the number in KV_CHILD_EXIT_CODE (0 without it).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void writeTo(HANDLE out, const void* data, DWORD size) {
    DWORD written = 0;
    WriteFile(out, data, size, &written, nullptr);
}

} // namespace

int wmain() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring file(path.data(), length);
    file = file.substr(0, file.find_last_of(L'\\') + 1) + L"child-command-line.txt";
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        if (GetEnvironmentVariableW(L"KV_CHILD_STARTUP", nullptr, 0) != 0) {
            STARTUPINFOW startup = {};
            GetStartupInfoW(&startup);
            char report[96];
            const int size = std::snprintf(report, sizeof(report), "flags=0x%lX show=%u window=%d",
                                           static_cast<unsigned long>(startup.dwFlags),
                                           static_cast<unsigned>(startup.wShowWindow),
                                           GetConsoleWindow() != nullptr ? 1 : 0);
            writeTo(out, report, static_cast<DWORD>(size));
        } else {
            const wchar_t* line = GetCommandLineW();
            writeTo(out, line, static_cast<DWORD>(std::wcslen(line) * sizeof(wchar_t)));
        }
        CloseHandle(out);
    }
    writeTo(GetStdHandle(STD_OUTPUT_HANDLE), "out", 3);
    writeTo(GetStdHandle(STD_ERROR_HANDLE), "err", 3);
    if (GetEnvironmentVariableW(L"KV_CHILD_CRASH", nullptr, 0) != 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    wchar_t code[32] = {};
    GetEnvironmentVariableW(L"KV_CHILD_EXIT_CODE", code, 32);
    return static_cast<int>(std::wcstoul(code, nullptr, 0));
}
