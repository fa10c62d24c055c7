#pragma once

#include <windows.h>
#include "install-common/TaskSchedulerInterfaces.h"

#include "install-common/Scheduler.h"
#include "kvtl/Com.h"

#include <memory>
#include <string>
#include <vector>

namespace kv {

// Task Scheduler 2.0 (Windows 6.1 and later). Every task of the product lives in
// the task folder "\Korvane", which the constructor opens or creates with a DACL
// granting full access to Administrators and Local System only. Failed platform
// calls throw kv::ComException.
class Scheduler20 : public IScheduler {
public:
    class Task20;

    // Connects to the local service as the current user and prepares "\Korvane".
    Scheduler20();
    ~Scheduler20() override = default;
    Scheduler20(const Scheduler20&) = delete;
    Scheduler20& operator=(const Scheduler20&) = delete;

    // The names of every task in "\Korvane", hidden ones included.
    std::vector<std::wstring> getTasks() override;
    std::shared_ptr<Task> createTask(const std::wstring& name) override;
    // Throws for a task that does not exist.
    void removeTask(const std::wstring& name) override;
    // Deletes "\Korvane" from the root folder; the platform decides whether a
    // folder that still holds tasks may go.
    void removeFolder() override;
    // The registered task with a fresh, empty definition to edit; an empty
    // pointer when "\Korvane" has no task of that name.
    std::shared_ptr<Task> getTask(const std::wstring& name) override;

private:
    void InitializeFolder();

    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> folder;
};

// A task in "\Korvane". Setters and save() work on the in-memory definition;
// getPriority, getCommand, getParameters and checkSignature read the registered
// definition when there is one. save() registers as create-or-update, so it
// replaces a registered task of the same name.
class Scheduler20::Task20 : public Task {
public:
    // Takes its own reference on each object; registered may be empty.
    Task20(std::wstring name, const ComPtr<ITaskDefinition>& definition,
           const ComPtr<IRegisteredTask>& registered, const ComPtr<ITaskFolder>& folder);
    ~Task20() override = default;
    Task20(const Task20&) = delete;
    Task20& operator=(const Task20&) = delete;

    std::wstring getName() override;
    std::wstring getDescription() override;
    void setDescription(const std::wstring& description) override;
    std::wstring getCommand() override;
    void setCommand(const std::wstring& path) override;
    std::wstring getParameters() override;
    void setParameters(const std::wstring& parameters) override;
    void setSignature(const std::wstring& signature) override;
    bool checkSignature(const std::wstring& signature) override;
    // Ready or Disabled from the definition's settings, overridden by the state
    // of the registered task when the platform reports one.
    TaskStatus getStatus() override;
    TaskPriority getPriority() override;
    void setPriority(TaskPriority priority) override;
    TriggerList getTriggers() override;
    // Removes every trigger of the definition, then adds one per record with the
    // ids trigger1, trigger2, ...; on a failure the triggers made so far stay.
    void setTriggers(const TriggerList& triggers) override;
    bool getEnabled() override;
    void setEnabled(bool enabled) override;
    bool getHidden() override;
    void setHidden(bool hidden) override;
    std::wstring getAccount() override;
    // Empty account: the service account NT AUTHORITY\SYSTEM; otherwise the
    // account with a password logon (the password goes to save()).
    void setAccount(const std::wstring& account, const std::wstring& password) override;
    // Registers the definition in "\Korvane" with the product's fixed settings.
    // On failure the object holds no registration (the platform's stays).
    void save(const std::wstring& account, const std::wstring& password) override;
    // Starts the registered task; a task that is already running is fine.
    void run() override;

    // The platform's priority (0 highest, 10 lowest) for a priority and back:
    // Realtime 0, High 1-3, Normal 4-6, Idle 7-10. Anything else throws
    // kv::ComException from E_INVALIDARG.
    static int convertPriority(TaskPriority priority);
    static TaskPriority convertPriority(int priority);
    // Local calendar time to the second, "YYYY-MM-DDThh:mm:ss", or "NEVER" for
    // NeverTime. Times the C run-time cannot convert throw E_INVALIDARG.
    static std::wstring formatBoundaryTime(TimePoint time);
    // "PT" followed by the non-zero hours, minutes and seconds ("PT1H30M");
    // days are never used and fractions of a second are dropped.
    static std::wstring formatInterval(Duration interval);

private:
    // The first exec action; with create, made when there is none (and the
    // in-memory definition is used even when a registration exists).
    ComPtr<IExecAction> getAction(bool create);
    // The registered definition when there is a registration, else the in-memory one.
    ComPtr<ITaskDefinition> getDefinition();

    static ComPtr<ITrigger> createTimeTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                              const Trigger& record);
    static ComPtr<ITrigger> createRepeatTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                                const Trigger& record);
    static ComPtr<ITrigger> createDailyTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                               const Trigger& record);
    static ComPtr<ITrigger> createWeeklyTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                                const Trigger& record);
    static ComPtr<ITrigger> createRebootTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                                const Trigger& record);

    std::wstring name;
    ComPtr<ITaskDefinition> definition;
    ComPtr<IRegisteredTask> registered;
    ComPtr<ITaskFolder> folder;
};

} // namespace kv
