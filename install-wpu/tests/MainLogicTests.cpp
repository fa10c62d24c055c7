#include <windows.h>
#include <objbase.h>

#include "install-wpu/MainLogic.h"

#include "kvtl/Com.h"
#include "kvtl/Exceptions.h"
#include "taskscheduler20/TaskScheduler20Double.h"
#include "winenv/ShellFolders.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

constexpr wchar_t PluginKey[] = L"SOFTWARE\\Korvane\\NS\\wp_default\\Zarn\\Hoster\\Plugins\\WispWPUPlugin";
constexpr wchar_t TaskPath[] = L"\\Korvane\\Wisp Updater";

void setRook(DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Wisp", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"rook", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

class MainLogicTest : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    MainLogic logic_;
};

// The rights come first: not even the rook mode is looked at without them.
TEST_F(MainLogicTest, RefusesWithoutAdministratorRights) {
    setRook(1);
    wpu::test::CapturedLog log(L"main-logic-rights");
    {
        wpu::test::ScopedNonAdministrator restricted;
        ASSERT_TRUE(restricted.active());
        EXPECT_EQ(logic_.execute(), 1);
    }
    EXPECT_THAT(log.messages(), ElementsAre(L"*E: MainLogic::execute: Not enough rights."));
}

TEST_F(MainLogicTest, InRookModeInstallsNothing) {
    setRook(2);
    wpu::test::CapturedLog log(L"main-logic-rook");
    EXPECT_EQ(logic_.execute(), 0);
    EXPECT_THAT(log.messages(),
                ElementsAre(L" I: isROOKOperatingMode: \"rook\" operating mode detected.",
                            L" I: MainLogic::execute: Rook mode detected, WPU won't be installed"));
    EXPECT_FALSE(wpu::test::registryKeyExists(PluginKey));
}

TEST_F(MainLogicTest, NamesTheModuleKeepsThePreviousVersionAndUninstallsNothing) {
    EXPECT_EQ(logic_.getModuleName(), L"wpupdater-win-arm64");
    EXPECT_TRUE(logic_.keepPreviousVersion());
    EXPECT_TRUE(logic_.isPlatformSupported());
    EXPECT_EQ(logic_.uninstall(), 201);
}

// The AV-mode steps on a thread of its own, against the Task Scheduler 2.0 double with a
// private store; the host API library is not there, so the plug-in step assumes a
// first installation. What the thread's COM looks like afterwards is the point.
class AvMode : public MainLogicTest {
protected:
    enum class Apartment { None, SingleThreaded };

    struct Outcome {
        int result = -1;
        std::string exception;
        HRESULT exceptionResult = S_OK;
        // CoInitializeEx on the same thread after execute, in the mode the thread had
        // before (the multithreaded one when it had none): S_OK means execute left the
        // thread without COM, S_FALSE that COM was still initialised.
        HRESULT comAfterwards = E_FAIL;
        std::wstring taskXml; // the stored task, read while the double is still registered
    };

    // Runs execute() on a new thread. In a single-threaded apartment the thread enters it
    // and registers the double there; without COM it relies on a registration in the
    // process's multithreaded apartment. `arrange` runs on that thread just before execute.
    Outcome run(Apartment apartment, const std::function<void()>& arrange = {}) {
        Outcome outcome;
        std::thread worker([&] {
            const DWORD mode =
                apartment == Apartment::SingleThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
            if (apartment == Apartment::SingleThreaded) {
                EXPECT_EQ(CoInitializeEx(nullptr, mode), S_OK);
            }
            {
                std::unique_ptr<kv::doubles::ScopedTaskScheduler20Registration> registration;
                if (apartment == Apartment::SingleThreaded) {
                    registration = std::make_unique<kv::doubles::ScopedTaskScheduler20Registration>(
                        kv::doubles::TaskScheduler20Options{store_.path()});
                    EXPECT_EQ(registration->result(), S_OK);
                }
                if (arrange) {
                    arrange();
                }
                try {
                    outcome.result = logic_.execute();
                } catch (const kv::ComException& e) {
                    outcome.exception = e.what();
                    outcome.exceptionResult = e.comError().Error();
                }
                outcome.taskXml = kv::doubles::readTaskScheduler20Xml(TaskPath);
                outcome.comAfterwards = CoInitializeEx(nullptr, mode);
                if (SUCCEEDED(outcome.comAfterwards)) {
                    CoUninitialize();
                }
            }
            if (apartment == Apartment::SingleThreaded) {
                CoUninitialize();
            }
        });
        worker.join();
        return outcome;
    }

    kv::test::TempDirectory store_;
};

// For threads without COM: the process's multithreaded apartment, held by this (the main)
// thread, where the double is registered for every thread that joins it.
class AvModeOnAThreadWithoutCom : public AvMode {
protected:
    kv::ScopedComInitializer com_{COINIT_MULTITHREADED};
    kv::doubles::ScopedTaskScheduler20Registration registration_{{store_.path()}};
};

TEST_F(AvModeOnAThreadWithoutCom, SetsUpTaskAndPluginAndLeavesComAsItFoundIt) {
    ASSERT_EQ(registration_.result(), S_OK);
    wpu::test::CapturedLog log(L"main-logic-av");
    const Outcome outcome = run(Apartment::None);

    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.comAfterwards, S_OK) << "execute left the thread initialised";
    const std::wstring& xml = outcome.taskXml;
    EXPECT_THAT(xml, HasSubstr(L"<Command>" + getModuleDirectory() + L"\\wpu.exe</Command>"));
    EXPECT_THAT(xml, HasSubstr(L"<Interval>PT10M</Interval>"));
    EXPECT_THAT(xml, HasSubstr(L"<Priority>1</Priority>"));
    EXPECT_EQ(kv::doubles::taskScheduler20CallCount(L"IRegisteredTask::Run"), 1u);
    EXPECT_EQ(wpu::test::registryString(PluginKey, L"DllName"),
              getModuleDirectory() + L"\\kv_wpu_hoster_plugin64.dll");
    const auto messages = log.messages();
    EXPECT_THAT(messages, Not(Contains(HasSubstr(L"COM initialization failed"))));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.front(), L" I: MainLogic::execute: WPU Wisp AV mode");
    EXPECT_EQ(messages.back(), L" I: MainLogic::execute: DONE.");
}

TEST_F(AvModeOnAThreadWithoutCom, AFailedTaskStepLeavesComAndSkipsThePlugin) {
    ASSERT_EQ(registration_.result(), S_OK);
    wpu::test::CapturedLog log(L"main-logic-av-fault");
    const Outcome outcome = run(Apartment::None, [] {
        kv::doubles::injectTaskScheduler20Fault(L"ITaskFolder::RegisterTaskDefinition", 1, E_ACCESSDENIED);
    });

    EXPECT_EQ(outcome.exceptionResult, E_ACCESSDENIED) << outcome.exception;
    EXPECT_THAT(outcome.exception, HasSubstr("kv::Scheduler20::Task20::save"));
    EXPECT_EQ(outcome.comAfterwards, S_OK) << "execute left the thread initialised";
    EXPECT_FALSE(wpu::test::registryKeyExists(PluginKey));
    EXPECT_THAT(log.messages(), ElementsAre(L" I: MainLogic::execute: WPU Wisp AV mode"));
}

// A thread that someone else put into a single-threaded apartment: the multithreaded
// initialisation fails with RPC_E_CHANGED_MODE, which is logged, and the thread's own
// COM must survive execute, on success and on failure alike.
TEST_F(AvMode, OnASingleThreadedApartmentWarnsAndKeepsTheCallersCom) {
    wpu::test::CapturedLog log(L"main-logic-av-sta");
    const Outcome outcome = run(Apartment::SingleThreaded);

    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.comAfterwards, S_FALSE) << "execute uninitialised the caller's COM";
    EXPECT_THAT(outcome.taskXml, HasSubstr(L"<Interval>PT10M</Interval>"));
    EXPECT_TRUE(wpu::test::registryKeyExists(PluginKey));
    const auto messages = log.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[1], L".W: MainLogic::execute: COM initialization failed: 80010106");
    EXPECT_EQ(messages.back(), L" I: MainLogic::execute: DONE.");
}

TEST_F(AvMode, OnASingleThreadedApartmentAFailureKeepsTheCallersCom) {
    const Outcome outcome = run(Apartment::SingleThreaded, [] {
        kv::doubles::injectTaskScheduler20Fault(L"ITaskService::Connect", 1, E_ACCESSDENIED);
    });
    EXPECT_EQ(outcome.exceptionResult, E_ACCESSDENIED) << outcome.exception;
    EXPECT_EQ(outcome.comAfterwards, S_FALSE) << "execute uninitialised the caller's COM";
    EXPECT_FALSE(wpu::test::registryKeyExists(PluginKey));
}

} // namespace
