#pragma once

#include "install-common/Trigger.h"

#include <cstdint>
#include <string>

namespace kv {

enum class TaskPriority : std::uint32_t { Realtime = 0, High = 1, Normal = 2, Idle = 3 };

enum class TaskStatus : std::uint32_t {
    Ready = 0,
    Running = 1,
    NotScheduled = 2,
    HasNotRun = 3,
    Disabled = 4,
    NoMoreRuns = 5,
    NoValidTriggers = 6
};

// One scheduled task. Setters change the backend's in-memory task only; nothing
// reaches the platform before save(). Failures throw kv::ComException (a failed
// platform call) or kv::BaseException (a logic error); nothing is caught inside.
class Task {
public:
    virtual ~Task() = default;

    virtual std::wstring getName() = 0;
    virtual std::wstring getDescription() = 0;
    virtual void setDescription(const std::wstring& description) = 0;
    virtual std::wstring getCommand() = 0;
    virtual void setCommand(const std::wstring& path) = 0;
    virtual std::wstring getParameters() = 0;
    virtual void setParameters(const std::wstring& parameters) = 0;
    // An opaque text stored with the task.
    virtual void setSignature(const std::wstring& signature) = 0;
    // True when the stored text equals the given one, ASCII letters compared
    // without regard to case.
    virtual bool checkSignature(const std::wstring& signature) = 0;
    virtual TaskStatus getStatus() = 0;
    virtual TaskPriority getPriority() = 0;
    virtual void setPriority(TaskPriority priority) = 0;
    // Not implemented by either backend: always throws.
    virtual TriggerList getTriggers() = 0;
    // Replaces all triggers by the given ones, in order; keeps no reference.
    virtual void setTriggers(const TriggerList& triggers) = 0;
    virtual bool getEnabled() = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool getHidden() = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual std::wstring getAccount() = 0;
    // An empty account is the local system account.
    virtual void setAccount(const std::wstring& account, const std::wstring& password) = 0;
    // setAccount with the same texts, then stores the task with the platform.
    virtual void save(const std::wstring& account, const std::wstring& password) = 0;
    // Starts the stored task now; does nothing for a task that was never stored.
    virtual void run() = 0;
};

} // namespace kv
