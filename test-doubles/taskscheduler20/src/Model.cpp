#include "Model.h"
#include "Xml.h"

#include <cwchar>
#include <cwctype>

namespace kv::ts20 {

namespace {

const wchar_t* const kDayNames[7] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                     L"Thursday", L"Friday", L"Saturday"};

const wchar_t* boolText(bool value) {
    return value ? L"true" : L"false";
}

bool readBool(const xml::Element& parent, const wchar_t* name, bool fallback) {
    const xml::Element* found = parent.child(name);
    return found == nullptr ? fallback : found->text == L"true" || found->text == L"1";
}

void addIfSet(xml::Element& parent, const wchar_t* name, const std::wstring& value) {
    if (!value.empty()) {
        parent.add(name, value);
    }
}

void writeTrigger(xml::Element& triggers, const TriggerData& trigger) {
    xml::Element& element = triggers.add(trigger.type == TASK_TRIGGER_BOOT   ? L"BootTrigger"
                                         : trigger.type == TASK_TRIGGER_TIME ? L"TimeTrigger"
                                                                             : L"CalendarTrigger");
    if (!trigger.id.empty()) {
        element.attributes.emplace_back(L"id", trigger.id);
    }
    if (!trigger.interval.empty()) {
        xml::Element& repetition = element.add(L"Repetition");
        repetition.add(L"Interval", trigger.interval);
        repetition.add(L"StopAtDurationEnd", L"false");
    }
    addIfSet(element, L"StartBoundary", trigger.startBoundary);
    addIfSet(element, L"EndBoundary", trigger.endBoundary);
    element.add(L"Enabled", L"true");
    if (trigger.type == TASK_TRIGGER_DAILY) {
        element.add(L"ScheduleByDay").add(L"DaysInterval", std::to_wstring(trigger.daysInterval));
    } else if (trigger.type == TASK_TRIGGER_WEEKLY) {
        xml::Element& schedule = element.add(L"ScheduleByWeek");
        xml::Element& days = schedule.add(L"DaysOfWeek");
        for (int day = 0; day < 7; ++day) {
            if (trigger.daysOfWeek & (1 << day)) {
                days.add(kDayNames[day]);
            }
        }
        schedule.add(L"WeeksInterval", std::to_wstring(trigger.weeksInterval));
    }
}

bool digits(const std::wstring& text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || !std::iswdigit(text[i])) {
            return false;
        }
        value = value * 10 + (text[i] - L'0');
    }
    return true;
}

// A local date and time as the library writes it: YYYY-MM-DDTHH:MM:SS.
bool isDateTime(const std::wstring& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() != 19 || !digits(text, 0, 4, year) || text[4] != L'-' || !digits(text, 5, 2, month) ||
        text[7] != L'-' || !digits(text, 8, 2, day) || text[10] != L'T' || !digits(text, 11, 2, hour) ||
        text[13] != L':' || !digits(text, 14, 2, minute) || text[16] != L':' ||
        !digits(text, 17, 2, second)) {
        return false;
    }
    static const int monthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= monthDays[month - 1] &&
           (month != 2 || day < 29 || leap) && hour <= 23 && minute <= 59 && second <= 59;
}

// The time part of an xs:duration ("PT1H30M5S") in seconds; false for anything else.
bool timeSeconds(const std::wstring& text, long long& seconds) {
    if (text.size() < 4 || text.compare(0, 2, L"PT") != 0) {
        return false;
    }
    seconds = 0;
    const wchar_t* units = L"HMS";
    const long long factors[] = {3600, 60, 1};
    int next = 0;
    for (std::size_t at = 2; at < text.size();) {
        int value = 0;
        std::size_t end = at;
        while (end < text.size() && std::iswdigit(text[end])) {
            ++end;
        }
        int unit = next;
        while (end < text.size() && unit < 3 && units[unit] != text[end]) {
            ++unit;
        }
        if (end == at || end == text.size() || unit == 3 || !digits(text, at, end - at, value)) {
            return false;
        }
        seconds += value * factors[unit];
        next = unit + 1;
        at = end + 1;
    }
    return true;
}

} // namespace

TaskData TaskData::clone() const {
    TaskData copy = *this;
    for (auto& action : copy.actions) {
        action = std::make_shared<ActionData>(*action);
    }
    for (auto& trigger : copy.triggers) {
        trigger = std::make_shared<TriggerData>(*trigger);
    }
    return copy;
}

std::wstring toXml(const TaskData& task) {
    xml::Element root(L"Task");
    root.attributes.emplace_back(L"version", L"1.2");
    root.attributes.emplace_back(L"xmlns", L"http://schemas.microsoft.com/windows/2004/02/mit/task");
    xml::Element& registration = root.add(L"RegistrationInfo");
    addIfSet(registration, L"Author", task.author);
    addIfSet(registration, L"Description", task.description);
    addIfSet(registration, L"URI", task.uri);

    xml::Element& triggers = root.add(L"Triggers");
    for (const auto& trigger : task.triggers) {
        writeTrigger(triggers, *trigger);
    }

    const PrincipalData& principal = task.principal;
    xml::Element& principalElement = root.add(L"Principals").add(L"Principal");
    principalElement.attributes.emplace_back(L"id", L"Author");
    std::wstring userId = principal.userId;
    if (principal.logonType == TASK_LOGON_SERVICE_ACCOUNT && userId.empty() && principal.groupId.empty()) {
        userId = L"S-1-5-18"; // a service-account logon without an account runs as Local System
    }
    addIfSet(principalElement, L"UserId", userId);
    addIfSet(principalElement, L"GroupId", principal.groupId);
    const TASK_LOGON_TYPE logon = principal.logonType;
    if (logon == TASK_LOGON_PASSWORD || logon == TASK_LOGON_S4U || logon == TASK_LOGON_INTERACTIVE_TOKEN) {
        principalElement.add(L"LogonType", logon == TASK_LOGON_PASSWORD ? L"Password"
                                           : logon == TASK_LOGON_S4U    ? L"S4U"
                                                                        : L"InteractiveToken");
    }
    principalElement.add(L"RunLevel", L"LeastPrivilege");

    const SettingsData& settings = task.settings;
    xml::Element& element = root.add(L"Settings");
    const TASK_INSTANCES_POLICY policy = settings.multipleInstances;
    element.add(L"MultipleInstancesPolicy", policy == TASK_INSTANCES_PARALLEL        ? L"Parallel"
                                            : policy == TASK_INSTANCES_QUEUE         ? L"Queue"
                                            : policy == TASK_INSTANCES_STOP_EXISTING ? L"StopExisting"
                                                                                     : L"IgnoreNew");
    element.add(L"DisallowStartIfOnBatteries", boolText(settings.disallowStartIfOnBatteries));
    element.add(L"StopIfGoingOnBatteries", L"true");
    element.add(L"AllowHardTerminate", L"true");
    element.add(L"StartWhenAvailable", L"false");
    element.add(L"RunOnlyIfNetworkAvailable", boolText(settings.runOnlyIfNetworkAvailable));
    element.add(L"AllowStartOnDemand", L"true");
    element.add(L"Enabled", boolText(settings.enabled));
    element.add(L"Hidden", boolText(settings.hidden));
    element.add(L"RunOnlyIfIdle", L"false");
    element.add(L"WakeToRun", L"false");
    addIfSet(element, L"ExecutionTimeLimit", settings.executionTimeLimit);
    element.add(L"Priority", std::to_wstring(settings.priority));

    addIfSet(root, L"Data", task.data);
    xml::Element& actions = root.add(L"Actions");
    actions.attributes.emplace_back(L"Context", L"Author");
    for (const auto& action : task.actions) {
        xml::Element& exec = actions.add(L"Exec");
        exec.add(L"Command", action->path);
        addIfSet(exec, L"Arguments", action->arguments);
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
    if (const xml::Element* registration = root->child(L"RegistrationInfo")) {
        result.author = registration->childText(L"Author");
        result.description = registration->childText(L"Description");
        result.uri = registration->childText(L"URI");
    }
    if (const xml::Element* settings = root->child(L"Settings")) {
        result.settings.enabled = readBool(*settings, L"Enabled", true);
        result.settings.hidden = readBool(*settings, L"Hidden", false);
        result.settings.priority =
            static_cast<int>(std::wcstol(settings->childText(L"Priority", L"7").c_str(), nullptr, 10));
    }
    result.data = root->childText(L"Data");
    if (const xml::Element* actions = root->child(L"Actions")) {
        for (const auto& element : actions->children) {
            if (element->name == L"Exec") {
                result.actions.push_back(std::make_shared<ActionData>(
                    ActionData{element->childText(L"Command"), element->childText(L"Arguments")}));
            }
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
        long long interval = 0;
        if ((trigger->type != TASK_TRIGGER_BOOT && trigger->startBoundary.empty()) ||
            (trigger->type == TASK_TRIGGER_WEEKLY && trigger->daysOfWeek == 0)) {
            return kSchedMissingNode; // a start boundary; a weekly schedule needs a day
        }
        if ((!trigger->startBoundary.empty() && !isDateTime(trigger->startBoundary)) ||
            (!trigger->endBoundary.empty() &&
             (!isDateTime(trigger->endBoundary) || trigger->endBoundary < trigger->startBoundary)) ||
            (!trigger->interval.empty() && (!timeSeconds(trigger->interval, interval) || interval < 60)) ||
            (trigger->type == TASK_TRIGGER_DAILY &&
             (trigger->daysInterval < 1 || trigger->daysInterval > 365)) ||
            (trigger->type == TASK_TRIGGER_WEEKLY &&
             (trigger->weeksInterval < 1 || trigger->weeksInterval > 52 ||
              (trigger->daysOfWeek & ~0x7F) != 0))) {
            return kSchedInvalidValue;
        }
    }
    long long limit = 0;
    const SettingsData& settings = task.settings;
    const std::wstring& time = settings.executionTimeLimit;
    const bool limitOk = time.empty() || (time.size() >= 3 && time[0] == L'P' &&
                                          (time[1] != L'T' || timeSeconds(time, limit)));
    return settings.priority < 0 || settings.priority > 10 || !limitOk ? kSchedInvalidValue : S_OK;
}

} // namespace kv::ts20
