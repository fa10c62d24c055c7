#include "taskscheduler10/TaskScheduler10Double.h"

#include "com-support/ComObject.h"
#include "kvtl/Handle.h"

#include <mstask.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

// Work items as the service's reference documentation describes them, for the
// calls the scheduled-task library makes; every other method answers E_NOTIMPL.
// A work item is a file of the double's own format: the definition that
// IPersistFile::Save writes, and the status that stands for the service's run
// history (forceStatus), which a save keeps.
namespace kv::doubles {

namespace {

constexpr GUID ClsidTaskScheduler = {
    0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr GUID ClsidTask = {0x148BD520, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr GUID IidTaskScheduler = {
    0x148BD527, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr GUID IidTask = {0x148BD524, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr GUID IidScheduledWorkItem = {
    0xA6B952F0, 0xA4B1, 0x11D0, {0x99, 0x7D, 0x00, 0xAA, 0x00, 0x68, 0x87, 0xEC}};
constexpr GUID IidEnumWorkItems = {
    0x148BD528, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr GUID IidTaskTrigger = {
    0x148BD52B, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
constexpr char Magic[4] = {'K', 'V', 'J', '2'};
constexpr DWORD KnownFlags = 0x00002FFF; // the TASK_FLAG_* bits

#define KV_TS10_ENTRY(method)                                                                                \
    do {                                                                                                     \
        const HRESULT injected_ = enterCall(method, L"KV_TS10_FAULTS");                                      \
        if (injected_ != S_OK) {                                                                             \
            return injected_;                                                                                \
        }                                                                                                    \
    } while (false)

struct TriggerRecord {
    TASK_TRIGGER trigger{};
    bool set = false; // an unset trigger never fires
};

struct Definition {
    std::wstring application, parameters, comment, account;
    bool accountSet = false;
    std::vector<BYTE> data;
    DWORD priority = NORMAL_PRIORITY_CLASS;
    DWORD flags = 0;
    std::vector<std::shared_ptr<TriggerRecord>> triggers;
    HRESULT forcedStatus = S_OK; // the service's part
};

// A record is a sequence of fields, each a 32-bit byte count and the bytes.
class Writer {
public:
    void bytes(const void* data, std::size_t size) {
        const auto count = static_cast<std::uint32_t>(size);
        out.append(reinterpret_cast<const char*>(&count), 4).append(static_cast<const char*>(data), size);
    }
    void text(const std::wstring& value) { bytes(value.data(), value.size() * sizeof(wchar_t)); }
    void number(DWORD value) { bytes(&value, 4); }
    std::string out{Magic, 4};
};

class Reader {
public:
    explicit Reader(std::string in) : in_(std::move(in)), ok_(in_.compare(0, 4, Magic, 4) == 0), at_(4) {}
    std::string bytes() {
        std::uint32_t count = 0;
        if (!ok_ || in_.size() - at_ < 4 ||
            (std::memcpy(&count, &in_[at_], 4), in_.size() - at_ - 4 < count)) {
            ok_ = false;
            return {};
        }
        at_ += 4 + count;
        return in_.substr(at_ - count, count);
    }
    std::wstring text() {
        const std::string raw = bytes();
        ok_ = ok_ && raw.size() % 2 == 0;
        return std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
    }
    DWORD number() {
        const std::string raw = bytes();
        DWORD value = 0;
        ok_ = ok_ && raw.size() == 4 && (std::memcpy(&value, raw.data(), 4), true);
        return value;
    }
    bool good() const { return ok_; }
    bool ok() const { return ok_ && at_ == in_.size(); }

private:
    std::string in_;
    bool ok_;
    std::size_t at_;
};

HRESULT lastError() {
    return HRESULT_FROM_WIN32(GetLastError());
}

HRESULT readJob(const std::wstring& path, Definition& job) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return lastError();
    }
    std::string content(GetFileSize(file.get(), nullptr), '\0');
    DWORD read = 0;
    if (!content.empty() &&
        !ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &read, nullptr)) {
        return lastError();
    }
    Reader in(std::move(content));
    job.application = in.text();
    job.parameters = in.text();
    job.comment = in.text();
    job.account = in.text();
    job.accountSet = in.number() != 0;
    const std::string data = in.bytes();
    job.data.assign(data.begin(), data.end());
    job.priority = in.number();
    job.flags = in.number();
    job.forcedStatus = static_cast<HRESULT>(in.number());
    for (DWORD i = 0, count = in.number(); i < count && in.good(); ++i) {
        auto record = std::make_shared<TriggerRecord>();
        const std::string raw = in.bytes();
        record->set = in.number() != 0;
        if (raw.size() != sizeof(TASK_TRIGGER)) {
            return SCHED_E_UNKNOWN_OBJECT_VERSION;
        }
        std::memcpy(&record->trigger, raw.data(), raw.size());
        job.triggers.push_back(record);
    }
    return in.ok() ? S_OK : SCHED_E_UNKNOWN_OBJECT_VERSION;
}

// Through a temporary file and a replacing move: a reader never sees half a record.
HRESULT writeJob(const std::wstring& path, const Definition& job) {
    Writer out;
    out.text(job.application);
    out.text(job.parameters);
    out.text(job.comment);
    out.text(job.account);
    out.number(job.accountSet);
    out.bytes(job.data.data(), job.data.size());
    out.number(job.priority);
    out.number(job.flags);
    out.number(static_cast<DWORD>(job.forcedStatus));
    out.number(static_cast<DWORD>(job.triggers.size()));
    for (const auto& record : job.triggers) {
        out.bytes(&record->trigger, sizeof(TASK_TRIGGER));
        out.number(record->set);
    }
    const std::wstring temporary = path + L".tmp";
    {
        UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), out.out.data(), static_cast<DWORD>(out.out.size()), &written, nullptr)) {
            return lastError();
        }
    }
    return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) ? S_OK : lastError();
}

bool validName(const wchar_t* name) {
    if (name == nullptr || *name == L'\0') {
        return false;
    }
    for (const wchar_t* c = name; *c != L'\0'; ++c) {
        if (*c < 32 || std::wcschr(L"\\/:*?\"<>|", *c) != nullptr) {
            return false;
        }
    }
    return true;
}

bool validDate(WORD year, WORD month, WORD day) {
    static const WORD days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return year >= 1000 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] &&
           (month != 2 || day < 29 || leap);
}

// What the service refuses of a trigger record.
bool validTrigger(const TASK_TRIGGER& t) {
    const bool hasEnd = (t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) != 0;
    const auto begin = t.wBeginYear * 10000 + t.wBeginMonth * 100 + t.wBeginDay;
    const auto end = t.wEndYear * 10000 + t.wEndMonth * 100 + t.wEndDay;
    return t.cbTriggerSize == sizeof(TASK_TRIGGER) && t.Reserved1 == 0 && t.Reserved2 == 0 &&
           validDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay) && t.wStartHour < 24 && t.wStartMinute < 60 &&
           (!hasEnd || (validDate(t.wEndYear, t.wEndMonth, t.wEndDay) && end >= begin)) &&
           (t.rgFlags & ~7u) == 0 && t.TriggerType <= TASK_EVENT_TRIGGER_AT_LOGON &&
           (t.TriggerType != TASK_TIME_TRIGGER_WEEKLY || (t.Type.Weekly.rgfDaysOfTheWeek & ~0x7F) == 0);
}

std::wstring defaultFolder() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, length < MAX_PATH ? length : 0) + L"\\Tasks";
}

class Trigger final : public Object<ITaskTrigger, IidTaskTrigger> {
public:
    Trigger(std::shared_ptr<TriggerRecord> record, std::shared_ptr<std::mutex> lock)
        : record_(std::move(record)), lock_(std::move(lock)) {}
    HRESULT STDMETHODCALLTYPE SetTrigger(const PTASK_TRIGGER trigger) override {
        KV_TS10_ENTRY(L"ITaskTrigger::SetTrigger");
        if (trigger == nullptr || !validTrigger(*trigger)) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        record_->trigger = *trigger;
        record_->set = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTrigger(PTASK_TRIGGER trigger) override {
        KV_TS10_ENTRY(L"ITaskTrigger::GetTrigger");
        if (trigger == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        *trigger = record_->trigger;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTriggerString(LPWSTR*) override { return E_NOTIMPL; }

private:
    std::shared_ptr<TriggerRecord> record_;
    std::shared_ptr<std::mutex> lock_; // the work item's
};

class WorkItem final : public ComObject<ITask, IPersistFile> {
public:
    WorkItem(std::wstring folder, std::wstring name, Definition stored = {})
        : folder_(std::move(folder)), name_(std::move(name)), item_(std::move(stored)) {}

    HRESULT STDMETHODCALLTYPE CreateTrigger(WORD* index, ITaskTrigger** trigger) override {
        KV_TS10_ENTRY(L"ITask::CreateTrigger");
        if (index == nullptr || trigger == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        auto record = std::make_shared<TriggerRecord>();
        SYSTEMTIME now = {};
        GetLocalTime(&now);
        record->trigger.cbTriggerSize = sizeof(TASK_TRIGGER);
        record->trigger.wBeginYear = now.wYear;
        record->trigger.wBeginMonth = now.wMonth;
        record->trigger.wBeginDay = now.wDay;
        record->trigger.wStartHour = now.wHour;
        record->trigger.wStartMinute = now.wMinute;
        item_.triggers.push_back(record);
        *index = static_cast<WORD>(item_.triggers.size() - 1);
        return giveObject(new (std::nothrow) Trigger(record, lock_), trigger);
    }
    HRESULT STDMETHODCALLTYPE DeleteTrigger(WORD index) override {
        KV_TS10_ENTRY(L"ITask::DeleteTrigger");
        std::lock_guard<std::mutex> guard(*lock_);
        if (index >= item_.triggers.size()) {
            return E_INVALIDARG;
        }
        item_.triggers.erase(item_.triggers.begin() + index);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTriggerCount(WORD* count) override {
        KV_TS10_ENTRY(L"ITask::GetTriggerCount");
        std::lock_guard<std::mutex> guard(*lock_);
        return giveValue(static_cast<WORD>(item_.triggers.size()), count);
    }
    HRESULT STDMETHODCALLTYPE GetTrigger(WORD index, ITaskTrigger** trigger) override {
        KV_TS10_ENTRY(L"ITask::GetTrigger");
        std::lock_guard<std::mutex> guard(*lock_);
        if (index >= item_.triggers.size()) {
            return SCHED_E_TRIGGER_NOT_FOUND;
        }
        return giveObject(new (std::nothrow) Trigger(item_.triggers[index], lock_), trigger);
    }
    HRESULT STDMETHODCALLTYPE GetTriggerString(WORD, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, WORD*,
                                          LPSYSTEMTIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetNextRunTime(SYSTEMTIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIdleWait(WORD, WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIdleWait(WORD*, WORD*) override { return E_NOTIMPL; }
    // Starts the stored definition, not unsaved edits; an item never saved starts nothing.
    HRESULT STDMETHODCALLTYPE Run() override {
        KV_TS10_ENTRY(L"ITask::Run");
        Definition stored;
        if (readJob(ts10::jobFilePath(folder_, name_), stored) != S_OK) {
            return S_OK;
        }
        std::wstring command = L"\"" + stored.application + L"\"";
        command += stored.parameters.empty() ? L"" : L" " + stored.parameters;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(stored.application.c_str(), &command[0], nullptr, nullptr, FALSE,
                            stored.priority | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
            return lastError();
        }
        UniqueHandle thread(process.hThread);
        UniqueHandle child(process.hProcess);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Terminate() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EditWorkItem(HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMostRecentRunTime(SYSTEMTIME*) override { return E_NOTIMPL; }
    // The forced status first; then disabled; then whether any set trigger can fire.
    HRESULT STDMETHODCALLTYPE GetStatus(HRESULT* status) override {
        KV_TS10_ENTRY(L"ITask::GetStatus");
        std::lock_guard<std::mutex> guard(*lock_);
        bool triggered = false;
        for (const auto& record : item_.triggers) {
            triggered =
                triggered || (record->set && (record->trigger.rgFlags & TASK_TRIGGER_FLAG_DISABLED) == 0);
        }
        return giveValue(item_.forcedStatus != S_OK                ? item_.forcedStatus
                         : (item_.flags & TASK_FLAG_DISABLED) != 0 ? SCHED_S_TASK_DISABLED
                         : !triggered                              ? SCHED_S_TASK_NO_VALID_TRIGGERS
                                                                   : SCHED_S_TASK_READY,
                         status);
    }
    HRESULT STDMETHODCALLTYPE GetExitCode(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetComment(LPCWSTR text) override {
        KV_TS10_ENTRY(L"ITask::SetComment");
        return setText(item_.comment, text);
    }
    HRESULT STDMETHODCALLTYPE GetComment(LPWSTR* text) override {
        KV_TS10_ENTRY(L"ITask::GetComment");
        return getText(item_.comment, text);
    }
    HRESULT STDMETHODCALLTYPE SetCreator(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCreator(LPWSTR*) override { return E_NOTIMPL; }
    // A size of 0 clears the data.
    HRESULT STDMETHODCALLTYPE SetWorkItemData(WORD size, BYTE data[]) override {
        KV_TS10_ENTRY(L"ITask::SetWorkItemData");
        if (size != 0 && data == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        item_.data.assign(data, data + size);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetWorkItemData(WORD* size, BYTE** data) override {
        KV_TS10_ENTRY(L"ITask::GetWorkItemData");
        if (size == nullptr || data == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        *size = static_cast<WORD>(item_.data.size());
        *data = nullptr;
        if (item_.data.empty()) {
            return S_OK;
        }
        *data = static_cast<BYTE*>(CoTaskMemAlloc(item_.data.size()));
        if (*data == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(*data, item_.data.data(), item_.data.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetErrorRetryCount(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetErrorRetryCount(WORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetErrorRetryInterval(WORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetErrorRetryInterval(WORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFlags(DWORD flags) override {
        KV_TS10_ENTRY(L"ITask::SetFlags");
        if ((flags & ~KnownFlags) != 0) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        item_.flags = flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFlags(DWORD* flags) override {
        KV_TS10_ENTRY(L"ITask::GetFlags");
        std::lock_guard<std::mutex> guard(*lock_);
        return giveValue(item_.flags, flags);
    }
    // The local system account ("") takes no password; a user account without one
    // needs TASK_FLAG_RUN_ONLY_IF_LOGGED_ON. Passwords are never stored.
    HRESULT STDMETHODCALLTYPE SetAccountInformation(LPCWSTR account, LPCWSTR password) override {
        KV_TS10_ENTRY(L"ITask::SetAccountInformation");
        std::lock_guard<std::mutex> guard(*lock_);
        if (account == nullptr || (*account == L'\0' && password != nullptr)) {
            return E_INVALIDARG;
        }
        if (*account != L'\0' && password == nullptr &&
            (item_.flags & TASK_FLAG_RUN_ONLY_IF_LOGGED_ON) == 0) {
            return SCHED_E_UNSUPPORTED_ACCOUNT_OPTION;
        }
        item_.account = account;
        item_.accountSet = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAccountInformation(LPWSTR* account) override {
        KV_TS10_ENTRY(L"ITask::GetAccountInformation");
        std::lock_guard<std::mutex> guard(*lock_);
        return item_.accountSet ? giveTaskMemText(item_.account, account)
                                : SCHED_E_ACCOUNT_INFORMATION_NOT_SET;
    }
    HRESULT STDMETHODCALLTYPE SetApplicationName(LPCWSTR text) override {
        KV_TS10_ENTRY(L"ITask::SetApplicationName");
        return setText(item_.application, text);
    }
    HRESULT STDMETHODCALLTYPE GetApplicationName(LPWSTR* text) override {
        KV_TS10_ENTRY(L"ITask::GetApplicationName");
        return getText(item_.application, text);
    }
    HRESULT STDMETHODCALLTYPE SetParameters(LPCWSTR text) override {
        KV_TS10_ENTRY(L"ITask::SetParameters");
        return setText(item_.parameters, text);
    }
    HRESULT STDMETHODCALLTYPE GetParameters(LPWSTR* text) override {
        KV_TS10_ENTRY(L"ITask::GetParameters");
        return getText(item_.parameters, text);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPriority(DWORD priority) override {
        KV_TS10_ENTRY(L"ITask::SetPriority");
        if (priority != REALTIME_PRIORITY_CLASS && priority != HIGH_PRIORITY_CLASS &&
            priority != NORMAL_PRIORITY_CLASS && priority != IDLE_PRIORITY_CLASS) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        item_.priority = priority;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(DWORD* priority) override {
        KV_TS10_ENTRY(L"ITask::GetPriority");
        std::lock_guard<std::mutex> guard(*lock_);
        return giveValue(item_.priority, priority);
    }
    HRESULT STDMETHODCALLTYPE SetTaskFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTaskFlags(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetMaxRunTime(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMaxRunTime(DWORD*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override { return giveValue(ClsidTask, clsid); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR, DWORD) override { return E_NOTIMPL; }
    // Only Save(NULL, TRUE), the item's own file, is modelled; the stored status stays.
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR file, BOOL remember) override {
        KV_TS10_ENTRY(L"IPersistFile::Save");
        if (file != nullptr || !remember) {
            return E_NOTIMPL;
        }
        if (name_.empty()) {
            return E_FAIL;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        const std::wstring path = ts10::jobFilePath(folder_, name_);
        Definition stored;
        item_.forcedStatus = readJob(path, stored) == S_OK ? stored.forcedStatus : S_OK;
        return writeJob(path, item_);
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }

private:
    void* find(REFIID iid) override {
        if (iid == IidTask || iid == IidScheduledWorkItem) {
            return static_cast<ITask*>(this);
        }
        return iid == IID_IPersistFile || iid == IID_IPersist ? static_cast<IPersistFile*>(this) : nullptr;
    }
    HRESULT setText(std::wstring& field, LPCWSTR text) {
        if (text == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(*lock_);
        field = text;
        return S_OK;
    }
    HRESULT getText(const std::wstring& field, LPWSTR* text) {
        std::lock_guard<std::mutex> guard(*lock_);
        return giveTaskMemText(field, text);
    }

    std::wstring folder_;
    std::wstring name_;
    Definition item_;
    std::shared_ptr<std::mutex> lock_ = std::make_shared<std::mutex>();
};

IUnknown* item(WorkItem* created) {
    return static_cast<ITask*>(created);
}

class WorkItems final : public Object<IEnumWorkItems, IidEnumWorkItems> {
public:
    explicit WorkItems(const std::wstring& folder) {
        WIN32_FIND_DATAW found = {};
        UniqueFind find(FindFirstFileW((folder + L"\\*.job").c_str(), &found));
        for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &found) != FALSE) {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names_.push_back(found.cFileName);
            }
        }
    }
    // Names with their ".job" suffix, each and the array from CoTaskMemAlloc; S_FALSE
    // when fewer than asked for came back (a null array when none).
    HRESULT STDMETHODCALLTYPE Next(ULONG count, LPWSTR** names, ULONG* fetched) override {
        KV_TS10_ENTRY(L"IEnumWorkItems::Next");
        if (count == 0 || names == nullptr || (fetched == nullptr && count != 1)) {
            return E_INVALIDARG;
        }
        *names = nullptr;
        const ULONG given = static_cast<ULONG>(std::min<std::size_t>(count, names_.size() - next_));
        if (given > 0) {
            *names = static_cast<LPWSTR*>(CoTaskMemAlloc(given * sizeof(LPWSTR)));
            for (ULONG i = 0; *names != nullptr && i < given; ++i) {
                giveTaskMemText(names_[next_++], &(*names)[i]);
            }
        }
        if (fetched != nullptr) {
            *fetched = given;
        }
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWorkItems**) override { return E_NOTIMPL; }

private:
    std::vector<std::wstring> names_;
    std::size_t next_ = 0;
};

class Scheduler final : public Object<ITaskScheduler, IidTaskScheduler> {
public:
    explicit Scheduler(std::wstring folder) : folder_(std::move(folder)) {}
    HRESULT STDMETHODCALLTYPE SetTargetComputer(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTargetComputer(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Enum(IEnumWorkItems** items) override {
        KV_TS10_ENTRY(L"ITaskScheduler::Enum");
        return giveObject(new (std::nothrow) WorkItems(folder_), items);
    }
    HRESULT STDMETHODCALLTYPE Activate(LPCWSTR name, REFIID iid, IUnknown** result) override {
        KV_TS10_ENTRY(L"ITaskScheduler::Activate");
        if (result == nullptr || !validName(name)) {
            return E_INVALIDARG;
        }
        *result = nullptr;
        Definition stored;
        const HRESULT read = readJob(ts10::jobFilePath(folder_, name), stored);
        return FAILED(read)
                   ? read
                   : hand(item(new (std::nothrow) WorkItem(folder_, name, std::move(stored))), iid, result);
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) override {
        KV_TS10_ENTRY(L"ITaskScheduler::Delete");
        if (!validName(name)) {
            return E_INVALIDARG;
        }
        return DeleteFileW(ts10::jobFilePath(folder_, name).c_str()) ? S_OK : lastError();
    }
    // An unsaved item reserves nothing; a stored name is refused.
    HRESULT STDMETHODCALLTYPE NewWorkItem(LPCWSTR name, REFCLSID clsid, REFIID iid,
                                          IUnknown** result) override {
        KV_TS10_ENTRY(L"ITaskScheduler::NewWorkItem");
        if (result == nullptr || !validName(name) || clsid != ClsidTask) {
            return E_INVALIDARG;
        }
        *result = nullptr;
        if (GetFileAttributesW(ts10::jobFilePath(folder_, name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        }
        return hand(item(new (std::nothrow) WorkItem(folder_, name)), iid, result);
    }
    HRESULT STDMETHODCALLTYPE AddWorkItem(LPCWSTR, IScheduledWorkItem*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsOfType(LPCWSTR, REFIID) override { return E_NOTIMPL; }

private:
    static HRESULT hand(IUnknown* object, REFIID iid, IUnknown** result) {
        if (object == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(result));
        object->Release();
        return hr;
    }
    std::wstring folder_;
};

class ClassFactory final : public Object<IClassFactory, IID_IClassFactory> {
public:
    ClassFactory(const GUID& clsid, std::wstring folder) : clsid_(clsid), folder_(std::move(folder)) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        KV_TS10_ENTRY(L"IClassFactory::CreateInstance");
        if (result == nullptr) {
            return E_POINTER;
        }
        *result = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        IUnknown* object = clsid_ == ClsidTask
                               ? item(new (std::nothrow) WorkItem(folder_, L""))
                               : static_cast<IUnknown*>(new (std::nothrow) Scheduler(folder_));
        if (object == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(iid, result);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++liveComObjects() : --liveComObjects();
        return S_OK;
    }

private:
    GUID clsid_;
    std::wstring folder_;
};

} // namespace

// The class objects of the in-process server (Dll.cpp).
HRESULT ts10ClassObject(REFCLSID clsid, REFIID iid, void** result) {
    if (clsid != ClsidTaskScheduler && clsid != ClsidTask) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    ClassFactory* factory = new (std::nothrow) ClassFactory(clsid, defaultFolder());
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(iid, result);
    factory->Release();
    return hr;
}

ScopedTaskScheduler10Registration::ScopedTaskScheduler10Registration(std::wstring tasksFolder)
    : folder_(tasksFolder.empty() ? defaultFolder() : std::move(tasksFolder)) {
    clearFaults();
    CreateDirectoryW(folder_.c_str(), nullptr);
    ClassFactory* scheduler = new ClassFactory(ClsidTaskScheduler, folder_);
    ClassFactory* task = new ClassFactory(ClsidTask, folder_);
    result_ = CoRegisterClassObject(ClsidTaskScheduler, static_cast<IClassFactory*>(scheduler),
                                    CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &schedulerCookie_);
    if (SUCCEEDED(result_)) {
        result_ = CoRegisterClassObject(ClsidTask, static_cast<IClassFactory*>(task), CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &taskCookie_);
    }
    scheduler->Release(); // COM holds its own references to registered class objects
    task->Release();
}

ScopedTaskScheduler10Registration::~ScopedTaskScheduler10Registration() {
    if (taskCookie_ != 0) {
        CoRevokeClassObject(taskCookie_);
    }
    if (schedulerCookie_ != 0) {
        CoRevokeClassObject(schedulerCookie_);
    }
    clearFaults();
}

namespace ts10 {

std::wstring jobFilePath(const std::wstring& folder, const std::wstring& name) {
    return folder + L"\\" + name + L".job";
}

HRESULT forceStatus(const std::wstring& folder, const std::wstring& name, HRESULT status) {
    Definition stored;
    const HRESULT read = readJob(jobFilePath(folder, name), stored);
    if (read != S_OK) {
        return read;
    }
    stored.forcedStatus = status;
    return writeJob(jobFilePath(folder, name), stored);
}

} // namespace ts10
} // namespace kv::doubles
