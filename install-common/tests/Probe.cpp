// Reports which backend kv::createScheduler chooses on the Windows version this
// process sees: exit code 20 for Task Scheduler 2.0, 10 for 1.0, 1 on failure.
// Both services are the test doubles, so the answer does not depend on Wine's own.
#include <windows.h>

#include "install-common/Scheduler10.h"
#include "install-common/Scheduler20.h"
#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "taskscheduler20/TaskScheduler20Double.h"

#include <cstdio>
#include <exception>

int main() {
    kv::ScopedComInitializer com;
    kv::doubles::ScopedTaskScheduler20Registration scheduler20;
    kv::doubles::ScopedTaskScheduler10Registration scheduler10;
    if (scheduler20.result() != S_OK || scheduler10.result() != S_OK) {
        return 2;
    }
    try {
        const std::shared_ptr<kv::IScheduler> scheduler = kv::createScheduler();
        return std::dynamic_pointer_cast<kv::Scheduler20>(scheduler)   ? 20
               : std::dynamic_pointer_cast<kv::Scheduler10>(scheduler) ? 10
                                                                       : 1;
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
    }
    return 1;
}
