#include <windows.h>

#include "StandIn.h"

#include "kvtl/Handle.h"

#include <cstdlib>
#include <cwchar>

namespace {

// The exit code a test chose: the environment variable KV_WPU_HANDLER_EXIT_CODE,
// else the number in wpu_handler.exitcode beside the program, else 0.
DWORD chosenExitCode() {
    wchar_t text[32] = {};
    if (GetEnvironmentVariableW(L"KV_WPU_HANDLER_EXIT_CODE", text, 32) - 1u < 31u) {
        return std::wcstoul(text, nullptr, 0);
    }
    kv::UniqueFile file(CreateFileW((kv::doubles::standin::ownDirectory() + L"wpu_handler.exitcode").c_str(),
                                    GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char number[32] = {};
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), number, sizeof(number) - 1, &read, nullptr)) {
        return 0;
    }
    return std::strtoul(number, nullptr, 0);
}

} // namespace

// Stands in for the TEB handler: records its command line in wpu_handler.runs
// beside itself and exits with the code a test chose.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kv::doubles::standin::recordStart(L"wpu_handler.runs");
    return static_cast<int>(chosenExitCode());
}
