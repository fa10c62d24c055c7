#pragma once

#include <windows.h>
#include <mstask.h>

#include "Store.h"
#include "taskscheduler10/TaskScheduler10Double.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kv::doubles::ts10 {

// Live COM objects and server locks of this module, for DllCanUnloadNow.
extern std::atomic<long> moduleReferences;

class ModuleReference {
public:
    ModuleReference() noexcept { ++moduleReferences; }
    ~ModuleReference() { --moduleReferences; }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};

// Reference counting and QueryInterface of an object that implements the one
// interface I, whose identifier is Iid; it counts as a live object of the module.
template <class I, const GUID& Iid>
class SingleInterfaceObject : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == Iid) {
            *result = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    SingleInterfaceObject() = default;
    virtual ~SingleInterfaceObject() = default;
    SingleInterfaceObject(const SingleInterfaceObject&) = delete;
    SingleInterfaceObject& operator=(const SingleInterfaceObject&) = delete;

private:
    ModuleReference module_;
    std::atomic<ULONG> references_{1};
};

// A private interface through which AddWorkItem recognises the double's own
// work items.
inline constexpr GUID iidWorkItemImplementation = {
    0x5B0F1C8E, 0x2D4A, 0x4E71, {0x9A, 0x3C, 0x6E, 0x1D, 0x84, 0x27, 0xB5, 0x90}};

// Copies text into a CoTaskMemAlloc'ed string.
HRESULT copyOut(const std::wstring& text, LPWSTR* result);

// True when the record is a trigger the service would accept.
bool validTrigger(const TASK_TRIGGER& trigger);

// One work item (CLSID_CTask): ITask and IPersistFile over an in-memory
// definition. The run part of the status is sampled when the item is loaded:
// GetStatus does not follow the service afterwards.
class WorkItem final : public ITask, public IPersistFile {
public:
    // A new item with a name (NewWorkItem), or without one (CoCreateInstance).
    WorkItem(std::wstring folder, std::wstring name);
    // An item loaded from its stored record (Activate).
    WorkItem(std::wstring folder, std::wstring name, const JobFile& stored);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IScheduledWorkItem
    HRESULT STDMETHODCALLTYPE CreateTrigger(WORD* newTrigger, ITaskTrigger** trigger) override;
    HRESULT STDMETHODCALLTYPE DeleteTrigger(WORD trigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerCount(WORD* count) override;
    HRESULT STDMETHODCALLTYPE GetTrigger(WORD index, ITaskTrigger** trigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerString(WORD index, LPWSTR* text) override;
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME begin, const LPSYSTEMTIME end, WORD* count,
                                          LPSYSTEMTIME* times) override;
    HRESULT STDMETHODCALLTYPE GetNextRunTime(SYSTEMTIME* next) override;
    HRESULT STDMETHODCALLTYPE SetIdleWait(WORD idleMinutes, WORD deadlineMinutes) override;
    HRESULT STDMETHODCALLTYPE GetIdleWait(WORD* idleMinutes, WORD* deadlineMinutes) override;
    HRESULT STDMETHODCALLTYPE Run() override;
    HRESULT STDMETHODCALLTYPE Terminate() override;
    HRESULT STDMETHODCALLTYPE EditWorkItem(HWND parent, DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetMostRecentRunTime(SYSTEMTIME* lastRun) override;
    HRESULT STDMETHODCALLTYPE GetStatus(HRESULT* status) override;
    HRESULT STDMETHODCALLTYPE GetExitCode(DWORD* exitCode) override;
    HRESULT STDMETHODCALLTYPE SetComment(LPCWSTR comment) override;
    HRESULT STDMETHODCALLTYPE GetComment(LPWSTR* comment) override;
    HRESULT STDMETHODCALLTYPE SetCreator(LPCWSTR creator) override;
    HRESULT STDMETHODCALLTYPE GetCreator(LPWSTR* creator) override;
    HRESULT STDMETHODCALLTYPE SetWorkItemData(WORD size, BYTE data[]) override;
    HRESULT STDMETHODCALLTYPE GetWorkItemData(WORD* size, BYTE** data) override;
    HRESULT STDMETHODCALLTYPE SetErrorRetryCount(WORD count) override;
    HRESULT STDMETHODCALLTYPE GetErrorRetryCount(WORD* count) override;
    HRESULT STDMETHODCALLTYPE SetErrorRetryInterval(WORD interval) override;
    HRESULT STDMETHODCALLTYPE GetErrorRetryInterval(WORD* interval) override;
    HRESULT STDMETHODCALLTYPE SetFlags(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE GetFlags(DWORD* flags) override;
    HRESULT STDMETHODCALLTYPE SetAccountInformation(LPCWSTR account, LPCWSTR password) override;
    HRESULT STDMETHODCALLTYPE GetAccountInformation(LPWSTR* account) override;

    // ITask
    HRESULT STDMETHODCALLTYPE SetApplicationName(LPCWSTR application) override;
    HRESULT STDMETHODCALLTYPE GetApplicationName(LPWSTR* application) override;
    HRESULT STDMETHODCALLTYPE SetParameters(LPCWSTR parameters) override;
    HRESULT STDMETHODCALLTYPE GetParameters(LPWSTR* parameters) override;
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR directory) override;
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR* directory) override;
    HRESULT STDMETHODCALLTYPE SetPriority(DWORD priority) override;
    HRESULT STDMETHODCALLTYPE GetPriority(DWORD* priority) override;
    HRESULT STDMETHODCALLTYPE SetTaskFlags(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE GetTaskFlags(DWORD* flags) override;
    HRESULT STDMETHODCALLTYPE SetMaxRunTime(DWORD milliseconds) override;
    HRESULT STDMETHODCALLTYPE GetMaxRunTime(DWORD* milliseconds) override;

    // IPersist / IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR fileName, DWORD mode) override;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR fileName, BOOL remember) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR fileName) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* fileName) override;

    // For the trigger objects: under the item's lock, whether a record still
    // belongs to the item, and marking the item changed.
    std::mutex& lock() { return mutex_; }
    bool owns(const std::shared_ptr<TriggerRecord>& record) const;
    void touch() { dirty_ = true; }

    // AddWorkItem: stores the item under another name in a folder.
    HRESULT storeAs(const std::wstring& folder, const std::wstring& name);

private:
    ~WorkItem();
    std::wstring path() const;
    HRESULT write(const std::wstring& path);
    void take(const JobFile& stored);

    ModuleReference module_;
    std::atomic<ULONG> references_{1};
    mutable std::mutex mutex_;
    std::wstring folder_;
    std::wstring name_;
    std::wstring explicitPath_; // set by Load or Save(name, TRUE)
    Definition definition_;     // its triggers live in triggers_
    std::vector<std::shared_ptr<TriggerRecord>> triggers_;
    RunState run_;         // as sampled when loaded
    bool running_ = false; // likewise
    bool dirty_ = false;
};

// One trigger of a work item (ITaskTrigger). It follows its record when earlier
// triggers are deleted; once its own record is deleted it answers
// SCHED_E_TRIGGER_NOT_FOUND.
class Trigger final : public SingleInterfaceObject<ITaskTrigger, iidTaskTrigger> {
public:
    Trigger(WorkItem* item, std::shared_ptr<TriggerRecord> record);

    HRESULT STDMETHODCALLTYPE SetTrigger(const PTASK_TRIGGER trigger) override;
    HRESULT STDMETHODCALLTYPE GetTrigger(PTASK_TRIGGER trigger) override;
    HRESULT STDMETHODCALLTYPE GetTriggerString(LPWSTR* text) override;

private:
    ~Trigger() override;
    WorkItem* item_; // one reference held
    std::shared_ptr<TriggerRecord> record_;
};

// The scheduler (CLSID_CTaskScheduler) over one tasks folder.
HRESULT createScheduler(const std::wstring& folder, REFIID iid, void** result);

// Class object for CLSID_CTaskScheduler or CLSID_CTask. An empty folder is
// resolved with tasksFolder() at each CreateInstance.
HRESULT createClassFactory(const GUID& clsid, const std::wstring& folder, REFIID iid, void** result);

} // namespace kv::doubles::ts10
