#include <windows.h>

#include "install-common/Scheduler.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

TEST(DaysOfWeekMask, OrsTheBitOfEveryValidDay) {
    using Days = std::vector<kv::DayOfWeek>;
    const auto day = [](int value) { return static_cast<kv::DayOfWeek>(value); };
    const std::pair<Days, std::uint16_t> rows[] = {
        {{}, 0x00},
        {{kv::Monday, kv::Friday}, 0x22},
        {{kv::Saturday}, 0x40},
        {{kv::Wednesday, kv::Wednesday, kv::Thursday}, 0x18},
        {{kv::Monday, day(7)}, 0x02},
        {{day(-1), day(16)}, 0x00},
    };
    for (const auto& [days, mask] : rows) {
        EXPECT_EQ(kv::daysOfWeekMask(days), mask) << days.size() << " days";
    }
}

// Ticks of 100 ns since 1970, against the C run-time's seconds.
TEST(CurrentTime, IsTheSystemTimeSince1970) {
    const std::time_t before = std::time(nullptr);
    const kv::TimePoint now = kv::currentTime();
    EXPECT_GE(now / 10000000, before - 1);
    EXPECT_LE(now / 10000000, std::time(nullptr) + 1);
}

// The probe reports the backend it got: 20 for Task Scheduler 2.0, 10 for 1.0.
TEST(CreateScheduler, ChoosesTaskScheduler20FromWindows7On) {
    const std::pair<const wchar_t*, DWORD> rows[] = {{L"vista", 10}, {L"win7", 20}, {L"win10", 20}};
    const std::wstring probe = L"\"" + kv::test::besideTestExecutable(L"install_common_probe.exe") + L"\"";
    for (const auto& [version, backend] : rows) {
        ASSERT_TRUE(kv::test::writeValue(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ,
                                         kv::test::bytesOf(version + std::wstring(1, L'\0'))));
        EXPECT_EQ(kv::test::runCommand(probe), backend) << version;
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version");
}

} // namespace
