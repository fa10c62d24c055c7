#include <windows.h>

#include "install-common/Scheduler.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(DaysOfWeekMask, OrsTheBitOfEveryValidDay) {
    struct Row {
        std::vector<kv::DayOfWeek> days;
        std::uint16_t mask;
        const char* why;
    };
    const Row rows[] = {
        {{}, 0x00, "an empty list gives 0"},
        {{kv::Monday, kv::Friday}, 0x22, "Monday and Friday"},
        {{kv::Saturday}, 0x40, "Saturday is the highest bit"},
        {{kv::Wednesday, kv::Wednesday, kv::Thursday}, 0x18, "repeated days are harmless"},
        {{kv::Monday, static_cast<kv::DayOfWeek>(7)}, 0x02, "7 is not a day"},
        {{static_cast<kv::DayOfWeek>(-1), static_cast<kv::DayOfWeek>(16)}, 0x00, "nor are -1 and 16"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(kv::daysOfWeekMask(row.days), row.mask) << row.why;
    }
}

TEST(CurrentTime, IsTheSystemTimeSince1970) {
    FILETIME before = {};
    GetSystemTimeAsFileTime(&before);
    const kv::TimePoint now = kv::currentTime();
    FILETIME after = {};
    GetSystemTimeAsFileTime(&after);
    const auto ticks = [](const FILETIME& time) {
        return static_cast<kv::TimePoint>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                          time.dwLowDateTime) -
               116444736000000000LL;
    };
    // The coarse clock may lag the precise one by one of its ticks (up to ~16 ms).
    EXPECT_GE(now, ticks(before) - 200000);
    EXPECT_LE(now, ticks(after) + 200000);
    EXPECT_GT(now, 16000000000000000LL) << "after 2020";
}

// The probe reports the backend it got: 20 for Task Scheduler 2.0, 10 for 1.0.
TEST(CreateScheduler, ChoosesTaskScheduler20FromWindows7On) {
    const auto probeAs = [](const std::wstring& version) {
        EXPECT_TRUE(kv::test::writeValue(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ,
                                         kv::test::bytesOf(version + L'\0')));
        return kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"install_common_probe.exe") +
                                    L"\"");
    };
    EXPECT_EQ(probeAs(L"vista"), 10u) << "Windows 6.0";
    EXPECT_EQ(probeAs(L"win7"), 20u) << "Windows 6.1";
    EXPECT_EQ(probeAs(L"win10"), 20u) << "Windows 10 (6.2 without a manifest)";
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version");
}

} // namespace
