#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Doubles.h"
#include "Expect.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kv::test::failNext;

using kv::test::TaskScheduler20Test;
namespace doubles = kv::doubles;
constexpr wchar_t Scheduler20File[] = L"install-common/Scheduler20.cpp";
constexpr wchar_t ProductSddl[] = L"D:(A;;FA;;;BA)(A;;FA;;;SY)";

class Scheduler20 : public TaskScheduler20Test {
protected:
    // The folder's DACL as SDDL, or the failure of opening it.
    static std::wstring folderSddl(const wchar_t* path) {
        HRESULT opened = S_OK;
        const kv::ComPtr<ITaskFolder> folder = storedFolder(path, opened);
        if (!folder) {
            return L"error " + std::to_wstring(opened);
        }
        kv::Bstr sddl;
        EXPECT_EQ(folder->GetSecurityDescriptor(DACL_SECURITY_INFORMATION, sddl.put()), S_OK);
        return sddl.str();
    }
    void saveTask(kv::IScheduler& scheduler, const std::wstring& name, bool hidden = false) {
        const auto task = scheduler.createTask(name);
        task->setCommand(L"C:\\windows\\system32\\cmd.exe");
        task->setHidden(hidden);
        task->save(L"", L"");
    }
    static std::vector<std::wstring> sorted(std::vector<std::wstring> names) {
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Scheduler20, FirstConstructionCreatesTheProductFolderWithItsAcl) {
    EXPECT_EQ(folderSddl(L"\\Korvane"),
              L"error " + std::to_wstring(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    { kv::Scheduler20 scheduler; }
    EXPECT_EQ(kv::doubles::callCount(L"ITaskFolder::CreateFolder"), 1u);
    EXPECT_EQ(folderSddl(L"\\Korvane"), ProductSddl) << "Administrators and Local System only";

    const unsigned opened = kv::doubles::callCount(L"ITaskService::GetFolder");
    { kv::Scheduler20 again; }
    EXPECT_EQ(kv::doubles::callCount(L"ITaskFolder::CreateFolder"), 1u) << "found, not made again";
    EXPECT_EQ(kv::doubles::callCount(L"ITaskService::GetFolder"), opened + 1) << "the root stays closed";
}

TEST_F(Scheduler20, AFolderThatCannotBeOpenedIsMade) {
    failNext(L"ITaskService::GetFolder", E_ACCESSDENIED);
    kv::Scheduler20 scheduler;
    EXPECT_EQ(kv::doubles::callCount(L"ITaskFolder::CreateFolder"), 1u);
    EXPECT_EQ(folderSddl(L"\\Korvane"), ProductSddl);
}

TEST_F(Scheduler20, ConstructionFailures) {
    struct Row {
        const wchar_t* method;
        unsigned callFromNow;
        HRESULT result;
        const wchar_t* function;
    };
    const Row rows[] = {
        {L"ITaskService::Connect", 1, static_cast<HRESULT>(0x80041315), L"kv::Scheduler20::Scheduler20"},
        {L"ITaskService::GetFolder", 2, E_ACCESSDENIED, L"kv::Scheduler20::InitializeFolder"},
        {L"ITaskFolder::CreateFolder", 1, E_ACCESSDENIED, L"kv::Scheduler20::InitializeFolder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(kv::str::wideToUtf8(row.method));
        kv::doubles::failCall(row.method, kv::doubles::callCount(row.method) + row.callFromNow, row.result);
        kv::test::expectComException([] { kv::Scheduler20 scheduler; }, row.result, row.function,
                                     Scheduler20File);
    }
    EXPECT_EQ(folderSddl(L"\\Korvane"),
              L"error " + std::to_wstring(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
}

TEST_F(Scheduler20, ListsTheTasksOfTheProductFolderHiddenOnesToo) {
    kv::Scheduler20 scheduler;
    saveTask(scheduler, L"Wisp Updater");
    saveTask(scheduler, L"Secret", true);
    ASSERT_TRUE(doubles::writeTaskScheduler20Xml(L"\\Elsewhere",
                                                 doubles::readTaskScheduler20Xml(L"\\Korvane\\Secret")));
    EXPECT_EQ(sorted(scheduler.getTasks()), (std::vector<std::wstring>{L"Secret", L"Wisp Updater"}));
}

TEST_F(Scheduler20, GetTasksFailures) {
    kv::Scheduler20 scheduler;
    saveTask(scheduler, L"One");
    for (const wchar_t* method : {L"ITaskFolder::GetTasks", L"IRegisteredTaskCollection::get_Count",
                                  L"IRegisteredTaskCollection::get_Item", L"IRegisteredTask::get_Name"}) {
        SCOPED_TRACE(kv::str::wideToUtf8(method));
        failNext(method, E_ACCESSDENIED);
        kv::test::expectComException([&] { scheduler.getTasks(); }, E_ACCESSDENIED,
                                     L"kv::Scheduler20::getTasks", Scheduler20File);
    }
}

TEST_F(Scheduler20, RemovesTheFolder) {
    kv::Scheduler20 scheduler;
    failNext(L"ITaskService::GetFolder", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.removeFolder(); }, E_ACCESSDENIED,
                                 L"kv::Scheduler20::removeFolder", Scheduler20File);
    failNext(L"ITaskFolder::DeleteFolder", E_ACCESSDENIED);
    kv::test::expectComException([&] { scheduler.removeFolder(); }, E_ACCESSDENIED,
                                 L"kv::Scheduler20::removeFolder", Scheduler20File);
    EXPECT_EQ(folderSddl(L"\\Korvane"), ProductSddl);

    scheduler.removeFolder();
    EXPECT_EQ(folderSddl(L"\\Korvane"),
              L"error " + std::to_wstring(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    kv::Scheduler20 again;
    EXPECT_EQ(folderSddl(L"\\Korvane"), ProductSddl) << "the next connection makes it anew";
}

} // namespace
