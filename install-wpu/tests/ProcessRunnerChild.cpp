// The child of the process runner's tests: writes its command line (UTF-16) to
// child-command-line.txt beside itself, then crashes with an access violation when
// KV_CHILD_CRASH is set, or else exits with the number in KV_CHILD_EXIT_CODE (0 without it).
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

int wmain() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring file(path.data(), length);
    file = file.substr(0, file.find_last_of(L'\\') + 1) + L"child-command-line.txt";
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        const wchar_t* line = GetCommandLineW();
        DWORD written = 0;
        WriteFile(out, line, static_cast<DWORD>(std::wcslen(line) * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(out);
    }
    if (GetEnvironmentVariableW(L"KV_CHILD_CRASH", nullptr, 0) != 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    wchar_t code[32] = {};
    GetEnvironmentVariableW(L"KV_CHILD_EXIT_CODE", code, 32);
    return static_cast<int>(std::wcstoul(code, nullptr, 0));
}
