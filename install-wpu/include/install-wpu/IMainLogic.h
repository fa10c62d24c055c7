#pragma once

#include <string>

// Exit codes of the installer process and results of the main logic.
namespace InstallerExitCode {
constexpr int PlatformNotSupported = -1;
constexpr int Success = 0;
constexpr int NotAdministrator = 1;
constexpr int Failed = 7;
constexpr int TryAgain = 13;
constexpr int RebootNeeded = 100;
constexpr int RebootNeededNoRegistration = 101;
constexpr int SuccessNoReboot = 200;
constexpr int NothingUninstalled = 201;
} // namespace InstallerExitCode

// The install and uninstall work that InstallerMain runs once per process.
class IMainLogic {
public:
    virtual ~IMainLogic() = default;

    // The module's name; it names the log file and the module's registry key.
    virtual std::wstring getModuleName() = 0;
    // The install sequence; answers an InstallerExitCode.
    virtual int execute() = 0;
    // The uninstall sequence; by default nothing is removed and the answer is 201.
    virtual int uninstall() { return InstallerExitCode::NothingUninstalled; }
    // Whether an install keeps the formerly active version as "previous".
    virtual bool keepPreviousVersion() { return false; }
    // False refuses to run on this platform (exit code -1).
    virtual bool isPlatformSupported() { return true; }
};
