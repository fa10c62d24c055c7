// What the 2.0 double refuses, as the service's documentation says the service
// does. What it accepts is proved by the scheduled-task library's own tests.
#include <windows.h>

#include "kvtl/Com.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "taskscheduler20/TaskSchedulerExtras.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>
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
    // A definition with one exec action.
    kv::ComPtr<ITaskDefinition> definition() {
        kv::ComPtr<ITaskDefinition> result;
        kv::ComPtr<IActionCollection> actions;
        kv::ComPtr<IAction> action;
        kv::ComPtr<IExecAction> exec;
        EXPECT_EQ(service->NewTask(0, result.put()), S_OK);
        result->get_Actions(actions.put());
        actions->Create(TASK_ACTION_EXEC, action.put());
        action.queryInterface(kv::ts20::kIidExecAction, exec);
        exec->put_Path(kv::Bstr(L"C:\\windows\\system32\\cmd.exe").get());
        return result;
    }
    HRESULT registerAs(ITaskDefinition* task, const VARIANT& user = {}, const VARIANT& password = {},
                       TASK_LOGON_TYPE logon = TASK_LOGON_SERVICE_ACCOUNT) {
        kv::ComPtr<IRegisteredTask> registered;
        kv::Variant sddl;
        return root->RegisterTaskDefinition(kv::Bstr(L"Task").get(), task, TASK_CREATE_OR_UPDATE, user,
                                            password, logon, sddl.get(), registered.put());
    }

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
    const kv::Variant blank = kv::Variant::bstr(L""), secret = kv::Variant::bstr(L"secret");
    const kv::Variant system = kv::Variant::bstr(L"SYSTEM"), builder = kv::Variant::bstr(L"builder");
    const std::tuple<const VARIANT&, const VARIANT&, TASK_LOGON_TYPE, HRESULT, const char*> rows[] = {
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
    for (const auto& [user, password, logon, expected, why] : rows) {
        DeleteFileW((store / L"Task").c_str());
        EXPECT_EQ(registerAs(definition().get(), user, password, logon), expected) << why;
        EXPECT_EQ(!kv::doubles::readTaskScheduler20Xml(L"\\Task").empty(), expected == S_OK) << why;
    }
}

// An opened task's fresh definition has no action until the library gives it one.
TEST_F(TaskScheduler20Double, RefusesADefinitionWithoutAnAction) {
    kv::ComPtr<ITaskDefinition> empty;
    ASSERT_EQ(service->NewTask(0, empty.put()), S_OK);
    EXPECT_EQ(registerAs(empty.get()), kv::ts20::kSchedMissingNode);
    EXPECT_EQ(registerAs(definition().get()), S_OK);
}

} // namespace
