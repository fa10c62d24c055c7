#include <windows.h>

// Stands in for shell32.dll beside the probe: whoever loads "shell32.dll" by name
// from the application directory gets this folder instead of the system's answer.
extern "C" __declspec(dllexport) HRESULT WINAPI SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR path) {
    lstrcpyW(path, L"C:\\decoy");
    return S_OK;
}
