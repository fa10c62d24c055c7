// The kv::IScheduler / kv::Task contract, once for both backends. Each backend
// adapter names its platform calls and reads back what only its store shows.
#include <windows.h>

#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <algorithm>

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
TYPED_TEST_SUITE(Contract, Backends);

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
    task->setCommand(L"C:\\second.exe");
    task->setParameters(L"--quiet");
    task->setPriority(TaskPriority::Normal);
    task->setSignature(L"abc");
    EXPECT_EQ(task->getCommand(), L"C:\\second.exe") << "unsaved, read from memory";
    task->save(L"", L"");
    const auto opened = this->scheduler->getTask(L"Edited");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->getName(), L"Edited");
    EXPECT_EQ(opened->getCommand(), L"C:\\second.exe");
    EXPECT_EQ(opened->getParameters(), L"--quiet");
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
