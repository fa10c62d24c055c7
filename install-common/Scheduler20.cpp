#include <windows.h>
#include <taskschd.h>

#include "install-common/Scheduler20.h"
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

void check(HRESULT hr, const wchar_t* function, unsigned int line) {
    if (FAILED(hr)) {
        throw ComException(ComError(hr), L"", function, KV_WFILE, line);
    }
}

// A call that succeeded without handing out its object is treated as failed,
// so that nothing is used that was not returned.
template <class T>
void checkOut(HRESULT hr, const ComPtr<T>& result, const wchar_t* function, unsigned int line) {
    check(hr, function, line);
    if (!result) {
        check(E_POINTER, function, line);
    }
}

} // namespace

Scheduler20::Scheduler20() {
    constexpr const wchar_t* function = L"kv::Scheduler20::Scheduler20";
    checkOut(::CoCreateInstance(TaskSchedulerClass, nullptr, CLSCTX_INPROC_SERVER, TaskServiceInterface,
                                service.putVoid()),
             service, function, __LINE__);
    // Four empty VARIANTs: the local machine, as the current user.
    Variant server, user, domain, password;
    check(service->Connect(server.get(), user.get(), domain.get(), password.get()), function, __LINE__);
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
    checkOut(service->GetFolder(Bstr(RootPath).get(), root.put()), root, function, __LINE__);
    const Variant security = Variant::bstr(FolderSecurity);
    checkOut(root->CreateFolder(Bstr(FolderPath).get(), security.get(), folder.put()), folder, function,
             __LINE__);
}

std::vector<std::wstring> Scheduler20::getTasks() {
    constexpr const wchar_t* function = L"kv::Scheduler20::getTasks";
    ComPtr<IRegisteredTaskCollection> tasks;
    checkOut(folder->GetTasks(TASK_ENUM_HIDDEN, tasks.put()), tasks, function, __LINE__);
    LONG count = 0;
    check(tasks->get_Count(&count), function, __LINE__);
    std::vector<std::wstring> names;
    names.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<IRegisteredTask> task;
        checkOut(tasks->get_Item(Variant::i4(i).get(), task.put()), task, function, __LINE__);
        Bstr name;
        check(task->get_Name(name.put()), function, __LINE__);
        names.push_back(name.str());
    }
    return names;
}

std::shared_ptr<Task> Scheduler20::createTask(const std::wstring& name) {
    constexpr const wchar_t* function = L"kv::Scheduler20::createTask";
    ComPtr<ITaskDefinition> definition;
    checkOut(service->NewTask(0, definition.put()), definition, function, __LINE__);
    return std::make_shared<Task20>(name, definition, ComPtr<IRegisteredTask>(), folder);
}

void Scheduler20::removeTask(const std::wstring& name) {
    check(folder->DeleteTask(Bstr(name).get(), 0), L"kv::Scheduler20::removeTask", __LINE__);
}

void Scheduler20::removeFolder() {
    constexpr const wchar_t* function = L"kv::Scheduler20::removeFolder";
    ComPtr<ITaskFolder> root;
    checkOut(service->GetFolder(Bstr(RootPath).get(), root.put()), root, function, __LINE__);
    check(root->DeleteFolder(Bstr(FolderName).get(), 0), function, __LINE__);
}

std::shared_ptr<Task> Scheduler20::getTask(const std::wstring& name) {
    constexpr const wchar_t* function = L"kv::Scheduler20::getTask";
    ComPtr<IRegisteredTask> registered;
    const HRESULT hr = folder->GetTask(Bstr(name).get(), registered.put());
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return nullptr;
    }
    checkOut(hr, registered, function, __LINE__);
    ComPtr<ITaskDefinition> definition;
    checkOut(service->NewTask(0, definition.put()), definition, function, __LINE__);
    return std::make_shared<Task20>(name, definition, registered, folder);
}

} // namespace kv
