#include <windows.h>

#include "hoster-api/HosterApi.h"

#include "HosterTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace hoster_test;
using kv::doubles::HosterApiDouble;
using HosterApiTest = HostTest;

TEST_F(HosterApiTest, LoadAndInitialisationDecideAvailabilityAndAnUnavailableApiCallsNoHost) {
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

TEST_F(HosterApiTest, OperationsMapTheHostAnswersToAResultAndAStatus) {
    // clang-format off
    const std::string notRunning = info("HosterApi::isHosterRunning", "Hoster is not running.");
    const std::string starting = info("HosterApi::startPlugin", "Starting hoster plugin \"WispWPUPlugin\"...");
    const std::string started = info("HosterApi::startPlugin", "Hoster plugin was started successfully or was already running.");
    const std::string unable = error("HosterApi::startPlugin", "Unable to start hoster plugin.");
    const std::string unknown = error("HosterApi::startPlugin", "Attempt to start hoster plugin resulted in an unknown error.");
    const auto stop = [](int r) { return debug("HosterApi::restartPlugin", "Stop plugin returned: " + std::to_string(r)); };
    const auto start = [](int r) { return debug("HosterApi::restartPlugin", "Start plugin returned: " + std::to_string(r)); };
    enum { IsRunning, Start, Restart };
    // The host's answers: IsHosterRunning, StopPlugin, StartPlugin. An operation answers true
    // exactly when its status is 0.
    const struct { const char* why; int operation; std::uint32_t hosterId; DWORD running, stop, start; std::int32_t status; Lines calls; Lines log; } rows[] = {
        {"running", IsRunning, 0, 0, 0, 0, 0, {kRunning}, {}},
        {"host id passed on", IsRunning, 7, 0, 0, 0, 0, {"IsHosterRunning|wp_default|0|7"}, {}},
        {"not running", IsRunning, 0, 1, 0, 0, 3, {kRunning}, {notRunning}},
        {"any non-zero answer is not running", IsRunning, 0, 0xFFFFFFFF, 0, 0, 3, {kRunning}, {notRunning}},
        {"start: started", Start, 0, 0, 9, 0, 0, {kRunning, kStart1}, {starting, started}},
        {"start: unable", Start, 0, 0, 9, 1, 4, {kRunning, kStart1}, {starting, unable}},
        {"start: 3 is unexpected here", Start, 0, 0, 9, 3, 1, {kRunning, kStart1}, {starting, unknown}},
        {"start: host not running", Start, 0, 1, 9, 0, 3, {kRunning}, {notRunning}},
        {"restart: stopped and started", Restart, 0, 0, 0, 0, 0, {kRunning, kStop, kStart0}, {stop(0), start(0)}},
        {"restart: stop unable", Restart, 0, 0, 1, 0, 4, {kRunning, kStop}, {stop(1)}},
        {"restart: plug-in not started", Restart, 0, 0, 3, 0, 5, {kRunning, kStop}, {stop(3)}},
        {"restart: stop unexpected", Restart, 0, 0, 2, 0, 1, {kRunning, kStop}, {stop(2)}},
        {"restart: start unable", Restart, 0, 0, 0, 1, 4, {kRunning, kStop, kStart0}, {stop(0), start(1)}},
        {"restart: start finds it unregistered", Restart, 0, 0, 0, 3, 5, {kRunning, kStop, kStart0}, {stop(0), start(3)}},
        {"restart: start unexpected", Restart, 0, 0, 0, 0xFFFFFFFB, 1, {kRunning, kStop, kStart0}, {stop(0), start(-5)}},
        {"restart: host not running", Restart, 0, 1, 0, 0, 3, {kRunning}, {notRunning}},
    };
    // clang-format on
    useLibrary(HosterApiDouble::libraryPath());
    HosterApiImports imports;
    GenericApi<HosterApi> api(imports);
    ASSERT_TRUE(api.isAvailable());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        double_.set(L"IsHosterRunning", row.running);
        double_.set(L"StopPlugin", row.stop);
        double_.set(L"StartPlugin", row.start);
        double_.clearCalls();
        skipLog();
        std::int32_t status = -1;
        const bool result = row.operation == IsRunning ? api.isHosterRunning(row.hosterId, status)
                            : row.operation == Start
                                ? api.startPlugin(row.hosterId, L"WispWPUPlugin", status)
                                : api.restartPlugin(row.hosterId, L"WispWPUPlugin", status);
        EXPECT_EQ(result, row.status == 0);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(double_.calls(), row.calls);
        EXPECT_EQ(log(), row.log);
    }
}

TEST_F(HosterApiTest, RegistrationIsFoundUnderTheLegacyOrTheNamespacedKey) {
    // clang-format off
    const std::wstring legacy = L"SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins\\WispWPUPlugin";
    const std::wstring namespaced = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";
    const std::wstring productRoot = L"SOFTWARE\\Korvane\\Wisp\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";
    const auto legacyLine = [](int found) { return debug("HosterApi::isPluginRegisteredLegacy", "SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins WispWPUPlugin " + std::to_string(found)); };
    const auto namespacedLine = [](int found) { return debug("HosterApi::isPluginRegisteredNamespaced", "SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins WispWPUPlugin " + std::to_string(found)); };
    const struct { const char* why; std::vector<std::pair<std::wstring, REGSAM>> keys; bool registered; Lines log; } rows[] = {
        {"nowhere", {}, false, {legacyLine(0), namespacedLine(0)}},
        {"legacy key: the namespaced key is not looked at", {{legacy, KEY_WOW64_64KEY}}, true, {legacyLine(1)}},
        {"namespaced key only", {{namespaced, KEY_WOW64_64KEY}}, true, {legacyLine(0), namespacedLine(1)}},
        {"keys in the 32-bit view do not count", {{legacy, KEY_WOW64_32KEY}, {namespaced, KEY_WOW64_32KEY}}, false, {legacyLine(0), namespacedLine(0)}},
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

} // namespace
