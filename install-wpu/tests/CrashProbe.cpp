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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

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

bool hangingCallback(void*, DWORD) {
    Sleep(INFINITE);
    return true;
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
    const std::string scenario = argv[1];
    const std::wstring name = widen(argv[2]);
    const unsigned kind = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0)) : 0;
    std::wstring folder = joinPath(getFolderPath(FolderId::CommonAppData), L"Korvane\\CrashDumps");
    if (argc > 4) {
        folder = std::strcmp(argv[4], "-") == 0 ? std::wstring() : widen(argv[4]);
    }

    if (scenario == "dbghelp") {
        // Both ways of loading dbghelp end at the system folder's copy.
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring expected = std::wstring(system) + L"\\dbghelp.dll";
        for (const bool restricted : {false, true}) {
            const HMODULE module = kv::crash::detail::loadDbghelp(restricted);
            wchar_t loaded[MAX_PATH] = {};
            GetModuleFileNameW(module, loaded, MAX_PATH);
            if (module == nullptr || _wcsicmp(loaded, expected.c_str()) != 0 ||
                GetProcAddress(module, "MiniDumpWriteDump") == nullptr) {
                std::fwprintf(stderr, L"crash-probe: dbghelp from '%ls'\n", loaded);
                return 4;
            }
            FreeLibrary(module);
        }
        return 0;
    }
    if (scenario == "hungdump") {
        // A dump thread that never ends must not keep the crashed process alive.
        kv::crash::installCrashHooks(kv::crash::AllHooks, kind, joinPath(folder, name + L".dmp"),
                                     hangingCallback, nullptr);
        accessViolation();
    }

    KvZarnLogging::openLog(productNamespaceName(), L"Wisp", name, KvZarnLogging::Info, 0);
    CrashHandler::instance().RegisterCrashHooks(folder, name + L".dmp", kind);

    if (scenario == "installed") {
        // Every hook, and the C runtime handlers really replaced.
        const _purecall_handler pureCall = _set_purecall_handler(nullptr);
        _set_purecall_handler(pureCall);
        const bool all = kv::crash::installedHooks() == kv::crash::AllHooks && pureCall != nullptr &&
                         _get_invalid_parameter_handler() != nullptr;
        KvZarnLogging::closeLog();
        return all ? 0 : 1;
    }
    if (scenario == "twice") {
        CrashHandler::instance().RegisterCrashHooks(folder + L"\\other", L"other.dmp", kind);
        accessViolation();
    }
    if (scenario == "av") {
        accessViolation();
    }
    if (scenario == "raise") {
        RaiseException(0xE0434F4D, 0, 0, nullptr);
    }
    if (scenario == "abort") {
        std::abort();
    }
    if (scenario == "purevirtual") {
        probe::callWork = [](probe::Base* object) { object->work(); };
        probe::Derived derived;
    }
    if (scenario == "invalidparameter") {
        // The C runtime under test never calls this handler itself: call what it holds.
        const _invalid_parameter_handler handler = _get_invalid_parameter_handler();
        if (handler == nullptr) {
            return 3;
        }
        handler(L"expression", L"function", L"file", 1, 0);
    }
    if (scenario == "purecallhook") {
        const _purecall_handler handler = _set_purecall_handler(nullptr);
        _set_purecall_handler(handler);
        if (handler == nullptr) {
            return 3;
        }
        handler();
    }
    if (scenario == "twothreads") {
        HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread first([start] {
            WaitForSingleObject(start, INFINITE);
            accessViolation();
        });
        std::thread second([start] {
            WaitForSingleObject(start, INFINITE);
            accessViolation();
        });
        Sleep(200);
        SetEvent(start);
        first.join();
        second.join();
    }
    if (scenario == "recovery") {
        // Windows calls this when it recovers a hung or crashed process; Wine never does.
        kv::crash::detail::recoveryCallback(kv::crash::detail::recoveryParameter());
        KvZarnLogging::closeLog();
        return 0;
    }
    std::fprintf(stderr, "crash-probe: no crash for scenario %s\n", scenario.c_str());
    return 4;
}
