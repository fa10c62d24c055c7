#include <windows.h>

#include "install-common/Scheduler20.h"
#include "Expect.h"

#include <gtest/gtest.h>

namespace {

using Task20 = kv::Scheduler20::Task20;
using kv::TaskPriority;
constexpr wchar_t Task20File[] = L"install-common/Task20.cpp";

TEST(Task20ConvertPriority, WritesOneValuePerPriority) {
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Realtime), 0);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::High), 1);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Normal), 4);
    EXPECT_EQ(Task20::convertPriority(TaskPriority::Idle), 10);
}

TEST(Task20ConvertPriority, ReadsEveryPlatformValueBack) {
    const TaskPriority expected[] = {TaskPriority::Realtime, TaskPriority::High,   TaskPriority::High,
                                     TaskPriority::High,     TaskPriority::Normal, TaskPriority::Normal,
                                     TaskPriority::Normal,   TaskPriority::Idle,   TaskPriority::Idle,
                                     TaskPriority::Idle,     TaskPriority::Idle};
    for (int value = 0; value <= 10; ++value) {
        EXPECT_EQ(Task20::convertPriority(value), expected[value]) << "platform priority " << value;
    }
}

TEST(Task20ConvertPriority, RejectsValuesWithoutCounterpart) {
    for (const int value : {-1, 11, 0x7FFFFFFF}) {
        kv::test::expectComException([&] { Task20::convertPriority(value); }, E_INVALIDARG,
                                     L"kv::Scheduler20::Task20::convertPriority", Task20File);
    }
    kv::test::expectComException([] { Task20::convertPriority(static_cast<TaskPriority>(4)); }, E_INVALIDARG,
                                 L"kv::Scheduler20::Task20::convertPriority", Task20File);
}

TEST(Task20FormatInterval, WritesHoursMinutesAndSecondsWithoutDays) {
    struct Row {
        kv::Duration ticks;
        const wchar_t* text;
    };
    const Row rows[] = {
        {6000000000LL, L"PT10M"},
        {36000000000LL, L"PT1H"},
        {36600000000LL, L"PT1H1M"},
        {10000000LL, L"PT1S"},
        {0, L"PT"},
        {50000000LL, L"PT5S"},
        {54000000000LL, L"PT1H30M"},
        {25 * 36000000000LL, L"PT25H"},
        {48 * 36000000000LL, L"PT48H"},
        {9999999LL, L"PT"},
        {36050000000LL, L"PT1H5S"},
        {36615000000LL, L"PT1H1M1S"},
        {6000000000LL + 9999999LL, L"PT10M"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Task20::formatInterval(row.ticks), row.text) << row.ticks << " ticks";
    }
}

TEST(Task20FormatBoundaryTime, NeverIsAText) {
    EXPECT_EQ(Task20::formatBoundaryTime(kv::NeverTime), L"NEVER");
}

TEST(Task20FormatBoundaryTime, RejectsTimesTheRunTimeCannotConvert) {
    for (const kv::TimePoint time : {kv::test::utcTime(1960, 1, 1, 0, 0, 0),
                                     kv::test::utcTime(3001, 6, 1, 0, 0, 0), kv::NeverTime - 1}) {
        kv::test::expectComException([&] { Task20::formatBoundaryTime(time); }, E_INVALIDARG,
                                     L"kv::Scheduler20::Task20::formatBoundaryTime", Task20File);
    }
}

// Boundary times are local calendar times to the second; compared with the
// Win32 time-zone conversion of the same instants.
TEST(Task20FormatBoundaryTimeLocalTime, FollowsTheLocalTimeZone) {
    const kv::TimePoint times[] = {
        kv::test::utcTime(2026, 12, 4, 0, 55, 5, 7000000),
        kv::test::utcTime(2026, 12, 31, 23, 59, 59, 9999999), kv::test::utcTime(2027, 7, 15, 18, 20, 0),
        kv::test::utcTime(2000, 2, 29, 12, 0, 1), kv::test::utcTime(1999, 12, 31, 18, 14, 59)};
    for (const kv::TimePoint time : times) {
        EXPECT_EQ(Task20::formatBoundaryTime(time), kv::test::isoText(kv::test::localTimeOf(time)));
    }
}

TEST(Task20FormatBoundaryTimeLocalTime, NepalTimeIsFiveHoursFortyFiveAhead) {
    if (!kv::test::inNepalTime()) {
        GTEST_SKIP() << "runs under TZ=NPT-5:45";
    }
    // 00:55:05.7 UTC is 06:40:05.7 in Nepal; the fraction is dropped.
    EXPECT_EQ(Task20::formatBoundaryTime(kv::test::utcTime(2026, 12, 4, 0, 55, 5, 7000000)),
              L"2026-12-04T06:40:05");
    // 18:14:59 UTC on New Year's Eve is already the next year.
    EXPECT_EQ(Task20::formatBoundaryTime(kv::test::utcTime(1999, 12, 31, 18, 15, 0)), L"2000-01-01T00:00:00");
}

} // namespace
