#include <windows.h>

#include "install-common/Scheduler10.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using kv::test::failNext;

using Task10 = kv::Scheduler10::Task10;
using kv::TaskPriority;
using kv::TaskStatus;
using kv::test::marker;
using kv::test::StartCounter;
using kv::test::TaskScheduler10Test;
namespace ts10 = kv::doubles::ts10;
constexpr wchar_t Task10File[] = L"install-common/Task10.cpp";

TEST(Task10ConvertPriority, RejectsValuesWithoutCounterpart) {
    for (const DWORD priorityClass : {DWORD{0}, DWORD{BELOW_NORMAL_PRIORITY_CLASS}, DWORD{0x81}}) {
        kv::test::expectComException([&] { Task10::convertPriority(priorityClass); }, E_INVALIDARG,
                                     L"kv::Scheduler10::Task10::convertPriority", Task10File);
    }
}

TEST(Task10ConvertStatus, MapsEveryStatusCode) {
    const struct {
        HRESULT code;
        TaskStatus status;
    } rows[] = {{SCHED_S_TASK_READY, TaskStatus::Ready},
                {SCHED_S_TASK_RUNNING, TaskStatus::Running},
                {SCHED_S_TASK_DISABLED, TaskStatus::Disabled},
                {SCHED_S_TASK_HAS_NOT_RUN, TaskStatus::HasNotRun},
                {SCHED_S_TASK_NO_MORE_RUNS, TaskStatus::NoMoreRuns},
                {SCHED_S_TASK_NOT_SCHEDULED, TaskStatus::NotScheduled},
                {SCHED_S_TASK_NO_VALID_TRIGGERS, TaskStatus::NoValidTriggers}};
    for (const auto& row : rows) {
        EXPECT_EQ(Task10::convertStatus(row.code), row.status) << std::hex << row.code;
    }
    for (const HRESULT code : {SCHED_S_TASK_TERMINATED, S_OK, HRESULT{0x00041308}, E_FAIL}) {
        kv::test::expectComException([&] { Task10::convertStatus(code); }, E_INVALIDARG,
                                     L"kv::Scheduler10::Task10::convertStatus", Task10File);
    }
}

TEST(Task10MakeTrigger, LeavesOutKindsThePlatformCannotHold) {
    struct Odd : kv::Trigger {
        Odd() : Trigger(static_cast<kv::TriggerType>(5)) {}
    };
    TASK_TRIGGER result;
    kv::RepeatTrigger repeat;
    repeat.setInterval(6000000000LL);
    EXPECT_FALSE(Task10::makeTrigger(repeat, result));
    EXPECT_FALSE(Task10::makeTrigger(Odd(), result));
}

TEST(Task10MakeTrigger, RejectsIntervalsBeyondSixteenBits) {
    TASK_TRIGGER result;
    kv::DailyTrigger daily;
    daily.setDaysInterval(0x10001);
    kv::test::expectComException([&] { Task10::makeTrigger(daily, result); }, E_INVALIDARG,
                                 L"kv::Scheduler10::Task10::setTriggers", Task10File);
}

TEST(Task10MakeTrigger, RejectsTimesTheRunTimeCannotConvert) {
    TASK_TRIGGER result;
    for (const kv::TimePoint time : {kv::test::utcTime(1960, 1, 1, 0, 0, 0), kv::NeverTime - 1}) {
        kv::TimeTrigger start;
        start.setStart(time);
        kv::TimeTrigger end;
        end.setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
        end.setEnd(time);
        end.setNoEndDate(false);
        for (const kv::TimeTrigger* trigger : {&start, &end}) {
            kv::test::expectComException([&] { Task10::makeTrigger(*trigger, result); }, E_INVALIDARG,
                                         L"kv::Scheduler10::Task10::setTriggers", Task10File);
        }
    }
}

TEST(Task10MakeTriggerLocalTime, BeginsAndEndsInLocalTimeToTheMinute) {
    const kv::TimePoint start = kv::test::utcTime(2026, 12, 31, 20, 14, 59, 5000000);
    const kv::TimePoint end = kv::test::utcTime(2027, 3, 1, 23, 30, 0);
    kv::TimeTrigger trigger;
    trigger.setStart(start);
    trigger.setEnd(end);
    trigger.setNoEndDate(false);
    TASK_TRIGGER result;
    ASSERT_TRUE(Task10::makeTrigger(trigger, result));
    const SYSTEMTIME begin = kv::test::localTimeOf(start);
    EXPECT_EQ(result.wBeginYear, begin.wYear);
    EXPECT_EQ(result.wBeginMonth, begin.wMonth);
    EXPECT_EQ(result.wBeginDay, begin.wDay);
    EXPECT_EQ(result.wStartHour, begin.wHour);
    EXPECT_EQ(result.wStartMinute, begin.wMinute);
    const SYSTEMTIME last = kv::test::localTimeOf(end);
    EXPECT_EQ(result.wEndYear, last.wYear);
    EXPECT_EQ(result.wEndMonth, last.wMonth);
    EXPECT_EQ(result.wEndDay, last.wDay);
    EXPECT_EQ(result.rgFlags, DWORD{TASK_TRIGGER_FLAG_HAS_END_DATE});
    if (kv::test::inNepalTime()) {
        // 20:14 UTC on New Year's Eve is 02:00 on New Year's Day in Nepal.
        EXPECT_EQ(result.wBeginYear, 2027);
        EXPECT_EQ(result.wBeginDay, 1);
        EXPECT_EQ(result.wStartHour, 1);
        EXPECT_EQ(result.wStartMinute, 59);
        EXPECT_EQ(result.wEndMonth, 3);
        EXPECT_EQ(result.wEndDay, 2);
    }

    trigger.setNoEndDate(true);
    ASSERT_TRUE(Task10::makeTrigger(trigger, result));
    EXPECT_EQ(result.rgFlags, 0u);
    EXPECT_EQ(result.wEndYear, 0);
    EXPECT_EQ(result.wEndMonth, 0);
    EXPECT_EQ(result.wEndDay, 0);
}

class Task10Service : public TaskScheduler10Test {
protected:
    std::vector<TASK_TRIGGER> storedTriggers(const std::wstring& name) {
        const kv::ComPtr<ITask> item = storedWorkItem(name);
        WORD total = 0;
        item->GetTriggerCount(&total);
        std::vector<TASK_TRIGGER> result;
        for (WORD i = 0; i < total; ++i) {
            kv::ComPtr<ITaskTrigger> trigger;
            item->GetTrigger(i, trigger.put());
            TASK_TRIGGER settings = {};
            settings.cbTriggerSize = sizeof(settings);
            trigger->GetTrigger(&settings);
            result.push_back(settings);
        }
        return result;
    }
    std::shared_ptr<kv::Task> newTask(const std::wstring& name) {
        scheduler = std::make_shared<kv::Scheduler10>();
        const auto task = scheduler->createTask(name);
        task->setCommand(marker());
        return task;
    }
    void TearDown() override {
        scheduler.reset();
        TaskScheduler10Test::TearDown();
    }
    std::shared_ptr<kv::IScheduler> scheduler;
};

TEST_F(Task10Service, SetCommandReturnsToTheSystemAccount) {
    const auto task = newTask(L"Account");
    task->save(L"builder", L"secret");
    EXPECT_EQ(task->getAccount(), L"builder");
    task->setCommand(L"C:\\other.exe");
    EXPECT_EQ(task->getAccount(), L"");
    task->save(L"builder", L"secret");
    EXPECT_EQ(scheduler->getTask(L"Account")->getAccount(), L"builder");
    EXPECT_EQ(scheduler->getTask(L"Account")->getCommand(), L"C:\\other.exe");
}

TEST_F(Task10Service, KeepsTextsFlagsAndPriority) {
    const auto task = newTask(L"Texts");
    task->setDescription(L"the updater");
    task->setPriority(TaskPriority::Idle);
    task->setHidden(true);
    task->setEnabled(false);
    EXPECT_TRUE(task->getHidden());
    EXPECT_FALSE(task->getEnabled());
    task->save(L"", L"");
    DWORD flags = 0;
    storedWorkItem(L"Texts")->GetFlags(&flags);
    EXPECT_EQ(flags & (TASK_FLAG_HIDDEN | TASK_FLAG_DISABLED), DWORD{TASK_FLAG_HIDDEN | TASK_FLAG_DISABLED});

    const auto opened = scheduler->getTask(L"Texts");
    EXPECT_EQ(opened->getDescription(), L"the updater");
    EXPECT_EQ(opened->getPriority(), TaskPriority::Idle);
    EXPECT_EQ(opened->getStatus(), TaskStatus::Disabled);
    opened->setEnabled(true);
    opened->setHidden(false);
    EXPECT_TRUE(opened->getEnabled());
    EXPECT_FALSE(opened->getHidden());
}

TEST_F(Task10Service, StoresTheSignatureWithItsTerminatingNull) {
    const auto task = newTask(L"Signed");
    task->setSignature(L"abc");
    task->save(L"", L"");
    WORD bytes = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(storedWorkItem(L"Signed")->GetWorkItemData(&bytes, &data), S_OK);
    EXPECT_EQ(bytes, 8) << "three characters and the null, two bytes each";
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data), 4), std::wstring(L"abc\0", 4));
    CoTaskMemFree(data);

    // Data the library would never write: no terminator, an odd count.
    struct Row {
        std::string bytes;
        const char* why;
    };
    const Row rows[] = {{std::string("a\0b\0c\0", 6), "no terminating null"},
                        {std::string("a\0b\0c\0\0", 7), "an odd byte count"},
                        {std::string("a\0b\0c\0d\0", 8), "a character where the null belongs"}};
    for (const Row& row : rows) {
        const kv::ComPtr<ITask> item = storedWorkItem(L"Signed");
        std::string copy = row.bytes;
        item->SetWorkItemData(static_cast<WORD>(copy.size()), reinterpret_cast<BYTE*>(&copy[0]));
        kv::ComPtr<IPersistFile> file;
        item.queryInterface(IID_IPersistFile, file);
        ASSERT_EQ(file->Save(nullptr, TRUE), S_OK);
        EXPECT_FALSE(scheduler->getTask(L"Signed")->checkSignature(L"abc")) << row.why;
    }

    const std::wstring longest(32766, L'x');
    task->setSignature(longest);
    EXPECT_TRUE(task->checkSignature(longest));
    kv::test::expectComException([&] { task->setSignature(longest + L"x"); }, E_INVALIDARG,
                                 L"kv::Scheduler10::Task10::setSignature", Task10File);
    EXPECT_FALSE(task->checkSignature(longest + L"x"));
    EXPECT_TRUE(task->checkSignature(longest)) << "the stored signature is unchanged";
}

TEST_F(Task10Service, ReportsEveryStatusButTerminated) {
    const auto task = newTask(L"Status");
    task->save(L"", L"");
    const struct {
        HRESULT code;
        TaskStatus status;
    } rows[] = {{SCHED_S_TASK_READY, TaskStatus::Ready},
                {SCHED_S_TASK_NOT_SCHEDULED, TaskStatus::NotScheduled},
                {SCHED_S_TASK_NO_MORE_RUNS, TaskStatus::NoMoreRuns}};
    for (const auto& row : rows) {
        ASSERT_EQ(ts10::forceStatus(store.path(), L"Status", row.code), S_OK);
        EXPECT_EQ(scheduler->getTask(L"Status")->getStatus(), row.status);
    }
    ASSERT_EQ(ts10::forceStatus(store.path(), L"Status", SCHED_S_TASK_TERMINATED), S_OK);
    const auto terminated = scheduler->getTask(L"Status");
    kv::test::expectComException([&] { terminated->getStatus(); }, E_INVALIDARG,
                                 L"kv::Scheduler10::Task10::convertStatus", Task10File);
}

TEST_F(Task10Service, ReplacesTriggersAndLeavesOutRepeatTriggers) {
    struct Odd : kv::Trigger {
        Odd() : Trigger(static_cast<kv::TriggerType>(5)) {}
    };
    const auto task = newTask(L"Triggers");
    const kv::TimePoint start = kv::test::utcTime(2027, 1, 2, 3, 4, 5);
    const auto once = std::make_shared<kv::TimeTrigger>();
    once->setStart(start);
    const auto daily = std::make_shared<kv::DailyTrigger>();
    daily->setStart(start);
    const auto weekly = std::make_shared<kv::WeeklyTrigger>();
    weekly->setStart(start);
    weekly->setWeeksInterval(2);
    weekly->setDays({kv::Monday, kv::Friday});
    const auto repeat = std::make_shared<kv::RepeatTrigger>();
    repeat->setStart(start);
    repeat->setInterval(6000000000LL);
    const auto reboot = std::make_shared<kv::RebootTrigger>();
    reboot->setStart(start);

    task->setTriggers({once, repeat, daily, std::make_shared<Odd>(), weekly});
    task->save(L"", L"");
    std::vector<TASK_TRIGGER> triggers = storedTriggers(L"Triggers");
    ASSERT_EQ(triggers.size(), 3u);
    EXPECT_EQ(triggers[0].TriggerType, TASK_TIME_TRIGGER_ONCE);
    EXPECT_EQ(triggers[1].TriggerType, TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(triggers[1].Type.Daily.DaysInterval, 0) << "written as given";
    EXPECT_EQ(triggers[2].TriggerType, TASK_TIME_TRIGGER_WEEKLY);
    EXPECT_EQ(triggers[2].Type.Weekly.rgfDaysOfTheWeek, 0x22);
    EXPECT_EQ(triggers[2].Type.Weekly.WeeksInterval, 2);
    const SYSTEMTIME local = kv::test::localTimeOf(start);
    EXPECT_EQ(triggers[0].wBeginDay, local.wDay);
    EXPECT_EQ(triggers[0].wStartHour, local.wHour);
    EXPECT_EQ(triggers[0].wStartMinute, local.wMinute);

    task->setTriggers({reboot});
    task->save(L"", L"");
    triggers = storedTriggers(L"Triggers");
    ASSERT_EQ(triggers.size(), 1u) << "the three old triggers are gone";
    EXPECT_EQ(triggers[0].TriggerType, TASK_EVENT_TRIGGER_AT_SYSTEMSTART);

    // Deleting the trigger made for a skipped record may fail without harm.
    const auto fresh = scheduler->createTask(L"Skipped");
    failNext(L"ITask::DeleteTrigger", E_FAIL);
    fresh->setTriggers({repeat});
    EXPECT_EQ(kv::doubles::callCount(L"ITask::DeleteTrigger"), 6u) << "2 skipped, 3 old, 1 skipped";
    kv::test::expectComException([&] { fresh->setTriggers({nullptr}); }, E_POINTER,
                                 L"kv::Scheduler10::Task10::setTriggers", Task10File);
}

TEST_F(Task10Service, EveryFailedCallThrowsWithItsOperation) {
    const auto once = std::make_shared<kv::TimeTrigger>();
    once->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    const kv::TriggerList triggers{once};
    struct Row {
        const wchar_t* function;
        std::function<void(kv::Task&)> act;
        std::vector<const wchar_t*> methods; // each failing alone
    };
    const Row rows[] = {
        {L"getDescription", [](kv::Task& t) { t.getDescription(); }, {L"ITask::GetComment"}},
        {L"setDescription", [](kv::Task& t) { t.setDescription(L"d"); }, {L"ITask::SetComment"}},
        {L"getCommand", [](kv::Task& t) { t.getCommand(); }, {L"ITask::GetApplicationName"}},
        {L"setCommand", [](kv::Task& t) { t.setCommand(L"c"); }, {L"ITask::SetApplicationName"}},
        {L"getParameters", [](kv::Task& t) { t.getParameters(); }, {L"ITask::GetParameters"}},
        {L"setParameters", [](kv::Task& t) { t.setParameters(L"p"); }, {L"ITask::SetParameters"}},
        {L"setSignature", [](kv::Task& t) { t.setSignature(L"s"); }, {L"ITask::SetWorkItemData"}},
        {L"getStatus", [](kv::Task& t) { t.getStatus(); }, {L"ITask::GetStatus"}},
        {L"getPriority", [](kv::Task& t) { t.getPriority(); }, {L"ITask::GetPriority"}},
        {L"setPriority", [](kv::Task& t) { t.setPriority(TaskPriority::High); }, {L"ITask::SetPriority"}},
        {L"setTriggers",
         [=](kv::Task& t) { t.setTriggers(triggers); },
         {L"ITask::GetTriggerCount", L"ITask::DeleteTrigger", L"ITask::CreateTrigger",
          L"ITaskTrigger::SetTrigger"}},
        {L"getEnabled", [](kv::Task& t) { t.getEnabled(); }, {L"ITask::GetFlags"}},
        {L"setEnabled", [](kv::Task& t) { t.setEnabled(false); }, {L"ITask::GetFlags", L"ITask::SetFlags"}},
        {L"getHidden", [](kv::Task& t) { t.getHidden(); }, {L"ITask::GetFlags"}},
        {L"setHidden", [](kv::Task& t) { t.setHidden(true); }, {L"ITask::GetFlags", L"ITask::SetFlags"}},
        {L"getAccount", [](kv::Task& t) { t.getAccount(); }, {L"ITask::GetAccountInformation"}},
        {L"setAccount", [](kv::Task& t) { t.setAccount(L"u", L"p"); }, {L"ITask::SetAccountInformation"}},
        {L"setAccount", [](kv::Task& t) { t.setCommand(L"c"); }, {L"ITask::SetAccountInformation"}},
        {L"setAccount", [](kv::Task& t) { t.save(L"", L""); }, {L"ITask::SetAccountInformation"}},
        {L"save", [](kv::Task& t) { t.save(L"", L""); }, {L"IPersistFile::Save"}},
        {L"run", [](kv::Task& t) { t.run(); }, {L"ITask::Run"}},
    };
    kv::Scheduler10 scheduler;
    const auto stored = scheduler.createTask(L"Faulty");
    stored->setCommand(marker());
    stored->setTriggers(triggers);
    stored->save(L"", L"");
    for (const Row& row : rows) {
        for (const wchar_t* method : row.methods) {
            SCOPED_TRACE(kv::str::wideToUtf8(std::wstring(method) + L" in " + row.function));
            const std::shared_ptr<kv::Task> task = scheduler.getTask(L"Faulty");
            failNext(method, E_ACCESSDENIED);
            kv::test::expectComException([&] { row.act(*task); }, E_ACCESSDENIED,
                                         std::wstring(L"kv::Scheduler10::Task10::") + row.function,
                                         Task10File);
            kv::doubles::clearFaults();
        }
    }
}

} // namespace
