#include <windows.h>
#include <mstask.h>

#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace ts10 = kv::doubles::ts10;

namespace {

constexpr DWORD installerContext = 23; // what the installer passes to CoCreateInstance

std::wstring take(LPWSTR text) {
    std::wstring result = text == nullptr ? L"<null>" : text;
    CoTaskMemFree(text);
    return result;
}

TASK_TRIGGER dailyTrigger() {
    TASK_TRIGGER t = {};
    t.cbTriggerSize = sizeof(t);
    t.wBeginYear = 2031;
    t.wBeginMonth = 2;
    t.wBeginDay = 28;
    t.wStartHour = 23;
    t.wStartMinute = 59;
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    t.Type.Daily.DaysInterval = 1;
    return t;
}

std::wstring readText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    wchar_t buffer[1024] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - sizeof(wchar_t), &read, nullptr);
    CloseHandle(file);
    return std::wstring(buffer, read / sizeof(wchar_t));
}

class TaskScheduler10 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(registration.result(), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, installerContext, IID_ITaskScheduler,
                                   scheduler.putVoid()),
                  S_OK);
    }

    kv::ComPtr<ITask> newItem(const std::wstring& name) {
        kv::ComPtr<ITask> task;
        EXPECT_EQ(scheduler->NewWorkItem(name.c_str(), CLSID_CTask, IID_ITask,
                                         reinterpret_cast<IUnknown**>(task.put())),
                  S_OK);
        return task;
    }

    kv::ComPtr<ITask> activate(const std::wstring& name) {
        kv::ComPtr<ITask> task;
        EXPECT_EQ(scheduler->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(task.put())),
                  S_OK);
        return task;
    }

    static HRESULT save(const kv::ComPtr<ITask>& task) {
        kv::ComPtr<IPersistFile> file;
        const HRESULT hr = task.queryInterface(IID_IPersistFile, file);
        return FAILED(hr) ? hr : file->Save(nullptr, TRUE);
    }

    static HRESULT addTrigger(const kv::ComPtr<ITask>& task, TASK_TRIGGER trigger) {
        WORD index = 0;
        kv::ComPtr<ITaskTrigger> created;
        const HRESULT hr = task->CreateTrigger(&index, created.put());
        return FAILED(hr) ? hr : created->SetTrigger(&trigger);
    }

    static HRESULT status(const kv::ComPtr<ITask>& task) {
        HRESULT result = E_FAIL;
        const HRESULT hr = task->GetStatus(&result);
        return FAILED(hr) ? hr : result;
    }

    // A stored item that could run on a schedule: application, account and a trigger.
    kv::ComPtr<ITask> schedulable(const std::wstring& name, const std::wstring& parameters,
                                  TASK_TRIGGER trigger = dailyTrigger()) {
        kv::ComPtr<ITask> task = newItem(name);
        EXPECT_EQ(task->SetApplicationName(kv::test::besideTestExecutable(L"ts10_client.exe").c_str()), S_OK);
        EXPECT_EQ(task->SetParameters(parameters.c_str()), S_OK);
        EXPECT_EQ(task->SetAccountInformation(L"", nullptr), S_OK);
        EXPECT_EQ(addTrigger(task, trigger), S_OK);
        EXPECT_EQ(save(task), S_OK);
        return task;
    }

    // Activates the item until it shows the expected status or 15 s have passed
    // (a run's process ends in its own time); answers the last status seen.
    HRESULT statusOnce(const std::wstring& name, HRESULT expected) {
        HRESULT now = status(activate(name));
        for (int i = 0; i < 300 && now != expected; ++i) {
            Sleep(50);
            now = status(activate(name));
        }
        return now;
    }

    std::vector<std::wstring> enumerate() {
        kv::ComPtr<IEnumWorkItems> items;
        EXPECT_EQ(scheduler->Enum(items.put()), S_OK);
        std::vector<std::wstring> names;
        HRESULT hr = S_OK;
        while (hr == S_OK) {
            LPWSTR* batch = nullptr;
            ULONG fetched = 0;
            hr = items->Next(1, &batch, &fetched);
            for (ULONG i = 0; i < fetched; ++i) {
                names.push_back(take(batch[i]));
            }
            CoTaskMemFree(batch);
        }
        EXPECT_EQ(hr, S_FALSE);
        std::sort(names.begin(), names.end());
        return names;
    }

    kv::ScopedComInitializer com;
    kv::test::TempDirectory folder;
    kv::doubles::ScopedTaskScheduler10Registration registration{folder.path()};
    kv::ComPtr<ITaskScheduler> scheduler;
};

TEST_F(TaskScheduler10, EveryPropertySurvivesSaveAndALaterActivate) {
    kv::ComPtr<ITask> task = newItem(L"Wisp Updater");
    BYTE data[] = {'a', 0, 'b', 0, 0, 0};
    ASSERT_EQ(task->SetComment(L"updates Wisp"), S_OK);
    ASSERT_EQ(task->SetApplicationName(L"C:\\Program Files\\Wisp\\wpu.exe"), S_OK);
    ASSERT_EQ(task->SetParameters(L"--quiet \"x y\""), S_OK);
    ASSERT_EQ(task->SetWorkingDirectory(L"C:\\Temp"), S_OK);
    ASSERT_EQ(task->SetWorkItemData(sizeof(data), data), S_OK);
    ASSERT_EQ(task->SetPriority(IDLE_PRIORITY_CLASS), S_OK);
    ASSERT_EQ(task->SetFlags(TASK_FLAG_DISABLED | TASK_FLAG_HIDDEN), S_OK);
    ASSERT_EQ(task->SetAccountInformation(L"", nullptr), S_OK);
    TASK_TRIGGER weekly = dailyTrigger();
    weekly.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
    weekly.Type.Weekly.WeeksInterval = 2;
    weekly.Type.Weekly.rgfDaysOfTheWeek = TASK_MONDAY | TASK_FRIDAY;
    weekly.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    weekly.wEndYear = 2032;
    weekly.wEndMonth = 1;
    weekly.wEndDay = 1;
    ASSERT_EQ(addTrigger(task, dailyTrigger()), S_OK);
    ASSERT_EQ(addTrigger(task, weekly), S_OK);
    ASSERT_EQ(save(task), S_OK);
    EXPECT_NE(GetFileAttributesW(ts10::jobFilePath(folder.path(), L"Wisp Updater").c_str()),
              INVALID_FILE_ATTRIBUTES);

    kv::ComPtr<ITask> loaded = activate(L"Wisp Updater");
    LPWSTR text = nullptr;
    ASSERT_EQ(loaded->GetComment(&text), S_OK);
    EXPECT_EQ(take(text), L"updates Wisp");
    ASSERT_EQ(loaded->GetApplicationName(&text), S_OK);
    EXPECT_EQ(take(text), L"C:\\Program Files\\Wisp\\wpu.exe");
    ASSERT_EQ(loaded->GetParameters(&text), S_OK);
    EXPECT_EQ(take(text), L"--quiet \"x y\"");
    ASSERT_EQ(loaded->GetWorkingDirectory(&text), S_OK);
    EXPECT_EQ(take(text), L"C:\\Temp");
    ASSERT_EQ(loaded->GetAccountInformation(&text), S_OK);
    EXPECT_EQ(take(text), L"");
    WORD size = 0;
    BYTE* stored = nullptr;
    ASSERT_EQ(loaded->GetWorkItemData(&size, &stored), S_OK);
    ASSERT_EQ(size, sizeof(data));
    EXPECT_EQ(memcmp(stored, data, size), 0);
    CoTaskMemFree(stored);
    DWORD value = 0;
    ASSERT_EQ(loaded->GetPriority(&value), S_OK);
    EXPECT_EQ(value, static_cast<DWORD>(IDLE_PRIORITY_CLASS));
    ASSERT_EQ(loaded->GetFlags(&value), S_OK);
    EXPECT_EQ(value, static_cast<DWORD>(TASK_FLAG_DISABLED | TASK_FLAG_HIDDEN));
    WORD count = 0;
    ASSERT_EQ(loaded->GetTriggerCount(&count), S_OK);
    ASSERT_EQ(count, 2);
    kv::ComPtr<ITaskTrigger> second;
    ASSERT_EQ(loaded->GetTrigger(1, second.put()), S_OK);
    TASK_TRIGGER read = {};
    ASSERT_EQ(second->GetTrigger(&read), S_OK);
    EXPECT_EQ(memcmp(&read, &weekly, sizeof(read)), 0);
}

TEST_F(TaskScheduler10, EnumerationListsTheJobFilesWithTheirSuffixAndEndsWithSFalse) {
    EXPECT_EQ(save(newItem(L"A")), S_OK);
    EXPECT_EQ(save(newItem(L"Wisp Updater")), S_OK);
    newItem(L"never saved");
    for (const wchar_t* other : {L"notes.txt", L"old.job.bak"}) {
        CloseHandle(CreateFileW((folder / other).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    EXPECT_EQ(enumerate(), (std::vector<std::wstring>{L"A.job", L"Wisp Updater.job"}));

    kv::ComPtr<IEnumWorkItems> items;
    ASSERT_EQ(scheduler->Enum(items.put()), S_OK);
    LPWSTR* names = reinterpret_cast<LPWSTR*>(1);
    ULONG fetched = 7;
    EXPECT_EQ(items->Next(2, &names, nullptr), E_INVALIDARG);
    EXPECT_EQ(items->Next(0, &names, &fetched), E_INVALIDARG);
    ASSERT_EQ(items->Next(5, &names, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    take(names[0]);
    take(names[1]);
    CoTaskMemFree(names);
    EXPECT_EQ(items->Next(1, &names, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(names, nullptr);
}

TEST_F(TaskScheduler10, WorkItemNamesAreCheckedAndStoredNamesAreTaken) {
    EXPECT_EQ(save(newItem(L"taken")), S_OK);
    newItem(L"pending");
    struct {
        const wchar_t* name;
        GUID clsid;
        HRESULT expected;
    } const rows[] = {
        {L"taken", CLSID_CTask, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)},
        {L"TAKEN", CLSID_CTask, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)},
        {L"pending", CLSID_CTask, S_OK}, // unsaved items do not reserve their names
        {L"folder\\nested", CLSID_CTask, E_INVALIDARG},
        {L"", CLSID_CTask, E_INVALIDARG},
        {L"what?", CLSID_CTask, E_INVALIDARG},
        {L"fine", CLSID_CTaskScheduler, E_INVALIDARG},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        IUnknown* item = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(scheduler->NewWorkItem(row.name, row.clsid, IID_ITask, &item), row.expected);
        EXPECT_EQ(item == nullptr, FAILED(row.expected));
        if (item != nullptr) {
            item->Release();
        }
    }
}

TEST_F(TaskScheduler10, MissingOrUnreadableItemsAreReportedByActivateAndDelete) {
    IUnknown* item = nullptr;
    EXPECT_EQ(scheduler->Activate(L"absent", IID_ITask, &item), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(scheduler->Delete(L"absent"), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(save(newItem(L"gone")), S_OK);
    EXPECT_EQ(scheduler->Delete(L"gone"), S_OK);
    EXPECT_EQ(scheduler->Activate(L"gone", IID_ITask, &item), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(enumerate(), std::vector<std::wstring>{});

    HANDLE file = CreateFileW(ts10::jobFilePath(folder.path(), L"junk").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "KVJ1", 4, &written, nullptr);
    CloseHandle(file);
    EXPECT_EQ(scheduler->Activate(L"junk", IID_ITask, &item), SCHED_E_UNKNOWN_OBJECT_VERSION);
    EXPECT_EQ(item, nullptr);
}

TEST_F(TaskScheduler10, SetPriorityTakesTheFourPriorityClassesOnly) {
    kv::ComPtr<ITask> task = newItem(L"p");
    for (DWORD accepted :
         {REALTIME_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}) {
        DWORD read = 0;
        EXPECT_EQ(task->SetPriority(accepted), S_OK);
        EXPECT_EQ(task->GetPriority(&read), S_OK);
        EXPECT_EQ(read, accepted);
    }
    for (DWORD refused : {0ul, 0x4000ul, 0x8000ul, 0xA0ul, 0xFFFFFFFFul}) {
        SCOPED_TRACE(refused);
        DWORD read = 0;
        EXPECT_EQ(task->SetPriority(refused), E_INVALIDARG);
        EXPECT_EQ(task->GetPriority(&read), S_OK);
        EXPECT_EQ(read, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    }
}

TEST_F(TaskScheduler10, WorkItemDataIsCopiedAndZeroBytesClearIt) {
    kv::ComPtr<ITask> task = newItem(L"d");
    WORD size = 9;
    BYTE* data = reinterpret_cast<BYTE*>(1);
    ASSERT_EQ(task->GetWorkItemData(&size, &data), S_OK);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(data, nullptr);
    BYTE bytes[] = {1, 2, 3};
    ASSERT_EQ(task->SetWorkItemData(3, bytes), S_OK);
    bytes[0] = 9; // the item keeps its own copy
    EXPECT_EQ(task->SetWorkItemData(3, nullptr), E_INVALIDARG);
    ASSERT_EQ(task->GetWorkItemData(&size, &data), S_OK);
    ASSERT_EQ(size, 3);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[2], 3);
    CoTaskMemFree(data);
    ASSERT_EQ(task->SetWorkItemData(0, nullptr), S_OK);
    ASSERT_EQ(task->GetWorkItemData(&size, &data), S_OK);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(data, nullptr);
}

TEST_F(TaskScheduler10, AccountInformationFollowsTheLocalSystemAndLogonRules) {
    kv::ComPtr<ITask> task = newItem(L"acct");
    LPWSTR name = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(task->GetAccountInformation(&name), SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(task->SetAccountInformation(L"HOST\\user", nullptr), SCHED_E_UNSUPPORTED_ACCOUNT_OPTION);
    EXPECT_EQ(task->GetAccountInformation(&name), SCHED_E_ACCOUNT_INFORMATION_NOT_SET);
    EXPECT_EQ(task->SetAccountInformation(L"HOST\\user", L"secret"), S_OK);
    ASSERT_EQ(save(task), S_OK);
    ASSERT_EQ(activate(L"acct")->GetAccountInformation(&name), S_OK);
    EXPECT_EQ(take(name), L"HOST\\user");
    ASSERT_EQ(task->SetFlags(TASK_FLAG_RUN_ONLY_IF_LOGGED_ON), S_OK);
    EXPECT_EQ(task->SetAccountInformation(L"HOST\\other", nullptr), S_OK);
    EXPECT_EQ(task->SetAccountInformation(L"", nullptr), S_OK);
    ASSERT_EQ(task->GetAccountInformation(&name), S_OK);
    EXPECT_EQ(take(name), L"");
    EXPECT_EQ(task->SetFlags(0x8), E_INVALIDARG); // not a work-item flag
    DWORD flags = 0;
    EXPECT_EQ(task->GetFlags(&flags), S_OK);
    EXPECT_EQ(flags, static_cast<DWORD>(TASK_FLAG_RUN_ONLY_IF_LOGGED_ON));
}

TEST_F(TaskScheduler10, TriggerIndexesShiftOnDeleteAndTriggerObjectsFollowTheirRecord) {
    kv::ComPtr<ITask> task = newItem(L"t");
    std::vector<kv::ComPtr<ITaskTrigger>> triggers(3);
    for (WORD i = 0; i < 3; ++i) {
        WORD index = 99;
        ASSERT_EQ(task->CreateTrigger(&index, triggers[i].put()), S_OK);
        EXPECT_EQ(index, i);
        TASK_TRIGGER t = dailyTrigger();
        t.wStartHour = static_cast<WORD>(10 + i);
        ASSERT_EQ(triggers[i]->SetTrigger(&t), S_OK);
    }
    ASSERT_EQ(task->DeleteTrigger(0), S_OK);
    EXPECT_EQ(task->DeleteTrigger(2), E_INVALIDARG);
    WORD count = 0;
    ASSERT_EQ(task->GetTriggerCount(&count), S_OK);
    EXPECT_EQ(count, 2);
    kv::ComPtr<ITaskTrigger> first;
    ASSERT_EQ(task->GetTrigger(0, first.put()), S_OK);
    TASK_TRIGGER read = {};
    ASSERT_EQ(first->GetTrigger(&read), S_OK);
    EXPECT_EQ(read.wStartHour, 11);

    TASK_TRIGGER changed = dailyTrigger();
    changed.wStartHour = 20;
    ASSERT_EQ(triggers[1]->SetTrigger(&changed), S_OK); // now at index 0
    ASSERT_EQ(first->GetTrigger(&read), S_OK);
    EXPECT_EQ(read.wStartHour, 20);
    EXPECT_EQ(triggers[0]->SetTrigger(&changed), SCHED_E_TRIGGER_NOT_FOUND);
    kv::ComPtr<ITaskTrigger> none;
    EXPECT_EQ(task->GetTrigger(2, none.put()), SCHED_E_TRIGGER_NOT_FOUND);
}

TEST_F(TaskScheduler10, SetTriggerValidatesTheRecord) {
    using Change = std::function<void(TASK_TRIGGER&)>;
    struct {
        const char* why;
        Change change;
        HRESULT expected;
    } const rows[] = {
        {"valid daily", [](TASK_TRIGGER&) {}, S_OK},
        {"daily interval 0 is kept as given", [](TASK_TRIGGER& t) { t.Type.Daily.DaysInterval = 0; }, S_OK},
        {"29 February of a leap year",
         [](TASK_TRIGGER& t) { t.wBeginYear = 2032, t.wBeginMonth = 2, t.wBeginDay = 29; }, S_OK},
        {"end date ignored without its flag", [](TASK_TRIGGER& t) { t.wEndMonth = 13; }, S_OK},
        {"at system start", [](TASK_TRIGGER& t) { t.TriggerType = TASK_EVENT_TRIGGER_AT_SYSTEMSTART; }, S_OK},
        {"interval within duration", [](TASK_TRIGGER& t) { t.MinutesDuration = 60, t.MinutesInterval = 10; },
         S_OK},
        {"size", [](TASK_TRIGGER& t) { t.cbTriggerSize = sizeof(t) - 2; }, E_INVALIDARG},
        {"Reserved1", [](TASK_TRIGGER& t) { t.Reserved1 = 1; }, E_INVALIDARG},
        {"Reserved2", [](TASK_TRIGGER& t) { t.Reserved2 = 1; }, E_INVALIDARG},
        {"no begin date", [](TASK_TRIGGER& t) { t.wBeginYear = t.wBeginMonth = t.wBeginDay = 0; },
         E_INVALIDARG},
        {"two-digit year", [](TASK_TRIGGER& t) { t.wBeginYear = 31; }, E_INVALIDARG},
        {"29 February of another year", [](TASK_TRIGGER& t) { t.wBeginMonth = 2, t.wBeginDay = 29; },
         E_INVALIDARG},
        {"31 April", [](TASK_TRIGGER& t) { t.wBeginMonth = 4, t.wBeginDay = 31; }, E_INVALIDARG},
        {"hour 24", [](TASK_TRIGGER& t) { t.wStartHour = 24; }, E_INVALIDARG},
        {"minute 60", [](TASK_TRIGGER& t) { t.wStartMinute = 60; }, E_INVALIDARG},
        {"interval beyond duration", [](TASK_TRIGGER& t) { t.MinutesInterval = 10; }, E_INVALIDARG},
        {"interval equal to duration", [](TASK_TRIGGER& t) { t.MinutesDuration = t.MinutesInterval = 10; },
         E_INVALIDARG},
        {"unknown trigger flag", [](TASK_TRIGGER& t) { t.rgFlags = 0x8; }, E_INVALIDARG},
        {"end before begin",
         [](TASK_TRIGGER& t) {
             t.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
             t.wEndYear = 2031, t.wEndMonth = 2, t.wEndDay = 27;
         },
         E_INVALIDARG},
        {"unknown type", [](TASK_TRIGGER& t) { t.TriggerType = static_cast<TASK_TRIGGER_TYPE>(8); },
         E_INVALIDARG},
        {"weekly day bit 7",
         [](TASK_TRIGGER& t) {
             t.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
             t.Type.Weekly.rgfDaysOfTheWeek = 0x80;
         },
         E_INVALIDARG},
    };
    kv::ComPtr<ITask> task = newItem(L"v");
    WORD index = 0;
    kv::ComPtr<ITaskTrigger> trigger;
    ASSERT_EQ(task->CreateTrigger(&index, trigger.put()), S_OK);
    const TASK_TRIGGER kept = dailyTrigger();
    ASSERT_EQ(trigger->SetTrigger(const_cast<TASK_TRIGGER*>(&kept)), S_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        TASK_TRIGGER t = dailyTrigger();
        row.change(t);
        EXPECT_EQ(trigger->SetTrigger(&t), row.expected);
        if (FAILED(row.expected)) {
            TASK_TRIGGER read = {};
            ASSERT_EQ(trigger->GetTrigger(&read), S_OK);
            EXPECT_EQ(read.wBeginYear, kept.wBeginYear); // a refused record changes nothing
        }
        ASSERT_EQ(trigger->SetTrigger(const_cast<TASK_TRIGGER*>(&kept)), S_OK);
    }
    EXPECT_EQ(trigger->SetTrigger(nullptr), E_INVALIDARG);
}

TEST_F(TaskScheduler10, StatusFollowsTheDefinition) {
    using Change = std::function<void(ITask*)>;
    struct {
        const char* why;
        Change change;
        HRESULT expected;
    } const rows[] = {
        {"ready to run, never run", [](ITask*) {}, SCHED_S_TASK_HAS_NOT_RUN},
        {"disabled", [](ITask* t) { t->SetFlags(TASK_FLAG_DISABLED); }, SCHED_S_TASK_DISABLED},
        {"no trigger", [](ITask* t) { t->DeleteTrigger(0); }, SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"trigger never set",
         [](ITask* t) {
             WORD index = 0;
             ITaskTrigger* trigger = nullptr;
             t->DeleteTrigger(0);
             t->CreateTrigger(&index, &trigger);
             trigger->Release();
         },
         SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"disabled trigger",
         [](ITask* t) {
             ITaskTrigger* trigger = nullptr;
             t->GetTrigger(0, &trigger);
             TASK_TRIGGER record = dailyTrigger();
             record.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
             trigger->SetTrigger(&record);
             trigger->Release();
         },
         SCHED_S_TASK_NO_VALID_TRIGGERS},
        {"no application", [](ITask* t) { t->SetApplicationName(L""); }, SCHED_S_TASK_NOT_SCHEDULED},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        const std::wstring name = L"status" + std::to_wstring(n++);
        kv::ComPtr<ITask> task = schedulable(name, L"");
        row.change(task.get());
        EXPECT_EQ(status(task), row.expected);
        EXPECT_EQ(save(task), S_OK);
        EXPECT_EQ(status(activate(name)), row.expected);
    }
    kv::ComPtr<ITask> noAccount = newItem(L"no account");
    ASSERT_EQ(noAccount->SetApplicationName(L"x.exe"), S_OK);
    ASSERT_EQ(addTrigger(noAccount, dailyTrigger()), S_OK);
    EXPECT_EQ(status(noAccount), SCHED_S_TASK_NOT_SCHEDULED);
}

TEST_F(TaskScheduler10, RunStartsTheStoredProgramOnceAndTheStatusFollowsItsLife) {
    const std::wstring out = folder / L"out.txt";
    kv::ComPtr<ITask> task = schedulable(L"runner", L"append \"" + out + L"\" 2500 hello world");
    ASSERT_EQ(task->SetParameters(L"not what is stored"), S_OK); // Run starts what was saved
    ASSERT_EQ(task->Run(), S_OK);
    EXPECT_EQ(status(task), SCHED_S_TASK_HAS_NOT_RUN); // the object's status is not refreshed
    EXPECT_EQ(status(activate(L"runner")), SCHED_S_TASK_RUNNING);
    EXPECT_EQ(activate(L"runner")->Run(), S_OK); // a second request while it runs starts nothing
    EXPECT_EQ(statusOnce(L"runner", SCHED_S_TASK_READY), SCHED_S_TASK_READY);
    EXPECT_EQ(readText(out), L"hello world\r\n");

    // A save from an object loaded before the run keeps what the service recorded.
    ASSERT_EQ(task->SetComment(L"edited"), S_OK);
    ASSERT_EQ(save(task), S_OK);
    SYSTEMTIME last = {};
    EXPECT_EQ(activate(L"runner")->GetMostRecentRunTime(&last), S_OK);
    EXPECT_EQ(status(activate(L"runner")), SCHED_S_TASK_READY);
}

TEST_F(TaskScheduler10, RunLifeCycleReachesNoMoreRunsAndTerminated) {
    TASK_TRIGGER past = dailyTrigger();
    past.TriggerType = TASK_TIME_TRIGGER_ONCE;
    past.wBeginYear = 2001;
    schedulable(L"once", L"append \"" + (folder / L"once.txt") + L"\" 0 x", past);
    ASSERT_EQ(activate(L"once")->Run(), S_OK);
    EXPECT_EQ(statusOnce(L"once", SCHED_S_TASK_NO_MORE_RUNS), SCHED_S_TASK_NO_MORE_RUNS);

    kv::ComPtr<ITask> task = schedulable(L"long", L"append \"" + (folder / L"long.txt") + L"\" 60000 x");
    EXPECT_EQ(task->Terminate(), SCHED_E_TASK_NOT_RUNNING);
    ASSERT_EQ(task->Run(), S_OK);
    ASSERT_EQ(status(activate(L"long")), SCHED_S_TASK_RUNNING);
    EXPECT_EQ(task->Terminate(), S_OK);
    EXPECT_EQ(status(activate(L"long")), SCHED_S_TASK_TERMINATED);
    EXPECT_EQ(task->Terminate(), SCHED_E_TASK_NOT_RUNNING);
}

TEST_F(TaskScheduler10, RunOfAnItemNeverSavedStartsNothing) {
    const std::wstring out = folder / L"unsaved.txt";
    kv::ComPtr<ITask> task = newItem(L"unsaved");
    ASSERT_EQ(task->SetApplicationName(kv::test::besideTestExecutable(L"ts10_client.exe").c_str()), S_OK);
    ASSERT_EQ(task->SetParameters((L"append \"" + out + L"\" 0 x").c_str()), S_OK);
    EXPECT_EQ(task->Run(), S_OK);
    Sleep(1000);
    EXPECT_EQ(GetFileAttributesW(out.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(TaskScheduler10, ForcedStatusReachesObjectsActivatedAfterwards) {
    kv::ComPtr<ITask> before = schedulable(L"forced", L"");
    ASSERT_EQ(ts10::forceStatus(folder.path(), L"forced", SCHED_S_TASK_TERMINATED), S_OK);
    EXPECT_EQ(status(activate(L"forced")), SCHED_S_TASK_TERMINATED);
    EXPECT_EQ(status(before), SCHED_S_TASK_HAS_NOT_RUN);
    ASSERT_EQ(save(before), S_OK); // a client's save keeps the service's part
    EXPECT_EQ(status(activate(L"forced")), SCHED_S_TASK_TERMINATED);
    ASSERT_EQ(ts10::forceStatus(folder.path(), L"forced", S_OK), S_OK);
    EXPECT_EQ(status(activate(L"forced")), SCHED_S_TASK_HAS_NOT_RUN);
    EXPECT_EQ(ts10::forceStatus(folder.path(), L"absent", SCHED_S_TASK_READY),
              static_cast<HRESULT>(0x80070002));
}

TEST_F(TaskScheduler10, AnInjectedFaultHitsOnlyItsCallAndChangesNothing) {
    kv::ComPtr<ITask> task = newItem(L"f");
    ts10::failCall(L"ITask::SetPriority", 2, E_ACCESSDENIED);
    EXPECT_EQ(task->SetPriority(HIGH_PRIORITY_CLASS), S_OK);
    EXPECT_EQ(task->SetPriority(IDLE_PRIORITY_CLASS), E_ACCESSDENIED);
    DWORD priority = 0;
    EXPECT_EQ(task->GetPriority(&priority), S_OK);
    EXPECT_EQ(priority, static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    EXPECT_EQ(task->SetPriority(IDLE_PRIORITY_CLASS), S_OK);
    EXPECT_EQ(ts10::callCount(L"ITask::SetPriority"), 3u);

    ts10::failCallsFrom(L"IScheduledWorkItem::GetComment", 1, E_OUTOFMEMORY);
    LPWSTR comment = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(task->GetComment(&comment), E_OUTOFMEMORY);
    EXPECT_EQ(comment, nullptr);
    EXPECT_EQ(task->GetComment(&comment), E_OUTOFMEMORY);

    ts10::failCall(L"IPersistFile::Save", 1, static_cast<HRESULT>(0x80070070));
    EXPECT_EQ(save(task), static_cast<HRESULT>(0x80070070));
    EXPECT_EQ(GetFileAttributesW(ts10::jobFilePath(folder.path(), L"f").c_str()), INVALID_FILE_ATTRIBUTES);

    // The fixture has made one scheduler already: the next creation is the second.
    ts10::failCall(L"IClassFactory::CreateInstance", ts10::callCount(L"IClassFactory::CreateInstance") + 1,
                   E_ACCESSDENIED);
    kv::ComPtr<ITaskScheduler> second;
    EXPECT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, installerContext, IID_ITaskScheduler,
                               second.putVoid()),
              E_ACCESSDENIED);
    ts10::clearFaults();
    EXPECT_EQ(ts10::callCount(L"ITask::SetPriority"), 0u);
    EXPECT_EQ(task->GetComment(&comment), S_OK);
    take(comment);
}

TEST_F(TaskScheduler10, FaultTextsAreParsedWholeOrNotAtAll) {
    EXPECT_TRUE(
        ts10::addFaults(L" ITaskScheduler::Activate@2=0x80070005 ; IEnumWorkItems::Next@1+=-2147024882;"));
    for (const wchar_t* bad : {L"ITask::Run", L"ITask::Run@0=1", L"ITask::Run@x=1", L"@1=1",
                               L"ITask::Run@1=zz", L"ITask::Run@1=0x80070005;ITask::Run"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ts10::addFaults(bad));
    }
    EXPECT_EQ(save(newItem(L"x")), S_OK);
    IUnknown* item = nullptr;
    EXPECT_EQ(scheduler->Activate(L"x", IID_ITask, &item), S_OK);
    item->Release();
    EXPECT_EQ(scheduler->Activate(L"x", IID_ITask, &item), E_ACCESSDENIED);
    EXPECT_EQ(item, nullptr);
    kv::ComPtr<ITask> task = activate(L"x"); // third call: no fault
    EXPECT_EQ(task->Run(), S_OK);            // a malformed text added nothing
    kv::ComPtr<IEnumWorkItems> items;
    ASSERT_EQ(scheduler->Enum(items.put()), S_OK);
    LPWSTR* names = nullptr;
    EXPECT_EQ(items->Next(1, &names, nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(items->Next(1, &names, nullptr), E_OUTOFMEMORY);
}

TEST_F(TaskScheduler10, PersistFileKnowsItsFileAndWhetherItChanged) {
    kv::ComPtr<ITask> task = schedulable(L"persist", L"");
    kv::ComPtr<IPersistFile> file;
    ASSERT_EQ(activate(L"persist").queryInterface(IID_IPersistFile, file), S_OK);
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    LPOLESTR path = nullptr;
    ASSERT_EQ(file->GetCurFile(&path), S_OK);
    EXPECT_EQ(_wcsicmp(take(path).c_str(), ts10::jobFilePath(folder.path(), L"persist").c_str()), 0);
    kv::ComPtr<ITask> same;
    ASSERT_EQ(file.queryInterface(IID_ITask, same), S_OK);
    ASSERT_EQ(same->SetComment(L"changed"), S_OK);
    EXPECT_EQ(file->IsDirty(), S_OK);
    const std::wstring copy = folder / L"copy.job";
    ASSERT_EQ(file->Save(copy.c_str(), TRUE), S_OK);
    EXPECT_EQ(file->IsDirty(), S_FALSE);
    EXPECT_EQ(enumerate(), (std::vector<std::wstring>{L"copy.job", L"persist.job"}));

    kv::ComPtr<IPersistFile> loose;
    ASSERT_EQ(CoCreateInstance(CLSID_CTask, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile, loose.putVoid()),
              S_OK);
    EXPECT_EQ(loose->Save(nullptr, TRUE), E_INVALIDARG); // no name, no file
    ASSERT_EQ(loose->Load(copy.c_str(), STGM_READ), S_OK);
    kv::ComPtr<ITask> loaded;
    ASSERT_EQ(loose.queryInterface(IID_ITask, loaded), S_OK);
    LPWSTR comment = nullptr;
    ASSERT_EQ(loaded->GetComment(&comment), S_OK);
    EXPECT_EQ(take(comment), L"changed");
}

TEST_F(TaskScheduler10, ItemsSavedInOneProcessAreReadInAnother) {
    const std::wstring client = L"\"" + kv::test::besideTestExecutable(L"ts10_client.exe") +
                                L"\" --in-process \"" + folder.path() + L"\" ";
    ASSERT_EQ(kv::test::runCommand(client + L"save child C:\\child.exe \"-a b\" \"from the child\""), 0u);
    kv::ComPtr<ITask> task = activate(L"child");
    LPWSTR text = nullptr;
    ASSERT_EQ(task->GetParameters(&text), S_OK);
    EXPECT_EQ(take(text), L"-a b");
    EXPECT_EQ(kv::test::runCommand(client + L"verify child C:\\child.exe \"-a b\" \"from the child\""), 0u);
    EXPECT_EQ(kv::test::runCommand(client + L"verify child C:\\other.exe \"-a b\" \"from the child\""), 1u);
    EXPECT_EQ(kv::test::runCommand(client + L"verify missing x y z"), 0x80070002u);
}

} // namespace
