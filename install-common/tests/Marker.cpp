// Stands in for the scheduled program: appends one line to the file named by
// KV_MARKER_FILE for every start, then stays alive for KV_MARKER_SLEEP_MS.
#include <windows.h>

#include <cwchar>

int main() {
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"KV_MARKER_FILE", path, MAX_PATH) - 1 < MAX_PATH - 1) {
        HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const char line[] = "started\n";
            DWORD written = 0;
            WriteFile(file, line, sizeof(line) - 1, &written, nullptr);
            CloseHandle(file);
        }
    }
    wchar_t sleep[16] = {};
    if (GetEnvironmentVariableW(L"KV_MARKER_SLEEP_MS", sleep, 16) - 1 < 15) {
        Sleep(static_cast<DWORD>(std::wcstoul(sleep, nullptr, 10)));
    }
    return 0;
}
