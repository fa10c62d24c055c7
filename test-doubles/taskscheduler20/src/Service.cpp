#include "Service.h"
#include "ComBase.h"
#include "Definition.h"
#include "Faults.h"
#include "Store.h"

#include "kvtl/Handle.h"

#include <sddl.h>

#include <cwctype>
#include <map>
#include <mutex>
#include <vector>

namespace kv::ts20 {

std::atomic<long>& moduleReferences() {
    static std::atomic<long> count{0};
    return count;
}

namespace {

using Names = std::vector<std::wstring>;

// What the folder of a service answers for its security descriptor when none was
// stored for it or any folder above it.
const wchar_t* const kDefaultRootSddl = L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;AU)";

std::wstring lower(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// Names as stored (the case of the file system), for the parts that exist.
Names storedNames(const Names& names) {
    Names result;
    for (const auto& name : names) {
        result.push_back(name);
        std::wstring stored;
        if (store::kindOf(result, &stored) != store::Kind::Missing) {
            result.back() = stored;
        }
    }
    return result;
}

// A missing task or folder: file not found, or path not found when its folder is missing too.
HRESULT missing(const Names& names) {
    if (names.empty()) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    const HRESULT parents = store::folderExists(Names(names.begin(), names.end() - 1));
    return FAILED(parents) ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
                           : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT formatSddl(const std::wstring& sddl, SECURITY_INFORMATION information, std::wstring& out) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    kv::UniqueLocal owner(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, information, &text,
                                                              nullptr)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    out = text;
    LocalFree(text);
    return S_OK;
}

// The descriptor of a task or folder: its own, else the nearest folder's above it.
HRESULT effectiveSecurity(Names names, SECURITY_INFORMATION information, std::wstring& sddl) {
    for (;;) {
        const HRESULT hr = store::readSecurity(names, information, sddl);
        if (FAILED(hr) || !sddl.empty()) {
            return hr;
        }
        if (names.empty()) {
            return formatSddl(kDefaultRootSddl, information, sddl);
        }
        names.pop_back();
    }
}

// A VARIANT argument that may be left out: empty, null or "parameter not found".
bool absent(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL ||
           (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND);
}

// Reads an optional text argument; false for a type that is neither text nor absent.
bool optionalText(const VARIANT& value, std::wstring& text) {
    text.clear();
    if (absent(value)) {
        return true;
    }
    if (value.vt != VT_BSTR) {
        return false;
    }
    text = textOf(value.bstrVal);
    return true;
}

// Instances the double started, by lower-case task path, and each task's last result.
class RunningTable {
public:
    static RunningTable& instance() {
        static RunningTable table;
        return table;
    }

    bool running(const std::wstring& path) {
        std::lock_guard<std::mutex> guard(lock_);
        return !aliveLocked(lower(path)).empty();
    }

    void stopAll(const std::wstring& path) {
        std::lock_guard<std::mutex> guard(lock_);
        for (HANDLE process : aliveLocked(lower(path))) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        aliveLocked(lower(path));
    }

    void add(const std::wstring& path, kv::UniqueHandle process) {
        std::lock_guard<std::mutex> guard(lock_);
        instances_[lower(path)].push_back(std::move(process));
    }

    void setResult(const std::wstring& path, HRESULT result) {
        std::lock_guard<std::mutex> guard(lock_);
        results_[lower(path)] = result;
    }

    bool lastResult(const std::wstring& path, LONG& result) {
        std::lock_guard<std::mutex> guard(lock_);
        aliveLocked(lower(path));
        const auto found = results_.find(lower(path));
        if (found == results_.end()) {
            return false;
        }
        result = found->second;
        return true;
    }

private:
    // Drops finished instances (their exit code becomes the last result) and lists the others.
    std::vector<HANDLE> aliveLocked(const std::wstring& key) {
        std::vector<HANDLE> alive;
        auto& list = instances_[key];
        for (auto it = list.begin(); it != list.end();) {
            if (WaitForSingleObject(it->get(), 0) == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(it->get(), &code);
                results_[key] = static_cast<HRESULT>(code);
                it = list.erase(it);
            } else {
                alive.push_back(it->get());
                ++it;
            }
        }
        return alive;
    }

    std::mutex lock_;
    std::map<std::wstring, std::vector<kv::UniqueHandle>> instances_;
    std::map<std::wstring, HRESULT> results_;
};

std::wstring expand(const std::wstring& text) {
    const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) {
        return text;
    }
    std::wstring result(size, L'\0');
    const DWORD written = ExpandEnvironmentStringsW(text.c_str(), result.data(), size);
    result.resize(written == 0 ? 0 : written - 1);
    return result;
}

// Starts the exec action as the service would: the program path quoted, then the arguments.
HRESULT startAction(const ActionData& action, kv::UniqueHandle& process) {
    std::wstring program = expand(action.path);
    if (program.size() >= 2 && program.front() == L'"' && program.back() == L'"') {
        program = program.substr(1, program.size() - 2);
    }
    std::wstring line = L"\"" + program + L"\"";
    if (!action.arguments.empty()) {
        line += L" " + expand(action.arguments);
    }
    const std::wstring directory = expand(action.workingDirectory);
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    CloseHandle(info.hThread);
    process.reset(info.hProcess);
    return S_OK;
}

class RegisteredTask final : public Dispatch<IRegisteredTask> {
public:
    explicit RegisteredTask(Names names) : names_(std::move(names)), path_(store::join(names_)) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Name");
        return giveBstr(names_.back(), value);
    }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Path");
        return giveBstr(path_, value);
    }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_State");
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = TASK_STATE_UNKNOWN;
        TaskData task;
        const HRESULT hr = load(task);
        if (FAILED(hr)) {
            return hr;
        }
        *value = !task.settings.enabled                    ? TASK_STATE_DISABLED
                 : RunningTable::instance().running(path_) ? TASK_STATE_RUNNING
                                                           : TASK_STATE_READY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Enabled");
        TaskData task;
        const HRESULT hr = load(task);
        return FAILED(hr) ? hr : giveBool(task.settings.enabled, value);
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::put_Enabled");
        TaskData task;
        const HRESULT hr = load(task);
        if (FAILED(hr)) {
            return hr;
        }
        task.settings.enabled = value != VARIANT_FALSE;
        return store::writeTask(names_, toXml(task));
    }
    HRESULT STDMETHODCALLTYPE Run(VARIANT params, IRunningTask** running) override {
        KV_TS20_ENTRY(L"IRegisteredTask::Run");
        return run(params, running);
    }
    HRESULT STDMETHODCALLTYPE RunEx(VARIANT params, LONG, LONG, BSTR, IRunningTask** running) override {
        KV_TS20_ENTRY(L"IRegisteredTask::RunEx");
        return run(params, running);
    }
    HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG* result) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_LastTaskResult");
        if (result == nullptr) {
            return E_POINTER;
        }
        if (!RunningTable::instance().lastResult(path_, *result)) {
            *result = kSchedTaskHasNotRun;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition** value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Definition");
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        auto task = std::make_shared<TaskData>();
        const HRESULT hr = load(*task);
        return FAILED(hr) ? hr : giveObject(newDefinition(task), value);
    }
    HRESULT STDMETHODCALLTYPE get_Xml(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegisteredTask::get_Xml");
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = nullptr;
        std::wstring xml;
        const HRESULT hr = store::readTask(names_, xml);
        return FAILED(hr) ? hr : giveBstr(xml, value);
    }
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG information, BSTR* sddl) override {
        KV_TS20_ENTRY(L"IRegisteredTask::GetSecurityDescriptor");
        if (sddl == nullptr) {
            return E_POINTER;
        }
        *sddl = nullptr;
        if (store::kindOf(names_) != store::Kind::Task) {
            return missing(names_);
        }
        std::wstring text;
        const HRESULT hr = effectiveSecurity(names_, static_cast<SECURITY_INFORMATION>(information), text);
        return FAILED(hr) ? hr : giveBstr(text, sddl);
    }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG) override {
        KV_TS20_ENTRY(L"IRegisteredTask::SetSecurityDescriptor");
        if (store::kindOf(names_) != store::Kind::Task) {
            return missing(names_);
        }
        const std::wstring text = textOf(sddl);
        const HRESULT hr = store::checkSddl(text);
        return FAILED(hr) ? hr : store::writeSecurity(names_, text);
    }
    HRESULT STDMETHODCALLTYPE Stop(LONG) override {
        KV_TS20_ENTRY(L"IRegisteredTask::Stop");
        RunningTable::instance().stopAll(path_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*,
                                          LPSYSTEMTIME*) override {
        return E_NOTIMPL;
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidRegisteredTask; }

private:
    HRESULT load(TaskData& task) const {
        std::wstring xml;
        const HRESULT hr = store::readTask(names_, xml);
        return FAILED(hr) ? hr : fromXml(xml, task);
    }

    HRESULT run(const VARIANT&, IRunningTask** running) {
        // Running-task objects are not modelled: callers get none.
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
        if (!task.settings.allowDemandStart) {
            return kSchedStartOnDemand;
        }
        RunningTable& table = RunningTable::instance();
        if (table.running(path_)) {
            switch (task.settings.multipleInstances) {
                case TASK_INSTANCES_IGNORE_NEW:
                    return kSchedAlreadyRunning;
                case TASK_INSTANCES_QUEUE:
                    return S_OK; // queued runs are not modelled: the new run is dropped
                case TASK_INSTANCES_STOP_EXISTING:
                    table.stopAll(path_);
                    break;
                default:
                    break;
            }
        }
        if (task.actions.empty()) {
            return S_OK;
        }
        // The service starts the program on its own; a program that cannot start
        // shows in the last result, never in Run's answer.
        kv::UniqueHandle process;
        const HRESULT started = startAction(*task.actions.front(), process);
        if (FAILED(started)) {
            table.setResult(path_, started);
        } else {
            table.setResult(path_, static_cast<HRESULT>(STILL_ACTIVE));
            table.add(path_, std::move(process));
        }
        return S_OK;
    }

    Names names_;
    std::wstring path_;
};

template <class Collection, class Item, class Make>
class NamedCollection final : public Dispatch<Collection> {
public:
    NamedCollection(std::vector<Names> items, const IID& iid, Make make)
        : items_(std::move(items)), iid_(iid), make_(make) {}

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(countName());
        return giveValue(static_cast<LONG>(items_.size()), count);
    }
    HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, Item** item) override {
        KV_TS20_ENTRY(itemName());
        if (item == nullptr) {
            return E_POINTER;
        }
        *item = nullptr;
        long number = 0;
        std::wstring name;
        const HRESULT hr = readIndex(index, number, name);
        if (FAILED(hr)) {
            return hr;
        }
        for (size_t i = 0; i < items_.size(); ++i) {
            if (name.empty() ? static_cast<long>(i + 1) == number : lower(items_[i].back()) == lower(name)) {
                return giveObject(make_(items_[i]), item);
            }
        }
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

protected:
    bool implements(REFIID iid) const override { return iid == iid_; }

private:
    const wchar_t* countName() const {
        return iid_ == kIidRegisteredTaskCollection ? L"IRegisteredTaskCollection::get_Count"
                                                    : L"ITaskFolderCollection::get_Count";
    }
    const wchar_t* itemName() const {
        return iid_ == kIidRegisteredTaskCollection ? L"IRegisteredTaskCollection::get_Item"
                                                    : L"ITaskFolderCollection::get_Item";
    }

    std::vector<Names> items_;
    IID iid_;
    Make make_;
};

IRegisteredTask* makeTask(const Names& names) {
    return new (std::nothrow) RegisteredTask(names);
}

ITaskFolder* makeFolder(const Names& names);

class TaskFolder final : public Dispatch<ITaskFolder> {
public:
    explicit TaskFolder(Names names) : names_(std::move(names)), path_(store::join(names_)) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
        KV_TS20_ENTRY(L"ITaskFolder::get_Name");
        return giveBstr(names_.empty() ? std::wstring(L"\\") : names_.back(), value);
    }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* value) override {
        KV_TS20_ENTRY(L"ITaskFolder::get_Path");
        return giveBstr(path_, value);
    }
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetFolder");
        return openFolder(path_, textOf(path), folder);
    }
    HRESULT STDMETHODCALLTYPE GetFolders(LONG flags, ITaskFolderCollection** folders) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetFolders");
        if (folders == nullptr) {
            return E_POINTER;
        }
        *folders = nullptr;
        if (flags != 0) {
            return E_INVALIDARG;
        }
        std::vector<std::wstring> found;
        const HRESULT hr = store::list(names_, true, found);
        if (FAILED(hr)) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        std::vector<Names> items;
        for (const auto& name : found) {
            items.push_back(names_);
            items.back().push_back(name);
        }
        return giveObject(new (std::nothrow)
                              NamedCollection<ITaskFolderCollection, ITaskFolder, decltype(&makeFolder)>(
                                  std::move(items), kIidTaskFolderCollection, &makeFolder),
                          folders);
    }
    HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskFolder::CreateFolder");
        if (folder != nullptr) {
            *folder = nullptr;
        }
        if (textOf(name).empty()) {
            return E_INVALIDARG;
        }
        Names names;
        HRESULT hr = store::resolve(path_, textOf(name), names);
        if (FAILED(hr)) {
            return hr;
        }
        if (names.empty()) {
            return E_INVALIDARG;
        }
        std::wstring descriptor;
        if (!optionalText(sddl, descriptor)) {
            return E_INVALIDARG;
        }
        if (!descriptor.empty() && FAILED(hr = store::checkSddl(descriptor))) {
            return hr;
        }
        if (FAILED(store::folderExists(names_))) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        if (store::kindOf(names) != store::Kind::Missing) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        if (FAILED(hr = store::createFolder(names))) {
            return hr;
        }
        if (!descriptor.empty() && FAILED(hr = store::writeSecurity(names, descriptor))) {
            return hr;
        }
        return folder == nullptr ? S_OK : giveObject(makeFolder(storedNames(names)), folder);
    }
    HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG flags) override {
        KV_TS20_ENTRY(L"ITaskFolder::DeleteFolder");
        if (flags != 0) {
            return E_INVALIDARG;
        }
        Names names;
        const HRESULT hr = store::resolve(path_, textOf(name), names);
        if (FAILED(hr)) {
            return hr;
        }
        if (names.empty()) {
            return E_INVALIDARG; // the root folder stays
        }
        if (store::kindOf(names) != store::Kind::Folder) {
            return missing(names);
        }
        return store::deleteFolder(names);
    }
    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetTask");
        if (task == nullptr) {
            return E_POINTER;
        }
        *task = nullptr;
        Names names;
        const HRESULT hr = store::resolve(path_, textOf(path), names);
        if (FAILED(hr)) {
            return hr;
        }
        if (names.empty()) {
            return E_INVALIDARG;
        }
        if (store::kindOf(names) != store::Kind::Task) {
            return missing(names);
        }
        return giveObject(makeTask(storedNames(names)), task);
    }
    HRESULT STDMETHODCALLTYPE GetTasks(LONG flags, IRegisteredTaskCollection** tasks) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetTasks");
        if (tasks == nullptr) {
            return E_POINTER;
        }
        *tasks = nullptr;
        if ((flags & ~TASK_ENUM_HIDDEN) != 0) {
            return E_INVALIDARG;
        }
        std::vector<std::wstring> found;
        if (FAILED(store::list(names_, false, found))) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        std::vector<Names> items;
        for (const auto& name : found) {
            Names names = names_;
            names.push_back(name);
            std::wstring xml;
            TaskData data;
            if (FAILED(store::readTask(names, xml)) || FAILED(fromXml(xml, data))) {
                continue; // a file that is not a task is not listed
            }
            if (data.settings.hidden && (flags & TASK_ENUM_HIDDEN) == 0) {
                continue;
            }
            items.push_back(std::move(names));
        }
        return giveObject(
            new (std::nothrow)
                NamedCollection<IRegisteredTaskCollection, IRegisteredTask, decltype(&makeTask)>(
                    std::move(items), kIidRegisteredTaskCollection, &makeTask),
            tasks);
    }
    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
        KV_TS20_ENTRY(L"ITaskFolder::DeleteTask");
        if (flags != 0) {
            return E_INVALIDARG;
        }
        Names names;
        const HRESULT hr = store::resolve(path_, textOf(name), names);
        if (FAILED(hr)) {
            return hr;
        }
        if (names.empty()) {
            return E_INVALIDARG;
        }
        if (store::kindOf(names) != store::Kind::Task) {
            return missing(names);
        }
        return store::deleteTask(names);
    }
    HRESULT STDMETHODCALLTYPE RegisterTask(BSTR path, BSTR xml, LONG flags, VARIANT user, VARIANT password,
                                           TASK_LOGON_TYPE logon, VARIANT sddl,
                                           IRegisteredTask** task) override {
        KV_TS20_ENTRY(L"ITaskFolder::RegisterTask");
        if (task != nullptr) {
            *task = nullptr;
        }
        TaskData data;
        const HRESULT hr = fromXml(textOf(xml), data);
        return FAILED(hr) ? hr : registerTask(path, data, flags, user, password, logon, sddl, task);
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
    HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG information, BSTR* sddl) override {
        KV_TS20_ENTRY(L"ITaskFolder::GetSecurityDescriptor");
        if (sddl == nullptr) {
            return E_POINTER;
        }
        *sddl = nullptr;
        HRESULT hr = store::folderExists(names_);
        if (FAILED(hr)) {
            return hr;
        }
        std::wstring text;
        hr = effectiveSecurity(names_, static_cast<SECURITY_INFORMATION>(information), text);
        return FAILED(hr) ? hr : giveBstr(text, sddl);
    }
    HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR sddl, LONG) override {
        KV_TS20_ENTRY(L"ITaskFolder::SetSecurityDescriptor");
        HRESULT hr = store::folderExists(names_);
        if (FAILED(hr)) {
            return hr;
        }
        const std::wstring text = textOf(sddl);
        return FAILED(hr = store::checkSddl(text)) ? hr : store::writeSecurity(names_, text);
    }

    static HRESULT openFolder(const std::wstring& base, const std::wstring& path, ITaskFolder** folder) {
        if (folder == nullptr) {
            return E_POINTER;
        }
        *folder = nullptr;
        Names names;
        HRESULT hr = store::resolve(base, path, names);
        if (FAILED(hr)) {
            return hr;
        }
        if (FAILED(hr = store::folderExists(names))) {
            return hr;
        }
        return giveObject(makeFolder(storedNames(names)), folder);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTaskFolder; }

private:
    HRESULT registerTask(BSTR path, TaskData& data, LONG flags, const VARIANT& user, const VARIANT& password,
                         TASK_LOGON_TYPE logon, const VARIANT& sddl, IRegisteredTask** task) {
        const LONG known = TASK_VALIDATE_ONLY | TASK_CREATE | TASK_UPDATE | TASK_DISABLE |
                           TASK_DONT_ADD_PRINCIPAL_ACE | TASK_IGNORE_REGISTRATION_TRIGGERS;
        const bool validateOnly = (flags & TASK_VALIDATE_ONLY) != 0;
        if ((flags & ~known) != 0 || (validateOnly && (flags & TASK_CREATE_OR_UPDATE) != 0) ||
            (!validateOnly && (flags & TASK_CREATE_OR_UPDATE) == 0)) {
            return E_INVALIDARG;
        }
        if (logon < TASK_LOGON_NONE || logon > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
            return E_INVALIDARG;
        }
        std::wstring name = textOf(path);
        if (name.empty()) {
            // Without a name the task goes to the root folder under a new GUID.
            GUID guid;
            wchar_t text[64] = {};
            if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 64) == 0) {
                return E_FAIL;
            }
            name = std::wstring(L"\\") + text;
        }
        Names names;
        HRESULT hr = store::resolve(path_, name, names);
        if (FAILED(hr)) {
            return hr;
        }
        if (names.empty()) {
            return E_INVALIDARG;
        }
        std::wstring userText;
        std::wstring passwordText;
        std::wstring descriptor;
        if (!optionalText(user, userText) || !optionalText(password, passwordText) ||
            !optionalText(sddl, descriptor)) {
            return E_INVALIDARG;
        }
        if (logon == TASK_LOGON_SERVICE_ACCOUNT && !passwordText.empty()) {
            return E_INVALIDARG; // a service account takes no password
        }
        if (logon == TASK_LOGON_PASSWORD || logon == TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
            if (userText.empty() != passwordText.empty()) {
                return E_OUTOFMEMORY; // documented answer for one null and one non-null credential
            }
            if (passwordText.empty()) {
                return static_cast<HRESULT>(0x8004130F); // SCHED_E_ACCOUNT_INFORMATION_NOT_SET
            }
        }
        if (!descriptor.empty() && FAILED(hr = store::checkSddl(descriptor))) {
            return hr;
        }
        if (FAILED(hr = validateForRegistration(data))) {
            return hr;
        }
        if (FAILED(store::folderExists(names_))) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        const store::Kind kind = store::kindOf(names);
        if (kind == store::Kind::Folder || (kind == store::Kind::Task && (flags & TASK_UPDATE) == 0)) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        if (kind == store::Kind::Missing && (flags & TASK_CREATE) == 0 && !validateOnly) {
            return missing(names);
        }
        if (validateOnly) {
            return S_OK;
        }
        data.registration.uri = store::join(storedNames(names));
        if (!userText.empty()) {
            data.principal.userId = userText;
            data.principal.groupId.clear();
        }
        data.principal.logonType = logon;
        if ((flags & TASK_DISABLE) != 0) {
            data.settings.enabled = false;
        }
        if (FAILED(hr = store::createFolder(Names(names.begin(), names.end() - 1))) ||
            FAILED(hr = store::writeTask(names, toXml(data)))) {
            return hr;
        }
        if (!descriptor.empty() && FAILED(hr = store::writeSecurity(names, descriptor))) {
            return hr;
        }
        return task == nullptr ? S_OK : giveObject(makeTask(storedNames(names)), task);
    }

    Names names_;
    std::wstring path_;
};

ITaskFolder* makeFolder(const Names& names) {
    return new (std::nothrow) TaskFolder(names);
}

std::wstring computerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

class TaskService final : public Dispatch<ITaskService> {
public:
    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        KV_TS20_ENTRY(L"ITaskService::GetFolder");
        if (!connected_) {
            if (folder != nullptr) {
                *folder = nullptr;
            }
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        return TaskFolder::openFolder(L"", textOf(path), folder);
    }
    HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override {
        KV_TS20_ENTRY(L"ITaskService::NewTask");
        if (definition == nullptr) {
            return E_POINTER;
        }
        *definition = nullptr;
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        if (flags != 0) {
            return E_INVALIDARG;
        }
        return giveObject(newDefinition(std::make_shared<TaskData>()), definition);
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT, VARIANT, VARIANT) override {
        KV_TS20_ENTRY(L"ITaskService::Connect");
        std::wstring target;
        if (!optionalText(server, target)) {
            return E_INVALIDARG;
        }
        if (target.rfind(L"\\\\", 0) == 0) {
            target.erase(0, 2);
        }
        const std::wstring local = computerName();
        if (!target.empty() && lower(target) != lower(local) && lower(target) != L"localhost" &&
            target != L".") {
            return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH); // only the local service is modelled
        }
        const std::wstring root = store::root();
        if (!CreateDirectoryW(root.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        connected_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* connected) override {
        KV_TS20_ENTRY(L"ITaskService::get_Connected");
        return giveBool(connected_, connected);
    }
    HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR* server) override {
        KV_TS20_ENTRY(L"ITaskService::get_TargetServer");
        return connected_ ? giveBstr(computerName(), server) : HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* user) override {
        KV_TS20_ENTRY(L"ITaskService::get_ConnectedUser");
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        wchar_t name[256] = {};
        DWORD size = 256;
        return giveBstr(GetUserNameW(name, &size) ? std::wstring(name) : std::wstring(), user);
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR* domain) override {
        KV_TS20_ENTRY(L"ITaskService::get_ConnectedDomain");
        return connected_ ? giveBstr(computerName(), domain) : HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    }
    HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD* version) override {
        KV_TS20_ENTRY(L"ITaskService::get_HighestVersion");
        if (!connected_) {
            return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
        }
        return giveValue<DWORD>(0x00010003, version); // Task Scheduler 1.3, as on Windows 7
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTaskService; }

private:
    bool connected_ = false;
};

class ClassFactory final : public IClassFactory {
public:
    ClassFactory() noexcept { ++moduleReferences(); }
    ~ClassFactory() { --moduleReferences(); }
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            return E_NOINTERFACE;
        }
        *result = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
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
        lock ? ++moduleReferences() : --moduleReferences();
        return S_OK;
    }

private:
    std::atomic<long> references_{1};
};

} // namespace

IClassFactory* newClassFactory() {
    return new (std::nothrow) ClassFactory();
}

} // namespace kv::ts20
