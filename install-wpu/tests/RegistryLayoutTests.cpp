#include <windows.h>

#include "install-wpu/RegistryLayout.h"

#include "InstallerTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ElementsAre;
using wpu::test::CapturedLog;

// The test executable lies outside any namespace: the default product root applies.
struct PathCase {
    wp::RegistryKey kind;
    const wchar_t* name;
    const wchar_t* expected;
};

const PathCase pathCases[] = {
    {wp::RegistryKey::Root, L"", L"SOFTWARE\\Korvane\\Wisp"},
    {wp::RegistryKey::Root, L"x", L"SOFTWARE\\Korvane\\Wisp\\x"},
    {wp::RegistryKey::Settings, L"", L"SOFTWARE\\Korvane\\Wisp\\Settings"},
    {wp::RegistryKey::Statistics, L"", L"SOFTWARE\\Korvane\\Wisp\\Statistics"},
    {wp::RegistryKey::Updates, L"wpu", L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu"},
    {wp::RegistryKey::Modules, L"wpupdater-win-arm64",
     L"SOFTWARE\\Korvane\\Wisp\\modules\\wpupdater-win-arm64"},
    {wp::RegistryKey::PlugIns, L"", L"SOFTWARE\\Korvane\\Wisp\\HXQ2\\Plug-Ins"},
    {wp::RegistryKey::RebootRequested, L"", L"SOFTWARE\\Korvane\\Wisp\\RebootRequested"},
};

TEST(GetRegistryPath, BuildsEveryKindBelowTheProductRoot) {
    CapturedLog log(L"registry-layout-kinds");
    for (const PathCase& row : pathCases) {
        EXPECT_EQ(wp::GetRegistryPath(row.kind, row.name), row.expected) << static_cast<int>(row.kind);
    }
    EXPECT_TRUE(log.messages().empty()) << "valid kinds log nothing";
}

TEST(GetRegistryPath, RefusesAnInvalidKindWithAnErrorLine) {
    CapturedLog log(L"registry-layout-invalid");
    EXPECT_EQ(wp::GetRegistryPath(static_cast<wp::RegistryKey>(7), L"name"), L"");
    EXPECT_EQ(wp::GetRegistryPath(static_cast<wp::RegistryKey>(-1)), L"");
    EXPECT_THAT(log.messages(), ElementsAre(L"*E: wp::GetRegistryPath: Invalid RegistryKey: 7",
                                            L"*E: wp::GetRegistryPath: Invalid RegistryKey: -1"));
}

TEST(RegistryFlush, FlushesTheThreeHivesInOrder) {
    CapturedLog log(L"registry-flush");
    flushRegistryHives();
    EXPECT_THAT(log.messages(),
                ElementsAre(L" I: flushRegistryKeyByName: Registry SOFTWARE (256) is flushed successfully",
                            L" I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully",
                            L" I: flushRegistryKeyByName: Registry SOFTWARE (512) is flushed successfully"));
}

TEST(RegistryFlush, AKeyThatCannotBeOpenedIsAWarningWithItsError) {
    CapturedLog log(L"registry-flush-missing");
    flushRegistryKeyByName(L"NoSuchHive", KEY_WOW64_32KEY);
    flushRegistryKeyByName(L"SYSTEM", KEY_WOW64_64KEY);
    EXPECT_THAT(log.messages(),
                ElementsAre(L".W: flushRegistryKeyByName: Cannot open NoSuchHive (512): error=2",
                            L" I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully"));
}

} // namespace
