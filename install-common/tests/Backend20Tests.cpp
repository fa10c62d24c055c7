#include <windows.h>

#include "Doubles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace {

using kv::doubles::callCount;
using kv::test::element;
using kv::test::failNext;
using kv::test::marker;
using Task20 = kv::Scheduler20::Task20;
using kv::TaskPriority;

TEST(Task20FormatInterval, WritesHoursMinutesAndSecondsWithoutDays) {
    const std::pair<kv::Duration, const wchar_t*> rows[] = {
        {6000000000LL, L"PT10M"},   {36600000000LL, L"PT1H1M"},
        {10000000LL, L"PT1S"},      {0, L"PT"},
        {9999999LL, L"PT"},         {48 * 36000000000LL, L"PT48H"},
        {36050000000LL, L"PT1H5S"}, {36615000000LL, L"PT1H1M1S"},
        {6009999999LL, L"PT10M"}};
    for (const auto& [ticks, text] : rows) {
        EXPECT_EQ(Task20::formatInterval(ticks), text) << ticks << " ticks";
    }
}

// Boundary times are local calendar times to the second; compared with the
// Win32 time-zone conversion of the same instants, and written out for the
// test zone 5:45 ahead of UTC.
TEST(Task20FormatBoundaryTimeLocalTime, FollowsTheLocalTimeZoneAndWritesNeverAsAText) {
    EXPECT_EQ(Task20::formatBoundaryTime(kv::NeverTime), L"NEVER");
    const std::pair<kv::TimePoint, const wchar_t*> rows[] = {
        {kv::test::utcTime(2026, 12, 4, 0, 55, 5, 7000000), L"2026-12-04T06:40:05"},
        {kv::test::utcTime(1999, 12, 31, 18, 15, 0), L"2000-01-01T00:00:00"},
        {kv::test::utcTime(2026, 12, 31, 23, 59, 59, 9999999), L"2027-01-01T05:44:59"},
        {kv::test::utcTime(2000, 2, 29, 12, 0, 1), L"2000-02-29T17:45:01"}};
    for (const auto& [time, nepal] : rows) {
        EXPECT_EQ(Task20::formatBoundaryTime(time), kv::test::isoText(kv::test::localTimeOf(time)));
        if (kv::test::inNepalTime()) {
            EXPECT_EQ(Task20::formatBoundaryTime(time), nepal);
        }
    }
}

class Task20Service : public kv::test::Connected<kv::test::TaskScheduler20Test, kv::Scheduler20> {
protected:
    // The stored triggers as "element id start end" lines, read from the task's XML.
    static std::vector<std::wstring> storedTriggers(const std::wstring& name) {
        const std::wstring triggers = element(xmlOf(name), L"Triggers");
        std::vector<std::wstring> result;
        for (std::size_t at = triggers.find(L"Trigger id=\""); at != std::wstring::npos;
             at = triggers.find(L"Trigger id=\"", at + 1)) {
            const std::size_t open = triggers.rfind(L'<', at);
            const std::wstring kind = triggers.substr(open + 1, at + 7 - open - 1);
            const std::wstring body = triggers.substr(at, triggers.find(L"</" + kind + L">", at) - at);
            const std::size_t id = at + 12;
            result.push_back(kind + L" " + triggers.substr(id, triggers.find(L'"', id) - id) + L" " +
                             element(body, L"StartBoundary") + L" " + element(body, L"EndBoundary"));
        }
        return result;
    }
};

TEST_F(Task20Service, AnOpenedTaskReadsTheRegistrationAndEditsAFreshDefinition) {
    kv::test::StartCounter starts;
    const auto task = newTask(L"Edited");
    task->setDescription(L"the updater");
    task->setEnabled(false);
    task->save(L"", L"");
    EXPECT_EQ(element(xmlOf(L"Edited"), L"Description"), L"the updater");
    const auto opened = scheduler->getTask(L"Edited");
    EXPECT_TRUE(opened->getEnabled()) << "the fresh in-memory definition";
    EXPECT_EQ(opened->getStatus(), kv::TaskStatus::Disabled) << "the registration decides";
    opened->setCommand(marker());
    opened->save(L"", L"");
    EXPECT_EQ(element(xmlOf(L"Edited"), L"Command"), marker()) << "an action in the fresh definition";
    EXPECT_EQ(xmlOf(L"Edited").find(L"Description"), std::wstring::npos) << "rebuilt from nothing";
    EXPECT_EQ(opened->getStatus(), kv::TaskStatus::Ready);
    SetEnvironmentVariableW(L"KV_MARKER_SLEEP_MS", L"3000");
    opened->run();
    ASSERT_EQ(starts.waitFor(1), 1u);
    EXPECT_EQ(opened->getStatus(), kv::TaskStatus::Running);
}

TEST_F(Task20Service, StoresPrioritiesAndReadsThemBackInFourBands) {
    const auto task = newTask(L"Prioritised");
    const std::pair<TaskPriority, const wchar_t*> written[] = {{TaskPriority::Realtime, L"0"},
                                                               {TaskPriority::High, L"1"},
                                                               {TaskPriority::Normal, L"4"},
                                                               {TaskPriority::Idle, L"10"}};
    for (const auto& [priority, stored] : written) {
        task->setPriority(priority);
        task->save(L"", L"");
        EXPECT_EQ(element(xmlOf(L"Prioritised"), L"Priority"), stored);
    }
    const std::wstring xml = xmlOf(L"Prioritised");
    const auto storeWith = [&](const std::wstring& priority) {
        std::wstring changed = xml;
        changed.replace(changed.find(L"<Priority>10</Priority>"), 23,
                        L"<Priority>" + priority + L"</Priority>");
        ASSERT_TRUE(kv::doubles::writeTaskScheduler20Xml(L"\\Korvane\\Prioritised", changed));
    };
    const std::pair<const wchar_t*, TaskPriority> rows[] = {
        {L"0", TaskPriority::Realtime}, {L"1", TaskPriority::High},   {L"3", TaskPriority::High},
        {L"4", TaskPriority::Normal},   {L"6", TaskPriority::Normal}, {L"7", TaskPriority::Idle}};
    for (const auto& [stored, priority] : rows) {
        storeWith(stored);
        EXPECT_EQ(scheduler->getTask(L"Prioritised")->getPriority(), priority) << kv::str::wideToUtf8(stored);
    }
    storeWith(L"11");
    const auto opened = scheduler->getTask(L"Prioritised");
    kv::test::expectThrow([&] { opened->getPriority(); }, E_INVALIDARG,
                          L"Scheduler20::Task20::convertPriority");
}

TEST_F(Task20Service, ReplacesEveryTriggerInOrder) {
    const auto task = newTask(L"Triggers");
    const kv::TimePoint start = kv::test::utcTime(2027, 1, 2, 3, 4, 5);
    const kv::TimePoint end = kv::test::utcTime(2027, 6, 7, 8, 9, 10);
    const std::wstring from = kv::test::isoText(kv::test::localTimeOf(start)) + L" ";
    const std::wstring until = kv::test::isoText(kv::test::localTimeOf(end));
    const auto bounded = [&](auto trigger, bool ends) {
        trigger->setStart(start);
        trigger->setEnd(end);
        trigger->setNoEndDate(!ends);
        return trigger;
    };
    const auto daily = bounded(std::make_shared<kv::DailyTrigger>(), true);
    const auto weekly = bounded(std::make_shared<kv::WeeklyTrigger>(), false);
    weekly->setDays({kv::Monday, kv::Friday, static_cast<kv::DayOfWeek>(7)});
    weekly->setWeeksInterval(3);
    task->setTriggers({bounded(std::make_shared<kv::TimeTrigger>(), true), daily, weekly});
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers"),
              (std::vector<std::wstring>{L"TimeTrigger trigger1 " + from,
                                         L"CalendarTrigger trigger2 " + from + until,
                                         L"CalendarTrigger trigger3 " + from}))
        << "a time trigger never ends";
    std::wstring week = element(xmlOf(L"Triggers"), L"DaysOfWeek");
    week.erase(std::remove_if(week.begin(), week.end(), iswspace), week.end());
    EXPECT_EQ(week, L"<Monday/><Friday/>") << "7 is not a day";
    EXPECT_EQ(element(xmlOf(L"Triggers"), L"WeeksInterval"), L"3");
    EXPECT_EQ(callCount(L"IDailyTrigger::put_DaysInterval"), 0u) << "0 is not given";

    daily->setDaysInterval(2);
    task->setTriggers({bounded(std::make_shared<kv::RebootTrigger>(), true), daily});
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers"),
              (std::vector<std::wstring>{L"BootTrigger trigger1 " + from + until,
                                         L"CalendarTrigger trigger2 " + from + until}))
        << "the three old triggers are gone and the ids start again";
    const auto setOdd = [&] { task->setTriggers({daily, std::make_shared<kv::test::OddTrigger>(), daily}); };
    kv::test::expectThrow(setOdd, S_OK, L"Scheduler20::Task20::setTriggers", L"Unknown trigger type");
    task->save(L"", L"");
    EXPECT_EQ(storedTriggers(L"Triggers").size(), 1u) << "an unknown kind ends the list, what was made stays";
}

TEST_F(Task20Service, IgnoresTheResultsItDoesNotNeed) {
    const auto task = newTask(L"Lenient");
    const auto repeat = std::make_shared<kv::RepeatTrigger>();
    repeat->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    repeat->setInterval(6000000000LL);
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
    EXPECT_NE(element(xml, L"ExecutionTimeLimit"), L"P3D") << "the platform's defaults stand";
    EXPECT_EQ(element(xml, L"RunOnlyIfNetworkAvailable"), L"false");
    EXPECT_EQ(element(xml, L"DisallowStartIfOnBatteries"), L"true");
    task->setSignature(L"abc");
    task->save(L"", L"");
    const auto opened = scheduler->getTask(L"Lenient");
    for (const wchar_t* method : {L"IRegisteredTask::get_Definition", L"ITaskDefinition::get_Data"}) {
        failNext(method, E_FAIL);
        EXPECT_FALSE(opened->checkSignature(L"abc")) << "no signature read, no match";
    }
}

TEST_F(Task20Service, AFailedSaveLeavesNoRegistrationInTheObject) {
    const auto task = newTask(L"Unsaved");
    task->save(L"", L"");
    failNext(L"ITaskFolder::RegisterTaskDefinition", E_ACCESSDENIED);
    kv::test::expectThrow([&] { task->save(L"", L""); }, E_ACCESSDENIED, L"Scheduler20::Task20::save");
    task->run();
    EXPECT_EQ(callCount(L"IRegisteredTask::Run"), 0u);
}

constexpr wchar_t ProductSddl[] = L"D:(A;;FA;;;BA)(A;;FA;;;SY)";
const std::wstring NoFolder = L"error " + std::to_wstring(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

class Scheduler20 : public kv::test::TaskScheduler20Test {
protected:
    // The DACL of the product folder as the service holds it, through a connection
    // of the test's own, or the failure of opening it.
    static std::wstring folderSddl() {
        kv::ComPtr<ITaskService> service;
        kv::Variant empty;
        kv::ComPtr<ITaskFolder> folder;
        EXPECT_EQ(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                   service.putVoid()),
                  S_OK);
        EXPECT_EQ(service->Connect(empty.get(), empty.get(), empty.get(), empty.get()), S_OK);
        const HRESULT opened = service->GetFolder(kv::Bstr(L"\\Korvane").get(), folder.put());
        kv::Bstr sddl;
        if (!folder) {
            return L"error " + std::to_wstring(opened);
        }
        EXPECT_EQ(folder->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put()), S_OK);
        return sddl.str();
    }
};

TEST_F(Scheduler20, MakesTheProductFolderWithItsAclOnceAndRemovesIt) {
    EXPECT_EQ(folderSddl(), NoFolder);
    failNext(L"ITaskService::GetFolder", E_ACCESSDENIED);
    { kv::Scheduler20 scheduler; }
    EXPECT_EQ(callCount(L"ITaskFolder::CreateFolder"), 1u) << "a folder that cannot be opened is made";
    EXPECT_EQ(folderSddl(), ProductSddl) << "Administrators and Local System only";
    const unsigned opened = callCount(L"ITaskService::GetFolder");
    kv::Scheduler20 again;
    EXPECT_EQ(callCount(L"ITaskFolder::CreateFolder"), 1u) << "found, not made again";
    EXPECT_EQ(callCount(L"ITaskService::GetFolder"), opened + 1) << "the root stays closed";
    for (const wchar_t* method : {L"ITaskService::GetFolder", L"ITaskFolder::DeleteFolder"}) {
        failNext(method, E_ACCESSDENIED);
        kv::test::expectThrow([&] { again.removeFolder(); }, E_ACCESSDENIED, L"Scheduler20::removeFolder");
    }
    EXPECT_EQ(folderSddl(), ProductSddl);
    again.removeFolder();
    EXPECT_EQ(folderSddl(), NoFolder);
}

TEST_F(Scheduler20, FailsToConnectWhenTheFolderCannotBeMade) {
    const std::pair<const wchar_t*, unsigned> rows[] = {{L"ITaskService::GetFolder", 2},
                                                        {L"ITaskFolder::CreateFolder", 1}};
    for (const auto& [method, call] : rows) {
        SCOPED_TRACE(kv::str::wideToUtf8(method));
        kv::doubles::failCall(method, callCount(method) + call, E_ACCESSDENIED);
        kv::test::expectThrow([] { kv::Scheduler20 scheduler; }, E_ACCESSDENIED,
                              L"Scheduler20::InitializeFolder");
    }
    EXPECT_EQ(folderSddl(), NoFolder);
}

} // namespace
