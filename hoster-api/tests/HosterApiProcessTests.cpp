#include <windows.h>

#include "HosterTestSupport.h"

#include "test-doubles/HosterApiDouble.h"
#include "test-support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using hoster_test::debug;
using hoster_test::info;
using hoster_test::useLibrary;
using kv::doubles::HosterApiDouble;
using Lines = std::vector<std::string>;

using hoster_test::kConstructor;
using hoster_test::kDestructor;
constexpr char kLoader[] = "DelayLoadedLibrary::DelayLoadedLibrary";
constexpr char kRestart[] = "HosterPlugin::restart";

const std::string kLoaded = info(kConstructor, "API library is loaded. Initializing the API...");
const std::string kInit = debug("HosterApi::init", "Init hoster API v.2.0");
const std::string kNotLoaded = info(kConstructor, "API library not loaded.");
const std::string kSkipped = info(kDestructor, "API was not initialized. Skipping uninitialization.");

// Runs the probe program in the test's prefix with its log rooted in the test's directory.
class HosterApiProcessTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespace_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default"};
    kv::test::RegistryTree legacy_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster"};
    kv::test::TempDirectory directory_;
    HosterApiDouble double_{directory_ / L"calls.txt"};

    void SetUp() override { hoster_test::configureLogging(directory_.path()); }

    DWORD run(const wchar_t* scenario) const {
        return kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"hoster_api_probe.exe") + L"\" " +
                                    scenario + L" probe");
    }

    Lines log() const {
        return hoster_test::LogLines(hoster_test::logFilePath(directory_.path(), L"HosterApiProbe", L"probe"))
            .lines();
    }

    size_t callsStartingWith(const std::string& prefix) const {
        const Lines calls = double_.calls();
        return static_cast<size_t>(
            std::count_if(calls.begin(), calls.end(),
                          [&prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }
};

TEST_F(HosterApiProcessTest, WithoutTheLibraryTheApiIsUnavailableAndSkipsUninitialisationAtExit) {
    // The substitute lies beside the probe program, which must not load it from there.
    EXPECT_EQ(run(L"api"), 0u);
    EXPECT_EQ(log(),
              Lines({info(kLoader, "kv_hoster_api_64.dll not found. err=1010"), kNotLoaded, kSkipped}));
    EXPECT_EQ(double_.calls(), Lines());
}

TEST_F(HosterApiProcessTest, AWorkingLibraryIsInitialisedOnceAndUninitialisedAtExit) {
    useLibrary(HosterApiDouble::libraryPath());
    EXPECT_EQ(run(L"api"), 1u);
    EXPECT_EQ(log(), Lines({kLoaded, kInit, info(kConstructor, "API is initialized successfully."),
                            info(kDestructor, "Uninitializing the API..."),
                            info(kDestructor, "API is uninitialized.")}));
    EXPECT_EQ(callsStartingWith("Initialize|"), 1u);
    EXPECT_EQ(callsStartingWith("ZarnDelayLoadDependencies|24|0|wp_default|(null)"), 1u);
}

TEST_F(HosterApiProcessTest, TwoThreadsAskingAtOnceGetOneObjectAndOneLoad) {
    useLibrary(HosterApiDouble::libraryPath());
    // The first thread stays inside the load while the second one asks.
    double_.set(HosterApiDouble::initializeDelayValue, 300);
    EXPECT_EQ(run(L"threads"), 0u);
    EXPECT_EQ(callsStartingWith("Initialize|"), 1u);
    EXPECT_EQ(callsStartingWith("ZarnDelayLoadDependencies|"), 1u);
    const Lines lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kLoaded), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), info(kDestructor, "API is uninitialized.")), 1);
}

TEST_F(HosterApiProcessTest, FirstInstallationWithoutTheLibraryRequestsNoReboot) {
    EXPECT_EQ(run(L"restart"), 0u);
    const std::string pluginKey = "SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins WispWPUPlugin ";
    EXPECT_EQ(log(),
              Lines({info(kLoader, "kv_hoster_api_64.dll not found. err=1010"), kNotLoaded,
                     debug("HosterApi::isPluginRegisteredLegacy",
                           "SOFTWARE\\Korvane\\Zarn\\DLLHoster\\1400\\Plugins WispWPUPlugin 0"),
                     debug("HosterApi::isPluginRegisteredNamespaced", pluginKey + "1"),
                     info(kRestart, "Restarting plugin"),
                     info("HosterApi::isHosterRunning", "Hoster API is not available."),
                     info(kRestart, "API is not available. Assuming first-time installation."), kSkipped}));

    // The registration names the plug-in library beside the program.
    EXPECT_EQ(kv::test::readValue(HKEY_LOCAL_MACHINE,
                                  L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin",
                                  L"DllName"),
              kv::test::RegValue(
                  REG_SZ,
                  kv::test::bytesOf(kv::test::besideTestExecutable(L"kv_wpu_hoster_plugin64.dll") + L'\0')));
}

} // namespace
