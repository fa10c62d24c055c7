#include <windows.h>
#include <mstask.h>
#include <shellapi.h>

#include "kvtl/Com.h"
#include "taskscheduler10/TaskScheduler10Double.h"

#include <memory>
#include <string>
#include <vector>

// A COM client in its own process, for the tests: it reaches the scheduler the
// way the installer does (CoCreateInstance with context 23) and answers an
// HRESULT as its exit code.
//   ts10_client [--in-process FOLDER] save NAME APP PARAMS COMMENT
//   ts10_client [--in-process FOLDER] verify NAME APP PARAMS COMMENT   (0, or 1 on a mismatch)
//   ts10_client [--in-process FOLDER] setpriority NAME
//   ts10_client [--in-process FOLDER] status NAME
//   ts10_client probe               (SetPriority's answer on a fresh work item)
//   ts10_client append FILE MS TEXT (appends TEXT to FILE, then sleeps MS: a program to run)

namespace {

constexpr DWORD context =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr BYTE signature[] = {'s', 0, 'i', 0, 'g', 0, 0, 0};

struct CoTaskText {
    LPWSTR text = nullptr;
    ~CoTaskText() { CoTaskMemFree(text); }
    std::wstring str() const { return text == nullptr ? std::wstring() : std::wstring(text); }
};

HRESULT scheduler(kv::ComPtr<ITaskScheduler>& result) {
    return CoCreateInstance(CLSID_CTaskScheduler, nullptr, context, IID_ITaskScheduler, result.putVoid());
}

HRESULT activate(const std::wstring& name, kv::ComPtr<ITask>& task) {
    kv::ComPtr<ITaskScheduler> service;
    HRESULT hr = scheduler(service);
    if (SUCCEEDED(hr)) {
        hr = service->Activate(name.c_str(), IID_ITask, reinterpret_cast<IUnknown**>(task.put()));
    }
    return hr;
}

HRESULT save(const std::vector<std::wstring>& a) {
    kv::ComPtr<ITaskScheduler> service;
    HRESULT hr = scheduler(service);
    kv::ComPtr<ITask> task;
    if (SUCCEEDED(hr)) {
        hr = service->NewWorkItem(a[0].c_str(), CLSID_CTask, IID_ITask,
                                  reinterpret_cast<IUnknown**>(task.put()));
    }
    if (SUCCEEDED(hr)) {
        hr = task->SetApplicationName(a[1].c_str());
    }
    if (SUCCEEDED(hr)) {
        hr = task->SetParameters(a[2].c_str());
    }
    if (SUCCEEDED(hr)) {
        hr = task->SetComment(a[3].c_str());
    }
    if (SUCCEEDED(hr)) {
        hr = task->SetPriority(HIGH_PRIORITY_CLASS);
    }
    if (SUCCEEDED(hr)) {
        BYTE data[sizeof(signature)];
        memcpy(data, signature, sizeof(data));
        hr = task->SetWorkItemData(sizeof(data), data);
    }
    if (SUCCEEDED(hr)) {
        hr = task->SetAccountInformation(L"", nullptr);
    }
    WORD index = 0;
    kv::ComPtr<ITaskTrigger> trigger;
    if (SUCCEEDED(hr)) {
        hr = task->CreateTrigger(&index, trigger.put());
    }
    if (SUCCEEDED(hr)) {
        TASK_TRIGGER t = {};
        t.cbTriggerSize = sizeof(t);
        t.wBeginYear = 2030;
        t.wBeginMonth = 6;
        t.wBeginDay = 15;
        t.wStartHour = 4;
        t.TriggerType = TASK_TIME_TRIGGER_DAILY;
        t.Type.Daily.DaysInterval = 3;
        hr = trigger->SetTrigger(&t);
    }
    kv::ComPtr<IPersistFile> file;
    if (SUCCEEDED(hr)) {
        hr = task.queryInterface(IID_IPersistFile, file);
    }
    if (SUCCEEDED(hr)) {
        hr = file->Save(nullptr, TRUE);
    }
    return hr;
}

HRESULT verify(const std::vector<std::wstring>& a) {
    kv::ComPtr<ITask> task;
    HRESULT hr = activate(a[0], task);
    if (FAILED(hr)) {
        return hr;
    }
    CoTaskText application, parameters, comment, account;
    DWORD priority = 0;
    WORD size = 0;
    BYTE* data = nullptr;
    WORD count = 0;
    kv::ComPtr<ITaskTrigger> trigger;
    TASK_TRIGGER t = {};
    if (FAILED(hr = task->GetApplicationName(&application.text)) ||
        FAILED(hr = task->GetParameters(&parameters.text)) || FAILED(hr = task->GetComment(&comment.text)) ||
        FAILED(hr = task->GetAccountInformation(&account.text)) ||
        FAILED(hr = task->GetPriority(&priority)) || FAILED(hr = task->GetWorkItemData(&size, &data)) ||
        FAILED(hr = task->GetTriggerCount(&count)) || FAILED(hr = task->GetTrigger(0, trigger.put())) ||
        FAILED(hr = trigger->GetTrigger(&t))) {
        CoTaskMemFree(data);
        return hr;
    }
    const bool dataMatches = size == sizeof(signature) && memcmp(data, signature, size) == 0;
    CoTaskMemFree(data);
    const bool matches = application.str() == a[1] && parameters.str() == a[2] && comment.str() == a[3] &&
                         account.str().empty() && priority == HIGH_PRIORITY_CLASS && dataMatches &&
                         count == 1 && t.TriggerType == TASK_TIME_TRIGGER_DAILY &&
                         t.Type.Daily.DaysInterval == 3 && t.wBeginYear == 2030 && t.wStartHour == 4;
    return matches ? S_OK : S_FALSE;
}

HRESULT setPriority(const std::wstring& name) {
    kv::ComPtr<ITask> task;
    const HRESULT hr = activate(name, task);
    return FAILED(hr) ? hr : task->SetPriority(HIGH_PRIORITY_CLASS);
}

HRESULT status(const std::wstring& name) {
    kv::ComPtr<ITask> task;
    HRESULT hr = activate(name, task);
    HRESULT result = E_FAIL;
    if (SUCCEEDED(hr)) {
        hr = task->GetStatus(&result);
    }
    return FAILED(hr) ? hr : result;
}

HRESULT probe() {
    kv::ComPtr<ITaskScheduler> service;
    HRESULT hr = scheduler(service);
    kv::ComPtr<ITask> task;
    if (SUCCEEDED(hr)) {
        hr = service->NewWorkItem(L"probe", CLSID_CTask, IID_ITask, reinterpret_cast<IUnknown**>(task.put()));
    }
    return FAILED(hr) ? hr : task->SetPriority(HIGH_PRIORITY_CLASS);
}

DWORD append(const std::vector<std::wstring>& a) {
    std::wstring text;
    for (size_t i = 2; i < a.size(); ++i) {
        text += (i > 2 ? L" " : L"") + a[i];
    }
    text += L"\r\n";
    HANDLE file = CreateFileW(a[0].c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD written = 0;
    WriteFile(file, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    Sleep(wcstoul(a[1].c_str(), nullptr, 10));
    return 0;
}

} // namespace

int main() {
    int argc = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> argv(CommandLineToArgvW(GetCommandLineW(), &argc),
                                                       reinterpret_cast<decltype(&LocalFree)>(&LocalFree));
    std::vector<std::wstring> args(argv.get() + 1, argv.get() + argc);
    if (!args.empty() && args[0] == L"append" && args.size() >= 3) {
        return static_cast<int>(append({args.begin() + 1, args.end()}));
    }
    kv::ScopedComInitializer com;
    std::unique_ptr<kv::doubles::ScopedTaskScheduler10Registration> registration;
    if (args.size() >= 2 && args[0] == L"--in-process") {
        registration = std::make_unique<kv::doubles::ScopedTaskScheduler10Registration>(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return static_cast<int>(E_INVALIDARG);
    }
    const std::wstring command = args[0];
    const std::vector<std::wstring> rest(args.begin() + 1, args.end());
    HRESULT hr = E_INVALIDARG;
    if (command == L"save" && rest.size() == 4) {
        hr = save(rest);
    } else if (command == L"verify" && rest.size() == 4) {
        hr = verify(rest);
    } else if (command == L"setpriority" && rest.size() == 1) {
        hr = setPriority(rest[0]);
    } else if (command == L"status" && rest.size() == 1) {
        hr = status(rest[0]);
    } else if (command == L"probe") {
        hr = probe();
    }
    return static_cast<int>(hr);
}
