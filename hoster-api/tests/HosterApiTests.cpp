#include <windows.h>

#include "hoster-api/HosterApi.h"

#include "HosterTestSupport.h"

#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

using hoster_test::debug;
using hoster_test::error;
using hoster_test::info;
using hoster_test::useLibrary;
using kv::doubles::HosterApiDouble;
using Lines = std::vector<std::string>;

using hoster_test::kConstructor;
using hoster_test::kDestructor;
using hoster_test::kRunning;
using hoster_test::kStart0;
using hoster_test::kStart1;
using hoster_test::kStop;
constexpr wchar_t kNamespacedPlugins[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins";
constexpr wchar_t kLegacyPlugins[] = L"SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins";

void createKey(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

using HosterApiTest = hoster_test::HostTest;

struct AvailabilityRow {
    const char* why;
    std::function<std::wstring()> library; // empty path: no library anywhere
    bool available;
    Lines constructed;
    Lines destroyed;
};

TEST_F(HosterApiTest, LoadAndInitialisationDecideAvailabilityAndAreLogged) {
    const Lines notInitialised = {info(kDestructor, "API was not initialized. Skipping uninitialization.")};
    const AvailabilityRow rows[] = {
        {"no library",
         [] { return std::wstring(); },
         false,
         {info("DelayLoadedLibrary::DelayLoadedLibrary", "kv_hoster_api_64.dll not found. err=1010"),
          info(kConstructor, "API library not loaded.")},
         notInitialised},
        {"library without KvHosterApi_Initialize",
         HosterApiDouble::libraryWithoutInitializePath,
         false,
         {info("DelayLoadedLibrary::DelayLoadedLibrary",
               "A procedure not found in kv_hoster_api_64.dll err=127"),
          info(kConstructor, "API library not loaded.")},
         notInitialised},
        {"working library",
         HosterApiDouble::libraryPath,
         true,
         {info(kConstructor, "API library is loaded. Initializing the API..."),
          debug("HosterApi::init", "Init hoster API v.2.0"),
          info(kConstructor, "API is initialized successfully.")},
         {info(kDestructor, "Uninitializing the API..."), info(kDestructor, "API is uninitialized.")}},
        {"library without KvHosterApi_StopPlugin",
         HosterApiDouble::libraryWithoutStopPath,
         false,
         {info(kConstructor, "API library is loaded. Initializing the API..."),
          debug("HosterApi::init", "Init hoster API v.2.0"),
          error("HosterApi::init",
                "Procedure KvHosterApi_StopPlugin not found in kv_hoster_api_64.dll. err=127"),
          info(kConstructor, "Failure to initialize the API.")},
         notInitialised},
    };
    for (const AvailabilityRow& row : rows) {
        SCOPED_TRACE(row.why);
        namespace_.clear();
        const std::wstring library = row.library();
        if (!library.empty()) {
            useLibrary(library);
        }
        log_.skipToEnd();
        HosterApiImports imports;
        auto api = std::make_unique<GenericApi<HosterApi>>(imports);
        EXPECT_EQ(api->isAvailable(), row.available);
        EXPECT_EQ(log_.lines(), row.constructed);
        log_.skipToEnd();
        api.reset();
        EXPECT_EQ(log_.lines(), row.destroyed);
    }
}

TEST_F(HosterApiTest, AnUnavailableApiAnswersStatusTwoWithoutCallingTheHost) {
    for (const auto& library : {std::wstring(), HosterApiDouble::libraryWithoutStopPath()}) {
        SCOPED_TRACE(library.c_str());
        namespace_.clear();
        if (!library.empty()) {
            useLibrary(library);
        }
        HosterApiImports imports;
        GenericApi<HosterApi> api(imports);
        log_.skipToEnd();
        std::int32_t status = -1;
        EXPECT_FALSE(api.isHosterRunning(0, status));
        EXPECT_EQ(status, HosterApi::NotAvailable);
        status = -1;
        EXPECT_FALSE(api.startPlugin(0, L"WispWPUPlugin", status));
        EXPECT_EQ(status, HosterApi::NotAvailable);
        status = -1;
        EXPECT_FALSE(api.restartPlugin(0, L"WispWPUPlugin", status));
        EXPECT_EQ(status, HosterApi::NotAvailable);
        const std::string line = info("HosterApi::isHosterRunning", "Hoster API is not available.");
        EXPECT_EQ(log_.lines(), Lines({line, line, line}));
        EXPECT_EQ(hostCalls(), Lines());
    }
}

enum class Operation { IsRunning, Start, Restart };

struct OperationRow {
    const char* why;
    Operation operation;
    std::uint32_t hosterId;
    DWORD running;
    DWORD stop;
    DWORD start;
    bool result;
    std::int32_t status;
    Lines calls;
    Lines log;
};

std::ostream& operator<<(std::ostream& out, const OperationRow& row) {
    return out << row.why;
}

const std::string kNotRunning = info("HosterApi::isHosterRunning", "Hoster is not running.");
const std::string kStarting = info("HosterApi::startPlugin", "Starting hoster plugin \"WispWPUPlugin\"...");
const std::string kStarted =
    info("HosterApi::startPlugin", "Hoster plugin was started successfully or was already running.");
const std::string kUnable = error("HosterApi::startPlugin", "Unable to start hoster plugin.");
const std::string kUnknown =
    error("HosterApi::startPlugin", "Attempt to start hoster plugin resulted in an unknown error.");
std::string stopped(int result) {
    return debug("HosterApi::restartPlugin", "Stop plugin returned: " + std::to_string(result));
}
std::string started(int result) {
    return debug("HosterApi::restartPlugin", "Start plugin returned: " + std::to_string(result));
}

// The host's answers: IsHosterRunning, StopPlugin, StartPlugin.
// clang-format off
const OperationRow kOperationRows[] = {
    {"running", Operation::IsRunning, 0, 0, 0, 0, true, 0, {kRunning}, {}},
    {"host id passed on", Operation::IsRunning, 7, 0, 0, 0, true, 0, {"IsHosterRunning|wp_default|0|7"}, {}},
    {"not running", Operation::IsRunning, 0, 1, 0, 0, false, 3, {kRunning}, {kNotRunning}},
    {"any non-zero answer is not running", Operation::IsRunning, 0, 0xFFFFFFFF, 0, 0, false, 3, {kRunning}, {kNotRunning}},
    {"start: started", Operation::Start, 0, 0, 9, 0, true, 0, {kRunning, kStart1}, {kStarting, kStarted}},
    {"start: unable", Operation::Start, 0, 0, 9, 1, false, 4, {kRunning, kStart1}, {kStarting, kUnable}},
    {"start: 3 is unexpected here", Operation::Start, 0, 0, 9, 3, false, 1, {kRunning, kStart1}, {kStarting, kUnknown}},
    {"start: host not running", Operation::Start, 0, 1, 9, 0, false, 3, {kRunning}, {kNotRunning}},
    {"restart: stopped and started", Operation::Restart, 0, 0, 0, 0, true, 0, {kRunning, kStop, kStart0}, {stopped(0), started(0)}},
    {"restart: stop unable", Operation::Restart, 0, 0, 1, 0, false, 4, {kRunning, kStop}, {stopped(1)}},
    {"restart: plug-in not started", Operation::Restart, 0, 0, 3, 0, false, 5, {kRunning, kStop}, {stopped(3)}},
    {"restart: stop unexpected", Operation::Restart, 0, 0, 2, 0, false, 1, {kRunning, kStop}, {stopped(2)}},
    {"restart: start unable", Operation::Restart, 0, 0, 0, 1, false, 4, {kRunning, kStop, kStart0}, {stopped(0), started(1)}},
    {"restart: start finds it unregistered", Operation::Restart, 0, 0, 0, 3, false, 5, {kRunning, kStop, kStart0}, {stopped(0), started(3)}},
    {"restart: start unexpected", Operation::Restart, 0, 0, 0, 0xFFFFFFFB, false, 1, {kRunning, kStop, kStart0}, {stopped(0), started(-5)}},
    {"restart: host not running", Operation::Restart, 0, 1, 0, 0, false, 3, {kRunning}, {kNotRunning}},
};
// clang-format on

class HosterApiOperations : public HosterApiTest, public ::testing::WithParamInterface<OperationRow> {};

TEST_P(HosterApiOperations, MapTheHostAnswersToStatusCodes) {
    const OperationRow& row = GetParam();
    useLibrary(HosterApiDouble::libraryPath());
    HosterApiImports imports;
    GenericApi<HosterApi> api(imports);
    ASSERT_TRUE(api.isAvailable());
    double_.set(L"IsHosterRunning", row.running);
    double_.set(L"StopPlugin", row.stop);
    double_.set(L"StartPlugin", row.start);
    double_.clearCalls();
    log_.skipToEnd();

    std::int32_t status = -1;
    bool result = false;
    switch (row.operation) {
        case Operation::IsRunning:
            result = api.isHosterRunning(row.hosterId, status);
            break;
        case Operation::Start:
            result = api.startPlugin(row.hosterId, L"WispWPUPlugin", status);
            break;
        case Operation::Restart:
            result = api.restartPlugin(row.hosterId, L"WispWPUPlugin", status);
            break;
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(double_.calls(), row.calls);
    EXPECT_EQ(log_.lines(), row.log);
}

INSTANTIATE_TEST_SUITE_P(Rows, HosterApiOperations, ::testing::ValuesIn(kOperationRows));

struct RegistrationRow {
    const char* why;
    std::vector<std::pair<std::wstring, REGSAM>> keys;
    bool registered;
    Lines log;
};

TEST_F(HosterApiTest, RegistrationIsFoundUnderTheLegacyOrTheNamespacedKey) {
    const std::string legacy = "HosterApi::isPluginRegisteredLegacy";
    const std::string namespaced = "HosterApi::isPluginRegisteredNamespaced";
    const std::string legacyPath = "SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins WispWPUPlugin ";
    const std::string namespacedPath =
        "SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins WispWPUPlugin ";
    const std::wstring plugin = L"\\WispWPUPlugin";
    const RegistrationRow rows[] = {
        {"nowhere", {}, false, {debug(legacy, legacyPath + "0"), debug(namespaced, namespacedPath + "0")}},
        {"legacy key: the namespaced key is not looked at",
         {{kLegacyPlugins + plugin, KEY_WOW64_64KEY}},
         true,
         {debug(legacy, legacyPath + "1")}},
        {"namespaced key only",
         {{kNamespacedPlugins + plugin, KEY_WOW64_64KEY}},
         true,
         {debug(legacy, legacyPath + "0"), debug(namespaced, namespacedPath + "1")}},
        {"keys in the 32-bit view do not count",
         {{kLegacyPlugins + plugin, KEY_WOW64_32KEY}, {kNamespacedPlugins + plugin, KEY_WOW64_32KEY}},
         false,
         {debug(legacy, legacyPath + "0"), debug(namespaced, namespacedPath + "0")}},
        {"the product root of the default namespace is not the namespaced key",
         {{L"SOFTWARE\\Korvane\\Wisp\\Zarn\\Hoster\\Plugins" + plugin, KEY_WOW64_64KEY}},
         false,
         {debug(legacy, legacyPath + "0"), debug(namespaced, namespacedPath + "0")}},
    };
    HosterApiImports imports;
    GenericApi<HosterApi> api(imports); // registration checks need no library
    for (const RegistrationRow& row : rows) {
        SCOPED_TRACE(row.why);
        namespace_.clear();
        legacy_.clear();
        productRoot_.clear();
        for (const auto& [path, view] : row.keys) {
            createKey(path, view);
        }
        log_.skipToEnd();
        EXPECT_EQ(api.isPluginRegisteredLegacy(L"WispWPUPlugin"), row.registered);
        EXPECT_EQ(log_.lines(), row.log);
    }
}

} // namespace
