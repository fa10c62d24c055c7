#include <windows.h>

#include "install-wpu/RegistryLayout.h"

#include "InstallerTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

namespace {

using testing::ElementsAre;

// The test executable lies outside any namespace: the default product root applies.
// Invalid kinds answer nothing, with an Error line.
TEST(GetRegistryPath, BuildsEveryKindBelowTheProductRoot) {
    const std::tuple<wp::RegistryKey, const wchar_t*, const wchar_t*> cases[] = {
        {wp::RegistryKey::Root, L"", L"SOFTWARE\\Korvane\\Wisp"},
        {wp::RegistryKey::Root, L"x", L"SOFTWARE\\Korvane\\Wisp\\x"},
        {wp::RegistryKey::Settings, L"", L"SOFTWARE\\Korvane\\Wisp\\Settings"},
        {wp::RegistryKey::Statistics, L"", L"SOFTWARE\\Korvane\\Wisp\\Statistics"},
        {wp::RegistryKey::Updates, L"wpu", L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu"},
        {wp::RegistryKey::Modules, L"m", L"SOFTWARE\\Korvane\\Wisp\\modules\\m"},
        {wp::RegistryKey::PlugIns, L"", L"SOFTWARE\\Korvane\\Wisp\\HXQ2\\Plug-Ins"},
        {wp::RegistryKey::RebootRequested, L"", L"SOFTWARE\\Korvane\\Wisp\\RebootRequested"},
        {static_cast<wp::RegistryKey>(7), L"name", L""},
        {static_cast<wp::RegistryKey>(-1), L"", L""},
    };
    wpu::test::CapturedLog log(L"registry-layout");
    for (const auto& [kind, name, expected] : cases) {
        EXPECT_EQ(wp::GetRegistryPath(kind, name), expected) << static_cast<int>(kind);
    }
    EXPECT_THAT(log.messages(), ElementsAre(L"*E: wp::GetRegistryPath: Invalid RegistryKey: 7",
                                            L"*E: wp::GetRegistryPath: Invalid RegistryKey: -1"));
}

} // namespace
