#include "Definition.h"
#include "ComBase.h"
#include "Faults.h"

namespace kv::ts20 {

namespace {

// Private identifier through which the double recognises its own definitions.
constexpr IID kIidDefinitionData = {
    0x6b0e3f52, 0x1d7a, 0x4c1e, {0x9a, 0x41, 0x2f, 0x63, 0x0c, 0x8e, 0x55, 0x17}};

HRESULT putText(BSTR value, std::wstring& field) {
    field = textOf(value);
    return S_OK;
}

bool isTrue(VARIANT_BOOL value) {
    return value != VARIANT_FALSE;
}

class RegistrationInfo final : public Dispatch<IRegistrationInfo> {
public:
    explicit RegistrationInfo(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Description");
        return giveBstr(info().description, value);
    }
    HRESULT STDMETHODCALLTYPE put_Description(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Description");
        return putText(value, info().description);
    }
    HRESULT STDMETHODCALLTYPE get_Author(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Author");
        return giveBstr(info().author, value);
    }
    HRESULT STDMETHODCALLTYPE put_Author(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Author");
        return putText(value, info().author);
    }
    HRESULT STDMETHODCALLTYPE get_Version(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Version");
        return giveBstr(info().version, value);
    }
    HRESULT STDMETHODCALLTYPE put_Version(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Version");
        return putText(value, info().version);
    }
    HRESULT STDMETHODCALLTYPE get_Date(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Date");
        return giveBstr(info().date, value);
    }
    HRESULT STDMETHODCALLTYPE put_Date(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Date");
        return putText(value, info().date);
    }
    HRESULT STDMETHODCALLTYPE get_Documentation(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Documentation");
        return giveBstr(info().documentation, value);
    }
    HRESULT STDMETHODCALLTYPE put_Documentation(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Documentation");
        return putText(value, info().documentation);
    }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_URI(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_URI");
        return giveBstr(info().uri, value);
    }
    HRESULT STDMETHODCALLTYPE put_URI(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_URI");
        return putText(value, info().uri);
    }
    HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Source(BSTR* value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::get_Source");
        return giveBstr(info().source, value);
    }
    HRESULT STDMETHODCALLTYPE put_Source(BSTR value) override {
        KV_TS20_ENTRY(L"IRegistrationInfo::put_Source");
        return putText(value, info().source);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidRegistrationInfo; }

private:
    RegistrationData& info() { return data_->registration; }
    std::shared_ptr<TaskData> data_;
};

class Principal final : public Dispatch<IPrincipal> {
public:
    explicit Principal(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Id(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_Id");
        return giveBstr(principal().id, value);
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_Id");
        return putText(value, principal().id);
    }
    HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_DisplayName");
        return giveBstr(principal().displayName, value);
    }
    HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_DisplayName");
        return putText(value, principal().displayName);
    }
    HRESULT STDMETHODCALLTYPE get_UserId(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_UserId");
        return giveBstr(principal().userId, value);
    }
    HRESULT STDMETHODCALLTYPE put_UserId(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_UserId");
        return putText(value, principal().userId);
    }
    HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_LogonType");
        return giveValue(principal().logonType, value);
    }
    HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_LogonType");
        if (value < TASK_LOGON_NONE || value > TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD) {
            return E_INVALIDARG;
        }
        principal().logonType = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_GroupId(BSTR* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_GroupId");
        return giveBstr(principal().groupId, value);
    }
    HRESULT STDMETHODCALLTYPE put_GroupId(BSTR value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_GroupId");
        return putText(value, principal().groupId);
    }
    HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE* value) override {
        KV_TS20_ENTRY(L"IPrincipal::get_RunLevel");
        return giveValue(principal().runLevel, value);
    }
    HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE value) override {
        KV_TS20_ENTRY(L"IPrincipal::put_RunLevel");
        if (value != TASK_RUNLEVEL_LUA && value != TASK_RUNLEVEL_HIGHEST) {
            return E_INVALIDARG;
        }
        principal().runLevel = value;
        return S_OK;
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidPrincipal; }

private:
    PrincipalData& principal() { return data_->principal; }
    std::shared_ptr<TaskData> data_;
};

class Settings final : public Dispatch<ITaskSettings> {
public:
    explicit Settings(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

#define KV_TS20_BOOL_SETTING(Name, field)                                                                    \
    HRESULT STDMETHODCALLTYPE get_##Name(VARIANT_BOOL* value) override {                                     \
        KV_TS20_ENTRY(L"ITaskSettings::get_" #Name);                                                         \
        return giveBool(settings().field, value);                                                            \
    }                                                                                                        \
    HRESULT STDMETHODCALLTYPE put_##Name(VARIANT_BOOL value) override {                                      \
        KV_TS20_ENTRY(L"ITaskSettings::put_" #Name);                                                         \
        settings().field = isTrue(value);                                                                    \
        return S_OK;                                                                                         \
    }
#define KV_TS20_TEXT_SETTING(Name, field)                                                                    \
    HRESULT STDMETHODCALLTYPE get_##Name(BSTR* value) override {                                             \
        KV_TS20_ENTRY(L"ITaskSettings::get_" #Name);                                                         \
        return giveBstr(settings().field, value);                                                            \
    }                                                                                                        \
    HRESULT STDMETHODCALLTYPE put_##Name(BSTR value) override {                                              \
        KV_TS20_ENTRY(L"ITaskSettings::put_" #Name);                                                         \
        return putText(value, settings().field);                                                             \
    }
#define KV_TS20_VALUE_SETTING(Name, Type, field)                                                             \
    HRESULT STDMETHODCALLTYPE get_##Name(Type* value) override {                                             \
        KV_TS20_ENTRY(L"ITaskSettings::get_" #Name);                                                         \
        return giveValue(settings().field, value);                                                           \
    }                                                                                                        \
    HRESULT STDMETHODCALLTYPE put_##Name(Type value) override {                                              \
        KV_TS20_ENTRY(L"ITaskSettings::put_" #Name);                                                         \
        settings().field = value;                                                                            \
        return S_OK;                                                                                         \
    }

    KV_TS20_BOOL_SETTING(AllowDemandStart, allowDemandStart)
    KV_TS20_TEXT_SETTING(RestartInterval, restartInterval)
    KV_TS20_VALUE_SETTING(RestartCount, INT, restartCount)
    KV_TS20_VALUE_SETTING(MultipleInstances, TASK_INSTANCES_POLICY, multipleInstances)
    KV_TS20_BOOL_SETTING(StopIfGoingOnBatteries, stopIfGoingOnBatteries)
    KV_TS20_BOOL_SETTING(DisallowStartIfOnBatteries, disallowStartIfOnBatteries)
    KV_TS20_BOOL_SETTING(AllowHardTerminate, allowHardTerminate)
    KV_TS20_BOOL_SETTING(StartWhenAvailable, startWhenAvailable)
    KV_TS20_BOOL_SETTING(RunOnlyIfNetworkAvailable, runOnlyIfNetworkAvailable)
    KV_TS20_TEXT_SETTING(ExecutionTimeLimit, executionTimeLimit)
    KV_TS20_BOOL_SETTING(Enabled, enabled)
    KV_TS20_TEXT_SETTING(DeleteExpiredTaskAfter, deleteExpiredTaskAfter)
    KV_TS20_VALUE_SETTING(Priority, INT, priority)
    KV_TS20_VALUE_SETTING(Compatibility, TASK_COMPATIBILITY, compatibility)
    KV_TS20_BOOL_SETTING(Hidden, hidden)
    KV_TS20_BOOL_SETTING(RunOnlyIfIdle, runOnlyIfIdle)
    KV_TS20_BOOL_SETTING(WakeToRun, wakeToRun)

#undef KV_TS20_BOOL_SETTING
#undef KV_TS20_TEXT_SETTING
#undef KV_TS20_VALUE_SETTING

    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings*) override {
        return E_NOTIMPL;
    }

protected:
    bool implements(REFIID iid) const override {
        return iid == kIidTaskSettings;
    }

private:
    SettingsData& settings() {
        return data_->settings;
    }
    std::shared_ptr<TaskData> data_;
};

class ExecAction final : public Dispatch<IExecAction> {
public:
    explicit ExecAction(std::shared_ptr<ActionData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Id(BSTR* value) override {
        KV_TS20_ENTRY(L"IAction::get_Id");
        return giveBstr(data_->id, value);
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR value) override {
        KV_TS20_ENTRY(L"IAction::put_Id");
        return putText(value, data_->id);
    }
    HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* value) override {
        KV_TS20_ENTRY(L"IAction::get_Type");
        return giveValue(TASK_ACTION_EXEC, value);
    }
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
    HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR* value) override {
        KV_TS20_ENTRY(L"IExecAction::get_WorkingDirectory");
        return giveBstr(data_->workingDirectory, value);
    }
    HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR value) override {
        KV_TS20_ENTRY(L"IExecAction::put_WorkingDirectory");
        return putText(value, data_->workingDirectory);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidAction || iid == kIidExecAction; }

private:
    std::shared_ptr<ActionData> data_;
};

class ActionCollection final : public Dispatch<IActionCollection> {
public:
    explicit ActionCollection(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(L"IActionCollection::get_Count");
        return giveValue(static_cast<LONG>(data_->actions.size()), count);
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** action) override {
        KV_TS20_ENTRY(L"IActionCollection::get_Item");
        if (action == nullptr) {
            return E_POINTER;
        }
        *action = nullptr;
        if (index < 1 || index > static_cast<LONG>(data_->actions.size())) {
            return E_INVALIDARG;
        }
        return giveObject(new (std::nothrow) ExecAction(data_->actions[index - 1]), action);
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** action) override {
        KV_TS20_ENTRY(L"IActionCollection::Create");
        if (action == nullptr) {
            return E_POINTER;
        }
        *action = nullptr;
        if (type != TASK_ACTION_EXEC) {
            // Handler, e-mail and message actions are not modelled.
            return type == TASK_ACTION_COM_HANDLER || type == TASK_ACTION_SEND_EMAIL ||
                           type == TASK_ACTION_SHOW_MESSAGE
                       ? E_NOTIMPL
                       : E_INVALIDARG;
        }
        auto created = std::make_shared<ActionData>();
        data_->actions.push_back(created);
        return giveObject(new (std::nothrow) ExecAction(created), action);
    }
    HRESULT STDMETHODCALLTYPE Remove(VARIANT index) override {
        KV_TS20_ENTRY(L"IActionCollection::Remove");
        long number = 0;
        std::wstring id;
        const HRESULT hr = readIndex(index, number, id);
        if (FAILED(hr)) {
            return hr;
        }
        auto& actions = data_->actions;
        if (!id.empty()) {
            for (auto it = actions.begin(); it != actions.end(); ++it) {
                if ((*it)->id == id) {
                    actions.erase(it);
                    return S_OK;
                }
            }
            return E_INVALIDARG;
        }
        if (number < 1 || number > static_cast<long>(actions.size())) {
            return E_INVALIDARG;
        }
        actions.erase(actions.begin() + (number - 1));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clear() override {
        KV_TS20_ENTRY(L"IActionCollection::Clear");
        data_->actions.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Context(BSTR* value) override {
        KV_TS20_ENTRY(L"IActionCollection::get_Context");
        return giveBstr(data_->actionsContext, value);
    }
    HRESULT STDMETHODCALLTYPE put_Context(BSTR value) override {
        KV_TS20_ENTRY(L"IActionCollection::put_Context");
        return putText(value, data_->actionsContext);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidActionCollection; }

private:
    std::shared_ptr<TaskData> data_;
};

class RepetitionPattern final : public Dispatch<IRepetitionPattern> {
public:
    explicit RepetitionPattern(std::shared_ptr<TriggerData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Interval(BSTR* value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::get_Interval");
        return giveBstr(data_->repetition.interval, value);
    }
    HRESULT STDMETHODCALLTYPE put_Interval(BSTR value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::put_Interval");
        return putText(value, data_->repetition.interval);
    }
    HRESULT STDMETHODCALLTYPE get_Duration(BSTR* value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::get_Duration");
        return giveBstr(data_->repetition.duration, value);
    }
    HRESULT STDMETHODCALLTYPE put_Duration(BSTR value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::put_Duration");
        return putText(value, data_->repetition.duration);
    }
    HRESULT STDMETHODCALLTYPE get_StopAtDurationEnd(VARIANT_BOOL* value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::get_StopAtDurationEnd");
        return giveBool(data_->repetition.stopAtDurationEnd, value);
    }
    HRESULT STDMETHODCALLTYPE put_StopAtDurationEnd(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"IRepetitionPattern::put_StopAtDurationEnd");
        data_->repetition.stopAtDurationEnd = isTrue(value);
        return S_OK;
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidRepetitionPattern; }

private:
    std::shared_ptr<TriggerData> data_;
};

// The ITrigger part shared by every trigger kind.
template <class I>
class TriggerBase : public Dispatch<I> {
public:
    explicit TriggerBase(std::shared_ptr<TriggerData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_Type");
        return giveValue(data_->type, value);
    }
    HRESULT STDMETHODCALLTYPE get_Id(BSTR* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_Id");
        return giveBstr(data_->id, value);
    }
    HRESULT STDMETHODCALLTYPE put_Id(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_Id");
        return putText(value, data_->id);
    }
    HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern** value) override {
        KV_TS20_ENTRY(L"ITrigger::get_Repetition");
        return giveObject(new (std::nothrow) RepetitionPattern(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern* value) override {
        KV_TS20_ENTRY(L"ITrigger::put_Repetition");
        if (value == nullptr) {
            return E_POINTER;
        }
        BSTR interval = nullptr;
        BSTR duration = nullptr;
        VARIANT_BOOL stop = VARIANT_FALSE;
        HRESULT hr = value->get_Interval(&interval);
        if (SUCCEEDED(hr)) {
            hr = value->get_Duration(&duration);
        }
        if (SUCCEEDED(hr)) {
            hr = value->get_StopAtDurationEnd(&stop);
        }
        if (SUCCEEDED(hr)) {
            data_->repetition = {textOf(interval), textOf(duration), isTrue(stop)};
        }
        SysFreeString(interval);
        SysFreeString(duration);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_ExecutionTimeLimit");
        return giveBstr(data_->executionTimeLimit, value);
    }
    HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_ExecutionTimeLimit");
        return putText(value, data_->executionTimeLimit);
    }
    HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_StartBoundary");
        return giveBstr(data_->startBoundary, value);
    }
    HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_StartBoundary");
        return putText(value, data_->startBoundary);
    }
    HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_EndBoundary");
        return giveBstr(data_->endBoundary, value);
    }
    HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR value) override {
        KV_TS20_ENTRY(L"ITrigger::put_EndBoundary");
        return putText(value, data_->endBoundary);
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) override {
        KV_TS20_ENTRY(L"ITrigger::get_Enabled");
        return giveBool(data_->enabled, value);
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        KV_TS20_ENTRY(L"ITrigger::put_Enabled");
        data_->enabled = isTrue(value);
        return S_OK;
    }

protected:
    std::shared_ptr<TriggerData> data_;
};

class TimeTrigger final : public TriggerBase<ITimeTrigger> {
public:
    using TriggerBase::TriggerBase;

    HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR* value) override {
        KV_TS20_ENTRY(L"ITimeTrigger::get_RandomDelay");
        return giveBstr(data_->randomDelay, value);
    }
    HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR value) override {
        KV_TS20_ENTRY(L"ITimeTrigger::put_RandomDelay");
        return putText(value, data_->randomDelay);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTrigger || iid == kIidTimeTrigger; }
};

class DailyTrigger final : public TriggerBase<IDailyTrigger> {
public:
    using TriggerBase::TriggerBase;

    HRESULT STDMETHODCALLTYPE get_DaysInterval(short* value) override {
        KV_TS20_ENTRY(L"IDailyTrigger::get_DaysInterval");
        return giveValue(data_->daysInterval, value);
    }
    HRESULT STDMETHODCALLTYPE put_DaysInterval(short value) override {
        KV_TS20_ENTRY(L"IDailyTrigger::put_DaysInterval");
        data_->daysInterval = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR* value) override {
        KV_TS20_ENTRY(L"IDailyTrigger::get_RandomDelay");
        return giveBstr(data_->randomDelay, value);
    }
    HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR value) override {
        KV_TS20_ENTRY(L"IDailyTrigger::put_RandomDelay");
        return putText(value, data_->randomDelay);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTrigger || iid == kIidDailyTrigger; }
};

class WeeklyTrigger final : public TriggerBase<IWeeklyTrigger> {
public:
    using TriggerBase::TriggerBase;

    HRESULT STDMETHODCALLTYPE get_DaysOfWeek(short* value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::get_DaysOfWeek");
        return giveValue(data_->daysOfWeek, value);
    }
    HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::put_DaysOfWeek");
        data_->daysOfWeek = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_WeeksInterval(short* value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::get_WeeksInterval");
        return giveValue(data_->weeksInterval, value);
    }
    HRESULT STDMETHODCALLTYPE put_WeeksInterval(short value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::put_WeeksInterval");
        data_->weeksInterval = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR* value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::get_RandomDelay");
        return giveBstr(data_->randomDelay, value);
    }
    HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR value) override {
        KV_TS20_ENTRY(L"IWeeklyTrigger::put_RandomDelay");
        return putText(value, data_->randomDelay);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTrigger || iid == kIidWeeklyTrigger; }
};

class BootTrigger final : public TriggerBase<IBootTrigger> {
public:
    using TriggerBase::TriggerBase;

    HRESULT STDMETHODCALLTYPE get_Delay(BSTR* value) override {
        KV_TS20_ENTRY(L"IBootTrigger::get_Delay");
        return giveBstr(data_->delay, value);
    }
    HRESULT STDMETHODCALLTYPE put_Delay(BSTR value) override {
        KV_TS20_ENTRY(L"IBootTrigger::put_Delay");
        return putText(value, data_->delay);
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTrigger || iid == kIidBootTrigger; }
};

ITrigger* wrapTrigger(const std::shared_ptr<TriggerData>& data) {
    switch (data->type) {
        case TASK_TRIGGER_TIME:
            return new (std::nothrow) TimeTrigger(data);
        case TASK_TRIGGER_DAILY:
            return new (std::nothrow) DailyTrigger(data);
        case TASK_TRIGGER_WEEKLY:
            return new (std::nothrow) WeeklyTrigger(data);
        case TASK_TRIGGER_BOOT:
            return new (std::nothrow) BootTrigger(data);
        default:
            return nullptr;
    }
}

class TriggerCollection final : public Dispatch<ITriggerCollection> {
public:
    explicit TriggerCollection(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        KV_TS20_ENTRY(L"ITriggerCollection::get_Count");
        return giveValue(static_cast<LONG>(data_->triggers.size()), count);
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** trigger) override {
        KV_TS20_ENTRY(L"ITriggerCollection::get_Item");
        if (trigger == nullptr) {
            return E_POINTER;
        }
        *trigger = nullptr;
        if (index < 1 || index > static_cast<LONG>(data_->triggers.size())) {
            return E_INVALIDARG;
        }
        return giveObject(wrapTrigger(data_->triggers[index - 1]), trigger);
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override {
        KV_TS20_ENTRY(L"ITriggerCollection::Create");
        if (trigger == nullptr) {
            return E_POINTER;
        }
        *trigger = nullptr;
        if (type != TASK_TRIGGER_TIME && type != TASK_TRIGGER_DAILY && type != TASK_TRIGGER_WEEKLY &&
            type != TASK_TRIGGER_BOOT) {
            // Event, idle, registration, logon, session and monthly triggers are not modelled.
            return type >= TASK_TRIGGER_EVENT && type <= TASK_TRIGGER_SESSION_STATE_CHANGE ? E_NOTIMPL
                                                                                           : E_INVALIDARG;
        }
        auto created = std::make_shared<TriggerData>();
        created->type = type;
        data_->triggers.push_back(created);
        return giveObject(wrapTrigger(created), trigger);
    }
    HRESULT STDMETHODCALLTYPE Remove(VARIANT index) override {
        KV_TS20_ENTRY(L"ITriggerCollection::Remove");
        long number = 0;
        std::wstring id;
        const HRESULT hr = readIndex(index, number, id);
        if (FAILED(hr)) {
            return hr;
        }
        auto& triggers = data_->triggers;
        if (!id.empty()) {
            for (auto it = triggers.begin(); it != triggers.end(); ++it) {
                if ((*it)->id == id) {
                    triggers.erase(it);
                    return S_OK;
                }
            }
            return E_INVALIDARG;
        }
        if (number < 1 || number > static_cast<long>(triggers.size())) {
            return E_INVALIDARG;
        }
        triggers.erase(triggers.begin() + (number - 1));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clear() override {
        KV_TS20_ENTRY(L"ITriggerCollection::Clear");
        data_->triggers.clear();
        return S_OK;
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTriggerCollection; }

private:
    std::shared_ptr<TaskData> data_;
};

class Definition final : public Dispatch<ITaskDefinition> {
public:
    explicit Definition(std::shared_ptr<TaskData> data) : data_(std::move(data)) {}

    const std::shared_ptr<TaskData>& data() const { return data_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (iid == kIidDefinitionData && result != nullptr) {
            *result = this;
            AddRef();
            return S_OK;
        }
        return Dispatch::QueryInterface(iid, result);
    }

    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_RegistrationInfo");
        return giveObject(new (std::nothrow) RegistrationInfo(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Triggers");
        return giveObject(new (std::nothrow) TriggerCollection(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Settings");
        return giveObject(new (std::nothrow) Settings(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings*) override { return E_NOTIMPL; }
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
    HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_Actions");
        return giveObject(new (std::nothrow) ActionCollection(data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_XmlText(BSTR* value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::get_XmlText");
        return giveBstr(toXml(*data_), value);
    }
    HRESULT STDMETHODCALLTYPE put_XmlText(BSTR value) override {
        KV_TS20_ENTRY(L"ITaskDefinition::put_XmlText");
        TaskData parsed;
        const HRESULT hr = fromXml(textOf(value), parsed);
        if (SUCCEEDED(hr)) {
            *data_ = std::move(parsed);
        }
        return hr;
    }

protected:
    bool implements(REFIID iid) const override { return iid == kIidTaskDefinition; }

private:
    std::shared_ptr<TaskData> data_;
};

} // namespace

ITaskDefinition* newDefinition(std::shared_ptr<TaskData> data) {
    return new (std::nothrow) Definition(std::move(data));
}

HRESULT snapshotOf(ITaskDefinition* definition, TaskData& data) {
    if (definition == nullptr) {
        return E_INVALIDARG;
    }
    void* own = nullptr;
    if (SUCCEEDED(definition->QueryInterface(kIidDefinitionData, &own)) && own != nullptr) {
        auto* ours = static_cast<Definition*>(static_cast<ITaskDefinition*>(own));
        data = ours->data()->clone();
        ours->Release();
        return S_OK;
    }
    BSTR xml = nullptr;
    HRESULT hr = definition->get_XmlText(&xml);
    if (SUCCEEDED(hr)) {
        hr = fromXml(textOf(xml), data);
    }
    SysFreeString(xml);
    return hr;
}

HRESULT readIndex(const VARIANT& index, long& number, std::wstring& name) {
    number = 0;
    name.clear();
    if (index.vt == VT_BSTR) {
        name = textOf(index.bstrVal);
        return name.empty() ? E_INVALIDARG : S_OK;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&index), 0, VT_I4))) {
        return E_INVALIDARG;
    }
    number = converted.lVal;
    return S_OK;
}

} // namespace kv::ts20
