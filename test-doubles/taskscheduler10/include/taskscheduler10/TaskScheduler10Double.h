#pragma once

#include <windows.h>

#include <string>

#include "com-support/Faults.h"

// A stand-in for the Task Scheduler 1.0 service (CLSID_CTaskScheduler and
// CLSID_CTask) for test processes. Work items live as "<name>.job" files in a
// tasks folder: %windir%\Tasks unless a test names another one.
namespace kv::doubles {

// Registers the double's class objects for CLSID_CTaskScheduler and CLSID_CTask
// in this process (in-process server, multiple use); revoked in the destructor.
// COM must be initialised on the thread. Both ends clear faults and call counts.
class ScopedTaskScheduler10Registration {
public:
    explicit ScopedTaskScheduler10Registration(std::wstring tasksFolder = {});
    ~ScopedTaskScheduler10Registration();
    ScopedTaskScheduler10Registration(const ScopedTaskScheduler10Registration&) = delete;
    ScopedTaskScheduler10Registration& operator=(const ScopedTaskScheduler10Registration&) = delete;

    // S_OK when both classes were registered, else the first failure.
    HRESULT result() const noexcept { return result_; }
    const std::wstring& tasksFolder() const noexcept { return folder_; }

private:
    std::wstring folder_;
    HRESULT result_ = E_FAIL;
    DWORD schedulerCookie_ = 0;
    DWORD taskCookie_ = 0;
};

namespace ts10 {

// Full path of the stored work item <name>.job in a folder.
std::wstring jobFilePath(const std::wstring& folder, const std::wstring& name);

// Makes GetStatus of the stored work item answer `status` (for example
// SCHED_S_TASK_TERMINATED) for objects activated afterwards, as the service's run
// history would; S_OK removes it. 0x80070002 when the item is not stored.
HRESULT forceStatus(const std::wstring& folder, const std::wstring& name, HRESULT status);

} // namespace ts10
} // namespace kv::doubles
