#include <windows.h>

#include "install-wpu/MainLogic.h"

#include "logging/Log.h"
#include "winenv/UserRights.h"

std::wstring MainLogic::getModuleName() {
    return L"wpupdater-win-arm64";
}

int MainLogic::execute() {
    // NOT BUILT YET: the install sequence (rook, TEB and AV modes, the scheduled task
    // and the plug-in) does not exist in this version. Only its first step, the rights
    // check, runs; nothing is installed, and the answer is 0 for an administrator.
    const auto user = createCurrentUser();
    if (!user->isAdmin()) {
        KvZarnLogging::log(KvZarnLogging::Error, "MainLogic::execute", L"Not enough rights.");
        return InstallerExitCode::NotAdministrator;
    }
    return InstallerExitCode::Success;
}

bool MainLogic::keepPreviousVersion() {
    return true;
}
