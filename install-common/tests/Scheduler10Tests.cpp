#include <windows.h>

#include "install-common/Scheduler10.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kv::test::failNext;

using kv::test::TaskScheduler10Test;
namespace ts10 = kv::doubles::ts10;
constexpr wchar_t Scheduler10File[] = L"install-common/Scheduler10.cpp";

class Scheduler10 : public TaskScheduler10Test {
protected:
    static void saveTask(kv::IScheduler& scheduler, const std::wstring& name) {
        const auto task = scheduler.createTask(name);
        task->setCommand(L"C:\\windows\\system32\\cmd.exe");
        task->save(L"", L"");
    }
};

TEST_F(Scheduler10, ConnectionFailure) {
    failNext(L"IClassFactory::CreateInstance", E_ACCESSDENIED);
    kv::test::expectComException([] { kv::Scheduler10 scheduler; }, E_ACCESSDENIED,
                                 L"kv::Scheduler10::Scheduler10", Scheduler10File);
}

TEST_F(Scheduler10, ListsOneWorkItemACallAndFailures) {
    kv::Scheduler10 scheduler;
    saveTask(scheduler, L"A");
    saveTask(scheduler, L"Wisp Updater");
    EXPECT_EQ(scheduler.getTasks().size(), 2u);
    EXPECT_EQ(kv::doubles::callCount(L"IEnumWorkItems::Next"), 3u) << "one name a call, then the end";

    failNext(L"ITaskScheduler::Enum", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.getTasks(); }, E_ACCESSDENIED, L"kv::Scheduler10::getTasks",
                                 Scheduler10File);
    kv::doubles::failCall(L"IEnumWorkItems::Next", kv::doubles::callCount(L"IEnumWorkItems::Next") + 2,
                          E_OUTOFMEMORY);
    kv::test::expectComException([&] { scheduler.getTasks(); }, E_OUTOFMEMORY, L"kv::Scheduler10::getTasks",
                                 Scheduler10File);
}

TEST_F(Scheduler10, RemoveFolderDoesNothing) {
    kv::Scheduler10 scheduler;
    saveTask(scheduler, L"Stored");
    scheduler.removeFolder();
    EXPECT_EQ(kv::doubles::callCount(L"ITaskScheduler::Delete"), 0u);
    EXPECT_NE(scheduler.getTask(L"Stored"), nullptr);
}

} // namespace
