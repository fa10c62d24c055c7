#pragma once

#include <windows.h>

#include "test-support/TestSupport.h"

#include <string>
#include <vector>

// Helpers of the installer's tests: log files, registry trees, child processes and
// minidumps as the installer leaves them.
namespace wpu::test {

// The lines of a log file (UTF-8, CR LF) with the timestamp and the process and thread
// ids cut off, for example " I: InstallerMain: Returning: 0". A start marker is cut
// after "***  LOGGING STARTED  ***" (zone and session vary); empty lines stay.
std::vector<std::wstring> readLogLines(const std::wstring& path);
// Lines without the empty lines and the marker lines ("***  ... ***").
std::vector<std::wstring> withoutMarkers(const std::vector<std::wstring>& lines);

// The log of this process, opened as <stem>.log of the component "Wisp" in the default
// namespace for one test; messages() closes it and answers its lines withoutMarkers.
class CapturedLog {
public:
    explicit CapturedLog(const std::wstring& stem);
    ~CapturedLog();
    std::vector<std::wstring> messages();

private:
    std::wstring path_;
    bool open_ = true;
};

// The log file an administrator writes: <common app data>\Korvane\Log\Wisp\<stem>.log.
std::wstring machineLogPath(const std::wstring& stem);
// The log file a standard user writes, below the local application-data folder.
std::wstring userLogPath(const std::wstring& stem);
// <common app data>\Korvane\CrashDumps
std::wstring crashDumpFolder();
// The directory of the test executable, where the programs under test are built.
std::wstring buildDirectory();
// Deletes the log file, then runs that program of the build directory with the arguments
// and answers its exit code.
DWORD runProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& log,
                 DWORD timeoutMs = 120000);

// Sets environment variables until destroyed, then restores what was there (or removes
// them again).
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::wstring& name, const std::wstring& value);

private:
    std::vector<std::pair<std::wstring, std::wstring>> saved_; // name, old value ("\x01" for unset)
};

// Starts a command line whose token has the Administrators group deny-only, waits and
// answers its exit code; ~0u when it could not be started.
DWORD runWithoutAdministrators(const std::wstring& commandLine, DWORD timeoutMs = 120000);

// A REG_SZ value in the 64-bit view, or "<missing>".
std::wstring registryString(const std::wstring& keyPath, const std::wstring& valueName);
bool registryKeyExists(const std::wstring& keyPath);
// Creates the key (and missing parents) in the 64-bit view with an optional "status".
void createVersionKey(const std::wstring& keyPath, const std::wstring& status);
// Gives the existing key a DACL that denies everyone `denied` (KEY_SET_VALUE, ...) and
// allows the rest, so that the registry refuses those writes with ERROR_ACCESS_DENIED;
// 0 allows everything again.
void denyOnKey(const std::wstring& keyPath, DWORD denied);

// What a minidump holds, read back with dbghelp.
struct MinidumpInfo {
    bool readable = false;     // starts with "MDMP" and dbghelp finds its thread list
    bool hasException = false; // an exception stream exists
    DWORD exceptionCode = 0;
    DWORD exceptionThreadId = 0;
    bool hasFullMemory = false;   // a Memory64List stream (full-memory dumps)
    std::vector<DWORD> threadIds; // threads in the thread list
};
MinidumpInfo readMinidump(const std::wstring& path);

} // namespace wpu::test
