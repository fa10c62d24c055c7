#include <windows.h>

#include "install-common/Scheduler10.h"
#include "Expect.h"

#include <gtest/gtest.h>

namespace {

using Task10 = kv::Scheduler10::Task10;
using kv::TaskPriority;
using kv::TaskStatus;
constexpr wchar_t Task10File[] = L"install-common/Task10.cpp";

TEST(Task10ConvertPriority, MapsPrioritiesToPriorityClassesAndBack) {
    const struct {
        TaskPriority priority;
        DWORD priorityClass;
    } rows[] = {{TaskPriority::Realtime, REALTIME_PRIORITY_CLASS},
                {TaskPriority::High, HIGH_PRIORITY_CLASS},
                {TaskPriority::Normal, NORMAL_PRIORITY_CLASS},
                {TaskPriority::Idle, IDLE_PRIORITY_CLASS}};
    for (const auto& row : rows) {
        EXPECT_EQ(Task10::convertPriority(row.priority), row.priorityClass);
        EXPECT_EQ(Task10::convertPriority(row.priorityClass), row.priority);
    }
}

TEST(Task10ConvertPriority, RejectsValuesWithoutCounterpart) {
    for (const DWORD priorityClass : {DWORD{0}, DWORD{BELOW_NORMAL_PRIORITY_CLASS}, DWORD{0x81}}) {
        kv::test::expectComException([&] { Task10::convertPriority(priorityClass); }, E_INVALIDARG,
                                     L"kv::Scheduler10::Task10::convertPriority", Task10File);
    }
    kv::test::expectComException([] { Task10::convertPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                                 L"kv::Scheduler10::Task10::convertPriority", Task10File);
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

TEST(Task10MakeTrigger, FillsTheKindSpecificPart) {
    TASK_TRIGGER result;
    kv::TimeTrigger once;
    ASSERT_TRUE(Task10::makeTrigger(once, result));
    EXPECT_EQ(result.cbTriggerSize, 48);
    EXPECT_EQ(result.TriggerType, TASK_TIME_TRIGGER_ONCE);

    kv::DailyTrigger daily;
    ASSERT_TRUE(Task10::makeTrigger(daily, result));
    EXPECT_EQ(result.TriggerType, TASK_TIME_TRIGGER_DAILY);
    EXPECT_EQ(result.Type.Daily.DaysInterval, 0) << "written even when not given";
    daily.setDaysInterval(3);
    ASSERT_TRUE(Task10::makeTrigger(daily, result));
    EXPECT_EQ(result.Type.Daily.DaysInterval, 3);

    kv::WeeklyTrigger weekly;
    weekly.setWeeksInterval(2);
    weekly.setDays({kv::Monday, kv::Friday, static_cast<kv::DayOfWeek>(7)});
    ASSERT_TRUE(Task10::makeTrigger(weekly, result));
    EXPECT_EQ(result.TriggerType, TASK_TIME_TRIGGER_WEEKLY);
    EXPECT_EQ(result.Type.Weekly.WeeksInterval, 2);
    EXPECT_EQ(result.Type.Weekly.rgfDaysOfTheWeek, 0x22);

    kv::RebootTrigger reboot;
    ASSERT_TRUE(Task10::makeTrigger(reboot, result));
    EXPECT_EQ(result.TriggerType, TASK_EVENT_TRIGGER_AT_SYSTEMSTART);
    EXPECT_EQ(result.MinutesDuration, 0u);
    EXPECT_EQ(result.MinutesInterval, 0u);
    EXPECT_EQ(result.wRandomMinutesInterval, 0);
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

} // namespace
