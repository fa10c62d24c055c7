#include <windows.h>
#include <taskschd.h>

#include "install-common/Scheduler20.h"
#include "TaskCommon.h"
#include "kvtl/Exceptions.h"

namespace kv {

namespace {

constexpr CLSID TaskSchedulerClass = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID TaskServiceInterface = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

constexpr wchar_t FolderPath[] = L"\\Korvane";
constexpr wchar_t FolderName[] = L"Korvane";
constexpr wchar_t RootPath[] = L"\\";
// Full access for the built-in Administrators and Local System, nobody else.
constexpr wchar_t FolderSecurity[] = L"D:(A;;FA;;;BA)(A;;FA;;;SY)";

} // namespace

Scheduler20::Scheduler20() {
    constexpr const wchar_t* function = L"kv::Scheduler20::Scheduler20";
    KV_CHECK_OUT(::CoCreateInstance(TaskSchedulerClass, nullptr, CLSCTX_INPROC_SERVER, TaskServiceInterface,
                                    service.putVoid()),
                 service, function);
    // Four empty VARIANTs: the local machine, as the current user.
    Variant server, user, domain, password;
    KV_CHECK(service->Connect(server.get(), user.get(), domain.get(), password.get()), function);
    InitializeFolder();
}

void Scheduler20::InitializeFolder() {
    constexpr const wchar_t* function = L"kv::Scheduler20::InitializeFolder";
    // Anything but S_OK (an error or another success code) means the folder
    // is to be made.
    if (service->GetFolder(Bstr(FolderPath).get(), folder.put()) == S_OK && folder) {
        return;
    }
    ComPtr<ITaskFolder> root;
    KV_CHECK_OUT(service->GetFolder(Bstr(RootPath).get(), root.put()), root, function);
    const Variant security = Variant::bstr(FolderSecurity);
    KV_CHECK_OUT(root->CreateFolder(Bstr(FolderPath).get(), security.get(), folder.put()), folder, function);
}

std::vector<std::wstring> Scheduler20::getTasks() {
    constexpr const wchar_t* function = L"kv::Scheduler20::getTasks";
    ComPtr<IRegisteredTaskCollection> tasks;
    KV_CHECK_OUT(folder->GetTasks(TASK_ENUM_HIDDEN, tasks.put()), tasks, function);
    LONG count = 0;
    KV_CHECK(tasks->get_Count(&count), function);
    std::vector<std::wstring> names;
    names.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<IRegisteredTask> task;
        KV_CHECK_OUT(tasks->get_Item(Variant::i4(i).get(), task.put()), task, function);
        Bstr name;
        KV_CHECK(task->get_Name(name.put()), function);
        names.push_back(name.str());
    }
    return names;
}

std::shared_ptr<Task> Scheduler20::createTask(const std::wstring& name) {
    constexpr const wchar_t* function = L"kv::Scheduler20::createTask";
    ComPtr<ITaskDefinition> definition;
    KV_CHECK_OUT(service->NewTask(0, definition.put()), definition, function);
    return std::make_shared<Task20>(name, definition, ComPtr<IRegisteredTask>(), folder);
}

void Scheduler20::removeTask(const std::wstring& name) {
    KV_CHECK(folder->DeleteTask(Bstr(name).get(), 0), L"kv::Scheduler20::removeTask");
}

void Scheduler20::removeFolder() {
    constexpr const wchar_t* function = L"kv::Scheduler20::removeFolder";
    ComPtr<ITaskFolder> root;
    KV_CHECK_OUT(service->GetFolder(Bstr(RootPath).get(), root.put()), root, function);
    KV_CHECK(root->DeleteFolder(Bstr(FolderName).get(), 0), function);
}

std::shared_ptr<Task> Scheduler20::getTask(const std::wstring& name) {
    constexpr const wchar_t* function = L"kv::Scheduler20::getTask";
    ComPtr<IRegisteredTask> registered;
    const HRESULT hr = folder->GetTask(Bstr(name).get(), registered.put());
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return nullptr;
    }
    KV_CHECK_OUT(hr, registered, function);
    ComPtr<ITaskDefinition> definition;
    KV_CHECK_OUT(service->NewTask(0, definition.put()), definition, function);
    return std::make_shared<Task20>(name, definition, registered, folder);
}

} // namespace kv
