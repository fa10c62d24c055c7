#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

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
// resets fault injection and call counts. The destructor revokes the registration,
// restores the previous store and clears faults. COM must be initialised first.
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

// Makes call number `call` (1-based; 0 means every call) of `method`, named
// "Interface::Method" (for example "ITaskFolder::RegisterTaskDefinition"), fail
// with `result` before it does anything. Calls are counted per method name in the
// process from the last reset.
void injectTaskScheduler20Fault(const std::wstring& method, unsigned call, HRESULT result);
// Removes every injected fault and sets every call count to zero.
void clearTaskScheduler20Faults();
// How often `method` was called since the last reset.
unsigned taskScheduler20CallCount(const std::wstring& method);

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

// COM objects and server locks of the double alive in this process (the figure
// DllCanUnloadNow answers from): a test compares it before and after to find leaks.
long taskScheduler20LiveObjects();

// Folder that stands for the root task folder in this process.
std::wstring taskScheduler20StoreRoot();
// File that holds the task of a full task path such as "\Korvane\Wisp Updater".
std::wstring taskScheduler20TaskFile(const std::wstring& taskPath);
// The stored XML of a task (BOM removed), or an empty text when there is no such task.
std::wstring readTaskScheduler20Xml(const std::wstring& taskPath);
// Stores a task file as given, for tests that need a store the service would never
// write (folders are created); true on success.
bool writeTaskScheduler20Xml(const std::wstring& taskPath, const std::wstring& xml);

} // namespace kv::doubles
