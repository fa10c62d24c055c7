#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

// Lazy binding of a library that the program never links at start-up. The library is
// looked for only at the full paths named by the product's delay-load registry keys and
// in the system directory; failures are reported as codes, never raised.

// Fault codes of a failed bind; the values are those of the platform's delay-load
// exceptions, so that logs and callers read the same numbers on every compiler.
enum DelayLoadFaultCode : DWORD {
    DelayLoadOk = 0,
    DelayLoadInvalidParameter = 0xC06D0057,
    DelayLoadModuleNotFound = 0xC06D007E,
    DelayLoadProcNotFound = 0xC06D007F,
};

// What a failed bind reports in place of the platform's exception. The thread's last
// error is left as the failing step left it.
struct DelayLoadFault {
    DWORD code = DelayLoadOk;
    const char* dllName = nullptr;  // the library's name; null when the record names none
    const char* procName = nullptr; // the export's name, for DelayLoadProcNotFound
};

// One lazily loaded library: its narrow name and, once loaded, its module handle. The
// library is never unloaded; destroying the record leaves it loaded.
class DelayImportModule {
public:
    explicit DelayImportModule(const char* dllName) noexcept : dllName_(dllName) {}
    DelayImportModule(const DelayImportModule&) = delete;
    DelayImportModule& operator=(const DelayImportModule&) = delete;

    const char* dllName() const noexcept { return dllName_; }
    // The loaded module or null.
    HMODULE handle() const noexcept { return module_.load(std::memory_order_acquire); }
    // Loads the library through loadDelayLoadedModule on first need; two threads loading
    // at once end with one handle and one reference. Null with `fault` filled on failure.
    HMODULE load(DelayLoadFault& fault) noexcept;

private:
    const char* dllName_;
    std::atomic<HMODULE> module_{nullptr};
};

// One export of a DelayImportModule, bound by name at its first use and kept bound.
class DelayImportProc {
public:
    DelayImportProc(DelayImportModule& module, const char* name) noexcept : module_(&module), name_(name) {}
    DelayImportProc(const DelayImportProc&) = delete;
    DelayImportProc& operator=(const DelayImportProc&) = delete;

    const char* name() const noexcept { return name_; }
    DelayImportModule& module() const noexcept { return *module_; }
    // The export's address, loading the library and binding the export when needed.
    // Null with `fault` filled and the system error kept when either step fails.
    FARPROC bind(DelayLoadFault& fault) noexcept;

    // The bound address as a function pointer of type Fn (null when binding fails).
    template <class Fn>
    Fn bindAs(DelayLoadFault& fault) noexcept {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(bind(fault)));
    }

private:
    DelayImportModule* module_;
    const char* name_;
    std::atomic<FARPROC> address_{nullptr};
};

// Outcome of tryLoad: code 0 bound, 1 library not found, 2 export not found, 3 invalid
// parameter; dllName names the library that failed (empty on success), truncated to fit.
struct TryLoadResult {
    std::uint32_t code = 0;
    char dllName[260] = {};
};

// Record passed to a loaded library's "ZarnDelayLoadDependencies" export.
struct DelayLoadDependencies {
    std::uint32_t size;           // 24 on 64-bit Windows
    std::uint32_t flags;          // 0
    const wchar_t* namespaceName; // null when the namespace name is empty
    const wchar_t* directory;     // null
};
static_assert(sizeof(void*) != 8 || sizeof(DelayLoadDependencies) == 24, "dependency descriptor is 24 bytes");

// Records `namespaceName` (null counts as empty) as the namespace to search under, then
// binds `probe` and calls it once with no arguments, ignoring its result. Returns and
// stores the code of `result`; on failure the thread's last error is the one the search
// left. Try-loads are serialised; a failure to take the lock throws std::system_error.
std::uint32_t tryLoad(const wchar_t* namespaceName, DelayImportProc* probe, TryLoadResult& result);

// Loads a delay-loaded library by its narrow (ANSI) name: only from the full paths named
// by the delay-load keys of the recorded namespace, then from the system directory; calls
// the library's dependency hook once. Null with the system error of the search on failure.
HMODULE loadDelayLoadedModule(const char* dllName);

// One string value (REG_SZ, REG_EXPAND_SZ unexpanded, REG_MULTI_SZ with its inner NULs)
// without its final NUL. Empty on failure, with the system error set to 1010 (key not
// opened), 123 (value missing or not a string) or 13 (data changed while read).
std::wstring readRegistryPath(HKEY root, const std::wstring& subkey, const std::wstring& valueName,
                              REGSAM viewFlags);
