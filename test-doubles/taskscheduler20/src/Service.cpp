#include "Service.h"
#include "ComBase.h"
#include "Definition.h"
#include "Faults.h"
#include "Store.h"

#include "kvtl/Handle.h"

#include <map>
#include <mutex>
#include <vector>

#define KV_NOTIMPL(name, ...)                                                                                \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override {                                                   \
        return E_NOTIMPL;                                                                                    \
    }

// The service, its folders and registered tasks, for the calls the scheduled-task
// library makes; every other method answers E_NOTIMPL.
namespace kv::ts20 {

namespace {

using Names = std::vector<std::wstring>;

// What the root folder answers for its security descriptor when none was stored.
const wchar_t* const kDefaultSddl = L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;AU)";

std::wstring lower(std::wstring text) {
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// A missing task or folder: file not found, or path not found when its folder is missing too.
HRESULT missing(const Names& names) {
    return names.empty() || SUCCEEDED(store::folderExists(Names(names.begin(), names.end() - 1)))
               ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
               : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// A credential argument: absent (VT_EMPTY or VT_NULL), or a text.
bool credential(const VARIANT& value, bool& present, std::wstring& text) {
    present = value.vt == VT_BSTR;
    text = present ? textOf(value.bstrVal) : std::wstring();
    return present || value.vt == VT_EMPTY || value.vt == VT_NULL;
}

// The processes the double started, by lower-case task path: a task runs one
// instance at a time (the library registers TASK_INSTANCES_IGNORE_NEW).
class RunningTable {
public:
    static RunningTable& instance() {
        static RunningTable table;
        return table;
    }
    bool running(const std::wstring& path) {
        std::lock_guard<std::mutex> guard(lock_);
        kv::UniqueHandle& process = processes_[lower(path)];
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            process.reset();
        }
        return static_cast<bool>(process);
    }
    void add(const std::wstring& path, kv::UniqueHandle process) {
        std::lock_guard<std::mutex> guard(lock_);
        processes_[lower(path)] = std::move(process);
    }

private:
    std::mutex lock_;
    std::map<std::wstring, kv::UniqueHandle> processes_;
};

// Starts the exec action as the service would: the program path quoted, then the arguments.
HRESULT startAction(const ActionData& action, kv::UniqueHandle& process) {
    std::wstring line =
        L"\"" + action.path + L"\"" + (action.arguments.empty() ? L"" : L" " + action.arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(action.path.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    kv::UniqueHandle thread(info.hThread);
    process.reset(info.hProcess);
    return S_OK;
}

class RegisteredTask final : public Dispatch<IRegisteredTask, kIidRegisteredTask> {
public:
    explicit RegisteredTask(Names names) : names_(std::move(names)), path_(store::join(names_)) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Name");
        return giveBstr(names_.back(), value);
    }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_State");
        TaskData task;
        const HRESULT hr = load(task);
        return FAILED(hr) ? hr
                          : giveValue(!task.settings.enabled                    ? TASK_STATE_DISABLED
                                      : RunningTable::instance().running(path_) ? TASK_STATE_RUNNING
                                                                                : TASK_STATE_READY,
                                      value);
    }
    // The service starts the program on its own; a program that cannot start shows
    // in the task's history, never in Run's answer. Running-task objects are not modelled.
    HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask** running) override {
        KV_TS20_ENTRY(L"IRegisteredTask::Run");
        if (running != nullptr) {
            *running = nullptr;
        }
        TaskData task;
        const HRESULT hr = load(task);
        if (FAILED(hr)) {
            return hr;
        }
        if (!task.settings.enabled) {
            return kSchedTaskDisabled;
        }
        RunningTable& table = RunningTable::instance();
        if (table.running(path_)) {
            return kSchedAlreadyRunning;
        }
        kv::UniqueHandle process;
        if (!task.actions.empty() && SUCCEEDED(startAction(*task.actions.front(), process))) {
            table.add(path_, std::move(process));
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Definition");
        auto task = std::make_shared<TaskData>();
        const HRESULT hr = load(*task);
        return FAILED(hr) ? hr : giveObject(newDefinition(task), value);
    }
    KV_NOTIMPL(get_Path, BSTR*);
    KV_NOTIMPL(get_Enabled, VARIANT_BOOL*);
    KV_NOTIMPL(put_Enabled, VARIANT_BOOL);
    KV_NOTIMPL(RunEx, VARIANT, LONG, LONG, BSTR, IRunningTask**);
    KV_NOTIMPL(GetInstances, LONG, IRunningTaskCollection**);
    KV_NOTIMPL(get_LastRunTime, DATE*);
    KV_NOTIMPL(get_LastTaskResult, LONG*);
    KV_NOTIMPL(get_NumberOfMissedRuns, LONG*);
    KV_NOTIMPL(get_NextRunTime, DATE*);
    KV_NOTIMPL(get_Xml, BSTR*);
    KV_NOTIMPL(GetSecurityDescriptor, LONG, BSTR*);
    KV_NOTIMPL(SetSecurityDescriptor, BSTR, LONG);
    KV_NOTIMPL(Stop, LONG);
    KV_NOTIMPL(GetRunTimes, const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*);

private:
    HRESULT load(TaskData& task) const {
        std::wstring xml;
        const HRESULT hr = store::readTask(names_, xml);
        return FAILED(hr) ? hr : fromXml(xml, task);
    }

    Names names_;
    std::wstring path_;
};

class RegisteredTaskCollection final
    : public Dispatch<IRegisteredTaskCollection, kIidRegisteredTaskCollection> {
public:
    explicit RegisteredTaskCollection(std::vector<Names> items) : items_(std::move(items)) {}
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(L"IRegisteredTaskCollection::get_Count");
        return giveValue(static_cast<LONG>(items_.size()), count);
    }
    // By 1-based position only.
    HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IRegisteredTask** task) override {
        KV_TS20_ENTRY(L"IRegisteredTaskCollection::get_Item");
        VARIANT number;
        VariantInit(&number);
        if (FAILED(VariantChangeType(&number, &index, 0, VT_I4)) || number.lVal < 1 ||
            number.lVal > static_cast<LONG>(items_.size())) {
            return E_INVALIDARG;
        }
        return giveObject(new (std::nothrow) RegisteredTask(items_[number.lVal - 1]), task);
    }
    KV_NOTIMPL(get__NewEnum, IUnknown**);

private:
    std::vector<Names> items_;
};

class TaskFolder final : public Dispatch<ITaskFolder, kIidTaskFolder> {
public:
    explicit TaskFolder(Names names) : names_(std::move(names)), path_(store::join(names_)) {}

    static HRESULT open(const std::wstring& base, const std::wstring& path, ITaskFolder** folder) {
        Names names;
        HRESULT hr = store::resolve(base, path, names);
        if (SUCCEEDED(hr)) {
            hr = store::folderExists(names);
        }
        return FAILED(hr) ? hr : giveObject(new (std::nothrow) TaskFolder(names), folder);
    }

    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetFolder");
        return open(path_, textOf(path), folder);
    }
    HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskFolder::CreateFolder");
        Names names;
        HRESULT hr = store::resolve(path_, textOf(name), names);
        bool given = false;
        std::wstring descriptor;
        if (FAILED(hr) || names.empty() || !credential(sddl, given, descriptor)) {
            return FAILED(hr) ? hr : E_INVALIDARG;
        }
        if (!descriptor.empty() && FAILED(hr = store::checkSddl(descriptor))) {
            return hr;
        }
        if (store::kindOf(names) != store::Kind::Missing) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        if (FAILED(hr = store::folderExists(names_)) || FAILED(hr = store::createFolder(names))) {
            return hr;
        }
        store::writeSecurity(names, descriptor);
        return folder == nullptr ? S_OK : giveObject(new (std::nothrow) TaskFolder(names), folder);
    }
    // The root folder stays; a folder that holds anything stays too.
    HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG flags) override {
        KV_TS20_ENTRY(L"ITaskFolder::DeleteFolder");
        Names names;
        const HRESULT hr = store::resolve(path_, textOf(name), names);
        if (FAILED(hr) || flags != 0 || names.empty()) {
            return FAILED(hr) ? hr : E_INVALIDARG;
        }
        return store::kindOf(names) != store::Kind::Folder ? missing(names) : store::deleteFolder(names);
    }
    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetTask");
        if (task == nullptr) {
            return E_POINTER;
        }
        *task = nullptr;
        Names names;
        const HRESULT hr = taskNames(path, names);
        return FAILED(hr) ? hr : giveObject(new (std::nothrow) RegisteredTask(names), task);
    }
    // Hidden tasks only with TASK_ENUM_HIDDEN; files that are no task are not listed.
    HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection** tasks) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetTasks");
        std::vector<std::wstring> found;
        if ((flags & ~TASK_ENUM_HIDDEN) != 0) {
            return E_INVALIDARG;
        }
        if (FAILED(store::list(names_, false, found))) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        std::vector<Names> items;
        for (const auto& name : found) {
            Names names = names_;
            names.push_back(name);
            std::wstring xml;
            TaskData data;
            if (SUCCEEDED(store::readTask(names, xml)) && SUCCEEDED(fromXml(xml, data)) &&
                (!data.settings.hidden || (flags & TASK_ENUM_HIDDEN) != 0)) {
                items.push_back(std::move(names));
            }
        }
        return giveObject(new (std::nothrow) RegisteredTaskCollection(std::move(items)), tasks);
    }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
        KV_TS20_ENTRY(L"ITaskFolder::DeleteTask");
        Names names;
        const HRESULT hr = taskNames(name, names);
        return FAILED(hr) ? hr : flags != 0 ? E_INVALIDARG : store::deleteTask(names);
    }
    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags,
                                                     VARIANT user, VARIANT password, TASK_LOGON_TYPE logon,
                                                     VARIANT sddl, IRegisteredTask** task) override {
        recordRegistration(path, flags, user, password, logon, sddl);
        KV_TS20_ENTRY(L"ITaskFolder::RegisterTaskDefinition");
        if (task != nullptr) {
            *task = nullptr;
        }
        TaskData data;
        const HRESULT hr = snapshotOf(definition, data);
        return FAILED(hr) ? hr : registerTask(path, data, flags, user, password, logon, sddl, task);
    }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR* sddl) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetSecurityDescriptor");
        const HRESULT hr = store::folderExists(names_);
        if (FAILED(hr)) {
            return hr;
        }
        Names names = names_;
        std::wstring text = store::readSecurity(names);
        while (text.empty() && !names.empty()) {
            names.pop_back();
            text = store::readSecurity(names);
        }
        return giveBstr(text.empty() ? kDefaultSddl : text, sddl);
    }
    KV_NOTIMPL(get_Name, BSTR*);
    KV_NOTIMPL(get_Path, BSTR*);
    KV_NOTIMPL(GetFolders, LONG, ITaskFolderCollection**);
    KV_NOTIMPL(RegisterTask, BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT, IRegisteredTask**);
    KV_NOTIMPL(SetSecurityDescriptor, BSTR, LONG);

private:
    // The names of a stored task of this folder; a missing one answers file or path not found.
    HRESULT taskNames(BSTR path, Names& names) const {
        const HRESULT hr = store::resolve(path_, textOf(path), names);
        if (FAILED(hr) || names.empty()) {
            return FAILED(hr) ? hr : E_INVALIDARG;
        }
        return store::kindOf(names) != store::Kind::Task ? missing(names) : S_OK;
    }

    // The credential rules are the service's: a service-account logon takes an empty
    // VARIANT as password, a user and password pair with one absent and one given is
    // refused, and a password logon needs both.
    HRESULT registerTask(BSTR path, TaskData& data, LONG flags, const VARIANT& user, const VARIANT& password,
                         TASK_LOGON_TYPE logon, const VARIANT& sddl, IRegisteredTask** task) {
        const LONG known = TASK_CREATE | TASK_UPDATE | TASK_DISABLE | TASK_DONT_ADD_PRINCIPAL_ACE |
                           TASK_IGNORE_REGISTRATION_TRIGGERS;
        Names names;
        HRESULT hr = store::resolve(path_, textOf(path), names);
        if (FAILED(hr)) {
            return hr;
        }
        bool userGiven = false, passwordGiven = false, sddlGiven = false;
        std::wstring userText, passwordText, descriptor;
        if ((flags & ~known) != 0 || (flags & TASK_CREATE_OR_UPDATE) == 0 || logon < TASK_LOGON_NONE ||
            logon > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD || names.empty() ||
            !credential(user, userGiven, userText) || !credential(password, passwordGiven, passwordText) ||
            !credential(sddl, sddlGiven, descriptor)) {
            return E_INVALIDARG;
        }
        if (userGiven != passwordGiven && logon != TASK_LOGON_SERVICE_ACCOUNT) {
            return E_OUTOFMEMORY; // the documented answer for one null and one non-null credential
        }
        if (logon == TASK_LOGON_SERVICE_ACCOUNT && passwordGiven) {
            return E_INVALIDARG;
        }
        if ((logon == TASK_LOGON_PASSWORD || logon == TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) &&
            (!userGiven || userText.empty())) {
            return SCHED_E_ACCOUNT_INFORMATION_NOT_SET;
        }
        if ((!descriptor.empty() && FAILED(hr = store::checkSddl(descriptor))) ||
            FAILED(hr = validateForRegistration(data))) {
            return hr;
        }
        if (FAILED(store::folderExists(names_))) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        const store::Kind kind = store::kindOf(names);
        if (kind == store::Kind::Folder || (kind == store::Kind::Task && (flags & TASK_UPDATE) == 0)) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        if (kind == store::Kind::Missing && (flags & TASK_CREATE) == 0) {
            return missing(names);
        }
        data.uri = store::join(names);
        if (!userText.empty()) {
            data.principal.userId = userText;
            data.principal.groupId.clear();
        }
        data.principal.logonType = logon;
        data.settings.enabled = data.settings.enabled && (flags & TASK_DISABLE) == 0;
        if (FAILED(hr = store::createFolder(Names(names.begin(), names.end() - 1))) ||
            FAILED(hr = store::writeTask(names, toXml(data)))) {
            return hr;
        }
        return task == nullptr ? S_OK : giveObject(new (std::nothrow) RegisteredTask(names), task);
    }

    Names names_;
    std::wstring path_;
};

// Only the local service is modelled.
class TaskService final : public Dispatch<ITaskService, kIidTaskService> {
public:
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskService::GetFolder");
        return connected_ ? TaskFolder::open(L"", textOf(path), folder)
                          : HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override {
        KV_TS20_ENTRY(L"ITaskService::NewTask");
        if (!connected_ || flags != 0) {
            return flags != 0 ? E_INVALIDARG : HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        return giveObject(newDefinition(std::make_shared<TaskData>()), definition);
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT, VARIANT, VARIANT) override {
        KV_TS20_ENTRY(L"ITaskService::Connect");
        if (server.vt != VT_EMPTY && server.vt != VT_NULL) {
            return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
        }
        const std::wstring root = store::root();
        if (!CreateDirectoryW(root.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        connected_ = true;
        return S_OK;
    }
    KV_NOTIMPL(GetRunningTasks, LONG, IRunningTaskCollection**);
    KV_NOTIMPL(get_Connected, VARIANT_BOOL*);
    KV_NOTIMPL(get_TargetServer, BSTR*);
    KV_NOTIMPL(get_ConnectedUser, BSTR*);
    KV_NOTIMPL(get_ConnectedDomain, BSTR*);
    KV_NOTIMPL(get_HighestVersion, DWORD*);

private:
    bool connected_ = false;
};

class ClassFactory final : public kv::doubles::Object<IClassFactory, IID_IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        TaskService* service = new (std::nothrow) TaskService();
        if (service == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = service->QueryInterface(iid, result);
        service->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++kv::doubles::liveComObjects() : --kv::doubles::liveComObjects();
        return S_OK;
    }
};

} // namespace

IClassFactory* newClassFactory() {
    return new (std::nothrow) ClassFactory();
}

} // namespace kv::ts20
