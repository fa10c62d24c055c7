#pragma once

#include <windows.h>

#include <string>

// A stand-in for the Task Scheduler 1.0 service (CLSID_CTaskScheduler and
// CLSID_CTask) for test processes. Work items live as "<name>.job" files in a
// tasks folder: %windir%\Tasks unless a test names another one.
namespace kv::doubles {

// Registers the double's class objects for CLSID_CTaskScheduler and CLSID_CTask
// in this process (CoRegisterClassObject, in-process server, multiple use), so
// that CoCreateInstance on the calling apartment reaches them; revoked in the
// destructor. COM must be initialised on the thread. Construction and
// destruction both clear the injected faults and the call counts.
class ScopedTaskScheduler10Registration {
public:
    // An empty folder means the default resolution (see ts10::tasksFolder).
    explicit ScopedTaskScheduler10Registration(std::wstring tasksFolder = {});
    ~ScopedTaskScheduler10Registration();
    ScopedTaskScheduler10Registration(const ScopedTaskScheduler10Registration&) = delete;
    ScopedTaskScheduler10Registration& operator=(const ScopedTaskScheduler10Registration&) = delete;

    // S_OK when both classes were registered, else the first failure.
    HRESULT result() const noexcept { return result_; }
    // The folder this registration's objects store work items in.
    const std::wstring& tasksFolder() const noexcept { return folder_; }

private:
    std::wstring folder_;
    HRESULT result_ = E_FAIL;
    DWORD schedulerCookie_ = 0;
    DWORD taskCookie_ = 0;
};

namespace ts10 {

// Environment variable and HKLM values the DLL reads (whole-program runs).
inline constexpr const wchar_t* tasksFolderVariable = L"KV_TS10_TASKS_FOLDER";
inline constexpr const wchar_t* faultsVariable = L"KV_TS10_FAULTS";
inline constexpr const wchar_t* configKey = L"Software\\KvTestDoubles\\TaskScheduler10";
inline constexpr const wchar_t* tasksFolderValue = L"TasksFolder";
inline constexpr const wchar_t* faultsValue = L"Faults";

// The folder used when none is given: the environment variable above, else the
// "TasksFolder" value of HKLM\<configKey>, else %windir%\Tasks.
std::wstring tasksFolder();

// Full path of the stored work item <name>.job in a folder.
std::wstring jobFilePath(const std::wstring& folder, const std::wstring& name);

// Makes only the call-th call (1-based, counted per method in this process) of
// a method fail with result; the method then changes nothing and clears its
// out-parameters. Methods are named "Interface::Method": "ITaskScheduler::Activate",
// "IEnumWorkItems::Next", "ITask::SetPriority" (IScheduledWorkItem methods are
// "ITask::..." too), "ITaskTrigger::SetTrigger", "IPersistFile::Save",
// "IClassFactory::CreateInstance".
void failCall(const std::wstring& method, unsigned call, HRESULT result);
// Makes every call of a method from the call-th on fail with result.
void failCallsFrom(const std::wstring& method, unsigned call, HRESULT result);
// Adds faults written as "Method@N=0xHRESULT" or "Method@N+=0xHRESULT" (from
// N on), separated by ';'. False, and nothing added, when the text is malformed.
bool addFaults(const std::wstring& text);
// Removes every fault and resets every call count.
void clearFaults();
// How often a method was called since the last clearFaults.
unsigned callCount(const std::wstring& method);

// Makes GetStatus of the stored work item answer status (for example
// SCHED_S_TASK_TERMINATED) for objects activated afterwards; S_OK removes the
// forced status. Answers 0x80070002 when the item is not stored.
HRESULT forceStatus(const std::wstring& folder, const std::wstring& name, HRESULT status);

} // namespace ts10
} // namespace kv::doubles
