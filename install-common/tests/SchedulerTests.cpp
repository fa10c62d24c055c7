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
        {{kv::Sunday}, 0x01, "Sunday is the lowest bit"},
        {{kv::Saturday}, 0x40, "Saturday is the highest bit"},
        {{kv::Sunday, kv::Monday, kv::Tuesday, kv::Wednesday, kv::Thursday, kv::Friday, kv::Saturday},
         0x7F,
         "the whole week"},
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
class CreateScheduler : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &wine, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegDeleteValueW(wine, L"Version");
        RegCloseKey(wine);
    }
    DWORD probeAs(const std::wstring& version) {
        const auto bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(RegSetValueExW(wine, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                                 bytes),
                  ERROR_SUCCESS);
        return kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"install_common_probe.exe") +
                                    L"\"");
    }

    HKEY wine = nullptr;
};

TEST_F(CreateScheduler, ChoosesTaskScheduler20FromWindows7On) {
    EXPECT_EQ(probeAs(L"vista"), 10u) << "Windows 6.0";
    EXPECT_EQ(probeAs(L"win7"), 20u) << "Windows 6.1";
    EXPECT_EQ(probeAs(L"win10"), 20u) << "Windows 10 (6.2 without a manifest)";
}

} // namespace
