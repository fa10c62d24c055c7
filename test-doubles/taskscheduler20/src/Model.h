#pragma once

#include "taskscheduler20/TaskSchedulerExtras.h"

#include <memory>
#include <string>
#include <vector>

// The plain data of a task definition, its Task Scheduler XML form and the checks
// the service makes when a definition is registered.
namespace kv::ts20 {

struct RepetitionData {
    std::wstring interval;
    std::wstring duration;
    bool stopAtDurationEnd = false;
};

struct TriggerData {
    TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_TIME;
    std::wstring id;
    std::wstring startBoundary;
    std::wstring endBoundary;
    std::wstring executionTimeLimit;
    std::wstring randomDelay; // time, daily and weekly triggers
    std::wstring delay;       // boot trigger
    bool enabled = true;
    RepetitionData repetition;
    short daysInterval = 1;
    short weeksInterval = 1;
    short daysOfWeek = 0;
};

struct ActionData {
    std::wstring id;
    std::wstring path;
    std::wstring arguments;
    std::wstring workingDirectory;
};

struct SettingsData {
    bool allowDemandStart = true;
    std::wstring restartInterval;
    int restartCount = 0;
    TASK_INSTANCES_POLICY multipleInstances = TASK_INSTANCES_IGNORE_NEW;
    bool stopIfGoingOnBatteries = true;
    bool disallowStartIfOnBatteries = true;
    bool allowHardTerminate = true;
    bool startWhenAvailable = false;
    bool runOnlyIfNetworkAvailable = false;
    std::wstring executionTimeLimit = L"PT72H";
    bool enabled = true;
    std::wstring deleteExpiredTaskAfter;
    int priority = 7;
    TASK_COMPATIBILITY compatibility = TASK_COMPATIBILITY_V2;
    bool hidden = false;
    bool runOnlyIfIdle = false;
    bool wakeToRun = false;
};

struct PrincipalData {
    std::wstring id;
    std::wstring displayName;
    std::wstring userId;
    std::wstring groupId;
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    TASK_RUNLEVEL_TYPE runLevel = TASK_RUNLEVEL_LUA;
};

struct RegistrationData {
    std::wstring author;
    std::wstring description;
    std::wstring version;
    std::wstring date;
    std::wstring documentation;
    std::wstring uri;
    std::wstring source;
};

struct TaskData {
    RegistrationData registration;
    PrincipalData principal;
    SettingsData settings;
    std::wstring data;
    std::wstring actionsContext;
    std::vector<std::shared_ptr<ActionData>> actions;
    std::vector<std::shared_ptr<TriggerData>> triggers;

    // A deep copy: the copy's actions and triggers are its own.
    TaskData clone() const;
};

// The task document (without BOM), as the service stores it.
std::wstring toXml(const TaskData& task);
// Reads a task document; S_OK, SCHED_E_MALFORMEDXML for text that is not XML, or
// SCHED_E_UNEXPECTEDNODE-like failures as SCHED_E_INVALIDVALUE. Values are taken as
// stored, without the registration checks.
HRESULT fromXml(const std::wstring& xml, TaskData& task);

// The checks of registration: S_OK or the service's HRESULT for the first fault.
HRESULT validateForRegistration(const TaskData& task);

// Format checks of the schema's types.
bool isDateTime(const std::wstring& text);
// An xs:duration; `seconds` receives its length (months as 30 days, years as 365).
bool parseDuration(const std::wstring& text, double& seconds);

// True for the names of the accounts a service-account logon stands for.
bool isServiceAccountName(const std::wstring& name);

} // namespace kv::ts20
