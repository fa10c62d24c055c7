// The kv::IScheduler / kv::Task contract, once for both backends. Each backend
// adapter names its platform calls and reads back what only its store shows.
#include <windows.h>

#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using kv::TaskPriority;
namespace doubles = kv::doubles;

struct Backend20 : kv::test::TaskScheduler20Test {
    static constexpr const wchar_t* SchedulerName = L"kv::Scheduler20::";
    static constexpr const wchar_t* TaskName = L"kv::Scheduler20::Task20::";
    static constexpr const wchar_t* SchedulerFile = L"install-common/Scheduler20.cpp";
    static constexpr const wchar_t* TaskFile = L"install-common/Task20.cpp";
    static constexpr const wchar_t* OpenCall = L"ITaskFolder::GetTask";
    static constexpr const wchar_t* CreateCall = L"ITaskService::NewTask";
    static constexpr const wchar_t* RunCall = L"IRegisteredTask::Run";
    static constexpr const wchar_t* SaveCall = L"ITaskFolder::RegisterTaskDefinition";
    static std::shared_ptr<kv::IScheduler> connect() { return std::make_shared<kv::Scheduler20>(); }
    static bool stored(const std::wstring& name) {
        return !doubles::readTaskScheduler20Xml(L"\\Korvane\\" + name).empty();
    }
    // The updater task as the 2.0 service holds it: every setting the library fixes.
    static void expectUpdaterTask(const std::wstring& program, kv::TimePoint before, kv::TimePoint after) {
        const std::wstring xml = doubles::readTaskScheduler20Xml(L"\\Korvane\\Wisp Updater");
        const std::wstring triggers = kv::test::element(xml, L"Triggers");
        EXPECT_EQ(kv::test::occurrences(triggers, L"Trigger "), 1u) << "one trigger";
        EXPECT_EQ(kv::test::occurrences(triggers, L"<TimeTrigger id=\"trigger1\">"), 1u);
        const std::wstring start = kv::test::element(triggers, L"StartBoundary");
        EXPECT_GE(start, kv::test::isoText(kv::test::localTimeOf(before + 6000000000LL))) << "local time";
        EXPECT_LE(start, kv::test::isoText(kv::test::localTimeOf(after + 6000000000LL)));
        EXPECT_EQ(start.size(), 19u) << "to the second";
        EXPECT_EQ(kv::test::element(triggers, L"Interval"), L"PT10M");
        EXPECT_EQ(triggers.find(L"EndBoundary"), std::wstring::npos);
        EXPECT_EQ(kv::test::element(xml, L"GroupId"), L"NT AUTHORITY\\SYSTEM");
        EXPECT_EQ(kv::test::element(xml, L"Author"), L"korvane scheduled task");
        EXPECT_EQ(kv::test::element(xml, L"MultipleInstancesPolicy"), L"IgnoreNew");
        EXPECT_EQ(kv::test::element(xml, L"ExecutionTimeLimit"), L"P3D");
        EXPECT_EQ(kv::test::element(xml, L"DisallowStartIfOnBatteries"), L"false");
        EXPECT_EQ(kv::test::element(xml, L"RunOnlyIfNetworkAvailable"), L"true");
        EXPECT_EQ(kv::test::element(xml, L"Priority"), L"1");
        EXPECT_EQ(kv::test::occurrences(xml, L"</Exec>"), 1u);
        EXPECT_EQ(kv::test::element(xml, L"Command"), program);
        const doubles::TaskScheduler20RegisterCall call = doubles::lastTaskScheduler20Registration();
        EXPECT_EQ(call.path, L"Wisp Updater");
        EXPECT_EQ(call.flags, 0x26) << "create or update, registration triggers ignored";
        EXPECT_EQ(call.userType, VT_EMPTY);
        EXPECT_EQ(call.passwordType, VT_EMPTY);
        EXPECT_EQ(call.logonType, TASK_LOGON_SERVICE_ACCOUNT);
        EXPECT_EQ(call.sddlType, VT_BSTR);
        EXPECT_EQ(call.sddl, L"D:(A;;FA;;;BA)(A;;FA;;;SY)");
    }
    // A named account registers a password logon with both credentials as texts.
    static void expectNamedAccount(const std::wstring& name) {
        const std::wstring xml = doubles::readTaskScheduler20Xml(L"\\Korvane\\" + name);
        EXPECT_EQ(kv::test::element(xml, L"UserId"), L"builder");
        EXPECT_EQ(kv::test::element(xml, L"LogonType"), L"Password");
        const doubles::TaskScheduler20RegisterCall call = doubles::lastTaskScheduler20Registration();
        EXPECT_EQ(call.user, L"builder");
        EXPECT_EQ(call.userType, VT_BSTR);
        EXPECT_EQ(call.passwordType, VT_BSTR);
        EXPECT_EQ(call.logonType, TASK_LOGON_PASSWORD);
    }
    // Each platform call whose failure ends an operation, by the operation's function text.
    struct FailureRow {
        bool registered; // the task comes from getTask of a stored one
        const wchar_t* function;
        const wchar_t* act;
        const wchar_t* method;
    };
    static std::vector<FailureRow> failures() {
        return {
            {false, L"getDescription", L"getDescription", L"ITaskDefinition::get_RegistrationInfo"},
            {false, L"setDescription", L"setDescription", L"IRegistrationInfo::put_Description"},
            {true, L"getAction", L"getCommand", L"IRegisteredTask::get_Definition"},
            {true, L"getAction", L"getCommand", L"IActionCollection::get_Count"},
            {true, L"getAction", L"getCommand", L"IActionCollection::get_Item"},
            {true, L"getAction", L"getParameters", L"ITaskDefinition::get_Actions"},
            {true, L"getAction", L"setCommand", L"IActionCollection::Create"},
            {false, L"setCommand", L"setCommand", L"IExecAction::put_Path"},
            {false, L"setParameters", L"setParameters", L"IExecAction::put_Arguments"},
            {false, L"setSignature", L"setSignature", L"ITaskDefinition::put_Data"},
            {false, L"getStatus", L"getStatus", L"ITaskDefinition::get_Settings"},
            {true, L"getDefinition", L"getPriority", L"IRegisteredTask::get_Definition"},
            {true, L"getPriority", L"getPriority", L"ITaskSettings::get_Priority"},
            {false, L"setPriority", L"setPriority", L"ITaskDefinition::get_Settings"},
            {false, L"setPriority", L"setPriority", L"ITaskSettings::put_Priority"},
            {false, L"setTriggers", L"setTriggers", L"ITaskDefinition::get_Triggers"},
            {false, L"setTriggers", L"setTriggers", L"ITriggerCollection::get_Count"},
            {true, L"setTriggers", L"retrigger", L"ITriggerCollection::Remove"},
            {false, L"createTimeTrigger", L"setTriggers", L"ITriggerCollection::Create"},
            {false, L"createTimeTrigger", L"setTriggers", L"ITrigger::put_Id"},
            {false, L"createTimeTrigger", L"setTriggers", L"ITrigger::put_StartBoundary"},
            {false, L"createRepeatTrigger", L"repeat", L"ITriggerCollection::Create"},
            {false, L"createRepeatTrigger", L"repeat", L"ITrigger::put_StartBoundary"},
            {false, L"createRepeatTrigger", L"repeat", L"ITrigger::get_Repetition"},
            {false, L"createDailyTrigger", L"daily", L"ITriggerCollection::Create"},
            {false, L"createDailyTrigger", L"daily", L"ITrigger::put_EndBoundary"},
            {false, L"createDailyTrigger", L"daily", L"IDailyTrigger::put_DaysInterval"},
            {false, L"createWeeklyTrigger", L"weekly", L"ITrigger::put_Id"},
            {false, L"createWeeklyTrigger", L"weekly", L"ITrigger::put_EndBoundary"},
            {false, L"createWeeklyTrigger", L"weekly", L"IWeeklyTrigger::put_WeeksInterval"},
            {false, L"createWeeklyTrigger", L"weekly", L"IWeeklyTrigger::put_DaysOfWeek"},
            {false, L"createRebootTrigger", L"reboot", L"ITriggerCollection::Create"},
            {false, L"createRebootTrigger", L"reboot", L"ITrigger::put_EndBoundary"},
            {false, L"getEnabled", L"getEnabled", L"ITaskDefinition::get_Settings"},
            {false, L"setEnabled", L"setEnabled", L"ITaskSettings::put_Enabled"},
            {false, L"getHidden", L"getHidden", L"ITaskDefinition::get_Settings"},
            {false, L"setHidden", L"setHidden", L"ITaskSettings::put_Hidden"},
            {false, L"getAccount", L"getAccount", L"ITaskDefinition::get_Principal"},
            {false, L"getAccount", L"getAccount", L"IPrincipal::get_LogonType"},
            {false, L"setAccount", L"setSystemAccount", L"ITaskDefinition::get_Principal"},
            {false, L"setAccount", L"setSystemAccount", L"IPrincipal::put_LogonType"},
            {false, L"setAccount", L"setSystemAccount", L"IPrincipal::put_GroupId"},
            {false, L"setAccount", L"setAccount", L"IPrincipal::put_UserId"},
            {false, L"setAccount", L"save", L"IPrincipal::put_GroupId"},
            {false, L"save", L"save", L"ITaskDefinition::get_RegistrationInfo"},
            {false, L"save", L"save", L"IRegistrationInfo::put_Author"},
            {false, L"save", L"save", L"ITaskDefinition::get_Principal"},
            {false, L"save", L"save", L"IPrincipal::put_LogonType"},
            {false, L"save", L"save", L"ITaskDefinition::get_Settings"},
            {false, L"save", L"save", L"ITaskFolder::RegisterTaskDefinition"},
            {true, L"run", L"run", L"IRegisteredTask::Run"},
        };
    }
};

struct Backend10 : kv::test::TaskScheduler10Test {
    static constexpr const wchar_t* SchedulerName = L"kv::Scheduler10::";
    static constexpr const wchar_t* TaskName = L"kv::Scheduler10::Task10::";
    static constexpr const wchar_t* SchedulerFile = L"install-common/Scheduler10.cpp";
    static constexpr const wchar_t* TaskFile = L"install-common/Task10.cpp";
    static constexpr const wchar_t* OpenCall = L"ITaskScheduler::Activate";
    static constexpr const wchar_t* CreateCall = L"ITaskScheduler::NewWorkItem";
    static constexpr const wchar_t* RunCall = L"ITask::Run";
    static constexpr const wchar_t* SaveCall = L"IPersistFile::Save";
    static std::shared_ptr<kv::IScheduler> connect() { return std::make_shared<kv::Scheduler10>(); }
    bool stored(const std::wstring& name) const {
        return GetFileAttributesW(jobFile(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    // The updater's work item: no trigger (no repeat triggers before 2.0), high
    // priority class, the local system account.
    static void expectUpdaterTask(const std::wstring& program, kv::TimePoint, kv::TimePoint) {
        const kv::ComPtr<ITask> item = storedWorkItem(L"Wisp Updater");
        WORD triggers = 1;
        DWORD priority = 0;
        LPWSTR account = nullptr;
        LPWSTR application = nullptr;
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
    static void expectNamedAccount(const std::wstring& name) {
        LPWSTR account = nullptr;
        ASSERT_EQ(storedWorkItem(name)->GetAccountInformation(&account), S_OK);
        EXPECT_STREQ(account, L"builder");
        CoTaskMemFree(account);
    }
    struct FailureRow {
        bool registered;
        const wchar_t* function;
        const wchar_t* act;
        const wchar_t* method;
    };
    static std::vector<FailureRow> failures() {
        return {
            {true, L"getDescription", L"getDescription", L"ITask::GetComment"},
            {true, L"setDescription", L"setDescription", L"ITask::SetComment"},
            {true, L"getCommand", L"getCommand", L"ITask::GetApplicationName"},
            {true, L"setCommand", L"setCommand", L"ITask::SetApplicationName"},
            {true, L"getParameters", L"getParameters", L"ITask::GetParameters"},
            {true, L"setParameters", L"setParameters", L"ITask::SetParameters"},
            {true, L"setSignature", L"setSignature", L"ITask::SetWorkItemData"},
            {true, L"getStatus", L"getStatus", L"ITask::GetStatus"},
            {true, L"getPriority", L"getPriority", L"ITask::GetPriority"},
            {true, L"setPriority", L"setPriority", L"ITask::SetPriority"},
            {true, L"setTriggers", L"setTriggers", L"ITask::GetTriggerCount"},
            {true, L"setTriggers", L"setTriggers", L"ITask::DeleteTrigger"},
            {true, L"setTriggers", L"setTriggers", L"ITask::CreateTrigger"},
            {true, L"setTriggers", L"setTriggers", L"ITaskTrigger::SetTrigger"},
            {true, L"getEnabled", L"getEnabled", L"ITask::GetFlags"},
            {true, L"setEnabled", L"setEnabled", L"ITask::GetFlags"},
            {true, L"setEnabled", L"setEnabled", L"ITask::SetFlags"},
            {true, L"getHidden", L"getHidden", L"ITask::GetFlags"},
            {true, L"setHidden", L"setHidden", L"ITask::SetFlags"},
            {true, L"getAccount", L"getAccount", L"ITask::GetAccountInformation"},
            {true, L"setAccount", L"setAccount", L"ITask::SetAccountInformation"},
            {true, L"setAccount", L"setCommand", L"ITask::SetAccountInformation"},
            {true, L"setAccount", L"save", L"ITask::SetAccountInformation"},
            {true, L"save", L"save", L"IPersistFile::Save"},
            {true, L"run", L"run", L"ITask::Run"},
        };
    }
};

template <class Backend>
class Contract : public Backend {
protected:
    std::shared_ptr<kv::Task> savedTask(const std::wstring& name) {
        const auto task = scheduler->createTask(name);
        task->setCommand(kv::test::marker());
        task->save(L"", L"");
        return task;
    }
    void expectSchedulerFailure(const std::function<void()>& call, HRESULT hr, const wchar_t* operation) {
        kv::test::expectComException(call, hr, std::wstring(Backend::SchedulerName) + operation,
                                     Backend::SchedulerFile);
    }
    void expectTaskFailure(const std::function<void()>& call, HRESULT hr, const wchar_t* operation) {
        kv::test::expectComException(call, hr, std::wstring(Backend::TaskName) + operation,
                                     Backend::TaskFile);
    }
    void SetUp() override {
        Backend::SetUp();
        scheduler = Backend::connect();
    }
    void TearDown() override {
        scheduler.reset();
        Backend::TearDown();
    }
    std::shared_ptr<kv::IScheduler> scheduler;
};

using Backends = ::testing::Types<Backend20, Backend10>;
TYPED_TEST_SUITE(Contract, Backends, );

TYPED_TEST(Contract, InstallsTheUpdaterTaskAndStartsItOncePerInstall) {
    kv::test::StartCounter starts;
    for (std::size_t install = 1; install <= 2; ++install) {
        SCOPED_TRACE("install " + std::to_string(install));
        const kv::TimePoint before = kv::currentTime();
        kv::test::installUpdaterTask(*this->scheduler, kv::test::marker());
        this->expectUpdaterTask(kv::test::marker(), before, kv::currentTime());
        EXPECT_EQ(this->scheduler->getTasks(), std::vector<std::wstring>{L"Wisp Updater"}) << "replaced";
        EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater")->getPriority(), TaskPriority::High);
        EXPECT_EQ(starts.waitFor(install), install);
    }
    Sleep(300);
    EXPECT_EQ(starts.read(), 2u) << "started once per install, nothing more";
}

TYPED_TEST(Contract, AnUnknownNameIsNoTaskAndAnUnsavedTaskDoesNotRun) {
    EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater"), nullptr);
    const auto task = this->scheduler->createTask(L"Wisp Updater");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->getName(), L"Wisp Updater");
    kv::test::StartCounter starts;
    task->setCommand(kv::test::marker());
    task->run();
    EXPECT_FALSE(this->stored(L"Wisp Updater")) << "createTask stores nothing";
    EXPECT_EQ(this->scheduler->getTask(L"Wisp Updater"), nullptr);
    this->expectSchedulerFailure([&] { this->scheduler->removeTask(L"Wisp Updater"); },
                                 HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"removeTask");
    Sleep(300);
    EXPECT_EQ(starts.read(), 0u);
}

TYPED_TEST(Contract, ListsOpensAndRemovesStoredTasks) {
    EXPECT_TRUE(this->scheduler->getTasks().empty());
    this->savedTask(L"Wisp Updater");
    this->savedTask(L"A");
    std::vector<std::wstring> names = this->scheduler->getTasks();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"Wisp Updater"}));
    this->scheduler->removeTask(L"A");
    EXPECT_FALSE(this->stored(L"A"));
    EXPECT_EQ(this->scheduler->getTask(L"A"), nullptr);
    EXPECT_EQ(this->scheduler->getTasks(), std::vector<std::wstring>{L"Wisp Updater"});
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
    EXPECT_EQ(opened->getName(), L"Edited");
    EXPECT_EQ(opened->getCommand(), L"C:\\a&b <c> \"d\" \u00e9.exe") << "texts that need escaping";
    EXPECT_EQ(opened->getParameters(), L"--quiet ]]> <!--");
    EXPECT_EQ(opened->getPriority(), TaskPriority::Normal);
    EXPECT_TRUE(opened->checkSignature(L"ABC"));
    EXPECT_FALSE(opened->checkSignature(L"abcd"));
    EXPECT_EQ(opened->getAccount(), L"");
}

TYPED_TEST(Contract, ChecksSignaturesWithoutCaseForAsciiLettersOnly) {
    const auto task = this->scheduler->createTask(L"Signed");
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

TYPED_TEST(Contract, SavesUnderANamedAccount) {
    const auto task = this->savedTask(L"As user");
    task->save(L"builder", L"secret");
    EXPECT_EQ(task->getAccount(), L"builder");
    this->expectNamedAccount(L"As user");
}

TYPED_TEST(Contract, RefusesWhatHasNoCounterpart) {
    const auto task = this->scheduler->createTask(L"Odd");
    this->expectTaskFailure([&] { task->setPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                            L"convertPriority");
    kv::test::expectBaseException([&] { task->getTriggers(); }, L"The method is not implemented",
                                  std::wstring(TypeParam::TaskName) + L"getTriggers", TypeParam::TaskFile);
}

TYPED_TEST(Contract, RunningAlreadyIsNoFailure) {
    const auto task = this->savedTask(L"Runner");
    kv::test::failNext(TypeParam::RunCall, static_cast<HRESULT>(0x8004131F));
    task->run();
    kv::test::failNext(TypeParam::RunCall, E_ACCESSDENIED);
    this->expectTaskFailure([&] { task->run(); }, E_ACCESSDENIED, L"run");
}

TYPED_TEST(Contract, OpenCreateAndSaveFailures) {
    const auto task = this->savedTask(L"Stored");
    kv::test::failNext(TypeParam::OpenCall, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(this->scheduler->getTask(L"Stored"), nullptr) << "file not found means absent";
    kv::test::failNext(TypeParam::OpenCall, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    this->expectSchedulerFailure([&] { this->scheduler->getTask(L"Stored"); },
                                 HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), L"getTask");
    kv::test::failNext(TypeParam::CreateCall, E_OUTOFMEMORY);
    this->expectSchedulerFailure([&] { this->scheduler->createTask(L"New"); }, E_OUTOFMEMORY, L"createTask");
    kv::test::failNext(TypeParam::SaveCall, E_ACCESSDENIED);
    this->expectTaskFailure([&] { task->save(L"", L""); }, E_ACCESSDENIED, L"save");
    EXPECT_TRUE(this->stored(L"Stored")) << "the platform keeps what it had";
}

TYPED_TEST(Contract, TasksOutliveTheirScheduler) {
    const auto task = this->scheduler->createTask(L"Orphan");
    this->scheduler.reset();
    task->setCommand(L"C:\\windows\\system32\\cmd.exe");
    task->save(L"", L"");
    EXPECT_TRUE(this->stored(L"Orphan"));
}

} // namespace

namespace {

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
        {L"run", [&] { task.run(); }},
    };
    calls.at(name)();
}

TYPED_TEST(Contract, EveryFailedCallThrowsWithItsOperation) {
    const auto stored = this->savedTask(L"Faulty");
    const auto once = std::make_shared<kv::TimeTrigger>();
    once->setStart(kv::test::utcTime(2027, 1, 2, 3, 4, 5));
    stored->setTriggers({once});
    stored->save(L"", L"");
    for (const auto& row : TypeParam::failures()) {
        SCOPED_TRACE(kv::str::wideToUtf8(std::wstring(row.method) + L" in " + row.act));
        const auto task =
            row.registered ? this->scheduler->getTask(L"Faulty") : this->scheduler->createTask(L"Faulty");
        kv::test::failNext(row.method, SCHED_E_SERVICE_NOT_RUNNING);
        this->expectTaskFailure([&] { act(*task, row.act); }, SCHED_E_SERVICE_NOT_RUNNING, row.function);
        doubles::clearFaults();
    }
}

} // namespace
