#include <windows.h>
#include <mstask.h>

#include "install-common/Scheduler10.h"
#include "kvtl/Exceptions.h"
#include "TaskCommon.h"

namespace kv {

namespace {

constexpr IID PersistFileInterface = {
    0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr HRESULT AlreadyRunning = static_cast<HRESULT>(0x8004131FL); // SCHED_E_ALREADY_RUNNING
static_assert(sizeof(TASK_TRIGGER) == 48, "the platform's trigger record is 48 bytes");

// A text the work item hands out: copied, then released with CoTaskMemFree.
std::wstring takeText(HRESULT hr, LPWSTR text, const wchar_t* function, unsigned int line) {
    std::wstring result;
    if (text != nullptr) {
        result = text;
        ::CoTaskMemFree(text);
    }
    detail::throwIfFailed(hr, function, KV_WFILE, line);
    return result;
}

// The byte count of a signature with its terminating null, or 0 when it does
// not fit the platform's 16-bit count.
WORD signatureBytes(const std::wstring& signature) noexcept {
    const std::size_t bytes = (signature.size() + 1) * sizeof(wchar_t);
    return bytes > 0xFFFF ? 0 : static_cast<WORD>(bytes);
}

WORD interval16(std::uint32_t value) {
    if (value > 0xFFFF) {
        KV_CHECK(E_INVALIDARG, L"kv::Scheduler10::Task10::setTriggers");
    }
    return static_cast<WORD>(value);
}

} // namespace

Scheduler10::Task10::Task10(std::wstring name, ComPtr<ITask> workItem) noexcept
    : name(std::move(name)), workItem(std::move(workItem)) {}

std::wstring Scheduler10::Task10::getName() {
    return name;
}

std::wstring Scheduler10::Task10::getDescription() {
    LPWSTR text = nullptr;
    const HRESULT hr = workItem->GetComment(&text);
    return takeText(hr, text, L"kv::Scheduler10::Task10::getDescription", __LINE__);
}

void Scheduler10::Task10::setDescription(const std::wstring& description) {
    KV_CHECK(workItem->SetComment(description.c_str()), L"kv::Scheduler10::Task10::setDescription");
}

std::wstring Scheduler10::Task10::getCommand() {
    LPWSTR text = nullptr;
    const HRESULT hr = workItem->GetApplicationName(&text);
    return takeText(hr, text, L"kv::Scheduler10::Task10::getCommand", __LINE__);
}

void Scheduler10::Task10::setCommand(const std::wstring& path) {
    KV_CHECK(workItem->SetApplicationName(path.c_str()), L"kv::Scheduler10::Task10::setCommand");
    setAccount(std::wstring(), std::wstring());
}

std::wstring Scheduler10::Task10::getParameters() {
    LPWSTR text = nullptr;
    const HRESULT hr = workItem->GetParameters(&text);
    return takeText(hr, text, L"kv::Scheduler10::Task10::getParameters", __LINE__);
}

void Scheduler10::Task10::setParameters(const std::wstring& parameters) {
    KV_CHECK(workItem->SetParameters(parameters.c_str()), L"kv::Scheduler10::Task10::setParameters");
}

void Scheduler10::Task10::setSignature(const std::wstring& signature) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setSignature";
    const WORD bytes = signatureBytes(signature);
    if (bytes == 0) {
        KV_CHECK(E_INVALIDARG, function);
    }
    // The text with its terminating null, as the platform's byte array.
    auto* data = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(signature.c_str()));
    KV_CHECK(workItem->SetWorkItemData(bytes, data), function);
}

bool Scheduler10::Task10::checkSignature(const std::wstring& signature) {
    const WORD expected = signatureBytes(signature);
    if (expected == 0) {
        return false;
    }
    WORD bytes = 0;
    BYTE* data = nullptr;
    const HRESULT hr = workItem->GetWorkItemData(&bytes, &data);
    bool equal = false;
    if (hr == S_OK && data != nullptr && bytes >= 2 && bytes % 2 == 0 && bytes == expected &&
        data[bytes - 1] == 0 && data[bytes - 2] == 0) {
        // The platform's buffer carries no alignment promise for wide characters.
        std::wstring stored(bytes / sizeof(wchar_t) - 1, L'\0');
        ::CopyMemory(&stored[0], data, stored.size() * sizeof(wchar_t));
        equal = detail::equalsIgnoringAsciiCase(stored.c_str(), stored.size(), signature);
    }
    ::CoTaskMemFree(data);
    return equal;
}

TaskStatus Scheduler10::Task10::convertStatus(HRESULT status) {
    switch (status) {
        case SCHED_S_TASK_READY:
            return TaskStatus::Ready;
        case SCHED_S_TASK_RUNNING:
            return TaskStatus::Running;
        case SCHED_S_TASK_DISABLED:
            return TaskStatus::Disabled;
        case SCHED_S_TASK_HAS_NOT_RUN:
            return TaskStatus::HasNotRun;
        case SCHED_S_TASK_NO_MORE_RUNS:
            return TaskStatus::NoMoreRuns;
        case SCHED_S_TASK_NOT_SCHEDULED:
            return TaskStatus::NotScheduled;
        case SCHED_S_TASK_NO_VALID_TRIGGERS:
            return TaskStatus::NoValidTriggers;
        default:
            KV_CHECK(E_INVALIDARG, L"kv::Scheduler10::Task10::convertStatus");
            return TaskStatus::Ready;
    }
}

TaskStatus Scheduler10::Task10::getStatus() {
    HRESULT status = S_OK;
    KV_CHECK(workItem->GetStatus(&status), L"kv::Scheduler10::Task10::getStatus");
    return convertStatus(status);
}

DWORD Scheduler10::Task10::convertPriority(TaskPriority priority) {
    switch (priority) {
        case TaskPriority::Realtime:
            return REALTIME_PRIORITY_CLASS;
        case TaskPriority::High:
            return HIGH_PRIORITY_CLASS;
        case TaskPriority::Normal:
            return NORMAL_PRIORITY_CLASS;
        case TaskPriority::Idle:
            return IDLE_PRIORITY_CLASS;
    }
    KV_CHECK(E_INVALIDARG, L"kv::Scheduler10::Task10::convertPriority");
    return NORMAL_PRIORITY_CLASS;
}

TaskPriority Scheduler10::Task10::convertPriority(DWORD priorityClass) {
    switch (priorityClass) {
        case REALTIME_PRIORITY_CLASS:
            return TaskPriority::Realtime;
        case HIGH_PRIORITY_CLASS:
            return TaskPriority::High;
        case NORMAL_PRIORITY_CLASS:
            return TaskPriority::Normal;
        case IDLE_PRIORITY_CLASS:
            return TaskPriority::Idle;
        default:
            KV_CHECK(E_INVALIDARG, L"kv::Scheduler10::Task10::convertPriority");
            return TaskPriority::Normal;
    }
}

TaskPriority Scheduler10::Task10::getPriority() {
    DWORD priorityClass = 0;
    KV_CHECK(workItem->GetPriority(&priorityClass), L"kv::Scheduler10::Task10::getPriority");
    return convertPriority(priorityClass);
}

void Scheduler10::Task10::setPriority(TaskPriority priority) {
    const DWORD priorityClass = convertPriority(priority);
    KV_CHECK(workItem->SetPriority(priorityClass), L"kv::Scheduler10::Task10::setPriority");
}

TriggerList Scheduler10::Task10::getTriggers() {
    throw BaseException(L"The method is not implemented", L"kv::Scheduler10::Task10::getTriggers", KV_WFILE,
                        __LINE__);
}

bool Scheduler10::Task10::makeTrigger(const Trigger& record, TASK_TRIGGER& result) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setTriggers";
    result = TASK_TRIGGER{};
    result.cbTriggerSize = sizeof(TASK_TRIGGER);
    switch (record.getType()) {
        case TriggerType::Time:
            result.TriggerType = TASK_TIME_TRIGGER_ONCE;
            break;
        case TriggerType::Daily:
            result.TriggerType = TASK_TIME_TRIGGER_DAILY;
            result.Type.Daily.DaysInterval =
                interval16(static_cast<const DailyTrigger&>(record).getDaysInterval());
            break;
        case TriggerType::Weekly: {
            const auto& weekly = static_cast<const WeeklyTrigger&>(record);
            result.TriggerType = TASK_TIME_TRIGGER_WEEKLY;
            result.Type.Weekly.WeeksInterval = interval16(weekly.getWeeksInterval());
            result.Type.Weekly.rgfDaysOfTheWeek = daysOfWeekMask(weekly.getDays());
            break;
        }
        case TriggerType::Reboot:
            result.TriggerType = TASK_EVENT_TRIGGER_AT_SYSTEMSTART;
            break;
        default:
            return false;
    }
    std::tm begin = {};
    if (!detail::localCalendarTime(record.getStart(), begin)) {
        KV_CHECK(E_INVALIDARG, function);
    }
    result.wBeginYear = static_cast<WORD>(begin.tm_year + 1900);
    result.wBeginMonth = static_cast<WORD>(begin.tm_mon + 1);
    result.wBeginDay = static_cast<WORD>(begin.tm_mday);
    result.wStartHour = static_cast<WORD>(begin.tm_hour);
    result.wStartMinute = static_cast<WORD>(begin.tm_min);
    if (!record.getNoEndDate()) {
        std::tm end = {};
        if (!detail::localCalendarTime(record.getEnd(), end)) {
            KV_CHECK(E_INVALIDARG, function);
        }
        result.wEndYear = static_cast<WORD>(end.tm_year + 1900);
        result.wEndMonth = static_cast<WORD>(end.tm_mon + 1);
        result.wEndDay = static_cast<WORD>(end.tm_mday);
        result.rgFlags |= TASK_TRIGGER_FLAG_HAS_END_DATE;
    }
    return true;
}

void Scheduler10::Task10::setTriggers(const TriggerList& triggers) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setTriggers";
    WORD count = 0;
    KV_CHECK(workItem->GetTriggerCount(&count), function);
    for (WORD i = 0; i < count; ++i) {
        KV_CHECK(workItem->DeleteTrigger(0), function);
    }
    for (const std::shared_ptr<Trigger>& record : triggers) {
        if (!record) {
            KV_CHECK(E_POINTER, function);
        }
        WORD index = 0;
        ComPtr<ITaskTrigger> trigger;
        KV_CHECK(workItem->CreateTrigger(&index, trigger.put()), function);
        if (!trigger) {
            KV_CHECK(E_POINTER, function);
        }
        TASK_TRIGGER settings;
        bool supported = false;
        try {
            supported = makeTrigger(*record, settings);
        } catch (...) {
            // A record whose times cannot be converted leaves no empty trigger behind.
            workItem->DeleteTrigger(index);
            throw;
        }
        if (!supported) {
            // Task Scheduler 1.0 has no repeat trigger: the record is left out.
            workItem->DeleteTrigger(index);
            continue;
        }
        KV_CHECK(trigger->SetTrigger(&settings), function);
    }
}

bool Scheduler10::Task10::getEnabled() {
    DWORD flags = 0;
    KV_CHECK(workItem->GetFlags(&flags), L"kv::Scheduler10::Task10::getEnabled");
    return (flags & TASK_FLAG_DISABLED) == 0;
}

void Scheduler10::Task10::setEnabled(bool enabled) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setEnabled";
    DWORD flags = 0;
    KV_CHECK(workItem->GetFlags(&flags), function);
    flags = enabled ? flags & ~static_cast<DWORD>(TASK_FLAG_DISABLED) : flags | TASK_FLAG_DISABLED;
    KV_CHECK(workItem->SetFlags(flags), function);
}

bool Scheduler10::Task10::getHidden() {
    DWORD flags = 0;
    KV_CHECK(workItem->GetFlags(&flags), L"kv::Scheduler10::Task10::getHidden");
    return (flags & TASK_FLAG_HIDDEN) != 0;
}

void Scheduler10::Task10::setHidden(bool hidden) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setHidden";
    DWORD flags = 0;
    KV_CHECK(workItem->GetFlags(&flags), function);
    flags = hidden ? flags | TASK_FLAG_HIDDEN : flags & ~static_cast<DWORD>(TASK_FLAG_HIDDEN);
    KV_CHECK(workItem->SetFlags(flags), function);
}

std::wstring Scheduler10::Task10::getAccount() {
    LPWSTR text = nullptr;
    const HRESULT hr = workItem->GetAccountInformation(&text);
    return takeText(hr, text, L"kv::Scheduler10::Task10::getAccount", __LINE__);
}

void Scheduler10::Task10::setAccount(const std::wstring& account, const std::wstring& password) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::setAccount";
    if (account.empty()) {
        // An empty name without a password is the local system account.
        KV_CHECK(workItem->SetAccountInformation(L"", nullptr), function);
    } else {
        KV_CHECK(workItem->SetAccountInformation(account.c_str(), password.c_str()), function);
    }
}

void Scheduler10::Task10::save(const std::wstring& account, const std::wstring& password) {
    constexpr const wchar_t* function = L"kv::Scheduler10::Task10::save";
    setAccount(account, password);
    ComPtr<IPersistFile> file;
    KV_CHECK(workItem.queryInterface(PersistFileInterface, file), function);
    if (!file) {
        KV_CHECK(E_POINTER, function);
    }
    KV_CHECK(file->Save(nullptr, TRUE), function);
}

void Scheduler10::Task10::run() {
    if (!workItem) {
        return;
    }
    const HRESULT hr = workItem->Run();
    if (hr != AlreadyRunning) {
        KV_CHECK(hr, L"kv::Scheduler10::Task10::run");
    }
}

} // namespace kv
