#pragma once

#include "install-wpu/IMainLogic.h"

#include <cstdint>
#include <memory>
#include <string>

// The installer's own version, written to the log.
struct InstallerVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t revision = 0;
    std::string buildId;
};

// The installer run: reads the command line (first argument exactly "--uninstall"
// uninstalls, anything else installs), opens the log, installs the crash hooks,
// checks platform and rights, runs execute() or uninstall() of the main logic once,
// records the outcome in the product's registry tree, flushes the registry and
// answers the process exit code. Owns mainLogic and destroys it before returning.
// Any exception from the main logic is logged and answered with 7.
int InstallerMain(const InstallerVersion& version, std::unique_ptr<IMainLogic> mainLogic);
