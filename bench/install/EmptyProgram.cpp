// An empty GUI-subsystem program, built and started like the installer: its run time is
// the fixed cost of a process under the platform.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
