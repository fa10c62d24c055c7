#include <windows.h>
#include <objbase.h>

#include "install-wpu/MainLogic.h"

#include "install-wpu/OperatingMode.h"
#include "install-wpu/ProcessRunner.h"

#include "hoster-api/HosterPlugin.h"
#include "install-common/Scheduler.h"
#include "kvtl/Com.h"
#include "logging/Log.h"
#include "winenv/ShellFolders.h"
#include "winenv/UserRights.h"

#include <map>
#include <memory>
#include <vector>

namespace {

const char* const Function = "MainLogic::execute";

constexpr wchar_t HandlerExecutable[] = L"wpu_handler.exe";
constexpr wchar_t HandlerArgument[] = L"register";
constexpr wchar_t TaskName[] = L"Wisp Updater";
constexpr wchar_t TaskExecutable[] = L"wpu.exe";
constexpr wchar_t PluginName[] = L"WispWPUPlugin";
constexpr wchar_t PluginLibrary[] = L"kv_wpu_hoster_plugin64.dll";
constexpr std::uint32_t PluginHosterId = 0;
constexpr kv::Duration TenMinutes = 6000000000;

// The scheduled task: created when missing, otherwise reconfigured, then saved as the
// local system account and started once.
void setUpTask(const std::wstring& directory) {
    const std::shared_ptr<kv::IScheduler> scheduler = kv::createScheduler();
    std::shared_ptr<kv::Task> task = scheduler->getTask(TaskName);
    if (!task) {
        task = scheduler->createTask(TaskName);
    }
    if (!task) {
        return;
    }
    task->setCommand(joinPath(directory, TaskExecutable));
    task->setPriority(kv::TaskPriority::High);
    const auto trigger = std::make_shared<kv::RepeatTrigger>();
    trigger->setNoEndDate(true);
    trigger->setStart(kv::currentTime() + TenMinutes);
    trigger->setInterval(TenMinutes);
    task->setTriggers(kv::TriggerList{trigger});
    task->save(std::wstring(), std::wstring());
    task->run();
}

// The AV-mode steps; every COM object they make is released when this returns, before
// the caller leaves the apartment.
int setUpUpdater(const std::wstring& directory) {
    setUpTask(directory);
    HosterPlugin plugin(PluginHosterId, PluginName);
    registerHosterPlugin(PluginName, joinPath(directory, PluginLibrary), PluginHosterId,
                         std::map<std::wstring, std::uint32_t>(), std::vector<std::wstring>());
    plugin.restart();
    return plugin.rebootRequested() ? InstallerExitCode::RebootNeeded : InstallerExitCode::Success;
}

} // namespace

std::wstring MainLogic::getModuleName() {
    return L"wpupdater-win-arm64";
}

int MainLogic::execute() {
    const auto user = createCurrentUser();
    if (!user->isAdmin()) {
        KvZarnLogging::log(KvZarnLogging::Error, Function, L"Not enough rights.");
        return InstallerExitCode::NotAdministrator;
    }
    if (isROOKOperatingMode()) {
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"Rook mode detected, WPU won't be installed");
        return InstallerExitCode::Success;
    }
    const std::wstring directory = getModuleDirectory();

    int result = InstallerExitCode::Success;
    if (isTEBMode()) {
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"WPU will work in TEB mode");
        const std::uint32_t exitCode = runProcess(joinPath(directory, HandlerExecutable), HandlerArgument);
        if (exitCode != 0) {
            KvZarnLogging::log(KvZarnLogging::Error, Function, L"Error TEB handler registration: %u",
                               static_cast<unsigned>(exitCode));
            result = InstallerExitCode::Failed;
        } else {
            KvZarnLogging::log(KvZarnLogging::Info, Function, L"TEB handler is registered");
        }
    } else {
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"WPU Wisp AV mode");
        // The apartment is left only when this call entered it: a thread that someone
        // else initialised in another mode keeps its COM, on every path out.
        kv::ScopedComInitializer com(COINIT_MULTITHREADED);
        if (FAILED(com.result())) {
            KvZarnLogging::log(KvZarnLogging::Warning, Function, L"COM initialization failed: %x",
                               static_cast<unsigned>(com.result()));
        }
        result = setUpUpdater(directory);
    }
    KvZarnLogging::log(KvZarnLogging::Info, Function, L"DONE.");
    return result;
}

bool MainLogic::keepPreviousVersion() {
    return true;
}
