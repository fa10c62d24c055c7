// Installs the crash hooks the way InstallerMain does, then fails in a chosen way.
//   crash-probe <scenario> <name> [dump kind] [dump folder]
// The log is <name>.log in the product's log folder and the dump <folder>\<name>.dmp;
// the folder defaults to Korvane\CrashDumps below the common application-data folder,
// and "-" stands for an empty folder.
#include <windows.h>

#include "install-wpu/CrashHandler.h"
#include "install-wpu/CrashHooks.h"
#include "logging/Log.h"
#include "winenv/ProductNamespace.h"
#include "winenv/ShellFolders.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

// While armed, every allocation is counted: the other forms of operator new of the
// C++ library go through this one.
std::atomic<bool> countAllocations{false};
std::atomic<unsigned> allocations{0};

void* operator new(std::size_t size) {
    if (countAllocations.load()) {
        allocations.fetch_add(1);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

void accessViolation() {
    *static_cast<volatile int*>(nullptr) = 1;
}

// Each check that fails is named on stderr; the exit code is the number of them.
int failedChecks = 0;
void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "crash-probe: not so: %s\n", what);
        ++failedChecks;
    }
}

// The hooks that no crash shows: the crash cases show that the unhandled-exception filter
// and the C runtime handlers are set.
void checkInstalledHooks() {
    check(GetErrorMode() == (SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS),
          "SEM_FAILCRITICALERRORS is added to the error mode");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
    check(dbghelp != nullptr && _wcsicmp(getModuleFileName(dbghelp).c_str(),
                                         (std::wstring(system) + L"\\dbghelp.dll").c_str()) == 0,
          "dbghelp is loaded from the system folder before any crash");
}

void twoThreadsCrash() {
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto crash = [start] {
        WaitForSingleObject(start, INFINITE);
        accessViolation();
    };
    std::thread first(crash);
    std::thread second(crash);
    Sleep(200);
    SetEvent(start);
    first.join();
    second.join();
}

std::string scenario;
std::wstring folder; // of the dump

// A callback of the probe's own: a dump thread that never ends, a crash on the dump
// thread, or the number of allocations made since the crash (after a crash the heap
// may be locked by the crashed thread) as the exit code, before any dump.
bool ownCallback(void*, DWORD) {
    if (scenario == "hungdump") {
        Sleep(INFINITE);
    }
    if (scenario == "dumpthreadcrash") {
        accessViolation();
    }
    TerminateProcess(GetCurrentProcess(), 0xA0000000u | allocations.load());
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash-probe scenario name [kind] [folder]\n");
        return 2;
    }
    scenario = argv[1];
    const std::wstring name(argv[2], argv[2] + std::strlen(argv[2]));
    const unsigned kind = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0)) : 0;
    folder = joinPath(getFolderPath(FolderId::CommonAppData), L"Korvane\\CrashDumps");
    if (argc > 4) {
        folder = std::strcmp(argv[4], "-") == 0 ? std::wstring()
                                                : std::wstring(argv[4], argv[4] + std::strlen(argv[4]));
    }

    if (scenario == "hungdump" || scenario == "dumpthreadcrash" || scenario == "noheap") {
        kv::crash::installCrashHooks(kv::crash::AllHooks, kind, joinPath(folder, name + L".dmp"), ownCallback,
                                     nullptr);
        countAllocations.store(true);
        accessViolation();
    }
    if (scenario == "installed") {
        SetErrorMode(SEM_NOGPFAULTERRORBOX);
    }

    KvZarnLogging::openLog(productNamespaceName(), L"Wisp", name, KvZarnLogging::Info, 0);
    CrashHandler::instance().RegisterCrashHooks(folder, name + L".dmp", kind);

    const std::pair<const char*, void (*)()> crashes[] = {
        {"installed", checkInstalledHooks},
        {"twice",
         [] {
             CrashHandler::instance().RegisterCrashHooks(folder + L"\\other", L"other.dmp", 0);
             accessViolation();
         }},
        {"av", accessViolation},
        {"raise", [] { RaiseException(0xE0434F4D, 0, 0, nullptr); }},
        {"abort", [] { std::abort(); }},
        // What the hooks set as C runtime handlers, called as the runtime under test never
        // does (a handler left unset is an access violation instead).
        {"invalidparameter",
         [] { _get_invalid_parameter_handler()(L"expression", L"function", L"file", 1, 0); }},
        {"purecallhook", [] { _set_purecall_handler(nullptr)(); }},
        {"twothreads", twoThreadsCrash},
        // Windows calls this when it recovers a hung or crashed process; Wine never does.
        {"recovery", [] { kv::crash::detail::recoveryCallback(kv::crash::detail::recoveryParameter()); }},
    };
    for (const auto& [crashName, crash] : crashes) {
        if (scenario == crashName) {
            crash();
            KvZarnLogging::closeLog();
            return failedChecks;
        }
    }
    std::fprintf(stderr, "crash-probe: no crash for scenario %s\n", scenario.c_str());
    return 4;
}
