#include <windows.h>
#include <dbghelp.h>

#include "install-wpu/CrashHooks.h"

#include "kvtl/Handle.h"
#include "winenv/SystemLibrary.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <new>

namespace kv::crash {

namespace {

constexpr DWORD DumpThreadWaitMs = 30000;
constexpr int DumpWaitWindows = 20; // at most ten minutes for a dump that keeps growing
constexpr int DumpThreadPolls = 100;
constexpr DWORD DumpThreadPollMs = 20;
constexpr DWORD RecoveryWaitMs = 2000;
constexpr DWORD RecoveryPingIntervalMs = 5000;

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION, PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

// Everything the hooks need at crash time, prepared when they are installed: after a
// crash the heap and the loader may be left locked by the crashed thread, so the crash
// path allocates nothing and loads nothing. It is constant-initialised and never
// destroyed, so a crash during static destruction still finds it intact.
struct HookState {
    // Null until the one dump thread starts; then kept open for the life of the
    // process, since a later crash on another thread may be waiting on it.
    std::atomic<HANDLE> dumpThread{nullptr};
    std::uint32_t dumpKind = 0;
    const wchar_t* dumpFilePath = nullptr;   // null: no dump file
    MiniDumpWriteDumpFn writeDump = nullptr; // from dbghelp, loaded for the life of the process
    CrashCallback callback = nullptr;
    void* context = nullptr;
    detail::DumpJob job;                     // only the first crash starts a dump thread
    std::atomic<std::uint32_t> installed{0}; // 0 not installed, 1 being installed, 2 installed
    std::atomic<std::uint32_t> crashCount{0};
    std::uint32_t hookFlags = 0;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
    _purecall_handler previousPureCall = nullptr;
    _invalid_parameter_handler previousInvalidParameter = nullptr;
    void(__cdecl* previousAbortHandler)(int) = nullptr;
};

HookState state;

void __cdecl onInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    raiseCrash();
}

void __cdecl onPureCall() {
    raiseCrash();
}

void __cdecl onAbortSignal(int) {
    raiseCrash();
}

// 0 when the dump was written, 1 otherwise; a failed dump may leave a partial file.
DWORD writeDump(detail::DumpJob& job) noexcept {
    if (state.writeDump == nullptr) {
        return 1;
    }
    UniqueFile file(CreateFileW(job.dumpFilePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 1;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = job.crashingThreadId;
    exception.ExceptionPointers = job.exceptionPointers;
    exception.ClientPointers = FALSE;
    MINIDUMP_CALLBACK_INFORMATION callback = {};
    callback.CallbackRoutine = detail::dumpCallback;
    callback.CallbackParam = &job;
    const BOOL written =
        state.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), minidumpType(job.dumpKind),
                        job.exceptionPointers != nullptr ? &exception : nullptr, nullptr, &callback);
    if (!written) {
        return 1;
    }
    FlushFileBuffers(file.get());
    return 0;
}

DWORD WINAPI dumpThreadProc(LPVOID parameter) noexcept {
    detail::DumpJob* job = static_cast<detail::DumpJob*>(parameter);
    job->dumpThreadId = GetCurrentThreadId();
    DWORD result = 1;
    const bool agreed = job->callback == nullptr || job->callback(job->context, job->crashingThreadId);
    if (agreed && job->dumpFilePath != nullptr && *job->dumpFilePath != L'\0') {
        result = writeDump(*job);
    }
    return result;
}

// Starts the one dump thread (only the first crash gets here) and publishes its handle;
// false when it could not be started.
bool startDumpThread(EXCEPTION_POINTERS* pointers, DWORD crashingThreadId) noexcept {
    detail::DumpJob& job = state.job;
    job.dumpKind = state.dumpKind;
    job.dumpFilePath = state.dumpFilePath;
    job.exceptionPointers = pointers;
    job.crashingThreadId = crashingThreadId;
    job.callback = state.callback;
    job.context = state.context;
    const HANDLE thread = CreateThread(nullptr, 0, dumpThreadProc, &job, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    state.dumpThread.store(thread);
    return true;
}

// A later crash waits for the dump that the first one started. Without a
// thread to wait for (it has already finished) there is nothing to wait on.
HANDLE pollForDumpThread() noexcept {
    for (int poll = 0; poll < DumpThreadPolls; ++poll) {
        if (HANDLE thread = state.dumpThread.load()) {
            return thread;
        }
        Sleep(DumpThreadPollMs);
    }
    return state.dumpThread.load();
}

ULONGLONG dumpFileSize() noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (state.dumpFilePath == nullptr ||
        !GetFileAttributesExW(state.dumpFilePath, GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The process ends as soon as a crash filter returns, so returning early cuts the
// dump short. Waits 30 s, and then as long as the dump file grew during the last 30 s,
// so that a slow dump is finished while a hung one still lets the process end.
void waitForDumpThread(HANDLE thread) noexcept {
    ULONGLONG lastSize = dumpFileSize();
    for (int window = 0; window < DumpWaitWindows; ++window) {
        if (WaitForSingleObject(thread, DumpThreadWaitMs) != WAIT_TIMEOUT) {
            return;
        }
        const ULONGLONG size = dumpFileSize();
        if (size == lastSize) {
            return;
        }
        lastSize = size;
    }
}

} // namespace

bool installCrashHooks(std::uint32_t flags, std::uint32_t dumpKind, const std::wstring& dumpFilePath,
                       CrashCallback callback, void* context) noexcept {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
    std::uint32_t expected = 0;
    if (!state.installed.compare_exchange_strong(expected, 1)) {
        return false;
    }
    if (!dumpFilePath.empty()) {
        // Both kept for the life of the process: the dump thread may need them at any moment.
        if (auto* copy = new (std::nothrow) wchar_t[dumpFilePath.size() + 1]) {
            std::wmemcpy(copy, dumpFilePath.c_str(), dumpFilePath.size() + 1);
            state.dumpFilePath = copy;
        }
        const HMODULE dbghelp = loadSystemLibrary(L"dbghelp.dll").release();
        if (dbghelp != nullptr) {
            state.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
                reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
        }
    }
    state.dumpKind = dumpKind;
    state.callback = callback;
    state.context = context;
    state.hookFlags = flags;
    if (flags & HookUnhandledExceptionFilter) {
        state.previousFilter = SetUnhandledExceptionFilter(detail::crashFilter);
    }
    if (flags & HookInvalidParameter) {
        state.previousInvalidParameter = _set_invalid_parameter_handler(onInvalidParameter);
    }
    if (flags & HookPureCall) {
        state.previousPureCall = _set_purecall_handler(onPureCall);
    }
    if (flags & HookApplicationRecovery) {
        RegisterApplicationRecoveryCallback(detail::recoveryCallback, &state, RecoveryPingIntervalMs, 0);
    }
    if (flags & HookAbortSignal) {
        state.previousAbortHandler = std::signal(SIGABRT, onAbortSignal);
    }
    state.installed.store(2);
    return true;
}

void raiseCrash() noexcept {
    RaiseException(RaisedCrashCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    // A non-continuable exception never comes back; should a debugger force it, end anyway.
    TerminateProcess(GetCurrentProcess(), RaisedCrashCode);
    std::abort();
}

MINIDUMP_TYPE minidumpType(std::uint32_t dumpKind) noexcept {
    if (dumpKind == FullMemoryDumpKind) {
        return static_cast<MINIDUMP_TYPE>(MiniDumpWithDataSegs | MiniDumpWithFullMemory |
                                          MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
                                          MiniDumpWithProcessThreadData);
    }
    return static_cast<MINIDUMP_TYPE>(MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpScanMemory |
                                      MiniDumpWithUnloadedModules | MiniDumpWithIndirectlyReferencedMemory |
                                      MiniDumpWithProcessThreadData);
}

std::uint32_t installedHooks() noexcept {
    return state.installed.load() == 2 ? state.hookFlags : 0;
}

namespace detail {

BOOL CALLBACK dumpCallback(PVOID parameter, PMINIDUMP_CALLBACK_INPUT input,
                           PMINIDUMP_CALLBACK_OUTPUT output) noexcept {
    const auto* job = static_cast<const DumpJob*>(parameter);
    if (job == nullptr || input == nullptr || output == nullptr) {
        return FALSE;
    }
    switch (input->CallbackType) {
        case ModuleCallback:
            if (job->dumpKind == 0 && !(output->ModuleWriteFlags & ModuleReferencedByMemory)) {
                output->ModuleWriteFlags &= ~static_cast<ULONG>(ModuleWriteDataSeg);
            }
            return TRUE;
        case IncludeThreadCallback:
            // The dump thread is not part of the crash.
            return input->IncludeThread.ThreadId != job->dumpThreadId;
        case MemoryCallback:
            return job->dumpKind == FullMemoryDumpKind;
        case CancelCallback:
            return FALSE;
        default:
            return TRUE;
    }
}

LONG WINAPI crashFilter(EXCEPTION_POINTERS* pointers) noexcept {
    const DWORD threadId = GetCurrentThreadId();
    if (state.crashCount.fetch_add(1) + 1 != 1) {
        // Another thread is already handling a crash: let its dump finish first,
        // unless the dump thread itself crashed, which would wait for its own end.
        const HANDLE thread = pollForDumpThread();
        if (thread != nullptr && GetThreadId(thread) != threadId) {
            waitForDumpThread(thread);
        }
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (startDumpThread(pointers, threadId)) {
        waitForDumpThread(state.dumpThread.load());
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI recoveryCallback(PVOID) noexcept {
    HANDLE thread = nullptr;
    if (state.crashCount.fetch_add(1) + 1 == 1) {
        if (!startDumpThread(nullptr, 0)) {
            ApplicationRecoveryFinished(FALSE);
            return 0;
        }
        thread = state.dumpThread.load();
    } else {
        thread = pollForDumpThread();
    }
    BOOL success = FALSE;
    if (thread != nullptr) {
        for (;;) {
            const DWORD wait = WaitForSingleObject(thread, RecoveryWaitMs);
            if (wait != WAIT_TIMEOUT) {
                success = wait == WAIT_OBJECT_0;
                break;
            }
            BOOL cancelled = FALSE;
            ApplicationRecoveryInProgress(&cancelled);
            if (cancelled) {
                break;
            }
        }
    }
    ApplicationRecoveryFinished(success);
    return 0;
}

PVOID recoveryParameter() noexcept {
    return &state;
}

} // namespace detail

} // namespace kv::crash
