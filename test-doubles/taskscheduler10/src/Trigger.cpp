#include "Faults.h"
#include "Objects.h"

namespace kv::doubles::ts10 {

namespace {

bool leapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// A calendar date with a four-digit year.
bool validDate(WORD year, WORD month, WORD day) {
    static const WORD days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 9999 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    return day <= days[month - 1] + (month == 2 && leapYear(year) ? 1 : 0);
}

unsigned long dateKey(WORD year, WORD month, WORD day) {
    return (static_cast<unsigned long>(year) << 9) | (static_cast<unsigned long>(month) << 5) | day;
}

} // namespace

bool validTrigger(const TASK_TRIGGER& t) {
    constexpr DWORD knownFlags =
        TASK_TRIGGER_FLAG_HAS_END_DATE | TASK_TRIGGER_FLAG_KILL_AT_DURATION_END | TASK_TRIGGER_FLAG_DISABLED;
    if (t.cbTriggerSize != sizeof(TASK_TRIGGER) || t.Reserved1 != 0 || t.Reserved2 != 0 ||
        (t.rgFlags & ~knownFlags) != 0) {
        return false;
    }
    if (!validDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay) || t.wStartHour > 23 || t.wStartMinute > 59) {
        return false;
    }
    if ((t.rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) &&
        (!validDate(t.wEndYear, t.wEndMonth, t.wEndDay) ||
         dateKey(t.wEndYear, t.wEndMonth, t.wEndDay) < dateKey(t.wBeginYear, t.wBeginMonth, t.wBeginDay))) {
        return false;
    }
    // The interval must be shorter than the duration it repeats within.
    if (t.MinutesDuration < t.MinutesInterval ||
        (t.MinutesInterval != 0 && t.MinutesInterval == t.MinutesDuration)) {
        return false;
    }
    switch (t.TriggerType) {
        case TASK_TIME_TRIGGER_ONCE:
        case TASK_TIME_TRIGGER_DAILY:
        case TASK_EVENT_TRIGGER_ON_IDLE:
        case TASK_EVENT_TRIGGER_AT_SYSTEMSTART:
        case TASK_EVENT_TRIGGER_AT_LOGON:
            return true;
        case TASK_TIME_TRIGGER_WEEKLY:
            return (t.Type.Weekly.rgfDaysOfTheWeek & ~0x7F) == 0;
        case TASK_TIME_TRIGGER_MONTHLYDATE:
            return (t.Type.MonthlyDate.rgfDays & ~0x7FFFFFFFul) == 0 &&
                   (t.Type.MonthlyDate.rgfMonths & ~0xFFF) == 0;
        case TASK_TIME_TRIGGER_MONTHLYDOW:
            return t.Type.MonthlyDOW.wWhichWeek >= TASK_FIRST_WEEK &&
                   t.Type.MonthlyDOW.wWhichWeek <= TASK_LAST_WEEK &&
                   (t.Type.MonthlyDOW.rgfDaysOfTheWeek & ~0x7F) == 0 &&
                   (t.Type.MonthlyDOW.rgfMonths & ~0xFFF) == 0;
        default:
            return false;
    }
}

Trigger::Trigger(WorkItem* item, std::shared_ptr<TriggerRecord> record)
    : item_(item), record_(std::move(record)) {
    item_->AddRef();
}

Trigger::~Trigger() {
    item_->Release();
}

HRESULT STDMETHODCALLTYPE Trigger::SetTrigger(const PTASK_TRIGGER trigger) {
    const HRESULT injected = enterCall(L"ITaskTrigger::SetTrigger");
    if (injected != S_OK) {
        return injected;
    }
    if (trigger == nullptr || !validTrigger(*trigger)) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(item_->lock());
    if (!item_->owns(record_)) {
        return SCHED_E_TRIGGER_NOT_FOUND;
    }
    record_->trigger = *trigger;
    record_->set = true;
    item_->touch();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Trigger::GetTrigger(PTASK_TRIGGER trigger) {
    const HRESULT injected = enterCall(L"ITaskTrigger::GetTrigger");
    if (injected != S_OK) {
        return injected;
    }
    if (trigger == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard<std::mutex> lock(item_->lock());
    if (!item_->owns(record_)) {
        return SCHED_E_TRIGGER_NOT_FOUND;
    }
    *trigger = record_->trigger;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Trigger::GetTriggerString(LPWSTR* text) {
    if (text != nullptr) {
        *text = nullptr;
    }
    const HRESULT injected = enterCall(L"ITaskTrigger::GetTriggerString");
    return injected != S_OK ? injected : E_NOTIMPL;
}

} // namespace kv::doubles::ts10
