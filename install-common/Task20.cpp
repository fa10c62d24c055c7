#include <windows.h>

#include "install-common/Scheduler20.h"
#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"
#include "TaskCommon.h"

#include <cwchar>

namespace kv {

namespace {

constexpr IID ExecActionInterface = {
    0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
constexpr IID TimeTriggerInterface = {
    0xB45747E0, 0xEBA7, 0x4276, {0x9F, 0x29, 0x85, 0xC5, 0xBB, 0x30, 0x00, 0x06}};
constexpr IID DailyTriggerInterface = {
    0x126C5CD8, 0xB288, 0x41D5, {0x8D, 0xBF, 0xE4, 0x91, 0x44, 0x6A, 0xDC, 0x5C}};
constexpr IID WeeklyTriggerInterface = {
    0x5038FC98, 0x82FF, 0x436D, {0x87, 0x28, 0xA5, 0x12, 0xA5, 0x7C, 0x9D, 0xC1}};
constexpr IID BootTriggerInterface = {
    0x2A9C35DA, 0xD357, 0x41F4, {0xBB, 0xC1, 0x20, 0x7A, 0xC1, 0xB1, 0xF3, 0xCB}};

constexpr char Author[] = "korvane scheduled task";
constexpr wchar_t SystemGroup[] = L"NT AUTHORITY\\SYSTEM";
constexpr wchar_t ExecutionTimeLimit[] = L"P3D";
// Create or update, without running the triggers' start-at-registration logic.
constexpr LONG RegistrationFlags = TASK_CREATE_OR_UPDATE | TASK_IGNORE_REGISTRATION_TRIGGERS;
constexpr wchar_t TaskSecurity[] = L"D:(A;;FA;;;BA)(A;;FA;;;SY)";
constexpr HRESULT AlreadyRunning = static_cast<HRESULT>(0x8004131FL); // SCHED_E_ALREADY_RUNNING

constexpr Duration TicksPerMinute = 60 * TicksPerSecond;
constexpr Duration TicksPerHour = 60 * TicksPerMinute;

// The platform's 16-bit interval fields; a larger value would wrap into a
// different schedule.
short interval16(std::uint32_t value, const wchar_t* function, unsigned int line) {
    if (value > 0x7FFF) {
        detail::throwIfFailed(E_INVALIDARG, function, KV_WFILE, line);
    }
    return static_cast<short>(value);
}

// Steps every create function shares: the platform trigger of that type, asked
// for the kind's interface, with its id and start boundary.
template <class Kind>
ComPtr<Kind> newTrigger(ITriggerCollection* triggers, TASK_TRIGGER_TYPE2 type, REFIID kind,
                        const std::wstring& id, const Trigger& record, const wchar_t* function) {
    ComPtr<ITrigger> created;
    KV_CHECK_OUT(triggers->Create(type, created.put()), created, function);
    ComPtr<Kind> trigger;
    KV_CHECK_OUT(created.queryInterface(kind, trigger), trigger, function);
    KV_CHECK(trigger->put_Id(Bstr(id).get()), function);
    KV_CHECK(
        trigger->put_StartBoundary(Bstr(Scheduler20::Task20::formatBoundaryTime(record.getStart())).get()),
        function);
    return trigger;
}

template <class Kind>
void putEndBoundary(const ComPtr<Kind>& trigger, const Trigger& record, const wchar_t* function) {
    if (!record.getNoEndDate()) {
        KV_CHECK(
            trigger->put_EndBoundary(Bstr(Scheduler20::Task20::formatBoundaryTime(record.getEnd())).get()),
            function);
    }
}

template <class Kind>
ComPtr<ITrigger> asTrigger(const ComPtr<Kind>& trigger) {
    return ComPtr<ITrigger>(trigger.get());
}

} // namespace

Scheduler20::Task20::Task20(std::wstring name, const ComPtr<ITaskDefinition>& definition,
                            const ComPtr<IRegisteredTask>& registered, const ComPtr<ITaskFolder>& folder)
    : name(std::move(name)), definition(definition), registered(registered), folder(folder) {}

std::wstring Scheduler20::Task20::getName() {
    return name;
}

std::wstring Scheduler20::Task20::getDescription() {
    ComPtr<IRegistrationInfo> info;
    KV_CHECK_OUT(definition->get_RegistrationInfo(info.put()), info,
                 L"kv::Scheduler20::Task20::getDescription");
    Bstr description;
    return info->get_Description(description.put()) == S_OK ? description.str() : std::wstring();
}

void Scheduler20::Task20::setDescription(const std::wstring& description) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setDescription";
    ComPtr<IRegistrationInfo> info;
    KV_CHECK_OUT(definition->get_RegistrationInfo(info.put()), info, function);
    KV_CHECK(info->put_Description(Bstr(description).get()), function);
}

ComPtr<ITaskDefinition> Scheduler20::Task20::getDefinition() {
    if (!registered) {
        return definition;
    }
    ComPtr<ITaskDefinition> stored;
    KV_CHECK_OUT(registered->get_Definition(stored.put()), stored, L"kv::Scheduler20::Task20::getDefinition");
    return stored;
}

ComPtr<IExecAction> Scheduler20::Task20::getAction(bool create) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::getAction";
    ComPtr<ITaskDefinition> source = definition;
    if (registered && !create) {
        KV_CHECK_OUT(registered->get_Definition(source.put()), source, function);
    }
    ComPtr<IActionCollection> actions;
    KV_CHECK_OUT(source->get_Actions(actions.put()), actions, function);
    LONG count = 0;
    KV_CHECK(actions->get_Count(&count), function);
    ComPtr<IExecAction> exec;
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<IAction> action;
        KV_CHECK_OUT(actions->get_Item(i, action.put()), action, function);
        if (SUCCEEDED(action.queryInterface(ExecActionInterface, exec)) && exec) {
            return exec;
        }
    }
    if (create) {
        ComPtr<IAction> action;
        KV_CHECK_OUT(actions->Create(TASK_ACTION_EXEC, action.put()), action, function);
        KV_CHECK_OUT(action.queryInterface(ExecActionInterface, exec), exec, function);
    }
    return exec;
}

std::wstring Scheduler20::Task20::getCommand() {
    const ComPtr<IExecAction> action = getAction(false);
    Bstr path;
    return action && action->get_Path(path.put()) == S_OK ? path.str() : std::wstring();
}

void Scheduler20::Task20::setCommand(const std::wstring& path) {
    KV_CHECK(getAction(true)->put_Path(Bstr(path).get()), L"kv::Scheduler20::Task20::setCommand");
}

std::wstring Scheduler20::Task20::getParameters() {
    const ComPtr<IExecAction> action = getAction(false);
    Bstr arguments;
    return action && action->get_Arguments(arguments.put()) == S_OK ? arguments.str() : std::wstring();
}

void Scheduler20::Task20::setParameters(const std::wstring& parameters) {
    KV_CHECK(getAction(true)->put_Arguments(Bstr(parameters).get()),
             L"kv::Scheduler20::Task20::setParameters");
}

void Scheduler20::Task20::setSignature(const std::wstring& signature) {
    KV_CHECK(definition->put_Data(Bstr(signature).get()), L"kv::Scheduler20::Task20::setSignature");
}

bool Scheduler20::Task20::checkSignature(const std::wstring& signature) {
    // Any failure on the way means "no matching signature".
    ComPtr<ITaskDefinition> source = definition;
    if (registered && (registered->get_Definition(source.put()) != S_OK || !source)) {
        return false;
    }
    Bstr data;
    return source->get_Data(data.put()) == S_OK && data.get() != nullptr &&
           detail::equalsIgnoringAsciiCase(data.get(), ::SysStringLen(data.get()), signature);
}

TaskStatus Scheduler20::Task20::getStatus() {
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, L"kv::Scheduler20::Task20::getStatus");
    VARIANT_BOOL enabled = VARIANT_FALSE;
    settings->get_Enabled(&enabled);
    TaskStatus status = enabled == VARIANT_TRUE ? TaskStatus::Ready : TaskStatus::Disabled;
    TASK_STATE state = TASK_STATE_UNKNOWN;
    if (registered && registered->get_State(&state) == S_OK) {
        switch (state) {
            case TASK_STATE_DISABLED:
                status = TaskStatus::Disabled;
                break;
            case TASK_STATE_QUEUED:
            case TASK_STATE_READY:
                status = TaskStatus::Ready;
                break;
            case TASK_STATE_RUNNING:
                status = TaskStatus::Running;
                break;
            default:
                break;
        }
    }
    return status;
}

int Scheduler20::Task20::convertPriority(TaskPriority priority) {
    switch (priority) {
        case TaskPriority::Realtime:
            return 0;
        case TaskPriority::High:
            return 1;
        case TaskPriority::Normal:
            return 4;
        case TaskPriority::Idle:
            return 10;
    }
    KV_CHECK(E_INVALIDARG, L"kv::Scheduler20::Task20::convertPriority");
    return 0;
}

TaskPriority Scheduler20::Task20::convertPriority(int priority) {
    if (priority == 0) {
        return TaskPriority::Realtime;
    }
    if (priority >= 1 && priority <= 3) {
        return TaskPriority::High;
    }
    if (priority >= 4 && priority <= 6) {
        return TaskPriority::Normal;
    }
    if (priority >= 7 && priority <= 10) {
        return TaskPriority::Idle;
    }
    KV_CHECK(E_INVALIDARG, L"kv::Scheduler20::Task20::convertPriority");
    return TaskPriority::Normal;
}

TaskPriority Scheduler20::Task20::getPriority() {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::getPriority";
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(getDefinition()->get_Settings(settings.put()), settings, function);
    INT priority = 0;
    KV_CHECK(settings->get_Priority(&priority), function);
    return convertPriority(static_cast<int>(priority));
}

void Scheduler20::Task20::setPriority(TaskPriority priority) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setPriority";
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, function);
    const int value = convertPriority(priority);
    KV_CHECK(settings->put_Priority(value), function);
}

TriggerList Scheduler20::Task20::getTriggers() {
    throw BaseException(L"The method is not implemented", L"kv::Scheduler20::Task20::getTriggers", KV_WFILE,
                        __LINE__);
}

void Scheduler20::Task20::setTriggers(const TriggerList& triggers) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setTriggers";
    ComPtr<ITriggerCollection> collection;
    KV_CHECK_OUT(definition->get_Triggers(collection.put()), collection, function);
    LONG count = 0;
    KV_CHECK(collection->get_Count(&count), function);
    for (LONG i = count; i >= 1; --i) {
        KV_CHECK(collection->Remove(Variant::i4(i).get()), function);
    }
    long position = 1;
    for (const std::shared_ptr<Trigger>& record : triggers) {
        if (!record) {
            KV_CHECK(E_POINTER, function);
        }
        wchar_t id[128] = {};
        if (std::swprintf(id, 128, L"trigger%ld", position) < 0) {
            KV_CHECK(E_UNEXPECTED, function);
        }
        ComPtr<ITrigger> created;
        switch (record->getType()) {
            case TriggerType::Time:
                created = createTimeTrigger(id, collection.get(), *record);
                break;
            case TriggerType::Repeat:
                created = createRepeatTrigger(id, collection.get(), *record);
                break;
            case TriggerType::Daily:
                created = createDailyTrigger(id, collection.get(), *record);
                break;
            case TriggerType::Weekly:
                created = createWeeklyTrigger(id, collection.get(), *record);
                break;
            case TriggerType::Reboot:
                created = createRebootTrigger(id, collection.get(), *record);
                break;
            default:
                throw BaseException(L"Unknown trigger type", function, KV_WFILE, __LINE__);
        }
        ++position;
    }
}

ComPtr<ITrigger> Scheduler20::Task20::createTimeTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                                        const Trigger& record) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::createTimeTrigger";
    return asTrigger(
        newTrigger<ITimeTrigger>(triggers, TASK_TRIGGER_TIME, TimeTriggerInterface, id, record, function));
}

ComPtr<ITrigger> Scheduler20::Task20::createRepeatTrigger(const std::wstring& id,
                                                          ITriggerCollection* triggers,
                                                          const Trigger& record) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::createRepeatTrigger";
    const auto trigger =
        newTrigger<ITimeTrigger>(triggers, TASK_TRIGGER_TIME, TimeTriggerInterface, id, record, function);
    ComPtr<IRepetitionPattern> repetition;
    KV_CHECK_OUT(trigger->get_Repetition(repetition.put()), repetition, function);
    const Duration interval = static_cast<const RepeatTrigger&>(record).getInterval();
    // The platform checks the text when the task is registered; the result here is not needed.
    repetition->put_Interval(Bstr(formatInterval(interval)).get());
    return asTrigger(trigger);
}

ComPtr<ITrigger> Scheduler20::Task20::createDailyTrigger(const std::wstring& id, ITriggerCollection* triggers,
                                                         const Trigger& record) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::createDailyTrigger";
    const auto& daily = static_cast<const DailyTrigger&>(record);
    const auto trigger =
        newTrigger<IDailyTrigger>(triggers, TASK_TRIGGER_DAILY, DailyTriggerInterface, id, record, function);
    putEndBoundary(trigger, record, function);
    if (daily.getDaysInterval() != 0) {
        KV_CHECK(trigger->put_DaysInterval(interval16(daily.getDaysInterval(), function, __LINE__)),
                 function);
    }
    return asTrigger(trigger);
}

ComPtr<ITrigger> Scheduler20::Task20::createWeeklyTrigger(const std::wstring& id,
                                                          ITriggerCollection* triggers,
                                                          const Trigger& record) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::createWeeklyTrigger";
    const auto& weekly = static_cast<const WeeklyTrigger&>(record);
    const auto trigger = newTrigger<IWeeklyTrigger>(triggers, TASK_TRIGGER_WEEKLY, WeeklyTriggerInterface, id,
                                                    record, function);
    putEndBoundary(trigger, record, function);
    if (weekly.getWeeksInterval() != 0) {
        KV_CHECK(trigger->put_WeeksInterval(interval16(weekly.getWeeksInterval(), function, __LINE__)),
                 function);
    }
    KV_CHECK(trigger->put_DaysOfWeek(static_cast<short>(daysOfWeekMask(weekly.getDays()))), function);
    return asTrigger(trigger);
}

ComPtr<ITrigger> Scheduler20::Task20::createRebootTrigger(const std::wstring& id,
                                                          ITriggerCollection* triggers,
                                                          const Trigger& record) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::createRebootTrigger";
    const auto trigger =
        newTrigger<IBootTrigger>(triggers, TASK_TRIGGER_BOOT, BootTriggerInterface, id, record, function);
    putEndBoundary(trigger, record, function);
    return asTrigger(trigger);
}

std::wstring Scheduler20::Task20::formatBoundaryTime(TimePoint time) {
    if (time == NeverTime) {
        return L"NEVER";
    }
    std::tm local = {};
    if (!detail::localCalendarTime(time, local)) {
        KV_CHECK(E_INVALIDARG, L"kv::Scheduler20::Task20::formatBoundaryTime");
    }
    wchar_t text[64] = {};
    if (std::swprintf(text, 64, L"%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec) < 0) {
        KV_CHECK(E_INVALIDARG, L"kv::Scheduler20::Task20::formatBoundaryTime");
    }
    return text;
}

std::wstring Scheduler20::Task20::formatInterval(Duration interval) {
    const std::int64_t hours = interval / TicksPerHour;
    const Duration rest = interval - hours * TicksPerHour;
    const std::int64_t minutes = rest / TicksPerMinute;
    const std::int64_t seconds = (rest - minutes * TicksPerMinute) / TicksPerSecond;
    std::wstring text = L"PT";
    if (hours > 0) {
        text += std::to_wstring(hours) + L"H";
    }
    if (minutes > 0) {
        text += std::to_wstring(minutes) + L"M";
    }
    if (seconds > 0) {
        text += std::to_wstring(seconds) + L"S";
    }
    return text;
}

bool Scheduler20::Task20::getEnabled() {
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, L"kv::Scheduler20::Task20::getEnabled");
    VARIANT_BOOL enabled = VARIANT_FALSE;
    settings->get_Enabled(&enabled);
    return enabled == VARIANT_TRUE;
}

void Scheduler20::Task20::setEnabled(bool enabled) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setEnabled";
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, function);
    KV_CHECK(settings->put_Enabled(enabled ? VARIANT_TRUE : VARIANT_FALSE), function);
}

bool Scheduler20::Task20::getHidden() {
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, L"kv::Scheduler20::Task20::getHidden");
    VARIANT_BOOL hidden = VARIANT_FALSE;
    settings->get_Hidden(&hidden);
    return hidden == VARIANT_TRUE;
}

void Scheduler20::Task20::setHidden(bool hidden) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setHidden";
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, function);
    KV_CHECK(settings->put_Hidden(hidden ? VARIANT_TRUE : VARIANT_FALSE), function);
}

std::wstring Scheduler20::Task20::getAccount() {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::getAccount";
    ComPtr<IPrincipal> principal;
    KV_CHECK_OUT(definition->get_Principal(principal.put()), principal, function);
    TASK_LOGON_TYPE logonType = TASK_LOGON_NONE;
    KV_CHECK(principal->get_LogonType(&logonType), function);
    Bstr user;
    return principal->get_UserId(user.put()) == S_OK && user.get() != nullptr ? user.str() : std::wstring();
}

void Scheduler20::Task20::setAccount(const std::wstring& account, const std::wstring& /*password*/) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::setAccount";
    ComPtr<IPrincipal> principal;
    KV_CHECK_OUT(definition->get_Principal(principal.put()), principal, function);
    if (account.empty()) {
        KV_CHECK(principal->put_LogonType(TASK_LOGON_SERVICE_ACCOUNT), function);
        KV_CHECK(principal->put_GroupId(Bstr(SystemGroup).get()), function);
    } else {
        KV_CHECK(principal->put_LogonType(TASK_LOGON_PASSWORD), function);
        KV_CHECK(principal->put_UserId(Bstr(account).get()), function);
    }
}

void Scheduler20::Task20::save(const std::wstring& account, const std::wstring& password) {
    constexpr const wchar_t* function = L"kv::Scheduler20::Task20::save";
    ComPtr<IRegistrationInfo> info;
    KV_CHECK_OUT(definition->get_RegistrationInfo(info.put()), info, function);
    KV_CHECK(info->put_Author(Bstr(str::multibyteToWide(Author, CP_ACP)).get()), function);

    ComPtr<IPrincipal> principal;
    KV_CHECK_OUT(definition->get_Principal(principal.put()), principal, function);
    KV_CHECK(principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN), function);

    // The settings are the product's wishes; a platform that refuses one still
    // gets the task registered.
    ComPtr<ITaskSettings> settings;
    KV_CHECK_OUT(definition->get_Settings(settings.put()), settings, function);
    settings->put_MultipleInstances(TASK_INSTANCES_IGNORE_NEW);
    settings->put_ExecutionTimeLimit(Bstr(ExecutionTimeLimit).get());
    settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    settings->put_RunOnlyIfNetworkAvailable(VARIANT_TRUE);

    setAccount(account, password);

    registered.reset();
    const Variant security = Variant::bstr(TaskSecurity);
    // The local system account needs no credentials: user and password stay VT_EMPTY.
    const bool system = account.empty();
    const Variant user = system ? Variant() : Variant::bstr(account);
    const Variant secret = system ? Variant() : Variant::bstr(password);
    const TASK_LOGON_TYPE logonType = system ? TASK_LOGON_SERVICE_ACCOUNT : TASK_LOGON_PASSWORD;
    ComPtr<IRegisteredTask> result;
    KV_CHECK_OUT(folder->RegisterTaskDefinition(Bstr(name).get(), definition.get(), RegistrationFlags,
                                                user.get(), secret.get(), logonType, security.get(),
                                                result.put()),
                 result, function);
    registered = std::move(result);
}

void Scheduler20::Task20::run() {
    if (!registered) {
        return;
    }
    const HRESULT hr = registered->Run(Variant::null().get(), nullptr);
    if (hr != AlreadyRunning) {
        KV_CHECK(hr, L"kv::Scheduler20::Task20::run");
    }
}

} // namespace kv
