#include <windows.h>

#include "install-common/Scheduler10.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

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
    static std::vector<std::wstring> sorted(std::vector<std::wstring> names) {
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Scheduler10, ConnectionFailure) {
    failNext(L"IClassFactory::CreateInstance", E_ACCESSDENIED);
    kv::test::expectComException([] { kv::Scheduler10 scheduler; }, E_ACCESSDENIED,
                                 L"kv::Scheduler10::Scheduler10", Scheduler10File);
}

TEST_F(Scheduler10, ListsEveryWorkItemWithoutItsSuffix) {
    kv::Scheduler10 scheduler;
    EXPECT_TRUE(scheduler.getTasks().empty());
    saveTask(scheduler, L"A");
    saveTask(scheduler, L"Wisp Updater");
    EXPECT_EQ(sorted(scheduler.getTasks()), (std::vector<std::wstring>{L"A", L"Wisp Updater"}));
    EXPECT_EQ(ts10::callCount(L"IEnumWorkItems::Next"), 4u) << "one name a call, then the end, twice";

    failNext(L"ITaskScheduler::Enum", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.getTasks(); }, E_ACCESSDENIED, L"kv::Scheduler10::getTasks",
                                 Scheduler10File);
    ts10::failCall(L"IEnumWorkItems::Next", ts10::callCount(L"IEnumWorkItems::Next") + 2, E_OUTOFMEMORY);
    kv::test::expectComException([&] { scheduler.getTasks(); }, E_OUTOFMEMORY, L"kv::Scheduler10::getTasks",
                                 Scheduler10File);
}

TEST_F(Scheduler10, AnUnknownNameIsNoTaskButCannotBeRemoved) {
    kv::Scheduler10 scheduler;
    EXPECT_EQ(scheduler.getTask(L"Wisp Updater"), nullptr);
    const auto task = scheduler.createTask(L"Wisp Updater");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->getName(), L"Wisp Updater");
    EXPECT_EQ(GetFileAttributesW(jobFile(L"Wisp Updater").c_str()), INVALID_FILE_ATTRIBUTES) << "not saved";
    EXPECT_EQ(scheduler.getTask(L"Wisp Updater"), nullptr);
    kv::test::expectComException([&] { scheduler.removeTask(L"Wisp Updater"); },
                                 HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"kv::Scheduler10::removeTask",
                                 Scheduler10File);
}

TEST_F(Scheduler10, OpensCreatesAndRemovesWorkItems) {
    kv::Scheduler10 scheduler;
    saveTask(scheduler, L"Stored");
    EXPECT_NE(GetFileAttributesW(jobFile(L"Stored").c_str()), INVALID_FILE_ATTRIBUTES);
    const auto opened = scheduler.getTask(L"Stored");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->getCommand(), L"C:\\windows\\system32\\cmd.exe");

    failNext(L"ITaskScheduler::Activate", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(scheduler.getTask(L"Stored"), nullptr);
    failNext(L"ITaskScheduler::Activate", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.getTask(L"Stored"); }, E_ACCESSDENIED,
                                 L"kv::Scheduler10::getTask", Scheduler10File);
    failNext(L"ITaskScheduler::NewWorkItem", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.createTask(L"New"); }, E_ACCESSDENIED,
                                 L"kv::Scheduler10::createTask", Scheduler10File);

    scheduler.removeFolder();
    EXPECT_EQ(ts10::callCount(L"ITaskScheduler::Delete"), 0u) << "no folders: nothing to do";
    EXPECT_NE(scheduler.getTask(L"Stored"), nullptr);
    scheduler.removeTask(L"Stored");
    EXPECT_EQ(scheduler.getTask(L"Stored"), nullptr);
    EXPECT_EQ(GetFileAttributesW(jobFile(L"Stored").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Scheduler10, TasksOutliveTheirScheduler) {
    std::shared_ptr<kv::Task> task;
    {
        const std::shared_ptr<kv::IScheduler> scheduler = std::make_shared<kv::Scheduler10>();
        task = scheduler->createTask(L"Orphan");
    }
    task->setCommand(L"C:\\windows\\system32\\cmd.exe");
    task->save(L"", L"");
    EXPECT_NE(GetFileAttributesW(jobFile(L"Orphan").c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
