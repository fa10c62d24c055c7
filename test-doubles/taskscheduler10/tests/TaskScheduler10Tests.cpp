// What the 1.0 double refuses, as the service's documentation says the service
// does. What it accepts is proved by the scheduled-task library's own tests.
#include <windows.h>
#include <mstask.h>

#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

class TaskScheduler10Double : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(com.result()));
        ASSERT_EQ(registration.result(), S_OK);
        ASSERT_EQ(
            CoCreateInstance(CLSID_CTaskScheduler, nullptr, 23, IID_ITaskScheduler, scheduler.putVoid()),
            S_OK);
        ASSERT_EQ(
            scheduler->NewWorkItem(L"Item", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown**>(item.put())),
            S_OK);
    }

    kv::ScopedComInitializer com;
    kv::test::TempDirectory tasks;
    kv::doubles::ScopedTaskScheduler10Registration registration{tasks.path()};
    kv::ComPtr<ITaskScheduler> scheduler;
    kv::ComPtr<ITask> item;
};

TEST_F(TaskScheduler10Double, RefusesAccountsTheServiceRefuses) {
    LPWSTR stored = nullptr;
    EXPECT_EQ(item->GetAccountInformation(&stored), SCHED_E_ACCOUNT_INFORMATION_NOT_SET) << "nothing set yet";
    const std::tuple<const wchar_t*, const wchar_t*, DWORD, HRESULT, const char*> rows[] = {
        {L"", nullptr, 0, S_OK, "the local system account takes no password"},
        {L"", L"secret", 0, E_INVALIDARG, "nor any text as one"},
        {L"builder", L"secret", 0, S_OK, "a user with a password"},
        {L"builder", nullptr, 0, SCHED_E_UNSUPPORTED_ACCOUNT_OPTION, "a user without a password"},
        {L"builder", nullptr, TASK_FLAG_RUN_ONLY_IF_LOGGED_ON, S_OK, "unless it runs only while logged on"},
        {nullptr, nullptr, 0, E_INVALIDARG, "no account at all"},
    };
    for (const auto& [account, password, flags, expected, why] : rows) {
        ASSERT_EQ(item->SetFlags(flags), S_OK);
        EXPECT_EQ(item->SetAccountInformation(account, password), expected) << why;
    }
    ASSERT_EQ(item->GetAccountInformation(&stored), S_OK);
    EXPECT_STREQ(stored, L"builder") << "a refused call changes nothing";
    CoTaskMemFree(stored);
}

} // namespace
