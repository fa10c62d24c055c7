#include <windows.h>

#include "install-common/Scheduler10.h"
#include "Doubles.h"

#include <gtest/gtest.h>

namespace {

using Scheduler10 = kv::test::TaskScheduler10Test;

TEST_F(Scheduler10, RemoveFolderLeavesTheWorkItems) {
    kv::Scheduler10 scheduler;
    const auto task = scheduler.createTask(L"Stored");
    task->setCommand(L"C:\\windows\\system32\\cmd.exe");
    task->save(L"", L"");
    scheduler.removeFolder();
    EXPECT_EQ(kv::doubles::callCount(L"ITaskScheduler::Delete"), 0u);
    EXPECT_EQ(scheduler.getTasks(), std::vector<std::wstring>{L"Stored"});
}

} // namespace
