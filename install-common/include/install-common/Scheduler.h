#pragma once

#include "install-common/Task.h"

#include <memory>
#include <string>
#include <vector>

namespace kv {

// A connection to the platform's task scheduler. The caller initialises COM on
// its thread first and uninitialises it after the last library object is gone.
class IScheduler {
public:
    virtual ~IScheduler() = default;

    // Task Scheduler 2.0: the tasks of the product folder; 1.0: every work item.
    virtual std::vector<std::wstring> getTasks() = 0;
    // A new task of that name, not stored until its save().
    virtual std::shared_ptr<Task> createTask(const std::wstring& name) = 0;
    virtual void removeTask(const std::wstring& name) = 0;
    // Removes the product's task folder (2.0) or does nothing (1.0).
    virtual void removeFolder() = 0;
    // The stored task of that name, or an empty pointer when there is none.
    virtual std::shared_ptr<Task> getTask(const std::wstring& name) = 0;
};

// Task Scheduler 2.0 on Windows 6.1 and later, else 1.0. Every call connects
// anew; a failure to connect throws kv::ComException.
std::shared_ptr<IScheduler> createScheduler();

} // namespace kv
