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
#include <csignal>
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

// Outside the anonymous namespace, so that the compiler cannot know every override
// and turn the call below into a direct one.
namespace probe {

struct Base;
// Called through a pointer the compiler cannot see through, so that the call really
// goes through the object's table while Base is being constructed.
void (*volatile callWork)(Base*) = nullptr;

struct Base {
    Base() { callWork(this); }
    virtual ~Base() = default;
    virtual void work() = 0;
};

struct Derived : Base {
    void work() override { std::fprintf(stderr, "crash-probe: the override ran\n"); }
};

} // namespace probe

namespace {

void accessViolation() {
    *static_cast<volatile int*>(nullptr) = 1;
}

// Stands in for the registration of Windows, which Wine only pretends: keeps what the
// hooks registered.
struct RecoveryRegistration {
    APPLICATION_RECOVERY_CALLBACK callback = nullptr;
    PVOID parameter = nullptr;
    DWORD pingInterval = 0;
    DWORD flags = 0;
    int calls = 0;
} recoveryRegistration;

HRESULT WINAPI recordRecoveryRegistration(APPLICATION_RECOVERY_CALLBACK callback, PVOID parameter,
                                          DWORD pingInterval, DWORD flags) {
    recoveryRegistration = {callback, parameter, pingInterval, flags, recoveryRegistration.calls + 1};
    return S_OK;
}

// Points this program's import of a kernel32 function at a replacement.
bool replaceKernel32Import(const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name != 0;
         ++dll) {
        if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0) {
            continue;
        }
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const auto* import =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) && std::strcmp(import->Name, name) == 0) {
                DWORD protection = 0;
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &protection);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
                VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), protection, &protection);
                return true;
            }
        }
    }
    return false;
}

// Each check that fails is named on stderr; the exit code is the number of them.
int failedChecks = 0;
void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "crash-probe: not so: %s\n", what);
        ++failedChecks;
    }
}

// Every hook, with what each of them was given.
int checkInstalledHooks() {
    check(GetErrorMode() == (SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS),
          "SEM_FAILCRITICALERRORS is added to the error mode");
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    check(filter == kv::crash::detail::crashFilter, "the crash filter is the unhandled-exception filter");
    check(_set_purecall_handler(nullptr) != nullptr, "a pure-call handler is set");
    check(_get_invalid_parameter_handler() != nullptr, "an invalid-parameter handler is set");
    const auto abortHandler = std::signal(SIGABRT, SIG_DFL);
    check(abortHandler != SIG_DFL && abortHandler != SIG_IGN && abortHandler != SIG_ERR,
          "an abort-signal handler is set");
    check(recoveryRegistration.calls == 1, "the recovery callback is registered once");
    check(recoveryRegistration.callback == kv::crash::detail::recoveryCallback, "with the recovery callback");
    check(recoveryRegistration.parameter == kv::crash::detail::recoveryParameter(), "with the hooks' state");
    check(recoveryRegistration.pingInterval == 5000, "with a ping interval of 5000 ms");
    check(recoveryRegistration.flags == 0, "and no flags");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
    check(dbghelp != nullptr && _wcsicmp(getModuleFileName(dbghelp).c_str(),
                                         (std::wstring(system) + L"\\dbghelp.dll").c_str()) == 0,
          "dbghelp is loaded from the system folder before any crash");
    KvZarnLogging::closeLog();
    return failedChecks;
}

// Calls what the hooks set as a C runtime handler: the runtime under test never does.
template <typename Handler, typename... Arguments>
void callHandler(Handler handler, Arguments... arguments) {
    if (handler == nullptr) {
        std::exit(3);
    }
    handler(arguments...);
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

std::wstring widen(const char* text) {
    return std::wstring(text, text + std::strlen(text));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crash-probe scenario name [kind] [folder]\n");
        return 2;
    }
    scenario = argv[1];
    const std::wstring name = widen(argv[2]);
    const unsigned kind = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0)) : 0;
    folder = joinPath(getFolderPath(FolderId::CommonAppData), L"Korvane\\CrashDumps");
    if (argc > 4) {
        folder = std::strcmp(argv[4], "-") == 0 ? std::wstring() : widen(argv[4]);
    }

    if (scenario == "hungdump" || scenario == "dumpthreadcrash" || scenario == "noheap") {
        kv::crash::installCrashHooks(kv::crash::AllHooks, kind, joinPath(folder, name + L".dmp"), ownCallback,
                                     nullptr);
        countAllocations.store(true);
        accessViolation();
    }
    if (scenario == "installed") {
        SetErrorMode(SEM_NOGPFAULTERRORBOX);
        check(replaceKernel32Import("RegisterApplicationRecoveryCallback",
                                    reinterpret_cast<void*>(recordRecoveryRegistration)),
              "the recovery registration is replaced");
    }

    KvZarnLogging::openLog(productNamespaceName(), L"Wisp", name, KvZarnLogging::Info, 0);
    CrashHandler::instance().RegisterCrashHooks(folder, name + L".dmp", kind);

    const std::pair<const char*, void (*)()> crashes[] = {
        {"twice",
         [] {
             CrashHandler::instance().RegisterCrashHooks(folder + L"\\other", L"other.dmp", 0);
             accessViolation();
         }},
        {"av", accessViolation},
        {"raise", [] { RaiseException(0xE0434F4D, 0, 0, nullptr); }},
        {"abort", [] { std::abort(); }},
        {"purevirtual",
         [] {
             probe::callWork = [](probe::Base* object) { object->work(); };
             probe::Derived derived;
         }},
        {"invalidparameter",
         [] { callHandler(_get_invalid_parameter_handler(), L"expression", L"function", L"file", 1u, 0); }},
        {"purecallhook", [] { callHandler(_set_purecall_handler(nullptr)); }},
        {"twothreads", twoThreadsCrash},
        // Windows calls this when it recovers a hung or crashed process; Wine never does.
        {"recovery", [] { kv::crash::detail::recoveryCallback(kv::crash::detail::recoveryParameter()); }},
    };
    if (scenario == "installed") {
        return checkInstalledHooks();
    }
    for (const auto& [crashName, crash] : crashes) {
        if (scenario == crashName) {
            crash();
            KvZarnLogging::closeLog();
            return 0;
        }
    }
    std::fprintf(stderr, "crash-probe: no crash for scenario %s\n", scenario.c_str());
    return 4;
}
