#pragma once

#include <windows.h>
#include <mstask.h>

#include <cstdint>
#include <string>
#include <vector>

// The double's work-item store: one "<name>.job" file per work item, in a format
// of its own. The definition part belongs to the clients (IPersistFile::Save);
// the run part belongs to the service (Run, Terminate, the status hook), so a
// save keeps the run part that is on disk.
namespace kv::doubles::ts10 {

// Class and interface identifiers, spelled out here because not every SDK's
// uuid library carries all of them.
inline constexpr GUID clsidTaskScheduler = {
    0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
inline constexpr GUID clsidTask = {
    0x148BD520, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
inline constexpr GUID iidTaskScheduler = {
    0x148BD527, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
inline constexpr GUID iidTask = {
    0x148BD524, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
inline constexpr GUID iidScheduledWorkItem = {
    0xA6B952F0, 0xA4B1, 0x11D0, {0x99, 0x7D, 0x00, 0xAA, 0x00, 0x68, 0x87, 0xEC}};
inline constexpr GUID iidEnumWorkItems = {
    0x148BD528, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
inline constexpr GUID iidTaskTrigger = {
    0x148BD52B, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};

struct TriggerRecord {
    TASK_TRIGGER trigger{};
    bool set = false; // SetTrigger was called: an unset trigger is not a valid one
};

struct Definition {
    std::wstring application;
    std::wstring parameters;
    std::wstring workingDirectory;
    std::wstring comment;
    std::wstring creator;
    std::wstring account;
    bool accountSet = false;
    std::vector<BYTE> data;
    DWORD priority = NORMAL_PRIORITY_CLASS;
    DWORD flags = 0;
    DWORD taskFlags = 0;
    DWORD maxRunTime = 72 * 60 * 60 * 1000;
    WORD idleMinutes = 10;
    WORD deadlineMinutes = 60;
    std::vector<TriggerRecord> triggers;
};

struct RunState {
    bool hasRun = false;
    bool terminated = false;
    DWORD processId = 0;
    std::uint64_t processCreation = 0; // FILETIME ticks, tells a reused process id apart
    SYSTEMTIME lastRun{};
    HRESULT forcedStatus = S_OK; // S_OK: none
};

struct JobFile {
    Definition definition;
    RunState run;
};

// True for a name the store accepts: not empty, no path separators, no
// characters that a file name cannot hold.
bool validName(const wchar_t* name);

// Creates the folder (and its parents) when missing.
void ensureFolder(const std::wstring& folder);

// S_OK, 0x80070002 when missing, SCHED_E_UNKNOWN_OBJECT_VERSION when the file is
// not one of ours or is cut short.
HRESULT readJob(const std::wstring& path, JobFile& job);
// Writes a whole record through a temporary file and a replacing move, so a
// reader never sees half a record.
HRESULT writeJob(const std::wstring& path, const JobFile& job);

// Names of the ".job" files of the folder, suffix included, in directory order.
std::vector<std::wstring> listJobs(const std::wstring& folder);

// Serialises read-modify-write cycles of job files across threads and processes.
class StoreLock {
public:
    StoreLock();
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    HANDLE mutex_;
};

// True while the process a run started is alive.
bool processAlive(const RunState& run);

} // namespace kv::doubles::ts10
