#include <windows.h>

#include "Doubles.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using kv::doubles::callCount;
using kv::test::failNext;
using Task10 = kv::Scheduler10::Task10;
using kv::TaskPriority;
using kv::TaskStatus;

// Called directly: through setTriggers the double's own refusal of the record
// would look the same.
TEST(Task10MakeTrigger, RefusesWhatThePlatformCannotHold) {
    for (const DWORD priorityClass : {DWORD{0}, DWORD{BELOW_NORMAL_PRIORITY_CLASS}, DWORD{0x81}}) {
        kv::test::expectThrow([&] { Task10::convertPriority(priorityClass); }, E_INVALIDARG,
                              L"Scheduler10::Task10::convertPriority");
    }
    TASK_TRIGGER result;
    for (const kv::TimePoint time : {kv::test::utcTime(1960, 1, 1, 0, 0, 0), kv::NeverTime - 1}) {
        for (const bool atEnd : {false, true}) {
            kv::TimeTrigger trigger;
            trigger.setStart(atEnd ? kv::test::utcTime(2027, 1, 2, 3, 4, 5) : time);
            trigger.setEnd(time);
            trigger.setNoEndDate(!atEnd);
            kv::test::expectThrow([&] { Task10::makeTrigger(trigger, result); }, E_INVALIDARG,
                                  L"Scheduler10::Task10::setTriggers");
        }
    }
}

// 20:14:59.5 UTC on New Year's Eve is 01:59 on New Year's Day in the test zone 5:45 ahead,
// in which install_common_local_time runs this test.
TEST(Task10MakeTriggerLocalTime, BeginsAndEndsInLocalTimeToTheMinute) {
    const kv::TimePoint start = kv::test::utcTime(2026, 12, 31, 20, 14, 59, 5000000);
    const kv::TimePoint end = kv::test::utcTime(2027, 3, 1, 23, 30, 0);
    kv::TimeTrigger trigger;
    trigger.setStart(start);
    trigger.setEnd(end);
    trigger.setNoEndDate(false);
    TASK_TRIGGER r;
    ASSERT_TRUE(Task10::makeTrigger(trigger, r));
    const auto text = [](WORD year, WORD month, WORD day, WORD hour, WORD minute) {
        return kv::test::isoText({year, month, 0, day, hour, minute, 0, 0});
    };
    const std::wstring begins = text(r.wBeginYear, r.wBeginMonth, r.wBeginDay, r.wStartHour, r.wStartMinute);
    const std::wstring ends = text(r.wEndYear, r.wEndMonth, r.wEndDay, 0, 0);
    const SYSTEMTIME localStart = kv::test::localTimeOf(start), localEnd = kv::test::localTimeOf(end);
    EXPECT_EQ(begins, text(localStart.wYear, localStart.wMonth, localStart.wDay, localStart.wHour,
                           localStart.wMinute));
    EXPECT_EQ(ends, text(localEnd.wYear, localEnd.wMonth, localEnd.wDay, 0, 0));
    EXPECT_EQ(r.rgFlags, DWORD{TASK_TRIGGER_FLAG_HAS_END_DATE});
    if (kv::test::inNepalTime()) {
        EXPECT_EQ(begins, L"2027-01-01T01:59:00");
        EXPECT_EQ(ends, L"2027-03-02T00:00:00");
    }
    trigger.setNoEndDate(true);
    ASSERT_TRUE(Task10::makeTrigger(trigger, r));
    EXPECT_EQ(std::tie(r.wEndYear, r.wEndMonth, r.wEndDay, r.rgFlags), std::make_tuple(0, 0, 0, 0u));
}

class Task10Service : public kv::test::Connected<kv::test::TaskScheduler10Test, kv::Scheduler10> {
protected:
    std::vector<TASK_TRIGGER> storedTriggers(const std::wstring& name) {
        const kv::ComPtr<ITask> item = storedWorkItem(name);
        WORD total = 0;
        item->GetTriggerCount(&total);
        std::vector<TASK_TRIGGER> result(total);
        for (WORD i = 0; i < total; ++i) {
            kv::ComPtr<ITaskTrigger> trigger;
            item->GetTrigger(i, trigger.put());
            result[i].cbTriggerSize = sizeof(TASK_TRIGGER);
            trigger->GetTrigger(&result[i]);
        }
        return result;
    }
};

TEST_F(Task10Service, AnOpenedWorkItemReadsWhatWasStored) {
    const auto task = newTask(L"Texts");
    task->save(L"builder", L"secret");
    task->setCommand(L"C:\\other.exe");
    EXPECT_EQ(task->getAccount(), L"") << "setCommand returns to the system account";
    task->setDescription(L"the updater");
    task->setPriority(TaskPriority::Idle);
    task->setHidden(true);
    task->setEnabled(false);
    task->save(L"builder", L"secret");
    const auto opened = scheduler->getTask(L"Texts");
    EXPECT_EQ(std::make_tuple(opened->getAccount(), opened->getCommand(), opened->getDescription(),
                              opened->getPriority(), opened->getHidden(), opened->getStatus()),
              std::make_tuple(L"builder", L"C:\\other.exe", L"the updater", TaskPriority::Idle, true,
                              TaskStatus::Disabled));
}

TEST_F(Task10Service, StoresTheSignatureWithItsTerminatingNull) {
    const auto task = newTask(L"Signed");
    task->setSignature(L"abc");
    task->save(L"", L"");
    ASSERT_TRUE(scheduler->getTask(L"Signed")->checkSignature(L"abc"));
    // Data the library would never write: no terminator, an odd count, a character where the null belongs.
    for (std::string stored :
         {std::string("a\0b\0c\0", 6), std::string("a\0b\0c\0\0", 7), std::string("a\0b\0c\0d\0", 8)}) {
        const kv::ComPtr<ITask> item = storedWorkItem(L"Signed");
        item->SetWorkItemData(static_cast<WORD>(stored.size()), reinterpret_cast<BYTE*>(&stored[0]));
        kv::ComPtr<IPersistFile> file;
        item.queryInterface(IID_IPersistFile, file);
        ASSERT_EQ(file->Save(nullptr, TRUE), S_OK);
        EXPECT_FALSE(scheduler->getTask(L"Signed")->checkSignature(L"abc")) << stored.size() << " bytes";
    }
    const std::wstring longest(32766, L'x');
    task->setSignature(longest);
    EXPECT_TRUE(task->checkSignature(longest));
    kv::test::expectThrow([&] { task->setSignature(longest + L"x"); }, E_INVALIDARG,
                          L"Scheduler10::Task10::setSignature");
    EXPECT_TRUE(task->checkSignature(longest)) << "the stored signature is unchanged";
}

TEST_F(Task10Service, ReplacesTriggersAndLeavesOutRepeatTriggers) {
    const auto task = newTask(L"Triggers");
    const kv::TimePoint start = kv::test::utcTime(2027, 1, 2, 3, 4, 5);
    const auto starting = [&](auto trigger) {
        trigger->setStart(start);
        return trigger;
    };
    const auto weekly = starting(std::make_shared<kv::WeeklyTrigger>());
    weekly->setWeeksInterval(2);
    weekly->setDays({kv::Monday, kv::Friday});
    const auto repeat = starting(std::make_shared<kv::RepeatTrigger>());
    task->setTriggers({starting(std::make_shared<kv::TimeTrigger>()), repeat,
                       starting(std::make_shared<kv::DailyTrigger>()),
                       std::make_shared<kv::test::OddTrigger>(), weekly});
    task->save(L"", L"");
    std::vector<TASK_TRIGGER> triggers = storedTriggers(L"Triggers");
    ASSERT_EQ(triggers.size(), 3u);
    EXPECT_EQ(std::tie(triggers[0].TriggerType, triggers[1].TriggerType, triggers[2].TriggerType),
              std::make_tuple(TASK_TIME_TRIGGER_ONCE, TASK_TIME_TRIGGER_DAILY, TASK_TIME_TRIGGER_WEEKLY));
    EXPECT_EQ(triggers[1].Type.Daily.DaysInterval, 0) << "written as given";
    EXPECT_EQ(std::tie(triggers[2].Type.Weekly.rgfDaysOfTheWeek, triggers[2].Type.Weekly.WeeksInterval),
              std::make_tuple(0x22, 2));

    task->setTriggers({starting(std::make_shared<kv::RebootTrigger>())});
    task->save(L"", L"");
    triggers = storedTriggers(L"Triggers");
    ASSERT_EQ(triggers.size(), 1u) << "the three old triggers are gone";
    EXPECT_EQ(triggers[0].TriggerType, TASK_EVENT_TRIGGER_AT_SYSTEMSTART);

    // Deleting the trigger made for a skipped record may fail without harm.
    const auto fresh = scheduler->createTask(L"Skipped");
    failNext(L"ITask::DeleteTrigger", E_FAIL);
    fresh->setTriggers({repeat});
    EXPECT_EQ(callCount(L"ITask::DeleteTrigger"), 6u) << "2 skipped, 3 old, 1 skipped";
}

TEST_F(Task10Service, RemoveFolderLeavesTheWorkItems) {
    newTask(L"Stored")->save(L"", L"");
    scheduler->removeFolder();
    EXPECT_EQ(callCount(L"ITaskScheduler::Delete"), 0u);
    EXPECT_EQ(scheduler->getTasks(), std::vector<std::wstring>{L"Stored"});
}

} // namespace
