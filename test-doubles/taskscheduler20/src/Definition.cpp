#include "Definition.h"
#include "ComBase.h"
#include "Faults.h"

// The definition objects answer the properties the scheduled-task library reads
// and writes; every other one is E_NOTIMPL.
#define KV_NOTIMPL(name, ...)                                                                                \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override {                                                   \
        return E_NOTIMPL;                                                                                    \
    }

namespace kv::ts20 {

namespace {

// Private identifier through which the double recognises its own definitions.
constexpr IID kIidDefinitionData = {
    0x6b0e3f52, 0x1d7a, 0x4c1e, {0x9a, 0x41, 0x2f, 0x63, 0x0c, 0x8e, 0x55, 0x17}};

HRESULT putText(BSTR value, std::wstring& field) {
    field = textOf(value);
    return S_OK;
}

template <class T, class V>
HRESULT put(T& field, V value) {
    field = value;
    return S_OK;
}

class RegistrationInfo final : public Dispatch<IRegistrationInfo, kIidRegistrationInfo> {
public:
    explicit RegistrationInfo(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Description");
        return giveBstr(data_->description, value);
    }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Description");
        return putText(value, data_->description);
    }
    HRESULT STDMETHODCALLTYPE put_Author(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Author");
        return putText(value, data_->author);
    }
    KV_NOTIMPL(get_Author, BSTR*);
    KV_NOTIMPL(get_Version, BSTR*);
    KV_NOTIMPL(put_Version, BSTR);
    KV_NOTIMPL(get_Date, BSTR*);
    KV_NOTIMPL(put_Date, BSTR);
    KV_NOTIMPL(get_Documentation, BSTR*);
    KV_NOTIMPL(put_Documentation, BSTR);
    KV_NOTIMPL(get_XmlText, BSTR*);
    KV_NOTIMPL(put_XmlText, BSTR);
    KV_NOTIMPL(get_URI, BSTR*);
    KV_NOTIMPL(put_URI, BSTR);
    KV_NOTIMPL(get_SecurityDescriptor, VARIANT*);
    KV_NOTIMPL(put_SecurityDescriptor, VARIANT);
    KV_NOTIMPL(get_Source, BSTR*);
    KV_NOTIMPL(put_Source, BSTR);

private:
    std::shared_ptr<TaskData> data_;
};

class Principal final : public Dispatch<IPrincipal, kIidPrincipal> {
public:
    explicit Principal(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_UserId(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_UserId");
        return giveBstr(data_->principal.userId, value);
    }
    HRESULT STDMETHODCALLTYPE put_UserId(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_UserId");
        return putText(value, data_->principal.userId);
    }
    HRESULT STDMETHODCALLTYPE get_GroupId(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_GroupId");
        return giveBstr(data_->principal.groupId, value);
    }
    HRESULT STDMETHODCALLTYPE put_GroupId(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_GroupId");
        return putText(value, data_->principal.groupId);
    }
    HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_LogonType");
        return giveValue(data_->principal.logonType, value);
    }
    HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_LogonType");
        if (value < TASK_LOGON_NONE || value > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
            return E_INVALIDARG;
        }
        return put(data_->principal.logonType, value);
    }
    KV_NOTIMPL(get_Id, BSTR*);
    KV_NOTIMPL(put_Id, BSTR);
    KV_NOTIMPL(get_DisplayName, BSTR*);
    KV_NOTIMPL(put_DisplayName, BSTR);
    KV_NOTIMPL(get_RunLevel, TASK_RUNLEVEL_TYPE*);
    KV_NOTIMPL(put_RunLevel, TASK_RUNLEVEL_TYPE);

private:
    std::shared_ptr<TaskData> data_;
};

class Settings final : public Dispatch<ITaskSettings, kIidTaskSettings> {
public:
    explicit Settings(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) override {
        KV_TS20_ENTRY(L"ITaskSettings::get_Enabled");
        return giveBool(settings().enabled, value);
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_Enabled");
        return put(settings().enabled, value != VARIANT_FALSE);
    }
    HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL* value) override {
        KV_TS20_ENTRY(L"ITaskSettings::get_Hidden");
        return giveBool(settings().hidden, value);
    }
    HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_Hidden");
        return put(settings().hidden, value != VARIANT_FALSE);
    }
    HRESULT STDMETHODCALLTYPE get_Priority(INT* value) override {
        KV_TS20_ENTRY(L"ITaskSettings::get_Priority");
        return giveValue(settings().priority, value);
    }
    HRESULT STDMETHODCALLTYPE put_Priority(INT value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_Priority");
        return put(settings().priority, value);
    }
    HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_MultipleInstances");
        return put(settings().multipleInstances, value);
    }
    HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_ExecutionTimeLimit");
        return putText(value, settings().executionTimeLimit);
    }
    HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_DisallowStartIfOnBatteries");
        return put(settings().disallowStartIfOnBatteries, value != VARIANT_FALSE);
    }
    HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"ITaskSettings::put_RunOnlyIfNetworkAvailable");
        return put(settings().runOnlyIfNetworkAvailable, value != VARIANT_FALSE);
    }
    KV_NOTIMPL(get_AllowDemandStart, VARIANT_BOOL*);
    KV_NOTIMPL(put_AllowDemandStart, VARIANT_BOOL);
    KV_NOTIMPL(get_RestartInterval, BSTR*);
    KV_NOTIMPL(put_RestartInterval, BSTR);
    KV_NOTIMPL(get_RestartCount, INT*);
    KV_NOTIMPL(put_RestartCount, INT);
    KV_NOTIMPL(get_MultipleInstances, TASK_INSTANCES_POLICY*);
    KV_NOTIMPL(get_ExecutionTimeLimit, BSTR*);
    KV_NOTIMPL(get_StopIfGoingOnBatteries, VARIANT_BOOL*);
    KV_NOTIMPL(put_StopIfGoingOnBatteries, VARIANT_BOOL);
    KV_NOTIMPL(get_DisallowStartIfOnBatteries, VARIANT_BOOL*);
    KV_NOTIMPL(get_RunOnlyIfNetworkAvailable, VARIANT_BOOL*);
    KV_NOTIMPL(get_AllowHardTerminate, VARIANT_BOOL*);
    KV_NOTIMPL(put_AllowHardTerminate, VARIANT_BOOL);
    KV_NOTIMPL(get_StartWhenAvailable, VARIANT_BOOL*);
    KV_NOTIMPL(put_StartWhenAvailable, VARIANT_BOOL);
    KV_NOTIMPL(get_XmlText, BSTR*);
    KV_NOTIMPL(put_XmlText, BSTR);
    KV_NOTIMPL(get_DeleteExpiredTaskAfter, BSTR*);
    KV_NOTIMPL(put_DeleteExpiredTaskAfter, BSTR);
    KV_NOTIMPL(get_Compatibility, TASK_COMPATIBILITY*);
    KV_NOTIMPL(put_Compatibility, TASK_COMPATIBILITY);
    KV_NOTIMPL(get_RunOnlyIfIdle, VARIANT_BOOL*);
    KV_NOTIMPL(put_RunOnlyIfIdle, VARIANT_BOOL);
    KV_NOTIMPL(get_WakeToRun, VARIANT_BOOL*);
    KV_NOTIMPL(put_WakeToRun, VARIANT_BOOL);
    KV_NOTIMPL(get_IdleSettings, IIdleSettings**);
    KV_NOTIMPL(put_IdleSettings, IIdleSettings*);
    KV_NOTIMPL(get_NetworkSettings, INetworkSettings**);
    KV_NOTIMPL(put_NetworkSettings, INetworkSettings*);

private:
    SettingsData& settings() { return data_->settings; }
    std::shared_ptr<TaskData> data_;
};

class ExecAction final : public Dispatch<IExecAction, kIidAction, kIidExecAction> {
public:
    explicit ExecAction(std::shared_ptr<ActionData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* value) override {
        KV_TS20_ENTRY(L"IExecAction::get_Path");
        return giveBstr(data_->path, value);
    }
    HRESULT STDMETHODCALLTYPE put_Path(BSTR value) override {
        KV_TS20_ENTRY(L"IExecAction::put_Path");
        return putText(value, data_->path);
    }
    HRESULT STDMETHODCALLTYPE get_Arguments(BSTR* value) override {
        KV_TS20_ENTRY(L"IExecAction::get_Arguments");
        return giveBstr(data_->arguments, value);
    }
    HRESULT STDMETHODCALLTYPE put_Arguments(BSTR value) override {
        KV_TS20_ENTRY(L"IExecAction::put_Arguments");
        return putText(value, data_->arguments);
    }
    HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* value) override {
        return giveValue(TASK_ACTION_EXEC, value);
    }
    KV_NOTIMPL(get_Id, BSTR*);
    KV_NOTIMPL(put_Id, BSTR);
    KV_NOTIMPL(get_WorkingDirectory, BSTR*);
    KV_NOTIMPL(put_WorkingDirectory, BSTR);

private:
    std::shared_ptr<ActionData> data_;
};

// Only exec actions are modelled.
class ActionCollection final : public Dispatch<IActionCollection, kIidActionCollection> {
public:
    explicit ActionCollection(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(L"IActionCollection::get_Count");
        return giveValue(static_cast<LONG>(data_->actions.size()), count);
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** action) override {
        KV_TS20_ENTRY(L"IActionCollection::get_Item");
        if (index < 1 || index > static_cast<LONG>(data_->actions.size())) {
            return E_INVALIDARG;
        }
        return giveObject(new (std::nothrow) ExecAction(data_->actions[index - 1]), action);
    }
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** action) override {
        KV_TS20_ENTRY(L"IActionCollection::Create");
        if (type != TASK_ACTION_EXEC) {
            return E_NOTIMPL;
        }
        data_->actions.push_back(std::make_shared<ActionData>());
        return giveObject(new (std::nothrow) ExecAction(data_->actions.back()), action);
    }
    KV_NOTIMPL(get__NewEnum, IUnknown**);
    KV_NOTIMPL(get_XmlText, BSTR*);
    KV_NOTIMPL(put_XmlText, BSTR);
    KV_NOTIMPL(Remove, VARIANT);
    KV_NOTIMPL(Clear, void);
    KV_NOTIMPL(get_Context, BSTR*);
    KV_NOTIMPL(put_Context, BSTR);

private:
    std::shared_ptr<TaskData> data_;
};

class RepetitionPattern final : public Dispatch<IRepetitionPattern, kIidRepetitionPattern> {
public:
    explicit RepetitionPattern(std::shared_ptr<TriggerData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE put_Interval(BSTR value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::put_Interval");
        return putText(value, data_->interval);
    }
    KV_NOTIMPL(get_Interval, BSTR*);
    KV_NOTIMPL(get_Duration, BSTR*);
    KV_NOTIMPL(put_Duration, BSTR);
    KV_NOTIMPL(get_StopAtDurationEnd, VARIANT_BOOL*);
    KV_NOTIMPL(put_StopAtDurationEnd, VARIANT_BOOL);

private:
    std::shared_ptr<TriggerData> data_;
};

// The ITrigger part of every trigger kind.
template <class I, const IID& Kind>
class Trigger : public Dispatch<I, kIidTrigger, Kind> {
public:
    explicit Trigger(std::shared_ptr<TriggerData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* value) override {
        return giveValue(data_->type, value);
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_Id");
        return putText(value, data_->id);
    }
    HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern** value) override {
        KV_TS20_ENTRY(L"ITrigger::get_Repetition");
        return giveObject(new (std::nothrow) RepetitionPattern(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_StartBoundary");
        return putText(value, data_->startBoundary);
    }
    HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_EndBoundary");
        return putText(value, data_->endBoundary);
    }
    KV_NOTIMPL(get_Id, BSTR*);
    KV_NOTIMPL(put_Repetition, IRepetitionPattern*);
    KV_NOTIMPL(get_ExecutionTimeLimit, BSTR*);
    KV_NOTIMPL(put_ExecutionTimeLimit, BSTR);
    KV_NOTIMPL(get_StartBoundary, BSTR*);
    KV_NOTIMPL(get_EndBoundary, BSTR*);
    KV_NOTIMPL(get_Enabled, VARIANT_BOOL*);
    KV_NOTIMPL(put_Enabled, VARIANT_BOOL);

protected:
    std::shared_ptr<TriggerData> data_;
};

class TimeTrigger final : public Trigger<ITimeTrigger, kIidTimeTrigger> {
public:
    using Trigger::Trigger;
    KV_NOTIMPL(get_RandomDelay, BSTR*);
    KV_NOTIMPL(put_RandomDelay, BSTR);
};

class DailyTrigger final : public Trigger<IDailyTrigger, kIidDailyTrigger> {
public:
    using Trigger::Trigger;
    HRESULT STDMETHODCALLTYPE put_DaysInterval(short value) override {
        KV_TS20_ENTRY(L"IDailyTrigger::put_DaysInterval");
        return put(data_->daysInterval, value);
    }
    KV_NOTIMPL(get_DaysInterval, short*);
    KV_NOTIMPL(get_RandomDelay, BSTR*);
    KV_NOTIMPL(put_RandomDelay, BSTR);
};

class WeeklyTrigger final : public Trigger<IWeeklyTrigger, kIidWeeklyTrigger> {
public:
    using Trigger::Trigger;
    HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::put_DaysOfWeek");
        return put(data_->daysOfWeek, value);
    }
    HRESULT STDMETHODCALLTYPE put_WeeksInterval(short value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::put_WeeksInterval");
        return put(data_->weeksInterval, value);
    }
    KV_NOTIMPL(get_DaysOfWeek, short*);
    KV_NOTIMPL(get_WeeksInterval, short*);
    KV_NOTIMPL(get_RandomDelay, BSTR*);
    KV_NOTIMPL(put_RandomDelay, BSTR);
};

class BootTrigger final : public Trigger<IBootTrigger, kIidBootTrigger> {
public:
    using Trigger::Trigger;
    KV_NOTIMPL(get_Delay, BSTR*);
    KV_NOTIMPL(put_Delay, BSTR);
};

// Time, daily, weekly and boot triggers are modelled.
class TriggerCollection final : public Dispatch<ITriggerCollection, kIidTriggerCollection> {
public:
    explicit TriggerCollection(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(L"ITriggerCollection::get_Count");
        return giveValue(static_cast<LONG>(data_->triggers.size()), count);
    }
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override {
        KV_TS20_ENTRY(L"ITriggerCollection::Create");
        auto data = std::make_shared<TriggerData>();
        data->type = type;
        ITrigger* created = nullptr;
        if (type == TASK_TRIGGER_TIME) {
            created = new (std::nothrow) TimeTrigger(data);
        } else if (type == TASK_TRIGGER_DAILY) {
            created = new (std::nothrow) DailyTrigger(data);
        } else if (type == TASK_TRIGGER_WEEKLY) {
            created = new (std::nothrow) WeeklyTrigger(data);
        } else if (type == TASK_TRIGGER_BOOT) {
            created = new (std::nothrow) BootTrigger(data);
        } else {
            return E_NOTIMPL;
        }
        if (created == nullptr) {
            return E_OUTOFMEMORY;
        }
        data_->triggers.push_back(data);
        return giveObject(created, trigger);
    }
    // By 1-based position only (identifiers are not modelled).
    HRESULT STDMETHODCALLTYPE Remove(VARIANT index) override {
        KV_TS20_ENTRY(L"ITriggerCollection::Remove");
        VARIANT number;
        VariantInit(&number);
        auto& triggers = data_->triggers;
        if (FAILED(VariantChangeType(&number, &index, 0, VT_I4)) || number.lVal < 1 ||
            number.lVal > static_cast<LONG>(triggers.size())) {
            return E_INVALIDARG;
        }
        triggers.erase(triggers.begin() + (number.lVal - 1));
        return S_OK;
    }
    KV_NOTIMPL(get_Item, LONG, ITrigger**);
    KV_NOTIMPL(get__NewEnum, IUnknown**);
    KV_NOTIMPL(Clear, void);

private:
    std::shared_ptr<TaskData> data_;
};

class Definition final : public Dispatch<ITaskDefinition, kIidTaskDefinition, kIidDefinitionData> {
public:
    explicit Definition(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}
    const std::shared_ptr<TaskData>& data() const { return data_; }

    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_RegistrationInfo");
        return giveObject(new (std::nothrow) RegistrationInfo(data_), value);
    }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Triggers");
        return giveObject(new (std::nothrow) TriggerCollection(data_), value);
    }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Settings");
        return giveObject(new (std::nothrow) Settings(data_), value);
    }
    HRESULT STDMETHODCALLTYPE get_Data(BSTR* value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Data");
        return giveBstr(data_->data, value);
    }
    HRESULT STDMETHODCALLTYPE put_Data(BSTR value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::put_Data");
        return putText(value, data_->data);
    }
    HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Principal");
        return giveObject(new (std::nothrow) Principal(data_), value);
    }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Actions");
        return giveObject(new (std::nothrow) ActionCollection(data_), value);
    }
    KV_NOTIMPL(put_RegistrationInfo, IRegistrationInfo*);
    KV_NOTIMPL(put_Triggers, ITriggerCollection*);
    KV_NOTIMPL(put_Settings, ITaskSettings*);
    KV_NOTIMPL(put_Principal, IPrincipal*);
    KV_NOTIMPL(put_Actions, IActionCollection*);
    KV_NOTIMPL(get_XmlText, BSTR*);
    KV_NOTIMPL(put_XmlText, BSTR);

private:
    std::shared_ptr<TaskData> data_;
};

} // namespace

ITaskDefinition* newDefinition(std::shared_ptr<TaskData> data) {
    return new (std::nothrow) Definition(std::move(data));
}

HRESULT snapshotOf(ITaskDefinition* definition, TaskData& data) {
    void* own = nullptr;
    if (definition == nullptr || FAILED(definition->QueryInterface(kIidDefinitionData, &own)) ||
        own == nullptr) {
        return E_INVALIDARG;
    }
    auto* ours = static_cast<Definition*>(static_cast<ITaskDefinition*>(own));
    data = ours->data()->clone();
    ours->Release();
    return S_OK;
}

} // namespace kv::ts20
