#pragma once

#include "taskscheduler20/TaskSchedulerExtras.h"

#include <memory>
#include <string>
#include <vector>

// The plain data of a task definition (the parts the scheduled-task library sets),
// its Task Scheduler XML form and the checks the service makes at registration.
namespace kv::ts20 {

struct TriggerData {
    TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_TIME;
    std::wstring id, startBoundary, endBoundary, interval;
    short daysInterval = 1;
    short weeksInterval = 1;
    short daysOfWeek = 0;
};

struct ActionData {
    std::wstring path, arguments;
};

struct SettingsData {
    TASK_INSTANCES_POLICY multipleInstances = TASK_INSTANCES_IGNORE_NEW;
    bool disallowStartIfOnBatteries = true;
    bool runOnlyIfNetworkAvailable = false;
    std::wstring executionTimeLimit = L"PT72H";
    bool enabled = true;
    bool hidden = false;
    int priority = 7;
};

struct PrincipalData {
    std::wstring userId, groupId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
};

struct TaskData {
    std::wstring author, description, uri, data;
    PrincipalData principal;
    SettingsData settings;
    std::vector<std::shared_ptr<ActionData>> actions;
    std::vector<std::shared_ptr<TriggerData>> triggers;

    // A deep copy: the copy's actions and triggers are its own.
    TaskData clone() const;
};

// The task document (without BOM), as the service stores it; the parts the
// library never sets carry the service's defaults.
std::wstring toXml(const TaskData& task);
// Reads what a registered definition answers: texts, settings, data and exec
// actions (stored triggers and principals are not read back). S_OK, or
// SCHED_E_MALFORMEDXML / SCHED_E_MISSINGNODE for a document that is no task.
HRESULT fromXml(const std::wstring& xml, TaskData& task);
// The checks of registration: S_OK or the service's HRESULT for the first fault.
HRESULT validateForRegistration(const TaskData& task);

} // namespace kv::ts20
