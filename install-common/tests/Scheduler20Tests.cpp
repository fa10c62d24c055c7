#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Doubles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kv::doubles::callCount;
using kv::test::failNext;

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

TEST_F(Scheduler20, FirstConstructionCreatesTheProductFolderWithItsAcl) {
    EXPECT_EQ(folderSddl(), NoFolder);
    { kv::Scheduler20 scheduler; }
    EXPECT_EQ(callCount(L"ITaskFolder::CreateFolder"), 1u);
    EXPECT_EQ(folderSddl(), ProductSddl) << "Administrators and Local System only";
    const unsigned opened = callCount(L"ITaskService::GetFolder");
    { kv::Scheduler20 again; }
    EXPECT_EQ(callCount(L"ITaskFolder::CreateFolder"), 1u) << "found, not made again";
    EXPECT_EQ(callCount(L"ITaskService::GetFolder"), opened + 1) << "the root stays closed";
}

TEST_F(Scheduler20, AFolderThatCannotBeOpenedIsMade) {
    failNext(L"ITaskService::GetFolder", E_ACCESSDENIED);
    kv::Scheduler20 scheduler;
    EXPECT_EQ(folderSddl(), ProductSddl);
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

TEST_F(Scheduler20, ListsTheTasksOfTheProductFolderHiddenOnesToo) {
    kv::Scheduler20 scheduler;
    for (const bool hidden : {false, true}) {
        const auto task = scheduler.createTask(hidden ? L"Secret" : L"Wisp Updater");
        task->setCommand(L"C:\\windows\\system32\\cmd.exe");
        task->setHidden(hidden);
        task->save(L"", L"");
    }
    ASSERT_TRUE(kv::doubles::writeTaskScheduler20Xml(L"\\Elsewhere", xmlOf(L"Secret")));
    std::vector<std::wstring> names = scheduler.getTasks();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Secret", L"Wisp Updater"}));
}

TEST_F(Scheduler20, RemovesTheFolder) {
    kv::Scheduler20 scheduler;
    for (const wchar_t* method : {L"ITaskService::GetFolder", L"ITaskFolder::DeleteFolder"}) {
        failNext(method, E_ACCESSDENIED);
        kv::test::expectThrow([&] { scheduler.removeFolder(); }, E_ACCESSDENIED,
                              L"Scheduler20::removeFolder");
    }
    EXPECT_EQ(folderSddl(), ProductSddl);
    scheduler.removeFolder();
    EXPECT_EQ(folderSddl(), NoFolder);
    kv::Scheduler20 again;
    EXPECT_EQ(folderSddl(), ProductSddl) << "the next connection makes it anew";
}

} // namespace
