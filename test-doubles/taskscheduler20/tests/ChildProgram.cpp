// The program a test task runs: it writes its command line to the file named by its
// first argument, waits until the file named by its second argument exists (at most
// a minute), then exits with 7.
#include <windows.h>
#include <shellapi.h>

#include <string>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3) {
        return 2;
    }
    const std::wstring line = GetCommandLineW();
    HANDLE marker =
        CreateFileW(arguments[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        return 3;
    }
    DWORD written = 0;
    WriteFile(marker, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(marker);
    for (int i = 0; i < 600 && GetFileAttributesW(arguments[2]) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
    }
    LocalFree(arguments);
    return 7;
}
