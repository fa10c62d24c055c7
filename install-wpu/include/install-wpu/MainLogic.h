#pragma once

#include "install-wpu/IMainLogic.h"

// The updater module's main logic.
class MainLogic : public IMainLogic {
public:
    // "wpupdater-win-arm64".
    std::wstring getModuleName() override;
    // The install sequence: 1 without administrator rights; 0 in rook mode (nothing
    // installed); in TEB mode 0 or 7 by the exit code of "wpu_handler.exe register";
    // otherwise the scheduled task and the host plug-in are set up and the answer is
    // 100 when the host needs a reboot, else 0. Failures of the task and plug-in steps
    // and a handler that cannot be started are thrown on.
    int execute() override;
    // True: the formerly active version stays as "previous".
    bool keepPreviousVersion() override;
};
