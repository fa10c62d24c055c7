#include "Faults.h"
#include "Objects.h"

#include "kvtl/Handle.h"

#include <algorithm>
#include <cstring>

namespace kv::doubles::ts10 {

namespace {

constexpr DWORD knownFlags =
    TASK_FLAG_INTERACTIVE | TASK_FLAG_DELETE_WHEN_DONE | TASK_FLAG_DISABLED | TASK_FLAG_START_ONLY_IF_IDLE |
    TASK_FLAG_KILL_ON_IDLE_END | TASK_FLAG_DONT_START_IF_ON_BATTERIES | TASK_FLAG_KILL_IF_GOING_ON_BATTERIES |
    TASK_FLAG_RUN_ONLY_IF_DOCKED | TASK_FLAG_HIDDEN | TASK_FLAG_RUN_IF_CONNECTED_TO_INTERNET |
    TASK_FLAG_RESTART_ON_IDLE_RESUME | TASK_FLAG_SYSTEM_REQUIRED | TASK_FLAG_RUN_ONLY_IF_LOGGED_ON;

// Clears an out-parameter first, so that a failing call never leaves garbage.
template <class T>
void clear(T* out) {
    if (out != nullptr) {
        *out = T{};
    }
}

#define KV_TS10_ENTER(method)                                                                                \
    do {                                                                                                     \
        const HRESULT injected_ = enterCall(method);                                                         \
        if (injected_ != S_OK) {                                                                             \
            return injected_;                                                                                \
        }                                                                                                    \
    } while (false)

std::uint64_t ticks(const SYSTEMTIME& time) {
    FILETIME file = {};
    if (!SystemTimeToFileTime(&time, &file)) {
        return 0;
    }
    return (std::uint64_t{file.dwHighDateTime} << 32) | file.dwLowDateTime;
}

SYSTEMTIME localDate(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    return time;
}

// Whether a trigger can still start the item after now (local time). Repetition
// within a day and the exact calendar of periodic triggers are not worked out:
// a periodic trigger runs again until its end date has passed.
bool runsAgain(const TASK_TRIGGER& t, const SYSTEMTIME& now) {
    const std::uint64_t current = ticks(now);
    if ((t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) &&
        ticks(localDate(t.wEndYear, t.wEndMonth, t.wEndDay, 23, 59)) < current) {
        return false;
    }
    switch (t.TriggerType) {
        case TASK_TIME_TRIGGER_ONCE:
            return ticks(localDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay, t.wStartHour, t.wStartMinute)) >
                   current;
        case TASK_TIME_TRIGGER_WEEKLY:
            return t.Type.Weekly.rgfDaysOfTheWeek != 0;
        case TASK_TIME_TRIGGER_MONTHLYDATE:
            return t.Type.MonthlyDate.rgfDays != 0 && t.Type.MonthlyDate.rgfMonths != 0;
        case TASK_TIME_TRIGGER_MONTHLYDOW:
            return t.Type.MonthlyDOW.rgfDaysOfTheWeek != 0 && t.Type.MonthlyDOW.rgfMonths != 0;
        default:
            return true;
    }
}

std::wstring quoted(const std::wstring& path) {
    return path.find_first_of(L" \t") != std::wstring::npos && path.front() != L'"' ? L"\"" + path + L"\""
                                                                                    : path;
}

// What the service does for Run: start the stored definition, one instance at a
// time, and record the run.
HRESULT startStored(const std::wstring& path) {
    StoreLock lock;
    JobFile job;
    const HRESULT read = readJob(path, job);
    if (read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return S_OK; // never stored: the service has nothing to start
    }
    if (FAILED(read)) {
        return read;
    }
    if (processAlive(job.run) || job.definition.application.empty()) {
        return S_OK;
    }
    std::wstring commandLine = quoted(job.definition.application);
    if (!job.definition.parameters.empty()) {
        commandLine += L" " + job.definition.parameters;
    }
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const wchar_t* directory =
        job.definition.workingDirectory.empty() ? nullptr : job.definition.workingDirectory.c_str();
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, job.definition.priority, nullptr,
                        directory, &startup, &process)) {
        // The real service reports a failed start only in its log; Run has
        // already answered by then.
        return S_OK;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    FILETIME creation = {}, exit = {}, kernel = {}, user = {};
    GetProcessTimes(process.hProcess, &creation, &exit, &kernel, &user);
    job.run.hasRun = true;
    job.run.terminated = false;
    job.run.processId = process.dwProcessId;
    job.run.processCreation = (std::uint64_t{creation.dwHighDateTime} << 32) | creation.dwLowDateTime;
    GetLocalTime(&job.run.lastRun);
    return writeJob(path, job);
}

} // namespace

std::atomic<long> moduleReferences{0};

HRESULT copyOut(const std::wstring& text, LPWSTR* result) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (copy == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(copy, text.c_str(), bytes);
    *result = copy;
    return S_OK;
}

WorkItem::WorkItem(std::wstring folder, std::wstring name)
    : folder_(std::move(folder)), name_(std::move(name)) {}

WorkItem::WorkItem(std::wstring folder, std::wstring name, const JobFile& stored)
    : folder_(std::move(folder)), name_(std::move(name)) {
    take(stored);
}

WorkItem::~WorkItem() = default;

void WorkItem::take(const JobFile& stored) {
    definition_ = stored.definition;
    triggers_.clear();
    for (const TriggerRecord& record : definition_.triggers) {
        triggers_.push_back(std::make_shared<TriggerRecord>(record));
    }
    definition_.triggers.clear();
    run_ = stored.run;
    running_ = processAlive(run_);
    dirty_ = false;
}

HRESULT STDMETHODCALLTYPE WorkItem::QueryInterface(REFIID iid, void** result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == iidTask || iid == iidScheduledWorkItem ||
        iid == iidWorkItemImplementation) {
        *result = static_cast<ITask*>(this);
    } else if (iid == IID_IPersistFile || iid == IID_IPersist) {
        *result = static_cast<IPersistFile*>(this);
    } else {
        *result = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE WorkItem::AddRef() {
    return ++references_;
}

ULONG STDMETHODCALLTYPE WorkItem::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

bool WorkItem::owns(const std::shared_ptr<TriggerRecord>& record) const {
    return std::find(triggers_.begin(), triggers_.end(), record) != triggers_.end();
}

std::wstring WorkItem::path() const {
    if (!explicitPath_.empty()) {
        return explicitPath_;
    }
    return name_.empty() ? std::wstring() : jobFilePath(folder_, name_);
}

HRESULT STDMETHODCALLTYPE WorkItem::CreateTrigger(WORD* newTrigger, ITaskTrigger** trigger) {
    clear(newTrigger);
    clear(trigger);
    KV_TS10_ENTER(L"ITask::CreateTrigger");
    if (newTrigger == nullptr || trigger == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (triggers_.size() >= 0xFFFF) {
        return E_INVALIDARG;
    }
    // A new trigger starts once, today at this minute, until SetTrigger says otherwise.
    auto record = std::make_shared<TriggerRecord>();
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    record->trigger.cbTriggerSize = sizeof(TASK_TRIGGER);
    record->trigger.wBeginYear = now.wYear;
    record->trigger.wBeginMonth = now.wMonth;
    record->trigger.wBeginDay = now.wDay;
    record->trigger.wStartHour = now.wHour;
    record->trigger.wStartMinute = now.wMinute;
    record->trigger.TriggerType = TASK_TIME_TRIGGER_ONCE;
    triggers_.push_back(record);
    dirty_ = true;
    *newTrigger = static_cast<WORD>(triggers_.size() - 1);
    *trigger = new Trigger(this, record);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::DeleteTrigger(WORD index) {
    KV_TS10_ENTER(L"ITask::DeleteTrigger");
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= triggers_.size()) {
        return E_INVALIDARG;
    }
    triggers_.erase(triggers_.begin() + index);
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetTriggerCount(WORD* count) {
    clear(count);
    KV_TS10_ENTER(L"ITask::GetTriggerCount");
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *count = static_cast<WORD>(triggers_.size());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetTrigger(WORD index, ITaskTrigger** trigger) {
    clear(trigger);
    KV_TS10_ENTER(L"ITask::GetTrigger");
    if (trigger == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= triggers_.size()) {
        return SCHED_E_TRIGGER_NOT_FOUND;
    }
    *trigger = new Trigger(this, triggers_[index]);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetTriggerString(WORD, LPWSTR* text) {
    clear(text);
    KV_TS10_ENTER(L"ITask::GetTriggerString");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, WORD* count,
                                                LPSYSTEMTIME* times) {
    clear(times);
    KV_TS10_ENTER(L"ITask::GetRunTimes");
    (void)count;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetNextRunTime(SYSTEMTIME* next) {
    clear(next);
    KV_TS10_ENTER(L"ITask::GetNextRunTime");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetIdleWait(WORD idleMinutes, WORD deadlineMinutes) {
    KV_TS10_ENTER(L"ITask::SetIdleWait");
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.idleMinutes = idleMinutes;
    definition_.deadlineMinutes = deadlineMinutes;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetIdleWait(WORD* idleMinutes, WORD* deadlineMinutes) {
    clear(idleMinutes);
    clear(deadlineMinutes);
    KV_TS10_ENTER(L"ITask::GetIdleWait");
    if (idleMinutes == nullptr || deadlineMinutes == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *idleMinutes = definition_.idleMinutes;
    *deadlineMinutes = definition_.deadlineMinutes;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::Run() {
    KV_TS10_ENTER(L"ITask::Run");
    std::wstring target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = path();
    }
    // Run is a request to the service, which starts what is stored, not this
    // object's unsaved changes; this object's status does not change.
    return target.empty() ? S_OK : startStored(target);
}

HRESULT STDMETHODCALLTYPE WorkItem::Terminate() {
    KV_TS10_ENTER(L"ITask::Terminate");
    std::wstring target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = path();
    }
    if (target.empty()) {
        return SCHED_E_TASK_NOT_RUNNING;
    }
    StoreLock lock;
    JobFile job;
    if (FAILED(readJob(target, job)) || !processAlive(job.run)) {
        return SCHED_E_TASK_NOT_RUNNING;
    }
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, job.run.processId));
    if (!process || !TerminateProcess(process.get(), 1)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    WaitForSingleObject(process.get(), 5000);
    job.run.terminated = true;
    return writeJob(target, job);
}

HRESULT STDMETHODCALLTYPE WorkItem::EditWorkItem(HWND, DWORD) {
    KV_TS10_ENTER(L"ITask::EditWorkItem");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetMostRecentRunTime(SYSTEMTIME* lastRun) {
    clear(lastRun);
    KV_TS10_ENTER(L"ITask::GetMostRecentRunTime");
    if (lastRun == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!run_.hasRun) {
        return SCHED_S_TASK_HAS_NOT_RUN;
    }
    *lastRun = run_.lastRun;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetStatus(HRESULT* status) {
    clear(status);
    KV_TS10_ENTER(L"ITask::GetStatus");
    if (status == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    bool validTrigger = false;
    bool moreRuns = false;
    for (const auto& record : triggers_) {
        if (record->set && !(record->trigger.rgFlags & TASK_TRIGGER_FLAG_DISABLED)) {
            validTrigger = true;
            moreRuns = moreRuns || runsAgain(record->trigger, now);
        }
    }
    if (run_.forcedStatus != S_OK) {
        *status = run_.forcedStatus;
    } else if (running_) {
        *status = SCHED_S_TASK_RUNNING;
    } else if (definition_.flags & TASK_FLAG_DISABLED) {
        *status = SCHED_S_TASK_DISABLED;
    } else if (!validTrigger) {
        *status = SCHED_S_TASK_NO_VALID_TRIGGERS;
    } else if (definition_.application.empty() || !definition_.accountSet) {
        *status = SCHED_S_TASK_NOT_SCHEDULED;
    } else if (!run_.hasRun) {
        *status = SCHED_S_TASK_HAS_NOT_RUN;
    } else if (run_.terminated) {
        *status = SCHED_S_TASK_TERMINATED;
    } else if (!moreRuns) {
        *status = SCHED_S_TASK_NO_MORE_RUNS;
    } else {
        *status = SCHED_S_TASK_READY;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetExitCode(DWORD* exitCode) {
    clear(exitCode);
    KV_TS10_ENTER(L"ITask::GetExitCode");
    if (exitCode == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return run_.hasRun ? S_OK : SCHED_S_TASK_HAS_NOT_RUN;
}

#define KV_TS10_TEXT_PROPERTY(Name, field)                                                                   \
    HRESULT STDMETHODCALLTYPE WorkItem::Set##Name(LPCWSTR value) {                                           \
        KV_TS10_ENTER(L"ITask::Set" #Name);                                                                  \
        if (value == nullptr) {                                                                              \
            return E_INVALIDARG;                                                                             \
        }                                                                                                    \
        std::lock_guard<std::mutex> lock(mutex_);                                                            \
        definition_.field = value;                                                                           \
        dirty_ = true;                                                                                       \
        return S_OK;                                                                                         \
    }                                                                                                        \
    HRESULT STDMETHODCALLTYPE WorkItem::Get##Name(LPWSTR* value) {                                           \
        clear(value);                                                                                        \
        KV_TS10_ENTER(L"ITask::Get" #Name);                                                                  \
        if (value == nullptr) {                                                                              \
            return E_INVALIDARG;                                                                             \
        }                                                                                                    \
        std::lock_guard<std::mutex> lock(mutex_);                                                            \
        return copyOut(definition_.field, value);                                                            \
    }

KV_TS10_TEXT_PROPERTY(Comment, comment)
KV_TS10_TEXT_PROPERTY(Creator, creator)
KV_TS10_TEXT_PROPERTY(ApplicationName, application)
KV_TS10_TEXT_PROPERTY(Parameters, parameters)
KV_TS10_TEXT_PROPERTY(WorkingDirectory, workingDirectory)

HRESULT STDMETHODCALLTYPE WorkItem::SetWorkItemData(WORD size, BYTE data[]) {
    KV_TS10_ENTER(L"ITask::SetWorkItemData");
    if (size != 0 && data == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.data.assign(data, data + size);
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetWorkItemData(WORD* size, BYTE** data) {
    clear(size);
    clear(data);
    KV_TS10_ENTER(L"ITask::GetWorkItemData");
    if (size == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (definition_.data.empty()) {
        return S_OK;
    }
    auto* copy = static_cast<BYTE*>(CoTaskMemAlloc(definition_.data.size()));
    if (copy == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(copy, definition_.data.data(), definition_.data.size());
    *size = static_cast<WORD>(definition_.data.size());
    *data = copy;
    return S_OK;
}

// The service never implemented retries: these answer E_NOTIMPL there too.
HRESULT STDMETHODCALLTYPE WorkItem::SetErrorRetryCount(WORD) {
    KV_TS10_ENTER(L"ITask::SetErrorRetryCount");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetErrorRetryCount(WORD* count) {
    clear(count);
    KV_TS10_ENTER(L"ITask::GetErrorRetryCount");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetErrorRetryInterval(WORD) {
    KV_TS10_ENTER(L"ITask::SetErrorRetryInterval");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetErrorRetryInterval(WORD* interval) {
    clear(interval);
    KV_TS10_ENTER(L"ITask::GetErrorRetryInterval");
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetFlags(DWORD flags) {
    KV_TS10_ENTER(L"ITask::SetFlags");
    if (flags & ~knownFlags) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.flags = flags;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetFlags(DWORD* flags) {
    clear(flags);
    KV_TS10_ENTER(L"ITask::GetFlags");
    if (flags == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *flags = definition_.flags;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetAccountInformation(LPCWSTR account, LPCWSTR password) {
    KV_TS10_ENTER(L"ITask::SetAccountInformation");
    if (account == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // An empty name is the local system account, which takes no password; a
    // user account without one runs only while that user is logged on.
    if (*account != L'\0' && password == nullptr && !(definition_.flags & TASK_FLAG_RUN_ONLY_IF_LOGGED_ON)) {
        return SCHED_E_UNSUPPORTED_ACCOUNT_OPTION;
    }
    definition_.account = account;
    definition_.accountSet = true;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetAccountInformation(LPWSTR* account) {
    clear(account);
    KV_TS10_ENTER(L"ITask::GetAccountInformation");
    if (account == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!definition_.accountSet) {
        return SCHED_E_ACCOUNT_INFORMATION_NOT_SET;
    }
    return copyOut(definition_.account, account);
}

HRESULT STDMETHODCALLTYPE WorkItem::SetPriority(DWORD priority) {
    KV_TS10_ENTER(L"ITask::SetPriority");
    if (priority != REALTIME_PRIORITY_CLASS && priority != HIGH_PRIORITY_CLASS &&
        priority != NORMAL_PRIORITY_CLASS && priority != IDLE_PRIORITY_CLASS) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.priority = priority;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetPriority(DWORD* priority) {
    clear(priority);
    KV_TS10_ENTER(L"ITask::GetPriority");
    if (priority == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *priority = definition_.priority;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetTaskFlags(DWORD flags) {
    KV_TS10_ENTER(L"ITask::SetTaskFlags");
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.taskFlags = flags;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetTaskFlags(DWORD* flags) {
    clear(flags);
    KV_TS10_ENTER(L"ITask::GetTaskFlags");
    if (flags == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *flags = definition_.taskFlags;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::SetMaxRunTime(DWORD milliseconds) {
    KV_TS10_ENTER(L"ITask::SetMaxRunTime");
    std::lock_guard<std::mutex> lock(mutex_);
    definition_.maxRunTime = milliseconds;
    dirty_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetMaxRunTime(DWORD* milliseconds) {
    clear(milliseconds);
    KV_TS10_ENTER(L"ITask::GetMaxRunTime");
    if (milliseconds == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *milliseconds = definition_.maxRunTime;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    *clsid = clsidTask;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::IsDirty() {
    KV_TS10_ENTER(L"IPersistFile::IsDirty");
    std::lock_guard<std::mutex> lock(mutex_);
    return dirty_ ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE WorkItem::Load(LPCOLESTR fileName, DWORD) {
    KV_TS10_ENTER(L"IPersistFile::Load");
    if (fileName == nullptr || *fileName == L'\0') {
        return E_INVALIDARG;
    }
    JobFile stored;
    const HRESULT read = readJob(fileName, stored);
    if (FAILED(read)) {
        return read;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    take(stored);
    explicitPath_ = fileName;
    return S_OK;
}

HRESULT WorkItem::write(const std::wstring& target) {
    JobFile job;
    job.definition = definition_;
    for (const auto& record : triggers_) {
        job.definition.triggers.push_back(*record);
    }
    // The run part is the service's: keep what is on disk.
    StoreLock lock;
    JobFile onDisk;
    if (SUCCEEDED(readJob(target, onDisk))) {
        job.run = onDisk.run;
    }
    return writeJob(target, job);
}

HRESULT STDMETHODCALLTYPE WorkItem::Save(LPCOLESTR fileName, BOOL remember) {
    KV_TS10_ENTER(L"IPersistFile::Save");
    std::lock_guard<std::mutex> lock(mutex_);
    const std::wstring target = fileName != nullptr ? std::wstring(fileName) : path();
    if (target.empty()) {
        return E_INVALIDARG;
    }
    const HRESULT written = write(target);
    if (FAILED(written)) {
        return written;
    }
    if (fileName == nullptr || remember) {
        if (fileName != nullptr) {
            explicitPath_ = fileName;
        }
        dirty_ = false;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::SaveCompleted(LPCOLESTR) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE WorkItem::GetCurFile(LPOLESTR* fileName) {
    clear(fileName);
    KV_TS10_ENTER(L"IPersistFile::GetCurFile");
    if (fileName == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::wstring current = path();
    if (current.empty()) {
        return E_FAIL;
    }
    return copyOut(current, fileName);
}

HRESULT WorkItem::storeAs(const std::wstring& folder, const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    folder_ = folder;
    name_ = name;
    explicitPath_.clear();
    const HRESULT written = write(path());
    if (SUCCEEDED(written)) {
        dirty_ = false;
    }
    return written;
}

} // namespace kv::doubles::ts10
