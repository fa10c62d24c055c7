#include "Model.h"
#include "Xml.h"

#include <cwchar>
#include <cwctype>

namespace kv::ts20 {

namespace {

const wchar_t* const kNamespace = L"http://schemas.microsoft.com/windows/2004/02/mit/task";
const wchar_t* const kDayNames[7] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                     L"Thursday", L"Friday", L"Saturday"};

std::wstring lower(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

const wchar_t* boolText(bool value) {
    return value ? L"true" : L"false";
}

bool readBool(const xml::Element& parent, const wchar_t* name, bool fallback) {
    const xml::Element* found = parent.child(name);
    if (found == nullptr) {
        return fallback;
    }
    return found->text == L"true" || found->text == L"1";
}

int readInt(const xml::Element& parent, const wchar_t* name, int fallback) {
    const xml::Element* found = parent.child(name);
    if (found == nullptr) {
        return fallback;
    }
    return static_cast<int>(std::wcstol(found->text.c_str(), nullptr, 10));
}

void addIfSet(xml::Element& parent, const wchar_t* name, const std::wstring& value) {
    if (!value.empty()) {
        parent.add(name, value);
    }
}

const wchar_t* logonTypeText(TASK_LOGON_TYPE type) {
    switch (type) {
        case TASK_LOGON_PASSWORD:
            return L"Password";
        case TASK_LOGON_S4U:
            return L"S4U";
        case TASK_LOGON_INTERACTIVE_TOKEN:
            return L"InteractiveToken";
        case TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD:
            return L"InteractiveTokenOrPassword";
        default:
            return nullptr; // group and service-account principals are told by their ids
    }
}

const wchar_t* policyText(TASK_INSTANCES_POLICY policy) {
    switch (policy) {
        case TASK_INSTANCES_PARALLEL:
            return L"Parallel";
        case TASK_INSTANCES_QUEUE:
            return L"Queue";
        case TASK_INSTANCES_STOP_EXISTING:
            return L"StopExisting";
        default:
            return L"IgnoreNew";
    }
}

const wchar_t* versionText(TASK_COMPATIBILITY level) {
    switch (level) {
        case TASK_COMPATIBILITY_AT:
            return L"1.0";
        case TASK_COMPATIBILITY_V1:
            return L"1.1";
        default:
            return L"1.2";
    }
}

void writeTrigger(xml::Element& triggers, const TriggerData& trigger) {
    const wchar_t* name = trigger.type == TASK_TRIGGER_BOOT   ? L"BootTrigger"
                          : trigger.type == TASK_TRIGGER_TIME ? L"TimeTrigger"
                                                              : L"CalendarTrigger";
    xml::Element& element = triggers.add(name);
    if (!trigger.id.empty()) {
        element.attributes.emplace_back(L"id", trigger.id);
    }
    if (!trigger.repetition.interval.empty()) {
        xml::Element& repetition = element.add(L"Repetition");
        repetition.add(L"Interval", trigger.repetition.interval);
        addIfSet(repetition, L"Duration", trigger.repetition.duration);
        repetition.add(L"StopAtDurationEnd", boolText(trigger.repetition.stopAtDurationEnd));
    }
    addIfSet(element, L"StartBoundary", trigger.startBoundary);
    addIfSet(element, L"EndBoundary", trigger.endBoundary);
    addIfSet(element, L"ExecutionTimeLimit", trigger.executionTimeLimit);
    element.add(L"Enabled", boolText(trigger.enabled));
    switch (trigger.type) {
        case TASK_TRIGGER_TIME:
            addIfSet(element, L"RandomDelay", trigger.randomDelay);
            break;
        case TASK_TRIGGER_DAILY:
            element.add(L"ScheduleByDay").add(L"DaysInterval", std::to_wstring(trigger.daysInterval));
            addIfSet(element, L"RandomDelay", trigger.randomDelay);
            break;
        case TASK_TRIGGER_WEEKLY: {
            xml::Element& schedule = element.add(L"ScheduleByWeek");
            xml::Element& days = schedule.add(L"DaysOfWeek");
            for (int day = 0; day < 7; ++day) {
                if (trigger.daysOfWeek & (1 << day)) {
                    days.add(kDayNames[day]);
                }
            }
            schedule.add(L"WeeksInterval", std::to_wstring(trigger.weeksInterval));
            addIfSet(element, L"RandomDelay", trigger.randomDelay);
            break;
        }
        case TASK_TRIGGER_BOOT:
            addIfSet(element, L"Delay", trigger.delay);
            break;
        default:
            break;
    }
}

HRESULT readTrigger(const xml::Element& element, TriggerData& trigger) {
    if (element.name == L"TimeTrigger") {
        trigger.type = TASK_TRIGGER_TIME;
    } else if (element.name == L"BootTrigger") {
        trigger.type = TASK_TRIGGER_BOOT;
    } else if (element.name == L"CalendarTrigger") {
        if (const xml::Element* byDay = element.child(L"ScheduleByDay")) {
            trigger.type = TASK_TRIGGER_DAILY;
            trigger.daysInterval = static_cast<short>(readInt(*byDay, L"DaysInterval", 1));
        } else if (const xml::Element* byWeek = element.child(L"ScheduleByWeek")) {
            trigger.type = TASK_TRIGGER_WEEKLY;
            trigger.weeksInterval = static_cast<short>(readInt(*byWeek, L"WeeksInterval", 1));
            trigger.daysOfWeek = 0;
            if (const xml::Element* days = byWeek->child(L"DaysOfWeek")) {
                for (int day = 0; day < 7; ++day) {
                    if (days->child(kDayNames[day]) != nullptr) {
                        trigger.daysOfWeek = static_cast<short>(trigger.daysOfWeek | (1 << day));
                    }
                }
            }
        } else {
            return E_NOTIMPL; // monthly schedules are not modelled
        }
    } else {
        return E_NOTIMPL;
    }
    if (const std::wstring* id = element.attribute(L"id")) {
        trigger.id = *id;
    }
    if (const xml::Element* repetition = element.child(L"Repetition")) {
        trigger.repetition.interval = repetition->childText(L"Interval");
        trigger.repetition.duration = repetition->childText(L"Duration");
        trigger.repetition.stopAtDurationEnd = readBool(*repetition, L"StopAtDurationEnd", false);
    }
    trigger.startBoundary = element.childText(L"StartBoundary");
    trigger.endBoundary = element.childText(L"EndBoundary");
    trigger.executionTimeLimit = element.childText(L"ExecutionTimeLimit");
    trigger.enabled = readBool(element, L"Enabled", true);
    trigger.randomDelay = element.childText(L"RandomDelay");
    trigger.delay = element.childText(L"Delay");
    return S_OK;
}

bool digits(const std::wstring& text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!std::iswdigit(text[i])) {
            return false;
        }
        value = value * 10 + (text[i] - L'0');
    }
    return true;
}

// Registration interval and restart interval: one minute to 31 days.
bool isRepetitionInterval(const std::wstring& text) {
    double seconds = 0;
    return parseDuration(text, seconds) && seconds >= 60 && seconds <= 31 * 86400.0;
}

bool isOptionalDuration(const std::wstring& text) {
    double seconds = 0;
    return text.empty() || parseDuration(text, seconds);
}

HRESULT validateTrigger(const TriggerData& trigger) {
    const bool needsStart = trigger.type != TASK_TRIGGER_BOOT;
    if (needsStart && trigger.startBoundary.empty()) {
        return kSchedMissingNode;
    }
    if (!trigger.startBoundary.empty() && !isDateTime(trigger.startBoundary)) {
        return kSchedInvalidValue;
    }
    if (!trigger.endBoundary.empty() && !isDateTime(trigger.endBoundary)) {
        return kSchedInvalidValue;
    }
    if (!trigger.repetition.interval.empty()) {
        if (!isRepetitionInterval(trigger.repetition.interval)) {
            return kSchedInvalidValue;
        }
        double interval = 0;
        double duration = 0;
        parseDuration(trigger.repetition.interval, interval);
        if (!trigger.repetition.duration.empty() &&
            (!parseDuration(trigger.repetition.duration, duration) || duration < interval)) {
            return kSchedInvalidValue;
        }
    } else if (!trigger.repetition.duration.empty()) {
        return kSchedMissingNode;
    }
    if (!isOptionalDuration(trigger.executionTimeLimit) || !isOptionalDuration(trigger.randomDelay) ||
        !isOptionalDuration(trigger.delay)) {
        return kSchedInvalidValue;
    }
    if (trigger.type == TASK_TRIGGER_DAILY && (trigger.daysInterval < 1 || trigger.daysInterval > 365)) {
        return kSchedInvalidValue;
    }
    if (trigger.type == TASK_TRIGGER_WEEKLY) {
        if (trigger.weeksInterval < 1 || trigger.weeksInterval > 52 || (trigger.daysOfWeek & ~0x7F) != 0) {
            return kSchedInvalidValue;
        }
        if (trigger.daysOfWeek == 0) {
            return kSchedMissingNode; // DaysOfWeek needs at least one day element
        }
    }
    return S_OK;
}

} // namespace

TaskData TaskData::clone() const {
    TaskData copy;
    copy.registration = registration;
    copy.principal = principal;
    copy.settings = settings;
    copy.data = data;
    copy.actionsContext = actionsContext;
    for (const auto& action : actions) {
        copy.actions.push_back(std::make_shared<ActionData>(*action));
    }
    for (const auto& trigger : triggers) {
        copy.triggers.push_back(std::make_shared<TriggerData>(*trigger));
    }
    return copy;
}

bool isServiceAccountName(const std::wstring& name) {
    static const wchar_t* const names[] = {L"system",
                                           L"nt authority\\system",
                                           L"localsystem",
                                           L"s-1-5-18",
                                           L"local service",
                                           L"nt authority\\local service",
                                           L"nt authority\\localservice",
                                           L"s-1-5-19",
                                           L"network service",
                                           L"nt authority\\network service",
                                           L"nt authority\\networkservice",
                                           L"s-1-5-20"};
    const std::wstring key = lower(name);
    for (const wchar_t* candidate : names) {
        if (key == candidate) {
            return true;
        }
    }
    return false;
}

std::wstring toXml(const TaskData& task) {
    xml::Element root(L"Task");
    root.attributes.emplace_back(L"version", versionText(task.settings.compatibility));
    root.attributes.emplace_back(L"xmlns", kNamespace);

    xml::Element& registration = root.add(L"RegistrationInfo");
    addIfSet(registration, L"Date", task.registration.date);
    addIfSet(registration, L"Author", task.registration.author);
    addIfSet(registration, L"Version", task.registration.version);
    addIfSet(registration, L"Description", task.registration.description);
    addIfSet(registration, L"Documentation", task.registration.documentation);
    addIfSet(registration, L"Source", task.registration.source);
    addIfSet(registration, L"URI", task.registration.uri);

    xml::Element& triggers = root.add(L"Triggers");
    for (const auto& trigger : task.triggers) {
        writeTrigger(triggers, *trigger);
    }

    const PrincipalData& principal = task.principal;
    xml::Element& principalElement = root.add(L"Principals").add(L"Principal");
    const std::wstring principalId = principal.id.empty() ? L"Author" : principal.id;
    principalElement.attributes.emplace_back(L"id", principalId);
    std::wstring userId = principal.userId;
    if (principal.logonType == TASK_LOGON_SERVICE_ACCOUNT && userId.empty() && principal.groupId.empty()) {
        userId = L"S-1-5-18"; // a service-account logon without an account runs as Local System
    }
    addIfSet(principalElement, L"UserId", userId);
    addIfSet(principalElement, L"GroupId", principal.groupId);
    addIfSet(principalElement, L"DisplayName", principal.displayName);
    if (const wchar_t* logon = logonTypeText(principal.logonType)) {
        principalElement.add(L"LogonType", logon);
    }
    principalElement.add(L"RunLevel", principal.runLevel == TASK_RUNLEVEL_HIGHEST ? L"HighestAvailable"
                                                                                  : L"LeastPrivilege");

    const SettingsData& settings = task.settings;
    xml::Element& settingsElement = root.add(L"Settings");
    settingsElement.add(L"MultipleInstancesPolicy", policyText(settings.multipleInstances));
    settingsElement.add(L"DisallowStartIfOnBatteries", boolText(settings.disallowStartIfOnBatteries));
    settingsElement.add(L"StopIfGoingOnBatteries", boolText(settings.stopIfGoingOnBatteries));
    settingsElement.add(L"AllowHardTerminate", boolText(settings.allowHardTerminate));
    settingsElement.add(L"StartWhenAvailable", boolText(settings.startWhenAvailable));
    settingsElement.add(L"RunOnlyIfNetworkAvailable", boolText(settings.runOnlyIfNetworkAvailable));
    settingsElement.add(L"AllowStartOnDemand", boolText(settings.allowDemandStart));
    settingsElement.add(L"Enabled", boolText(settings.enabled));
    settingsElement.add(L"Hidden", boolText(settings.hidden));
    settingsElement.add(L"RunOnlyIfIdle", boolText(settings.runOnlyIfIdle));
    settingsElement.add(L"WakeToRun", boolText(settings.wakeToRun));
    addIfSet(settingsElement, L"ExecutionTimeLimit", settings.executionTimeLimit);
    addIfSet(settingsElement, L"DeleteExpiredTaskAfter", settings.deleteExpiredTaskAfter);
    settingsElement.add(L"Priority", std::to_wstring(settings.priority));
    if (!settings.restartInterval.empty()) {
        xml::Element& restart = settingsElement.add(L"RestartOnFailure");
        restart.add(L"Interval", settings.restartInterval);
        restart.add(L"Count", std::to_wstring(settings.restartCount));
    }

    addIfSet(root, L"Data", task.data);

    xml::Element& actions = root.add(L"Actions");
    actions.attributes.emplace_back(L"Context",
                                    task.actionsContext.empty() ? principalId : task.actionsContext);
    for (const auto& action : task.actions) {
        xml::Element& exec = actions.add(L"Exec");
        if (!action->id.empty()) {
            exec.attributes.emplace_back(L"id", action->id);
        }
        exec.add(L"Command", action->path);
        addIfSet(exec, L"Arguments", action->arguments);
        addIfSet(exec, L"WorkingDirectory", action->workingDirectory);
    }
    return xml::write(root);
}

HRESULT fromXml(const std::wstring& text, TaskData& task) {
    const auto root = xml::parse(text);
    if (!root) {
        return kSchedMalformedXml;
    }
    if (root->name != L"Task") {
        return kSchedMissingNode;
    }
    TaskData result;
    const std::wstring* version = root->attribute(L"version");
    result.settings.compatibility = version == nullptr   ? TASK_COMPATIBILITY_V2
                                    : *version == L"1.0" ? TASK_COMPATIBILITY_AT
                                    : *version == L"1.1" ? TASK_COMPATIBILITY_V1
                                                         : TASK_COMPATIBILITY_V2;
    if (const xml::Element* registration = root->child(L"RegistrationInfo")) {
        result.registration.date = registration->childText(L"Date");
        result.registration.author = registration->childText(L"Author");
        result.registration.version = registration->childText(L"Version");
        result.registration.description = registration->childText(L"Description");
        result.registration.documentation = registration->childText(L"Documentation");
        result.registration.source = registration->childText(L"Source");
        result.registration.uri = registration->childText(L"URI");
    }
    if (const xml::Element* triggers = root->child(L"Triggers")) {
        for (const auto& element : triggers->children) {
            auto trigger = std::make_shared<TriggerData>();
            const HRESULT hr = readTrigger(*element, *trigger);
            if (FAILED(hr)) {
                return hr;
            }
            result.triggers.push_back(trigger);
        }
    }
    const xml::Element* principals = root->child(L"Principals");
    if (const xml::Element* principal = principals == nullptr ? nullptr : principals->child(L"Principal")) {
        PrincipalData& data = result.principal;
        if (const std::wstring* id = principal->attribute(L"id")) {
            data.id = *id;
        }
        data.userId = principal->childText(L"UserId");
        data.groupId = principal->childText(L"GroupId");
        data.displayName = principal->childText(L"DisplayName");
        data.runLevel = principal->childText(L"RunLevel") == L"HighestAvailable" ? TASK_RUNLEVEL_HIGHEST
                                                                                 : TASK_RUNLEVEL_LUA;
        const std::wstring logon = principal->childText(L"LogonType");
        if (logon == L"Password") {
            data.logonType = TASK_LOGON_PASSWORD;
        } else if (logon == L"S4U") {
            data.logonType = TASK_LOGON_S4U;
        } else if (logon == L"InteractiveToken") {
            data.logonType = TASK_LOGON_INTERACTIVE_TOKEN;
        } else if (logon == L"InteractiveTokenOrPassword") {
            data.logonType = TASK_LOGON_INTERACTIVE_TOKEN_OR_PASSWORD;
        } else if (!logon.empty()) {
            return kSchedInvalidValue;
        } else if (isServiceAccountName(data.userId) || isServiceAccountName(data.groupId)) {
            data.logonType = TASK_LOGON_SERVICE_ACCOUNT;
        } else if (!data.groupId.empty()) {
            data.logonType = TASK_LOGON_GROUP;
        }
    }
    if (const xml::Element* settings = root->child(L"Settings")) {
        SettingsData& data = result.settings;
        const std::wstring policy = settings->childText(L"MultipleInstancesPolicy", L"IgnoreNew");
        data.multipleInstances = policy == L"Parallel"       ? TASK_INSTANCES_PARALLEL
                                 : policy == L"Queue"        ? TASK_INSTANCES_QUEUE
                                 : policy == L"StopExisting" ? TASK_INSTANCES_STOP_EXISTING
                                                             : TASK_INSTANCES_IGNORE_NEW;
        data.disallowStartIfOnBatteries = readBool(*settings, L"DisallowStartIfOnBatteries", true);
        data.stopIfGoingOnBatteries = readBool(*settings, L"StopIfGoingOnBatteries", true);
        data.allowHardTerminate = readBool(*settings, L"AllowHardTerminate", true);
        data.startWhenAvailable = readBool(*settings, L"StartWhenAvailable", false);
        data.runOnlyIfNetworkAvailable = readBool(*settings, L"RunOnlyIfNetworkAvailable", false);
        data.allowDemandStart = readBool(*settings, L"AllowStartOnDemand", true);
        data.enabled = readBool(*settings, L"Enabled", true);
        data.hidden = readBool(*settings, L"Hidden", false);
        data.runOnlyIfIdle = readBool(*settings, L"RunOnlyIfIdle", false);
        data.wakeToRun = readBool(*settings, L"WakeToRun", false);
        data.executionTimeLimit = settings->childText(L"ExecutionTimeLimit", L"PT72H");
        data.deleteExpiredTaskAfter = settings->childText(L"DeleteExpiredTaskAfter");
        data.priority = readInt(*settings, L"Priority", 7);
        if (const xml::Element* restart = settings->child(L"RestartOnFailure")) {
            data.restartInterval = restart->childText(L"Interval");
            data.restartCount = readInt(*restart, L"Count", 0);
        }
    }
    result.data = root->childText(L"Data");
    if (const xml::Element* actions = root->child(L"Actions")) {
        if (const std::wstring* context = actions->attribute(L"Context")) {
            result.actionsContext = *context;
        }
        for (const auto& element : actions->children) {
            if (element->name != L"Exec") {
                return E_NOTIMPL; // only exec actions are modelled
            }
            auto action = std::make_shared<ActionData>();
            if (const std::wstring* id = element->attribute(L"id")) {
                action->id = *id;
            }
            action->path = element->childText(L"Command");
            action->arguments = element->childText(L"Arguments");
            action->workingDirectory = element->childText(L"WorkingDirectory");
            result.actions.push_back(action);
        }
    }
    task = std::move(result);
    return S_OK;
}

HRESULT validateForRegistration(const TaskData& task) {
    if (task.actions.empty()) {
        return kSchedMissingNode;
    }
    for (const auto& action : task.actions) {
        if (action->path.empty()) {
            return kSchedInvalidValue; // Command is a non-empty string
        }
    }
    for (const auto& trigger : task.triggers) {
        const HRESULT hr = validateTrigger(*trigger);
        if (FAILED(hr)) {
            return hr;
        }
    }
    const SettingsData& settings = task.settings;
    if (settings.priority < 0 || settings.priority > 10 ||
        settings.multipleInstances < TASK_INSTANCES_PARALLEL ||
        settings.multipleInstances > TASK_INSTANCES_STOP_EXISTING ||
        !isOptionalDuration(settings.executionTimeLimit) ||
        !isOptionalDuration(settings.deleteExpiredTaskAfter) ||
        (!settings.restartInterval.empty() && !isRepetitionInterval(settings.restartInterval))) {
        return kSchedInvalidValue;
    }
    if (task.principal.runLevel != TASK_RUNLEVEL_LUA && task.principal.runLevel != TASK_RUNLEVEL_HIGHEST) {
        return kSchedInvalidValue;
    }
    return S_OK;
}

bool isDateTime(const std::wstring& text) {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != L'-' || !digits(text, 5, 2, month) ||
        text[7] != L'-' || !digits(text, 8, 2, day) || text[10] != L'T' || !digits(text, 11, 2, hour) ||
        text[13] != L':' || !digits(text, 14, 2, minute) || text[16] != L':' ||
        !digits(text, 17, 2, second)) {
        return false;
    }
    static const int monthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    size_t pos = 19;
    if (pos < text.size() && text[pos] == L'.') {
        const size_t start = ++pos;
        while (pos < text.size() && std::iswdigit(text[pos])) {
            ++pos;
        }
        if (pos == start) {
            return false;
        }
    }
    if (pos == text.size()) {
        return true;
    }
    if (text[pos] == L'Z') {
        return pos + 1 == text.size();
    }
    int zoneHour = 0;
    int zoneMinute = 0;
    return (text[pos] == L'+' || text[pos] == L'-') && pos + 6 == text.size() &&
           digits(text, pos + 1, 2, zoneHour) && text[pos + 3] == L':' &&
           digits(text, pos + 4, 2, zoneMinute) && zoneHour <= 14 && zoneMinute <= 59;
}

bool parseDuration(const std::wstring& text, double& seconds) {
    if (text.size() < 3 || text[0] != L'P') {
        return false;
    }
    seconds = 0;
    bool inTime = false;
    bool anyComponent = false;
    bool timeComponent = false;
    // Units in the order they may appear: the date part, then the time part.
    const wchar_t* const dateUnits = L"YMD";
    const wchar_t* const timeUnits = L"HMS";
    const double dateFactors[] = {365 * 86400.0, 30 * 86400.0, 86400.0};
    const double timeFactors[] = {3600.0, 60.0, 1.0};
    int nextUnit = 0;
    size_t pos = 1;
    while (pos < text.size()) {
        if (text[pos] == L'T') {
            if (inTime) {
                return false;
            }
            inTime = true;
            nextUnit = 0;
            ++pos;
            continue;
        }
        const size_t start = pos;
        while (pos < text.size() && std::iswdigit(text[pos])) {
            ++pos;
        }
        bool fraction = false;
        if (pos < text.size() && text[pos] == L'.') {
            fraction = true;
            ++pos;
            while (pos < text.size() && std::iswdigit(text[pos])) {
                ++pos;
            }
        }
        if (pos == start || pos >= text.size()) {
            return false;
        }
        const double value = std::wcstod(text.substr(start, pos - start).c_str(), nullptr);
        const wchar_t* units = inTime ? timeUnits : dateUnits;
        const double* factors = inTime ? timeFactors : dateFactors;
        int unit = nextUnit;
        while (unit < 3 && units[unit] != text[pos]) {
            ++unit;
        }
        if (unit == 3 || (fraction && !(inTime && unit == 2))) {
            return false;
        }
        seconds += value * factors[unit];
        nextUnit = unit + 1;
        anyComponent = true;
        timeComponent = timeComponent || inTime;
        ++pos;
    }
    return anyComponent && (!inTime || timeComponent);
}

} // namespace kv::ts20
