#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using Task20 = kv::Scheduler20::Task20;
using kv::TaskPriority;
using kv::test::marker;
using kv::test::StartCounter;
using kv::test::TaskScheduler20Test;
namespace doubles = kv::doubles;
constexpr wchar_t Task20File[] = L"install-common/Task20.cpp";
constexpr kv::Duration TenMinutes = 6000000000LL;
constexpr IID WeeklyTriggerId = {
    0x5038FC98, 0x82FF, 0x436D, {0x87, 0x28, 0xA5, 0x12, 0xA5, 0x7C, 0x9D, 0xC1}};
constexpr wchar_t UpdaterPath[] = L"\\Korvane\\Wisp Updater";

TEST(Task20ConvertPriority, WritesOneValuePerPriority) {
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Realtime), 0);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::High), 1);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Normal), 4);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Idle), 10);
}

TEST(Task20ConvertPriority, ReadsEveryPlatformValueBack) {
    const TaskPriority expected[] = {TaskPriority::Realtime, TaskPriority::High,   TaskPriority::High,
                                     TaskPriority::High,     TaskPriority::Normal, TaskPriority::Normal,
                                     TaskPriority::Normal,   TaskPriority::Idle,   TaskPriority::Idle,
                                     TaskPriority::Idle,     TaskPriority::Idle};
    for (int value = 0; value <= 10; ++value) {
        EXPECT_EQ(Task20::convertPriority(value), expected[value]) << "platform priority " << value;
    }
}

TEST(Task20ConvertPriority, RejectsValuesWithoutCounterpart) {
    for (const int value : {-1, 11, 0x7FFFFFFF}) {
        kv::test::expectComException([&] { Task20::convertPriority(value); }, E_INVALIDARG,
                                     L"kv::Scheduler20::Task20::convertPriority", Task20File);
    }
    kv::test::expectComException([] { Task20::convertPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);
}

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

// The inner text of the first element of that name, or nothing when absent.
std::optional<std::wstring> element(const std::wstring& xml, const std::wstring& name) {
    for (std::size_t at = xml.find(L"<" + name); at != std::wstring::npos;
         at = xml.find(L"<" + name, at + 1)) {
        const std::size_t after = at + 1 + name.size();
        if (after < xml.size() && (xml[after] == L'>' || xml[after] == L' ')) {
            const std::size_t open = xml.find(L'>', after);
            const std::size_t close = xml.find(L"</" + name + L">", open);
            if (xml[open - 1] == L'/') {
                return std::wstring();
            }
            return xml.substr(open + 1, close - open - 1);
        }
    }
    return std::nullopt;
}

std::size_t count(const std::wstring& xml, const std::wstring& text) {
    std::size_t result = 0;
    for (std::size_t at = xml.find(text); at != std::wstring::npos; at = xml.find(text, at + 1)) {
        ++result;
    }
    return result;
}

class Task20Service : public TaskScheduler20Test {
protected:
    // The definition the service holds for a task of "\Korvane".
    kv::ComPtr<ITaskDefinition> stored(const std::wstring& name) {
        kv::ComPtr<ITaskDefinition> definition;
        if (const kv::ComPtr<IRegisteredTask> task = storedTask(name)) {
            task->get_Definition(definition.put());
        }
        return definition;
    }
    kv::ComPtr<IPrincipal> storedPrincipal(const std::wstring& name) {
        kv::ComPtr<IPrincipal> principal;
        stored(name)->get_Principal(principal.put());
        return principal;
    }
    // The stored triggers as "id type start end" lines.
    std::vector<std::wstring> storedTriggers(const std::wstring& name) {
        kv::ComPtr<ITriggerCollection> triggers;
        stored(name)->get_Triggers(triggers.put());
        LONG total = 0;
        triggers->get_Count(&total);
        std::vector<std::wstring> result;
        for (LONG i = 1; i <= total; ++i) {
            kv::ComPtr<ITrigger> trigger;
            triggers->get_Item(i, trigger.put());
            kv::Bstr id, start, end;
            TASK_TRIGGER_TYPE2 type = TASK_TRIGGER_EVENT;
            trigger->get_Id(id.put());
            trigger->get_Type(&type);
            trigger->get_StartBoundary(start.put());
            trigger->get_EndBoundary(end.put());
            result.push_back(id.str() + L" " + std::to_wstring(type) + L" " + start.str() + L" " + end.str());
        }
        return result;
    }
    template <class Kind>
    kv::ComPtr<Kind> storedTrigger(const std::wstring& name, LONG index, REFIID iid) {
        kv::ComPtr<ITriggerCollection> triggers;
        stored(name)->get_Triggers(triggers.put());
        kv::ComPtr<ITrigger> trigger;
        triggers->get_Item(index, trigger.put());
        kv::ComPtr<Kind> result;
        trigger.queryInterface(iid, result);
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

class Task20InstallLocalTime : public Task20Service {};

TEST_F(Task20InstallLocalTime, RegistersTheUpdaterTaskAndStartsItOnce) {
    StartCounter starts;
    for (std::size_t install = 1; install <= 2; ++install) {
        SCOPED_TRACE("install " + std::to_string(install));
        const kv::TimePoint before = kv::currentTime();
        kv::test::installUpdaterTask(*kv::createScheduler(), marker());
        const kv::TimePoint after = kv::currentTime();

        const std::wstring xml = doubles::readTaskScheduler20Xml(UpdaterPath);
        ASSERT_FALSE(xml.empty());
        const std::wstring triggers = element(xml, L"Triggers").value_or(L"");
        EXPECT_EQ(count(triggers, L"<TimeTrigger"), 1u);
        EXPECT_EQ(count(triggers, L"Trigger "), 1u) << "no other trigger";
        EXPECT_EQ(count(triggers, L"<TimeTrigger id=\"trigger1\">"), 1u);
        const std::wstring start = element(triggers, L"StartBoundary").value_or(L"");
        EXPECT_GE(start, kv::test::isoText(kv::test::localTimeOf(before + TenMinutes)))
            << "local time, to the second";
        EXPECT_LE(start, kv::test::isoText(kv::test::localTimeOf(after + TenMinutes)));
        EXPECT_EQ(start.size(), 19u);
        EXPECT_EQ(element(element(triggers, L"Repetition").value_or(L""), L"Interval"), L"PT10M");
        EXPECT_FALSE(element(triggers, L"EndBoundary"));

        const std::wstring principal = element(xml, L"Principal").value_or(L"");
        EXPECT_EQ(element(principal, L"GroupId"), L"NT AUTHORITY\\SYSTEM");
        TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
        storedPrincipal(L"Wisp Updater")->get_LogonType(&logon);
        EXPECT_EQ(logon, TASK_LOGON_SERVICE_ACCOUNT);
        EXPECT_EQ(element(element(xml, L"RegistrationInfo").value_or(L""), L"Author"),
                  L"korvane scheduled task");
        const std::wstring settings = element(xml, L"Settings").value_or(L"");
        EXPECT_EQ(element(settings, L"MultipleInstancesPolicy"), L"IgnoreNew");
        EXPECT_EQ(element(settings, L"ExecutionTimeLimit"), L"P3D");
        EXPECT_EQ(element(settings, L"DisallowStartIfOnBatteries"), L"false");
        EXPECT_EQ(element(settings, L"RunOnlyIfNetworkAvailable"), L"true");
        EXPECT_EQ(element(settings, L"Priority"), L"1");
        EXPECT_EQ(count(xml, L"</Exec>"), 1u);
        EXPECT_EQ(element(xml, L"Command"), marker());

        const doubles::TaskScheduler20RegisterCall registration = doubles::lastTaskScheduler20Registration();
        EXPECT_EQ(registration.path, L"Wisp Updater");
        EXPECT_EQ(registration.flags, 0x26) << "create or update, registration triggers ignored";
        EXPECT_EQ(registration.userType, VT_EMPTY);
        EXPECT_EQ(registration.passwordType, VT_EMPTY);
        EXPECT_EQ(registration.logonType, TASK_LOGON_SERVICE_ACCOUNT);
        EXPECT_EQ(registration.sddlType, VT_BSTR);
        EXPECT_EQ(registration.sddl, L"D:(A;;FA;;;BA)(A;;FA;;;SY)");

        kv::Scheduler20 scheduler;
        EXPECT_EQ(scheduler.getTasks(), std::vector<std::wstring>{L"Wisp Updater"}) << "replaced, not added";
        const auto stored = scheduler.getTask(L"Wisp Updater");
        EXPECT_EQ(stored->getPriority(), TaskPriority::High);
        EXPECT_EQ(starts.waitFor(install), install) << "the program started once per install";
    }
    Sleep(300);
    EXPECT_EQ(starts.read(), 2u);
}

TEST_F(Task20Service, SaveWithAnAccountRegistersAPasswordLogon) {
    const auto task = newTask(L"As user");
    task->save(L"builder", L"secret");
    EXPECT_EQ(task->getAccount(), L"builder");
    TASK_LOGON_TYPE logon = TASK_LOGON_NONE;
    kv::Bstr user;
    storedPrincipal(L"As user")->get_LogonType(&logon);
    storedPrincipal(L"As user")->get_UserId(user.put());
    EXPECT_EQ(logon, TASK_LOGON_PASSWORD);
    EXPECT_EQ(user.str(), L"builder");
    const doubles::TaskScheduler20RegisterCall registration = doubles::lastTaskScheduler20Registration();
    EXPECT_EQ(registration.flags, 0x26);
    EXPECT_EQ(registration.userType, VT_BSTR);
    EXPECT_EQ(registration.user, L"builder");
    EXPECT_EQ(registration.passwordType, VT_BSTR);
    EXPECT_EQ(registration.logonType, TASK_LOGON_PASSWORD);

    task->save(L"", L"");
    storedPrincipal(L"As user")->get_LogonType(&logon);
    EXPECT_EQ(logon, TASK_LOGON_SERVICE_ACCOUNT);
    kv::Bstr group;
    storedPrincipal(L"As user")->get_GroupId(group.put());
    EXPECT_EQ(group.str(), L"NT AUTHORITY\\SYSTEM");
    kv::Bstr sddl;
    storedTask(L"As user")->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put());
    EXPECT_EQ(sddl.str(), L"D:(A;;FA;;;BA)(A;;FA;;;SY)");
}

TEST_F(Task20Service, EditsOneExecActionAndReadsTheRegisteredOne) {
    const auto task = newTask(L"Edited");
    EXPECT_EQ(task->getCommand(), marker()) << "unsaved: the in-memory definition";
    task->setCommand(L"C:\\second.exe");
    task->setParameters(L"--quiet");
    task->setDescription(L"the updater");
    task->setSignature(L"abc");
    task->setPriority(TaskPriority::Normal);
    task->save(L"", L"");
    const std::wstring xml = doubles::readTaskScheduler20Xml(L"\\Korvane\\Edited");
    EXPECT_EQ(count(xml, L"</Exec>"), 1u) << "the second setCommand edits the same action";
    EXPECT_EQ(element(xml, L"Command"), L"C:\\second.exe");
    EXPECT_EQ(element(xml, L"Arguments"), L"--quiet");
    EXPECT_EQ(element(element(xml, L"Settings").value_or(L""), L"Priority"), L"4");

    const auto opened = scheduler->getTask(L"Edited");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->getName(), L"Edited");
    EXPECT_EQ(opened->getCommand(), L"C:\\second.exe") << "registered";
    EXPECT_EQ(opened->getParameters(), L"--quiet");
    EXPECT_EQ(opened->getPriority(), TaskPriority::Normal);
    EXPECT_TRUE(opened->checkSignature(L"ABC"));
    EXPECT_TRUE(opened->checkSignature(L"abc"));
    EXPECT_FALSE(opened->checkSignature(L"abcd"));
    EXPECT_EQ(opened->getDescription(), L"") << "the fresh in-memory definition";
    EXPECT_EQ(opened->getAccount(), L"");
}

TEST_F(Task20Service, ChecksSignaturesWithoutCaseForAsciiLettersOnly) {
    const auto task = newTask(L"Signed");
    EXPECT_FALSE(task->checkSignature(L"abc")) << "nothing stored";
    struct Row {
        const wchar_t* stored;
        const wchar_t* given;
        bool equal;
    };
    const Row rows[] = {
        {L"abc", L"ABC", true},  {L"Key-01_z", L"kEY-01_Z", true},
        {L"abc", L"abd", false}, {L"\u00e4", L"\u00c4", false},
        {L"a[", L"A{", false},   {L"abc", L"ab", false},
    };
    for (const Row& row : rows) {
        task->setSignature(row.stored);
        EXPECT_EQ(task->checkSignature(row.given), row.equal) << kv::str::wideToUtf8(row.given);
    }
}

TEST_F(Task20Service, ReadsStoredPrioritiesBack) {
    const auto task = newTask(L"Prioritised");
    task->setPriority(TaskPriority::Normal);
    task->save(L"", L"");
    const std::wstring xml = doubles::readTaskScheduler20Xml(L"\\Korvane\\Prioritised");
    ASSERT_NE(xml.find(L"<Priority>4</Priority>"), std::wstring::npos);
    const auto storeWith = [&](const std::wstring& priority) {
        std::wstring changed = xml;
        changed.replace(changed.find(L"<Priority>4</Priority>"), 22,
                        L"<Priority>" + priority + L"</Priority>");
        ASSERT_TRUE(doubles::writeTaskScheduler20Xml(L"\\Korvane\\Prioritised", changed));
    };
    storeWith(L"5");
    EXPECT_EQ(scheduler->getTask(L"Prioritised")->getPriority(), TaskPriority::Normal);
    storeWith(L"8");
    EXPECT_EQ(scheduler->getTask(L"Prioritised")->getPriority(), TaskPriority::Idle);
    storeWith(L"0");
    EXPECT_EQ(scheduler->getTask(L"Prioritised")->getPriority(), TaskPriority::Realtime);
    storeWith(L"11");
    const auto opened = scheduler->getTask(L"Prioritised");
    kv::test::expectComException([&] { opened->getPriority(); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);

    const unsigned writes = doubles::taskScheduler20CallCount(L"ITaskSettings::put_Priority");
    kv::test::expectComException([&] { task->setPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);
    EXPECT_EQ(doubles::taskScheduler20CallCount(L"ITaskSettings::put_Priority"), writes);
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
    EXPECT_EQ(doubles::taskScheduler20CallCount(L"IRegisteredTask::Run"), 2u)
        << "already running is no failure";
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
    EXPECT_EQ(doubles::taskScheduler20CallCount(L"IDailyTrigger::put_DaysInterval"), 0u) << "0 is not given";
    EXPECT_EQ(storedTriggers(L"Triggers"), (std::vector<std::wstring>{
                                               L"trigger1 1 " + startText + L" ",
                                               L"trigger2 2 " + startText + L" " + endText,
                                               L"trigger3 3 " + startText + L" ",
                                           }))
        << "a time trigger never ends";
    short days = 0;
    short weeks = 0;
    const auto storedWeekly = storedTrigger<IWeeklyTrigger>(L"Triggers", 3, WeeklyTriggerId);
    ASSERT_TRUE(storedWeekly);
    storedWeekly->get_DaysOfWeek(&days);
    storedWeekly->get_WeeksInterval(&weeks);
    EXPECT_EQ(days, 0x22);
    EXPECT_EQ(weeks, 3);

    daily->setDaysInterval(2);
    weekly->setDays({kv::Sunday});
    task->setTriggers({reboot, weekly, daily});
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers"), (std::vector<std::wstring>{
                                               L"trigger1 8 " + startText + L" " + endText,
                                               L"trigger2 3 " + startText + L" ",
                                               L"trigger3 2 " + startText + L" " + endText,
                                           }))
        << "the three old triggers are gone and the ids start again";
    storedTrigger<IWeeklyTrigger>(L"Triggers", 2, WeeklyTriggerId)->get_DaysOfWeek(&days);
    EXPECT_EQ(days, 0x01);
    short interval = 0;
    storedTrigger<IDailyTrigger>(L"Triggers", 3, IID_IDailyTrigger)->get_DaysInterval(&interval);
    EXPECT_EQ(interval, 2);

    task->setTriggers({});
    task->save(L"", L"");
    EXPECT_TRUE(storedTriggers(L"Triggers").empty());

    // Days are always written, an empty list as 0, which the service refuses
    // to register: a weekly schedule needs a day.
    weekly->setDays({});
    const unsigned daysWritten = doubles::taskScheduler20CallCount(L"IWeeklyTrigger::put_DaysOfWeek");
    task->setTriggers({weekly});
    EXPECT_EQ(doubles::taskScheduler20CallCount(L"IWeeklyTrigger::put_DaysOfWeek"), daysWritten + 1);
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
    const std::wstring xml = doubles::readTaskScheduler20Xml(L"\\Korvane\\Lenient");
    EXPECT_FALSE(element(xml, L"Interval"));
    const std::wstring settings = element(xml, L"Settings").value_or(L"");
    EXPECT_NE(element(settings, L"ExecutionTimeLimit"), L"P3D") << "the platform's defaults stand";
    EXPECT_EQ(element(settings, L"RunOnlyIfNetworkAvailable"), L"false");
    EXPECT_EQ(element(settings, L"DisallowStartIfOnBatteries"), L"true");
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
    EXPECT_EQ(doubles::taskScheduler20CallCount(L"IRegisteredTask::Run"), 0u);
    EXPECT_FALSE(doubles::readTaskScheduler20Xml(L"\\Korvane\\Unsaved").empty()) << "the platform keeps it";
}

TEST_F(Task20Service, EveryFailedCallThrowsWithItsOperation) {
    using Act = std::function<void(kv::Task&)>;
    struct Row {
        bool registered; // the task comes from getTask of a stored one
        const wchar_t* method;
        Act act;
        const wchar_t* function;
    };
    const auto trigger = [](auto record) {
        record->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
        record->setEnd(kv::test::utcTime(2027, 2, 2, 3, 4, 5));
        record->setNoEndDate(false);
        return kv::TriggerList{record};
    };
    const auto time = trigger(std::make_shared<kv::TimeTrigger>());
    const auto repeat = trigger(std::make_shared<kv::RepeatTrigger>());
    const auto daily = [&] {
        auto record = std::make_shared<kv::DailyTrigger>();
        record->setDaysInterval(2);
        return trigger(record);
    }();
    const auto weekly = [&] {
        auto record = std::make_shared<kv::WeeklyTrigger>();
        record->setWeeksInterval(2);
        return trigger(record);
    }();
    const auto reboot = trigger(std::make_shared<kv::RebootTrigger>());
    const std::wstring prefix = L"kv::Scheduler20::Task20::";
    const Row rows[] = {
        {false, L"ITaskDefinition::get_RegistrationInfo", [](kv::Task& t) { t.getDescription(); },
         L"getDescription"},
        {false, L"IRegistrationInfo::put_Description", [](kv::Task& t) { t.setDescription(L"d"); },
         L"setDescription"},
        {true, L"IRegisteredTask::get_Definition", [](kv::Task& t) { t.getCommand(); }, L"getAction"},
        {true, L"ITaskDefinition::get_Actions", [](kv::Task& t) { t.getParameters(); }, L"getAction"},
        {true, L"IActionCollection::get_Count", [](kv::Task& t) { t.getCommand(); }, L"getAction"},
        {true, L"IActionCollection::get_Item", [](kv::Task& t) { t.getCommand(); }, L"getAction"},
        {true, L"IActionCollection::Create", [](kv::Task& t) { t.setCommand(L"x"); }, L"getAction"},
        {false, L"IExecAction::put_Path", [](kv::Task& t) { t.setCommand(L"x"); }, L"setCommand"},
        {false, L"IExecAction::put_Arguments", [](kv::Task& t) { t.setParameters(L"x"); }, L"setParameters"},
        {false, L"ITaskDefinition::put_Data", [](kv::Task& t) { t.setSignature(L"x"); }, L"setSignature"},
        {false, L"ITaskDefinition::get_Settings", [](kv::Task& t) { t.getStatus(); }, L"getStatus"},
        {true, L"IRegisteredTask::get_Definition", [](kv::Task& t) { t.getPriority(); }, L"getDefinition"},
        {true, L"ITaskSettings::get_Priority", [](kv::Task& t) { t.getPriority(); }, L"getPriority"},
        {false, L"ITaskDefinition::get_Settings", [](kv::Task& t) { t.setPriority(TaskPriority::Idle); },
         L"setPriority"},
        {false, L"ITaskSettings::put_Priority", [](kv::Task& t) { t.setPriority(TaskPriority::Idle); },
         L"setPriority"},
        {false, L"ITaskDefinition::get_Triggers", [=](kv::Task& t) { t.setTriggers(time); }, L"setTriggers"},
        {false, L"ITriggerCollection::get_Count", [=](kv::Task& t) { t.setTriggers(time); }, L"setTriggers"},
        {true, L"ITriggerCollection::Remove",
         [=](kv::Task& t) {
             t.setTriggers(time);
             t.setTriggers({});
         },
         L"setTriggers"},
        {false, L"ITriggerCollection::Create", [=](kv::Task& t) { t.setTriggers(time); },
         L"createTimeTrigger"},
        {false, L"ITrigger::put_Id", [=](kv::Task& t) { t.setTriggers(time); }, L"createTimeTrigger"},
        {false, L"ITrigger::put_StartBoundary", [=](kv::Task& t) { t.setTriggers(time); },
         L"createTimeTrigger"},
        {false, L"ITriggerCollection::Create", [=](kv::Task& t) { t.setTriggers(repeat); },
         L"createRepeatTrigger"},
        {false, L"ITrigger::put_StartBoundary", [=](kv::Task& t) { t.setTriggers(repeat); },
         L"createRepeatTrigger"},
        {false, L"ITrigger::get_Repetition", [=](kv::Task& t) { t.setTriggers(repeat); },
         L"createRepeatTrigger"},
        {false, L"ITriggerCollection::Create", [=](kv::Task& t) { t.setTriggers(daily); },
         L"createDailyTrigger"},
        {false, L"ITrigger::put_EndBoundary", [=](kv::Task& t) { t.setTriggers(daily); },
         L"createDailyTrigger"},
        {false, L"IDailyTrigger::put_DaysInterval", [=](kv::Task& t) { t.setTriggers(daily); },
         L"createDailyTrigger"},
        {false, L"ITrigger::put_Id", [=](kv::Task& t) { t.setTriggers(weekly); }, L"createWeeklyTrigger"},
        {false, L"ITrigger::put_EndBoundary", [=](kv::Task& t) { t.setTriggers(weekly); },
         L"createWeeklyTrigger"},
        {false, L"IWeeklyTrigger::put_WeeksInterval", [=](kv::Task& t) { t.setTriggers(weekly); },
         L"createWeeklyTrigger"},
        {false, L"IWeeklyTrigger::put_DaysOfWeek", [=](kv::Task& t) { t.setTriggers(weekly); },
         L"createWeeklyTrigger"},
        {false, L"ITriggerCollection::Create", [=](kv::Task& t) { t.setTriggers(reboot); },
         L"createRebootTrigger"},
        {false, L"ITrigger::put_EndBoundary", [=](kv::Task& t) { t.setTriggers(reboot); },
         L"createRebootTrigger"},
        {false, L"ITaskDefinition::get_Settings", [](kv::Task& t) { t.getEnabled(); }, L"getEnabled"},
        {false, L"ITaskSettings::put_Enabled", [](kv::Task& t) { t.setEnabled(false); }, L"setEnabled"},
        {false, L"ITaskDefinition::get_Settings", [](kv::Task& t) { t.getHidden(); }, L"getHidden"},
        {false, L"ITaskSettings::put_Hidden", [](kv::Task& t) { t.setHidden(true); }, L"setHidden"},
        {false, L"ITaskDefinition::get_Principal", [](kv::Task& t) { t.getAccount(); }, L"getAccount"},
        {false, L"IPrincipal::get_LogonType", [](kv::Task& t) { t.getAccount(); }, L"getAccount"},
        {false, L"ITaskDefinition::get_Principal", [](kv::Task& t) { t.setAccount(L"", L""); },
         L"setAccount"},
        {false, L"IPrincipal::put_LogonType", [](kv::Task& t) { t.setAccount(L"", L""); }, L"setAccount"},
        {false, L"IPrincipal::put_GroupId", [](kv::Task& t) { t.setAccount(L"", L""); }, L"setAccount"},
        {false, L"IPrincipal::put_UserId", [](kv::Task& t) { t.setAccount(L"u", L"p"); }, L"setAccount"},
        {false, L"ITaskDefinition::get_RegistrationInfo", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {false, L"IRegistrationInfo::put_Author", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {false, L"ITaskDefinition::get_Principal", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {false, L"IPrincipal::put_LogonType", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {false, L"ITaskDefinition::get_Settings", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {false, L"IPrincipal::put_GroupId", [](kv::Task& t) { t.save(L"", L""); }, L"setAccount"},
        {false, L"ITaskFolder::RegisterTaskDefinition", [](kv::Task& t) { t.save(L"", L""); }, L"save"},
        {true, L"IRegisteredTask::Run", [](kv::Task& t) { t.run(); }, L"run"},
    };
    kv::Scheduler20 scheduler;
    const auto stored = scheduler.createTask(L"Faulty");
    stored->setCommand(marker());
    stored->save(L"", L"");
    for (const Row& row : rows) {
        SCOPED_TRACE(kv::str::wideToUtf8(std::wstring(row.method) + L" in " + row.function));
        const std::shared_ptr<kv::Task> task =
            row.registered ? scheduler.getTask(L"Faulty") : scheduler.createTask(L"Faulty");
        ASSERT_NE(task, nullptr);
        failNext(row.method, SCHED_E_SERVICE_NOT_RUNNING);
        kv::test::expectComException([&] { row.act(*task); }, SCHED_E_SERVICE_NOT_RUNNING,
                                     prefix + row.function, Task20File);
        doubles::clearTaskScheduler20Faults();
    }
}

} // namespace
