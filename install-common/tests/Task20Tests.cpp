#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <functional>

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
        {6000000000LL, L"PT10M"},
        {36000000000LL, L"PT1H"},
        {36600000000LL, L"PT1H1M"},
        {10000000LL, L"PT1S"},
        {0, L"PT"},
        {50000000LL, L"PT5S"},
        {54000000000LL, L"PT1H30M"},
        {25 * 36000000000LL, L"PT25H"},
        {48 * 36000000000LL, L"PT48H"},
        {9999999LL, L"PT"},
        {36050000000LL, L"PT1H5S"},
        {36615000000LL, L"PT1H1M1S"},
        {6000000000LL + 9999999LL, L"PT10M"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Task20::formatInterval(row.ticks), row.text) << row.ticks << " ticks";
    }
}

TEST(Task20FormatBoundaryTime, NeverIsAText) {
    EXPECT_EQ(Task20::formatBoundaryTime(kv::NeverTime), L"NEVER");
}

TEST(Task20FormatBoundaryTime, RejectsTimesTheRunTimeCannotConvert) {
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

TEST_F(Task20Service, SaveWithAnAccountRegistersAPasswordLogon) {
    const auto task = newTask(L"As user");
    task->save(L"builder", L"secret");
    EXPECT_EQ(kv::test::element(xmlOf(L"As user"), L"UserId"), L"builder");
    EXPECT_EQ(kv::test::element(xmlOf(L"As user"), L"LogonType"), L"Password");
    doubles::TaskScheduler20RegisterCall call = doubles::lastTaskScheduler20Registration();
    EXPECT_EQ(call.flags, 0x26);
    EXPECT_EQ(call.userType, VT_BSTR);
    EXPECT_EQ(call.user, L"builder");
    EXPECT_EQ(call.passwordType, VT_BSTR);
    EXPECT_EQ(call.logonType, TASK_LOGON_PASSWORD);

    newTask(L"As user")->save(L"", L"");
    EXPECT_EQ(kv::test::element(xmlOf(L"As user"), L"GroupId"), L"NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(kv::test::element(xmlOf(L"As user"), L"UserId"), L"");
    call = doubles::lastTaskScheduler20Registration();
    EXPECT_EQ(call.userType, VT_EMPTY) << "a service account takes no credentials";
    EXPECT_EQ(call.passwordType, VT_EMPTY);
    EXPECT_EQ(call.logonType, TASK_LOGON_SERVICE_ACCOUNT);
}

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
    task->setPriority(TaskPriority::Normal);
    task->save(L"", L"");
    const std::wstring xml = xmlOf(L"Prioritised");
    ASSERT_NE(xml.find(L"<Priority>4</Priority>"), std::wstring::npos);
    const auto storeWith = [&](const std::wstring& priority) {
        std::wstring changed = xml;
        changed.replace(changed.find(L"<Priority>4</Priority>"), 22,
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

    const unsigned writes = kv::doubles::callCount(L"ITaskSettings::put_Priority");
    kv::test::expectComException([&] { task->setPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);
    EXPECT_EQ(kv::doubles::callCount(L"ITaskSettings::put_Priority"), writes);
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
    task->run();
    EXPECT_EQ(kv::doubles::callCount(L"IRegisteredTask::Run"), 2u) << "already running is no failure";
    Sleep(300);
    EXPECT_EQ(starts.read(), 1u) << "ignore new instances";
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
    kv::test::expectBaseException([&] { task->getTriggers(); }, L"The method is not implemented",
                                  L"kv::Scheduler20::Task20::getTriggers", Task20File);
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

TEST_F(Task20Service, EveryFailedCallThrowsWithItsOperation) {
    const auto records = [](auto record) {
        record->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
        record->setEnd(kv::test::utcTime(2027, 2, 2, 3, 4, 5));
        record->setNoEndDate(false);
        return kv::TriggerList{record};
    };
    const auto daily = std::make_shared<kv::DailyTrigger>();
    daily->setDaysInterval(2);
    const auto weekly = std::make_shared<kv::WeeklyTrigger>();
    weekly->setWeeksInterval(2);
    const kv::TriggerList time = records(std::make_shared<kv::TimeTrigger>()),
                          repeat = records(std::make_shared<kv::RepeatTrigger>()), days = records(daily),
                          weeks = records(weekly), reboot = records(std::make_shared<kv::RebootTrigger>());
    struct Row {
        bool registered; // the task comes from getTask of a stored one
        const wchar_t* function;
        std::function<void(kv::Task&)> act;
        std::vector<const wchar_t*> methods; // each failing alone
    };
    const Row rows[] = {
        {false,
         L"getDescription",
         [](kv::Task& t) { t.getDescription(); },
         {L"ITaskDefinition::get_RegistrationInfo"}},
        {false,
         L"setDescription",
         [](kv::Task& t) { t.setDescription(L"d"); },
         {L"IRegistrationInfo::put_Description"}},
        {true,
         L"getAction",
         [](kv::Task& t) { t.getCommand(); },
         {L"IRegisteredTask::get_Definition", L"IActionCollection::get_Count",
          L"IActionCollection::get_Item"}},
        {true, L"getAction", [](kv::Task& t) { t.getParameters(); }, {L"ITaskDefinition::get_Actions"}},
        {true, L"getAction", [](kv::Task& t) { t.setCommand(L"x"); }, {L"IActionCollection::Create"}},
        {false, L"setCommand", [](kv::Task& t) { t.setCommand(L"x"); }, {L"IExecAction::put_Path"}},
        {false,
         L"setParameters",
         [](kv::Task& t) { t.setParameters(L"x"); },
         {L"IExecAction::put_Arguments"}},
        {false, L"setSignature", [](kv::Task& t) { t.setSignature(L"x"); }, {L"ITaskDefinition::put_Data"}},
        {false, L"getStatus", [](kv::Task& t) { t.getStatus(); }, {L"ITaskDefinition::get_Settings"}},
        {true, L"getDefinition", [](kv::Task& t) { t.getPriority(); }, {L"IRegisteredTask::get_Definition"}},
        {true, L"getPriority", [](kv::Task& t) { t.getPriority(); }, {L"ITaskSettings::get_Priority"}},
        {false,
         L"setPriority",
         [](kv::Task& t) { t.setPriority(TaskPriority::Idle); },
         {L"ITaskDefinition::get_Settings", L"ITaskSettings::put_Priority"}},
        {false,
         L"setTriggers",
         [=](kv::Task& t) { t.setTriggers(time); },
         {L"ITaskDefinition::get_Triggers", L"ITriggerCollection::get_Count"}},
        {true,
         L"setTriggers",
         [=](kv::Task& t) { t.setTriggers(time), t.setTriggers({}); },
         {L"ITriggerCollection::Remove"}},
        {false,
         L"createTimeTrigger",
         [=](kv::Task& t) { t.setTriggers(time); },
         {L"ITriggerCollection::Create", L"ITrigger::put_Id", L"ITrigger::put_StartBoundary"}},
        {false,
         L"createRepeatTrigger",
         [=](kv::Task& t) { t.setTriggers(repeat); },
         {L"ITriggerCollection::Create", L"ITrigger::put_StartBoundary", L"ITrigger::get_Repetition"}},
        {false,
         L"createDailyTrigger",
         [=](kv::Task& t) { t.setTriggers(days); },
         {L"ITriggerCollection::Create", L"ITrigger::put_EndBoundary", L"IDailyTrigger::put_DaysInterval"}},
        {false,
         L"createWeeklyTrigger",
         [=](kv::Task& t) { t.setTriggers(weeks); },
         {L"ITrigger::put_Id", L"ITrigger::put_EndBoundary", L"IWeeklyTrigger::put_WeeksInterval",
          L"IWeeklyTrigger::put_DaysOfWeek"}},
        {false,
         L"createRebootTrigger",
         [=](kv::Task& t) { t.setTriggers(reboot); },
         {L"ITriggerCollection::Create", L"ITrigger::put_EndBoundary"}},
        {false, L"getEnabled", [](kv::Task& t) { t.getEnabled(); }, {L"ITaskDefinition::get_Settings"}},
        {false, L"setEnabled", [](kv::Task& t) { t.setEnabled(false); }, {L"ITaskSettings::put_Enabled"}},
        {false, L"getHidden", [](kv::Task& t) { t.getHidden(); }, {L"ITaskDefinition::get_Settings"}},
        {false, L"setHidden", [](kv::Task& t) { t.setHidden(true); }, {L"ITaskSettings::put_Hidden"}},
        {false,
         L"getAccount",
         [](kv::Task& t) { t.getAccount(); },
         {L"ITaskDefinition::get_Principal", L"IPrincipal::get_LogonType"}},
        {false,
         L"setAccount",
         [](kv::Task& t) { t.setAccount(L"", L""); },
         {L"ITaskDefinition::get_Principal", L"IPrincipal::put_LogonType", L"IPrincipal::put_GroupId"}},
        {false, L"setAccount", [](kv::Task& t) { t.setAccount(L"u", L"p"); }, {L"IPrincipal::put_UserId"}},
        {false, L"setAccount", [](kv::Task& t) { t.save(L"", L""); }, {L"IPrincipal::put_GroupId"}},
        {false,
         L"save",
         [](kv::Task& t) { t.save(L"", L""); },
         {L"ITaskDefinition::get_RegistrationInfo", L"IRegistrationInfo::put_Author",
          L"ITaskDefinition::get_Principal", L"IPrincipal::put_LogonType", L"ITaskDefinition::get_Settings",
          L"ITaskFolder::RegisterTaskDefinition"}},
        {true, L"run", [](kv::Task& t) { t.run(); }, {L"IRegisteredTask::Run"}},
    };
    kv::Scheduler20 scheduler;
    const auto stored = scheduler.createTask(L"Faulty");
    stored->setCommand(marker());
    stored->save(L"", L"");
    for (const Row& row : rows) {
        for (const wchar_t* method : row.methods) {
            SCOPED_TRACE(kv::str::wideToUtf8(std::wstring(method) + L" in " + row.function));
            const auto task = row.registered ? scheduler.getTask(L"Faulty") : scheduler.createTask(L"Faulty");
            failNext(method, SCHED_E_SERVICE_NOT_RUNNING);
            kv::test::expectComException([&] { row.act(*task); }, SCHED_E_SERVICE_NOT_RUNNING,
                                         std::wstring(L"kv::Scheduler20::Task20::") + row.function,
                                         Task20File);
            kv::doubles::clearFaults();
        }
    }
}

} // namespace
