#include <windows.h>

// Stands in for the updater's plug-in library, which the installer registers with
// the plug-in host but never loads itself.
extern "C" __declspec(dllexport) DWORD KvWpuPluginVersion() {
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
