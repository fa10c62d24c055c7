#include <windows.h>
#include <dbghelp.h>

#include "install-wpu/CrashHooks.h"

#include "kvtl/Handle.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

// Everything the hooks need at crash time. It is constant-initialised and never
// destroyed, so a crash during static destruction still finds it intact.
struct HookState {
    std::atomic<HANDLE> dumpThread{nullptr}; // null: no dump thread
    std::uint32_t dumpKind = 0;
    const wchar_t* dumpFilePath = nullptr; // null: no dump file
    CrashCallback callback = nullptr;
    void* context = nullptr;
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

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION, PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

UniqueModule loadDbghelp() noexcept {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return UniqueModule(
        detail::loadDbghelp(kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr));
}

// 0 when the dump was written, 1 otherwise; a failed dump may leave a partial file.
DWORD writeDump(detail::DumpJob& job) noexcept {
    UniqueFile file(CreateFileW(job.dumpFilePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 1;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = job.crashingThreadId;
    exception.ExceptionPointers = job.exceptionPointers;
    exception.ClientPointers = FALSE;

    UniqueModule dbghelp = loadDbghelp();
    if (!dbghelp) {
        return 1;
    }
    const auto write =
        reinterpret_cast<MiniDumpWriteDumpFn>(GetProcAddress(dbghelp.get(), "MiniDumpWriteDump"));
    if (write == nullptr) {
        return 1;
    }
    MINIDUMP_CALLBACK_INFORMATION callback = {};
    callback.CallbackRoutine = detail::dumpCallback;
    callback.CallbackParam = &job;
    const BOOL written =
        write(GetCurrentProcess(), GetCurrentProcessId(), file.get(), minidumpType(job.dumpKind),
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
    delete job;
    return result;
}

// The new dump thread's handle, or null when it could not be started.
HANDLE startDumpThread(EXCEPTION_POINTERS* pointers, DWORD crashingThreadId) noexcept {
    auto* job = new (std::nothrow) detail::DumpJob;
    if (job == nullptr) {
        return nullptr;
    }
    job->dumpKind = state.dumpKind;
    job->dumpFilePath = state.dumpFilePath;
    job->exceptionPointers = pointers;
    job->crashingThreadId = crashingThreadId;
    job->callback = state.callback;
    job->context = state.context;
    const HANDLE thread = CreateThread(nullptr, 0, dumpThreadProc, job, 0, nullptr);
    if (thread == nullptr) {
        delete job;
    }
    return thread;
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
        // Kept for the life of the process: the dump thread may need it at any moment.
        if (auto* copy = new (std::nothrow) wchar_t[dumpFilePath.size() + 1]) {
            std::wmemcpy(copy, dumpFilePath.c_str(), dumpFilePath.size() + 1);
            state.dumpFilePath = copy;
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
        // Another thread is already handling a crash: let its dump finish first.
        if (HANDLE thread = pollForDumpThread()) {
            waitForDumpThread(thread);
        }
        return EXCEPTION_EXECUTE_HANDLER;
    }
    const HANDLE thread = startDumpThread(pointers, threadId);
    if (thread == nullptr) {
        return EXCEPTION_EXECUTE_HANDLER;
    }
    state.dumpThread.store(thread);
    waitForDumpThread(thread);
    state.dumpThread.store(nullptr);
    CloseHandle(thread);
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI recoveryCallback(PVOID) noexcept {
    HANDLE thread = nullptr;
    const bool started = state.crashCount.fetch_add(1) + 1 == 1;
    if (started) {
        thread = startDumpThread(nullptr, 0);
        if (thread == nullptr) {
            ApplicationRecoveryFinished(FALSE);
            return 0;
        }
        state.dumpThread.store(thread);
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
    if (started) {
        state.dumpThread.store(nullptr);
        CloseHandle(thread);
    }
    ApplicationRecoveryFinished(success);
    return 0;
}

HMODULE loadDbghelp(bool loaderCanRestrictSearch) noexcept {
    if (loaderCanRestrictSearch) {
        return LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // A loader without the restricted search would try the program's folder first:
    // name the system folder's copy in full. No heap: this runs after a crash.
    constexpr wchar_t name[] = L"\\dbghelp.dll";
    wchar_t path[MAX_PATH + sizeof(name) / sizeof(wchar_t)] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    std::memcpy(path + length, name, sizeof(name));
    return LoadLibraryExW(path, nullptr, 0);
}

PVOID recoveryParameter() noexcept {
    return &state;
}

} // namespace detail

} // namespace kv::crash
