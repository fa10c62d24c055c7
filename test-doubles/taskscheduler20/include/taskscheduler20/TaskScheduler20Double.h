#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "com-support/ComObject.h"
#include "com-support/Faults.h"

// A stand-in for the Task Scheduler 2.0 service (CLSID_TaskScheduler) for test
// processes. Tasks are stored as Task Scheduler XML (UTF-16 with BOM) in a folder
// tree: by default the prefix's %windir%\system32\Tasks, as the real service keeps it.
namespace kv::doubles {

struct TaskScheduler20Options {
    // Folder that stands for the root task folder "\"; empty: %windir%\system32\Tasks.
    std::wstring storeRoot;
};

// Registers the double's class factory for CLSID_TaskScheduler in this process
// (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE) and points it at the options' store;
// both ends clear faults and call counts, the destructor restores the previous
// store. COM must be initialised first.
class ScopedTaskScheduler20Registration {
public:
    explicit ScopedTaskScheduler20Registration(const TaskScheduler20Options& options = {});
    ~ScopedTaskScheduler20Registration();
    ScopedTaskScheduler20Registration(const ScopedTaskScheduler20Registration&) = delete;
    ScopedTaskScheduler20Registration& operator=(const ScopedTaskScheduler20Registration&) = delete;

    // The result of CoRegisterClassObject; S_OK when the double is reachable.
    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_ = E_FAIL;
    DWORD cookie_ = 0;
    std::wstring previousRoot_;
};

// An older name of the shared failCall (com-support/Faults.h).
inline void injectTaskScheduler20Fault(const std::wstring& method, unsigned call, HRESULT result) {
    failCall(method, call, result);
}

// The arguments of the last ITaskFolder::RegisterTaskDefinition call in this
// process (whether or not the registration was accepted), so that tests can check
// what the stored XML cannot show: the flags, the credential VARIANTs' types.
struct TaskScheduler20RegisterCall {
    unsigned count = 0; // registrations seen since the last reset; 0: none
    std::wstring path;
    LONG flags = 0;
    VARTYPE userType = VT_EMPTY;
    std::wstring user;
    VARTYPE passwordType = VT_EMPTY;
    LONG logonType = 0;
    VARTYPE sddlType = VT_EMPTY;
    std::wstring sddl;
};
TaskScheduler20RegisterCall lastTaskScheduler20Registration();

// The stored XML of a full task path such as "\Korvane\Wisp Updater" (BOM removed),
// or an empty text when there is no such task.
std::wstring readTaskScheduler20Xml(const std::wstring& taskPath);
// Stores a task file as given, for tests that need a store the service would never
// write (folders are created); true on success.
bool writeTaskScheduler20Xml(const std::wstring& taskPath, const std::wstring& xml);

} // namespace kv::doubles
