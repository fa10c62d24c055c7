#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <cstdint>
#include <string>

// Process-wide crash hooks: unhandled structured exceptions, the C runtime's
// invalid-parameter and pure-call failures, the abort signal and the Windows
// application-recovery callback all end in one minidump writer that runs on a
// thread of its own.
namespace kv::crash {

// Bits of the hook set given to installCrashHooks.
enum HookFlag : std::uint32_t {
    HookUnhandledExceptionFilter = 0x01,
    HookApplicationRecovery = 0x02,
    HookInvalidParameter = 0x04,
    HookPureCall = 0x08,
    HookAbortSignal = 0x10,
};
constexpr std::uint32_t AllHooks = 0xFFFFFFFFu;

// Dump kind 1 writes the whole process memory; every other kind a smaller dump.
constexpr std::uint32_t FullMemoryDumpKind = 1;

// The code raised for invalid parameters, pure calls and aborts (the breakpoint status).
constexpr DWORD RaisedCrashCode = 0x80000003u;

// Called on the dump thread before anything is written, with the id of the
// crashing thread (0 for application recovery); answers whether to write the dump.
using CrashCallback = bool (*)(void* context, DWORD crashingThreadId);

// Installs the hooks named by flags, once per process: true when this call
// installed them, false when they were installed (or being installed) before,
// in which case nothing changes. An empty dump file path installs the hooks
// without ever writing a file; otherwise dbghelp.dll is loaded from the system
// folder now and kept, so that a crash loads nothing. Also adds
// SEM_FAILCRITICALERRORS to the error mode.
bool installCrashHooks(std::uint32_t flags, std::uint32_t dumpKind, const std::wstring& dumpFilePath,
                       CrashCallback callback, void* context) noexcept;

// Raises the non-continuable RaisedCrashCode, which reaches the crash filter.
[[noreturn]] void raiseCrash() noexcept;

// The MINIDUMP_TYPE written for a dump kind: 0x127 (full memory) for kind 1, else 0x175.
MINIDUMP_TYPE minidumpType(std::uint32_t dumpKind) noexcept;

// The hook flags installed in this process (0 before installation).
std::uint32_t installedHooks() noexcept;

namespace detail {

// The dump request of the one dump thread.
struct DumpJob {
    std::uint32_t dumpKind = 0;
    const wchar_t* dumpFilePath = nullptr; // lives as long as the process
    EXCEPTION_POINTERS* exceptionPointers = nullptr;
    DWORD crashingThreadId = 0;
    DWORD dumpThreadId = 0;
    CrashCallback callback = nullptr;
    void* context = nullptr;
};

// The callback handed to MiniDumpWriteDump, with the job as its parameter.
BOOL CALLBACK dumpCallback(PVOID job, PMINIDUMP_CALLBACK_INPUT input,
                           PMINIDUMP_CALLBACK_OUTPUT output) noexcept;

// The unhandled-exception filter and the application-recovery callback that the
// hooks register; the parameter of the latter is recoveryParameter().
LONG WINAPI crashFilter(EXCEPTION_POINTERS* pointers) noexcept;
DWORD WINAPI recoveryCallback(PVOID parameter) noexcept;
PVOID recoveryParameter() noexcept;

} // namespace detail

} // namespace kv::crash
