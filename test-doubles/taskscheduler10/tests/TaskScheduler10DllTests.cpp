#include <windows.h>
#include <mstask.h>

#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The double as an in-process server registered under HKLM, reached the way the
// installer reaches the platform's scheduler: CoCreateInstance with context 23.

namespace ts10 = kv::doubles::ts10;

namespace {

constexpr DWORD installerContext = 23;
const wchar_t* const schedulerServerKey =
    L"Software\\Classes\\CLSID\\{148BD52A-A2AB-11CE-B11F-00AA00530503}\\InprocServer32";
const wchar_t* const taskServerKey =
    L"Software\\Classes\\CLSID\\{148BD520-A2AB-11CE-B11F-00AA00530503}\\InprocServer32";

std::wstring serverOf(const wchar_t* key) {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, value, &size) != ERROR_SUCCESS) {
        return L"<none>";
    }
    return value;
}

void setConfigValue(const wchar_t* name, const std::wstring& value) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, ts10::configKey, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

HRESULT callExport(const std::wstring& dll, const char* name) {
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using Export = HRESULT(__stdcall*)();
    const auto function = reinterpret_cast<Export>(GetProcAddress(module, name));
    const HRESULT result = function == nullptr ? E_NOINTERFACE : function();
    FreeLibrary(module);
    return result;
}

class TaskScheduler10Dll : public ::testing::Test {
protected:
    void SetUp() override {
        platformScheduler = serverOf(schedulerServerKey);
        platformTask = serverOf(taskServerKey);
        SetEnvironmentVariableW(ts10::tasksFolderVariable, folder.path().c_str());
        ASSERT_EQ(callExport(dll, "DllRegisterServer"), S_OK);
    }
    void TearDown() override {
        EXPECT_EQ(callExport(dll, "DllUnregisterServer"), S_OK);
        EXPECT_EQ(serverOf(schedulerServerKey), platformScheduler);
        EXPECT_EQ(serverOf(taskServerKey), platformTask);
        SetEnvironmentVariableW(ts10::tasksFolderVariable, nullptr);
        SetEnvironmentVariableW(ts10::faultsVariable, nullptr);
    }

    DWORD client(const std::wstring& arguments) {
        return kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"ts10_client.exe") + L"\" " +
                                    arguments);
    }

    kv::ScopedComInitializer com;
    kv::test::TempDirectory folder;
    kv::test::RegistryTree config{HKEY_LOCAL_MACHINE, ts10::configKey};
    const std::wstring dll = kv::test::besideTestExecutable(L"kv_taskscheduler10.dll");
    std::wstring platformScheduler;
    std::wstring platformTask;
};

TEST_F(TaskScheduler10Dll, RegistrationPointsBothClassesAtTheDllAndCoCreateInstanceReachesIt) {
    EXPECT_EQ(_wcsicmp(serverOf(schedulerServerKey).c_str(), dll.c_str()), 0);
    EXPECT_EQ(_wcsicmp(serverOf(taskServerKey).c_str(), dll.c_str()), 0);
    ASSERT_EQ(callExport(dll, "DllRegisterServer"), S_OK); // twice keeps the platform's server for later
    kv::ComPtr<ITaskScheduler> scheduler;
    ASSERT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, installerContext, IID_ITaskScheduler,
                               scheduler.putVoid()),
              S_OK);
    kv::ComPtr<ITask> task;
    ASSERT_EQ(
        scheduler->NewWorkItem(L"probe", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown**>(task.put())),
        S_OK);
    EXPECT_EQ(task->SetPriority(HIGH_PRIORITY_CLASS), S_OK); // the platform's own answers E_NOTIMPL
    kv::ComPtr<ITask> loose;
    EXPECT_EQ(CoCreateInstance(CLSID_CTask, nullptr, installerContext, IID_ITask, loose.putVoid()), S_OK);
    EXPECT_EQ(client(L"probe"), 0u);
    EXPECT_EQ(callExport(dll, "DllCanUnloadNow"), S_FALSE); // objects are alive
    task.reset();
    loose.reset();
    scheduler.reset();
    EXPECT_EQ(callExport(dll, "DllCanUnloadNow"), S_OK);
}

TEST_F(TaskScheduler10Dll, WorkItemsCrossProcessesThroughTheStore) {
    ASSERT_EQ(client(L"save fromChild C:\\a.exe \"x y\" comment"), 0u);
    kv::ComPtr<ITaskScheduler> scheduler;
    ASSERT_EQ(CoCreateInstance(CLSID_CTaskScheduler, nullptr, installerContext, IID_ITaskScheduler,
                               scheduler.putVoid()),
              S_OK);
    kv::ComPtr<ITask> task;
    ASSERT_EQ(scheduler->Activate(L"fromChild", IID_ITask, reinterpret_cast<IUnknown**>(task.put())), S_OK);
    ASSERT_EQ(task->SetComment(L"edited by the parent"), S_OK);
    kv::ComPtr<IPersistFile> file;
    ASSERT_EQ(task.queryInterface(IID_IPersistFile, file), S_OK);
    ASSERT_EQ(file->Save(nullptr, TRUE), S_OK);
    EXPECT_EQ(client(L"verify fromChild C:\\a.exe \"x y\" \"edited by the parent\""), 0u);
    EXPECT_EQ(client(L"status fromChild"), static_cast<DWORD>(SCHED_S_TASK_HAS_NOT_RUN));
    ASSERT_EQ(ts10::forceStatus(folder.path(), L"fromChild", SCHED_S_TASK_TERMINATED), S_OK);
    EXPECT_EQ(client(L"status fromChild"), static_cast<DWORD>(SCHED_S_TASK_TERMINATED));
}

TEST_F(TaskScheduler10Dll, FaultsAndTheTasksFolderComeFromTheEnvironmentOrTheRegistry) {
    ASSERT_EQ(client(L"save item C:\\a.exe p c"), 0u);
    SetEnvironmentVariableW(ts10::faultsVariable, L"ITask::SetPriority@1=0x80070005");
    EXPECT_EQ(client(L"setpriority item"), 0x80070005u);
    SetEnvironmentVariableW(ts10::faultsVariable, nullptr);
    EXPECT_EQ(client(L"setpriority item"), 0u);

    setConfigValue(ts10::faultsValue, L"ITaskScheduler::Activate@1=0x8004130F");
    EXPECT_EQ(client(L"setpriority item"), 0x8004130Fu);
    setConfigValue(ts10::faultsValue, L"");

    kv::test::TempDirectory other;
    SetEnvironmentVariableW(ts10::tasksFolderVariable, nullptr);
    setConfigValue(ts10::tasksFolderValue, other.path());
    ASSERT_EQ(client(L"save elsewhere C:\\b.exe p c"), 0u);
    EXPECT_NE(GetFileAttributesW(ts10::jobFilePath(other.path(), L"elsewhere").c_str()),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(client(L"status item"), 0x80070002u);
}

TEST_F(TaskScheduler10Dll, Regsvr32RegistersAndUnregistersTheDll) {
    ASSERT_EQ(callExport(dll, "DllUnregisterServer"), S_OK);
    ASSERT_EQ(serverOf(schedulerServerKey), platformScheduler);
    EXPECT_EQ(kv::test::runCommand(L"regsvr32 /s \"" + dll + L"\""), 0u);
    EXPECT_EQ(_wcsicmp(serverOf(schedulerServerKey).c_str(), dll.c_str()), 0);
    EXPECT_EQ(kv::test::runCommand(L"regsvr32 /s /u \"" + dll + L"\""), 0u);
    EXPECT_EQ(serverOf(taskServerKey), platformTask);
    ASSERT_EQ(callExport(dll, "DllRegisterServer"), S_OK);
}

} // namespace
