#include <windows.h>

#include "HosterTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace hoster_test;
using kv::doubles::HosterApiDouble;

// Runs the probe program in the test's prefix with its log rooted in the test's directory.
class HosterApiProcessTest : public ::testing::Test {
protected:
    kv::test::RegistryTree namespace_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\NS\\wp_default"};
    kv::test::RegistryTree legacy_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Zarn\\DLLHoster"};
    kv::test::TempDirectory directory_;
    HosterApiDouble double_{directory_ / L"calls.txt"};

    void SetUp() override { configureLogging(directory_.path()); }

    DWORD run(const wchar_t* scenario) const {
        return kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"hoster_api_probe.exe") + L"\" " +
                                    scenario + L" probe");
    }
    Lines log() const { return logLines(directory_ / L"Korvane\\Log\\HosterApiProbe\\probe.log"); }
    long callsStartingWith(const std::string& prefix) const {
        const Lines calls = double_.calls();
        return std::count_if(calls.begin(), calls.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
};

TEST_F(HosterApiProcessTest, TwoThreadsAskingAtOnceGetOneObjectLoadedOnceAndUninitialisedAtExit) {
    useLibrary(HosterApiDouble::libraryPath());
    // The first thread stays inside the load while the second one asks.
    double_.set(HosterApiDouble::initializeDelayValue, 300);
    EXPECT_EQ(run(L"threads"), 0u);
    // The four exports are bound from one load: one hook call, one initialisation.
    EXPECT_EQ(callsStartingWith("Initialize|"), 1);
    EXPECT_EQ(callsStartingWith("ZarnDelayLoadDependencies|24|0|wp_default|(null)"), 1);
    const Lines lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), info(kConstructor, "API is initialized successfully.")),
              1);
    EXPECT_EQ(linesOf(lines, kDestructor), Lines({info(kDestructor, "Uninitializing the API..."),
                                                  info(kDestructor, "API is uninitialized.")}));
}

TEST_F(HosterApiProcessTest, FirstInstallationWithoutTheLibraryRequestsNoRebootAndSkipsUninitialisation) {
    // The substitute lies beside the probe program, which must not load it from there.
    EXPECT_EQ(run(L"restart"), 0u);
    const Lines lines = log();
    EXPECT_EQ(
        linesOf(lines, "HosterPlugin::restart"),
        Lines({info("HosterPlugin::restart", "Restarting plugin"),
               info("HosterPlugin::restart", "API is not available. Assuming first-time installation.")}));
    EXPECT_EQ(linesOf(lines, kDestructor),
              Lines({info(kDestructor, "API was not initialized. Skipping uninitialization.")}));
    EXPECT_EQ(double_.calls(), Lines());
}

} // namespace
