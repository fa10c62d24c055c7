#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The installer's use of the crash hooks: one process-wide object holding the dump
// folder, which is created when a crash happens, and logging the crash.
class CrashHandler {
public:
    // The process-wide handler, created on the first call and never destroyed.
    static CrashHandler& instance();

    CrashHandler(const CrashHandler&) = delete;
    CrashHandler& operator=(const CrashHandler&) = delete;

    // Installs every crash hook, once per process, to write folder\fileName (dump
    // kind: the low 8 bits of dumpKind, 1 for a full-memory dump). An empty folder or
    // file name installs the hooks without a dump file. A second call keeps the
    // installed hooks and logs an Error.
    void RegisterCrashHooks(const std::wstring& folder, const std::wstring& fileName, unsigned int dumpKind);

    // Runs on the dump thread: logs the crash as Fatal, creates the dump folder of the
    // handler given as context and flushes the log. True when the folder exists, so
    // the dump may be written.
    static bool HandleCrashCallback(void* context, DWORD crashingThreadId) noexcept;

    // The folder of the last RegisterCrashHooks call that named one.
    std::wstring dumpFolder() const { return dumpFolder_; }

private:
    CrashHandler() = default;

    std::wstring dumpFolder_;
    std::vector<wchar_t> folderBuffer_; // dumpFolder_ with its NUL, edited in place at crash time
};

// Creates the directory and every missing parent. True when it exists afterwards as a
// directory (an empty path counts as existing); on failure GetLastError() tells why.
bool createDirectoryRecursive(const std::wstring& path, SECURITY_ATTRIBUTES* attributes);
// The same without the heap, for path[0..length) where path[length] is writable; the
// text is cut at each level while that level is made and is restored before returning.
bool createDirectoryInPlace(wchar_t* path, size_t length, SECURITY_ATTRIBUTES* attributes);
