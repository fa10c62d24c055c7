#include <windows.h>
#include <objbase.h>

#include "install-wpu/MainLogic.h"

#include "kvtl/Com.h"
#include "kvtl/Exceptions.h"
#include "taskscheduler20/TaskScheduler20Double.h"

#include "InstallerTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

namespace {

constexpr wchar_t PluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";

class MainLogicTest : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    MainLogic logic_;
};

// InstallerMain has checked the rights before (it refuses a standard user itself).
TEST_F(MainLogicTest, InstallsNothingInRookMode) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp", L"rook", REG_DWORD, {2, 0, 0, 0});
    wpu::test::CapturedLog log(L"main-logic-rook");
    EXPECT_EQ(logic_.execute(), 0);
    EXPECT_THAT(log.messages(),
                testing::ElementsAre(L" I: isROOKOperatingMode: \"rook\" operating mode detected.",
                                     L" I: MainLogic::execute: Rook mode detected, WPU won't be installed"));
    EXPECT_FALSE(wpu::test::registryKeyExists(PluginKey));
}

// The AV-mode steps on a thread of its own, against the Task Scheduler 2.0 double with a
// private store (the scenarios show what they store). A thread without COM relies on the
// double's registration in the process's multithreaded apartment, held by this thread; a
// thread that someone else put into a single-threaded apartment registers it there, and
// execute's multithreaded initialisation fails with RPC_E_CHANGED_MODE, which is a
// Warning. Either way execute leaves the thread's COM as it found it, on success and on
// failure alike: CoInitializeEx afterwards in the thread's mode answers S_OK without COM,
// S_FALSE in the apartment.
TEST_F(MainLogicTest, AvModeSetsUpTaskAndPluginAndLeavesTheThreadsComAsItFoundIt) {
    struct Case {
        bool singleThreaded;
        const wchar_t* fault; // the call of the double that fails with E_ACCESSDENIED
    };
    const Case cases[] = {{false, nullptr},
                          {false, L"ITaskFolder::RegisterTaskDefinition"},
                          {true, nullptr},
                          {true, L"ITaskService::Connect"}};
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << row.singleThreaded << " " << (row.fault ? row.fault : L""));
        tree_.clear();
        kv::test::TempDirectory store;
        std::optional<kv::ScopedComInitializer> processCom;
        std::optional<kv::doubles::ScopedTaskScheduler20Registration> processRegistration;
        if (!row.singleThreaded) {
            processCom.emplace(COINIT_MULTITHREADED);
            processRegistration.emplace(kv::doubles::TaskScheduler20Options{store.path()});
            ASSERT_EQ(processRegistration->result(), S_OK);
        }
        wpu::test::CapturedLog log(L"main-logic-av");
        int result = -1;
        HRESULT failure = S_OK;
        std::string exception;
        HRESULT comAfterwards = E_FAIL;
        std::thread([&] {
            const DWORD mode = row.singleThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
            std::optional<kv::doubles::ScopedTaskScheduler20Registration> registration;
            if (row.singleThreaded) {
                EXPECT_EQ(CoInitializeEx(nullptr, mode), S_OK);
                registration.emplace(kv::doubles::TaskScheduler20Options{store.path()});
                EXPECT_EQ(registration->result(), S_OK);
            }
            if (row.fault) {
                kv::doubles::injectTaskScheduler20Fault(row.fault, 1, E_ACCESSDENIED);
            }
            try {
                result = logic_.execute();
            } catch (const kv::ComException& e) {
                exception = e.what();
                failure = e.comError().Error();
            }
            comAfterwards = CoInitializeEx(nullptr, mode);
            if (SUCCEEDED(comAfterwards)) {
                CoUninitialize();
            }
            registration.reset();
            if (row.singleThreaded) {
                CoUninitialize();
            }
        }).join();

        EXPECT_EQ(comAfterwards, row.singleThreaded ? S_FALSE : S_OK) << "execute changed the thread's COM";
        // A failed step ends execute before its last line.
        const auto messages = log.messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(std::count(messages.begin(), messages.end(),
                             L".W: MainLogic::execute: COM initialization failed: 80010106"),
                  row.singleThreaded ? 1 : 0);
        EXPECT_EQ(wpu::test::registryKeyExists(PluginKey), row.fault == nullptr);
        EXPECT_EQ(messages.back() == L" I: MainLogic::execute: DONE.", row.fault == nullptr);
        EXPECT_EQ(row.fault ? failure : result, row.fault ? E_ACCESSDENIED : 0) << exception;
    }
}

} // namespace
