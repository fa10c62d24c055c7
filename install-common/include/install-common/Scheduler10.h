#pragma once

#include <windows.h>
#include <mstask.h>

#include "install-common/Scheduler.h"
#include "kvtl/Com.h"

#include <memory>
#include <string>
#include <vector>

namespace kv {

// Task Scheduler 1.0 (before Windows 6.1): work items (".job" files) in the
// machine's one task list, without folders. Repeat triggers are not supported.
// Failed platform calls throw kv::ComException.
class Scheduler10 : public IScheduler {
public:
    class Task10;

    // Connects to the task scheduler service.
    Scheduler10();
    ~Scheduler10() override = default;
    Scheduler10(const Scheduler10&) = delete;
    Scheduler10& operator=(const Scheduler10&) = delete;

    // Every work item on the machine, without the ".job" suffix.
    std::vector<std::wstring> getTasks() override;
    std::shared_ptr<Task> createTask(const std::wstring& name) override;
    // Throws for a work item that does not exist.
    void removeTask(const std::wstring& name) override;
    // There are no folders: does nothing.
    void removeFolder() override;
    // The work item of that name, or an empty pointer when there is none.
    std::shared_ptr<Task> getTask(const std::wstring& name) override;

private:
    ComPtr<ITaskScheduler> scheduler;
};

// A work item. Every operation edits the work item in memory; save() writes
// its ".job" file.
class Scheduler10::Task10 : public Task {
public:
    // Takes over the reference it is given.
    Task10(std::wstring name, ComPtr<ITask> workItem) noexcept;
    ~Task10() override = default;
    Task10(const Task10&) = delete;
    Task10& operator=(const Task10&) = delete;

    std::wstring getName() override;
    std::wstring getDescription() override;
    void setDescription(const std::wstring& description) override;
    std::wstring getCommand() override;
    // Also resets the account to the local system account.
    void setCommand(const std::wstring& path) override;
    std::wstring getParameters() override;
    void setParameters(const std::wstring& parameters) override;
    // Stored as the work item's data with its terminating null; a text of more
    // than 32766 characters does not fit and throws E_INVALIDARG.
    void setSignature(const std::wstring& signature) override;
    bool checkSignature(const std::wstring& signature) override;
    TaskStatus getStatus() override;
    TaskPriority getPriority() override;
    void setPriority(TaskPriority priority) override;
    TriggerList getTriggers() override;
    // Removes every trigger, then adds one per record in order; Repeat records
    // (and unknown kinds) are skipped. On a failure the triggers made so far stay.
    void setTriggers(const TriggerList& triggers) override;
    bool getEnabled() override;
    void setEnabled(bool enabled) override;
    bool getHidden() override;
    void setHidden(bool hidden) override;
    std::wstring getAccount() override;
    // Empty account: the local system account.
    void setAccount(const std::wstring& account, const std::wstring& password) override;
    void save(const std::wstring& account, const std::wstring& password) override;
    // Starts the work item now; one that is already running is fine.
    void run() override;

    // The process priority class stored for a priority and back. Anything else
    // throws kv::ComException from E_INVALIDARG.
    static DWORD convertPriority(TaskPriority priority);
    static TaskPriority convertPriority(DWORD priorityClass);
    // The work item's status code; SCHED_S_TASK_TERMINATED and unknown codes
    // throw kv::ComException from E_INVALIDARG.
    static TaskStatus convertStatus(HRESULT status);
    // The trigger structure for a record: its TriggerType and type-specific part,
    // the local begin date and time (to the minute) and, unless noEndDate, the
    // local end date. False for kinds the platform cannot hold (Repeat, unknown);
    // times the C run-time cannot convert throw E_INVALIDARG.
    static bool makeTrigger(const Trigger& record, TASK_TRIGGER& result);

private:
    std::wstring name;
    ComPtr<ITask> workItem;
};

} // namespace kv
