#pragma once

#include "install-wpu/IMainLogic.h"

// The updater module's main logic.
class MainLogic : public IMainLogic {
public:
    // "wpupdater-win-arm64".
    std::wstring getModuleName() override;
    // 0 when installed, 1 without administrator rights.
    int execute() override;
    // True: the formerly active version stays as "previous".
    bool keepPreviousVersion() override;
};
