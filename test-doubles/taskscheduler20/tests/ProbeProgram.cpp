// A plain client of the Task Scheduler 2.0 service, as another process on the machine
// would be: it reaches whatever the registry names for CLSID_TaskScheduler.
//   ts20_probe register <folder> <name> <program>   registers a task that runs <program>
//   ts20_probe xml <folder> <name> <out-file>       writes the task's stored XML (UTF-16)
// The exit code is the first failing HRESULT, or 0.
#include <windows.h>
#include <shellapi.h>

#include "kvtl/Com.h"
#include "taskscheduler20/TaskSchedulerExtras.h"

#include <string>

namespace {

HRESULT connect(kv::ComPtr<ITaskService>& service, const std::wstring& folderPath,
                kv::ComPtr<ITaskFolder>& folder) {
    HRESULT hr = CoCreateInstance(kv::ts20::kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  kv::ts20::kIidTaskService, service.putVoid());
    if (SUCCEEDED(hr)) {
        hr = service->Connect(kv::Variant().get(), kv::Variant().get(), kv::Variant().get(),
                              kv::Variant().get());
    }
    if (SUCCEEDED(hr)) {
        hr = service->GetFolder(kv::Bstr(folderPath).get(), folder.put());
    }
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        kv::ComPtr<ITaskFolder> root;
        hr = service->GetFolder(kv::Bstr(L"\\").get(), root.put());
        if (SUCCEEDED(hr)) {
            hr = root->CreateFolder(kv::Bstr(folderPath).get(), kv::Variant().get(), folder.put());
        }
    }
    return hr;
}

HRESULT registerTask(const std::wstring& folderPath, const std::wstring& name, const std::wstring& program) {
    kv::ComPtr<ITaskService> service;
    kv::ComPtr<ITaskFolder> folder;
    HRESULT hr = connect(service, folderPath, folder);
    kv::ComPtr<ITaskDefinition> definition;
    if (SUCCEEDED(hr)) {
        hr = service->NewTask(0, definition.put());
    }
    kv::ComPtr<IActionCollection> actions;
    kv::ComPtr<IAction> action;
    kv::ComPtr<IExecAction> exec;
    if (SUCCEEDED(hr) && SUCCEEDED(hr = definition->get_Actions(actions.put())) &&
        SUCCEEDED(hr = actions->Create(TASK_ACTION_EXEC, action.put())) &&
        SUCCEEDED(hr = action.queryInterface(kv::ts20::kIidExecAction, exec))) {
        hr = exec->put_Path(kv::Bstr(program).get());
    }
    kv::ComPtr<ITriggerCollection> triggers;
    kv::ComPtr<ITrigger> trigger;
    if (SUCCEEDED(hr) && SUCCEEDED(hr = definition->get_Triggers(triggers.put())) &&
        SUCCEEDED(hr = triggers->Create(TASK_TRIGGER_TIME, trigger.put()))) {
        hr = trigger->put_StartBoundary(kv::Bstr(L"2030-01-01T00:00:00").get());
    }
    kv::ComPtr<IRegisteredTask> task;
    if (SUCCEEDED(hr)) {
        hr = folder->RegisterTaskDefinition(kv::Bstr(name).get(), definition.get(), TASK_CREATE_OR_UPDATE,
                                            kv::Variant().get(), kv::Variant().get(),
                                            TASK_LOGON_SERVICE_ACCOUNT, kv::Variant().get(), task.put());
    }
    return hr;
}

HRESULT writeXml(const std::wstring& folderPath, const std::wstring& name, const std::wstring& outFile) {
    kv::ComPtr<ITaskService> service;
    kv::ComPtr<ITaskFolder> folder;
    HRESULT hr = connect(service, folderPath, folder);
    kv::ComPtr<IRegisteredTask> task;
    kv::Bstr xml;
    if (SUCCEEDED(hr) && SUCCEEDED(hr = folder->GetTask(kv::Bstr(name).get(), task.put()))) {
        hr = task->get_Xml(xml.put());
    }
    if (FAILED(hr)) {
        return hr;
    }
    HANDLE file = CreateFileW(outFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    const std::wstring text = xml.str();
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return S_OK;
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 5) {
        return static_cast<int>(E_INVALIDARG);
    }
    const std::wstring command = arguments[1];
    HRESULT hr = E_INVALIDARG;
    {
        kv::ScopedComInitializer com;
        if (command == L"register") {
            hr = registerTask(arguments[2], arguments[3], arguments[4]);
        } else if (command == L"xml") {
            hr = writeXml(arguments[2], arguments[3], arguments[4]);
        }
    }
    LocalFree(arguments);
    return static_cast<int>(hr);
}
