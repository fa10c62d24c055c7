// What the 2.0 double refuses, as the service's documentation says the service
// does. What it accepts is proved by the scheduled-task library's own tests.
#include <windows.h>

#include "kvtl/Com.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "taskscheduler20/TaskSchedulerExtras.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

class TaskScheduler20Double : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        ASSERT_EQ(registration.result(), S_OK);
        ASSERT_EQ(CoCreateInstance(kv::ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                   kv::ts20::kIidTaskService, service.putVoid()),
                  S_OK);
        kv::Variant empty;
        ASSERT_EQ(service->Connect(empty.get(), empty.get(), empty.get(), empty.get()), S_OK);
        ASSERT_EQ(service->GetFolder(kv::Bstr(L"\\").get(), root.put()), S_OK);
    }
    // A definition with one exec action, edited further by `edit`.
    kv::ComPtr<ITaskDefinition> definition(const std::function<void(ITaskDefinition&)>& edit = {}) {
        kv::ComPtr<ITaskDefinition> result;
        kv::ComPtr<IActionCollection> actions;
        kv::ComPtr<IAction> action;
        kv::ComPtr<IExecAction> exec;
        EXPECT_EQ(service->NewTask(0, result.put()), S_OK);
        result->get_Actions(actions.put());
        actions->Create(TASK_ACTION_EXEC, action.put());
        action.queryInterface(kv::ts20::kIidExecAction, exec);
        exec->put_Path(kv::Bstr(L"C:\\windows\\system32\\cmd.exe").get());
        if (edit) {
            edit(*result.get());
        }
        return result;
    }
    HRESULT registerAs(ITaskDefinition* task, const VARIANT& user, const VARIANT& password,
                       TASK_LOGON_TYPE logon) {
        kv::ComPtr<IRegisteredTask> registered;
        kv::Variant sddl;
        return root->RegisterTaskDefinition(kv::Bstr(L"Task").get(), task, TASK_CREATE_OR_UPDATE, user,
                                            password, logon, sddl.get(), registered.put());
    }
    bool stored() { return !kv::doubles::readTaskScheduler20Xml(L"\\Task").empty(); }

    kv::ScopedComInitializer com;
    kv::test::TempDirectory store;
    kv::doubles::ScopedTaskScheduler20Registration registration{{store.path()}};
    kv::ComPtr<ITaskService> service;
    kv::ComPtr<ITaskFolder> root;
};

TEST_F(TaskScheduler20Double, RefusesCredentialsTheServiceRefuses) {
    const VARIANT none = {};
    VARIANT null = {};
    null.vt = VT_NULL;
    kv::Variant blank = kv::Variant::bstr(L"");
    kv::Variant secret = kv::Variant::bstr(L"secret");
    kv::Variant system = kv::Variant::bstr(L"SYSTEM");
    kv::Variant builder = kv::Variant::bstr(L"builder");
    struct Row {
        const VARIANT& user;
        const VARIANT& password;
        TASK_LOGON_TYPE logon;
        HRESULT expected;
        const char* why;
    };
    const Row rows[] = {
        {none, none, TASK_LOGON_SERVICE_ACCOUNT, S_OK, "the local system account"},
        {system.get(), null, TASK_LOGON_SERVICE_ACCOUNT, S_OK, "a named service account, a null password"},
        {none, blank.get(), TASK_LOGON_SERVICE_ACCOUNT, E_INVALIDARG,
         "a service account's password is an empty VARIANT"},
        {system.get(), secret.get(), TASK_LOGON_SERVICE_ACCOUNT, E_INVALIDARG,
         "a service account takes no password"},
        {builder.get(), secret.get(), TASK_LOGON_PASSWORD, S_OK, "a user with a password"},
        {builder.get(), none, TASK_LOGON_PASSWORD, E_OUTOFMEMORY, "a user without a password"},
        {none, secret.get(), TASK_LOGON_PASSWORD, E_OUTOFMEMORY, "a password without a user"},
        {builder.get(), null, TASK_LOGON_INTERACTIVE_TOKEN, E_OUTOFMEMORY, "one null, one not"},
        {none, none, TASK_LOGON_PASSWORD, SCHED_E_ACCOUNT_INFORMATION_NOT_SET, "a password logon needs both"},
    };
    for (const Row& row : rows) {
        DeleteFileW((store / L"Task").c_str());
        EXPECT_EQ(registerAs(definition().get(), row.user, row.password, row.logon), row.expected) << row.why;
        EXPECT_EQ(stored(), row.expected == S_OK) << row.why;
    }
}

TEST_F(TaskScheduler20Double, RefusesDefinitionsTheServiceRefuses) {
    using Edit = std::function<void(ITaskDefinition&)>;
    const auto trigger = [](TASK_TRIGGER_TYPE2 type, const wchar_t* start,
                            const wchar_t* interval = nullptr) {
        return Edit([=](ITaskDefinition& task) {
            kv::ComPtr<ITriggerCollection> triggers;
            kv::ComPtr<ITrigger> created;
            task.get_Triggers(triggers.put());
            triggers->Create(type, created.put());
            created->put_StartBoundary(kv::Bstr(start).get());
            kv::ComPtr<IRepetitionPattern> repetition;
            if (interval != nullptr && SUCCEEDED(created->get_Repetition(repetition.put()))) {
                repetition->put_Interval(kv::Bstr(interval).get());
            }
        });
    };
    struct Row {
        Edit edit;
        HRESULT expected;
        const char* why;
    };
    const Row rows[] = {
        {trigger(TASK_TRIGGER_TIME, L"2027-01-02T03:04:05", L"PT10M"), S_OK, "the updater's trigger"},
        {trigger(TASK_TRIGGER_TIME, L"NEVER"), kv::ts20::kSchedInvalidValue, "no date"},
        {trigger(TASK_TRIGGER_TIME, L"2027-02-29T03:04:05"), kv::ts20::kSchedInvalidValue, "no such day"},
        {trigger(TASK_TRIGGER_TIME, L"2027-01-02T03:04:05", L"PT"), kv::ts20::kSchedInvalidValue,
         "no interval"},
        {trigger(TASK_TRIGGER_TIME, L"2027-01-02T03:04:05", L"PT30S"), kv::ts20::kSchedInvalidValue,
         "under a minute"},
        {trigger(TASK_TRIGGER_WEEKLY, L"2027-01-02T03:04:05"), kv::ts20::kSchedMissingNode,
         "a week without a day"},
        {[](ITaskDefinition& task) {
             kv::ComPtr<ITaskSettings> settings;
             task.get_Settings(settings.put());
             settings->put_Priority(11);
         },
         kv::ts20::kSchedInvalidValue, "priorities run from 0 to 10"},
    };
    kv::Variant none;
    for (const Row& row : rows) {
        EXPECT_EQ(registerAs(definition(row.edit).get(), none.get(), none.get(), TASK_LOGON_SERVICE_ACCOUNT),
                  row.expected)
            << row.why;
    }
    kv::ComPtr<ITaskDefinition> empty;
    ASSERT_EQ(service->NewTask(0, empty.put()), S_OK);
    EXPECT_EQ(registerAs(empty.get(), none.get(), none.get(), TASK_LOGON_SERVICE_ACCOUNT),
              kv::ts20::kSchedMissingNode)
        << "a task needs an action";
}

// Texts go through the XML store escaped and come back as they were.
TEST_F(TaskScheduler20Double, StoresTextsThatNeedEscaping) {
    const std::wstring path = L"C:\\a&b <c> \"d\" 'e'\\\u00e9.exe";
    const auto task = definition([&](ITaskDefinition& task) {
        kv::ComPtr<IActionCollection> actions;
        kv::ComPtr<IAction> action;
        kv::ComPtr<IExecAction> exec;
        task.get_Actions(actions.put());
        actions->get_Item(1, action.put());
        action.queryInterface(kv::ts20::kIidExecAction, exec);
        exec->put_Path(kv::Bstr(path).get());
        task.put_Data(kv::Bstr(L"]]> & <!--").get());
    });
    kv::Variant none;
    ASSERT_EQ(registerAs(task.get(), none.get(), none.get(), TASK_LOGON_SERVICE_ACCOUNT), S_OK);
    EXPECT_NE(kv::doubles::readTaskScheduler20Xml(L"\\Task").find(L"a&amp;b &lt;c&gt;"), std::wstring::npos);
    kv::ComPtr<IRegisteredTask> registered;
    kv::ComPtr<ITaskDefinition> stored;
    kv::ComPtr<IActionCollection> actions;
    kv::ComPtr<IAction> action;
    kv::ComPtr<IExecAction> exec;
    kv::Bstr storedPath, data;
    ASSERT_EQ(root->GetTask(kv::Bstr(L"Task").get(), registered.put()), S_OK);
    ASSERT_EQ(registered->get_Definition(stored.put()), S_OK);
    stored->get_Actions(actions.put());
    actions->get_Item(1, action.put());
    action.queryInterface(kv::ts20::kIidExecAction, exec);
    exec->get_Path(storedPath.put());
    stored->get_Data(data.put());
    EXPECT_EQ(storedPath.str(), path);
    EXPECT_EQ(data.str(), L"]]> & <!--");
}

} // namespace
