#include <windows.h>

#include "hoster-api/HosterPlugin.h"

#include "hoster-api/HosterApi.h"

#include "HosterTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace hoster_test;
using kv::test::bytesOf;
using kv::test::RegValue;

constexpr wchar_t kPluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";

std::optional<RegValue> pluginValue(const wchar_t* name) {
    return kv::test::readValue(HKEY_LOCAL_MACHINE, kPluginKey, name);
}

using HosterPluginTest = HostTest;

TEST_F(HosterPluginTest, RegistrationWritesNameLibraryHostIdExtraValuesAndDependencies) {
    for (const wchar_t* directory : {L"C:\\Wisp\\bin", L"C:\\Wisp\\bin\\"}) {
        EXPECT_EQ(hosterPluginLibraryPath(directory), L"C:\\Wisp\\bin\\kv_wpu_hoster_plugin64.dll");
    }
    registerHosterPlugin(L"WispWPUPlugin", L"C:\\Wisp\\bin\\kv_wpu_hoster_plugin64.dll", 0, {}, {});
    EXPECT_EQ(pluginValue(L"HosterId"), RegValue(REG_DWORD, {0, 0, 0, 0}));
    EXPECT_FALSE(pluginValue(L"DependOnModules")); // none for an empty list

    std::vector<std::wstring> dependencies = {L"first.dll", L"second.dll"};
    registerHosterPlugin(L"WispWPUPlugin", L"C:\\Program Files\\Wisp\\kv_wpu_hoster_plugin64.dll", 3,
                         {{L"Priority", 7}, {L"Flags", 0xFFFFFFFF}}, std::move(dependencies));
    const std::pair<const wchar_t*, RegValue> expected[] = {
        {L"DllName",
         {REG_SZ, bytesOf(L"C:\\Program Files\\Wisp\\kv_wpu_hoster_plugin64.dll" + std::wstring(1, 0))}},
        {L"Name", {REG_SZ, bytesOf(std::wstring(L"WispWPUPlugin", 14))}},
        {L"HosterId", {REG_DWORD, {3, 0, 0, 0}}},
        {L"Priority", {REG_DWORD, {7, 0, 0, 0}}},
        {L"Flags", {REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}},
        {L"DependOnModules", {REG_MULTI_SZ, bytesOf(std::wstring(L"first.dll\0second.dll\0\0", 22))}},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(pluginValue(name), value) << name;
    }
    EXPECT_TRUE(dependencies.empty());
    // Nothing is written below the product root of the default namespace.
    EXPECT_FALSE(kv::test::readValue(
        HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp\\Zarn\\Hoster\\Plugins\\WispWPUPlugin", L"Name"));
}

TEST_F(HosterPluginTest, RestartDecidesTheRebootFromTheHostsAnswers) {
    const std::string restart = "HosterPlugin::restart";
    const std::string restarting = info(restart, "Restarting plugin");
    const std::string trying = info(restart, "Plugin not started, trying to start it");
    const std::string started = info(restart, "Plugin started");
    const auto reboot = [&restart](int status) {
        return error(restart, "Will reboot: " + std::to_string(status));
    };
    // The host's answers: IsHosterRunning, StopPlugin, StartPlugin with flag 0, with flag 1.
    // clang-format off
    const struct { const char* why; bool registered; DWORD running, stop, startInRestart, plainStart; bool reboot; Lines log; Lines calls; } rows[] = {
        {"running plug-in: stopped and started", true, 0, 0, 0, 0, false, {restarting, started}, {kRunning, kStop, kStart0}},
        {"plug-in not running: started with flag 1", true, 0, 3, 0, 0, false, {restarting, trying, started}, {kRunning, kStop, kRunning, kStart1}},
        {"start in the restart finds it unregistered, the plain start works", true, 0, 0, 3, 0, false, {restarting, trying, started}, {kRunning, kStop, kStart0, kRunning, kStart1}},
        {"stop fails: reboot", true, 0, 1, 0, 0, true, {restarting, reboot(4)}, {kRunning, kStop}},
        {"stop answers something unexpected: reboot", true, 0, 2, 0, 0, true, {restarting, reboot(1)}, {kRunning, kStop}},
        {"plain start fails: reboot", true, 0, 3, 0, 1, true, {restarting, trying, reboot(4)}, {kRunning, kStop, kRunning, kStart1}},
        {"plain start finds it unregistered: unexpected, reboot", true, 0, 3, 0, 3, true, {restarting, trying, reboot(1)}, {kRunning, kStop, kRunning, kStart1}},
        {"host not running", true, 1, 0, 0, 0, false, {restarting, info(restart, "Hoster is not started, reboot won't be requested")}, {kRunning}},
        {"plug-in not registered", false, 0, 0, 0, 0, false, {info(restart, "Plugin not found, won't be restarted"), info(restart, "Plugin is not registered, reboot won't be requested")}, {}},
    };
    // clang-format on
    useLibrary(kv::doubles::HosterApiDouble::libraryPath());
    ASSERT_TRUE(hosterApi()->isAvailable()); // the process-wide object, made and loaded once
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        namespace_.clear();
        if (row.registered) {
            registerHosterPlugin(L"WispWPUPlugin", L"C:\\Wisp\\kv_wpu_hoster_plugin64.dll", 0, {}, {});
        }
        double_.set(L"IsHosterRunning", row.running);
        double_.set(L"StopPlugin", row.stop);
        double_.set(L"StartPlugin.Flag0", row.startInRestart);
        double_.set(L"StartPlugin.Flag1", row.plainStart);
        double_.clearCalls();
        skipLog();
        HosterPlugin plugin(0, L"WispWPUPlugin");
        plugin.restart();
        EXPECT_EQ(plugin.rebootRequested(), row.reboot);
        EXPECT_EQ(linesOf(log(), restart), row.log);
        EXPECT_EQ(double_.calls(), row.calls);
    }
}

} // namespace
