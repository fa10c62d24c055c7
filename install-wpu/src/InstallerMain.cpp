#include <windows.h>
#include <shellapi.h>

#include "install-wpu/InstallerMain.h"

#include "install-wpu/CrashHandler.h"
#include "install-wpu/RegistryLayout.h"
#include "install-wpu/UpdateStatus.h"
#include "kvtl/Exceptions.h"
#include "kvtl/Handle.h"
#include "logging/Log.h"
#include "winenv/NamespaceResolver.h"
#include "winenv/ProductNamespace.h"
#include "winenv/Registry.h"
#include "winenv/ShellFolders.h"
#include "winenv/UserRights.h"

#include <cstdio>
#include <exception>

namespace {

const char* const Function = "InstallerMain";
constexpr wchar_t UninstallArgument[] = L"--uninstall";
constexpr wchar_t LogComponent[] = L"Wisp";
constexpr wchar_t DumpSubFolder[] = L"Korvane\\CrashDumps";
constexpr unsigned int FullMemoryDump = 1;

// Element 1 of the split command line, empty when there is none.
std::wstring firstArgument(const wchar_t* commandLine) {
    int count = 0;
    kv::UniqueLocal arguments(CommandLineToArgvW(commandLine, &count));
    if (!arguments || count < 2) {
        return std::wstring();
    }
    return static_cast<wchar_t**>(arguments.get())[1];
}

// Steps after the rights check: identity of the update, the main logic, and the
// records its result asks for.
int runMainLogic(IMainLogic& logic, bool uninstall) {
    const std::wstring module = kv::wpu::getModule();
    const std::wstring title = kv::wpu::getTitle();
    const std::wstring version = kv::wpu::getVersion();
    const std::wstring registryRoot = productRoot(productNamespaceName());
    KvZarnLogging::log(KvZarnLogging::Info, Function,
                       L"WPU registry root: %ls, module=%ls, title=%ls, version=%ls", registryRoot.c_str(),
                       module.c_str(), title.c_str(), version.c_str());

    int result = 0;
    if (uninstall) {
        if (!module.empty()) {
            KvZarnLogging::log(KvZarnLogging::Info, Function, L"Uninstalling %ls", module.c_str());
        }
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"Executing main logic...");
        result = logic.uninstall();
    } else {
        if (!module.empty() && !version.empty()) {
            KvZarnLogging::log(KvZarnLogging::Info, Function, L"Installing %ls, version %ls. title: %ls",
                               module.c_str(), version.c_str(), title.c_str());
        }
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"Executing main logic...");
        result = logic.execute();
    }
    KvZarnLogging::log(KvZarnLogging::Info, Function, L"Main logic returned: %d", result);

    // Each record is attempted even after another failed; the machinery believes the exit
    // code, so a success whose records are missing is reported as a failed run.
    bool recorded = true;
    if (result == InstallerExitCode::RebootNeeded ||
        result == InstallerExitCode::RebootNeededNoRegistration) {
        recorded = kv::wpu::set_reboot_requested(title) && recorded;
    }
    if (result == InstallerExitCode::Success || result == InstallerExitCode::RebootNeeded ||
        result == InstallerExitCode::SuccessNoReboot) {
        const std::wstring moduleKey = wp::GetRegistryPath(wp::RegistryKey::Modules, logic.getModuleName());
        LightWin32Registry registry;
        registry.setSamFlags(KEY_WOW64_64KEY);
        recorded =
            wp::markActiveVersion(module, version, !uninstall && logic.keepPreviousVersion()) && recorded;
        if (!uninstall) {
            if (!registry.createKeyPath(moduleKey) ||
                !registry.setString(moduleKey, L"path", getModuleDirectory())) {
                kv::wpu::logRecordNotWritten(Function, L"path", moduleKey, registry.lastError());
                recorded = false;
            }
        } else {
            registry.deleteKey(moduleKey + L"\\RebootRequested");
            RegistryStatus status = RegistryStatus::Ok;
            if (!registry.deleteKey(moduleKey, &status)) {
                KvZarnLogging::log(KvZarnLogging::Warning, Function,
                                   L"Cannot remove module registration: %u, path %ls",
                                   static_cast<unsigned>(status), moduleKey.c_str());
            }
        }
    }
    if (result == InstallerExitCode::TryAgain) {
        KvZarnLogging::log(KvZarnLogging::Info, Function, L"Set %ls %ls to try again", module.c_str(),
                           version.c_str());
        recorded = wp::markToTryAgain(module, version) && recorded;
    }
    flushRegistryHives();
    if (!recorded && (result == InstallerExitCode::Success || result == InstallerExitCode::RebootNeeded)) {
        return InstallerExitCode::Failed;
    }
    return result;
}

// Whether the product namespace's folder can hold this log: the file system takes the
// namespace as a directory name and the file's path, with room for the names that
// rotation gives it, stays within MAX_PATH.
bool canHoldLog(const std::wstring& productNamespace, const std::wstring& logName) {
    if (productNamespace == productpath::DefaultNamespaceName) {
        return true;
    }
    constexpr size_t RotationRoom = 40; // "__rotate_<pid>_<tick>" after the file name
    const std::wstring path = joinPath(getFolderPath(FolderId::CommonAppData),
                                       std::wstring(L"Korvane\\NS\\") + productNamespace + L"\\Log\\" +
                                           LogComponent + L"\\" + logName + L".log");
    return isUsableFolderName(productNamespace) && path.size() + RotationRoom < MAX_PATH;
}

void logException(const char* description) {
    KvZarnLogging::log(KvZarnLogging::Error, Function, L"Exception %hs", description);
}

} // namespace

int InstallerMain(const InstallerVersion& version, std::unique_ptr<IMainLogic> mainLogic) {
    const bool uninstall = firstArgument(GetCommandLineW()) == UninstallArgument;
    const std::wstring logName = (uninstall ? L"uninstall-" : L"install-") + mainLogic->getModuleName();
    // A namespace that cannot name a folder keeps its registry root, but its log goes to
    // the default namespace's folder: a run without any log would leave nothing to read.
    const std::wstring productNamespace = productNamespaceName();
    const bool ownLogFolder = canHoldLog(productNamespace, logName);
    KvZarnLogging::openLog(ownLogFolder ? productNamespace : std::wstring(productpath::DefaultNamespaceName),
                           LogComponent, logName, KvZarnLogging::Info, 0);
    KvZarnLogging::log(KvZarnLogging::Info, Function, L"Version: %02u.%02u.%02u.%02u (%hs)",
                       static_cast<unsigned>(version.major), static_cast<unsigned>(version.minor),
                       static_cast<unsigned>(version.build), static_cast<unsigned>(version.revision),
                       version.buildId.c_str());
    const std::wstring namespaceProblem = getCurrentNamespaceProblem();
    if (!namespaceProblem.empty()) {
        KvZarnLogging::log(KvZarnLogging::Warning, Function,
                           L"No product namespace, the default one applies: %ls", namespaceProblem.c_str());
    }
    if (!ownLogFolder) {
        KvZarnLogging::log(
            KvZarnLogging::Warning, Function,
            L"Product namespace %ls cannot name a log folder: this log is in the folder of %ls",
            productNamespace.c_str(), productpath::DefaultNamespaceName);
    }
    CrashHandler::instance().RegisterCrashHooks(
        joinPath(getFolderPath(FolderId::CommonAppData), DumpSubFolder), logName + L".dmp", FullMemoryDump);

    int result = InstallerExitCode::Failed;
    try {
        if (!mainLogic->isPlatformSupported()) {
            KvZarnLogging::log(KvZarnLogging::Warning, Function,
                               L"32bit installer can't be used on 64bit OS");
            return InstallerExitCode::PlatformNotSupported;
        }
        const auto user = createCurrentUser();
        if (!user->isAdmin()) {
            KvZarnLogging::log(KvZarnLogging::Error, Function, L"Not enough rights.");
            return InstallerExitCode::NotAdministrator;
        }
        result = runMainLogic(*mainLogic, uninstall);
    } catch (const std::exception& e) {
        logException(e.what());
        result = InstallerExitCode::Failed;
    } catch (const kv::ComError& e) {
        // Not a standard exception, yet it must not end the run without a log line and
        // an exit code: it is treated like one. The text always fits.
        char description[64];
        (void)std::snprintf(description, sizeof(description), "of a non-standard type: COM error 0x%08lX",
                            static_cast<unsigned long>(e.Error()));
        logException(description);
        result = InstallerExitCode::Failed;
    } catch (...) {
        logException("of an unknown non-standard type");
        result = InstallerExitCode::Failed;
    }
    KvZarnLogging::log(KvZarnLogging::Info, Function, L"Returning: %d", result);
    KvZarnLogging::closeLog();
    mainLogic.reset();
    return result;
}
