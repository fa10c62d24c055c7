#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

// 100-ns ticks since 1970-01-01 00:00:00 UTC; NeverTime stands for no time at all.
using TimePoint = std::int64_t;
// 100-ns ticks.
using Duration = std::int64_t;

constexpr TimePoint NeverTime = 0x7FFFFFFFFFFFFFFF;
constexpr Duration TicksPerSecond = 10000000;

// The system's precise current time.
TimePoint currentTime();

enum class TriggerType : std::uint32_t { Time = 0, Repeat = 1, Daily = 2, Weekly = 3, Reboot = 4 };

enum DayOfWeek : std::int32_t { Sunday = 0, Monday, Tuesday, Wednesday, Thursday, Friday, Saturday };

// The platform's day-of-week mask: Sunday 0x01 ... Saturday 0x40; values outside
// Sunday..Saturday add nothing.
std::uint16_t daysOfWeekMask(const std::vector<DayOfWeek>& days);

// Plain trigger records: a consumer reads getType() and then the fields of that
// kind. Records are made with std::make_shared and handed around as
// std::shared_ptr<Trigger>.
class Trigger {
public:
    TriggerType getType() const { return type; }
    TimePoint getStart() const { return start; }
    void setStart(TimePoint value) { start = value; }
    TimePoint getEnd() const { return end; }
    void setEnd(TimePoint value) { end = value; }
    bool getNoEndDate() const { return noEndDate; }
    void setNoEndDate(bool value) { noEndDate = value; }

protected:
    explicit Trigger(TriggerType kind) : type(kind) {}

private:
    TriggerType type;
    TimePoint start = 0;
    TimePoint end = 0;
    bool noEndDate = true;
};

class TimeTrigger : public Trigger {
public:
    TimeTrigger() : Trigger(TriggerType::Time) {}
};

class RepeatTrigger : public Trigger {
public:
    RepeatTrigger() : Trigger(TriggerType::Repeat) {}
    Duration getInterval() const { return interval; }
    void setInterval(Duration value) { interval = value; }

private:
    Duration interval = 0;
};

class DailyTrigger : public Trigger {
public:
    DailyTrigger() : Trigger(TriggerType::Daily) {}
    std::uint32_t getDaysInterval() const { return daysInterval; }
    void setDaysInterval(std::uint32_t value) { daysInterval = value; }

private:
    std::uint32_t daysInterval = 0; // 0: not given, the platform's default applies
};

class WeeklyTrigger : public Trigger {
public:
    WeeklyTrigger() : Trigger(TriggerType::Weekly) {}
    std::uint32_t getWeeksInterval() const { return weeksInterval; }
    void setWeeksInterval(std::uint32_t value) { weeksInterval = value; }
    const std::vector<DayOfWeek>& getDays() const { return days; }
    void setDays(std::vector<DayOfWeek> value) { days = std::move(value); }

private:
    std::uint32_t weeksInterval = 0; // 0: not given
    std::vector<DayOfWeek> days;
};

class RebootTrigger : public Trigger {
public:
    RebootTrigger() : Trigger(TriggerType::Reboot) {}
};

using TriggerList = std::vector<std::shared_ptr<Trigger>>;

} // namespace kv
