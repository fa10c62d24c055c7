// The kv::IScheduler / kv::Task contract, once for both backends. Each backend
// adapter names its platform calls and reads back what only its store shows.
#include <windows.h>

#include "Doubles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

namespace {

using kv::TaskPriority;
namespace doubles = kv::doubles;

// The platform calls whose failure ends an act, by the function text it reports.
struct FailureRow {
    const wchar_t* act;
    const wchar_t* function; // below the scheduler class: "getTasks", "Task20::save"
    const wchar_t* methods;  // "Interface::Method" names, separated by spaces
};

struct Backend20 : kv::test::Connected<kv::test::TaskScheduler20Test, kv::Scheduler20> {
    static inline const std::wstring SchedulerName = L"Scheduler20::";
    static inline const std::wstring TaskName = L"Scheduler20::Task20::";
    static constexpr const wchar_t* OpenCall = L"ITaskFolder::GetTask";
    static constexpr const wchar_t* RunCall = L"IRegisteredTask::Run";
    static constexpr const wchar_t* SaveCall = L"ITaskFolder::RegisterTaskDefinition";
    // The interval fields are 16-bit and signed; each kind of trigger refuses its own.
    static constexpr std::uint32_t WidestInterval = 0x7FFF;
    static constexpr const wchar_t* TimeRefusedBy = L"formatBoundaryTime";
    static constexpr const wchar_t* DailyRefusedBy = L"createDailyTrigger";
    static constexpr const wchar_t* WeeklyRefusedBy = L"createWeeklyTrigger";
    static bool stored(const std::wstring& name) { return !xmlOf(name).empty(); }
    // The updater task as the 2.0 service holds it: every setting the library fixes.
    static void expectUpdaterTask(const std::wstring& program) {
        const std::wstring xml = xmlOf(L"Wisp Updater");
        const std::wstring triggers = kv::test::element(xml, L"Triggers");
        EXPECT_EQ(triggers.find(L"Trigger "), triggers.rfind(L"Trigger ")) << "one trigger";
        EXPECT_NE(triggers.find(L"<TimeTrigger id=\"trigger1\">"), std::wstring::npos);
        EXPECT_EQ(xml.find(L"</Exec>"), xml.rfind(L"</Exec>")) << "one action";
        EXPECT_EQ(kv::test::element(triggers, L"Interval"), L"PT10M");
        EXPECT_EQ(kv::test::element(xml, L"GroupId"), L"NT AUTHORITY\\SYSTEM");
        EXPECT_EQ(kv::test::element(xml, L"Author"), L"korvane scheduled task");
        EXPECT_EQ(kv::test::element(xml, L"MultipleInstancesPolicy"), L"IgnoreNew");
        EXPECT_EQ(kv::test::element(xml, L"ExecutionTimeLimit"), L"P3D");
        EXPECT_EQ(kv::test::element(xml, L"DisallowStartIfOnBatteries"), L"false");
        EXPECT_EQ(kv::test::element(xml, L"RunOnlyIfNetworkAvailable"), L"true");
        EXPECT_EQ(kv::test::element(xml, L"Priority"), L"1");
        EXPECT_EQ(kv::test::element(xml, L"Command"), program);
        // Create or update (6), registration triggers ignored (0x20), as the service account.
        const doubles::TaskScheduler20RegisterCall call = doubles::lastTaskScheduler20Registration();
        EXPECT_EQ(std::tie(call.path, call.flags, call.userType, call.passwordType, call.logonType,
                           call.sddlType, call.sddl),
                  std::make_tuple(L"Wisp Updater", 0x26, VT_EMPTY, VT_EMPTY, TASK_LOGON_SERVICE_ACCOUNT,
                                  VT_BSTR, L"D:(A;;FA;;;BA)(A;;FA;;;SY)"));
    }
    // Scheduler operations (connect, list, open, create), then those of its tasks.
    static std::vector<FailureRow> failures() {
        return {
            {L"connect", L"Scheduler20", L"ITaskService::Connect"},
            {L"list", L"getTasks",
             L"ITaskFolder::GetTasks IRegisteredTaskCollection::get_Count "
             L"IRegisteredTaskCollection::get_Item IRegisteredTask::get_Name"},
            {L"open", L"getTask", L"ITaskFolder::GetTask ITaskService::NewTask"},
            {L"create", L"createTask", L"ITaskService::NewTask"},
            {L"getDescription", L"Task20::getDescription", L"ITaskDefinition::get_RegistrationInfo"},
            {L"setDescription", L"Task20::setDescription", L"IRegistrationInfo::put_Description"},
            {L"getCommand", L"Task20::getAction",
             L"IRegisteredTask::get_Definition IActionCollection::get_Count IActionCollection::get_Item"},
            {L"getParameters", L"Task20::getAction", L"ITaskDefinition::get_Actions"},
            {L"setCommand", L"Task20::getAction", L"IActionCollection::Create"},
            {L"setCommand", L"Task20::setCommand", L"IExecAction::put_Path"},
            {L"setParameters", L"Task20::setParameters", L"IExecAction::put_Arguments"},
            {L"setSignature", L"Task20::setSignature", L"ITaskDefinition::put_Data"},
            {L"getStatus", L"Task20::getStatus", L"ITaskDefinition::get_Settings"},
            {L"getPriority", L"Task20::getDefinition", L"IRegisteredTask::get_Definition"},
            {L"getPriority", L"Task20::getPriority", L"ITaskSettings::get_Priority"},
            {L"setPriority", L"Task20::setPriority",
             L"ITaskDefinition::get_Settings ITaskSettings::put_Priority"},
            {L"setTriggers", L"Task20::setTriggers",
             L"ITaskDefinition::get_Triggers ITriggerCollection::get_Count"},
            {L"retrigger", L"Task20::setTriggers", L"ITriggerCollection::Remove"},
            {L"setTriggers", L"Task20::createTimeTrigger", L"ITriggerCollection::Create ITrigger::put_Id"},
            {L"repeat", L"Task20::createRepeatTrigger",
             L"ITrigger::put_StartBoundary ITrigger::get_Repetition"},
            {L"daily", L"Task20::createDailyTrigger",
             L"ITrigger::put_EndBoundary IDailyTrigger::put_DaysInterval"},
            {L"weekly", L"Task20::createWeeklyTrigger",
             L"IWeeklyTrigger::put_WeeksInterval IWeeklyTrigger::put_DaysOfWeek"},
            {L"reboot", L"Task20::createRebootTrigger", L"ITriggerCollection::Create"},
            {L"getEnabled", L"Task20::getEnabled", L"ITaskDefinition::get_Settings"},
            {L"setEnabled", L"Task20::setEnabled", L"ITaskSettings::put_Enabled"},
            {L"getHidden", L"Task20::getHidden", L"ITaskDefinition::get_Settings"},
            {L"setHidden", L"Task20::setHidden", L"ITaskSettings::put_Hidden"},
            {L"getAccount", L"Task20::getAccount",
             L"ITaskDefinition::get_Principal IPrincipal::get_LogonType"},
            {L"setSystemAccount", L"Task20::setAccount",
             L"ITaskDefinition::get_Principal IPrincipal::put_LogonType IPrincipal::put_GroupId"},
            {L"setAccount", L"Task20::setAccount", L"IPrincipal::put_UserId"},
            {L"save", L"Task20::save",
             L"ITaskDefinition::get_RegistrationInfo IRegistrationInfo::put_Author "
             L"ITaskDefinition::get_Principal IPrincipal::put_LogonType ITaskDefinition::get_Settings "
             L"ITaskFolder::RegisterTaskDefinition"},
            {L"run", L"Task20::run", L"IRegisteredTask::Run"},
        };
    }
};

struct Backend10 : kv::test::Connected<kv::test::TaskScheduler10Test, kv::Scheduler10> {
    static inline const std::wstring SchedulerName = L"Scheduler10::";
    static inline const std::wstring TaskName = L"Scheduler10::Task10::";
    static constexpr const wchar_t* OpenCall = L"ITaskScheduler::Activate";
    static constexpr const wchar_t* RunCall = L"ITask::Run";
    static constexpr const wchar_t* SaveCall = L"IPersistFile::Save";
    // Unsigned 16-bit interval fields; setTriggers refuses what does not fit.
    static constexpr std::uint32_t WidestInterval = 0xFFFF;
    static constexpr const wchar_t* TimeRefusedBy = L"setTriggers";
    static constexpr const wchar_t* DailyRefusedBy = L"setTriggers";
    static constexpr const wchar_t* WeeklyRefusedBy = L"setTriggers";
    bool stored(const std::wstring& name) const {
        return GetFileAttributesW(doubles::ts10::jobFilePath(store.path(), name).c_str()) !=
               INVALID_FILE_ATTRIBUTES;
    }
    // The updater's work item: no trigger (no repeat triggers before 2.0), high
    // priority class, the local system account.
    static void expectUpdaterTask(const std::wstring& program) {
        const kv::ComPtr<ITask> item = storedWorkItem(L"Wisp Updater");
        WORD triggers = 1;
        DWORD priority = 0;
        LPWSTR account = nullptr, application = nullptr;
        item->GetTriggerCount(&triggers);
        item->GetPriority(&priority);
        ASSERT_EQ(item->GetAccountInformation(&account), S_OK);
        ASSERT_EQ(item->GetApplicationName(&application), S_OK);
        EXPECT_EQ(triggers, 0);
        EXPECT_EQ(priority, 0x80u) << "HIGH_PRIORITY_CLASS";
        EXPECT_STREQ(account, L"");
        EXPECT_EQ(application, program);
        CoTaskMemFree(account);
        CoTaskMemFree(application);
    }
    static std::vector<FailureRow> failures() {
        return {
            {L"connect", L"Scheduler10", L"IClassFactory::CreateInstance"},
            {L"list", L"getTasks", L"ITaskScheduler::Enum IEnumWorkItems::Next"},
            {L"open", L"getTask", L"ITaskScheduler::Activate"},
            {L"create", L"createTask", L"ITaskScheduler::NewWorkItem"},
            {L"getDescription", L"Task10::getDescription", L"ITask::GetComment"},
            {L"setDescription", L"Task10::setDescription", L"ITask::SetComment"},
            {L"getCommand", L"Task10::getCommand", L"ITask::GetApplicationName"},
            {L"setCommand", L"Task10::setCommand", L"ITask::SetApplicationName"},
            {L"getParameters", L"Task10::getParameters", L"ITask::GetParameters"},
            {L"setParameters", L"Task10::setParameters", L"ITask::SetParameters"},
            {L"setSignature", L"Task10::setSignature", L"ITask::SetWorkItemData"},
            {L"getStatus", L"Task10::getStatus", L"ITask::GetStatus"},
            {L"getPriority", L"Task10::getPriority", L"ITask::GetPriority"},
            {L"setPriority", L"Task10::setPriority", L"ITask::SetPriority"},
            {L"setTriggers", L"Task10::setTriggers",
             L"ITask::GetTriggerCount ITask::DeleteTrigger ITask::CreateTrigger ITaskTrigger::SetTrigger"},
            {L"getEnabled", L"Task10::getEnabled", L"ITask::GetFlags"},
            {L"setEnabled", L"Task10::setEnabled", L"ITask::GetFlags ITask::SetFlags"},
            {L"getHidden", L"Task10::getHidden", L"ITask::GetFlags"},
            {L"setHidden", L"Task10::setHidden", L"ITask::SetFlags"},
            {L"getAccount", L"Task10::getAccount", L"ITask::GetAccountInformation"},
            {L"setAccount", L"Task10::setAccount", L"ITask::SetAccountInformation"},
            {L"setCommand", L"Task10::setAccount", L"ITask::SetAccountInformation"},
            {L"save", L"Task10::save", L"IPersistFile::Save"},
            {L"run", L"Task10::run", L"ITask::Run"},
        };
    }
};

template <class Backend>
class Contract : public Backend {
protected:
    std::shared_ptr<kv::Task> savedTask(const std::wstring& name) {
        const auto task = this->newTask(name);
        task->save(L"", L"");
        return task;
    }
    // One call of each operation, for the failure tables of the backends.
    void act(kv::Task& task, const std::wstring& name) {
        const auto record = [](auto trigger) {
            trigger->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
            trigger->setEnd(kv::test::utcTime(2027, 2, 2, 3, 4, 5));
            trigger->setNoEndDate(false);
            return kv::TriggerList{trigger};
        };
        const auto daily = std::make_shared<kv::DailyTrigger>();
        daily->setDaysInterval(2);
        const auto weekly = std::make_shared<kv::WeeklyTrigger>();
        weekly->setWeeksInterval(2);
        const std::map<std::wstring, std::function<void()>> calls = {
            {L"connect", [&] { Backend::connect(); }},
            {L"list", [&] { scheduler->getTasks(); }},
            {L"open", [&] { scheduler->getTask(task.getName()); }},
            {L"create", [&] { scheduler->createTask(L"New"); }},
            {L"getDescription", [&] { task.getDescription(); }},
            {L"setDescription", [&] { task.setDescription(L"d"); }},
            {L"getCommand", [&] { task.getCommand(); }},
            {L"setCommand", [&] { task.setCommand(L"c"); }},
            {L"getParameters", [&] { task.getParameters(); }},
            {L"setParameters", [&] { task.setParameters(L"p"); }},
            {L"setSignature", [&] { task.setSignature(L"s"); }},
            {L"getStatus", [&] { task.getStatus(); }},
            {L"getPriority", [&] { task.getPriority(); }},
            {L"setPriority", [&] { task.setPriority(TaskPriority::Idle); }},
            {L"setTriggers", [&] { task.setTriggers(record(std::make_shared<kv::TimeTrigger>())); }},
            {L"retrigger",
             [&] { task.setTriggers(record(std::make_shared<kv::TimeTrigger>())), task.setTriggers({}); }},
            {L"repeat", [&] { task.setTriggers(record(std::make_shared<kv::RepeatTrigger>())); }},
            {L"daily", [&] { task.setTriggers(record(daily)); }},
            {L"weekly", [&] { task.setTriggers(record(weekly)); }},
            {L"reboot", [&] { task.setTriggers(record(std::make_shared<kv::RebootTrigger>())); }},
            {L"getEnabled", [&] { task.getEnabled(); }},
            {L"setEnabled", [&] { task.setEnabled(false); }},
            {L"getHidden", [&] { task.getHidden(); }},
            {L"setHidden", [&] { task.setHidden(true); }},
            {L"getAccount", [&] { task.getAccount(); }},
            {L"setSystemAccount", [&] { task.setAccount(L"", L""); }},
            {L"setAccount", [&] { task.setAccount(L"u", L"p"); }},
            {L"save", [&] { task.save(L"", L""); }},
            {L"run", [&] { task.run(); }}};
        calls.at(name)();
    }
    using Backend::scheduler;
};

using Backends = ::testing::Types<Backend20, Backend10>;
TYPED_TEST_SUITE(Contract, Backends, );

// What the installer does: open or create the updater's task, run the program
// every ten minutes from ten minutes on as the local system account, start it now.
TYPED_TEST(Contract, InstallsTheUpdaterTaskAndStartsItOncePerInstall) {
    kv::test::StartCounter starts;
    for (std::size_t install = 1; install <= 2; ++install) {
        SCOPED_TRACE("install " + std::to_string(install));
        std::shared_ptr<kv::Task> task = this->scheduler->getTask(L"Wisp Updater");
        if (!task) {
            task = this->scheduler->createTask(L"Wisp Updater");
        }
        task->setCommand(kv::test::marker());
        task->setPriority(TaskPriority::High);
        const auto trigger = std::make_shared<kv::RepeatTrigger>();
        trigger->setNoEndDate(true);
        trigger->setStart(kv::currentTime() + 6000000000LL);
        trigger->setInterval(6000000000LL);
        task->setTriggers({trigger});
        task->save(L"", L"");
        task->run();
        this->expectUpdaterTask(kv::test::marker());
        EXPECT_EQ(this->scheduler->getTasks(), std::vector<std::wstring>{L"Wisp Updater"}) << "replaced";
        EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater")->getPriority(), TaskPriority::High);
        EXPECT_EQ(starts.waitFor(install), install);
    }
    Sleep(300);
    EXPECT_EQ(starts.read(), 2u) << "started once per install, nothing more";
}

// Nothing is stored before save; a task keeps working after its scheduler is gone.
TYPED_TEST(Contract, StoresSavedTasksOnlyAndListsOpensAndRemovesThem) {
    kv::test::StartCounter starts;
    EXPECT_TRUE(this->scheduler->getTasks().empty());
    EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater"), nullptr);
    const auto task = this->newTask(L"Wisp Updater");
    EXPECT_EQ(task->getName(), L"Wisp Updater");
    task->run();
    EXPECT_FALSE(this->stored(L"Wisp Updater")) << "createTask stores nothing";
    EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater"), nullptr);
    kv::test::expectThrow([&] { this->scheduler->removeTask(L"Wisp Updater"); },
                          HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), TypeParam::SchedulerName + L"removeTask");
    task->save(L"", L"");
    const auto orphan = this->scheduler->createTask(L"A");
    this->scheduler = TypeParam::connect();
    orphan->setCommand(L"C:\\windows\\system32\\cmd.exe");
    orphan->save(L"", L"");
    std::vector<std::wstring> names = this->scheduler->getTasks();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"Wisp Updater"}));
    this->scheduler->removeTask(L"A");
    EXPECT_FALSE(this->stored(L"A"));
    EXPECT_EQ(this->scheduler->getTask(L"A"), nullptr);
    EXPECT_EQ(this->scheduler->getTasks(), std::vector<std::wstring>{L"Wisp Updater"});
    Sleep(300);
    EXPECT_EQ(starts.read(), 0u) << "an unsaved task does not run";
}

TYPED_TEST(Contract, ReadsTheStoredTaskBack) {
    const auto task = this->scheduler->createTask(L"Edited");
    task->setCommand(L"C:\\first.exe");
    task->setCommand(L"C:\\a&b <c> \"d\" \u00e9.exe");
    task->setParameters(L"--quiet ]]> <!--");
    task->setPriority(TaskPriority::Normal);
    task->setSignature(L"abc");
    EXPECT_EQ(task->getCommand(), L"C:\\a&b <c> \"d\" \u00e9.exe") << "unsaved, read from memory";
    task->save(L"", L"");
    const auto opened = this->scheduler->getTask(L"Edited");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(std::make_tuple(opened->getName(), opened->getCommand(), opened->getParameters(),
                              opened->getPriority(), opened->checkSignature(L"ABC"), opened->getAccount()),
              std::make_tuple(L"Edited", L"C:\\a&b <c> \"d\" \u00e9.exe", L"--quiet ]]> <!--",
                              TaskPriority::Normal, true, L""))
        << "texts that need escaping";
}

TYPED_TEST(Contract, ChecksSignaturesWithoutCaseForAsciiLettersOnly) {
    const auto task = this->scheduler->createTask(L"Signed");
    EXPECT_FALSE(task->checkSignature(L"abc")) << "nothing stored";
    const std::tuple<const wchar_t*, const wchar_t*, bool> rows[] = {
        {L"abc", L"ABC", true},  {L"Key-01_z", L"kEY-01_Z", true},
        {L"abc", L"abd", false}, {L"\u00e4", L"\u00c4", false},
        {L"a[", L"A{", false},   {L"abc", L"ab", false}};
    for (const auto& [stored, given, equal] : rows) {
        task->setSignature(stored);
        EXPECT_EQ(task->checkSignature(given), equal) << kv::str::wideToUtf8(given);
    }
    EXPECT_FALSE(task->checkSignature(std::wstring(40000, L'a'))) << "longer than a signature can be";
}

TYPED_TEST(Contract, RefusesWhatHasNoCounterpart) {
    const auto task = this->scheduler->createTask(L"Odd");
    kv::test::expectThrow([&] { task->setPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                          TypeParam::TaskName + L"convertPriority");
    kv::test::expectThrow([&] { task->getTriggers(); }, S_OK, TypeParam::TaskName + L"getTriggers",
                          L"The method is not implemented");
    kv::test::expectThrow([&] { task->setTriggers({nullptr}); }, E_POINTER,
                          TypeParam::TaskName + L"setTriggers");
}

// Start and end times outside the platform's calendar, intervals wider than its fields.
TYPED_TEST(Contract, RefusesTriggersThePlatformCannotHold) {
    const auto task = this->scheduler->createTask(L"Bounds");
    for (const kv::TimePoint time : {kv::test::utcTime(1960, 1, 1, 0, 0, 0),
                                     kv::test::utcTime(3001, 6, 1, 0, 0, 0), kv::NeverTime - 1}) {
        for (const bool atEnd : {false, true}) {
            const auto daily = std::make_shared<kv::DailyTrigger>();
            daily->setStart(atEnd ? kv::test::utcTime(2027, 1, 2, 3, 4, 5) : time);
            daily->setEnd(time);
            daily->setNoEndDate(!atEnd);
            kv::test::expectThrow([&] { task->setTriggers({daily}); }, E_INVALIDARG,
                                  TypeParam::TaskName + TypeParam::TimeRefusedBy);
        }
    }
    const auto daily = std::make_shared<kv::DailyTrigger>();
    const auto weekly = std::make_shared<kv::WeeklyTrigger>();
    daily->setDaysInterval(TypeParam::WidestInterval);
    weekly->setWeeksInterval(TypeParam::WidestInterval);
    task->setTriggers({daily, weekly});
    daily->setDaysInterval(TypeParam::WidestInterval + 1);
    weekly->setWeeksInterval(TypeParam::WidestInterval + 1);
    kv::test::expectThrow([&] { task->setTriggers({daily}); }, E_INVALIDARG,
                          TypeParam::TaskName + TypeParam::DailyRefusedBy);
    kv::test::expectThrow([&] { task->setTriggers({weekly}); }, E_INVALIDARG,
                          TypeParam::TaskName + TypeParam::WeeklyRefusedBy);
}

TYPED_TEST(Contract, RunningAlreadyAndAMissingTaskAreNoFailuresAndAFailedSaveKeepsTheStoredOne) {
    const auto task = this->savedTask(L"Stored");
    kv::test::failNext(TypeParam::RunCall, static_cast<HRESULT>(0x8004131F));
    task->run();
    kv::test::failNext(TypeParam::RunCall, E_ACCESSDENIED);
    kv::test::expectThrow([&] { task->run(); }, E_ACCESSDENIED, TypeParam::TaskName + L"run");
    kv::test::failNext(TypeParam::OpenCall, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(this->scheduler->getTask(L"Stored"), nullptr) << "file not found means absent";
    kv::test::failNext(TypeParam::SaveCall, E_ACCESSDENIED);
    kv::test::expectThrow([&] { task->save(L"", L""); }, E_ACCESSDENIED, TypeParam::TaskName + L"save");
    EXPECT_TRUE(this->stored(L"Stored")) << "the platform keeps what it had";
}

TYPED_TEST(Contract, EveryFailedCallThrowsWithItsOperation) {
    const auto stored = this->savedTask(L"Faulty");
    const auto once = std::make_shared<kv::TimeTrigger>();
    once->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    stored->setTriggers({once});
    stored->save(L"", L"");
    for (const FailureRow& row : TypeParam::failures()) {
        std::wistringstream methods(row.methods);
        for (std::wstring method; methods >> method;) {
            SCOPED_TRACE(kv::str::wideToUtf8(method + L" in " + row.act));
            const auto task = this->scheduler->getTask(L"Faulty");
            kv::test::failNext(method, SCHED_E_SERVICE_NOT_RUNNING);
            kv::test::expectThrow([&] { this->act(*task, row.act); }, SCHED_E_SERVICE_NOT_RUNNING,
                                  TypeParam::SchedulerName + row.function);
            doubles::clearFaults();
        }
    }
}

} // namespace
