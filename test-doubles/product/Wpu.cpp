#include <windows.h>

#include "StandIn.h"

// Stands in for the updater the scheduled task starts: it records that it ran,
// and as whom, in wpu.runs beside itself, and ends.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kv::doubles::standin::recordStart(L"wpu.runs");
    return 0;
}
