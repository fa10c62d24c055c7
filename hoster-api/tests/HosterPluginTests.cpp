#include <windows.h>

#include "hoster-api/HosterPlugin.h"

#include "HosterTestSupport.h"

#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using hoster_test::error;
using hoster_test::info;
using kv::doubles::HosterApiDouble;
using Lines = std::vector<std::string>;

constexpr wchar_t kPluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";

using kv::test::bytesOf;
using kv::test::RegValue;

std::optional<RegValue> readValue(const std::wstring& key, const wchar_t* name) {
    return kv::test::readValue(HKEY_LOCAL_MACHINE, key, name);
}

DWORD valueCount(const std::wstring& key) {
    HKEY handle = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &handle) ==
        ERROR_SUCCESS) {
        RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                         nullptr, nullptr, nullptr);
        RegCloseKey(handle);
    }
    return count;
}

class HosterPluginTest : public hoster_test::HostTest {
protected:
    // The process-wide API object is created by the first restart of the run; the
    // substitute library must be named by then.
    void SetUp() override {
        hoster_test::useLibrary(HosterApiDouble::libraryPath());
        HostTest::SetUp();
    }

    Lines restartLines() const {
        Lines lines;
        for (const std::string& line : log_.lines()) {
            if (line.find(": HosterPlugin::restart: ") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }
};

TEST_F(HosterPluginTest, RegistrationWritesNameLibraryHostIdExtraValuesAndDependencies) {
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
        EXPECT_EQ(readValue(kPluginKey, name), value) << name;
    }
    EXPECT_EQ(valueCount(kPluginKey), 6u);
    EXPECT_TRUE(dependencies.empty());
    // Nothing is written below the product root of the default namespace.
    EXPECT_FALSE(readValue(L"SOFTWARE\\Korvane\\Wisp\\Zarn\\Hoster\\Plugins\\WispWPUPlugin", L"Name"));
}

TEST_F(HosterPluginTest, TheInstallersRegistrationHasExactlyThreeValuesAndOneBackslash) {
    for (const std::wstring& directory : {std::wstring(L"C:\\Wisp\\bin"), std::wstring(L"C:\\Wisp\\bin\\")}) {
        namespace_.clear();
        registerHosterPlugin(L"WispWPUPlugin", hosterPluginLibraryPath(directory), 0, {}, {});
        EXPECT_EQ(
            readValue(kPluginKey, L"DllName"),
            RegValue(REG_SZ, bytesOf(std::wstring(L"C:\\Wisp\\bin\\kv_wpu_hoster_plugin64.dll") + L'\0')));
        EXPECT_EQ(valueCount(kPluginKey), 3u);
        EXPECT_FALSE(readValue(kPluginKey, L"DependOnModules"));
    }
    // Registration is silent.
    EXPECT_EQ(log_.lines(), Lines());
}

struct RestartRow {
    const char* why;
    bool registered;
    DWORD running;
    DWORD stop;
    DWORD startInRestart; // flag 0
    DWORD plainStart;     // flag 1
    bool reboot;
    Lines log;
    Lines calls;
};

std::ostream& operator<<(std::ostream& out, const RestartRow& row) {
    return out << row.why;
}

const char kRestart[] = "HosterPlugin::restart";
using hoster_test::kRunning;
using hoster_test::kStart0;
using hoster_test::kStart1;
using hoster_test::kStop;
const std::string kRestarting = info(kRestart, "Restarting plugin");
const std::string kTryingStart = info(kRestart, "Plugin not started, trying to start it");
const std::string kStarted = info(kRestart, "Plugin started");

std::string reboot(int status) {
    return error(kRestart, "Will reboot: " + std::to_string(status));
}

// The host's answers: IsHosterRunning, StopPlugin, StartPlugin with flag 0, with flag 1.
// clang-format off
const RestartRow kRestartRows[] = {
    {"running plug-in: stopped and started", true, 0, 0, 0, 0, false, {kRestarting, kStarted}, {kRunning, kStop, kStart0}},
    {"plug-in not running: started with flag 1", true, 0, 3, 0, 0, false, {kRestarting, kTryingStart, kStarted}, {kRunning, kStop, kRunning, kStart1}},
    {"start in the restart finds it unregistered, the plain start works", true, 0, 0, 3, 0, false, {kRestarting, kTryingStart, kStarted}, {kRunning, kStop, kStart0, kRunning, kStart1}},
    {"stop fails: reboot", true, 0, 1, 0, 0, true, {kRestarting, reboot(4)}, {kRunning, kStop}},
    {"stop answers something unexpected: reboot", true, 0, 2, 0, 0, true, {kRestarting, reboot(1)}, {kRunning, kStop}},
    {"plain start fails: reboot", true, 0, 3, 0, 1, true, {kRestarting, kTryingStart, reboot(4)}, {kRunning, kStop, kRunning, kStart1}},
    {"plain start finds it unregistered: unexpected, reboot", true, 0, 3, 0, 3, true, {kRestarting, kTryingStart, reboot(1)}, {kRunning, kStop, kRunning, kStart1}},
    {"host not running", true, 1, 0, 0, 0, false, {kRestarting, info(kRestart, "Hoster is not started, reboot won't be requested")}, {kRunning}},
    {"plug-in not registered", false, 0, 0, 0, 0, false, {info(kRestart, "Plugin not found, won't be restarted"), info(kRestart, "Plugin is not registered, reboot won't be requested")}, {}},
};
// clang-format on

class HosterPluginRestart : public HosterPluginTest, public ::testing::WithParamInterface<RestartRow> {};

TEST_P(HosterPluginRestart, DecidesTheRebootFromTheHostsAnswers) {
    const RestartRow& row = GetParam();
    if (row.registered) {
        registerHosterPlugin(L"WispWPUPlugin", L"C:\\Wisp\\kv_wpu_hoster_plugin64.dll", 0, {}, {});
    }
    double_.set(L"IsHosterRunning", row.running);
    double_.set(L"StopPlugin", row.stop);
    double_.set(L"StartPlugin.Flag0", row.startInRestart);
    double_.set(L"StartPlugin.Flag1", row.plainStart);
    log_.skipToEnd();

    HosterPlugin plugin(0, L"WispWPUPlugin");
    EXPECT_FALSE(plugin.rebootRequested());
    plugin.restart();
    EXPECT_EQ(plugin.rebootRequested(), row.reboot);
    EXPECT_EQ(restartLines(), row.log);
    EXPECT_EQ(hostCalls(), row.calls);
}

INSTANTIATE_TEST_SUITE_P(Rows, HosterPluginRestart, ::testing::ValuesIn(kRestartRows));

} // namespace
