#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

namespace {

using kv::test::failNext;

using Task20 = kv::Scheduler20::Task20;
using kv::TaskPriority;
using kv::test::marker;
using kv::test::StartCounter;
using kv::test::TaskScheduler20Test;
namespace doubles = kv::doubles;
constexpr wchar_t Task20File[] = L"install-common/Task20.cpp";
constexpr kv::Duration TenMinutes = 6000000000LL;

TEST(Task20FormatInterval, WritesHoursMinutesAndSecondsWithoutDays) {
    struct Row {
        kv::Duration ticks;
        const wchar_t* text;
    };
    const Row rows[] = {
        {6000000000LL, L"PT10M"},   {36600000000LL, L"PT1H1M"},
        {10000000LL, L"PT1S"},      {0, L"PT"},
        {9999999LL, L"PT"},         {48 * 36000000000LL, L"PT48H"},
        {36050000000LL, L"PT1H5S"}, {36615000000LL, L"PT1H1M1S"},
        {6009999999LL, L"PT10M"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Task20::formatInterval(row.ticks), row.text) << row.ticks << " ticks";
    }
}

TEST(Task20FormatBoundaryTime, NeverIsATextAndUnconvertibleTimesAreRefused) {
    EXPECT_EQ(Task20::formatBoundaryTime(kv::NeverTime), L"NEVER");
    for (const kv::TimePoint time : {kv::test::utcTime(1960, 1, 1, 0, 0, 0),
                                     kv::test::utcTime(3001, 6, 1, 0, 0, 0), kv::NeverTime - 1}) {
        kv::test::expectComException([&] { Task20::formatBoundaryTime(time); }, E_INVALIDARG,
                                     L"kv::Scheduler20::Task20::formatBoundaryTime", Task20File);
    }
}

// Boundary times are local calendar times to the second; compared with the
// Win32 time-zone conversion of the same instants.
TEST(Task20FormatBoundaryTimeLocalTime, FollowsTheLocalTimeZone) {
    const kv::TimePoint times[] = {
        kv::test::utcTime(2026, 12, 4, 0, 55, 5, 7000000),
        kv::test::utcTime(2026, 12, 31, 23, 59, 59, 9999999), kv::test::utcTime(2027, 7, 15, 18, 20, 0),
        kv::test::utcTime(2000, 2, 29, 12, 0, 1), kv::test::utcTime(1999, 12, 31, 18, 14, 59)};
    for (const kv::TimePoint time : times) {
        EXPECT_EQ(Task20::formatBoundaryTime(time), kv::test::isoText(kv::test::localTimeOf(time)));
    }
}

TEST(Task20FormatBoundaryTimeLocalTime, NepalTimeIsFiveHoursFortyFiveAhead) {
    if (!kv::test::inNepalTime()) {
        GTEST_SKIP() << "runs under TZ=NPT-5:45";
    }
    // 00:55:05.7 UTC is 06:40:05.7 in Nepal; the fraction is dropped.
    EXPECT_EQ(Task20::formatBoundaryTime(kv::test::utcTime(2026, 12, 4, 0, 55, 5, 7000000)),
              L"2026-12-04T06:40:05");
    // 18:14:59 UTC on New Year's Eve is already the next year.
    EXPECT_EQ(Task20::formatBoundaryTime(kv::test::utcTime(1999, 12, 31, 18, 15, 0)), L"2000-01-01T00:00:00");
}

class Task20Service : public TaskScheduler20Test {
protected:
    static std::wstring xmlOf(const std::wstring& name) {
        return doubles::readTaskScheduler20Xml(L"\\Korvane\\" + name);
    }
    // The stored triggers as "element id start end" lines, read from the task's XML.
    static std::vector<std::wstring> storedTriggers(const std::wstring& name) {
        const std::wstring triggers = kv::test::element(xmlOf(name), L"Triggers");
        std::vector<std::wstring> result;
        for (std::size_t at = triggers.find(L"Trigger id=\""); at != std::wstring::npos;
             at = triggers.find(L"Trigger id=\"", at + 1)) {
            const std::size_t open = triggers.rfind(L'<', at);
            const std::wstring kind = triggers.substr(open + 1, at + 7 - open - 1);
            const std::size_t close = triggers.find(L"</" + kind + L">", at);
            const std::wstring body = triggers.substr(at, close - at);
            const std::size_t id = at + 12;
            result.push_back(kind + L" " + triggers.substr(id, triggers.find(L'"', id) - id) + L" " +
                             kv::test::element(body, L"StartBoundary") + L" " +
                             kv::test::element(body, L"EndBoundary"));
        }
        return result;
    }
    std::shared_ptr<kv::Task> newTask(const std::wstring& name) {
        scheduler = std::make_shared<kv::Scheduler20>();
        const auto task = scheduler->createTask(name);
        task->setCommand(marker());
        return task;
    }
    void TearDown() override {
        scheduler.reset();
        TaskScheduler20Test::TearDown();
    }

    std::shared_ptr<kv::IScheduler> scheduler;
};

TEST_F(Task20Service, AnOpenedTaskReadsTheRegistrationAndEditsAFreshDefinition) {
    const auto task = newTask(L"Edited");
    task->setDescription(L"the updater");
    task->save(L"", L"");
    EXPECT_EQ(kv::test::element(xmlOf(L"Edited"), L"Description"), L"the updater");
    const auto opened = scheduler->getTask(L"Edited");
    EXPECT_EQ(opened->getCommand(), marker()) << "registered";
    EXPECT_EQ(opened->getDescription(), L"") << "the fresh in-memory definition";
    opened->setCommand(L"C:\\other.exe");
    opened->save(L"", L"");
    const std::wstring xml = xmlOf(L"Edited");
    EXPECT_EQ(kv::test::element(xml, L"Command"), L"C:\\other.exe");
    EXPECT_EQ(xml.find(L"Description"), std::wstring::npos) << "rebuilt from nothing";
}

TEST_F(Task20Service, ReadsStoredPrioritiesBack) {
    const auto task = newTask(L"Prioritised");
    task->setPriority(TaskPriority::Idle);
    task->save(L"", L"");
    const std::wstring xml = xmlOf(L"Prioritised");
    ASSERT_NE(xml.find(L"<Priority>10</Priority>"), std::wstring::npos) << "the lowest";
    const auto storeWith = [&](const std::wstring& priority) {
        std::wstring changed = xml;
        changed.replace(changed.find(L"<Priority>10</Priority>"), 23,
                        L"<Priority>" + priority + L"</Priority>");
        ASSERT_TRUE(doubles::writeTaskScheduler20Xml(L"\\Korvane\\Prioritised", changed));
    };
    // The platform's 0 to 10 read back in four bands, at each band's edges.
    const std::pair<const wchar_t*, TaskPriority> rows[] = {
        {L"0", TaskPriority::Realtime}, {L"1", TaskPriority::High},   {L"3", TaskPriority::High},
        {L"4", TaskPriority::Normal},   {L"6", TaskPriority::Normal}, {L"7", TaskPriority::Idle},
        {L"10", TaskPriority::Idle}};
    for (const auto& [stored, priority] : rows) {
        storeWith(stored);
        EXPECT_EQ(scheduler->getTask(L"Prioritised")->getPriority(), priority) << kv::str::wideToUtf8(stored);
    }
    storeWith(L"11");
    const auto opened = scheduler->getTask(L"Prioritised");
    kv::test::expectComException([&] { opened->getPriority(); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);
}

TEST_F(Task20Service, StatusFollowsTheSettingsAndTheRegistration) {
    StartCounter starts;
    const auto task = newTask(L"Status");
    EXPECT_EQ(task->getStatus(), kv::TaskStatus::Ready);
    EXPECT_TRUE(task->getEnabled());
    EXPECT_FALSE(task->getHidden());
    task->setEnabled(false);
    task->setHidden(true);
    EXPECT_EQ(task->getStatus(), kv::TaskStatus::Disabled);
    EXPECT_FALSE(task->getEnabled());
    EXPECT_TRUE(task->getHidden());
    task->save(L"", L"");
    const auto opened = scheduler->getTask(L"Status");
    EXPECT_TRUE(opened->getEnabled()) << "the fresh definition";
    EXPECT_EQ(opened->getStatus(), kv::TaskStatus::Disabled) << "the registration decides";

    task->setEnabled(true);
    task->save(L"", L"");
    EXPECT_EQ(task->getStatus(), kv::TaskStatus::Ready);
    SetEnvironmentVariableW(L"KV_MARKER_SLEEP_MS", L"3000");
    task->run();
    ASSERT_EQ(starts.waitFor(1), 1u);
    EXPECT_EQ(task->getStatus(), kv::TaskStatus::Running);
}

TEST_F(Task20Service, ReplacesEveryTriggerInOrder) {
    const auto task = newTask(L"Triggers");
    const kv::TimePoint start = kv::test::utcTime(2027, 1, 2, 3, 4, 5);
    const kv::TimePoint end = kv::test::utcTime(2027, 6, 7, 8, 9, 10);
    const std::wstring startText = Task20::formatBoundaryTime(start);
    const std::wstring endText = Task20::formatBoundaryTime(end);

    const auto time = std::make_shared<kv::TimeTrigger>();
    time->setStart(start);
    time->setEnd(end);
    time->setNoEndDate(false);
    const auto daily = std::make_shared<kv::DailyTrigger>();
    daily->setStart(start);
    daily->setEnd(end);
    daily->setNoEndDate(false);
    const auto weekly = std::make_shared<kv::WeeklyTrigger>();
    weekly->setStart(start);
    weekly->setDays({kv::Monday, kv::Friday, static_cast<kv::DayOfWeek>(7)});
    weekly->setWeeksInterval(3);
    const auto reboot = std::make_shared<kv::RebootTrigger>();
    reboot->setStart(start);
    reboot->setEnd(end);
    reboot->setNoEndDate(false);
    task->setTriggers({time, daily, weekly});
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers"), (std::vector<std::wstring>{
                                               L"TimeTrigger trigger1 " + startText + L" ",
                                               L"CalendarTrigger trigger2 " + startText + L" " + endText,
                                               L"CalendarTrigger trigger3 " + startText + L" ",
                                           }))
        << "a time trigger never ends";
    std::wstring xml = xmlOf(L"Triggers");
    EXPECT_EQ(kv::doubles::callCount(L"IDailyTrigger::put_DaysInterval"), 0u) << "0 is not given";
    const std::wstring week = kv::test::element(xml, L"DaysOfWeek");
    EXPECT_EQ(kv::test::occurrences(week, L"<"), 2u) << kv::str::wideToUtf8(week);
    EXPECT_EQ(kv::test::occurrences(week, L"<Monday"), 1u);
    EXPECT_EQ(kv::test::occurrences(week, L"<Friday"), 1u);
    EXPECT_EQ(kv::test::element(xml, L"WeeksInterval"), L"3");

    daily->setDaysInterval(2);
    weekly->setDays({kv::Sunday});
    task->setTriggers({reboot, weekly, daily});
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers"), (std::vector<std::wstring>{
                                               L"BootTrigger trigger1 " + startText + L" " + endText,
                                               L"CalendarTrigger trigger2 " + startText + L" ",
                                               L"CalendarTrigger trigger3 " + startText + L" " + endText,
                                           }))
        << "the three old triggers are gone and the ids start again";
    xml = xmlOf(L"Triggers");
    EXPECT_EQ(kv::test::occurrences(kv::test::element(xml, L"DaysOfWeek"), L"<"), 1u);
    EXPECT_EQ(kv::test::occurrences(kv::test::element(xml, L"DaysOfWeek"), L"<Sunday"), 1u);
    EXPECT_EQ(kv::test::element(xml, L"DaysInterval"), L"2");

    task->setTriggers({});
    task->save(L"", L"");
    EXPECT_TRUE(storedTriggers(L"Triggers").empty());
}

TEST_F(Task20Service, AnUnknownTriggerTypeStopsAfterTheRecordsBeforeIt) {
    struct Odd : kv::Trigger {
        Odd() : Trigger(static_cast<kv::TriggerType>(5)) {}
    };
    const auto task = newTask(L"Odd");
    const auto time = std::make_shared<kv::TimeTrigger>();
    time->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    kv::test::expectBaseException(
        [&] {
            task->setTriggers({time, std::make_shared<Odd>(), time});
        },
        L"Unknown trigger type", L"kv::Scheduler20::Task20::setTriggers", Task20File);
    kv::test::expectComException(
        [&] {
            task->setTriggers({time, nullptr});
        },
        E_POINTER, L"kv::Scheduler20::Task20::setTriggers", Task20File);
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Odd").size(), 1u) << "what was made before stays";
}

TEST_F(Task20Service, IgnoresTheResultsItDoesNotNeed) {
    const auto task = newTask(L"Lenient");
    const auto repeat = std::make_shared<kv::RepeatTrigger>();
    repeat->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    repeat->setInterval(TenMinutes);
    failNext(L"IRepetitionPattern::put_Interval", E_INVALIDARG);
    task->setTriggers({repeat});
    for (const wchar_t* method :
         {L"ITaskSettings::put_MultipleInstances", L"ITaskSettings::put_ExecutionTimeLimit",
          L"ITaskSettings::put_DisallowStartIfOnBatteries",
          L"ITaskSettings::put_RunOnlyIfNetworkAvailable"}) {
        failNext(method, E_INVALIDARG);
    }
    task->save(L"", L"");
    const std::wstring xml = xmlOf(L"Lenient");
    EXPECT_EQ(xml.find(L"<Interval>"), std::wstring::npos);
    EXPECT_NE(kv::test::element(xml, L"ExecutionTimeLimit"), L"P3D") << "the platform's defaults stand";
    EXPECT_EQ(kv::test::element(xml, L"RunOnlyIfNetworkAvailable"), L"false");
    EXPECT_EQ(kv::test::element(xml, L"DisallowStartIfOnBatteries"), L"true");
    failNext(L"ITaskSettings::get_Enabled", E_FAIL);
    EXPECT_FALSE(task->getEnabled()) << "an unread value is false";
    failNext(L"IRegisteredTask::get_State", E_FAIL);
    failNext(L"ITaskSettings::get_Enabled", E_FAIL);
    EXPECT_EQ(task->getStatus(), kv::TaskStatus::Disabled);
    failNext(L"IRegistrationInfo::get_Description", E_FAIL);
    EXPECT_EQ(task->getDescription(), L"");
    task->setSignature(L"abc");
    task->save(L"", L"");
    const auto opened = scheduler->getTask(L"Lenient");
    EXPECT_TRUE(opened->checkSignature(L"abc"));
    failNext(L"IRegisteredTask::get_Definition", E_FAIL);
    EXPECT_FALSE(opened->checkSignature(L"abc")) << "no definition, no signature";
    failNext(L"ITaskDefinition::get_Data", E_FAIL);
    EXPECT_FALSE(opened->checkSignature(L"abc"));
}

TEST_F(Task20Service, AFailedSaveLeavesNoRegistrationInTheObject) {
    const auto task = newTask(L"Unsaved");
    task->save(L"", L"");
    failNext(L"ITaskFolder::RegisterTaskDefinition", E_ACCESSDENIED);
    kv::test::expectComException([&] { task->save(L"", L""); }, E_ACCESSDENIED,
                                 L"kv::Scheduler20::Task20::save", Task20File);
    task->run();
    EXPECT_EQ(kv::doubles::callCount(L"IRegisteredTask::Run"), 0u);
    EXPECT_FALSE(doubles::readTaskScheduler20Xml(L"\\Korvane\\Unsaved").empty()) << "the platform keeps it";
}

} // namespace
