#include <windows.h>

#include "hoster-api/HosterApi.h"
#include "hoster-api/HosterPlugin.h"

#include "logging/Log.h"
#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using kv::doubles::HosterApiDouble;
using kv::test::bytesOf;
using kv::test::RegValue;
using Lines = std::vector<std::string>;

// Names `path` as the host API library of the default namespace.
void useLibrary(const std::wstring& path) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\DelayLoad",
                         L"kv_hoster_api_64.dll", REG_SZ, bytesOf(path + L'\0'), 0);
}

// Expected lines of the three levels.
const auto info = [](const std::string& f, const std::string& text) { return " I: " + f + ": " + text; };
const auto debug = [](const std::string& f, const std::string& text) { return " D: " + f + ": " + text; };
const auto error = [](const std::string& f, const std::string& text) { return "*E: " + f + ": " + text; };

const std::string kConstructor = "GenericApi<class HosterApi>::GenericApi";
const std::string kDestructor = "GenericApi<class HosterApi>::~GenericApi";
// The substitute's records of the host calls for the updater's plug-in.
const std::string kRunning = "IsHosterRunning|wp_default|0|0";
const std::string kStop = "StopPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart0 = "StartPlugin|wp_default|0|WispWPUPlugin|0";
const std::string kStart1 = "StartPlugin|wp_default|0|WispWPUPlugin|1";
constexpr wchar_t kPluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";

// Each test owns the default namespace's keys, the legacy host keys, the product root and a
// recording substitute library; log() answers the lines of the test log since skipLog() (of
// `function` only, when given) as "<tag>: <function>: <text>", without the marker lines.
class HostTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespace_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default"};
    kv::test::RegistryTree legacy_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster"};
    kv::test::RegistryTree productRoot_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp"};
    kv::test::TempDirectory directory_;
    HosterApiDouble double_{directory_ / L"calls.txt"};
    size_t logStart_ = 0;

    // The test program's log, opened at Verbose on first use below a directory of its own and
    // without a size limit, so that no rotation happens in a test.
    static const std::wstring& logPath() {
        static kv::test::TempDirectory root;
        static const std::wstring path = [] {
            const std::wstring settings = L"SOFTWARE\\Korvane\\Zarn\\Logging";
            kv::test::writeValue(HKEY_LOCAL_MACHINE, settings, L"RootPath", REG_SZ,
                                 bytesOf(root.path() + L'\0'), KEY_WOW64_32KEY);
            kv::test::writeValue(HKEY_LOCAL_MACHINE, settings, L"LogMaxSizeKB", REG_DWORD,
                                 {0xA0, 0x86, 0x01, 0}, KEY_WOW64_32KEY);
            KvZarnLogging::openLog(L"HosterApiTests", L"client", KvZarnLogging::Verbose, 0);
            return root / L"Korvane\\Log\\HosterApiTests\\client.log";
        }();
        return path;
    }
    void SetUp() override { skipLog(); }
    void skipLog() { logStart_ = kv::test::readFile(logPath()).size(); }
    Lines log(const std::string& function = "") const {
        const std::string content = kv::test::readFile(logPath());
        Lines result;
        for (size_t start = logStart_, end = 0; start < content.size(); start = end + 2) {
            end = std::min(content.find("\r\n", start), content.size());
            const std::string line = content.substr(start, end - start);
            const size_t text = line.find("] ");
            if (text != line.npos && line.find("***") == line.npos &&
                (function.empty() || line.find(": " + function + ": ") != line.npos)) {
                result.push_back(line.substr(text + 2));
            }
        }
        return result;
    }
};

TEST_F(HostTest, LoadAndInitialisationDecideAvailabilityAndAnUnavailableApiCallsNoHost) {
    const std::string loader = "DelayLoadedLibrary::DelayLoadedLibrary";
    const std::string loading = info(kConstructor, "API library is loaded. Initializing the API...");
    const std::string init = debug("HosterApi::init", "Init hoster API v.2.0");
    const std::string notLoaded = info(kConstructor, "API library not loaded.");
    // clang-format off
    const Lines skipped = {info(kDestructor, "API was not initialized. Skipping uninitialization.")};
    const Lines uninitialised = {info(kDestructor, "Uninitializing the API..."), info(kDestructor, "API is uninitialized.")};
    // An empty library path: no library anywhere.
    const struct { const char* why; std::wstring library; bool available; Lines constructed, destroyed; } rows[] = {
        {"no library", L"", false, {info(loader, "kv_hoster_api_64.dll not found. err=1010"), notLoaded}, skipped},
        {"library without KvHosterApi_Initialize", HosterApiDouble::libraryWithoutInitializePath(), false,
         {info(loader, "A procedure not found in kv_hoster_api_64.dll err=127"), notLoaded}, skipped},
        {"library without KvHosterApi_StopPlugin", HosterApiDouble::libraryWithoutStopPath(), false,
         {loading, init, error("HosterApi::init", "Procedure KvHosterApi_StopPlugin not found in kv_hoster_api_64.dll. err=127"),
          info(kConstructor, "Failure to initialize the API.")}, skipped},
        {"working library", HosterApiDouble::libraryPath(), true, {loading, init, info(kConstructor, "API is initialized successfully.")}, uninitialised},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        namespace_.clear();
        if (!row.library.empty()) {
            useLibrary(row.library);
        }
        skipLog();
        HosterApiImports imports;
        auto api = std::make_unique<GenericApi<HosterApi>>(imports);
        EXPECT_EQ(api->isAvailable(), row.available);
        EXPECT_EQ(log(), row.constructed);
        if (!row.available) {
            skipLog();
            double_.clearCalls();
            std::int32_t status[3] = {-1, -1, -1};
            EXPECT_FALSE(api->isHosterRunning(0, status[0]) ||
                         api->startPlugin(0, L"WispWPUPlugin", status[1]) ||
                         api->restartPlugin(0, L"WispWPUPlugin", status[2]));
            EXPECT_EQ(std::vector<std::int32_t>(status, status + 3), std::vector<std::int32_t>(3, 2));
            EXPECT_EQ(log(), Lines(3, info("HosterApi::isHosterRunning", "Hoster API is not available.")));
            EXPECT_EQ(double_.calls(), Lines());
        }
        skipLog();
        api.reset();
        EXPECT_EQ(log(), row.destroyed);
    }
}

TEST_F(HostTest, OperationsMapTheHostAnswersToAResultAndAStatus) {
    // clang-format off
    const std::string notRunning = info("HosterApi::isHosterRunning", "Hoster is not running.");
    const std::string starting = info("HosterApi::startPlugin", "Starting hoster plugin \"WispWPUPlugin\"...");
    const std::string started = info("HosterApi::startPlugin", "Hoster plugin was started successfully or was already running.");
    const std::string unable = error("HosterApi::startPlugin", "Unable to start hoster plugin.");
    const std::string unknown = error("HosterApi::startPlugin", "Attempt to start hoster plugin resulted in an unknown error.");
    // The host's answers: IsHosterRunning, StartPlugin. An operation answers true
    // exactly when its status is 0. The restart's statuses show in the plug-in's restart.
    const struct { const char* why; bool start; std::uint32_t hosterId; DWORD running, started; std::int32_t status; Lines calls; Lines log; } rows[] = {
        {"running, the host id passed on", false, 7, 0, 0, 0, {"IsHosterRunning|wp_default|0|7"}, {}},
        {"any non-zero answer is not running", false, 0, 0xFFFFFFFF, 0, 3, {kRunning}, {notRunning}},
        {"start: started", true, 0, 0, 0, 0, {kRunning, kStart1}, {starting, started}},
        {"start: unable", true, 0, 0, 1, 4, {kRunning, kStart1}, {starting, unable}},
        {"start: 3 is unexpected here", true, 0, 0, 3, 1, {kRunning, kStart1}, {starting, unknown}},
        {"start: host not running", true, 0, 1, 0, 3, {kRunning}, {notRunning}},
    };
    // clang-format on
    useLibrary(HosterApiDouble::libraryPath());
    HosterApiImports imports;
    GenericApi<HosterApi> api(imports);
    ASSERT_TRUE(api.isAvailable());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        double_.set(L"IsHosterRunning", row.running);
        double_.set(L"StartPlugin", row.started);
        double_.clearCalls();
        skipLog();
        std::int32_t status = -1;
        const bool result = row.start ? api.startPlugin(row.hosterId, L"WispWPUPlugin", status)
                                      : api.isHosterRunning(row.hosterId, status);
        EXPECT_EQ(std::make_pair(result, status), std::make_pair(row.status == 0, row.status));
        EXPECT_EQ(double_.calls(), row.calls);
        EXPECT_EQ(log(), row.log);
    }
}

TEST_F(HostTest, RegistrationIsFoundUnderTheLegacyOrTheNamespacedKey) {
    // clang-format off
    const std::wstring legacy = L"SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins\\WispWPUPlugin";
    const std::wstring productRoot = L"SOFTWARE\\Korvane\\Wisp\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";
    const auto legacyLine = [](int found) { return debug("HosterApi::isPluginRegisteredLegacy", "SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins WispWPUPlugin " + std::to_string(found)); };
    const auto namespacedLine = [](int found) { return debug("HosterApi::isPluginRegisteredNamespaced", "SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins WispWPUPlugin " + std::to_string(found)); };
    const struct { const char* why; std::vector<std::pair<std::wstring, REGSAM>> keys; bool registered; Lines log; } rows[] = {
        {"nowhere", {}, false, {legacyLine(0), namespacedLine(0)}},
        {"legacy key: the namespaced key is not looked at", {{legacy, KEY_WOW64_64KEY}}, true, {legacyLine(1)}},
        {"namespaced key only", {{kPluginKey, KEY_WOW64_64KEY}}, true, {legacyLine(0), namespacedLine(1)}},
        {"keys in the 32-bit view do not count", {{legacy, KEY_WOW64_32KEY}, {kPluginKey, KEY_WOW64_32KEY}}, false, {legacyLine(0), namespacedLine(0)}},
        {"the product root of the default namespace is not the namespaced key", {{productRoot, KEY_WOW64_64KEY}}, false, {legacyLine(0), namespacedLine(0)}},
    };
    // clang-format on
    HosterApiImports imports;
    GenericApi<HosterApi> api(imports); // registration checks need no library
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        namespace_.clear();
        legacy_.clear();
        productRoot_.clear();
        for (const auto& [path, view] : row.keys) {
            kv::test::writeValue(HKEY_LOCAL_MACHINE, path, nullptr, 0, {}, view);
        }
        skipLog();
        EXPECT_EQ(api.isPluginRegisteredLegacy(L"WispWPUPlugin"), row.registered);
        EXPECT_EQ(log(), row.log);
    }
}

TEST_F(HostTest, RegistrationWritesNameLibraryAndHostIdBelowTheNamespace) {
    registerHosterPlugin(L"WispWPUPlugin", L"C:\\Wisp\\p.dll", 3, {}, {});
    const auto value = [](auto name) { return kv::test::readValue(HKEY_LOCAL_MACHINE, kPluginKey, name); };
    EXPECT_EQ(value(L"DllName"), RegValue(REG_SZ, bytesOf(std::wstring(L"C:\\Wisp\\p.dll", 14))));
    EXPECT_EQ(value(L"Name"), RegValue(REG_SZ, bytesOf(std::wstring(L"WispWPUPlugin", 14))));
    EXPECT_EQ(value(L"HosterId"), RegValue(REG_DWORD, {3, 0, 0, 0}));
    EXPECT_FALSE(value(L"DependOnModules")); // none for an empty list
}

TEST_F(HostTest, RestartDecidesTheRebootFromTheHostsAnswers) {
    const std::string restart = "HosterPlugin::restart";
    const std::string restarting = info(restart, "Restarting plugin");
    const std::string trying = info(restart, "Plugin not started, trying to start it");
    const std::string started = info(restart, "Plugin started");
    const auto reboot = [&](int status) { return error(restart, "Will reboot: " + std::to_string(status)); };
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
    useLibrary(HosterApiDouble::libraryPath());
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
        EXPECT_EQ(log(restart), row.log);
        EXPECT_EQ(double_.calls(), row.calls);
    }
}

} // namespace
